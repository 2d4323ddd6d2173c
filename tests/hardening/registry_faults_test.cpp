// The registry under faults of the file system and of its users: a disk that fills up at every
// point of a change, a registry mounted read-only, many writers at once while readers look ids
// up without a lock, and files planted by the user a set-user-ID caller acts for. Whatever
// happens, a call ends either with a clear negative result or with the change done, and the
// registry on disk stays loadable and right: no completed change lost, no id handed out twice
// or to the wrong user.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <ryx/ryx-ctl.h>
#include <ryx/ryz-map.h>

#include "format.h"
#include "internal.h"
#include "registry.h"
#include "scratch_dir.h"

using namespace ryx;
namespace fs = std::filesystem;

namespace {

using Key = std::pair<uint32_t, std::string>; // uid, docroot
using Model = std::map<Key, uint32_t>;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string docroot(const char *tag, int n, size_t pad) {
    return "/home/" + std::string(tag) + "/" + std::to_string(n) + "/" + std::string(pad, 'p');
}

// A private registry. With a size, it lives on its own tmpfs in a private mount namespace.
class Faults : public ::testing::Test {
  protected:
    void make_root(size_t tmpfs_bytes = 0) {
        scratch = std::make_unique<ScratchDir>("ryx-faults");
        base = scratch->path();
        ASSERT_FALSE(base.empty()) << std::strerror(errno);
        if (tmpfs_bytes) {
            if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: mounting a tmpfs needs root";
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                GTEST_SKIP() << "SKIPPED: no private mount namespace: " << std::strerror(errno);
            const std::string opts = "size=" + std::to_string(tmpfs_bytes) + ",mode=0755";
            ASSERT_EQ(::mount("ryx-faults", base.c_str(), "tmpfs", 0, opts.c_str()), 0)
                << std::strerror(errno);
            mounted = true;
        }
        saved = paths();
        configure({base + "/ryz_ids", base + "/login.defs", base + "/state", 5000, 15000,
                   base + "/cgroup"});
        ASSERT_EQ(::mkdir(paths().registry_root.c_str(), 0755), 0);
    }

    void TearDown() override {
        if (base.empty()) return;
        configure(saved);
        if (mounted) ::umount2(base.c_str(), MNT_DETACH);
        scratch.reset(); // after the tmpfs is gone: what it held goes with it
    }

    std::string reg(const std::string &name) const { return paths().registry_root + "/" + name; }

    // Everything on disk agrees with the model: every table and the index load, every mapping
    // is there with its id, nothing else is, and the index holds every id for its owner.
    void expect_registry(const Model &model, const std::vector<uint32_t> &uids) {
        Model found;
        for (uint32_t uid : uids) {
            std::vector<fmt::Entry> entries;
            ASSERT_EQ(fmt::decode_user(slurp(reg(std::to_string(uid))), uid, entries), 0)
                << "table of " << uid;
            for (const auto &e : entries)
                found[{uid, e.docroot}] = e.id;
        }
        EXPECT_EQ(found, model);
        std::vector<fmt::Owner> owners;
        uint32_t next;
        ASSERT_EQ(fmt::decode_index(slurp(reg(".index")), owners, next), 0);
        std::map<uint32_t, uint32_t> owner_of;
        for (const auto &o : owners)
            owner_of[o.id] = o.uid;
        std::set<uint32_t> ids;
        for (const auto &[key, id] : model) {
            EXPECT_TRUE(ids.insert(id).second) << "id " << id << " mapped twice";
            EXPECT_EQ(owner_of.count(id) ? owner_of[id] : 0u, key.first) << "id " << id;
            EXPECT_EQ(ryz_map_lookup(key.first, key.second.c_str()), id);
            EXPECT_NE(ryz_map_verify_ownership(key.first, id), 0);
        }
        // A failed write leaves no temporary file behind to hold the space.
        for (const auto &f : fs::directory_iterator(paths().registry_root))
            EXPECT_EQ(f.path().filename().string().find(".new"), std::string::npos) << f.path();
    }

    std::unique_ptr<ScratchDir> scratch;
    std::string base;
    Paths saved;
    bool mounted = false;
};

// Fills the file system to the last byte; returns the filler's descriptor.
int fill_up(const std::string &path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    char block[4096];
    std::memset(block, 'f', sizeof block);
    for (size_t chunk = sizeof block; fd >= 0 && chunk > 0;) {
        if (::write(fd, block, chunk) < 0) chunk /= 2;
    }
    return fd;
}

} // namespace

