// Tree source and the choice of source: the group files' parsers on plain text, then reads of a
// directory made to look like the library's control-group tree (v2 and v1 files, a missing
// controller, groups that are not root's alone or oddly named), and the decision between the
// kernel's lists and the tree.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sample-source.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(TreeFiles, Parsers) {
    uint32_t id = 0;
    for (const char *good : {"ryx1", "ryx60001", "ryx4294967295"})
        EXPECT_TRUE(ryx_tree_group_id(good, id)) << good;
    EXPECT_EQ(id, 4294967295u);
    for (const char *odd : {"ryx", "ryx0", "ryx007", "ryx-3", "ryx+3", "ryx12abc", "ryx 1",
                            "ryx4294967296", "ryxd", "Ryx1", "xryx1", "1000"})
        EXPECT_FALSE(ryx_tree_group_id(odd, id)) << odd;

    uint64_t v = 0, w = 0;
    EXPECT_TRUE(ryx_parse_counter("4096\n", v) && v == 4096);
    EXPECT_FALSE(ryx_parse_counter("max\n", v) || ryx_parse_counter("", v) ||
                 ryx_parse_counter("1 2\n", v) || ryx_parse_counter("-1\n", v));
    EXPECT_TRUE(ryx_parse_cpu_usage("usage_usec 1500\nuser_usec 1\n", v) && v == 1500);
    EXPECT_TRUE(ryx_parse_cpu_usage("nr_periods 0\nusage_usec\t7", v) && v == 7);
    EXPECT_FALSE(ryx_parse_cpu_usage("user_usec 1\n", v) || ryx_parse_cpu_usage("usage_usec x", v));

    // Read and write summed over devices; discards and unknown keys do not count.
    EXPECT_TRUE(ryx_parse_io_stat("8:0 rbytes=100 wbytes=20 rios=3 wios=4 dbytes=9 dios=9\n"
                                  "8:16 rbytes=1 wbytes=2 rios=1 wios=1 new=5\n",
                                  v, w));
    EXPECT_EQ(v, 123u);
    EXPECT_EQ(w, 9u);
    EXPECT_TRUE(ryx_parse_io_stat("", v, w) && v == 0 && w == 0);
    for (const char *bad : {"rbytes=1\n", "8:0 rbytes\n", "8:0 rbytes=x\n", "8:0 rios=-1\n"})
        EXPECT_FALSE(ryx_parse_io_stat(bad, v, w)) << bad;

    bool devices = true;
    EXPECT_TRUE(ryx_parse_blkio_total("Total 0\n", v, devices) && v == 0 && !devices);
    EXPECT_TRUE(ryx_parse_blkio_total("8:0 Read 5\n8:0 Total 5\nTotal 5\n", v, devices));
    EXPECT_TRUE(v == 5 && devices);
    EXPECT_FALSE(ryx_parse_blkio_total("8:0 Read 5\n", v, devices) ||
                 ryx_parse_blkio_total("Total x\n", v, devices));
}

// A scratch directory holding a record and the groups of a tree, root's like the real one.
class Tree : public ::testing::Test {
  protected:
    ScratchDir scratch{"ryx-tree"};
    fs::path base;
    ryx_read_times before;
    ryx_sample sample;
    std::map<std::pair<uint64_t, uint64_t>, const ryx_entry *> by_key;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: the tree is believed only when root's";
        ASSERT_FALSE(scratch.path().empty());
        umask(022);
        base = scratch.path();
        fs::permissions(base, fs::perms(0755));
    }
    void file(const fs::path &path, const std::string &text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::string record(const std::string &text) {
        file(base / "run" / "cgroup", text);
        return (base / "run" / "cgroup").string();
    }
    int read(const ryx_tree &tree, bool count_tasks = false) {
        int rc = ryx_tree_stats(tree, 4096, count_tasks, before, sample);
        before = sample.times;
        by_key.clear();
        for (const ryx_entry *e = sample.list.get(); e; e = e->next)
            by_key[{e->parent_id, e->id}] = e;
        return rc;
    }
    const ryx_entry &at(uint64_t parent, uint64_t id) {
        static const ryx_entry none{};
        auto it = by_key.find({parent, id});
        EXPECT_NE(it, by_key.end()) << parent << "/" << id;
        return it == by_key.end() ? none : *it->second;
    }
};

