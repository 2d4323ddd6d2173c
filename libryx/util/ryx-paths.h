/* Where the system's shared files live, named once for every program that names them: macros,
 * so that C string concatenation builds the longer paths ("RYX_REGISTRY_DIR "/%u"") with the
 * same bytes. Header-only, usable from C and from the set-user-ID helpers. */
#ifndef RYX_PATHS_H
#define RYX_PATHS_H

/* The domain registry: one entry per user for whom domain isolation is enabled. */
#define RYX_REGISTRY_DIR "/etc/container/ryz_ids"

/* Where the library keeps its state on hosts without the container kernel; the build's
 * RYX_STATE_DIR setting (CMake) defines it for every target that links libryx_util. */
#ifndef RYX_STATE_DIR
#define RYX_STATE_DIR "/var/lib/ryx"
#endif
/* One state file per container. */
#define RYX_CONTAINER_STATE_DIR RYX_STATE_DIR "/containers"

/* The statistics package's command, and the file by whose existence it announces per-domain
 * statistics (ryz-stats-helper runs the one; the simulated host installs both). */
#define RYX_RYXINFO_PATH "/usr/sbin/ryxinfo"
#define RYX_DOMAIN_STATS_FLAG_FILE                                                                 \
    "/opt/tavrenox/flags/available-flags.d/ryxstats-supports-domain-ryx-limits.flag"

#endif
