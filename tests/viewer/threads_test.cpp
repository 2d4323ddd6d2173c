// Thread collector: the source parsers on plain text, the line reader on long lines, and the
// walk and re-sampling over a fixture process tree in a temporary directory.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "proc-sources.h"
#include "ryxps-threads.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// A descriptor reading the given bytes.
unique_fd bytes_fd(const std::string &text) {
    int fd = memfd_create("source", MFD_CLOEXEC);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    lseek(fd, 0, SEEK_SET);
    return unique_fd(fd);
}

std::string stat_line(const std::string &tid, const std::string &name, uint64_t utime,
                      uint64_t stime) {
    return tid + " (" + name + ") S 1 " + tid + " " + tid + " 0 -1 4194560 100 0 0 0 " +
           std::to_string(utime) + " " + std::to_string(stime) +
           " 0 0 20 0 1 0 100 1000000 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0\n";
}

TEST(ProcSources, StatusLabels) {
    uint64_t id = 0;
    std::string_view name;
    EXPECT_TRUE(parse_status_fnid("FNid:\t7\n", id) && id == 7);
    EXPECT_TRUE(parse_status_fnid("FNid:-1", id) && id == UINT64_MAX);
    EXPECT_FALSE(parse_status_fnid("FNid:\t\n", id) || parse_status_fnid(" FNid:\t7\n", id));
    EXPECT_TRUE(parse_status_name("Name:\tVM Thread\n", name) && name == "VM");
    EXPECT_FALSE(parse_status_name("Name:\t\n", name));

    // Later lines win; the middle of an overlong line is not a line (buffer of 16).
    char buf[16];
    status_info st;
    auto fd = bytes_fd("Name:\tmigration/0\nFNid:\t7\nCpus:xxxxxxxxxxxFNid:\t9\nFNid:\t0\n");
    read_status(fd.get(), buf, sizeof buf, st);
    EXPECT_EQ(st.fnid, 0u);
    EXPECT_TRUE(st.migration);
    fd = bytes_fd("FNid:\t4\nName:\tmigration/1\nName:\tmigration\nCpus:xxxxxxxxxxxFNid:\t9\n");
    read_status(fd.get(), buf, sizeof buf, st = {});
    EXPECT_EQ(st.fnid, 4u);
    EXPECT_FALSE(st.migration);
}

TEST(ProcSources, StatmAndStat) {
    uint64_t a = 0, b = 0;
    EXPECT_TRUE(parse_statm("1000 300 100 1 0 50 0\n", a, b) && a == 300 && b == 100);
    EXPECT_FALSE(parse_statm("1000 300\n", a, b));

    EXPECT_TRUE(parse_stat_times(stat_line("101", "php", 80, 40), a, b) && a == 80 && b == 40);
    // Names with blanks and parentheses; a line far past 100 characters before the times.
    EXPECT_TRUE(parse_stat_times(stat_line("7", "VM Thread", 1, 2), a, b) && a == 1 && b == 2);
    EXPECT_TRUE(parse_stat_times(stat_line("7", "a) (b", 3, 4), a, b) && a == 3 && b == 4);
    EXPECT_TRUE(parse_stat_times("4194303 (Web Content) R 4194000 4194000 4194000 0 -1 "
                                 "1077936192 98765432109 12345678901 23456789012 3456789012 "
                                 "123456789 98765\n",
                                 a, b) &&
                a == 123456789 && b == 98765);
    EXPECT_FALSE(parse_stat_times("7 php S 1 7 7 0 -1 4194560 100 0 0 0 8 9\n", a, b));
    EXPECT_FALSE(parse_stat_times("7 (php) S 1 7 7 0 -1 4194560 100 0 0 0 8\n", a, b));
    EXPECT_FALSE(parse_stat_times("x (php) S 1 7 7 0 -1 4194560 100 0 0 0 8 9\n", a, b));
}

TEST(ProcSources, CgroupLines) {
    uint64_t id = 0;
    EXPECT_TRUE(parse_cgroup_line("0::/user.slice/ryx12\n", id) && id == 12);
    EXPECT_TRUE(parse_cgroup_line("4:cpu:/12\n", id) && id == 12);
    for (const char *bad : {"0::/ryx0\n", "0::/ryx-3\n", "0::/user.slice\n", "0::/ryx\n",
                            "0::/ryx12x\n", "ryx12\n", "0::/99999999999999999999\n"})
        EXPECT_FALSE(parse_cgroup_line(bad, id)) << bad;

    // The first usable line wins; a line longer than the buffer is matched whole, not as its
    // fragments ("/ryx5" + "3\n" is 53, and the fragment "2\n" is no line).
    char buf[16];
    auto fd = bytes_fd("1:x:/user.slice\n1:x:/aaaaaa/ryx53\n0::/ryx8\n");
    EXPECT_TRUE(read_cgroup_id(fd.get(), buf, sizeof buf, id));
    EXPECT_EQ(id, 53u);
    fd = bytes_fd("1:x:/aaaaaaaaaaa\n2\n"
                  "1:x:" +
                  std::string(40, 'a') + "/ryx9\n");
    EXPECT_TRUE(read_cgroup_id(fd.get(), buf, sizeof buf, id));
    EXPECT_EQ(id, 9u);
    fd = bytes_fd("1:x:/aaaaaaaaaaa2\n0::/\n");
    EXPECT_FALSE(read_cgroup_id(fd.get(), buf, sizeof buf, id));
}