TEST_F(Tree, UnifiedHierarchy) {
    const fs::path r = base / "v2";
    file(r / "ryx1000/ryx1000/cpu.stat", "usage_usec 1500000\nuser_usec 1\n");
    file(r / "ryx1000/ryx1000/memory.current", "8192\n");
    file(r / "ryx1000/ryx1000/io.stat", "8:0 rbytes=100 wbytes=20 rios=3 wios=4\n");
    file(r / "ryx1000/ryx1000/cgroup.procs", "10\n11\n");
    file(r / "ryx1000/ryx1000/cgroup.threads", "10\n11\n12\n");
    file(r / "ryx1000/cpu.stat", "usage_usec 999999\n"); // the reseller's sum: not its own
    file(r / "ryx1000/ryx60001/ryx60001/cpu.stat", "usage_usec 3\n");
    // The io controller not enabled down here: no io.stat, no I/O figures.
    file(r / "ryx1000/ryx60001/ryx60001/memory.current", "4096\n");
    fs::create_directories(r / "ryx1001/ryx1001");
    // Not containers: the daemon's own leaf, odd names, a file, a group without its leaf.
    for (const char *odd : {"ryxd", "ryx007/ryx007", "ryx12abc/ryx12abc", "ryx0/ryx0", "ryx5"})
        fs::create_directories(r / odd);
    file(r / "ryx6/cpu.stat", "usage_usec 1\n");
    file(r / "ryx7", "");
    // Somebody else's group, or one others may write, is not believed.
    file(r / "ryx2000/ryx2000/cpu.stat", "usage_usec 1\n");
    ASSERT_EQ(chown((r / "ryx2000").c_str(), 1000, 1000), 0);
    file(r / "ryx2001/ryx2001/cpu.stat", "usage_usec 1\n");
    fs::permissions(r / "ryx2001/ryx2001", fs::perms(0777));
    file(r / "ryx1000/ryx60002/ryx60002/cpu.stat", "usage_usec 1\n");
    fs::permissions(r / "ryx1000/ryx60002", fs::perms(0775));

    ryx_tree tree;
    ASSERT_EQ(ryx_tree_load(record("v2 cpu,io,memory,pids " + r.string() + "\n").c_str(), tree), 0);
    ASSERT_EQ(tree.size(), 1u);
    ASSERT_EQ(read(tree, true), 0);
    EXPECT_EQ(sample.times.proc_ryx_version, 8);
    EXPECT_EQ(by_key.size(), 3u);
    const ryx_entry &own = at(0, 1000), &domain = at(1000, 60001), &bare = at(0, 1001);
    EXPECT_EQ(own.cpu, 1500000000u);
    EXPECT_TRUE(own.cpu_valid && own.mem_valid && own.io_valid && own.iops_valid);
    EXPECT_EQ(own.mem, 2u);
    EXPECT_EQ(own.io, 120u);
    EXPECT_EQ(own.iops, 7u);
    EXPECT_EQ(own.ep, 0u);
    EXPECT_EQ(own.pno, 2u);
    EXPECT_EQ(own.tno, 3u);
    EXPECT_EQ(domain.cpu, 3000u);
    EXPECT_EQ(domain.mem, 1u);
    EXPECT_FALSE(domain.io_valid || domain.iops_valid);
    EXPECT_FALSE(bare.cpu_valid || bare.mem_valid || bare.io_valid);
    // Top-level containers first in the lists' reading order, so last from the head.
    EXPECT_EQ(sample.list->id, 60001u);

    // Every read is of the moment; the thread collector counts when nobody asks for counts.
    file(r / "ryx1000/ryx1000/cpu.stat", "usage_usec 2500000\n");
    ASSERT_EQ(read(tree), 0);
    EXPECT_EQ(at(0, 1000).cpu, 2500000000u);
    EXPECT_EQ(at(0, 1000).tno, 0u);
    EXPECT_LT(ryx_interval_length(sample.times), 1000000000u);

    // A root that is not root's alone is no tree at all.
    fs::permissions(r, fs::perms(0777));
    EXPECT_EQ(read(tree), -EPROTO);
    EXPECT_EQ(sample.list, nullptr);
}