TEST_F(Faults, FullDiskFailsEveryStepCleanlyAndLosesNothing) {
    make_root(256 * 1024);
    if (IsSkipped() || HasFatalFailure()) return;
    const std::vector<uint32_t> uids{1000, 1001};
    for (uint32_t uid : uids)
        ASSERT_EQ(registry::enable(uid), 1);
    Model model;
    for (int n = 0; n < 6; ++n) {
        uint32_t id = 0;
        const std::string d = docroot("early", n, 1500);
        ASSERT_EQ(ryz_map_assign(uids[n % 2], d.c_str(), &id), 1);
        model[{uids[n % 2], d}] = id;
    }
    // Each change starts on a disk with exactly k pages free, k growing from none: it fails
    // wherever the room runs out (the index, the table, the rename) until there is enough.
    const std::string filler = base + "/filler";
    int refused = 0;
    auto with_free_pages = [&](int k) {
        ::unlink(filler.c_str());
        int fd = fill_up(filler);
        ASSERT_GE(fd, 0);
        struct stat st;
        ASSERT_EQ(::fstat(fd, &st), 0);
        ASSERT_EQ(::ftruncate(fd, std::max<off_t>(0, st.st_size - off_t(k) * 4096)), 0);
        ::close(fd);
    };
    for (int round = 0; round < 3; ++round) {
        const uint32_t uid = uids[round % 2];
        const std::string d = docroot("late", round, 1500 + round * 700);
        for (int k = 0;; ++k) {
            SCOPED_TRACE("assign, round " + std::to_string(round) + ", free pages " +
                         std::to_string(k));
            ASSERT_LT(k, 16) << "room came back, yet the assignment kept failing";
            with_free_pages(k);
            uint32_t id = 0;
            const int rc = ryz_map_assign(uid, d.c_str(), &id);
            if (rc != 1)
                ASSERT_EQ(rc, -ENOSPC);
            else
                model[{uid, d}] = id;
            expect_registry(model, uids);
            if (HasFatalFailure()) return;
            if (rc == 1) break;
            ++refused;
        }
        // A removal writes a smaller table, but needs room for it next to the old one.
        const Key victim = model.begin()->first;
        const uint32_t victim_id = model.begin()->second;
        for (int k = 0;; ++k) {
            SCOPED_TRACE("remove, round " + std::to_string(round) + ", free pages " +
                         std::to_string(k));
            ASSERT_LT(k, 16) << "room came back, yet the removal kept failing";
            with_free_pages(k);
            uint32_t old = 0;
            const int rc = ryz_map_remove(victim.first, victim.second.c_str(), &old);
            if (rc != 1) {
                ASSERT_EQ(rc, -ENOSPC);
                EXPECT_EQ(old, 0u);
            } else {
                EXPECT_EQ(old, victim_id);
                model.erase(victim);
            }
            expect_registry(model, uids);
            if (HasFatalFailure()) return;
            if (rc == 1) break;
            ++refused;
        }
    }
    ::unlink(filler.c_str());
    EXPECT_GT(refused, 3) << "the disk never ran full";
    // Ids reserved by assignments that failed later are reclaimed, and only those.
    ASSERT_EQ(ryz_index_rebuild(), int(model.size()));
    expect_registry(model, uids);
}

