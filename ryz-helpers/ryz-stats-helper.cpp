// ryz-stats-helper: replaces itself with the statistics command, asking for the per-domain rows
// of the calling user only.
//
// May run with raised privileges for ordinary users: the uid asked for is always the real uid,
// the command is started by absolute path with a fixed environment (nothing of the caller's
// passes on), and the period is handed on as one argument without being interpreted.
// Links only the C library: no C++ runtime is used here.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "ryx-paths.h"
#include "ryz-helper.h"

namespace {

constexpr char kUsage[] = "Usage: ryz-stats-helper get <period>\n";
constexpr char kRyxinfoPath[] = RYX_RYXINFO_PATH;
constexpr char kFlagFile[] = RYX_DOMAIN_STATS_FLAG_FILE;
constexpr char kColumns[] =
    "domain,domain_id,parent_uid,aCPU,mCPU,lCPU,CPUf,aEP,mEP,lEP,EPf,aVMem,mVMem,lVMem,VMemF,"
    "aPMem,mPMem,lPMem,PMemF,aNproc,mNproc,lNproc,NprocF,aIO,mIO,lIO,IOf,aIOPS,mIOPS,lIOPS,IOPSf";

// The installed statistics package announces per-domain support by this file's existence.
bool domain_stats_supported() {
    struct stat st;
    return stat(kFlagFile, &st) == 0;
}

// Returns only when execve failed.
int cmd_get(uid_t uid, const char *period) {
    char uid_buf[32];
    std::snprintf(uid_buf, sizeof uid_buf, "%u", static_cast<unsigned>(uid));

    const char *const argv[] = {
        kRyxinfoPath, "--json", "--with-domains", "--id",   uid_buf,
        "--period",   period,   "--show-columns", kColumns, nullptr,
    };
    const char *const envp[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", nullptr};
    // execve's prototype predates const; it does not write through these.
    execve(kRyxinfoPath, const_cast<char *const *>(argv), const_cast<char *const *>(envp));
    int err = errno;
    std::fprintf(stderr, "ryz-stats-helper: cannot run %s: %s\n", kRyxinfoPath, std::strerror(err));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    // First of all: nothing opened later may become a standard stream, here or in the command,
    // which inherits them. Silently, as there may be nowhere safe to write a message.
    if (open_standard_descriptors() != 0) return 1;
    if (argc != 3 || std::strcmp(argv[1], "get") != 0) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    // Checked before the uid, so the superuser also learns about a missing flag file.
    if (!domain_stats_supported()) {
        std::fprintf(stderr,
                     "The installed ryx-stats does not support per-domain RYX statistics. "
                     "Upgrade ryx-stats to a version that provides %s\n",
                     kFlagFile);
        return 1;
    }
    uid_t uid = getuid();
    if (uid == 0) {
        std::fputs("ryz-stats-helper: refusing to run as root; use 'ryxinfo --with-domains --id "
                   "<uid>' instead\n",
                   stderr);
        return 1;
    }
    return cmd_get(uid, argv[2]);
}
