// Column renderers called directly, standard output captured: exact cells in every mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ryxps-output.h"

namespace {

constexpr unsigned D = OPT_DYNAMIC;

std::string cell(int kind, int row, unsigned opts, uint32_t w, ryx_entry *e = nullptr,
                 threadinfo *t = nullptr) {
    fflush(stdout);
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    FILE *saved = stdout;
    stdout = mem;
    ryx_output[kind](e, row, opts, w, t);
    fflush(mem);
    stdout = saved;
    fclose(mem);
    std::string s(buf, len);
    free(buf);
    return s;
}

std::string header(unsigned opts, uint32_t w = 6) {
    std::string line;
    for (int k = COL_ID; k < COL_COUNT; k++)
        line += cell(k, ROW_HEADER, opts, w);
    return line;
}

class Columns : public ::testing::Test {
  protected:
    ryx_entry e{};
    threadinfo t{};
    void SetUp() override {
        proc_ryx_version = 8;
        times_ts[0] = {100, 0};
        times_ts[1] = {103, 0};
        times_tsc[0] = times_tsc[1] = 0;
        calibration_time = 3;
        page_size = 4096;
        clock_res = 100;
        cpus_online = 4;
        cpufreq = 2400000000ul;
        e.cpu_valid = e.io_valid = e.iops_valid = 1;
        t.valid = 1;
    }
};

TEST(ColumnTables, KeywordsAndRenderersByKind) {
    const char *kw[] = {"id",  "ep",  "pid", "pno",  "tid", "tno",
                        "cpu", "mem", "io",  "iops", "com", "ryk"};
    EXPECT_EQ(ryx_fmt_str[0], nullptr);
    EXPECT_EQ(ryx_output[0], nullptr);
    for (int k = 1; k < COL_COUNT; k++) {
        EXPECT_STREQ(ryx_fmt_str[k], kw[k - 1]);
        EXPECT_NE(ryx_output[k], nullptr);
    }
}

TEST_F(Columns, HeadersPerMode) {
    EXPECT_EQ(header(0),
              "    ID    EP   PID   PNO   TID   TNO   CPU   MEM    DT    DO   COM   RYK");
    EXPECT_EQ(header(D),
              "    ID    EP   PID   PNO   TID   TNO SPEED   MEM    IO  IOPS   COM   RYK");
    EXPECT_EQ(header(D | OPT_MHZ), header(D));
    EXPECT_EQ(header(D | OPT_OLDCPU),
              "    ID    EP   PID   PNO   TID   TNO   CPU   MEM    IO  IOPS   COM   RYK");
    EXPECT_EQ(header(OPT_SPACED, 2),
              " ID EP PID PNO TID TNO CPU MEM DT DO COM RYK"); // never cut, one space before each
    EXPECT_EQ(cell(COL_CPU, 0, OPT_SPACED, 5), " ");
    EXPECT_EQ(cell(COL_CPU, 4, 0, 5, &e, &t), "");
}

TEST_F(Columns, PlaceholdersPerRowKind) {
    e.ep = 7, e.pno = 2, e.tno = 3, e.parent_id = 12;
    t.pid = 300, t.tid = 301;
    std::string c, th;
    for (int k : {COL_EP, COL_PID, COL_PNO, COL_TID, COL_TNO, COL_IO, COL_IOPS, COL_RYK}) {
        c += cell(k, ROW_CONTAINER, 0, 5, &e);
        th += cell(k, ROW_THREAD, 0, 5, &e, &t);
    }
    EXPECT_EQ(c, "    7  ---    2  ---    3    0    0   12");
    EXPECT_EQ(th, "  ---  300  ---  301  ---  N/A  N/A     ");
    EXPECT_EQ(cell(COL_ID, ROW_THREAD, OPT_SPACED, 4, &e, &t), "     ");
    EXPECT_EQ(cell(COL_COM, ROW_CONTAINER, 0, 4, &e), " ---");
    e.parent_id = 0;
    EXPECT_EQ(cell(COL_RYK, ROW_CONTAINER, OPT_SPACED, 3, &e), "   0");
}

TEST_F(Columns, IdIsTheUserNameOrTheNumberCutToWidth) {
    e.id = (1ull << 32) | 0; // only the low 32 bits name the user
    EXPECT_EQ(cell(COL_ID, ROW_CONTAINER, 0, 6, &e), "  root");
    EXPECT_EQ(cell(COL_ID, ROW_CONTAINER, 0, 2, &e), "ro");
    EXPECT_EQ(cell(COL_ID, ROW_CONTAINER, OPT_NUMERIC, 3, &e), "  0");
    e.id = (5ull << 32) | 4123456789u;
    EXPECT_EQ(cell(COL_ID, ROW_CONTAINER, 0, 12, &e), "  4123456789");
    EXPECT_EQ(cell(COL_ID, ROW_CONTAINER, OPT_NUMERIC, 5, &e), "41234");
}

TEST_F(Columns, CpuOfAContainer) {
    e.cpu = 12999999999;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e), "  12");
    proc_ryx_version = 4;
    e.cpu = 5000000000;
    cpufreq = 2000000000;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e), "   2");
    e.cpu = UINT64_MAX, cpufreq = 1; // 20 digits print whole
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e), "18446744073709551615");
    cpufreq = 0; // no clock rate: no seconds
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e), " N/A");

    proc_ryx_version = 8, cpufreq = 2400000000ul;
    times_ts[0] = {100, 500000000}; // E = 3000000000 ns across a second boundary
    times_ts[1] = {103, 500000000};
    e.cpu = 1500000000;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D, 10, &e), "       50%");
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D | OPT_OLDCPU, 10, &e), "       12%");
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D | OPT_MHZ, 10, &e), "     1200mhz");
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D | OPT_SPACED, 1, &e), " 50%");
    e.cpu_valid = 0;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D | OPT_MHZ, 5, &e), "  N/A");
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 5, &e), "  N/A");

    e.cpu_valid = 1;
    proc_ryx_version = 3; // cycles over cycles
    times_tsc[0] = 1000, times_tsc[1] = 1000 + 4000;
    e.cpu = 1000;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D, 5, &e), "  25%");
    times_tsc[1] = 1000; // an interval of 0
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D, 5, &e), "  N/A");
}

