// Command line: options, numbers, the default column format and the format parser.
#include <cerrno>
#include <string>
#include <vector>

#include <getopt.h>
#include <gtest/gtest.h>

#include "ryxps-cmdline.h"
#include "ryxps-order.h"
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

// The parser fills the command-line record and hands -r back where it stands, even inside a
// group of options, so that its warning comes before a later option's complaint.
TEST(OptionParser, ReturnsAtEachRealtimeOption) {
    std::vector<std::string> args{"ryxps", "-dr", "-c", "7", "-s", "!mem", "-r", "-c", "0"};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());
    optind = 0; // a fresh scan
    ryx_cmdline cmd;
    EXPECT_EQ(ryx_parse_cmdline(argc, argv.data(), cmd), RYX_CMDLINE_REALTIME);
    EXPECT_EQ(cmd.opts, OPT_DYNAMIC);
    EXPECT_EQ(ryx_parse_cmdline(argc, argv.data(), cmd), RYX_CMDLINE_REALTIME);
    EXPECT_EQ(cmd.calibration_time, 7);
    EXPECT_EQ(cmd.sort, SORT_MEM | SORT_REVERSE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ryx_parse_cmdline(argc, argv.data(), cmd), RYX_CMDLINE_INVALID);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("error: invalid time\n", 0), 0u);
    EXPECT_EQ(cmd.calibration_time, 7);
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

} // namespace
