#include <cerrno>

#include <ryx/ryx-ctl.h>

#include "internal.h"

RYX_EXPORT libryx *init_ryx(libryx_alloc, libryx_free) { errno = ENOSYS; return nullptr; }
RYX_EXPORT int destroy_ryx(libryx *) { return 0; }
RYX_EXPORT int ryx_info(libryx *, uint32_t, libryx_info *) { return -ENOSYS; }
RYX_EXPORT int ryx_ryk_move(libryx *, uint32_t, uint32_t) { return -ENOSYS; }
RYX_EXPORT int ryx_setup(libryx *, uint32_t, const libryx_settings *) { return -ENOSYS; }
