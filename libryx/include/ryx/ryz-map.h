/* libryx: the per-user registry of domain container ids, keyed by document root. */
#ifndef RYX_RYZ_MAP_H
#define RYX_RYZ_MAP_H

#include <ryx/ryx-type.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Registry root: /etc/container/ryz_ids, one entry per user ("<uid>") for whom domain isolation
 * is enabled (ryxctl allow-domain-limits). Results below are a negated errno on failure. */

/* Non-zero exactly when id is registered to uid; 0 also when it cannot be decided. */
int ryz_map_verify_ownership(uid_t uid, uint32_t id);
/* The id registered for docroot, 0 when none. Constant time, takes no lock. */
uint32_t ryz_map_lookup(uid_t uid, const char *docroot);
/* 1 with a new id in *id, 0 with the docroot's existing id; -EPERM when uid has no entry
 * (isolation is never enabled as a side effect), -EACCES without root, -EBADMSG for a damaged
 * table or index, -ENOSPC when no id is free. */
int ryz_map_assign(uid_t uid, const char *docroot, uint32_t *id);
/* 1 with the removed id in *old_id; 0 with *old_id left as it was when nothing was mapped. */
int ryz_map_remove(uid_t uid, const char *docroot, uint32_t *old_id);
/* >= 0: the number of entries of uid removed; the user's entry itself stays. */
int ryz_map_remove_all(uid_t uid);

/* A snapshot of uid's entries in insertion order; NULL (errno ENOENT) when there are none,
 * NULL with errno EBADMSG for a damaged table. */
ryz_map_iter *ryz_map_iter_open(uid_t uid);
/* 0: one entry delivered; *docroot stays valid until the next call on it. Non-zero: the end. */
int ryz_map_iter_next(ryz_map_iter *iter, const char **docroot, uint32_t *id);
void ryz_map_iter_close(ryz_map_iter *iter);

/* 32-bit FNV-1a over the bytes of docroot. */
uint32_t ryz_fnv1a(const char *docroot);
/* Smallest domain id: UID_MAX of /etc/login.defs, at least 60000. */
uint32_t ryz_get_id_min(void);
/* >= 0: the number of ids in the index rebuilt from the user entries; -EBADMSG when an entry
 * is damaged, -ENOTUNIQ when two users map one id (the old index is then kept). */
int ryz_index_rebuild(void);

#ifdef __cplusplus
}
#endif

#endif
