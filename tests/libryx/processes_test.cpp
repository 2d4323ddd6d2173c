// Many writer processes at once, and writers killed at random moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <ryx/ryz-map.h>

#include "fixture.h"
#include "format.h"
#include "registry.h"

using namespace ryx;

namespace {

using Key = std::pair<uint32_t, std::string>; // uid, docroot

// Every user table and the index, each loaded in full (so each must be intact).
struct Snapshot {
    std::map<Key, uint32_t> mapped;
    std::map<uint32_t, uint32_t> index; // id -> uid
};

void load_all(const std::string &root, const std::vector<uint32_t> &uids, Snapshot &s) {
    for (uint32_t uid : uids) {
        std::vector<fmt::Entry> entries;
        ASSERT_EQ(fmt::decode_user(TempRoot::slurp(root + "/" + std::to_string(uid)), uid, entries),
                  0)
            << "table of uid " << uid;
        for (const auto &e : entries)
            s.mapped[{uid, e.docroot}] = e.id;
    }
    std::vector<fmt::Owner> owners;
    uint32_t next;
    ASSERT_EQ(fmt::decode_index(TempRoot::slurp(root + "/.index"), owners, next), 0);
    for (const auto &o : owners)
        s.index[o.id] = o.uid;
}

// Ids unique across users, and every mapped id reserved in the index for its user.
void check_unique_and_indexed(const Snapshot &s) {
    std::map<uint32_t, Key> seen;
    for (const auto &[key, id] : s.mapped) {
        auto [it, fresh] = seen.emplace(id, key);
        EXPECT_TRUE(fresh) << "id " << id << " mapped twice";
        auto in = s.index.find(id);
        ASSERT_NE(in, s.index.end()) << "id " << id << " missing from the index";
        EXPECT_EQ(in->second, key.first);
    }
}

void write_line(int fd, const std::string &line) {
    // One write per line: a killed writer leaves whole lines only.
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
}

// A writer process: assigns and removes its own docroots (spread over the shared users) until
// it has done ops operations or is killed. Logs "B" before and "D" after every operation.
[[noreturn]] void writer(int slot, int ops, const std::string &log, unsigned seed) {
    ::alarm(60); // a writer outliving its test ends by itself
    int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    std::mt19937 rng(seed);
    int failures = 0;
    for (int i = 0; ops < 0 || i < ops; ++i) {
        uint32_t uid = 1 + rng() % 3;
        std::string docroot = "/w" + std::to_string(slot) + "/d" + std::to_string(rng() % 8);
        bool add = rng() % 3 != 0;
        write_line(fd, "B " + std::to_string(uid) + " " + docroot + (add ? " +\n" : " -\n"));
        uint32_t id = 0;
        int rc = add ? ryz_map_assign(uid, docroot.c_str(), &id)
                     : ryz_map_remove(uid, docroot.c_str(), &id);
        if (rc < 0) {
            ++failures;
            continue;
        }
        write_line(fd, "D " + std::to_string(uid) + " " + docroot + (add ? " + " : " - ") +
                           std::to_string(add ? id : 0) + "\n");
    }
    ::close(fd);
    ::_exit(failures ? 1 : 0);
}

// What the logs allow each docroot to be. A killed writer leaves its last operation unknown
// (done or not), and the writer started in its place may be killed likewise, so the possible
// states accumulate until an operation's end is logged. 0 is "absent"; kAnyId is "present
// with an id not known to the log".
constexpr uint32_t kAnyId = 0xffffffffu;

struct Expect {
    std::set<uint32_t> possible{0};
    bool pending = false;
    bool pending_add = false;

    void settle_unknown() {
        if (!pending) return;
        std::set<uint32_t> after = possible;
        for (uint32_t s : possible)
            after.insert(pending_add ? (s ? s : kAnyId) : 0);
        possible = after;
        pending = false;
    }
    bool allows(uint32_t got) const {
        return possible.count(got) || (got != 0 && possible.count(kAnyId));
    }
};

void replay(const std::string &log, std::map<Key, Expect> &out) {
    std::istringstream in(TempRoot::slurp(log));
    std::string kind, docroot, op;
    uint32_t uid;
    while (in >> kind >> uid >> docroot >> op) {
        Expect &e = out[{uid, docroot}];
        if (kind == "B") {
            e.settle_unknown(); // an earlier begin without an end: its writer was killed
            e.pending = true;
            e.pending_add = op == "+";
        } else {
            uint32_t id;
            in >> id;
            e.pending = false;
            e.possible = {id};
        }
    }
    for (auto &kv : out)
        kv.second.settle_unknown();
}

} // namespace

