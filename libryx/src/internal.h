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
};

Paths &paths();

// Runs f, turning an escaping exception into on_failure with errno set.
template <class R, class F> R guarded(R on_failure, F &&f) noexcept
{
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
