// ryx_setup through the control-group backend against the state-only backend: the median time
// per call, each call changing one limit of a container under a reseller, as the limits helper
// does. The groups are a private subtree this run makes in each hierarchy the host mounts (the
// v1 hierarchies of cpu, memory, pids and blkio, or the unified one) and removes at the end;
// nothing else of the host's control groups is touched. Root only.
// Usage: setup_bench [calls]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <ryx/ryx-ctl.h>

#include "cgroup.h"
#include "fsutil.h"
#include "internal.h"
#include "ryx-owners.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Median microseconds per ryx_setup over calls, cpu alternating so that every call writes.
double median_us(int calls) {
    ryx::Handle h(init_ryx(std::malloc, std::free));
    libryx_settings s{};
    s.ls_memory_phy = 65536, s.ls_nproc = 100, s.ls_io = 4096;
    ryx_ryk_move(h.get(), 60001, 1000);
    std::vector<double> us;
    for (int i = 0; i < calls; ++i) {
        s.ls_cpu = 20 + i % 2;
        auto t = Clock::now();
        if (ryx_setup(h.get(), 60001, &s) != 0) return -1;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

// Groups below root, deepest first, as the kernel wants them removed.
void remove_groups(const std::string &root) {
    std::vector<std::string> dirs;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) dirs.push_back(it->path());
    std::sort(dirs.rbegin(), dirs.rend());
    for (const std::string &d : dirs)
        ::rmdir(d.c_str());
    ::rmdir(root.c_str());
}

// The mounted hierarchies, as ryxd would choose them, each with a new group of ours as root.
ryx::cgroup::Tree private_tree(const std::string &name) {
    ryx::cgroup::Tree v1, v2;
    FILE *f = std::fopen("/proc/self/mountinfo", "r");
    char line[4096];
    while (f && std::fgets(line, sizeof line, f)) {
        char point[1024], type[64], opts[1024];
        if (std::sscanf(line, "%*s %*s %*s %*s %1023s %*[^-]- %63s %*s %1023s", point, type,
                        opts) != 3)
            continue;
        ryx::cgroup::Hierarchy h;
        h.v2 = std::string(type) == "cgroup2";
        h.root = std::string(point) + name;
        for (const char *c : {"cpu", "cpuacct", "memory", "pids", "blkio"})
            if (!h.v2 && (std::string(",") + opts + ",").find(std::string(",") + c + ",") !=
                             std::string::npos)
                h.controllers.push_back(c);
        if (h.v2) {
            // Only what the host's own root already hands down: we enable nothing there.
            std::string on;
            ryx::read_file(AT_FDCWD, (std::string(point) + "/cgroup.subtree_control").c_str(), on,
                           4096, ryx::kAnyKind);
            for (const char *c : {"cpu", "io", "memory", "pids"})
                if ((" " + on).find(std::string(" ") + c) != std::string::npos)
                    h.controllers.push_back(c);
            if (!h.controllers.empty()) v2.hierarchies.push_back(h);
        } else if (!h.controllers.empty()) {
            v1.hierarchies.push_back(h);
        }
    }
    if (f) std::fclose(f);
    ryx::cgroup::Tree &t = v1.empty() ? v2 : v1;
    for (const ryx::cgroup::Hierarchy &h : t.hierarchies)
        ::mkdir(h.root.c_str(), 0755);
    return t;
}

} // namespace

int main(int argc, char **argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 500;
    if (::geteuid() != 0 || calls <= 0) {
        std::fputs("usage: setup_bench [calls]   (as root)\n", stderr);
        return 2;
    }
    ScratchDir scratch("ryx-setup-bench");
    ryx::Paths p = ryx::paths();
    p.state_dir = scratch.path() + "/state";
    p.cgroup_record = scratch.path() + "/none";
    ryx::configure(p);
    const double state_only = median_us(calls);

    // The tree's roots: a private group of this run's in each hierarchy (never set_up, which
    // would enable controllers at the host's own roots).
    p.cgroup_record = scratch.path() + "/run/cgroup";
    p.state_dir = scratch.path() + "/state2";
    ryx::configure(p);
    ryx::cgroup::Tree tree = private_tree("/ryx-bench-" + std::to_string(::getpid()));
    if (tree.empty()) {
        std::fputs("setup_bench: no control-group hierarchy with controllers is mounted\n", stderr);
        return 1;
    }
    fs::create_directories(scratch.path() + "/run");
    FILE *f = std::fopen(p.cgroup_record.c_str(), "w");
    if (f) std::fputs(ryx::cgroup::format_record(tree).c_str(), f), std::fclose(f);
    const double through_groups = median_us(calls);
    for (const ryx::cgroup::Hierarchy &hier : tree.hierarchies)
        remove_groups(hier.root);
    std::printf("ryx_setup, median of %d calls: state only %.0f us, through control groups "
                "(%s) %.0f us, ratio %.2f (goals: 2000 us, 3x)\n",
                calls, state_only, tree.hierarchies[0].v2 ? "v2" : "v1", through_groups,
                through_groups / state_only);
    return state_only > 0 && through_groups > 0 ? 0 : 1;
}
