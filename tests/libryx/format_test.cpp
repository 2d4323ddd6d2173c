// The registry's file formats on their own: round trips, and damaged bytes of every kind.
#include <gtest/gtest.h>

#include <cerrno>

#include "format.h"
#include "registry.h"

using namespace ryx;

namespace {

std::vector<fmt::Entry> sample(int n) {
    std::vector<fmt::Entry> v;
    for (int i = 0; i < n; ++i)
        v.push_back({"/home/u" + std::to_string(i) + "/public_html", uint32_t(60000 + 7 * i)});
    return v;
}

} // namespace

TEST(Fnv1a, KnownVectors) {
    EXPECT_EQ(fmt::fnv1a(""), 0x811c9dc5u);
    EXPECT_EQ(fmt::fnv1a("a"), 0xe40c292cu);
    EXPECT_EQ(fmt::fnv1a("foobar"), 0xbf9cf968u);
    // Bytes above 0x7f must not be sign-extended.
    EXPECT_EQ(fmt::fnv1a("\xff"), (0x811c9dc5u ^ 0xffu) * 16777619u);
}

TEST(UserTable, RoundTripAndProbes) {
    for (int n : {0, 1, 5, 1000}) {
        auto entries = sample(n);
        std::string file = fmt::encode_user(1000, entries);
        std::vector<fmt::Entry> back;
        ASSERT_EQ(fmt::decode_user(file, 1000, back), 0) << n;
        ASSERT_EQ(back.size(), entries.size());
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(back[i].docroot, entries[i].docroot);
            EXPECT_EQ(back[i].id, entries[i].id);
            EXPECT_EQ(fmt::user_lookup(file, 1000, entries[i].docroot), entries[i].id);
            EXPECT_TRUE(fmt::user_has_id(file, 1000, entries[i].id));
        }
        EXPECT_EQ(fmt::user_lookup(file, 1000, "/nowhere"), 0u);
        EXPECT_EQ(fmt::user_lookup(file, 1000, ""), 0u);
        EXPECT_FALSE(fmt::user_has_id(file, 1000, 59999));
        EXPECT_FALSE(fmt::user_has_id(file, 1000, 0));
        // A table is bound to its uid: another user's copy is not trusted.
        EXPECT_EQ(fmt::decode_user(file, 1001, back), -EBADMSG);
        if (n > 0) {
            EXPECT_EQ(fmt::user_lookup(file, 1001, entries[0].docroot), 0u);
        }
    }
}

TEST(UserTable, DocrootPrefixesAndCollisionsStayApart) {
    std::vector<fmt::Entry> e = {{"/a", 70001}, {"/a/", 70002}, {"/ab", 70003}};
    std::string file = fmt::encode_user(5, e);
    EXPECT_EQ(fmt::user_lookup(file, 5, "/a"), 70001u);
    EXPECT_EQ(fmt::user_lookup(file, 5, "/a/"), 70002u);
    EXPECT_EQ(fmt::user_lookup(file, 5, "/ab"), 70003u);
    EXPECT_EQ(fmt::user_lookup(file, 5, "/"), 0u);
}

// Every single damaged byte and every truncation: probes give the right id or nothing, a full
// load refuses; never another entry's id.
TEST(UserTable, DamageNeverYieldsAWrongId) {
    auto entries = sample(6);
    const std::string good = fmt::encode_user(1000, entries);
    std::vector<fmt::Entry> back;
    for (size_t at = 0; at < good.size(); ++at) {
        for (unsigned char bit : {0x01, 0x80}) {
            std::string bad = good;
            bad[at] = char(bad[at] ^ bit);
            EXPECT_EQ(fmt::decode_user(bad, 1000, back), -EBADMSG) << at;
            for (const auto &e : entries) {
                uint32_t got = fmt::user_lookup(bad, 1000, e.docroot);
                EXPECT_TRUE(got == 0 || got == e.id) << "byte " << at << ": " << got;
            }
        }
    }
    for (size_t len = 0; len < good.size(); ++len) {
        std::string cut = good.substr(0, len);
        EXPECT_EQ(fmt::decode_user(cut, 1000, back), -EBADMSG) << len;
        EXPECT_EQ(fmt::user_lookup(cut, 1000, entries[0].docroot), 0u) << len;
        EXPECT_FALSE(fmt::user_has_id(cut, 1000, entries[0].id)) << len;
    }
    EXPECT_EQ(fmt::decode_user(good + '\0', 1000, back), -EBADMSG);
}

TEST(Index, RoundTripSearchAndDamage) {
    std::vector<fmt::Owner> owners;
    for (uint32_t i = 0; i < 50; ++i)
        owners.push_back({60000 + 3 * i, 1000 + i % 4});
    const std::string good = fmt::encode_index(owners, 60150);
    std::vector<fmt::Owner> back;
    uint32_t next = 0;
    ASSERT_EQ(fmt::decode_index(good, back, next), 0);
    EXPECT_EQ(next, 60150u);
    ASSERT_EQ(back.size(), owners.size());
    for (const auto &o : owners)
        EXPECT_EQ(fmt::index_owner(good, o.id), int64_t(o.uid));
    EXPECT_EQ(fmt::index_owner(good, 60001), -1);
    EXPECT_EQ(fmt::index_owner(good, 0), -1);

    for (size_t at = 0; at < good.size(); ++at) {
        std::string bad = good;
        bad[at] = char(bad[at] ^ 0x04);
        EXPECT_EQ(fmt::decode_index(bad, back, next), -EBADMSG) << at;
        for (const auto &o : owners) {
            int64_t got = fmt::index_owner(bad, o.id);
            EXPECT_TRUE(got == -1 || got == o.uid) << at;
        }
    }
    for (size_t len = 0; len < good.size(); ++len)
        EXPECT_EQ(fmt::decode_index(good.substr(0, len), back, next), -EBADMSG);
}

TEST(LoginDefs, UidMaxWithFloor) {
    using registry::parse_id_min;
    EXPECT_EQ(parse_id_min(""), 60000u);
    EXPECT_EQ(parse_id_min("UID_MIN 1000\nUID_MAX 90000\n"), 90000u);
    EXPECT_EQ(parse_id_min("UID_MAX\t\t100000"), 100000u); // no final newline
    EXPECT_EQ(parse_id_min("  UID_MAX 70000  # site value\n"), 70000u);
    EXPECT_EQ(parse_id_min("UID_MAX 1000\n"), 60000u);
    EXPECT_EQ(parse_id_min("#UID_MAX 90000\n"), 60000u);
    EXPECT_EQ(parse_id_min("UID_MAXIMUM 90000\nXUID_MAX 90000\n"), 60000u);
    EXPECT_EQ(parse_id_min("UID_MAX 9x\nUID_MAX -5\nUID_MAX 4294967296\nUID_MAX\n"), 60000u);
    EXPECT_EQ(parse_id_min("UID_MAX 80000\nUID_MAX 95000\n"), 95000u);
    EXPECT_EQ(parse_id_min("UID_MAX 4294967295\n"), 4294967295u);
}