class Processes : public TempRoot {
  protected:
    void SetUp() override {
        TempRoot::SetUp();
        for (uint32_t uid : uids)
            ASSERT_EQ(registry::enable(uid), 1);
    }
    const std::vector<uint32_t> uids{1, 2, 3};
};

TEST_F(Processes, ConcurrentWritersLoseNothing) {
    const int kWriters = 4, kOps = 40;
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) writer(w, kOps, base + "/log" + std::to_string(w), 1000 + w);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw a failure";
    }
    std::map<Key, Expect> want;
    for (int w = 0; w < kWriters; ++w)
        replay(base + "/log" + std::to_string(w), want);

    Snapshot s;
    load_all(base + "/ryz_ids", uids, s);
    check_unique_and_indexed(s);
    EXPECT_EQ(s.index.size(), s.mapped.size()) << "no crash, so no leaked id";
    for (const auto &[key, e] : want) {
        ASSERT_EQ(e.possible.size(), 1u);
        const uint32_t id = *e.possible.begin();
        auto it = s.mapped.find(key);
        if (id == 0) {
            EXPECT_EQ(it, s.mapped.end()) << key.second << " should be gone";
        } else {
            ASSERT_NE(it, s.mapped.end()) << key.second << " lost";
            EXPECT_EQ(it->second, id);
            EXPECT_EQ(ryz_map_lookup(key.first, key.second.c_str()), id);
            EXPECT_NE(ryz_map_verify_ownership(key.first, id), 0);
        }
    }
}

TEST_F(Processes, KilledWritersLeaveALoadableCompleteRegistry) {
    const int kWriters = 3, kKills = 40;
    std::mt19937 rng(7);
    std::vector<pid_t> pids(kWriters);
    unsigned seed = 1;
    auto spawn = [&](int w) {
        pid_t pid = ::fork();
        if (pid == 0) writer(w, -1, base + "/log" + std::to_string(w), seed);
        ++seed;
        pids[w] = pid;
    };
    for (int w = 0; w < kWriters; ++w)
        spawn(w);
    // Only ever signal a child we forked and have not reaped: never a pid <= 0.
    auto stop = [&](int w) {
        if (pids[w] > 0) {
            ::kill(pids[w], SIGKILL);
            ::waitpid(pids[w], nullptr, 0);
        }
        pids[w] = 0;
    };
    for (int w = 0; w < kWriters; ++w)
        ASSERT_GT(pids[w], 0);
    for (int k = 0; k < kKills; ++k) {
        ::usleep(1000 + rng() % 25000);
        int w = rng() % kWriters;
        stop(w);
        spawn(w);
        // With the others still writing, the registry must read back whole.
        Snapshot mid;
        load_all(base + "/ryz_ids", uids, mid);
        if (HasFatalFailure() || pids[w] <= 0) break;
    }
    for (int w = 0; w < kWriters; ++w)
        stop(w);

    std::map<Key, Expect> want;
    for (int w = 0; w < kWriters; ++w)
        replay(base + "/log" + std::to_string(w), want);
    ASSERT_FALSE(want.empty());
    Snapshot s;
    load_all(base + "/ryz_ids", uids, s);
    check_unique_and_indexed(s);
    for (const auto &[key, e] : want) {
        auto it = s.mapped.find(key);
        uint32_t got = it == s.mapped.end() ? 0 : it->second;
        EXPECT_TRUE(e.allows(got)) << key.second << " of uid " << key.first << ": " << got;
    }
    // How often a kill landed inside an operation, for whoever wonders whether this test bites.
    int interrupted = 0;
    for (const auto &kv : want)
        interrupted += kv.second.possible.size() > 1;
    RecordProperty("docroots_left_uncertain", interrupted);
    RecordProperty("leaked_ids", int(s.index.size() - s.mapped.size()));
    // Leaked reservations are reclaimed by a rebuild, which then matches the tables exactly.
    EXPECT_EQ(ryz_index_rebuild(), int(s.mapped.size()));
    Snapshot after;
    load_all(base + "/ryz_ids", uids, after);
    EXPECT_EQ(after.index.size(), after.mapped.size());
}
