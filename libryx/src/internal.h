// libryx internals shared by the container-control and registry sources, the unit tests, the
// benchmark and ryxctl. Nothing here is exported from libryx.so.0.
#pragma once

#include <cerrno>
#include <new>
#include <string>

#define RYX_EXPORT extern "C" __attribute__((visibility("default")))

namespace ryx {

// Where the library keeps its files. The defaults are the shipped paths; tests and ryxctl's
// --registry/--state-dir point them elsewhere. Deliberately not read from the environment:
// the library is loaded into privileged helpers.
struct Paths {
    std::string registry_root;
    std::string login_defs;
    std::string state_dir; // container state files live here, one per container
    // How long a change waits for a lock before it fails with -ETIMEDOUT. A container's lock
    // may be held by a helper its user stopped; the registry's only by root's own writers,
    // whose changes of very large tables take a few seconds under contention.
    int container_lock_wait_ms = 5000;
    int registry_lock_wait_ms = 15000;
    // Control groups (stock kernels): the record of where the tree is, the mount table that
    // finds it, and the block devices' sysfs directory (the io limits' disks).
    std::string cgroup_record;
    std::string mountinfo = "/proc/self/mountinfo";
    std::string sys_block = "/sys/dev/block";
};

// The paths in use: the shipped defaults until a program (ryxctl's options, the simulated host,
// a test) calls configure, once, before its first library call.
const Paths &paths();
void configure(Paths p);

// Runs f, turning an escaping exception into on_failure with errno set.
template <class R, class F> R guarded(R on_failure, F &&f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
    } catch (...) {
        errno = EIO;
    }
    return on_failure;
}

} // namespace ryx
