// The control-group backend without a kernel: the mapping of the settings to each hierarchy's
// files, what a group that looks like a cgroup tree is taken to hold, and the hierarchies
// chosen from a mount table. The kernel's own behaviour is measured in tests/kernel.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "cgroup.h"
#include "entries.h"
#include "fixture.h"
#include "ryx-entries.h"

namespace {

using Files = std::map<std::string, std::string>;

class Cgroup : public TempRoot {
  protected:
    void SetUp() override {
        TempRoot::SetUp();
        // One ext4 on a partition of disk 8:0, and a file system with no device.
        fs::create_directories(base + "/sys/devices/sda/sda1");
        spit(base + "/sys/devices/sda/sda1/partition", "1\n");
        spit(base + "/sys/devices/sda/dev", "8:0\n");
        fs::create_directory_symlink(base + "/sys/devices/sda/sda1", base + "/sys/8:1");
        mount_table("36 25 8:1 / / rw - ext4 /dev/sda1 rw\n40 25 0:22 / /proc rw - proc proc rw\n");
    }
    void mount_table(const std::string &text) {
        spit(base + "/mountinfo", text);
        ryx::Paths p = ryx::paths();
        p.mountinfo = base + "/mountinfo";
        p.sys_block = base + "/sys";
        ryx::configure(p);
    }
    static Files files(bool v2, const libryx_settings &s, bool disabled = false) {
        ryx::cgroup::Hierarchy h;
        h.v2 = v2;
        Files out;
        for (const auto &f : ryx::cgroup::limit_files(h, s, disabled))
            for (const std::string &line : f.lines)
                out[f.file] += (out[f.file].empty() ? "" : "|") + line;
        return out;
    }
};

TEST_F(Cgroup, SettingsBecomeTheFilesOfEitherHierarchy) {
    libryx_settings s{};
    s.ls_cpu = 20, s.ls_cpus = 1, s.ls_cpu_weight = 300, s.ls_memory_phy = 256, s.ls_nproc = 10;
    s.ls_io = 1024, s.ls_iops = 50, s.ls_memory = 7, s.ls_enters = 3;
    EXPECT_EQ(files(true, s),
              (Files{{"cpu.max", "20000 100000"},
                     {"cpu.weight", "300"},
                     {"memory.max", "1048576"},
                     {"pids.max", "10"},
                     {"io.max", "8:0 rbps=1048576 wbps=1048576 riops=50 wiops=50"}}));
    Files v1 = files(false, s);
    EXPECT_EQ(v1["cpu.cfs_quota_us"], "20000");
    EXPECT_EQ(v1["cpu.shares"], "3072");
    EXPECT_EQ(v1["memory.limit_in_bytes"], "1048576");
    EXPECT_EQ(v1["blkio.throttle.write_bps_device"], "8:0 1048576");
    EXPECT_EQ(v1["blkio.throttle.read_iops_device"], "8:0 50");
    // The smaller of cpu percent and whole processors; the kernel's least quota is 1 ms.
    s = {};
    s.ls_cpus = 2;
    EXPECT_EQ(files(true, s)["cpu.max"], "200000 100000");
    s.ls_cpu = 1;
    EXPECT_EQ(files(true, s)["cpu.max"], "1000 100000");
    // Nothing set, or disabled: no limits (a weight is no limit and stays).
    s = {};
    s.ls_cpu = 20, s.ls_cpu_weight = 300, s.ls_io = 1;
    for (const Files &f : {files(true, libryx_settings{}), files(true, s, true)}) {
        EXPECT_EQ(f.at("cpu.max"), "max 100000");
        EXPECT_EQ(f.at("memory.max"), "max");
        EXPECT_EQ(f.at("io.max"), "8:0 rbps=max wbps=max riops=max wiops=max");
    }
    EXPECT_EQ(files(true, s, true)["cpu.weight"], "300");
    EXPECT_EQ(files(false, libryx_settings{})["cpu.cfs_quota_us"], "-1");
}

TEST_F(Cgroup, EnforcementIsWhatTheGroupHolds) {
    if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: the tree is believed only when root's";
    const std::string root = base + "/cg/ryx", group = root + "/ryx1000/ryx60001";
    fs::create_directories(group);
    spit(group + "/cpu.max", "20000 100000\n");
    spit(group + "/memory.max", "999999999\n"); // looser than asked
    spit(group + "/pids.max", "10\n");
    spit(base + "/cgroup", "v2 cpu,memory,pids " + root + "\n");
    ryx::Paths p = ryx::paths();
    p.cgroup_record = base + "/cgroup";
    ryx::configure(p);
    ryx::cgroup::Tree tree;
    ASSERT_EQ(ryx::cgroup::load(tree), 0);
    ryx::ctl::Container c;
    c.active = true, c.parent = 1000;
    c.set.ls_cpu = 20, c.set.ls_memory_phy = 256, c.set.ls_nproc = 10, c.set.ls_io = 1024;
    c.set.ls_memory = 5, c.set.ls_enters = 3;
    auto said = [&](uint32_t id) {
        std::map<std::string, std::string> out;
        for (const auto &e : ryx::cgroup::enforcement(tree, id, c))
            out[e.key] = e.held ? "held" : e.why_not;
        return out;
    };
    std::map<std::string, std::string> want = {
        {"cpu", "held"},    {"cpus", "held"},       {"io", "no io controller on this host"},
        {"enters", "held"}, // per process
        {"memory", "held"}, {"cpu_weight", "held"}, {"memory_phy", "the group does not hold it"},
        {"nproc", "held"},  {"iops", "held"}};
    EXPECT_EQ(said(60001), want);
    EXPECT_EQ(said(60002)["cpu"], "no group (run 'ryxctl apply')");
    c.flags = RYX_VE_DISABLE;
    EXPECT_EQ(said(60001)["nproc"], "lifted while the container is disabled");
    ASSERT_EQ(::chmod(root.c_str(), 0777), 0); // a root anybody could have swapped
    EXPECT_EQ(ryx::cgroup::load(tree), -EUCLEAN);
}

TEST_F(Cgroup, TheTreeIsMadeWhereTheMountTableSays) {
    if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: making the tree needs root";
    ryx::Paths p = ryx::paths();
    p.cgroup_record = base + "/run/cgroup";
    ryx::configure(p);
    for (const char *d : {"cpu", "memory", "unified", "v2"})
        fs::create_directories(base + "/m/" + d);
    spit(base + "/m/v2/cgroup.controllers", "cpuset cpu io memory hugetlb pids\n");
    // A hybrid host: v1 controllers, and an empty unified tree that does not count.
    const std::string at = " rw - cgroup cgroup rw,";
    mount_table("30 1 0:26 / " + base + "/m/cpu" + at + "cpu,cpuacct\n31 1 0:27 / " + base +
                "/m/memory" + at + "memory\n32 1 0:28 / " + base +
                "/m/unified rw - cgroup2 cgroup2 rw\n");
    ryx::cgroup::Tree tree, loaded;
    ASSERT_EQ(ryx::cgroup::set_up(tree), 0);
    EXPECT_EQ(ryx::cgroup::format_record(tree),
              "v1 cpu,cpuacct " + base + "/m/cpu/ryx\nv1 memory " + base + "/m/memory/ryx\n");
    ASSERT_EQ(ryx::cgroup::load(loaded), 0);
    EXPECT_EQ(ryx::cgroup::format_record(loaded), ryx::cgroup::format_record(tree));
    EXPECT_EQ(ryx::cgroup::group_path(tree.hierarchies[1], 60001, 1000),
              base + "/m/memory/ryx/ryx1000/ryx60001");
    mount_table("32 1 0:28 / " + base + "/m/v2 rw - cgroup2 cgroup2 rw\n");
    ASSERT_EQ(ryx::cgroup::set_up(tree), 0);
    ASSERT_EQ(tree.hierarchies.size(), 1u);
    EXPECT_TRUE(tree.hierarchies[0].v2);
    EXPECT_EQ(tree.hierarchies[0].root, base + "/m/v2/ryx");
    mount_table("");
    EXPECT_EQ(ryx::cgroup::set_up(tree), -ENOENT);
}

// /proc/<pid>/stat's start time, past a command name that looks like more fields.
TEST(EntriesFormat, StartTimeIsFieldTwentyTwo) {
    const std::string tail = " 1 1 1 0 -1 0 0 0 0 0 5 6 0 0 20 0 1 0 4242 1000 300 9\n";
    unsigned long long start = 0;
    for (const auto &[text, want] :
         std::vector<std::pair<std::string, int>>{{"7 (sh) S" + tail, 1},
                                                  {"7 (a) Z (b) R" + tail, 1},
                                                  {"7 (x) Z" + tail, 0},
                                                  {"7 (sh) S 1 1", -1},
                                                  {"7 sh S" + tail, -1}}) {
        start = 0;
        EXPECT_EQ(ryx_stat_starttime(text.data(), text.size(), &start), want) << text;
        if (want >= 0) {
            EXPECT_EQ(start, 4242u) << text;
        }
    }
}

class Entries : public TempRoot {
  protected:
    void SetUp() override {
        TempRoot::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: entries are believed only when root's";
        fs::create_directories(base + "/state");
    }
    void TearDown() override {
        for (pid_t pid : children)
            reap(pid);
        TempRoot::TearDown();
    }
    // A process that waits to be killed; 0 when none could be made.
    pid_t child() {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::pause();
            ::_exit(0);
        }
        if (pid < 0) return 0;
        children.push_back(pid);
        return pid;
    }
    // Never kill(0) or kill(-1): the whole group, or every process root may signal.
    static void reap(pid_t pid) {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::string file() { return slurp(base + "/entries/7"); }
    std::vector<pid_t> children;
};

TEST_F(Entries, TheLimitCountsLiveEntriesOnly) {
    const pid_t a = child(), b = child(), c = child();
    ASSERT_TRUE(a > 0 && b > 0 && c > 0);
    EXPECT_EQ(ryx::entries::take(7, a, 2), 0);
    EXPECT_EQ(ryx::entries::take(7, b, 2), 0);
    EXPECT_EQ(ryx::entries::take(7, a, 2), 0); // an entry entering again is no new one
    EXPECT_EQ(ryx::entries::take(7, c, 2), -EUSERS);
    EXPECT_EQ(ryx::entries::count(7), 2);
    EXPECT_TRUE(ryx::entries::holds(7, b) && !ryx::entries::holds(7, c) &&
                !ryx::entries::holds(8, b));
    struct stat st;
    ASSERT_EQ(::stat((base + "/entries").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((base + "/entries/7").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // A zombie has left, as has a process that is gone; a pid given out again is not the entry.
    if (a > 0) ::kill(a, SIGKILL);
    siginfo_t info;
    ::waitid(P_PID, a, &info, WEXITED | WNOWAIT);
    EXPECT_EQ(ryx::entries::count(7), 1);
    reap(b);
    const std::string again = std::to_string(::getpid()) + " 1\n";
    spit(base + "/entries/7", again);
    EXPECT_EQ(ryx::entries::count(7), 0);
    EXPECT_EQ(ryx::entries::take(7, c, 1), 0);
    EXPECT_EQ(file().find(again), std::string::npos);
    EXPECT_EQ(ryx::entries::take(7, 999999999, 0), -ESRCH);
}

TEST_F(Entries, AFileNotRootsAloneCountsNothingAndIsReplaced) {
    const pid_t a = child(), b = child();
    ASSERT_TRUE(a > 0 && b > 0);
    ASSERT_EQ(ryx::entries::take(7, a, 0), 0);
    const std::string kept = file();
    ASSERT_EQ(::chown((base + "/entries/7").c_str(), 1000, 1000), 0);
    EXPECT_EQ(ryx::entries::count(7), 0);
    EXPECT_FALSE(ryx::entries::holds(7, a));
    ASSERT_EQ(::chown((base + "/entries/7").c_str(), 0, 0), 0);
    fs::rename(base + "/entries/7", base + "/elsewhere");
    fs::create_symlink(base + "/elsewhere", base + "/entries/7");
    EXPECT_EQ(ryx::entries::count(7), 0);
    ASSERT_EQ(ryx::entries::take(7, b, 1), 0); // the link's target counted nothing either
    EXPECT_EQ(slurp(base + "/elsewhere"), kept);
    EXPECT_FALSE(fs::is_symlink(base + "/entries/7"));
    EXPECT_EQ(ryx::entries::count(7), 1);
    ASSERT_EQ(::chmod((base + "/entries").c_str(), 0777), 0);
    EXPECT_EQ(ryx::entries::count(7), 0);
    EXPECT_EQ(ryx::entries::take(7, a, 0), -EUCLEAN);
}

} // namespace
