// Registry operations beyond the exported calls, for ryxctl, the simulated host and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"

namespace ryx::registry {

// The registry's whole-directory lock file, taken by every change.
inline constexpr const char *kLock = ".lock";

// UID_MAX of a login.defs text, at least 60000.
uint32_t parse_id_min(std::string_view text);

// Creates an empty entry for uid (domain isolation enabled). 1 when created, 0 when it existed,
// 2 when an empty file made by hand was replaced by an empty table.
int enable(uint32_t uid);
// Drops uid's entry and frees its ids. -ENOTEMPTY while it still maps docroots, unless force.
// >= 0: the number of mappings dropped.
int disable(uint32_t uid, bool force);

struct Conflict {
    uint32_t id;
    uint32_t uid_a, uid_b;
};
struct Damaged {
    uint32_t uid;
    int error; // -ERANGE: the table maps id, which lies below id_min()
    uint32_t id = 0;
};
// The index rebuilt from the user entries, with what stopped it: duplicate ids across users,
// ids below the domain range, or entries that cannot be read or are not root's. >= 0: ids
// indexed; the index is left untouched on failure.
// accounts, when given, receives the mappings whose id is (now) an account's uid.
int rebuild(std::vector<Conflict> *conflicts, std::vector<Damaged> *damaged,
            std::vector<fmt::Owner> *accounts = nullptr);

// 1 when id is the uid of an account of the system's account database, 0 when not, a negated
// errno when the database cannot be asked.
int account_uid(uint32_t id);

// A docroot as one printable line: control bytes and the backslash as \xHH, so that a docroot
// holding a newline cannot forge a line of a listing.
std::string escape_docroot(std::string_view docroot);

// ryz_get_id_min(): the smallest id the registry hands out or accepts.
uint32_t id_min();

// Brings a registry of an earlier layout, whose tables belonged to their users, to the current
// one: every file root's and readable by root alone. A table a user could have edited is
// rewritten with just the entries that the root-owned index gives that user (at or above
// id_min()); anything else is set aside in ".setaside.<uid>" ("<id> <docroot>" lines) for the
// administrator, never adopted. Without a usable index nothing can be confirmed and the
// registry is left as it is (-ENOKEY) unless trust_tables says to accept the tables' ids
// (those at or above id_min() that only one user maps). Idempotent.
struct SetAside {
    uint32_t uid;
    uint32_t id;
    std::string docroot;
};
struct Migration {
    int rewritten = 0; // files rewritten as root's
    std::vector<SetAside> set_aside;
    std::vector<Damaged> damaged;  // unreadable tables: kept byte for byte, now root's
    std::vector<uint32_t> removed; // uids whose entry was no regular file, now removed
};
int migrate(bool trust_tables, Migration &out);

// The uids with an entry (domain isolation enabled), ascending; none without a registry.
int users(std::vector<uint32_t> &uids);
// uid's mappings in insertion order, as ryz_map_iter_open lists them.
int mappings(uint32_t uid, std::vector<fmt::Entry> &entries);

} // namespace ryx::registry
