/* libryx: container control. Results are 0 or a negated errno value. */
#ifndef RYX_RYX_CTL_H
#define RYX_RYX_CTL_H

#include <ryx/ryx-type.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A new handle allocated with alloc; NULL with errno set. */
libryx *init_ryx(libryx_alloc alloc, libryx_free dealloc);
int destroy_ryx(libryx *handle);

/* 0 and info filled when container id exists; -ESRCH when it does not. */
int ryx_info(libryx *handle, uint32_t id, libryx_info *info);
/* Places container id under the reseller container ryk_id (0: top level). A container that
 * does not exist yet keeps the placement and is created there by ryx_setup. */
int ryx_ryk_move(libryx *handle, uint32_t id, uint32_t ryk_id);
/* Replaces the settings of container id, creating it when needed; -EINVAL when a value is
 * negative, -ERANGE when one exceeds its field's bound (units and bounds: docs/libryx.md). */
int ryx_setup(libryx *handle, uint32_t id, const libryx_settings *settings);

#ifdef __cplusplus
}
#endif

#endif
