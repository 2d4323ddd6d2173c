// Small file helpers of the simulator. All return 0 or a negated errno.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace ryxsim {

// Replaces path with data: a temporary sibling, then rename, so a reader sees the old file or
// the new one, never a mix. The temporary name starts with a dot and never matches a name the
// readers look for.
int write_atomic(const std::string &path, std::string_view data, mode_t mode = 0644);

// Appends data with one write, so concurrent readers see whole tick blocks or nothing of them.
int append(const std::string &path, std::string_view data);

// mkdir -p.
int make_dirs(const std::string &path, mode_t mode = 0755);

int read_file(const std::string &path, std::string &out);

// rm -rf that stays on one filesystem and never follows symbolic links.
int remove_tree(const std::string &path);

} // namespace ryxsim