TEST_F(Faults, ReadOnlyRegistryRefusesEveryChangeAndStillAnswers) {
    make_root(1024 * 1024);
    if (IsSkipped() || HasFatalFailure()) return;
    const std::vector<uint32_t> uids{1000};
    ASSERT_EQ(registry::enable(1000), 1);
    Model model;
    uint32_t id = 0;
    ASSERT_EQ(ryz_map_assign(1000, "/a", &id), 1);
    model[{1000, "/a"}] = id;
    ASSERT_EQ(::mount(nullptr, base.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);

    uint32_t untouched = 77;
    EXPECT_EQ(ryz_map_assign(1000, "/b", &untouched), -EROFS);
    EXPECT_EQ(ryz_map_remove(1000, "/a", &untouched), -EROFS);
    EXPECT_EQ(untouched, 77u);
    EXPECT_EQ(ryz_map_remove_all(1000), -EROFS);
    EXPECT_LT(ryz_index_rebuild(), 0);
    EXPECT_LT(registry::enable(1001), 0);
    EXPECT_LT(registry::disable(1000, true), 0);
    expect_registry(model, uids);
    ryz_map_iter *it = ryz_map_iter_open(1000);
    ASSERT_NE(it, nullptr);
    const char *d;
    ASSERT_EQ(ryz_map_iter_next(it, &d, &id), 0);
    EXPECT_STREQ(d, "/a");
    ryz_map_iter_close(it);

    ASSERT_EQ(::mount(nullptr, base.c_str(), nullptr, MS_REMOUNT, nullptr), 0);
    ASSERT_EQ(ryz_map_assign(1000, "/b", &id), 1);
    model[{1000, "/b"}] = id;
    expect_registry(model, uids);
}

// Each writer owns its docroots, spread over shared users: it assigns them all, then removes
// half, and reports the ids it got. Readers meanwhile look up ids fixed before the start.
TEST_F(Faults, ManyWritersAndLockFreeReadersAgree) {
    if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: registry writers need root";
    make_root();
    ASSERT_FALSE(HasFatalFailure());
    const std::vector<uint32_t> uids{1, 2, 3, 4};
    for (uint32_t uid : uids)
        ASSERT_EQ(registry::enable(uid), 1);
    Model fixed;
    for (int n = 0; n < 8; ++n) {
        uint32_t id = 0;
        const std::string d = docroot("fixed", n, 10);
        ASSERT_EQ(ryz_map_assign(uids[n % 4], d.c_str(), &id), 1);
        fixed[{uids[n % 4], d}] = id;
    }
    const int kWriters = 16, kReaders = 2, kDocroots = 10;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::alarm(120);
            FILE *out = std::fopen((base + "/w" + std::to_string(w)).c_str(), "w");
            int bad = out ? 0 : 1;
            for (int n = 0; n < kDocroots; ++n) {
                uint32_t id = 0;
                const std::string d = docroot("w", w * 100 + n, 0);
                bad |= ryz_map_assign(uids[(w + n) % 4], d.c_str(), &id) != 1;
                if (out) std::fprintf(out, "%u %s %u\n", uids[(w + n) % 4], d.c_str(), id);
            }
            for (int n = 0; n < kDocroots / 2; ++n) {
                uint32_t id = 0;
                const std::string d = docroot("w", w * 100 + n, 0);
                bad |= ryz_map_remove(uids[(w + n) % 4], d.c_str(), &id) != 1;
            }
            if (out) std::fclose(out);
            ::_exit(bad);
        }
        children.push_back(pid);
    }
    const std::string stop = base + "/stop";
    std::vector<pid_t> readers;
    for (int r = 0; r < kReaders; ++r) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::alarm(120);
            int bad = 0;
            while (!bad && ::access(stop.c_str(), F_OK) != 0) {
                for (const auto &[key, id] : fixed) {
                    bad |= ryz_map_lookup(key.first, key.second.c_str()) != id;
                    bad |= ryz_map_verify_ownership(key.first, id) == 0;
                    // Somebody else's id never passes as this user's.
                    bad |= ryz_map_verify_ownership(key.first % 4 + 1, id) != 0;
                }
            }
            ::_exit(bad);
        }
        readers.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw a failure";
    }
    std::ofstream(stop).put('s');
    for (pid_t pid : readers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a reader saw a wrong id";
    }

    Model model = fixed;
    for (int w = 0; w < kWriters; ++w) {
        std::ifstream in(base + "/w" + std::to_string(w));
        uint32_t uid, id;
        std::string d;
        for (int n = 0; in >> uid >> d >> id; ++n)
            if (n >= kDocroots / 2) model[{uid, d}] = id;
    }
    EXPECT_EQ(model.size(), fixed.size() + kWriters * kDocroots / 2);
    expect_registry(model, uids);
    EXPECT_EQ(ryz_index_rebuild(), int(model.size())) << "a completed removal left its id";
}

// A set-user-ID helper runs with its caller's real uid: a table or a container state owned by
// that uid is the caller's own writing and must not be believed, only root's and the
// effective uid's.
TEST_F(Faults, FilesOwnedByTheRealUidOfASetUserIdCallerAreNotBelieved) {
    if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: acting as a set-user-ID program needs root";
    make_root();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(registry::enable(1000), 1);
    ASSERT_EQ(registry::enable(1001), 1);
    uint32_t planted = 0, kept = 0;
    ASSERT_EQ(ryz_map_assign(1000, "/planted", &planted), 1);
    ASSERT_EQ(ryz_map_assign(1001, "/kept", &kept), 1);
    libryx *h = init_ryx(std::malloc, std::free);
    ASSERT_NE(h, nullptr);
    libryx_settings s{};
    EXPECT_EQ(ryx_setup(h, 70001, &s), 0);
    EXPECT_EQ(ryx_setup(h, 70002, &s), 0);
    ASSERT_EQ(::chown(reg("1000").c_str(), 1000, 1000), 0);
    ASSERT_EQ(::chown((paths().state_dir + "/70001").c_str(), 1000, 1000), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int bad = ::setresuid(1000, 0, 0) != 0;
        libryx_info info{};
        bad |= (ryz_map_lookup(1000, "/planted") != 0) << 1;
        bad |= (ryz_map_verify_ownership(1000, planted) != 0) << 2;
        bad |= (ryx_info(h, 70001, &info) != -EUCLEAN) << 3;
        // Root's files are still read.
        bad |= (ryz_map_lookup(1001, "/kept") != kept) << 4;
        bad |= (ryx_info(h, 70002, &info) != 0) << 5;
        ::_exit(bad);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits, from 1): " << WEXITSTATUS(status);
    destroy_ryx(h);
}
