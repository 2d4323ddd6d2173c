// The simulated kernel: determinism, the list format, containers under resellers, limits, and
// the container state the library leaves behind.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "backend.h"
#include "model.h"

using namespace ryxsim;

namespace {

const char kScenario[] = R"(
seed 5
user uid=1000 name=alice isolation
user uid=1001 name=bob
reseller id=1000
domain user=alice name=shop docroot=/srv/shop
process user=alice domain=shop name=php cmdline="php-fpm: pool shop" threads=2 count=2 cpu=80..90 mem=100M io=1M iops=100 entry
process user=bob name="VM Thread" cmdline="java -jar app.jar" threads=3 cpu=10..20 mem=1G
)";

Scenario parse(std::string text = kScenario) {
    Scenario sc;
    std::string err;
    EXPECT_EQ(parse_scenario(text, sc, err), 0) << err;
    return sc;
}

std::vector<std::vector<std::string>> rows(const std::string &list) {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(list);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> r;
        for (std::string w; words >> w;)
            r.push_back(w);
        out.push_back(r);
    }
    return out;
}

std::string all_threads(const Model &m) {
    std::string out;
    m.for_each_thread([&](const Model::ThreadFiles &f) {
        out += f.dir + f.status + f.statm + f.stat + f.cmdline + f.cgroup;
    });
    return out;
}

// The shop registered as 60000 and, when placed, active under alice's reseller with limits.
Backend shop_backend(bool active, int32_t cpu_limit = 0) {
    Backend b;
    b.assigned[{1000, "/srv/shop"}] = 60000;
    if (active) {
        Backend::Container c;
        c.parent = 1000;
        c.has_limits = true;
        c.limits.cpu = cpu_limit;
        b.containers[60000] = c;
    }
    return b;
}

} // namespace

TEST(Model, SameSeedSameHostOtherSeedOtherFigures) {
    Scenario sc = parse(), other = parse(std::string(kScenario) + "seed 6\n");
    Model a(sc, 4096, 100), b(sc, 4096, 100), c(other, 4096, 100);
    for (int i = 0; i < 5; ++i) {
        Backend be = shop_backend(i >= 2);
        a.step(be);
        b.step(be);
        c.step(be);
        ASSERT_EQ(a.main_list(), b.main_list());
        ASSERT_EQ(a.reseller_lists(), b.reseller_lists());
        ASSERT_EQ(all_threads(a), all_threads(b));
        ASSERT_EQ(a.history_lines(7), b.history_lines(7));
    }
    EXPECT_NE(a.main_list(), c.main_list());
}

