// The whole tree made again from the state files: at boot (ryxd --once), after a group was
// removed by hand, or whenever an administrator asks (ryxctl apply).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "cgroup.h"
#include "fsutil.h"
#include "ryx-number.h"

namespace ryx::cgroup {

namespace {

// The container ids of the groups directly below dir ("ryx<ID>").
std::vector<uint32_t> groups_in(const std::string &dir) {
    std::vector<uint32_t> out;
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirStream d;
    if (!fd || list_dir(fd.get(), d) < 0) return out;
    while (const struct dirent *de = ::readdir(d.get())) {
        uint32_t id;
        if (std::string_view(de->d_name).substr(0, 3) == "ryx" &&
            num::parse_canonical_u32(de->d_name + 3, id))
            out.push_back(id);
    }
    return out;
}

// Groups whose container is gone (destroyed while the tree was not there), removed where they
// hold nobody; a reseller's group stays while any container names it.
void sweep(const Tree &t, const std::map<uint32_t, ctl::Container> &live) {
    auto parent_of_any = [&](uint32_t id) {
        return std::any_of(live.begin(), live.end(),
                           [&](const auto &e) { return e.second.parent == id; });
    };
    for (const Hierarchy &h : t.hierarchies) {
        for (uint32_t top : groups_in(h.root)) {
            for (uint32_t child : groups_in(group_path(h, top, 0))) {
                auto it = live.find(child);
                if (child != top && (it == live.end() || it->second.parent != top))
                    remove(t, child, top);
            }
            auto it = live.find(top);
            if ((it == live.end() || it->second.parent != 0) && !parent_of_any(top))
                remove(t, top, 0);
        }
    }
}

} // namespace

int apply_all(const Tree &t, std::vector<uint32_t> &failed) {
    std::vector<ctl::Record> all;
    if (int rc = ctl::load_all(all); rc < 0) return rc;
    std::map<uint32_t, ctl::Container> live;
    for (const ctl::Record &r : all)
        if (r.error == 0 && r.c.active) live[r.id] = r.c;
    // Resellers first, so that their limits are in place before anything runs beneath them.
    std::vector<uint32_t> order;
    for (const auto &[id, c] : live)
        if (c.parent == 0) order.push_back(id);
    for (const auto &[id, c] : live)
        if (c.parent != 0) order.push_back(id);
    for (uint32_t id : order)
        if (apply(t, id, live[id], live[id].parent) < 0) failed.push_back(id);
    sweep(t, live);
    return 0;
}

} // namespace ryx::cgroup