TEST_F(Tree, SeparateHierarchies) {
    const fs::path cpu = base / "cpu,cpuacct", mem = base / "memory", blk = base / "blkio";
    file(cpu / "ryx1000/ryx1000/cpuacct.usage", "123456789\n");
    file(cpu / "ryx1000/ryx1000/cgroup.procs", "10\n");
    file(cpu / "ryx1000/ryx1000/tasks", "10\n11\n");
    file(mem / "ryx1000/ryx1000/memory.usage_in_bytes", "40960\n");
    // Throttling totals without a device line: the proportional policy's files count instead.
    file(blk / "ryx1000/ryx1000/blkio.throttle.io_service_bytes", "Total 0\n");
    file(blk / "ryx1000/ryx1000/blkio.io_service_bytes", "8:0 Read 7\n8:0 Total 7\nTotal 7\n");
    file(blk / "ryx1000/ryx1000/blkio.throttle.io_serviced", "8:0 Read 2\n8:0 Total 2\nTotal 2\n");
    // Only in the memory hierarchy, which has no processes list: a record all the same.
    file(mem / "ryx1000/ryx60001/ryx60001/memory.usage_in_bytes", "4096\n");
    ryx_tree tree;
    const std::string rec = "v1 cpu,cpuacct " + cpu.string() + "\nv1 memory " + mem.string() +
                            "\n\nv1 blkio " + blk.string() + "\nv1 pids " +
                            (base / "gone").string() + "\n";
    ASSERT_EQ(ryx_tree_load(record(rec).c_str(), tree), 0);
    ASSERT_EQ(tree.size(), 4u);
    EXPECT_TRUE(tree[0].has("cpuacct") && !tree[0].has("memory") && !tree[0].v2);
    ASSERT_EQ(read(tree, true), 0);
    const ryx_entry &own = at(0, 1000), &domain = at(1000, 60001);
    EXPECT_EQ(own.cpu, 123456789u);
    EXPECT_EQ(own.mem, 10u);
    EXPECT_EQ(own.io, 7u);
    EXPECT_EQ(own.iops, 2u);
    EXPECT_EQ(own.pno, 1u);
    EXPECT_EQ(own.tno, 2u);
    EXPECT_TRUE(domain.mem_valid && !domain.cpu_valid && !domain.io_valid);
}

TEST_F(Tree, RecordAndChoiceOfSource) {
    const fs::path r = base / "v2", list = base / "proc-ryx-list";
    file(r / "ryx1000/ryx1000/cpu.stat", "usage_usec 1\n");
    const std::string good = record("v2 - " + r.string() + "\n");
    ryx_source_paths paths{list.c_str(), good.c_str()};
    ryx_source src;

    // No list: the tree; a list, even an empty one, wins.
    ASSERT_TRUE(ryx_open_source(src, 4096, false, paths));
    ASSERT_EQ(src.kind, RYX_SOURCE_TREE);
    EXPECT_TRUE(src.tree[0].controllers.empty());
    ASSERT_EQ(ryx_read_source(src, before, sample), 0);
    EXPECT_EQ(sample.list->id, 1000u);
    file(list, "");
    ASSERT_TRUE(ryx_open_source(src, 4096, false, paths));
    EXPECT_EQ(src.kind, RYX_SOURCE_LISTS);
    EXPECT_FALSE(src.files.empty());
    fs::remove(list);

    // Neither a tree nor lists: the lists, which fail as they always did.
    for (const char *text : {"", "v3 cpu /x\n", "v2 cpu relative\n"}) {
        ryx_tree tree;
        const std::string path = record(text);
        EXPECT_EQ(ryx_tree_load(path.c_str(), tree), *text ? -EBADMSG : 0) << text;
        ASSERT_TRUE(ryx_open_source(src, 4096, false, {list.c_str(), path.c_str()}));
        EXPECT_EQ(src.kind, RYX_SOURCE_LISTS) << text;
    }
    ASSERT_TRUE(ryx_open_source(src, 4096, false, {list.c_str(), (base / "none").c_str()}));
    EXPECT_EQ(src.kind, RYX_SOURCE_LISTS);
    // A record somebody else could have written is no record.
    record("v2 - " + r.string() + "\n");
    for (auto [uid, mode] : {std::pair{1000u, 0644u}, {0u, 0664u}}) {
        ASSERT_EQ(chown(good.c_str(), uid, 0), 0);
        chmod(good.c_str(), mode);
        ryx_tree tree;
        EXPECT_EQ(ryx_tree_load(good.c_str(), tree), -EPERM);
        ASSERT_TRUE(ryx_open_source(src, 4096, false, paths));
        EXPECT_EQ(src.kind, RYX_SOURCE_LISTS);
    }
}

} // namespace