TEST(ProcSources, CommandText) {
    char com[256];
    com_from_cmdline("a\0b\0", 4, com);
    EXPECT_STREQ(com, "a b");
    com_from_cmdline("", 0, com);
    EXPECT_STREQ(com, "N/A");
    com_from_cmdline("\0", 1, com);
    EXPECT_STREQ(com, "");
    std::string cut = std::string(99, 'x') + '\0' + std::string(154, 'y') + '\0';
    com_from_cmdline(cut.data(), 255, com);
    EXPECT_EQ(com, std::string(99, 'x') + ' ' + std::string(154, 'y'));
}

TEST(ThreadList, InsertionCountsProcessesAndThreads) {
    ryx_entry e{};
    threadinfo t[5]{};
    const int64_t pids[] = {100, 100, 205, 300, 205}; // the last one out of order
    for (int i = 0; i < 5; i++) {
        t[i].pid = pids[i];
        ryx_get_thread_stat(&e, &t[i]);
    }
    EXPECT_EQ(e.tno, 5u);
    EXPECT_EQ(e.pno, 3u);
    EXPECT_EQ(e.threadinfo_head, &t[4]);
    for (int i = 4; i > 0; i--) {
        EXPECT_EQ(t[i].next, &t[i - 1]);
        EXPECT_EQ(t[i - 1].prev, &t[i]);
    }
    EXPECT_EQ(t[4].prev, nullptr);
    EXPECT_EQ(t[0].next, nullptr);
}

// A fixture process tree and a container list over it.
class Collector : public ::testing::Test {
  protected:
    fs::path root;
    std::vector<ryx_entry> records;
    ryx_entry *list = nullptr;

    void SetUp() override {
        char tmpl[] = "/tmp/ryx-threads-XXXXXX";
        root = mkdtemp(tmpl);
        page_size = 4096;
    }
    void TearDown() override {
        for (ryx_entry &r : records)
            for (threadinfo *t = r.threadinfo_head, *n; t; t = n) {
                n = t->next;
                free(t);
            }
        fs::remove_all(root);
    }

    void file(const std::string &rel, const std::string &content) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel, std::ios::binary) << content;
    }

    // status/statm/stat/cmdline of one thread; "" leaves a source out.
    void thread(const std::string &pid, const std::string &tid, const std::string &status,
                const std::string &name = "worker", const std::string &cmdline = "worker\0"s,
                uint64_t utime = 80, uint64_t stime = 40,
                const std::string &statm = "1000 1000 200\n") {
        std::string dir = pid + "/task/" + tid + "/";
        fs::create_directories(root / dir);
        if (!status.empty()) file(dir + "status", "Name:\t" + name + "\n" + status);
        if (!statm.empty()) file(dir + "statm", statm);
        file(dir + "stat", stat_line(tid, name, utime, stime));
        file(dir + "cmdline", cmdline);
    }

    void containers(std::vector<uint64_t> ids) {
        records.assign(ids.size(), ryx_entry{});
        for (size_t i = 0; i < ids.size(); i++) {
            records[i].id = ids[i];
            records[i].next = i + 1 < ids.size() ? &records[i + 1] : nullptr;
        }
        list = records.empty() ? nullptr : &records[0];
    }

    void collect() {
        unique_fd proc(open(root.c_str(), O_RDONLY | O_DIRECTORY));
        ryx_get_pt_stats_at(list, proc.get());
    }

    void resample(ryx_entry &e) {
        unique_fd proc(open(root.c_str(), O_RDONLY | O_DIRECTORY));
        ryx_resample_pt_stats_at(&e, proc.get());
    }

    // "tid:com" from the head of a container's list.
    static std::vector<std::string> threads(const ryx_entry &e) {
        std::vector<std::string> out;
        for (threadinfo *t = e.threadinfo_head; t; t = t->next)
            out.push_back(std::to_string(t->tid) + ":" + t->com);
        return out;
    }
};

