// The host defaults (stock kernels): the settings of the container every user from UID_MIN of
// login.defs up to below the domain ids gets on their first process, which ryxd creates. Kept
// as ".defaults" in the state directory: root's, 0644, the settings lines of a state file,
// replaced whole and durably like a state file.
#pragma once

#include <functional>

#include <ryx/ryx-type.h>

namespace ryx::ctl {

inline constexpr const char *kDefaults = ".defaults";

// 1 with out filled when defaults are set, 0 (out untouched) when none are; -EUCLEAN when the
// file is not root's alone (or no regular file), -EBADMSG when it is damaged or holds a value
// out of its setting's range, another negated errno when it cannot be read.
int load_defaults(libryx_settings &out);

// Replaces the defaults: 0, -EINVAL or -ERANGE as check_settings, -ETIMEDOUT when their lock
// is held too long, another negated errno when the file cannot be written.
int store_defaults(const libryx_settings &s);

// Changes the defaults under their lock: change gets the current ones (all 0 when none are
// set) and returns 0 to store them, or a negated errno that is returned unchanged. Then as
// store_defaults (load_defaults's errors too).
int update_defaults(const std::function<int(libryx_settings &)> &change);

// No defaults any more: 0, also when none were set.
int clear_defaults();

} // namespace ryx::ctl
