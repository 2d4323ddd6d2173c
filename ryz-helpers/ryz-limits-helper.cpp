// ryz-limits-helper: applies seven limit values to one domain container of the calling user.
//
// May run with raised privileges for ordinary users: identity is the real uid only, every
// argument is data (never a format), paths go through fixed buffers with bounded formatting.
// Nothing is written to standard output; every outcome has its own exit status.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ryx/ryx-ctl.h>
#include <ryx/ryz-map.h>

#include "ryx-cgroup-record.h"
#include "ryx-owners.h"
#include "ryx-paths.h"
#include "ryz-helper.h"

namespace {

constexpr char kUsage[] =
    "Usage: ryz-limits-helper <uid> <domain_id> <cpu> <pmem> <io> <nproc> <iops> <ep> <vmem>\n";

// One fprintf per message: stderr is unbuffered, so each line leaves in a single write.
#define SAY(...) std::fprintf(stderr, "ryz-limits-helper: " __VA_ARGS__)

// strtol's reading, as parse_uint32 has strtoul's: blanks and a sign accepted, empty is 0.
int parse_int32(const char *s, int32_t *out) {
    return ryx::num::parse_c_i32(s, *out) ? 0 : -1;
}

// 1: exists, 0: does not, negative: the library could not tell.
int ryx_exists(libryx *handle, uint32_t id) {
    libryx_info info;
    std::memset(&info, 0, sizeof info);
    int rc = ryx_info(handle, id, &info);
    if (rc == 0) return 1;
    if (rc == -ESRCH) return 0;
    return rc < 0 ? rc : -EIO;
}

// Without the container kernel (no /proc/ryx at all), the library's control-group tree places
// containers: ryx_id is a child of ryk_id when its group <root>/ryx<ryk_id>/ryx<ryx_id> is there
// in the first hierarchy of the record. 1: it is, 0: it is not, -1: there is no record, or none
// to believe (it, its directory or the root is not root's alone).
int tree_holds_ryx(uint32_t ryk_id, uint32_t ryx_id) {
    char record[RYX_CGROUP_RECORD_MAX];
    if (ryx_record_read(RYX_CGROUP_RECORD, record, sizeof record) <= 0) return -1;
    const char *text = record;
    ryx_record_line first;
    if (ryx_record_next(&text, &first) != 1) return -1;
    struct stat st;
    if (stat(first.root, &st) != 0 || !S_ISDIR(st.st_mode) || !ryx_record_trusted(&st)) return -1;
    char group[4096];
    int n = std::snprintf(group, sizeof group, "%s/ryx%u/ryx%u", first.root, ryk_id, ryx_id);
    if (n < 0 || static_cast<size_t>(n) >= sizeof group) return -1;
    if (lstat(group, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    // Only the library makes groups there, all of them root's alone: anything else is none.
    return S_ISDIR(st.st_mode) && ryx_record_trusted(&st) ? 1 : 0;
}

// The library's own state, the source of truth without the container kernel: the tree is made
// from it, but a group may be missing (a read-only cgroup mount, no tree at all) while the state
// is complete. 1: ryx_id's state file, root's alone, names ryk_id as its reseller; 0 otherwise.
int state_holds_ryx(uint32_t ryk_id, uint32_t ryx_id) {
    char path[4096], text[4096], want[32];
    std::snprintf(path, sizeof path, RYX_CONTAINER_STATE_DIR "/%u", ryx_id);
    std::snprintf(want, sizeof want, "\nparent=%u\n", ryk_id);
    return ryx_record_read(path, text, sizeof text) > 0 && std::strstr(text, want) ? 1 : 0;
}

// /proc/ryx/resellers/ryk<id>/list: a row's leading token is "<reseller>,<id>".
// 1: ryx_id is listed under ryk_id, 0: it is not, -1: the list cannot be opened (and, on a host
// without the container kernel, neither the tree nor the state can tell).
int ryk_holds_ryx(uint32_t ryk_id, uint32_t ryx_id) {
    char path[4096];
    std::snprintf(path, sizeof path, "/proc/ryx/resellers/ryk%u/list", ryk_id);
    // Only a regular file is read. Anything else put there (a FIFO, a device) could block the
    // open or the reads, so it is opened without waiting and then refused like a missing list.
    // Owned until the FILE takes it over.
    ryx::Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (fd.get() < 0) {
        // A kernel with lists has /proc/ryx; only where it has none do the tree and the state
        // answer.
        if (lstat("/proc/ryx", &st) != 0 && errno == ENOENT) {
            int held = tree_holds_ryx(ryk_id, ryx_id);
            return held == 1 || state_holds_ryx(ryk_id, ryx_id) ? 1 : held;
        }
        return -1;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    ryx::File f(fdopen(fd.get(), "r"));
    if (!f) return -1;
    fd.release();

    char want[48];
    std::snprintf(want, sizeof want, "%u,%u", ryk_id, ryx_id);

    char line[1024];
    bool at_line_start = true;
    for (;;) {
        // fgets splits lines longer than the buffer. Only a piece that begins a line may be
        // compared: the tail of a long line can start with any text, "1000,70001" included.
        // The sentinel tells a filled buffer from a short read even when the line holds NULs.
        line[sizeof line - 1] = '\1';
        if (!std::fgets(line, sizeof line, f.get())) break;
        bool piece_starts_line = at_line_start;
        at_line_start = !(line[sizeof line - 1] == '\0' && line[sizeof line - 2] != '\n');
        if (!piece_starts_line) continue;
        line[std::strcspn(line, " \t\n")] = '\0';
        if (std::strcmp(line, want) == 0) return 1;
    }
    return 0;
}

// Each step below returns 0 to go on, or the exit status to end with.

// The uid and domain id arguments, and that the uid is the caller's own.
int check_caller(const char *uid_text, const char *domain_text, uint32_t &uid,
                 uint32_t &domain_id) {
    uint32_t uid_arg;
    if (parse_uint32(uid_text, &uid_arg) != 0 || uid_arg == 0) {
        SAY("invalid uid '%s'\n", uid_text);
        return EXIT_INVALID;
    }
    if (parse_uint32(domain_text, &domain_id) != 0) {
        SAY("invalid domain_id '%s'\n", domain_text);
        return EXIT_INVALID;
    }
    const uint32_t real_uid = getuid();
    if (real_uid != uid_arg) {
        SAY("permission denied (real uid %u != target %u)\n", real_uid, uid_arg);
        return EXIT_NOT_ALLOWED;
    }
    uid = real_uid;
    return 0;
}

// Domain isolation is enabled for the user (the entry exists), and the domain is theirs.
int check_registry(uint32_t uid, uint32_t domain_id) {
    char marker[4096];
    std::snprintf(marker, sizeof marker, RYX_REGISTRY_DIR "/%u", uid);
    if (access(marker, F_OK) != 0) {
        SAY("domain isolation is not enabled for uid %u\n", uid);
        return EXIT_NOT_ALLOWED;
    }
    if (ryz_map_verify_ownership(uid, domain_id) == 0) {
        SAY("domain_id %u not owned by uid %u\n", domain_id, uid);
        return EXIT_NOT_REGISTERED;
    }
    return 0;
}

// The seven limits, in the order of the usage text, into a zeroed record; ls_cpus and
// ls_cpu_weight stay 0. All seven parse before any sign test, so an unparsable limit wins over a
// negative one.
int parse_limits(char *const text[7], libryx_settings &settings) {
    std::memset(&settings, 0, sizeof settings);
    int32_t *const limits[] = {&settings.ls_cpu,   &settings.ls_memory_phy, &settings.ls_io,
                               &settings.ls_nproc, &settings.ls_iops,       &settings.ls_enters,
                               &settings.ls_memory};
    for (int i = 0; i < 7; i++) {
        if (parse_int32(text[i], limits[i]) != 0) {
            SAY("invalid limit value\n");
            return EXIT_INVALID;
        }
    }
    for (int32_t *limit : limits) {
        if (*limit < 0) {
            SAY("negative limit value not allowed\n");
            return EXIT_INVALID;
        }
    }
    return 0;
}

// A cpu limit of 0 inherits the user's own container's limit; failing that, 0 stays.
void default_cpu(libryx *handle, uint32_t uid, libryx_settings &settings) {
    if (settings.ls_cpu != 0) return;
    libryx_info user_info;
    std::memset(&user_info, 0, sizeof user_info);
    if (ryx_info(handle, uid, &user_info) == 0 && user_info.li_set.ls_cpu > 0)
        settings.ls_cpu = user_info.li_set.ls_cpu;
}

// The domain container placed under the user's reseller; one that already existed must be
// listed there.
int place(libryx *handle, uint32_t uid, uint32_t domain_id) {
    int map_rc = ryx_ryk_move(handle, domain_id, uid);
    if (map_rc != 0) {
        SAY("ryx_ryk_move(domain %u -> ryk %u) failed: %d\n", domain_id, uid, map_rc);
        return EXIT_KERNEL;
    }
    int exists = ryx_exists(handle, domain_id);
    if (exists < 0) {
        SAY("cannot determine whether RYX %u already exists; refusing to apply limits\n",
            domain_id);
        return EXIT_BACKEND;
    }
    if (!exists) return 0;
    int held = ryk_holds_ryx(uid, domain_id);
    if (held != 1) {
        SAY("RYX %u already exists and is not a child of ryk%u%s; refusing to apply limits\n",
            domain_id, uid, held == -1 ? " (ryk listing unreadable)" : "");
        return held == -1 ? EXIT_BACKEND : EXIT_KERNEL;
    }
    return 0;
}

int apply(libryx *handle, uint32_t uid, uint32_t domain_id, libryx_settings &settings) {
    default_cpu(handle, uid, settings);
    if (int status = place(handle, uid, domain_id)) return status;
    int rc = ryx_setup(handle, domain_id, &settings);
    if (rc != 0) {
        SAY("ryx_setup(%u) failed: %d\n", domain_id, rc);
        return rc == -ERANGE || rc == -EINVAL ? EXIT_INVALID : EXIT_KERNEL;
    }
    return 0;
}

int run(int argc, char **argv) {
    if (argc != 10) {
        std::fputs(kUsage, stderr);
        return EXIT_INVALID;
    }
    uint32_t uid, domain_id;
    libryx_settings settings;
    if (int status = check_caller(argv[1], argv[2], uid, domain_id)) return status;
    if (int status = check_registry(uid, domain_id)) return status;
    if (int status = parse_limits(argv + 3, settings)) return status;
    ryx::Handle handle(init_ryx(std::malloc, std::free));
    if (!handle) {
        int err = errno;
        SAY("init_ryx failed: %s\n", std::strerror(err));
        return EXIT_BACKEND;
    }
    return apply(handle.get(), uid, domain_id, settings);
}

} // namespace

int main(int argc, char **argv) {
    // First of all, before any file is opened. 1 is the status left to generic failures: none of
    // 2 to 6 describes a process started without usable standard descriptors, and no message
    // goes out because there may be nowhere safe to write one.
    if (open_standard_descriptors() != 0) return EXIT_FAILURE;
    // run() returns so that the handle is destroyed on every path before the process ends.
    return run(argc, argv);
}