TEST_F(Columns, CpuOfAThread) {
    t.cpu = 250;
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, 0, 3, &e, &t), "  2");
    t.cpu = 150; // over calibration_time 3, not the measured interval
    times_ts[1] = {200, 0};
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, D, 4, &e, &t), " 50%");
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, D | OPT_MHZ, 6, &e, &t), " 1200mhz");
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, D | OPT_OLDCPU, 4, &e, &t), " 12%");
    t.valid = 0;
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, D, 4, &e, &t), " N/A");
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, 0, 4, &e, &t), " N/A");
}

TEST_F(Columns, MemoryInMibRoundedUp) {
    const std::pair<uint64_t, const char *> cases[] = {
        {0, "  0"},       {1, "  1"},       {4096, "  1"},
        {1048576, "  1"}, {1048577, "  2"}, {UINT64_MAX, "17592186044416"}};
    for (auto [bytes, shown] : cases) {
        t.mem = bytes;
        EXPECT_EQ(cell(COL_MEM, ROW_THREAD, 0, 3, &e, &t), shown) << bytes;
    }
    e.mem_valid = 1, e.mem = 257; // pages
    EXPECT_EQ(cell(COL_MEM, ROW_CONTAINER, 0, 3, &e), "  2");

    // Without a list value: each run of one pid counts once.
    e.mem_valid = 0;
    EXPECT_EQ(cell(COL_MEM, ROW_CONTAINER, 0, 3, &e), "  0");
    threadinfo a{}, b{}, c{};
    a.pid = 300, a.mem = 2097152, a.next = &b;
    b.pid = 300, b.mem = 2097152, b.next = &c;
    c.pid = 200, c.mem = 1048576;
    e.threadinfo_head = &a;
    EXPECT_EQ(cell(COL_MEM, ROW_CONTAINER, 0, 3, &e), "  3");
    c.pid = 300;
    EXPECT_EQ(cell(COL_MEM, ROW_CONTAINER, 0, 3, &e), "  2");
}

TEST_F(Columns, IoAndIopsRatesAndTotals) {
    for (int kind : {COL_IO, COL_IOPS}) {
        SCOPED_TRACE(kind);
        e.io = e.iops = 1000;
        e.io_valid = e.iops_valid = 1;
        times_ts[0] = {100, 0};
        times_ts[1] = {103, 200000000};
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  313");
        EXPECT_EQ(cell(kind, ROW_CONTAINER, 0, 5, &e), " 1000");
        proc_ryx_version = 4; // whole seconds of cycles: 3.9 s counts as 3
        cpufreq = 1000000000;
        times_tsc[0] = 0, times_tsc[1] = 3900000000;
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  334");
        times_tsc[1] = 999999999; // less than a second
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  N/A");
        cpufreq = 0;
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  N/A");
        proc_ryx_version = 8;
        times_ts[1] = times_ts[0];
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  N/A");
        e.io_valid = e.iops_valid = 0;
        EXPECT_EQ(cell(kind, ROW_CONTAINER, 0, 5, &e), "  N/A");
        // A rate beyond 64 bits stays at the largest value.
        e.io_valid = e.iops_valid = 1;
        e.io = e.iops = UINT64_MAX - 1;
        times_ts[1] = {100, 1};
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "18446744073709551615");
    }
}

TEST_F(Columns, CommandCutAndCleanedInPlace) {
    strcpy(t.com, "a\tb\nc\x7f"
                  "d\xc3\xa9");
    EXPECT_EQ(cell(COL_COM, ROW_THREAD, 0, 10, &e, &t), " a b c d\xc3\xa9");
    EXPECT_STREQ(t.com, "a b c d\xc3\xa9");
    strcpy(t.com, "abcdefghijklmnopqrstuvwxyz0123");
    EXPECT_EQ(cell(COL_COM, ROW_THREAD, 0, 25, &e, &t), " abcdefghijklmnopqrstuvwx");
    EXPECT_EQ(cell(COL_COM, ROW_THREAD, OPT_SPACED, 1, &e, &t), "  ");
}

} // namespace
