// Container control against a temporary state directory.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <ryx/ryx-ctl.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "defaults.h"
#include "fixture.h"
#include "fsutil.h"
#include "registry.h"
#include "state.h"

namespace {

int allocs, frees;
void *counting_alloc(size_t n) {
    ++allocs;
    return std::malloc(n);
}
void counting_free(void *p) {
    ++frees;
    std::free(p);
}
void *failing_alloc(size_t) {
    return nullptr;
}

} // namespace

class Ctl : public TempRoot {
  protected:
    void SetUp() override {
        TempRoot::SetUp();
        h = init_ryx(std::malloc, std::free);
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override {
        destroy_ryx(h);
        TempRoot::TearDown();
    }
    std::string state(uint32_t id) { return slurp(base + "/state/" + std::to_string(id)); }
    libryx *h = nullptr;
};

TEST(CtlHandle, UsesTheGivenAllocator) {
    allocs = frees = 0;
    libryx *h = init_ryx(counting_alloc, counting_free);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(allocs, 1);
    EXPECT_EQ(destroy_ryx(h), 0);
    EXPECT_EQ(frees, 1);

    errno = 0;
    EXPECT_EQ(init_ryx(failing_alloc, counting_free), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(init_ryx(nullptr, counting_free), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(destroy_ryx(nullptr), -EINVAL);
    libryx_info info{};
    EXPECT_EQ(ryx_info(nullptr, 5, &info), -EINVAL);
}

TEST_F(Ctl, MoveBeforeSetupCreatesUnderTheReseller) {
    // The limits helper's order: move, ask, set up.
    libryx_info info{};
    EXPECT_EQ(ryx_info(h, 70001, &info), -ESRCH);
    EXPECT_EQ(ryx_ryk_move(h, 70001, 1000), 0);
    EXPECT_EQ(ryx_info(h, 70001, &info), -ESRCH);
    libryx_settings s{};
    s.ls_cpu = 25;
    s.ls_memory_phy = 131072;
    s.ls_nproc = 100;
    EXPECT_EQ(ryx_setup(h, 70001, &s), 0);
    ASSERT_EQ(ryx_info(h, 70001, &info), 0);
    EXPECT_EQ(info.li_set.ls_cpu, 25);
    EXPECT_EQ(info.li_set.ls_memory_phy, 131072);
    EXPECT_EQ(info.li_set.ls_nproc, 100);
    EXPECT_EQ(info.li_flags, 0);
    EXPECT_EQ(state(70001), "id=70001\nstate=active\nparent=1000\nflags=0\ncpu=25\ncpus=0\nio=0\n"
                            "enters=0\nmemory=0\ncpu_weight=0\nmemory_phy=131072\nnproc=100\n"
                            "iops=0\n");

    // Setup replaces the settings and keeps the parent; a move keeps the settings.
    s = {};
    s.ls_io = 2048;
    EXPECT_EQ(ryx_setup(h, 70001, &s), 0);
    EXPECT_EQ(ryx_ryk_move(h, 70001, 2000), 0);
    ryx::ctl::Container c;
    ASSERT_EQ(ryx::ctl::load(70001, c), 0);
    EXPECT_EQ(c.parent, 2000u);
    EXPECT_EQ(c.set.ls_io, 2048);
    EXPECT_EQ(c.set.ls_cpu, 0);
}

TEST_F(Ctl, SetupWithoutMoveIsTopLevel) {
    libryx_settings s{};
    EXPECT_EQ(ryx_setup(h, 1000, &s), 0);
    ryx::ctl::Container c;
    ASSERT_EQ(ryx::ctl::load(1000, c), 0);
    EXPECT_TRUE(c.active);
    EXPECT_EQ(c.parent, 0u);
}

TEST_F(Ctl, SettingsRanges) {
    for (const ryx::ctl::Setting &f : ryx::ctl::kSettings) {
        libryx_settings s{};
        s.*f.field = f.max;
        EXPECT_EQ(ryx_setup(h, 70002, &s), 0) << f.key;
        if (f.max < INT32_MAX) {
            s.*f.field = f.max + 1;
            EXPECT_EQ(ryx_setup(h, 70002, &s), -ERANGE) << f.key;
        }
        s = {};
        s.*f.field = -1;
        EXPECT_EQ(ryx_setup(h, 70002, &s), -EINVAL) << f.key;
        s.*f.field = INT32_MIN;
        EXPECT_EQ(ryx_setup(h, 70002, &s), -EINVAL) << f.key;
    }
    // A negative value wins over an out-of-range one, wherever they are.
    libryx_settings s{};
    ASSERT_EQ(ryx_setup(h, 70002, &s), 0);
    s.ls_cpu = INT32_MAX;
    s.ls_iops = -5;
    EXPECT_EQ(ryx_setup(h, 70002, &s), -EINVAL);
    // A rejected setup changes nothing.
    libryx_info info{};
    ASSERT_EQ(ryx_info(h, 70002, &info), 0);
    EXPECT_EQ(info.li_set.ls_iops, 0);
    EXPECT_EQ(info.li_set.ls_cpu, 0);
}

TEST_F(Ctl, InvalidIds) {
    libryx_settings s{};
    EXPECT_EQ(ryx_setup(h, 0, &s), -EINVAL);
    EXPECT_EQ(ryx_setup(h, 0xffffffffu, &s), -EINVAL);
    EXPECT_EQ(ryx_setup(h, 5, nullptr), -EINVAL);
    EXPECT_EQ(ryx_ryk_move(h, 0, 1000), -EINVAL);
    EXPECT_EQ(ryx_ryk_move(h, 1000, 1000), -EINVAL);
    EXPECT_EQ(ryx_ryk_move(h, 5, 0xffffffffu), -EINVAL);
    EXPECT_EQ(ryx_info(h, 5, nullptr), -EINVAL);
}

TEST_F(Ctl, FlagsAndDamagedState) {
    libryx_settings s{};
    ASSERT_EQ(ryx_setup(h, 300, &s), 0);
    ASSERT_EQ(ryx::ctl::set_flags(300, RYX_VE_DISABLE), 0);
    libryx_info info{};
    ASSERT_EQ(ryx_info(h, 300, &info), 0);
    EXPECT_EQ(info.li_flags, RYX_VE_DISABLE);
    EXPECT_EQ(ryx::ctl::set_flags(301, RYX_VE_DISABLE), -ESRCH);

    const std::string path = base + "/state/300";
    for (const char *bad : {"", "id=300\nstate=active\nparent=1x\n", "id=301\nstate=active\n",
                            "state=active\n", "id=300\nstate=maybe\n", "id=300\nstate=active",
                            "id=300\nstate=active\ncpu=2147483648\n", "garbage\n"}) {
        spit(path, bad);
        libryx_info i2{};
        EXPECT_EQ(ryx_info(h, 300, &i2), -EBADMSG) << bad;
        EXPECT_EQ(ryx_setup(h, 300, &s), -EBADMSG) << bad; // not overwritten blindly
        EXPECT_EQ(slurp(path), bad);
    }
    // Unknown keys and comments are skipped, for newer writers and for hand edits.
    spit(path, "# note\nid=300\nstate=active\nparent=7\nfuture=1\ncpu=9\n");
    ASSERT_EQ(ryx_info(h, 300, &info), 0);
    EXPECT_EQ(info.li_set.ls_cpu, 9);
}

// What ryxd reads before it creates a user's container: 1 only for defaults it may use.
TEST_F(Ctl, HostDefaults) {
    libryx_settings s{}, got{};
    EXPECT_EQ(ryx::ctl::load_defaults(got), 0); // no state directory yet
    s.ls_cpu = 50, s.ls_enters = 3;
    ASSERT_EQ(ryx::ctl::store_defaults(s), 0);
    ASSERT_EQ(ryx::ctl::load_defaults(got), 1);
    EXPECT_EQ(std::memcmp(&got, &s, sizeof s), 0);
    s.ls_cpus = 5000;
    EXPECT_EQ(ryx::ctl::store_defaults(s), -ERANGE);
    const std::string path = base + "/state/.defaults";
    for (const char *bad : {"cpu=2147483647\n", "cpu=5\nio=x\n", "cpu=5"}) {
        spit(path, bad);
        EXPECT_EQ(ryx::ctl::load_defaults(got), -EBADMSG) << bad;
    }
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 1000, 1000), 0);
        EXPECT_EQ(ryx::ctl::load_defaults(got), -EUCLEAN);
    }
    ASSERT_EQ(ryx::ctl::clear_defaults(), 0);
    EXPECT_EQ(ryx::ctl::load_defaults(got), 0);
    EXPECT_EQ(ryx::ctl::clear_defaults(), 0);
}

