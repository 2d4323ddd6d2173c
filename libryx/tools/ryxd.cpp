// ryxd: the root service that keeps the containers' control groups. With --once it makes the
// tree, applies every container's settings from the state files and exits: what a boot needs
// (ryxd.service runs it so), and what a host without systemd runs from its own boot scripts.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cgroup.h"
#include "libryx-impl.h"

namespace {

const char kUsage[] = "Usage: ryxd --once [--state-dir DIR]\n"
                      "\n"
                      "Makes the containers' control-group tree and applies every container's\n"
                      "settings from the state files, then exits.\n"
                      "\n"
                      "Exit status: 0 success, 1 the tree or a container's group could not be\n"
                      "made, 2 invalid usage.\n";

int run_once() {
    ryx::cgroup::Tree tree;
    int rc = ryx::cgroup::set_up(tree);
    if (rc < 0) {
        std::fprintf(stderr, "ryxd: cannot set up the control-group tree: %s\n",
                     rc == -ENOENT ? "no control-group hierarchy is mounted" : std::strerror(-rc));
        return 1;
    }
    std::vector<uint32_t> failed;
    if ((rc = ryx::cgroup::apply_all(tree, failed)) < 0) {
        std::fprintf(stderr, "ryxd: cannot read the container state: %s\n", std::strerror(-rc));
        return 1;
    }
    for (uint32_t id : failed)
        std::fprintf(stderr, "ryxd: container %u: its group could not be made\n", id);
    return failed.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    static const struct option kLongOptions[] = {
        {"once", no_argument, nullptr, 'o'},
        {"state-dir", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool once = false;
    ryx::Paths paths = ryx::paths();
    for (int c; (c = ::getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
        switch (c) {
        case 'o':
            once = true;
            break;
        case 's':
            paths.state_dir = optarg;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        default:
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!once || optind != argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fputs("ryxd: must run as root\n", stderr);
        return 1;
    }
    ryx::configure(paths);
    return run_once();
}