TEST(Model, ListsInTheKernelFormatWithCountersThatOnlyGrow) {
    Scenario sc = parse();
    Model m(sc, 4096, 100);
    m.step({});
    const std::string list = m.main_list();
    EXPECT_EQ(list.substr(0, list.find('\n') + 1),
              "8:RYX\tEP\tCPU\tMEM\tIO\tMEMPHY\tIOPS\tNPROC\n");
    auto before = rows(list);
    ASSERT_EQ(before.size(), 2u); // alice, bob; the shop is not registered yet
    for (int i = 0; i < 3; ++i)
        m.step({});
    auto after = rows(m.main_list());
    ASSERT_EQ(after.size(), before.size());
    for (size_t r = 0; r < after.size(); ++r) {
        ASSERT_EQ(after[r].size(), 8u);
        EXPECT_GT(std::stoull(after[r][2]), std::stoull(before[r][2])) << r; // CPU
        for (size_t col : {4u, 6u})                                          // IO, IOPS
            EXPECT_GE(std::stoull(after[r][col]), std::stoull(before[r][col])) << r << "," << col;
    }
    EXPECT_GT(std::stoull(after[0][4]), std::stoull(before[0][4])); // alice does I/O
    // alice: 2 processes at 80..90% each for 3 ticks of a second: 4.8 to 5.4 s of CPU.
    uint64_t used = std::stoull(after[0][2]) - std::stoull(before[0][2]);
    EXPECT_GE(used, 4'800'000'000u);
    EXPECT_LE(used, 5'400'000'000u);
}

TEST(Model, DomainContainerAppearsUnderItsResellerOnceActive) {
    Scenario sc = parse();
    Model m(sc, 4096, 100);
    // Registered but only placed: its workers stay in alice's container, nothing is listed.
    m.step(shop_backend(false));
    EXPECT_EQ(m.reseller_lists().at(1000).find("60000"), std::string::npos);
    EXPECT_NE(all_threads(m).find("FNid:\t1000\n"), std::string::npos);
    EXPECT_EQ(all_threads(m).find("FNid:\t60000\n"), std::string::npos);

    m.step(shop_backend(true));
    auto lists = m.reseller_lists();
    auto r = rows(lists.at(1000));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][0], "1000,60000");
    EXPECT_EQ(r[0][7], "2"); // processes
    EXPECT_EQ(m.main_list().find("60000"), std::string::npos);
    std::string threads = all_threads(m);
    EXPECT_NE(threads.find("FNid:\t60000\n"), std::string::npos);
    EXPECT_NE(threads.find("0::/ryx.slice/ryx60000\n"), std::string::npos);
    EXPECT_NE(threads.find(std::string("php-fpm:\0pool\0shop\0", 19)), std::string::npos);
    // A thread name with a blank stays whole inside the parentheses of stat.
    EXPECT_NE(threads.find(" (VM Thread) "), std::string::npos);
    EXPECT_NE(m.history_lines(42).find("42 60000 1000 shop "), std::string::npos);
}

// A thread's clock ticks are its whole ticks used, never rounded up: the same host with a clock
// of 1e9 Hz counts its nanoseconds, of which 100 Hz must show exactly the floor.
TEST(Model, ThreadTicksAreTheWholeTicksOfTheNanosecondsUsed) {
    Scenario sc = parse();
    Model m(sc, 4096, 100), ns(sc, 4096, 1'000'000'000);
    for (int i = 0; i < 3; ++i) {
        m.step(shop_backend(i > 0));
        ns.step(shop_backend(i > 0));
    }
    auto ticks = [](const Model &model) {
        std::map<std::string, uint64_t> out;
        model.for_each_thread([&](const Model::ThreadFiles &f) {
            std::istringstream fields(f.stat.substr(f.stat.rfind(')') + 2));
            std::string skip;
            for (int n = 3; n < 14; ++n) // state .. cmajflt: fields 3 to 13
                fields >> skip;
            uint64_t utime = 0, stime = 0;
            fields >> utime >> stime;
            out[f.dir] = utime + stime;
        });
        return out;
    };
    const auto hz100 = ticks(m), used_ns = ticks(ns);
    ASSERT_EQ(hz100.size(), used_ns.size());
    ASSERT_EQ(hz100.size(), 7u);
    for (const auto &[dir, n] : used_ns) {
        ASSERT_GT(n, 10'000'000u) << dir;
        EXPECT_EQ(hz100.at(dir), n / 10'000'000) << dir << ": " << n << " ns";
    }
}

TEST(Model, HistoryLinesStayWholeForAnyDocroot) {
    Scenario sc = parse();
    Model m(sc, 4096, 100);
    Backend b;
    b.assigned[{1000, "/srv/" + std::string(3000, 'x') + "/"}] = 60007;
    b.assigned[{1000, "/srv/with blank"}] = 60008;
    m.step(b);
    std::string lines = m.history_lines(9);
    std::istringstream in(lines);
    std::vector<std::string> got;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;)
            w.push_back(x);
        ASSERT_EQ(w.size(), 19u) << line.substr(0, 80);
        got.push_back(w[3]);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"with_blank", std::string(200, 'x')}));
}

