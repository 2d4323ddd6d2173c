// What the kernel holds of a container's settings, read back from its group: a limit counts as
// enforced only when the group's own file says so, never because it was written.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <cstdlib>
#include <string>

#include "cgroup.h"
#include "fsutil.h"
#include "internal.h"
#include "ryx-units.h"

namespace ryx::cgroup {

namespace {

constexpr int64_t kPeriodUs = 100000;
constexpr int64_t kUnlimited = INT64_MAX;

// A number as a cgroup file writes it: "max" (v2) or a negative or huge one (v1) is no limit;
// -1 when the file cannot be read.
int64_t read_limit(const std::string &path, size_t field = 0) {
    std::string text;
    if (read_file(AT_FDCWD, path.c_str(), text, 1 << 20) < 0) return -1;
    size_t at = 0;
    for (size_t i = 0; i < field; ++i)
        at = text.find(' ', at) + 1;
    if (text.compare(at, 3, "max") == 0) return kUnlimited;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str() + at, &end, 10);
    if (end == text.c_str() + at) return -1;
    return v < 0 || v >= (int64_t(1) << 62) ? kUnlimited : v;
}

// The value a "MAJ:MIN key=value ..." (v2 io.max) or "MAJ:MIN value" (v1 throttle) file gives
// disk for key; kUnlimited when the disk has no rule.
int64_t device_limit(const std::string &path, const std::string &disk, const char *key) {
    std::string text;
    if (read_file(AT_FDCWD, path.c_str(), text, 1 << 20) < 0) return -1;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (line.compare(0, disk.size() + 1, disk + " ") != 0) continue;
        if (!key) return std::atoll(line.c_str() + disk.size() + 1);
        size_t k = line.find(std::string(" ") + key + "=");
        if (k == std::string::npos) return kUnlimited;
        const char *v = line.c_str() + k + std::string(key).size() + 2;
        return std::string_view(v).substr(0, 3) == "max" ? kUnlimited : std::atoll(v);
    }
    return kUnlimited;
}

using Disks = std::vector<std::string>;

struct Check {
    const char *controller; // nullptr: control groups cannot express it
    // The group's value is at least as strict as what the setting asks.
    bool (*held)(const Hierarchy &, const std::string &group, const libryx_settings &,
                 const std::vector<std::string> &disks);
};

bool cpu_held(const Hierarchy &h, const std::string &g, const libryx_settings &s, int64_t want) {
    (void)s;
    int64_t q = h.v2 ? read_limit(g + "/cpu.max") : read_limit(g + "/cpu.cfs_quota_us");
    int64_t period = h.v2 ? read_limit(g + "/cpu.max", 1) : read_limit(g + "/cpu.cfs_period_us");
    return q > 0 && q != kUnlimited && period > 0 && q * kPeriodUs / period <= want;
}

bool io_held(const Hierarchy &h, const std::string &g, int64_t want, bool ops,
             const std::vector<std::string> &disks) {
    for (const std::string &disk : disks) {
        for (int write = 0; write < 2; ++write) {
            int64_t v =
                h.v2 ? device_limit(g + "/io.max", disk,
                                    ops ? (write ? "wiops" : "riops") : (write ? "wbps" : "rbps"))
                     : device_limit(g + (ops ? (write ? "/blkio.throttle.write_iops_device"
                                                      : "/blkio.throttle.read_iops_device")
                                             : (write ? "/blkio.throttle.write_bps_device"
                                                      : "/blkio.throttle.read_bps_device")),
                                    disk, nullptr);
            if (v <= 0 || v > want) return false;
        }
    }
    return true;
}

const Check kChecks[] = {
    {"cpu", [](const Hierarchy &h, const std::string &g, const libryx_settings &s,
               const Disks &) { return cpu_held(h, g, s, int64_t(s.ls_cpu) * kPeriodUs / 100); }},
    {"cpu", [](const Hierarchy &h, const std::string &g, const libryx_settings &s,
               const Disks &) { return cpu_held(h, g, s, int64_t(s.ls_cpus) * kPeriodUs); }},
    {"io",
     [](const Hierarchy &h, const std::string &g, const libryx_settings &s, const Disks &d) {
         return io_held(h, g, int64_t(s.ls_io) * int64_t(kSettingIoBytes), false, d);
     }},
    {nullptr, nullptr}, // enters
    {nullptr, nullptr}, // memory: address space
    {"cpu",
     [](const Hierarchy &h, const std::string &g, const libryx_settings &s, const Disks &) {
         int64_t w = std::clamp<int64_t>(s.ls_cpu_weight, 1, 10000);
         return h.v2 ? read_limit(g + "/cpu.weight") == w
                     : read_limit(g + "/cpu.shares") == std::max<int64_t>(2, w * 1024 / 100);
     }},
    {"memory",
     [](const Hierarchy &h, const std::string &g, const libryx_settings &s, const Disks &) {
         int64_t v = read_limit(g + (h.v2 ? "/memory.max" : "/memory.limit_in_bytes"));
         return v >= 0 && v <= int64_t(s.ls_memory_phy) * int64_t(kSettingPageBytes);
     }},
    {"pids",
     [](const Hierarchy &, const std::string &g, const libryx_settings &s, const Disks &) {
         int64_t v = read_limit(g + "/pids.max");
         return v >= 0 && v <= s.ls_nproc;
     }},
    {"io", [](const Hierarchy &h, const std::string &g, const libryx_settings &s,
              const Disks &d) { return io_held(h, g, s.ls_iops, true, d); }},
};
static_assert(std::size(kChecks) == std::size(ctl::kSettings));

const char *v1_name(const char *controller) {
    std::string_view c = controller;
    return c == "io" ? "blkio" : controller;
}

} // namespace

std::vector<Enforcement> enforcement(const Tree &t, uint32_t id, const ctl::Container &c,
                                     const std::vector<std::string> *disks) {
    // The mount table once, and only for a container with io limits.
    std::vector<std::string> found;
    if (!disks) disks = &found;
    if (disks == &found && (c.set.ls_io > 0 || c.set.ls_iops > 0)) found = mounted_disks();
    std::vector<Enforcement> out;
    for (size_t i = 0; i < std::size(kChecks); ++i) {
        const Check &k = kChecks[i];
        Enforcement e{ctl::kSettings[i].key, k.controller != nullptr, false, ""};
        const int32_t value = c.set.*ctl::kSettings[i].field;
        const Hierarchy *h = nullptr;
        // Nothing asked, or a setting held per process (ryxctl enter, ryxd): no group to read.
        if (value <= 0 || (!e.expressible && !(c.flags & RYX_VE_DISABLE))) {
            e.held = true;
        } else if (c.flags & RYX_VE_DISABLE) {
            e.why_not = "lifted while the container is disabled";
        } else if (t.empty()) {
            e.why_not = "no control-group tree (start ryx-tree.service or run 'ryxd --once')";
        } else if (!(h = t.with(k.controller)) && !(h = t.with(v1_name(k.controller)))) {
            e.why_not = std::string("no ") + k.controller + " controller on this host";
        } else if (struct stat st; ::stat(group_path(*h, id, c.parent).c_str(), &st) != 0) {
            e.why_not = "no group (run 'ryxctl apply')";
        } else if (!(e.held =
                         k.held(*h, limits_dir(*h, k.controller, group_path(*h, id, c.parent), id),
                                c.set, *disks))) {
            e.why_not = "the group does not hold it";
        }
        out.push_back(std::move(e));
    }
    return out;
}

} // namespace ryx::cgroup
