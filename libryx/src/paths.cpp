#include "internal.h"

#ifndef RYX_STATE_DIR_DEFAULT
#define RYX_STATE_DIR_DEFAULT "/var/lib/ryx"
#endif

namespace ryx {

Paths &paths() {
    static Paths p{"/etc/container/ryz_ids", "/etc/login.defs", RYX_STATE_DIR_DEFAULT "/containers",
                   5000, 15000};
    return p;
}

} // namespace ryx
