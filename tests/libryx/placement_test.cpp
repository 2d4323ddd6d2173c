// ryxd's reading of the kernel's texts: a process's real uid, login.defs' UID_MIN, and where a
// /proc/<pid>/cgroup line puts a process in the tree, for every way the tree can be mounted.
// The daemon itself is tested against a real kernel in test_placement.py and tests/kernel.
#include <gtest/gtest.h>

#include "process-view.h"

namespace {

using ryx::daemon::TreeView;
using ryx::daemon::Whereabouts;

TEST(ProcessView, RealUidAndUidMin) {
    EXPECT_EQ(ryx::daemon::parse_real_uid("Name:\tphp\nUid:\t1000\t0\t0\t0\nGid:\t5\n"), 1000);
    EXPECT_EQ(ryx::daemon::parse_real_uid("Name:\tx\nUid:\t0\t1000\t1000\t1000\n"), 0);
    EXPECT_EQ(ryx::daemon::parse_real_uid("Name:\tx\nGid:\t1\n"), -1);
    EXPECT_EQ(ryx::daemon::parse_real_uid("Uid:\t-1\t0\n"), -1);

    EXPECT_EQ(ryx::daemon::parse_uid_min(""), 1000u);
    EXPECT_EQ(ryx::daemon::parse_uid_min("UID_MAX 60000\n#UID_MIN 5\n UID_MIN\t\t2000 # local\n"),
              2000u);
    EXPECT_EQ(ryx::daemon::parse_uid_min("UID_MINIMUM 5\nUID_MIN x\n"), 1000u);
}

// Each case: the tree's first hierarchy, the mount table, then /proc/<pid>/cgroup texts and
// where they put the process.
struct Case {
    const char *name;
    ryx::cgroup::Hierarchy h;
    const char *mountinfo;
    std::vector<std::pair<const char *, Whereabouts>> lines;
};

constexpr Whereabouts kOutside{Whereabouts::outside, 0};
constexpr Whereabouts kOther{Whereabouts::other, 0};
constexpr Whereabouts in(uint32_t id) {
    return {Whereabouts::container, id};
}

TEST(ProcessView, WhereTheTreePutsAProcess) {
    const char *v2 = "30 24 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n";
    const Case cases[] = {
        {"v2, the tree at <mount>/ryx",
         {true, {"cpu", "memory"}, "/sys/fs/cgroup/ryx"},
         v2,
         {{"0::/ryx/ryx1000/ryx1000\n", in(1000)},
          {"0::/ryx/ryx1000\n", in(1000)},
          {"0::/ryx/ryx1000/ryx60001/ryx60001\n", in(60001)},
          {"0::/ryx/ryx1000/ryx60001\n", in(60001)},
          {"0::/ryx/ryx1000/ryx60001/ryx7\n", kOther},
          {"0::/ryx/ryxd\n", kOther},
          {"0::/ryx\n", kOther},
          {"0::/ryxfoo/ryx1\n", kOutside},
          {"0::/system.slice/php-fpm.service\n", kOutside},
          {"12:memory:/x\n", kOutside}}},
        {"v2, delegated to the service",
         {true, {}, "/sys/fs/cgroup/system.slice/ryx-tree.service"},
         "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
         "30 24 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
         {{"0::/system.slice/ryx-tree.service/ryx1000/ryx1000\n", in(1000)},
          {"0::/system.slice/ryx-tree.service/ryxd\n", kOther},
          {"0::/user.slice/user-1000.slice/session-3.scope\n", kOutside}}},
        {"v2, a private subtree bind-mounted elsewhere",
         {true, {}, "/tmp/t/sub/ryx"},
         "30 24 0:26 / /tmp/t/cg rw - cgroup2 none rw\n"
         "31 24 0:26 /ryxtest.5 /tmp/t/sub rw - cgroup2 none rw\n",
         {{"0::/ryxtest.5/ryx/ryx1000/ryx1000\n", in(1000)}, {"0::/\n", kOutside}}},
        {"v1: the line of the hierarchy's first controller",
         {false, {"cpu", "cpuacct"}, "/sys/fs/cgroup/cpu,cpuacct/ryx"},
         "25 24 0:21 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
         "26 24 0:22 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
         {{"5:memory:/\n4:cpu,cpuacct:/ryx/ryx1000/ryx1000\n0::/\n", in(1000)},
          {"5:memory:/ryx/ryx7/ryx7\n4:cpu,cpuacct:/\n", kOutside}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TreeView view;
        ASSERT_TRUE(view.find(c.h, c.mountinfo));
        for (const auto &[line, want] : c.lines) {
            SCOPED_TRACE(line);
            const Whereabouts got = view.locate(line);
            EXPECT_EQ(got.kind, want.kind);
            EXPECT_EQ(got.id, want.id);
        }
    }
    TreeView view;
    EXPECT_FALSE(view.find({true, {}, "/sys/fs/cgroup/ryx"},
                           "25 24 0:21 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"));
}

} // namespace
