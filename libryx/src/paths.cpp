#include "internal.h"

#include <utility>

#include "ryx-cgroup-record.h"
#include "ryx-paths.h"

namespace ryx {

namespace {

Paths &current() {
    static Paths p{RYX_REGISTRY_DIR, "/etc/login.defs", RYX_CONTAINER_STATE_DIR, 5000, 15000,
                   RYX_CGROUP_RECORD};
    return p;
}

} // namespace

const Paths &paths() {
    return current();
}

void configure(Paths p) {
    current() = std::move(p);
}

} // namespace ryx
