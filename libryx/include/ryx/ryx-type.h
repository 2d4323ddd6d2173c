/* libryx: types shared by the container control and registry calls. */
#ifndef RYX_RYX_TYPE_H
#define RYX_RYX_TYPE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque library handle, from init_ryx to destroy_ryx. */
typedef struct libryx libryx;

/* Allocator pair handed to init_ryx (malloc-like, free-like). */
typedef void *(*libryx_alloc)(size_t size);
typedef void (*libryx_free)(void *ptr);

/* Limits of one container. The library defines the units; callers pass numbers through. */
typedef struct libryx_settings {
    int32_t ls_cpu;
    int32_t ls_cpus;
    int32_t ls_io;
    int32_t ls_enters;
    int32_t ls_memory;
    int32_t ls_cpu_weight;
    int32_t ls_memory_phy;
    int32_t ls_nproc;
    int32_t ls_iops;
} libryx_settings;

typedef enum libryx_ve_flags {
    RYX_VE_DISABLE = 1,
} libryx_ve_flags;

typedef struct libryx_info {
    libryx_settings li_set;
    libryx_ve_flags li_flags;
} libryx_info;

/* Registry entry iterator, from ryz_map_iter_open to ryz_map_iter_close. */
typedef struct ryz_map_iter ryz_map_iter;

#ifdef __cplusplus
}
#endif

#endif
