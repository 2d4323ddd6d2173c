// The registry calls against a registry in a temporary directory.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>

#include <ryx/ryz-map.h>

#include "fixture.h"
#include "format.h"
#include "registry.h"
#include "ryx-owners.h"

using namespace ryx;

namespace {

std::map<std::string, uint32_t> listing(uid_t uid) {
    std::map<std::string, uint32_t> out;
    MapIter it(ryz_map_iter_open(uid));
    if (!it) return out;
    const char *d;
    uint32_t id;
    while (ryz_map_iter_next(it.get(), &d, &id) == 0)
        out[d] = id;
    return out;
}

uint32_t assign(uid_t uid, const char *docroot) {
    uint32_t id = 0;
    int rc = ryz_map_assign(uid, docroot, &id);
    EXPECT_GE(rc, 0) << docroot;
    return id;
}

} // namespace

class Registry : public TempRoot {};

TEST_F(Registry, UserWithoutEntryHasNothingAndCannotAssign) {
    // Neither the directory nor the entry exist yet.
    uint32_t id = 77;
    EXPECT_EQ(ryz_map_assign(1000, "/d", &id), -EPERM);
    ASSERT_EQ(registry::enable(2000), 1);
    EXPECT_EQ(ryz_map_assign(1000, "/d", &id), -EPERM);
    EXPECT_EQ(id, 77u);
    EXPECT_FALSE(fs::exists(reg("1000"))); // never enabled as a side effect
    EXPECT_EQ(ryz_map_lookup(1000, "/d"), 0u);
    EXPECT_EQ(ryz_map_verify_ownership(1000, 60000), 0);
    EXPECT_EQ(ryz_map_remove(1000, "/d", &id), 0);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(ryz_map_remove_all(1000), 0);
    errno = 0;
    EXPECT_EQ(ryz_map_iter_open(1000), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Registry, AssignLookupVerifyRemove) {
    ASSERT_EQ(registry::enable(1000), 1);
    ASSERT_EQ(registry::enable(1000), 0);
    ASSERT_EQ(registry::enable(1001), 1);
    EXPECT_EQ(ryz_map_iter_open(1000), nullptr); // enabled but empty

    uint32_t a = 0;
    ASSERT_EQ(ryz_map_assign(1000, "/home/a/www", &a), 1);
    EXPECT_GE(a, ryz_get_id_min());
    uint32_t again = 0;
    EXPECT_EQ(ryz_map_assign(1000, "/home/a/www", &again), 0);
    EXPECT_EQ(again, a);
    uint32_t b = assign(1000, "/home/a/blog");
    uint32_t c = assign(1001, "/home/a/www"); // same docroot, other user: own id
    EXPECT_EQ(std::set<uint32_t>({a, b, c}).size(), 3u);

    EXPECT_EQ(ryz_map_lookup(1000, "/home/a/www"), a);
    EXPECT_EQ(ryz_map_lookup(1001, "/home/a/www"), c);
    EXPECT_EQ(ryz_map_lookup(1000, "/home/a/www/"), 0u);
    EXPECT_EQ(ryz_map_lookup(1000, ""), 0u);
    EXPECT_EQ(ryz_map_lookup(1000, nullptr), 0u);

    EXPECT_NE(ryz_map_verify_ownership(1000, a), 0);
    EXPECT_NE(ryz_map_verify_ownership(1001, c), 0);
    EXPECT_EQ(ryz_map_verify_ownership(1001, a), 0);
    EXPECT_EQ(ryz_map_verify_ownership(1000, c), 0);
    EXPECT_EQ(ryz_map_verify_ownership(1000, 0), 0);

    EXPECT_EQ(listing(1000),
              (std::map<std::string, uint32_t>{{"/home/a/www", a}, {"/home/a/blog", b}}));

    uint32_t old = 0;
    EXPECT_EQ(ryz_map_remove(1000, "/home/a/www", &old), 1);
    EXPECT_EQ(old, a);
    EXPECT_EQ(ryz_map_lookup(1000, "/home/a/www"), 0u);
    EXPECT_EQ(ryz_map_verify_ownership(1000, a), 0);
    old = 0;
    EXPECT_EQ(ryz_map_remove(1000, "/home/a/www", &old), 0);
    EXPECT_EQ(old, 0u);

    // A freed id is not handed out again straight away.
    uint32_t d = assign(1000, "/home/a/new");
    EXPECT_NE(d, a);

    EXPECT_EQ(ryz_map_remove_all(1000), 2);
    EXPECT_EQ(ryz_map_remove_all(1000), 0);
    EXPECT_TRUE(listing(1000).empty());
    EXPECT_TRUE(fs::exists(reg("1000"))); // still enabled
    EXPECT_EQ(ryz_map_lookup(1001, "/home/a/www"), c);
}

TEST_F(Registry, ArgumentsRejected) {
    ASSERT_EQ(registry::enable(1), 1);
    uint32_t id = 0;
    EXPECT_EQ(ryz_map_assign(1, "", &id), -EINVAL);
    EXPECT_EQ(ryz_map_assign(1, nullptr, &id), -EINVAL);
    EXPECT_EQ(ryz_map_assign(1, std::string(4096, 'x').c_str(), &id), -ENAMETOOLONG);
    std::string longest(4095, 'y');
    EXPECT_GE(ryz_map_assign(1, longest.c_str(), &id), 0);
    EXPECT_EQ(ryz_map_lookup(1, longest.c_str()), id);
    EXPECT_EQ(ryz_map_remove(1, nullptr, &id), -EINVAL);
}

TEST_F(Registry, IteratorIsASnapshot) {
    ASSERT_EQ(registry::enable(1000), 1);
    uint32_t a = assign(1000, "/one");
    assign(1000, "/two");
    ryz_map_iter *it = ryz_map_iter_open(1000);
    ASSERT_NE(it, nullptr);
    const char *first = nullptr;
    uint32_t id = 0;
    ASSERT_EQ(ryz_map_iter_next(it, &first, &id), 0);
    EXPECT_STREQ(first, "/one");
    EXPECT_EQ(id, a);
    ryz_map_remove_all(1000); // a writer meanwhile does not pull the text from under us
    EXPECT_STREQ(first, "/one");
    const char *second = nullptr;
    ASSERT_EQ(ryz_map_iter_next(it, &second, &id), 0);
    EXPECT_STREQ(second, "/two");
    EXPECT_NE(ryz_map_iter_next(it, &second, &id), 0);
    EXPECT_NE(ryz_map_iter_next(it, &second, &id), 0);
    ryz_map_iter_close(it);
    EXPECT_NE(ryz_map_iter_next(nullptr, &second, &id), 0);
    ryz_map_iter_close(nullptr);
}

TEST_F(Registry, IdsStartAtUidMaxOfLoginDefs) {
    EXPECT_EQ(ryz_get_id_min(), 60000u); // no file
    spit(base + "/login.defs", "UID_MIN 1000\nUID_MAX 120000\n");
    EXPECT_EQ(ryz_get_id_min(), 120000u);
    ASSERT_EQ(registry::enable(7), 1);
    // UID_MAX itself is a uid useradd gives out; no domain is given it.
    EXPECT_EQ(assign(7, "/x"), 120001u);
    EXPECT_EQ(assign(7, "/y"), 120002u);
    // Systems that manage the file elsewhere link it into /etc.
    fs::rename(base + "/login.defs", base + "/login.defs.real");
    fs::create_symlink(base + "/login.defs.real", base + "/login.defs");
    EXPECT_EQ(ryz_get_id_min(), 120000u);
}

TEST_F(Registry, AllocationWrapsAroundAtTheTop) {
    ASSERT_EQ(registry::enable(7), 1);
    uint32_t low = assign(7, "/low");
    // Put the cursor at the last usable id.
    fs::remove(reg(".index"));
    ASSERT_GE(ryz_index_rebuild(), 0);
    std::vector<fmt::Owner> owners;
    uint32_t next;
    ASSERT_EQ(fmt::decode_index(slurp(reg(".index")), owners, next), 0);
    spit(reg(".index"), fmt::encode_index(owners, 0xfffffffe));
    EXPECT_EQ(assign(7, "/top"), 0xfffffffeu);
    uint32_t wrapped = assign(7, "/wrapped");
    EXPECT_EQ(wrapped, low + 1); // 0xffffffff is never used; back to the lowest free id
}

TEST_F(Registry, MissingIndexIsRebuiltBeforeAssigning) {
    ASSERT_EQ(registry::enable(1), 1);
    ASSERT_EQ(registry::enable(2), 1);
    uint32_t a = assign(1, "/a");
    uint32_t b = assign(2, "/b");
    fs::remove(reg(".index"));
    EXPECT_EQ(ryz_map_verify_ownership(1, a), 0); // cannot decide without the index
    uint32_t c = assign(1, "/c");
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_NE(ryz_map_verify_ownership(1, a), 0);
    EXPECT_NE(ryz_map_verify_ownership(2, b), 0);
}

TEST_F(Registry, RebuildReclaimsLeaksAndRefusesConflicts) {
    ASSERT_EQ(registry::enable(1), 1);
    ASSERT_EQ(registry::enable(2), 1);
    uint32_t a = assign(1, "/a");
    assign(2, "/b");
    // A reservation left behind by an interrupted assignment: in the index, in no table.
    std::vector<fmt::Owner> owners;
    uint32_t next;
    ASSERT_EQ(fmt::decode_index(slurp(reg(".index")), owners, next), 0);
    owners.push_back({next + 5, 1});
    spit(reg(".index"), fmt::encode_index(owners, next));
    EXPECT_EQ(ryz_map_verify_ownership(1, next + 5), 0);
    EXPECT_EQ(ryz_index_rebuild(), 2);
    // The user's next assignment reclaims such a leak by itself; other users' ids stay.
    owners.push_back({next + 6, 1});
    spit(reg(".index"), fmt::encode_index(owners, next));
    uint32_t c = assign(1, "/c");
    ASSERT_EQ(fmt::decode_index(slurp(reg(".index")), owners, next), 0);
    EXPECT_EQ(owners.size(), 3u);
    EXPECT_EQ(ryz_map_remove(1, "/c", &c), 1);

    // Two users mapping one id (tables restored by hand): refused, the old index kept.
    const std::string before = slurp(reg(".index"));
    spit(reg("2"), fmt::encode_user(2, {{"/b", a + 100}, {"/dup", a}}));
    std::vector<registry::Conflict> conflicts;
    EXPECT_EQ(registry::rebuild(&conflicts, nullptr), -ENOTUNIQ);
    ASSERT_EQ(conflicts.size(), 1u);
    EXPECT_EQ(conflicts[0].id, a);
    EXPECT_EQ(slurp(reg(".index")), before);
    // And an assignment to user 2 refuses rather than trusting the stale index, or taking
    // an id the index does not know from the table.
    uint32_t id = 0;
    EXPECT_EQ(ryz_map_assign(2, "/more", &id), -ENOTUNIQ);
    EXPECT_EQ(ryz_map_verify_ownership(2, a), 0);
    spit(reg("2"), fmt::encode_user(2, {{"/b", a + 100}}));
    EXPECT_EQ(ryz_map_assign(2, "/more", &id), -ENOTUNIQ);
    EXPECT_EQ(slurp(reg(".index")), before);

    // Ids below the domain range (users' own containers) are never taken from a table.
    spit(reg("2"), fmt::encode_user(2, {{"/b", 1001}}));
    std::vector<registry::Damaged> damaged;
    EXPECT_EQ(registry::rebuild(nullptr, &damaged), -ERANGE);
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(damaged[0].uid, 2u);
    EXPECT_EQ(damaged[0].id, 1001u);
    EXPECT_EQ(slurp(reg(".index")), before);
    owners.push_back({1001, 2});
    std::sort(owners.begin(), owners.end(),
              [](const fmt::Owner &x, const fmt::Owner &y) { return x.id < y.id; });
    spit(reg(".index"), fmt::encode_index(owners, next));
    EXPECT_EQ(ryz_map_verify_ownership(2, 1001), 0);
}

TEST_F(Registry, DamagedTableIsReportedNeverEmptied) {
    ASSERT_EQ(registry::enable(1000), 1);
    uint32_t a = assign(1000, "/a");
    assign(1000, "/b");
    std::string good = slurp(reg("1000"));
    fs::permissions(reg("1000"), fs::perms::owner_all);
    spit(reg("1000"), good.substr(0, good.size() - 3));
    const std::string damaged = slurp(reg("1000"));

    uint32_t id = 0;
    EXPECT_EQ(ryz_map_lookup(1000, "/a"), 0u);
    EXPECT_EQ(ryz_map_verify_ownership(1000, a), 0);
    EXPECT_EQ(ryz_map_assign(1000, "/c", &id), -EBADMSG);
    EXPECT_EQ(ryz_map_remove(1000, "/a", &id), -EBADMSG);
    EXPECT_EQ(ryz_map_remove_all(1000), -EBADMSG);
    errno = 0;
    EXPECT_EQ(ryz_map_iter_open(1000), nullptr);
    EXPECT_EQ(errno, EBADMSG);
    std::vector<registry::Damaged> damaged_list;
    EXPECT_EQ(registry::rebuild(nullptr, &damaged_list), -EBADMSG);
    ASSERT_EQ(damaged_list.size(), 1u);
    EXPECT_EQ(damaged_list[0].uid, 1000u);
    EXPECT_EQ(slurp(reg("1000")), damaged); // untouched, for the administrator to restore

    // Empty and unrelated files are no better.
    spit(reg("1000"), "");
    EXPECT_EQ(ryz_map_assign(1000, "/c", &id), -EBADMSG);
    spit(reg("1000"), "hello\n");
    EXPECT_EQ(ryz_map_lookup(1000, "hello"), 0u);
    // Another user can still be enabled meanwhile.
    fs::remove(reg(".index"));
    EXPECT_EQ(registry::enable(1001), 1);
    EXPECT_EQ(ryz_map_assign(1001, "/c", &id), -EBADMSG); // no index, no uniqueness: refused
    // ryxctl allow-domain-limits turns a hand-made empty marker into a table; nothing else.
    EXPECT_EQ(registry::enable(1000), 0);
    spit(reg("1000"), "");
    EXPECT_EQ(registry::enable(1000), 2);
    EXPECT_EQ(ryz_map_assign(1000, "/c", &id), 1);
    spit(reg("1000"), "hello\n");
    EXPECT_EQ(registry::disable(1000, false), -EBADMSG);
    EXPECT_EQ(registry::disable(1000, true), 0);
    EXPECT_FALSE(fs::exists(reg("1000")));
}

TEST_F(Registry, DamagedIndexStopsAssignmentsNotRemovals) {
    ASSERT_EQ(registry::enable(1), 1);
    uint32_t a = assign(1, "/a");
    std::string idx = slurp(reg(".index"));
    idx[idx.size() - 1] ^= 1;
    spit(reg(".index"), idx);
    uint32_t id = 0;
    EXPECT_EQ(ryz_map_assign(1, "/b", &id), -EBADMSG);
    EXPECT_EQ(ryz_map_verify_ownership(1, a), 0);
    EXPECT_EQ(ryz_map_remove(1, "/a", &id), 1);
    EXPECT_EQ(id, a);
    EXPECT_EQ(ryz_map_lookup(1, "/a"), 0u);
    EXPECT_GE(ryz_index_rebuild(), 0);
    EXPECT_GE(ryz_map_assign(1, "/b", &id), 0);
}

TEST_F(Registry, ForgedOwnTableGainsNothing) {
    ASSERT_EQ(registry::enable(1), 1);
    ASSERT_EQ(registry::enable(2), 1);
    uint32_t theirs = assign(2, "/victim");
    uint32_t mine = assign(1, "/mine");
    fs::permissions(reg("1"), fs::perms::owner_all);
    spit(reg("1"), fmt::encode_user(1, {{"/mine", mine}, {"/stolen", theirs}}));
    EXPECT_EQ(ryz_map_verify_ownership(1, theirs), 0);
    EXPECT_NE(ryz_map_verify_ownership(2, theirs), 0);
    if (::geteuid() != 0) return;

    // A table of the earlier layout, its user's and writable: nothing believes it.
    ASSERT_EQ(::chown(reg("1").c_str(), 4321, 4321), 0);
    uint32_t id = 0;
    EXPECT_EQ(ryz_map_lookup(1, "/mine"), 0u);
    EXPECT_EQ(ryz_map_verify_ownership(1, mine), 0);
    EXPECT_EQ(ryz_map_assign(1, "/x", &id), -EUCLEAN);
    EXPECT_EQ(ryz_index_rebuild(), -EUCLEAN);
    errno = 0;
    EXPECT_EQ(ryz_map_iter_open(1), nullptr);
    EXPECT_EQ(errno, EUCLEAN);

    // Migration keeps what the index confirms, sets the rest aside, and makes the file root's.
    registry::Migration m;
    ASSERT_EQ(registry::migrate(false, m), 0);
    ASSERT_EQ(m.set_aside.size(), 1u);
    EXPECT_EQ(m.set_aside[0].id, theirs);
    EXPECT_EQ(slurp(reg(".setaside.1")), std::to_string(theirs) + " /stolen\n");
    EXPECT_EQ(listing(1), (std::map<std::string, uint32_t>{{"/mine", mine}}));
    EXPECT_EQ(ryz_map_verify_ownership(1, theirs), 0);
    EXPECT_NE(ryz_map_verify_ownership(2, theirs), 0);
    EXPECT_GT(assign(1, "/x"), theirs);
    registry::Migration again;
    ASSERT_EQ(registry::migrate(false, again), 0);
    EXPECT_EQ(again.rewritten, 0);

    // Without an index nothing can be confirmed: left alone unless the tables are trusted, and
    // then an id two users claim, or one below the range, is nobody's.
    ASSERT_EQ(::unlink(reg(".index").c_str()), 0);
    spit(reg("2"), fmt::encode_user(2, {{"/victim", theirs}, {"/dup", mine}, {"/low", 1001}}));
    ASSERT_EQ(::chown(reg("2").c_str(), 4322, 4322), 0);
    EXPECT_EQ(registry::migrate(false, again), -ENOKEY);
    ASSERT_EQ(registry::migrate(true, again), 0);
    EXPECT_EQ(listing(2), (std::map<std::string, uint32_t>{{"/victim", theirs}}));
    EXPECT_EQ(listing(1).count("/mine"), 0u);
    EXPECT_NE(ryz_map_verify_ownership(2, theirs), 0);
    EXPECT_EQ(ryz_map_verify_ownership(2, 1001), 0);
}

TEST_F(Registry, PermissionsAndLayout) {
    ASSERT_EQ(registry::enable(4321), 1);
    assign(4321, "/a");
    struct stat st;
    ASSERT_EQ(::stat((base + "/ryz_ids").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat(reg("4321").c_str(), &st), 0);
    // Root's alone: its user reads it through the set-user-ID lookup helper.
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    ASSERT_EQ(::stat(reg(".index").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    for (const auto &de : fs::directory_iterator(base + "/ryz_ids")) {
        std::string name = de.path().filename();
        EXPECT_TRUE(name == "4321" || name == ".index" || name == ".lock") << name;
    }
}

TEST_F(Registry, DisableDropsIdsFromTheIndex) {
    ASSERT_EQ(registry::enable(1), 1);
    uint32_t a = assign(1, "/a");
    EXPECT_EQ(registry::disable(1, false), -ENOTEMPTY);
    EXPECT_EQ(registry::disable(1, true), 1);
    EXPECT_EQ(registry::disable(1, true), -ENOENT);
    std::vector<fmt::Owner> owners;
    uint32_t next;
    ASSERT_EQ(fmt::decode_index(slurp(reg(".index")), owners, next), 0);
    EXPECT_TRUE(owners.empty());
    EXPECT_GT(next, a);
}
