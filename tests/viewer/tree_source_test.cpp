// Tree source: reads of a scratch directory laid out as the library's control-group tree (v2 and
// v1 files, a missing controller, groups not root's alone or oddly named). The choice of source
// is tested through the programs (test_listing.py).
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scratch_dir.h"
#include "tree-source.h"

namespace fs = std::filesystem;

namespace {

// A scratch directory with a record and the groups of a tree, root's like the real one.
class Tree : public ::testing::Test {
  protected:
    ScratchDir scratch{"ryx-tree"};
    fs::path base = scratch.path();
    ryx_sample sample;
    std::map<std::pair<uint64_t, uint64_t>, const ryx_entry *> at; // (reseller, id)

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: the tree is believed only when root's";
        umask(022);
        fs::permissions(base, fs::perms(0755));
    }
    void file(const fs::path &path, const std::string &text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    ryx_tree load(const std::string &record) {
        file(base / "record", record);
        ryx_tree tree;
        EXPECT_EQ(ryx_tree_load((base / "record").c_str(), tree), 0);
        return tree;
    }
    int read(const ryx_tree &tree) {
        int rc = ryx_tree_stats(tree, 4096, true, sample.times, sample);
        at.clear();
        for (const ryx_entry *e = sample.list.get(); e; e = e->next)
            at[{e->parent_id, e->id}] = e;
        return rc;
    }
};

TEST_F(Tree, UnifiedHierarchy) {
    const fs::path r = base / "v2";
    file(r / "ryx1000/ryx1000/cpu.stat", "usage_usec 1500000\n");
    file(r / "ryx1000/ryx1000/memory.current", "8192\n");
    // Reads and writes summed over the devices; discards do not count.
    file(r / "ryx1000/ryx1000/io.stat", "8:0 rbytes=100 wbytes=20 rios=3 wios=4 dbytes=9\n"
                                        "8:16 rbytes=1 rios=1\n");
    file(r / "ryx1000/ryx1000/cgroup.procs", "10\n11\n");
    file(r / "ryx1000/ryx1000/cgroup.threads", "10\n11\n12\n");
    file(r / "ryx1000/cpu.stat", "usage_usec 9\n"); // the reseller's sum, not its own
    // No io controller down here: no I/O figures.
    file(r / "ryx1000/ryx60001/ryx60001/cpu.stat", "usage_usec 3\n");
    // Not containers: ryxd's leaf, odd names, a group without its leaf, groups somebody else
    // could have made or changed.
    for (const char *odd : {"ryxd", "ryx007/ryx007", "ryx0/ryx0", "ryx-3/ryx-3", "ryx5",
                            "ryx4294967296/ryx4294967296", "ryx2000/ryx2000", "ryx2001/ryx2001",
                            "ryx1000/ryx60002/ryx60002"})
        fs::create_directories(r / odd);
    ASSERT_EQ(chown((r / "ryx2000").c_str(), 1000, 1000), 0);
    fs::permissions(r / "ryx2001/ryx2001", fs::perms(0777));
    fs::permissions(r / "ryx1000/ryx60002", fs::perms(0775));

    ryx_tree tree = load("v2 cpu,io,memory,pids " + r.string() + "\n");
    ASSERT_EQ(read(tree), 0);
    EXPECT_EQ(sample.times.proc_ryx_version, 8);
    ASSERT_EQ(at.size(), 2u);
    const ryx_entry &own = *at[{0, 1000}], &domain = *at[{1000, 60001}];
    EXPECT_TRUE(own.cpu_valid && own.mem_valid && own.io_valid && own.iops_valid);
    EXPECT_EQ(std::vector<uint64_t>({own.cpu, own.mem, own.io, own.iops, own.pno, own.tno}),
              std::vector<uint64_t>({1500000000, 2, 121, 8, 2, 3}));
    EXPECT_TRUE(domain.cpu == 3000 && !domain.mem_valid && !domain.io_valid && !domain.iops_valid);
    // The top level first in reading order, so last from the head.
    EXPECT_EQ(sample.list->id, 60001u);

    // Each read is of its moment; a root others may write is no tree.
    file(r / "ryx1000/ryx1000/cpu.stat", "usage_usec 2500000\n");
    ASSERT_EQ(read(tree), 0);
    EXPECT_EQ((at[{0, 1000}]->cpu), 2500000000u);
    fs::permissions(r, fs::perms(0777));
    EXPECT_EQ(read(tree), -EPROTO);
}

TEST_F(Tree, SeparateHierarchies) {
    const fs::path cpu = base / "cpu", mem = base / "memory", blk = base / "blkio";
    file(cpu / "ryx1000/ryx1000/cpuacct.usage", "123456789\n");
    file(cpu / "ryx1000/ryx1000/cgroup.procs", "10\n");
    file(cpu / "ryx1000/ryx1000/tasks", "10\n11\n");
    file(mem / "ryx1000/ryx1000/memory.usage_in_bytes", "40960\n");
    // Throttling totals without a device line: the proportional policy's files count instead.
    file(blk / "ryx1000/ryx1000/blkio.throttle.io_service_bytes", "Total 0\n");
    file(blk / "ryx1000/ryx1000/blkio.io_service_bytes", "8:0 Read 7\nTotal 7\n");
    file(blk / "ryx1000/ryx1000/blkio.throttle.io_serviced", "8:0 Read 2\nTotal 2\n");
    ryx_tree tree = load("v1 cpu,cpuacct " + cpu.string() + "\nv1 memory " + mem.string() +
                         "\nv1 blkio " + blk.string() + "\nv1 pids /nonexistent\n");
    ASSERT_EQ(read(tree), 0);
    const ryx_entry &own = *at[{0, 1000}];
    EXPECT_EQ(std::vector<uint64_t>({own.cpu, own.mem, own.io, own.iops, own.pno, own.tno}),
              std::vector<uint64_t>({123456789, 10, 7, 2, 1, 2}));
}

} // namespace
