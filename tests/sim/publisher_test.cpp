// Publishing into a /proc tree: whole files by rename, untouched files left alone, dangling
// process links removed, the history appended and kept bounded.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "files.h"
#include "publisher.h"
#include "scratch_dir.h"

using namespace ryxsim;

namespace {

class PublisherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        dir_ = scratch_.path();
        ASSERT_EQ(make_dirs(dir_ + "/proc"), 0);
        std::string err;
        ASSERT_EQ(parse_scenario("user uid=1000 name=alice\nreseller id=1000\n"
                                 "process user=alice name=php threads=2 cpu=50 mem=10M\n",
                                 sc_, err),
                  0)
            << err;
    }

    ino_t inode(const std::string &rel) {
        struct stat st {};
        return stat((dir_ + "/proc/" + rel).c_str(), &st) == 0 ? st.st_ino : 0;
    }
    std::string text(const std::string &rel) {
        std::string out;
        read_file(dir_ + "/" + rel, out);
        return out;
    }

    ScratchDir scratch_{"ryxsim-pub"};
    std::string dir_;
    Scenario sc_;
};

} // namespace

TEST_F(PublisherTest, WritesTheTreeAndReplacesOnlyWhatChanged) {
    Model m(sc_, 4096, 100);
    Publisher pub(dir_ + "/proc", dir_ + "/history");
    m.step({});
    ASSERT_EQ(pub.publish(m, 1), 0);
    EXPECT_EQ(text("proc/ryx/list"), m.main_list());
    EXPECT_EQ(text("proc/ryx/resellers/ryk1000/list"), m.reseller_lists().at(1000));
    std::string dir;
    m.for_each_thread([&](const Model::ThreadFiles &f) {
        if (dir.empty()) dir = f.dir;
    });
    ASSERT_FALSE(dir.empty());
    ino_t cmdline = inode(dir + "/cmdline"), stat = inode(dir + "/stat");
    ino_t reseller = inode("ryx/resellers/ryk1000/list");
    ASSERT_NE(cmdline, 0u);

    m.step({});
    ASSERT_EQ(pub.publish(m, 2), 0);
    EXPECT_EQ(inode(dir + "/cmdline"), cmdline);              // same text: not rewritten
    EXPECT_EQ(inode("ryx/resellers/ryk1000/list"), reseller); // still empty
    EXPECT_NE(inode(dir + "/stat"), stat);                    // CPU time moved on: renamed
    EXPECT_EQ(access((dir_ + "/proc/" + dir + "/.stat.new").c_str(), F_OK), -1);
}

TEST_F(PublisherTest, RemovesOnlyDanglingProcessLinks) {
    std::string proc = dir_ + "/proc/";
    ASSERT_EQ(symlink("/nonexistent/4242", (proc + "4242").c_str()), 0);
    ASSERT_EQ(symlink("/", (proc + "4343").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/self", (proc + "self").c_str()), 0);
    Model m(sc_, 4096, 100);
    Publisher pub(dir_ + "/proc", dir_ + "/history");
    m.step({});
    ASSERT_EQ(pub.publish(m, 1), 0);
    struct stat st;
    EXPECT_NE(lstat((proc + "4242").c_str(), &st), 0);
    EXPECT_EQ(lstat((proc + "4343").c_str(), &st), 0);
    EXPECT_EQ(lstat((proc + "self").c_str(), &st), 0);
}

TEST_F(PublisherTest, HistoryIsAppendedAndCutToItsNewerHalf) {
    Backend b;
    b.assigned[{1000, "/srv/site"}] = 60000;
    Model m(sc_, 4096, 100);
    Publisher pub(dir_ + "/proc", dir_ + "/history");
    m.step(b);
    ASSERT_EQ(pub.publish(m, 1), 0);
    ASSERT_EQ(pub.publish(m, 2), 0);
    EXPECT_EQ(text("history"), m.history_lines(1) + m.history_lines(2));

    std::string old(Publisher::kHistoryMax + 100, 'x');
    for (size_t i = 99; i < old.size(); i += 100)
        old[i] = '\n';
    ASSERT_EQ(write_atomic(dir_ + "/history", old), 0);
    ASSERT_EQ(pub.publish(m, 3), 0);
    std::string now = text("history");
    EXPECT_LT(now.size(), Publisher::kHistoryMax / 2 + 200);
    EXPECT_EQ(now.substr(now.size() - m.history_lines(3).size()), m.history_lines(3));
    EXPECT_EQ(now.substr(0, 100), old.substr(0, 100)); // whole lines only
}
