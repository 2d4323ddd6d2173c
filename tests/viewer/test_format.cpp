// Column format, numbers on the command line, cpuinfo parsing, and the interval and sorting
// steps of a pass.
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ryxps-core.h"
#include "ryxps-output.h"

namespace {

std::vector<int> kinds(const std::vector<ryx_column> &cols) {
    std::vector<int> out;
    for (const auto &c : cols)
        out.push_back(c.kind);
    return out;
}

TEST(StrToUl, WholeDecimalNumbersOnly) {
    EXPECT_EQ(ryx_strtoul("10"), 10);
    EXPECT_EQ(ryx_strtoul("-5"), -5); // callers reject it
    EXPECT_EQ(ryx_strtoul(""), -1);
    EXPECT_EQ(ryx_strtoul("abc"), -1);
    EXPECT_EQ(ryx_strtoul("10x"), -1);
    EXPECT_EQ(ryx_strtoul("10 "), -1);
    EXPECT_EQ(ryx_strtoul("99999999999999999999"), -1);
    EXPECT_EQ(ryx_strtoul("4294967297"), 4294967297L);
}

TEST(DefaultFormat, InsertionsFollowTheOptions) {
    std::vector<ryx_column> cols;
    ASSERT_EQ(ryx_parse_format(ryx_default_format(0, false).c_str(), cols), 0);
    EXPECT_EQ(kinds(cols), (std::vector<int>{COL_ID, COL_EP, COL_PNO, COL_TNO, COL_CPU, COL_MEM,
                                             COL_IO, COL_IOPS}));
    EXPECT_EQ(ryx_default_format(0, false), "id:10,ep:7,pno:7,tno:7,cpu:10,mem:9,io:11,iops:11");
    ASSERT_EQ(ryx_parse_format(ryx_default_format(OPT_PROCESS, true).c_str(), cols), 0);
    EXPECT_EQ(kinds(cols), (std::vector<int>{COL_ID, COL_RYK, COL_EP, COL_PNO, COL_COM, COL_TNO,
                                             COL_TID, COL_CPU, COL_MEM, COL_IO, COL_IOPS}));
    EXPECT_EQ(cols[1].width, 8);
    EXPECT_EQ(cols[4].width, 25);
    ASSERT_EQ(ryx_parse_format(ryx_default_format(OPT_PROCESS | OPT_PIDS, false).c_str(), cols), 0);
    EXPECT_EQ(kinds(cols), (std::vector<int>{COL_ID, COL_EP, COL_PNO, COL_PID, COL_TNO, COL_TID,
                                             COL_CPU, COL_MEM, COL_IO, COL_IOPS}));
    // -w alone changes nothing.
    EXPECT_EQ(ryx_default_format(OPT_PIDS, false), ryx_default_format(0, false));
}

TEST(FormatParser, EveryKeywordWithItsWidth) {
    std::vector<ryx_column> cols;
    ASSERT_EQ(ryx_parse_format("id:1,ep:2,pid:3,pno:4,tid:5,tno:6,cpu:7,mem:8,io:9,iops:10,"
                               "com:11,ryk:2147483647",
                               cols),
              0);
    ASSERT_EQ(cols.size(), 12u);
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(cols[i].kind, i + 1);
        EXPECT_EQ(cols[i].width, i + 1);
    }
    EXPECT_EQ(cols[11].width, 2147483647);
}

TEST(FormatParser, RejectsMalformedElements) {
    // Widths beyond an int would wrap into a negative (left-aligned) print width.
    const char *bad[] = {"",       "id:10,",        "id:10,,ep:7",   "id",   "id:0", "id:-3",
                         "id:10x", "id:2147483648", "id:4294967306", "ID:10"};
    for (const char *format : bad) {
        std::vector<ryx_column> cols;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ryx_parse_format(format, cols), -EINVAL) << format;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(cols.empty());
        std::string expect = "error: format string is not valid\n";
        if (std::string(format) == "ID:10") expect = "error: unknown unit ID\n" + expect;
        EXPECT_EQ(err, expect) << format;
    }
}

TEST(CpuInfo, FirstMatchAfterTheFirstLine) {
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

TEST(IntervalDeltas, IncreaseOrInvalid) {
    ryx_entry a{}, b{};
    a.cpu = 100;
    a.io = 50;
    a.iops = 7;
    a.cpu_valid = a.io_valid = a.iops_valid = 1;
    b.cpu = 1100;
    b.io = 40;
    b.iops = 9;
    b.cpu_valid = b.io_valid = 1;
    ryx_apply_deltas(&a, &b);
    EXPECT_EQ(a.cpu, 1000u);
    EXPECT_EQ(a.cpu_valid, 1);
    // Went backwards: re-created container, no meaningful increase.
    EXPECT_EQ(a.io, 50u);
    EXPECT_EQ(a.io_valid, 0);
    // Missing from the second read.
    EXPECT_EQ(a.iops, 7u);
    EXPECT_EQ(a.iops_valid, 0);

    // Counters near the top of the range still give their exact increase.
    ryx_entry c{}, d{};
    c.cpu = ~uint64_t{0} - 10;
    d.cpu = ~uint64_t{0};
    c.cpu_valid = d.cpu_valid = 1;
    ryx_apply_deltas(&c, &d);
    EXPECT_EQ(c.cpu, 10u);
    EXPECT_EQ(c.cpu_valid, 1);
}

TEST(SortStep, RelinksBothDirections) {
    ryx_entry e[4]{};
    const uint64_t mem[4] = {20, 40, 10, 30};
    for (int i = 0; i < 4; ++i) {
        e[i].id = i;
        e[i].mem = mem[i];
        e[i].prev = i > 0 ? &e[i - 1] : nullptr;
        e[i].next = i < 3 ? &e[i + 1] : nullptr;
    }
    ryx_entry *head = ryx_sort_list(&e[0], SORT_MEM | SORT_REVERSE);
    std::vector<uint64_t> order;
    const ryx_entry *last = nullptr;
    for (ryx_entry *p = head; p; p = p->next) {
        EXPECT_EQ(p->prev, last);
        order.push_back(p->mem);
        last = p;
    }
    EXPECT_EQ(order, (std::vector<uint64_t>{10, 20, 30, 40}));
    EXPECT_EQ(ryx_sort_list(nullptr, SORT_MEM), nullptr);
    EXPECT_EQ(ryx_sort_list(head, SORT_NONE), head);
}

} // namespace
