// What ryxd reads of a process, and of the control-group tree as /proc/<pid>/cgroup names it:
// small parsers on text already read, so that the tests feed them any text, and the reads of
// /proc that ryxd makes per process (its real uid, its group, its working directory).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cgroup.h"

namespace ryx::daemon {

// The real uid of a /proc/<pid>/status text ("Uid:\t<real>\t<effective>..."), or -1.
int64_t parse_real_uid(std::string_view status);

// UID_MIN of a login.defs text, 1000 when it is not set.
uint32_t parse_uid_min(std::string_view text);

// Where a process is, in the tree's terms.
struct Whereabouts {
    enum Kind { outside, container, other } kind = outside; // other: the tree's, not a container's
    uint32_t id = 0;                                        // the container, for kind container
};

// How one hierarchy of the tree appears in /proc/<pid>/cgroup: which line, and the tree's root
// as a path within the hierarchy.
struct TreeView {
    bool v2 = true;
    std::string controller; // v1: a controller of the hierarchy's line
    std::string root;       // "/ryx", "/system.slice/ryxd.service", "/" ...

    // The tree's first hierarchy found in a mountinfo text (its mount point is the longest
    // that holds the root). false when no mount holds it.
    bool find(const cgroup::Hierarchy &h, std::string_view mountinfo);
    // Where the /proc/<pid>/cgroup text puts the process: <root>/ryx<ID>/ryx<ID> (or the group
    // itself), <root>/ryx<R>/ryx<ID>[/ryx<ID>]; anything else below the root is "other".
    Whereabouts locate(std::string_view text) const;
};

// The reads of one process's /proc entry, each a file of its own: no more system calls than
// the files need (they are the daemon's main cost).
class ProcessDir {
  public:
    ProcessDir(int proc_fd, int pid);

    int64_t real_uid();
    bool cgroup(std::string &out);
    // The working directory as the kernel resolves it; false when it cannot be read (the
    // process is gone, or a kernel thread).
    bool cwd(std::string &out);

  private:
    bool read(const char *name, std::string &out);
    int proc_;
    char path_[32]; // "<pid>/", then the file's name
    size_t prefix_;
};

} // namespace ryx::daemon