TEST(Model, LimitsCapUsageAndCountFaults) {
    Scenario sc = parse();
    Model m(sc, 4096, 100);
    m.step(shop_backend(true, 50));
    const Sample *s = m.sample(60000);
    ASSERT_NE(s, nullptr);
    EXPECT_DOUBLE_EQ(s->cpu, 50);
    EXPECT_EQ(s->faults & 1u, 1u);
    Model free_run(sc, 4096, 100);
    free_run.step(shop_backend(true, 0));
    EXPECT_GT(free_run.sample(60000)->cpu, 150);
    EXPECT_EQ(free_run.sample(60000)->faults, 0u);
}

TEST(Model, EachLimitHoldsItsOwnResource) {
    Demand d;
    d.flow[kFlowCpu] = 150;          // percent
    d.flow[kFlowMem] = 100 * 4096.0; // 100 pages
    d.flow[kFlowIo] = 4096;          // 4 KiB/s
    d.flow[kFlowIops] = 50;
    d.ep = 4;
    d.nproc = 6;
    const Held free_run = hold_to_limits(d, nullptr);
    EXPECT_EQ(free_run.sample.faults, 0u);
    EXPECT_EQ(free_run.sample.vmem, 300 * 4096u);
    // cpu, pmem, io, nproc, iops, ep, vmem: every demand beyond its limit but the entry
    // processes, which just reach theirs.
    Limits lim{100, 50, 2, 5, 25, 4, 120};
    Held h = hold_to_limits(d, &lim);
    EXPECT_EQ(h.sample.faults,
              kFaultCpu | kFaultPmem | kFaultIo | kFaultNproc | kFaultIops | kFaultVmem);
    EXPECT_EQ((std::tuple{h.sample.cpu, h.sample.pmem, h.sample.vmem, h.sample.io, h.sample.iops,
                          h.sample.ep, h.sample.nproc}),
              (std::tuple{100.0, 50 * 4096u, 120 * 4096u, 2048.0, 25.0, 4u, 6u}));
    EXPECT_DOUBLE_EQ(h.scale[kFlowCpu], 100.0 / 150);
    EXPECT_EQ((std::tuple{h.scale[kFlowMem], h.scale[kFlowIo], h.scale[kFlowIops]}),
              (std::tuple{0.5, 0.5, 0.5}));
    lim.ep = 3; // entry processes beyond their limit: held to it, and a fault
    h = hold_to_limits(d, &lim);
    EXPECT_EQ(h.sample.ep, 3u);
    EXPECT_NE(h.sample.faults & kFaultEp, 0u);
}

TEST(ContainerState, ReadsWhatTheLibraryWrites) {
    bool active = false;
    Backend::Container c;
    ASSERT_EQ(parse_container_state("id=70001\nstate=active\nparent=1000\nflags=0\ncpu=25\ncpus=0\n"
                                    "io=1024\nenters=20\nmemory=262144\ncpu_weight=0\n"
                                    "memory_phy=131072\nnproc=100\niops=1000\n# note\nfuture=1\n",
                                    active, c),
              0);
    EXPECT_TRUE(active);
    EXPECT_EQ(c.parent, 1000u);
    EXPECT_EQ((std::tuple{c.limits.cpu, c.limits.io, c.limits.ep, c.limits.vmem, c.limits.pmem,
                          c.limits.nproc, c.limits.iops}),
              (std::tuple{25, 1024, 20, 262144, 131072, 100, 1000}));
    ASSERT_EQ(parse_container_state("id=5\nstate=placed\nparent=1000\n", active, c), 0);
    EXPECT_FALSE(active);
    // Not ours, or cut short while being written by something else: not trusted.
    EXPECT_NE(parse_container_state("id=5\nparent=1000\n", active, c), 0);
    EXPECT_NE(parse_container_state("id=5\nstate=active\nparent=10", active, c), 0);
    EXPECT_NE(parse_container_state("id=5\nstate=active\ncpu=-1\n", active, c), 0);
    EXPECT_NE(parse_container_state("id=5\nstate=active\nparent\n", active, c), 0);
}