TEST_F(Collector, ContainersFromStatusOrCgroup) {
    containers({5, 7, 12, UINT64_MAX});
    thread("100", "100", "FNid:\t5\n");
    thread("100", "101", "FNid:\t5\n");
    thread("100", "102", "FNid:\t7\n");                   // one process in two containers
    fs::create_directories(root / "100/task/102/cgroup"); // must not be consulted
    thread("205", "205", "FNid:\t0\n");
    file("205/task/205/cgroup", "1:x:/user.slice\n0::/ryx12\n");
    thread("206", "206", "Umask:\t0022\n"); // no cgroup source: the all-ones container
    thread("207", "207", "Umask:\t0022\n");
    file("207/task/207/cgroup", "0::/ryx-3\n0::/user.slice\n"); // nothing usable: dropped
    thread("208", "208", "FNid:\t99\n");                        // unlisted container
    collect();
    EXPECT_EQ(threads(records[1]), std::vector<std::string>{"102:worker"});
    EXPECT_EQ(threads(records[2]), std::vector<std::string>{"205:worker"});
    EXPECT_EQ(threads(records[3]), std::vector<std::string>{"206:worker"});
    ASSERT_EQ(records[0].tno, 2u);
    EXPECT_EQ(records[0].pno, 1u);
    EXPECT_EQ(records[1].pno + records[2].pno + records[3].pno, 3u);

    threadinfo *t = records[0].threadinfo_head;
    EXPECT_EQ(t->pid, 100);
    EXPECT_EQ(t->mem, 800u * 4096);
    EXPECT_EQ(t->cpu, 120u);
    EXPECT_EQ(t->valid, 1);
}

TEST_F(Collector, WalkTakesOnlyWholePositiveNumbersAndKeepsProcessesTogether) {
    containers({5});
    for (const char *dir : {"self", "0", "12abc", "-4"})
        thread(dir, "1", "FNid:\t5\n");
    thread("300", "0", "FNid:\t5\n");
    const char *pids[] = {"100", "205", "300", "412"};
    for (const char *pid : pids)
        for (int i = 0; i < 3; i++)
            thread(pid, std::to_string(atoi(pid) + i), "FNid:\t5\n");
    collect();
    EXPECT_EQ(records[0].tno, 12u);
    EXPECT_EQ(records[0].pno, 4u);
    // Newest first, in reverse walk order, each process's threads together.
    std::vector<int64_t> seen;
    for (threadinfo *t = records[0].threadinfo_head; t; t = t->next) {
        EXPECT_TRUE(t->tid >= t->pid && t->tid <= t->pid + 2) << t->tid;
        if (seen.empty() || seen.back() != t->pid) seen.push_back(t->pid);
    }
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(Collector, CommandTextAndMigrationThreads) {
    containers({5});
    thread("10", "10", "FNid:\t5\n", "migration/0", "");
    thread("11", "11", "FNid:\t5\n", "migration/1", "x\0"s);
    thread("12", "12", "FNid:\t5\n", "migration", "");
    thread("13", "13", "FNid:\t5\n", "VM Thread", "java\0-jar\0a b\0"s);
    thread("14", "14", "FNid:\t5\n", "w", std::string(99, 'x') + '\0' + std::string(200, 'y'));
    thread("15", "15", "FNid:\t5\n", "bad", "x", 1, 1, "1000\n"); // statm does not match
    thread("16", "16", "FNid:\t5\n");
    fs::remove(root / "16/task/16/stat");
    collect();
    std::map<int64_t, std::string> com;
    for (threadinfo *t = records[0].threadinfo_head; t; t = t->next)
        com[t->tid] = t->com;
    EXPECT_EQ(com, (std::map<int64_t, std::string>{
                       {11, "x"},
                       {12, "N/A"},
                       {13, "java -jar a b"},
                       {14, std::string(99, 'x') + ' ' + std::string(155, 'y')}}));
}

// Threads of unlisted containers: their command line is never opened (a FIFO without a writer
// would block the open until the alarm).
void on_alarm(int) {}

TEST_F(Collector, UnlistedThreadsLeaveCmdlineAlone) {
    containers({5});
    thread("20", "20", "FNid:\t6\n");
    fs::remove(root / "20/task/20/cmdline");
    ASSERT_EQ(mkfifo((root / "20/task/20/cmdline").c_str(), 0600), 0);
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, &old);
    alarm(3);
    collect();
    unsigned left = alarm(0);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GT(left, 0u);
    EXPECT_EQ(records[0].tno, 0u);
}

TEST_F(Collector, ResamplingTurnsTotalsIntoIncreases) {
    containers({5});
    for (const char *tid : {"30", "31", "32", "33"})
        thread("30", tid, "FNid:\t5\n", "VM Thread");
    collect();
    ASSERT_EQ(records[0].tno, 4u);
    file("30/task/30/stat", stat_line("30", "VM Thread", 100, 50)); // +30
    file("30/task/31/stat", stat_line("31", "VM Thread", 80, 39));  // went backwards
    fs::remove(root / "30/task/32/stat");                           // ended
    for (threadinfo *t = records[0].threadinfo_head; t; t = t->next)
        if (t->tid == 33) t->valid = 0; // not re-sampled, whatever its stat says now
    resample(records[0]);
    std::map<int64_t, std::pair<uint64_t, int>> got;
    for (threadinfo *t = records[0].threadinfo_head; t; t = t->next)
        got[t->tid] = {t->cpu, t->valid};
    EXPECT_EQ(got, (std::map<int64_t, std::pair<uint64_t, int>>{
                       {30, {30, 1}}, {31, {120, 0}}, {32, {120, 0}}, {33, {120, 0}}}));
}

} // namespace
