// Containers as control groups, for stock kernels: where the library's tree of groups is, how a
// container's settings become the files of its group, and what the kernel holds of them. See
// docs/stock-kernel.md. The state files stay the source of truth; nothing here stores anything
// but groups and the record of where the tree is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "state.h"

namespace ryx::cgroup {

// One hierarchy the tree uses: the unified one (v2), or one v1 hierarchy with its controllers.
struct Hierarchy {
    bool v2 = false;
    std::vector<std::string> controllers; // those this hierarchy offers the tree
    std::string root;                     // the tree's root group in it, an absolute path
    bool has(std::string_view controller) const;
};

// Where the tree is, as recorded in paths().cgroup_record. Empty: no tree (the backend is off).
struct Tree {
    std::vector<Hierarchy> hierarchies;
    bool empty() const { return hierarchies.empty(); }
    // The hierarchy that offers controller, or nullptr.
    const Hierarchy *with(std::string_view controller) const;
};

// A mount point or root of mountinfo, whose blanks and backslashes are three octal digits.
std::string unescape_mount_field(std::string_view s);

// "v2 cpu,io,memory,pids /sys/fs/cgroup/ryx" lines: the record's text and its reading.
std::string format_record(const Tree &t);
int parse_record(const char *text, Tree &out);

// The recorded tree, believed only when the record and every root are root's alone. 0 with an
// empty tree when there is no record; -EUCLEAN for one somebody else could have written.
int load(Tree &out);

// For ryxd and ryxctl apply (root): finds the hierarchies in paths().mountinfo, makes the
// roots (the caller's own group when it is the delegated "ryx-tree.service", else "ryx" under each
// mount), enables the controllers below them and records the tree.
int set_up(Tree &out);

// A container's group in one hierarchy: <root>/ryx<parent>/ryx<id>, or <root>/ryx<id> at the
// top level; the processes live in the leaf of the same name inside it.
std::string group_path(const Hierarchy &h, uint32_t id, uint32_t parent);

// Where the limits of one controller go for container id of group: the group itself, except
// v1's blkio, whose throttling holds only the processes of the very group a rule is in (it is
// not hierarchical there), so its rules go to the container's leaf.
std::string limits_dir(const Hierarchy &h, std::string_view controller, const std::string &group,
                       uint32_t id);

// One file of a group and what it should say; an io file may take several rules, written one
// by one (the kernel takes one per write).
struct LimitFile {
    const char *controller;
    const char *file;
    std::vector<std::string> lines;
};
// The files a container's group should have for its settings (in the hierarchy's version),
// every limit lifted while it is disabled. The mapping of docs/stock-kernel.md.
// disks: the mounted disks (mounted_disks()), looked up when not given.
std::vector<LimitFile> limit_files(const Hierarchy &h, const libryx_settings &s, bool disabled,
                                   const std::vector<std::string> *disks = nullptr);

// What one setting asks of the kernel, and whether the group holds it.
struct Enforcement {
    const char *key;     // kSettings key
    bool expressible;    // false: control groups have no such limit (memory, enters): held
                         // per process, by ryxctl enter and ryxd, and counted as held
    bool held;           // the group's files say what the setting asks
    std::string why_not; // for the administrator when !held: "no io controller", ...
};

// Makes the container's group (and its reseller's) and writes its limits; an old placement
// under another reseller is left, its processes moved along. Failures to write (a controller
// the host lacks, a read-only mount) are not errors here: enforcement() reports them.
// Returns 0, or a negated errno when the group itself cannot be made.
int apply(const Tree &t, uint32_t id, const ctl::Container &c, uint32_t old_parent);

// Removes the container's group where it has no processes left (else its limits are lifted).
int remove(const Tree &t, uint32_t id, uint32_t parent);

// Reads the group's files back: one entry per setting, in kSettings order.
// disks: the mounted disks, when the caller has them for many containers (looked up otherwise).
std::vector<Enforcement> enforcement(const Tree &t, uint32_t id, const ctl::Container &c,
                                     const std::vector<std::string> *disks = nullptr);

// Runs nothing: moves pid into the container's leaf (root only). -ESRCH when the group is not
// there (the container is not active or the tree is missing).
int enter(const Tree &t, uint32_t id, uint32_t parent, int pid);

// Every container of the state directory applied to its group (resellers first), and groups
// of containers that no longer exist removed where empty: what a boot or a hand-removed group
// needs, and idempotent. failed receives the ids whose group could not be made.
int apply_all(const Tree &t, std::vector<uint32_t> &failed);

// The whole disks that hold a mounted file system, "MAJ:MIN", for the io limits.
std::vector<std::string> mounted_disks();

} // namespace ryx::cgroup
