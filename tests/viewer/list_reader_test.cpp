// Container list reader on fixture files: header, versions and timestamps, tokens, dropped rows,
// order across the main and reseller lists.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "list-reader.h"

namespace fs = std::filesystem;

namespace {

class ListReader : public ::testing::Test {
  protected:
    fs::path dir;
    ryx_list_files files;
    ryx_read_times before; // the times of the previous read, as the run loop passes them on
    ryx_sample sample;
    ryx_entry *list = nullptr;

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "ryxps-reader-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    // Declares the list files in reading order; an empty text names a file that is not there.
    void lists(const std::vector<std::string> &texts) {
        files.clear();
        for (size_t i = 0; i < texts.size(); ++i) {
            fs::path p = dir / ("list" + std::to_string(i));
            if (!texts[i].empty()) std::ofstream(p) << texts[i];
            files.push_back(p.string());
        }
    }
    int read() {
        int rc = ryx_get_stats(files, before, sample);
        before = sample.times;
        list = sample.list.get();
        return rc;
    }
    std::vector<uint64_t> ids() const {
        std::vector<uint64_t> out;
        for (ryx_entry *e = list; e; e = e->next)
            out.push_back(e->id);
        return out;
    }
};

TEST_F(ListReader, VersionedHeaderFillsRecordAndTakesRealtimeStamp) {
    lists({"8:RYX\tEP\tCPU\tIO\n5\t1\t1000\t20\n"});
    before.times_ts[1] = {42, 7};
    timespec start;
    clock_gettime(CLOCK_REALTIME, &start);
    ASSERT_EQ(read(), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->prev, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(list->id, 5u);
    EXPECT_EQ(list->ep, 1u);
    EXPECT_EQ(list->cpu, 1000u);
    EXPECT_EQ(list->io, 20u);
    EXPECT_EQ(list->cpu_valid, 1);
    EXPECT_EQ(list->io_valid, 1);
    EXPECT_EQ(list->mem_valid, 0);
    EXPECT_EQ(list->iops_valid, 0);
    EXPECT_EQ(list->parent_id, 0u);
    EXPECT_EQ(list->threadinfo_head, nullptr);
    EXPECT_EQ(sample.times.proc_ryx_version, 8);
    EXPECT_EQ(sample.times.times_ts[0].tv_sec, 42);
    EXPECT_EQ(sample.times.times_ts[0].tv_nsec, 7);
    EXPECT_GE(sample.times.times_ts[1].tv_sec, start.tv_sec);
}

TEST_F(ListReader, HeaderWithoutColonIsVersionZeroAndUsesTheCounter) {
    lists({"RYX\tEP\tCPU\n5\t1\t1000\n"});
    before.times_tsc[1] = 1;
    timespec ts_before = before.times_ts[1];
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(sample.times.proc_ryx_version, 0);
    EXPECT_EQ(sample.times.times_tsc[0], 1u);
    EXPECT_GT(sample.times.times_tsc[1], 1u);
    EXPECT_EQ(sample.times.times_ts[1].tv_sec, ts_before.tv_sec);
    EXPECT_EQ(sample.times.times_ts[1].tv_nsec, ts_before.tv_nsec);
    // Versions 4 and 5 sit on either side of the clock switch; junk before the colon is 0.
    lists({"4:RYX\tEP\tCPU\n"});
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(sample.times.proc_ryx_version, 4);
    lists({"x:RYX\tEP\tCPU\n"});
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(sample.times.proc_ryx_version, 0);
}

// Reads pass their times on: each one shifts only its own clock's pair, and a read that fails
// before the header leaves all of them as they were.
TEST_F(ListReader, EachReadShiftsOnlyItsOwnClock) {
    lists({"8:RYX\tEP\tCPU\n"});
    ASSERT_EQ(read(), 0);
    const ryx_read_times first = sample.times;
    lists({"4:RYX\tEP\tCPU\n"});
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(sample.times.times_tsc[0], first.times_tsc[1]);
    EXPECT_EQ(sample.times.times_ts[0].tv_sec, first.times_ts[0].tv_sec);
    EXPECT_EQ(sample.times.times_ts[1].tv_nsec, first.times_ts[1].tv_nsec);
    const ryx_read_times second = sample.times;
    files = {(dir / "gone").string()};
    EXPECT_EQ(read(), -EPROTO);
    EXPECT_EQ(sample.times.proc_ryx_version, 4);
    EXPECT_EQ(sample.times.times_tsc[1], second.times_tsc[1]);
}

TEST_F(ListReader, ParentPrefixAndAlternativeNames) {
    // Old column names, a parent prefix in a non-id column, rows not one per line.
    lists({"8:veid\tenters\tcpu_usage\tIOPS\n5 1\n12,700 -1\n6\t2\t9\t3,4\n"});
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(ids(), (std::vector<uint64_t>{6, 5}));
    ryx_entry *six = list, *five = list->next;
    EXPECT_EQ(six->parent_id, 3u);
    EXPECT_EQ(six->iops, 4u);
    EXPECT_EQ(six->iops_valid, 1);
    EXPECT_EQ(five->parent_id, 12u);
    EXPECT_EQ(five->cpu, 700u);
    EXPECT_EQ(five->iops_valid, 0);
    EXPECT_EQ(five->next, nullptr);
    EXPECT_EQ(six->prev, nullptr);
    EXPECT_EQ(five->prev, six);
}

TEST_F(ListReader, AllOnesMeanNoValueAndMemFallsBackToMem) {
    lists({"8:RYX\tEP\tCPU\tIO\tMEM\tMEMPHY\n"
           "1\t0\t5\t-1\t100\t-1\n"
           "2\t0\t5\t18446744073709551615\t100\t30\n"
           "3\t0\t5\t7\t-1\t-1\n"});
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(ids(), (std::vector<uint64_t>{3, 2, 1}));
    ryx_entry *e3 = list, *e2 = e3->next, *e1 = e2->next;
    EXPECT_EQ(e1->io_valid, 0);
    EXPECT_EQ(e1->mem_valid, 1);
    EXPECT_EQ(e1->mem, 100u);
    EXPECT_EQ(e2->io_valid, 0);
    EXPECT_EQ(e2->mem, 30u);
    EXPECT_EQ(e3->io_valid, 1);
    EXPECT_EQ(e3->mem_valid, 0);
}

TEST_F(ListReader, MainAndResellerListsComeBackReversed) {
    lists({"ryx setup 1\nryx setup 2\n8:RYX\tEP\tCPU\n1 0 1\n2 0 1\n",
           "ryx setup 1\n8:RYX\tEP\tCPU\n3 0 1\n",
           "",                                    // vanished reseller: skipped
           "8:RYX\tEP\tCPU\n4 0 1\n5 0 1\n6 0"}); // ends inside a row
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(ids(), (std::vector<uint64_t>{5, 4, 3, 2, 1}));
    // Every prev link mirrors next.
    for (ryx_entry *e = list; e && e->next; e = e->next)
        EXPECT_EQ(e->next->prev, e);
}

TEST_F(ListReader, DroppedAndDuplicateRows) {
    lists({"8:RYX\tEP\tCPU\n"
           "4294967295\t0\t1\n" // kernel placeholder row
           "7\t-1\t1\n"         // required value missing
           "7\t1\t-1\n"
           "7\t1\t10\n"
           "7\t2\t20\n"});
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(ids(), (std::vector<uint64_t>{7, 7}));
    EXPECT_EQ(list->cpu, 20u); // the later row is nearer the head
}

TEST_F(ListReader, UnreadableListsFailWithProtocolError) {
    const std::vector<std::vector<std::string>> bad = {
        {""},                           // no main list
        {"ryx setup 1\nryx setup 2\n"}, // setup lines only
        {"8:RYX\tCPU\n1\t2\n"},         // no entry-process column
        {"8:EP\tCPU\n1\t2\n"},          // no id column
        {"8:RYX\tEP\tMEM\n1\t2\t3\n"},  // no CPU column
    };
    for (const auto &files : bad) {
        lists(files);
        EXPECT_EQ(read(), -EPROTO) << files[0];
        EXPECT_EQ(list, nullptr);
    }
    files.clear();
    EXPECT_EQ(read(), -EPROTO);
    // A list without containers is no error.
    lists({"8:RYX\tEP\tCPU"});
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(list, nullptr);
}

TEST_F(ListReader, LongLinesAndTokensStayWhole) {
    // Column names past the 149th character are not seen, but the rest of the header line is
    // still no data; a long setup line is skipped as one line.
    std::string setup = "ryx setup " + std::string(300, 'x') + "\n";
    std::string header = "8:RYX\tEP\tCPU\t" + std::string(200, 'X') + "\n";
    lists({setup + header + "1 2 3 4\n", header + "5 6 7 8\n"});
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(ids(), (std::vector<uint64_t>{5, 1}));
    EXPECT_EQ(list->ep, 6u);
    EXPECT_EQ(list->next->cpu, 3u);
    ryx_stats stats;
    std::string_view h, body;
    std::string text = setup + header;
    ASSERT_TRUE(ryx_split_list(text, h, body));
    ryx_parse_header(h, stats);
    EXPECT_EQ(stats.header.size(), 149u);
    ASSERT_EQ(stats.names.size(), 4u);
    EXPECT_EQ(stats.names[3], std::string(136, 'X'));
    // Nor is a long token split in two, which would shift every later value.
    ryx_parse_rows("1 " + std::string(60, '0') + "5 7 9\n", stats);
    ASSERT_EQ(stats.rows.size(), 1u);
    EXPECT_EQ(stats.rows[0], (std::vector<uint64_t>{1, 5, 7, 9, 0}));
}

TEST(ListLookup, FirstMatchingColumnOrAllOnes) {
    ryx_stats stats;
    ryx_parse_header("8:CPU\tRYX\tcpu_usage\tveid", stats);
    ryx_parse_rows("1 2 3 4 5 6 7 8", stats);
    ASSERT_EQ(stats.rows.size(), 2u);
    EXPECT_EQ(stats.rows[0].size(), 5u);
    EXPECT_EQ(ryx_lookup_stat(&stats, 1, "veid", "RYX"), 6u);
    EXPECT_EQ(ryx_lookup_stat(&stats, 0, "cpu_usage", "CPU"), 1u);
    EXPECT_EQ(ryx_lookup_stat(&stats, 0, "IO", nullptr), RYX_NO_VALUE);
    // The last parent prefix of a row wins.
    ryx_stats parents;
    ryx_parse_header("RYX\tEP", parents);
    ryx_parse_rows("3,1 4,2", parents);
    ASSERT_EQ(parents.rows.size(), 1u);
    EXPECT_EQ(parents.rows[0], (std::vector<uint64_t>{1, 2, 4}));
}

} // namespace
