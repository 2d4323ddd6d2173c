// Column renderers called directly with standard output captured: exact cells in every mode,
// each from its records and one render context.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ryxps-output.h"

namespace {

constexpr unsigned D = OPT_DYNAMIC;

std::string render(int kind, int row, const ryx_render_ctx &ctx, uint32_t w, ryx_entry *e,
                   threadinfo *t) {
    fflush(stdout);
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len), *saved = stdout;
    stdout = mem;
    ryx_output[kind](e, row, ctx, w, t);
    stdout = saved;
    fclose(mem);
    std::string s(buf, len);
    free(buf);
    return s;
}

class Columns : public ::testing::Test {
  protected:
    ryx_entry e{};
    threadinfo t{};
    ryx_render_ctx ctx;
    ryx_read_times &times = ctx.times;
    ryx_host &host = ctx.host;
    void SetUp() override {
        times.proc_ryx_version = 8;
        times.times_ts[0] = {100, 500000000}; // 3 s apart, across a second boundary
        times.times_ts[1] = {103, 500000000};
        ctx.calibration_time = 3;
        host.page_size = 4096;
        host.clock_res = 100;
        host.cpus_online = 4;
        host.cpufreq = 2400000000ul;
        e.cpu_valid = e.io_valid = e.iops_valid = t.valid = 1;
    }
    std::string cell(int kind, int row, unsigned opts, uint32_t w, ryx_entry *entry = nullptr,
                     threadinfo *thread = nullptr) {
        ctx.opts = opts;
        return render(kind, row, ctx, w, entry, thread);
    }
};

TEST_F(Columns, HeadersPerMode) {
    auto headers = [this](unsigned opts) {
        return cell(COL_CPU, ROW_HEADER, opts, 6) + cell(COL_IO, ROW_HEADER, opts, 5) +
               cell(COL_IOPS, ROW_HEADER, opts, 5);
    };
    EXPECT_EQ(headers(0), "   CPU   DT   DO");
    EXPECT_EQ(headers(D | OPT_MHZ), " SPEED   IO IOPS");
    EXPECT_EQ(headers(D | OPT_OLDCPU | OPT_SPACED), "    CPU    IO  IOPS");
    EXPECT_EQ(cell(COL_CPU, 4, 0, 5, &e, &t), ""); // not a row kind
}

TEST_F(Columns, Cpu) {
    e.cpu = 12999999999;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e), "  12");
    e.cpu = 1500000000;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D, 10, &e), "       50%");
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D | OPT_OLDCPU, 10, &e), "       12%");
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D | OPT_MHZ, 10, &e), "     1200mhz");
    t.cpu = 150; // threads: over calibration_time, not the measured interval
    times.times_ts[1].tv_sec = 200;
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, 0, 3, &e, &t), "  1");
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, D, 4, &e, &t), " 50%");
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, D | OPT_OLDCPU, 4, &e, &t), " 12%");
    EXPECT_EQ(cell(COL_CPU, ROW_THREAD, D | OPT_MHZ, 6, &e, &t), " 1200mhz");
    e.cpu_valid = t.valid = 0;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D | OPT_MHZ, 5, &e) +
                  cell(COL_CPU, ROW_THREAD, D, 5, &e, &t),
              "  N/A  N/A");

    e.cpu_valid = 1, times.proc_ryx_version = 4; // counted in processor cycles
    e.cpu = 5000000000, host.cpufreq = 2000000000;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e), "   2");
    times.times_tsc[0] = 1000, times.times_tsc[1] = 5000, e.cpu = 1000;
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, D, 5, &e), "  25%");
    e.cpu = UINT64_MAX, host.cpufreq = 1; // 20 digits print whole
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e), "18446744073709551615");
    host.cpufreq = 0,
    times.times_tsc[1] = times.times_tsc[0]; // no clock rate, no interval: no figure
    EXPECT_EQ(cell(COL_CPU, ROW_CONTAINER, 0, 4, &e) + cell(COL_CPU, ROW_CONTAINER, D, 4, &e),
              " N/A N/A");
}

TEST_F(Columns, MemoryInMibRoundedUp) {
    for (auto [bytes, shown] : {std::pair<uint64_t, const char *>{0, "  0"},
                                {1, "  1"},
                                {1048576, "  1"},
                                {1048577, "  2"},
                                {UINT64_MAX, "17592186044416"}}) {
        t.mem = bytes;
        EXPECT_EQ(cell(COL_MEM, ROW_THREAD, 0, 3, &e, &t), shown) << bytes;
    }
    e.mem_valid = 1, e.mem = 257; // pages
    EXPECT_EQ(cell(COL_MEM, ROW_CONTAINER, 0, 3, &e), "  2");
    e.mem_valid = 0; // nor threads to sum
    EXPECT_EQ(cell(COL_MEM, ROW_CONTAINER, 0, 3, &e), "  0");
}

TEST_F(Columns, IoAndIopsRates) {
    for (int kind : {COL_IO, COL_IOPS}) {
        times.proc_ryx_version = 8;
        e.io = e.iops = 1000;
        times.times_ts[1] = {103, 700000000}; // 3.2 s
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  313") << kind;
        times.proc_ryx_version = 4, host.cpufreq = 1000000000; // 3.9 s of cycles count as 3
        times.times_tsc[0] = 0, times.times_tsc[1] = 3900000000;
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  334") << kind;
        times.times_tsc[1] = 999999999; // under a second
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "  N/A") << kind;
        times.proc_ryx_version = 8, times.times_ts[1] = {100, 500000001}; // rate beyond 64 bits
        e.io = e.iops = UINT64_MAX - 1;
        EXPECT_EQ(cell(kind, ROW_CONTAINER, D, 5, &e), "18446744073709551615") << kind;
    }
    e.io_valid = 0;
    EXPECT_EQ(cell(COL_IO, ROW_CONTAINER, 0, 4, &e), " N/A");
}

TEST_F(Columns, CommandKeepsBytesAbove127) {
    std::string com = "\x7f\t\xc3\xa9";
    com.copy(t.com, com.size());
    EXPECT_EQ(cell(COL_COM, ROW_THREAD, 0, 5, &e, &t), "   \xc3\xa9");
}

} // namespace
