// Registry operations beyond the exported calls, for ryxctl and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ryx::registry {

// UID_MAX of a login.defs text, at least 60000.
uint32_t parse_id_min(std::string_view login_defs);

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
    int error;
};
// The index rebuilt from the user entries, with what stopped it: duplicate ids across users or
// entries that cannot be read. >= 0: ids indexed; the index is left untouched on failure.
int rebuild(std::vector<Conflict> *conflicts, std::vector<Damaged> *damaged);

// Canonical decimal uid of a directory entry name, as the library writes them.
bool parse_uid_name(std::string_view name, uint32_t &uid);

} // namespace ryx::registry
