#include <cerrno>

#include <ryx/ryz-map.h>

#include "internal.h"

RYX_EXPORT int ryz_map_verify_ownership(uid_t, uint32_t) { return 0; }
RYX_EXPORT uint32_t ryz_map_lookup(uid_t, const char *) { return 0; }
RYX_EXPORT int ryz_map_assign(uid_t, const char *, uint32_t *) { return -ENOSYS; }
RYX_EXPORT int ryz_map_remove(uid_t, const char *, uint32_t *) { return -ENOSYS; }
RYX_EXPORT int ryz_map_remove_all(uid_t) { return -ENOSYS; }
RYX_EXPORT ryz_map_iter *ryz_map_iter_open(uid_t) { return nullptr; }
RYX_EXPORT int ryz_map_iter_next(ryz_map_iter *, const char **, uint32_t *) { return 1; }
RYX_EXPORT void ryz_map_iter_close(ryz_map_iter *) {}
RYX_EXPORT uint32_t ryz_fnv1a(const char *s)
{
    uint32_t h = 2166136261u;
    for (; *s; ++s)
        h = (h ^ static_cast<unsigned char>(*s)) * 16777619u;
    return h;
}
RYX_EXPORT uint32_t ryz_get_id_min(void) { return 60000; }
RYX_EXPORT int ryz_index_rebuild(void) { return -ENOSYS; }
