// ryxd: the root service that keeps the containers' control groups and puts every tenant's
// process into its container. --foreground runs the placement daemon (ryxd.service runs it so);
// --tree makes the tree, applies every container's settings from the state files and holds the
// tree (ryx-tree.service runs it so); --once does the same and exits, for the boot scripts of
// hosts that run no service manager.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cgroup.h"
#include "daemon.h"
#include "libryx-impl.h"

namespace {

const char kUsage[] =
    "Usage: ryxd --foreground [--walk-interval SECONDS] [--no-events] [PATH OPTIONS]\n"
    "       ryxd --tree | --once [PATH OPTIONS]\n"
    "\n"
    "--foreground  apply every container's settings to the recorded control-group tree (made\n"
    "              first where there is none), then place every tenant's process in its\n"
    "              container until stopped (SIGTERM); SIGHUP re-reads the defaults, the state,\n"
    "              the registry and login.defs\n"
    "--tree        make the tree in this process's group and apply every container's settings,\n"
    "              then hold the tree, in its leaf \"ryxd\", until stopped (SIGHUP applies again)\n"
    "--once        make the tree and apply every container's settings, then exit\n"
    "--walk-interval SECONDS  how often /proc is walked besides the process events (5)\n"
    "--no-events   place on walks alone, as on a kernel without process events\n"
    "\n"
    "PATH OPTIONS (tests and unusual hosts): --state-dir DIR, --registry DIR,\n"
    "--cgroup-record FILE, --mountinfo FILE, --login-defs FILE\n"
    "\n"
    "Exit status: 0 success (--foreground, --tree: stopped by a signal), 1 the tree (--once:\n"
    "or a container's group) could not be made, or the daemon could not start, 2 invalid\n"
    "usage.\n";

// Every container applied: 1 when the state cannot be read, 2 when some group could not be made.
int apply(const ryx::cgroup::Tree &tree) {
    std::vector<uint32_t> failed;
    if (int rc = ryx::cgroup::apply_all(tree, failed); rc < 0) {
        std::fprintf(stderr, "ryxd: cannot read the container state: %s\n", std::strerror(-rc));
        return 1;
    }
    for (uint32_t id : failed)
        std::fprintf(stderr, "ryxd: container %u: its group could not be made\n", id);
    return failed.empty() ? 0 : 2;
}

int run_once(bool hold) {
    // Blocked before anything is made: a stop while the tree is made waits for it.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, s);
    if (hold) ::sigprocmask(SIG_BLOCK, &set, nullptr);
    ryx::cgroup::Tree tree;
    int rc = ryx::cgroup::set_up(tree);
    if (rc < 0) {
        std::fprintf(stderr, "ryxd: cannot set up the control-group tree: %s\n",
                     rc == -ENOENT ? "no control-group hierarchy is mounted" : std::strerror(-rc));
        return 1;
    }
    rc = apply(tree);
    if (!hold) return rc == 0 ? 0 : 1;
    // Under systemd the unit that owns the tree must keep a process, or systemd removes its
    // empty groups; a container whose group failed is no reason to give up the others.
    ryx::daemon::notify("READY=1");
    for (int sig = 0; sigwait(&set, &sig) == 0;) {
        if (sig != SIGHUP) break;
        ryx::daemon::notify("RELOADING=1");
        apply(tree);
        ryx::daemon::notify("READY=1");
    }
    ryx::daemon::notify("STOPPING=1");
    return 0;
}

// 0.1 s to an hour: a walk every few milliseconds would be a busy loop, one a day no net.
bool parse_interval(const char *text, double &out) {
    char *end;
    errno = 0;
    out = std::strtod(text, &end);
    return errno == 0 && end != text && !*end && out >= 0.1 && out <= 3600;
}

enum Option {
    kOnce = 256,
    kForeground,
    kTree,
    kWalk,
    kNoEvents,
    kState,
    kRegistry,
    kRecord,
    kMounts,
    kDefs
};

// The options that point the daemon at other files (tests, unusual hosts); false for others.
bool take_path(int option, const char *arg, ryx::Paths &paths) {
    switch (option) {
    case kState:
        paths.state_dir = arg;
        return true;
    case kRegistry:
        paths.registry_root = arg;
        return true;
    case kRecord:
        paths.cgroup_record = arg;
        return true;
    case kMounts:
        paths.mountinfo = arg;
        return true;
    case kDefs:
        paths.login_defs = arg;
        return true;
    default:
        return false;
    }
}

} // namespace

int main(int argc, char **argv) {
    static const struct option kLongOptions[] = {
        {"once", no_argument, nullptr, kOnce},
        {"foreground", no_argument, nullptr, kForeground},
        {"tree", no_argument, nullptr, kTree},
        {"walk-interval", required_argument, nullptr, kWalk},
        {"no-events", no_argument, nullptr, kNoEvents},
        {"state-dir", required_argument, nullptr, kState},
        {"registry", required_argument, nullptr, kRegistry},
        {"cgroup-record", required_argument, nullptr, kRecord},
        {"mountinfo", required_argument, nullptr, kMounts},
        {"login-defs", required_argument, nullptr, kDefs},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int mode = 0;
    ryx::daemon::Options options;
    ryx::Paths paths = ryx::paths();
    for (int c; (c = ::getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
        switch (c) {
        case kOnce:
        case kForeground:
        case kTree:
            if (mode != 0 && mode != c) {
                std::fputs("ryxd: --once, --tree and --foreground exclude each other\n", stderr);
                return 2;
            }
            mode = c;
            break;
        case kWalk:
            if (!parse_interval(optarg, options.walk_seconds)) {
                std::fprintf(stderr, "ryxd: invalid walk interval '%s' (0.1 to 3600 seconds)\n",
                             optarg);
                return 2;
            }
            break;
        case kNoEvents:
            options.events = false;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        default:
            if (take_path(c, optarg, paths)) break;
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (mode == 0 || optind != argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fputs("ryxd: must run as root\n", stderr);
        return 1;
    }
    ryx::configure(paths);
    return mode == kForeground ? ryx::daemon::run(options) : run_once(mode == kTree);
}