TEST_F(Ctl, LocksAreHeldPerContainerAndWaitedForBoundedly) {
    libryx_settings s{};
    ASSERT_EQ(ryx_setup(h, 70001, &s), 0);
    // Another holder of 70001's lock, as a stopped helper would be.
    ryx::Fd dir(::open((base + "/state").c_str(), O_RDONLY | O_DIRECTORY));
    ryx::Lock held;
    ASSERT_EQ(held.acquire_key(dir.get(), ".locks", 70001, 0), 0);
    // By default a change gives up after 5 s: long enough for a busy holder, short enough
    // that a stopped one does not hang its caller.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ryx_setup(h, 70001, &s), -ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(8000));
    ryx::Paths quick = ryx::paths();
    quick.container_lock_wait_ms = 300;
    ryx::configure(quick);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(ryx_setup(h, 70002, &s), 0);
    EXPECT_EQ(ryx_ryk_move(h, 70003, 1000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(ryx_setup(h, 70001, &s), -ETIMEDOUT);
    EXPECT_EQ(ryx_ryk_move(h, 70001, 1000), -ETIMEDOUT);
    EXPECT_EQ(ryx::ctl::forget(70001), -ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1800));
    held = ryx::Lock();
    EXPECT_EQ(ryx_setup(h, 70001, &s), 0);
}

TEST_F(Ctl, AnOrdinaryCallerPlacesOnlyItsOwnDomainContainers) {
    if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: acting as a set-user-ID program needs root";
    libryx_settings s{};
    const uint32_t min = ryx::registry::id_min();
    ASSERT_EQ(ryx_ryk_move(h, min + 1, 1001), 0); // bob's domain, still running
    ASSERT_EQ(ryx_setup(h, min + 1, &s), 0);
    ASSERT_EQ(ryx_setup(h, 1001, &s), 0);    // bob's own container
    ASSERT_EQ(ryx_setup(h, min + 2, &s), 0); // top level, root's doing
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Real uid 1000, effective root: a set-user-ID helper started by uid 1000.
        int bad = ::setresuid(1000, 0, 0) != 0;
        bad |= ryx_ryk_move(h, min + 1, 1000) != -EPERM;
        bad |= ryx_setup(h, min + 1, &s) != -EPERM;
        bad |= ryx_ryk_move(h, 1001, 1000) != -EPERM;
        bad |= ryx_ryk_move(h, min + 5, 1001) != -EPERM;
        bad |= ryx_setup(h, min + 6, &s) != -EPERM;      // never placed under uid 1000
        bad |= ryx_ryk_move(h, min + 2, 1000) != -EPERM; // top level: not the caller's to take
        bad |= ryx_ryk_move(h, min + 7, 1000) != 0 || ryx_setup(h, min + 7, &s) != 0;
        ::_exit(bad);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ryx::ctl::Container c;
    ASSERT_EQ(ryx::ctl::load(min + 1, c), 0);
    EXPECT_EQ(c.parent, 1001u);
    ASSERT_EQ(ryx::ctl::load(min + 7, c), 0);
    EXPECT_EQ(c.parent, 1000u);
}

// The file routines the exporter shares: writers that hold no lock (kUniqueTemp) each rename a
// whole file of their own, so a reader only ever sees one writer's complete text, and nothing
// is left beside the file afterwards.
using Files = TempRoot;

TEST_F(Files, UnlockedWritersEachReplaceTheFileWhole) {
    ryx::Fd dir(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);
    ASSERT_EQ(ryx::write_atomic(dir.get(), "out.prom", "start", 0644, -1, ryx::kUniqueTemp), 0);
    std::atomic<int> failed{0}, running{3};
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w)
        writers.emplace_back([&, w] {
            const std::string text(60000 + w * 7, static_cast<char>('a' + w));
            for (int i = 0; i < 150; ++i)
                if (ryx::write_atomic(dir.get(), "out.prom", text, 0644, -1,
                                      ryx::kUniqueTemp | ryx::kNoSync) != 0)
                    ++failed;
            --running;
        });
    int torn = 0, reads = 0;
    while (running > 0) {
        std::string got;
        if (ryx::read_file(dir.get(), "out.prom", got, ryx::kAnySize) != 0) {
            ++torn;
            continue;
        }
        ++reads;
        const bool whole = got == "start" || (!got.empty() && got[0] >= 'a' && got[0] <= 'c' &&
                                              got.size() == 60000u + (got[0] - 'a') * 7u &&
                                              got.find_first_not_of(got[0]) == std::string::npos);
        torn += !whole;
    }
    for (std::thread &t : writers)
        t.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    std::vector<std::string> names;
    ASSERT_EQ(ryx::list_names(dir.get(), names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"out.prom"})
        << "no temporary file left, no dot entry";
}
