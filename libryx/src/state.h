// Container state kept by the library on hosts without the container kernel: one text file of
// key=value lines per container, named by the decimal id, in the state directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <ryx/ryx-type.h>

namespace ryx::ctl {

struct Container {
    bool active = false; // false: only a placement under a reseller, recorded by a move
    uint32_t parent = 0; // reseller container id; 0: top level
    uint32_t flags = 0;  // libryx_ve_flags bits
    libryx_settings set{};
};

std::string format_state(uint32_t id, const Container &c);
// 0, or -EBADMSG for a file that is not one of ours (bad line, number or id).
int parse_state(std::string_view text, uint32_t id, Container &out);

// Upper bound of each settings field, in field order; negative values are always invalid.
extern const int32_t kSettingMax[9];
extern const char *const kSettingKey[9];

// 0, -EINVAL (a negative value) or -ERANGE (a value above its field's bound).
int check_settings(const libryx_settings &s);

// For ryxctl and tests. -ESRCH when there is no record at all.
int load(uint32_t id, Container &out);
int set_flags(uint32_t id, uint32_t flags);
int forget(uint32_t id);
int list(std::vector<uint32_t> &ids);

// Makes the state directory and every container file root's and writable by root alone,
// rewriting files that were not (a fresh file, so that no descriptor opened before keeps write
// access). >= 0: the number of files rewritten or removed.
int migrate_state();

} // namespace ryx::ctl
