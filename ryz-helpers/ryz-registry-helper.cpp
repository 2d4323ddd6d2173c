// ryz-registry-helper: prints the domain container id registered for one of the caller's
// document roots, nothing when none is.
//
// May run with raised privileges for ordinary users: identity is the real uid only, the docroot
// goes to the library unchanged and is never a format.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include <ryx/ryz-map.h>

#include "ryx-paths.h"
#include "ryz-helper.h"

namespace {

constexpr char kUsage[] = "Usage: ryz-registry-helper get <uid> <docroot>\n";

#define SAY(...) std::fprintf(stderr, "ryz-registry-helper: " __VA_ARGS__)

// Callers read "no output" as "no id registered", so an id that could not be written must not
// end in status 0.
constexpr int EXIT_OUTPUT = 1;

int cmd_get(uint32_t uid, const char *docroot) {
    char path[4096];
    std::snprintf(path, sizeof path, RYX_REGISTRY_DIR "/%u", uid);
    if (access(path, F_OK) != 0) {
        SAY("domain isolation is not enabled for uid %u; ask the administrator to run "
            "'ryxctl allow-domain-limits <user>'\n",
            uid);
        return EXIT_NOT_ALLOWED;
    }

    uint32_t domain_id = ryz_map_lookup(uid, docroot);
    if (domain_id != 0) {
        std::printf("%u\n", domain_id);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            int err = errno;
            SAY("cannot write to standard output: %s\n", std::strerror(err));
            return EXIT_OUTPUT;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // First of all, before any file is opened. 1, silently: the status left to generic failures,
    // which callers already read as "no answer" (as for an id that could not be written), and
    // there may be nowhere safe to write a message.
    if (open_standard_descriptors() != 0) return EXIT_FAILURE;
    if (argc != 4 || std::strcmp(argv[1], "get") != 0) {
        std::fputs(kUsage, stderr);
        return EXIT_INVALID;
    }
    uint32_t uid;
    if (parse_uint32(argv[2], &uid) != 0 || uid == 0) {
        SAY("invalid uid '%s'\n", argv[2]);
        return EXIT_INVALID;
    }
    const uint32_t real_uid = getuid();
    if (real_uid != uid) {
        SAY("permission denied (real uid %u != target %u)\n", real_uid, uid);
        return EXIT_NOT_ALLOWED;
    }
    return cmd_get(uid, argv[3]);
}
