// Scenario text: what parses into which records, and which mistakes are reported where.
#include <gtest/gtest.h>

#include "scenario.h"

using namespace ryxsim;

namespace {

std::string error_of(const std::string &text) {
    Scenario sc;
    std::string err;
    EXPECT_NE(parse_scenario(text, sc, err), 0) << text;
    return err;
}

const char kUsers[] = "user uid=1000 name=alice isolation\nuser uid=1001 name=bob\n";

} // namespace

TEST(Scenario, BuiltInScenarioDescribesAResellerWithDomains) {
    Scenario sc;
    std::string err;
    ASSERT_EQ(parse_scenario(kDefaultScenario, sc, err), 0) << err;
    ASSERT_EQ(sc.users.size(), 3u);
    EXPECT_EQ(sc.resellers, std::vector<uint32_t>{1000});
    ASSERT_GE(sc.domains.size(), 2u);
    EXPECT_TRUE(sc.domains[0].assign && sc.domains[0].limits);
    EXPECT_EQ(sc.domains[0].limits->cpu, 250);
    // Runtimes name their threads with blanks; the scenario keeps them whole.
    bool blank_thread = false;
    for (const Process &p : sc.processes)
        for (const std::string &n : p.thread_names)
            blank_thread = blank_thread || n.find(' ') != std::string::npos;
    EXPECT_TRUE(blank_thread);
}

TEST(Scenario, QuotedValuesCommentsAndProfiles) {
    Scenario sc;
    std::string err;
    ASSERT_EQ(
        parse_scenario(std::string(kUsers) +
                           "seed 99   # comment\n"
                           "tick 0.25\n"
                           "profile name=web cpu=5..40@30 mem=64M io=1K..2K\n"
                           "domain user=alice name=a.example docroot=\"/srv/a site\" assign\n"
                           "process user=alice domain=a.example name=php cmdline=\"php -f x.php\" "
                           "threads=3 count=2 profile=web iops=7 entry\n",
                       sc, err),
        0)
        << err;
    EXPECT_EQ(sc.seed, 99u);
    EXPECT_EQ(sc.tick_ms, 250u);
    EXPECT_EQ(sc.domains[0].docroot, "/srv/a site");
    const Process &p = sc.processes[0];
    EXPECT_EQ(p.cmdline, "php -f x.php");
    EXPECT_EQ(p.domain, 0);
    EXPECT_EQ(p.threads, 3u);
    EXPECT_EQ(p.count, 2u);
    EXPECT_TRUE(p.entry);
    // The profile's levels, with one overridden on the line.
    EXPECT_DOUBLE_EQ(p.load.cpu.high, 40);
    EXPECT_DOUBLE_EQ(p.load.cpu.period, 30);
    EXPECT_DOUBLE_EQ(p.load.mem.low, 64.0 * 1024 * 1024);
    EXPECT_DOUBLE_EQ(p.load.iops.low, 7);
}

TEST(Scenario, LevelsAndQuantities) {
    Level l;
    ASSERT_EQ(parse_level("2..45@40", l), 0);
    EXPECT_EQ((std::tuple{l.low, l.high, l.period}), (std::tuple{2.0, 45.0, 40.0}));
    ASSERT_EQ(parse_level("1.5K", l), 0);
    EXPECT_EQ((std::tuple{l.low, l.high}), (std::tuple{1536.0, 1536.0}));
    ASSERT_EQ(parse_level("10%..20%", l), 0);
    EXPECT_EQ(l.high, 20);
    for (const char *bad : {"", "x", "5..2", "-3", "1..2@0", "1..2@", "..4", "3..", "1e999", "nan"})
        EXPECT_NE(parse_level(bad, l), 0) << bad;
}

TEST(Scenario, MistakesNameTheirLine) {
    EXPECT_EQ(error_of(std::string(kUsers) + "\nfrobnicate\n"),
              "4: unknown directive 'frobnicate'");
    EXPECT_EQ(error_of(std::string(kUsers) + "process user=carol name=x\n"),
              "3: unknown user 'carol'");
    EXPECT_EQ(error_of("user uid=0 name=root\n"),
              "1: user: uid must be a number from 1 to 4294967295");
    EXPECT_EQ(error_of(std::string(kUsers) + "user uid=1000 name=eve\n"),
              "3: user: uid or name already declared");
    EXPECT_EQ(error_of("user uid=1 name=\"a b\n"), "1: unclosed quote");
    EXPECT_EQ(error_of(std::string(kUsers) + "process user=alice name=x colour=red\n"),
              "3: process: unknown attribute 'colour'");
    EXPECT_EQ(error_of(std::string(kUsers) +
                       "process user=alice name=x thread-names=\"a,Thread-name-too-long\"\n"),
              "3: process: a thread name is 1 to 15 characters without parentheses");
    EXPECT_EQ(
        error_of(std::string(kUsers) + "domain user=alice name=d docroot=/d assign limits=1,2,3\n"),
        "3: domain: limits= takes seven numbers: cpu,pmem,io,nproc,iops,ep,vmem");
    EXPECT_EQ(error_of(std::string(kUsers) +
                       "domain user=alice name=d docroot=/d limits=1,2,3,4,5,6,7\n"),
              "3: domain: limits= needs assign");
    EXPECT_EQ(error_of(std::string(kUsers) + "domain user=alice name=\"a b\" docroot=/d\n"),
              "3: domain: a name is at most 200 characters without blanks, quotes or backslashes");
    EXPECT_EQ(error_of(std::string(kUsers) + "process user=bob domain=d name=x\n"),
              "3: process: no domain 'd' of that user");
    // Registering needs the owner's isolation, which is only known once every line is read.
    EXPECT_EQ(error_of(std::string(kUsers) + "domain user=bob name=b docroot=/b assign\n"),
              "domain b: assign needs isolation on user bob");
}
