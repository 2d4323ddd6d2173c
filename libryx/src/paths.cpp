#include "internal.h"

#include <utility>

#ifndef RYX_STATE_DIR_DEFAULT
#define RYX_STATE_DIR_DEFAULT "/var/lib/ryx"
#endif

namespace ryx {

namespace {

Paths &current() {
    static Paths p{"/etc/container/ryz_ids", "/etc/login.defs", RYX_STATE_DIR_DEFAULT "/containers",
                   5000, 15000};
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
