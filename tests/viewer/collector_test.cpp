// Thread collector: the source parsers on plain text (cpuinfo's too), the line reader on lines
// longer than its buffer, and the insertion that counts processes and threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "proc-sources.h"
#include "ryx-fd.h"
#include "thread-collector.h"

namespace {

// A descriptor reading the given bytes.
ryx::Fd bytes_fd(const std::string &text) {
    int fd = memfd_create("source", MFD_CLOEXEC);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    lseek(fd, 0, SEEK_SET);
    return ryx::Fd(fd);
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

// The collector takes a short read as the end of a /proc source. A non-blocking pipe with its
// writer still open shows whether a reader read again: that read fails, and a failed read
// discards an unterminated last line.
TEST(ProcSources, ShortReadEndsSource) {
    for (bool short_read_ends : {false, true}) {
        SCOPED_TRACE(short_read_ends);
        int p[2];
        ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
        ryx::Fd rd(p[0]), wr(p[1]);
        const std::string text = "Name:\tx\nFNid:\t7";
        ASSERT_EQ(write(wr.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
        char buf[64];
        status_info st;
        read_status(rd.get(), buf, sizeof buf, st, short_read_ends);
        EXPECT_EQ(st.fnid, short_read_ends ? 7u : 0u);
    }
    // Full reads go on: a source longer than the buffer is read to its end.
    char buf[16];
    status_info st;
    auto fd = bytes_fd("Name:\tx\n" + std::string(40, 'x') + "\nFNid:\t5\nUmask:\t0022\n");
    read_status(fd.get(), buf, sizeof buf, st, true);
    EXPECT_EQ(st.fnid, 5u);
    uint64_t id = 0;
    fd = bytes_fd("1:x:/" + std::string(40, 'a') + "\n0::/ryx12\n");
    EXPECT_TRUE(read_cgroup_id(fd.get(), buf, sizeof buf, id, true));
    EXPECT_EQ(id, 12u);
}

TEST(ProcSources, StatmAndStat) {
    uint64_t a = 0, b = 0;
    EXPECT_TRUE(parse_statm("1000 300 100 1 0 50 0\n", a, b) && a == 300 && b == 100);
    EXPECT_FALSE(parse_statm("1000 300\n", a, b));

    // The name runs to the last ")"; the times may lie far past 100 characters.
    EXPECT_TRUE(parse_stat_times("7 (a) (b) R 1 1 1 0 -1 1077936192 98765432109 12345678901 "
                                 "23456789012 3456789012 123456789 98765 0 0 20\n",
                                 a, b) &&
                a == 123456789 && b == 98765);
    EXPECT_FALSE(parse_stat_times("7 php S 1 7 7 0 -1 4194560 100 0 0 0 8 9\n", a, b));
    EXPECT_FALSE(parse_stat_times("7 (php) S 1 7 7 0 -1 4194560 100 0 0 0 8\n", a, b));
    EXPECT_FALSE(parse_stat_times("x (php) S 1 7 7 0 -1 4194560 100 0 0 0 8 9\n", a, b));
}

TEST(ProcSources, CgroupLines) {
    uint64_t id = 0;
    EXPECT_TRUE(parse_cgroup_line("4:cpu:/12\n", id) && id == 12);
    for (const char *bad : {"0::/ryx12x\n", "ryx12\n", "0::/99999999999999999999\n"})
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

    // The library's tree on a stock kernel: leaves named like their containers, also among a v1
    // host's lines; ryxd's own leaf is none.
    EXPECT_TRUE(parse_cgroup_line("0::/a.slice/ryxd.service/ryx1000/ryx60001/ryx60001\n", id));
    EXPECT_FALSE(id != 60001 || parse_cgroup_line("0::/a.slice/ryxd.service/ryxd\n", id));
    fd = bytes_fd("9:name=systemd:/user.slice/s.scope\n4:memory:/ryx/ryx1000/ryx1000\n0::/\n");
    EXPECT_TRUE(read_cgroup_id(fd.get(), buf, sizeof buf, id) && id == 1000);
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

TEST(ProcSources, CpuInfoFirstMatchAfterTheFirstLine) {
    EXPECT_EQ(ryx_parse_cpufreq("processor\t: 0\ncpu MHz\t\t: 2400.000\ncpu MHz\t\t: 1000.0\n"),
              2400000000ul);
    EXPECT_EQ(ryx_parse_cpufreq("cpu MHz : 2400\nflags\t: fpu\n"), 0ul);
    EXPECT_EQ(ryx_parse_cpufreq("processor\t: 0\nmodel name\t: X\n"), 0ul);
    EXPECT_EQ(ryx_parse_cpufreq(""), 0ul);
    EXPECT_EQ(ryx_parse_cpufreq("p\ncpu MHz : 1.5"), 1500000ul);
    // No unsigned value: treated as unknown rather than converted.
    EXPECT_EQ(ryx_parse_cpufreq("p\ncpu MHz : -5\n"), 0ul);
    EXPECT_EQ(ryx_parse_cpufreq("p\ncpu MHz : 1e300\n"), 0ul);
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

} // namespace
