// A container's settings as the files of its control group, and read back from them. Every
// write is one the kernel may refuse (a controller the host lacks, a read-only mount): the
// caller's change is stored whatever happens here, and enforcement() says what the kernel holds.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "cgroup.h"
#include "fsutil.h"
#include "internal.h"
#include "ryx-number.h"
#include "ryx-units.h"

namespace ryx::cgroup {

namespace {

constexpr int64_t kPeriodUs = 100000; // the CPU quota's period: 100 ms
constexpr size_t kMaxFile = 1 << 20;

std::string read_text(const std::string &path) {
    std::string text;
    read_file(AT_FDCWD, path.c_str(), text, kMaxFile);
    return text;
}

int write_text(const std::string &path, const std::string &text) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return -errno;
    return write_all(fd.get(), text);
}

bool has_group(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The quota in microseconds per period, 0 for none: the smaller of cpu percent of one processor
// and cpus whole processors.
int64_t cpu_quota(const libryx_settings &s) {
    int64_t q = 0;
    if (s.ls_cpu > 0) q = int64_t(s.ls_cpu) * kPeriodUs / 100;
    if (s.ls_cpus > 0) {
        int64_t by_cpus = int64_t(s.ls_cpus) * kPeriodUs;
        q = q ? std::min(q, by_cpus) : by_cpus;
    }
    return q ? std::max<int64_t>(q, 1000) : 0; // the kernel's smallest quota is 1 ms
}

int64_t weight(const libryx_settings &s) {
    return std::clamp<int64_t>(s.ls_cpu_weight > 0 ? s.ls_cpu_weight : 100, 1, 10000);
}

std::string bytes_or(int64_t pages, const char *none) {
    return pages > 0 ? std::to_string(pages * static_cast<int64_t>(kSettingPageBytes)) : none;
}

} // namespace

std::vector<LimitFile> limit_files(const Hierarchy &h, const libryx_settings &set, bool disabled,
                                   const std::vector<std::string> *disks) {
    std::vector<std::string> found;
    if (!disks) disks = &(found = mounted_disks());
    libryx_settings s = disabled ? libryx_settings{} : set;
    if (disabled) s.ls_cpu_weight = set.ls_cpu_weight; // a share is no limit
    const int64_t q = cpu_quota(s);
    const std::string nproc = s.ls_nproc > 0 ? std::to_string(s.ls_nproc) : "max";
    const int64_t bps = int64_t(s.ls_io) * static_cast<int64_t>(kSettingIoBytes);
    std::vector<LimitFile> out;
    if (h.v2) {
        out.push_back({"cpu",
                       "cpu.max",
                       {(q ? std::to_string(q) : "max") + " " + std::to_string(kPeriodUs)}});
        out.push_back({"cpu", "cpu.weight", {std::to_string(weight(s))}});
        out.push_back({"memory", "memory.max", {bytes_or(s.ls_memory_phy, "max")}});
        out.push_back({"pids", "pids.max", {nproc}});
        LimitFile io{"io", "io.max", {}};
        auto v = [](int64_t n) { return n > 0 ? std::to_string(n) : std::string("max"); };
        for (const std::string &disk : *disks)
            io.lines.push_back(disk + " rbps=" + v(bps) + " wbps=" + v(bps) +
                               " riops=" + v(s.ls_iops) + " wiops=" + v(s.ls_iops));
        out.push_back(std::move(io));
        return out;
    }
    out.push_back({"cpu", "cpu.cfs_period_us", {std::to_string(kPeriodUs)}});
    out.push_back({"cpu", "cpu.cfs_quota_us", {q ? std::to_string(q) : "-1"}});
    out.push_back(
        {"cpu", "cpu.shares", {std::to_string(std::max<int64_t>(2, weight(s) * 1024 / 100))}});
    out.push_back({"memory", "memory.limit_in_bytes", {bytes_or(s.ls_memory_phy, "-1")}});
    out.push_back({"pids", "pids.max", {nproc}});
    const char *files[] = {"blkio.throttle.read_bps_device", "blkio.throttle.write_bps_device",
                           "blkio.throttle.read_iops_device", "blkio.throttle.write_iops_device"};
    for (int i = 0; i < 4; ++i) {
        LimitFile w{"blkio", files[i], {}};
        for (const std::string &disk : *disks)
            w.lines.push_back(disk + " " + std::to_string(i < 2 ? bps : int64_t(s.ls_iops)));
        out.push_back(std::move(w));
    }
    return out;
}

namespace {

void write_files(const std::string &group, uint32_t id, const Hierarchy &h,
                 const std::vector<LimitFile> &ws) {
    for (const LimitFile &w : ws)
        if (h.has(w.controller))
            for (const std::string &line : w.lines)
                write_text(limits_dir(h, w.controller, group, id) + "/" + w.file, line);
}

// A group and the leaf inside it, (v2) with the controllers handed down to the leaf so that its
// own use is counted apart from any containers beneath. 1 when the group was made just now.
int make_group(const Hierarchy &h, const std::string &group, uint32_t id) {
    bool made = ::mkdir(group.c_str(), 0755) == 0;
    if (!made && errno != EEXIST) return -errno;
    const std::string leaf = group + "/ryx" + std::to_string(id);
    if (::mkdir(leaf.c_str(), 0755) == 0)
        made = true;
    else if (errno != EEXIST)
        return -errno;
    if (h.v2 && made)
        for (const std::string &c : h.controllers)
            write_text(group + "/cgroup.subtree_control", "+" + c);
    return made ? 1 : 0;
}

// Moves every process of one leaf into another; one that exits meanwhile is no error.
void move_processes(const std::string &from, const std::string &to) {
    for (const std::string &pid : [&] {
             std::vector<std::string> pids;
             std::string text = read_text(from + "/cgroup.procs");
             size_t at = 0;
             while (at < text.size()) {
                 size_t nl = text.find('\n', at);
                 if (nl == std::string::npos) nl = text.size();
                 if (nl > at) pids.push_back(text.substr(at, nl - at));
                 at = nl + 1;
             }
             return pids;
         }())
        write_text(to + "/cgroup.procs", pid);
}

// The reseller's group at the top level, with limits of its own when it is a container (made
// just now: otherwise its own changes keep them).
int make_reseller(const Hierarchy &h, uint32_t parent, const std::vector<std::string> &disks) {
    ctl::Container p;
    const std::string group = group_path(h, parent, 0);
    int rc = make_group(h, group, parent);
    if (rc == 1 && ctl::load(parent, p) == 0 && p.active)
        write_files(group, parent, h, limit_files(h, p.set, p.flags & RYX_VE_DISABLE, &disks));
    return rc < 0 ? rc : 0;
}

int remove_in(const Hierarchy &h, const std::string &group, uint32_t id) {
    const std::string leaf = group + "/ryx" + std::to_string(id);
    if (!has_group(group)) return 0;
    if ((::rmdir(leaf.c_str()) != 0 && errno != ENOENT) || ::rmdir(group.c_str()) != 0) {
        // Processes (or containers) are still in it: it stays, without limits.
        write_files(group, id, h, limit_files(h, libryx_settings{}, true));
        return -EBUSY;
    }
    return 0;
}

} // namespace

int apply(const Tree &t, uint32_t id, const ctl::Container &c, uint32_t old_parent) {
    int failure = 0;
    // The mount table once per change, and only where io limits are written.
    const std::vector<std::string> disks =
        t.with("io") || t.with("blkio") ? mounted_disks() : std::vector<std::string>();
    for (const Hierarchy &h : t.hierarchies) {
        const std::string group = group_path(h, id, c.parent);
        int rc = c.parent != 0 ? make_reseller(h, c.parent, disks) : 0;
        if (rc >= 0) rc = make_group(h, group, id);
        if (rc < 0) {
            failure = rc;
            continue;
        }
        if (old_parent != c.parent) {
            const std::string old = group_path(h, id, old_parent);
            move_processes(old + "/ryx" + std::to_string(id), group + "/ryx" + std::to_string(id));
            remove_in(h, old, id);
        }
        write_files(group, id, h, limit_files(h, c.set, c.flags & RYX_VE_DISABLE, &disks));
    }
    return failure;
}

int remove(const Tree &t, uint32_t id, uint32_t parent) {
    int failure = 0;
    for (const Hierarchy &h : t.hierarchies)
        if (int rc = remove_in(h, group_path(h, id, parent), id); rc < 0) failure = rc;
    return failure;
}

int enter(const Tree &t, uint32_t id, uint32_t parent, int pid) {
    if (t.empty()) return -ESRCH;
    for (const Hierarchy &h : t.hierarchies) {
        const std::string leaf = group_path(h, id, parent) + "/ryx" + std::to_string(id);
        if (!has_group(leaf)) return -ESRCH;
        if (int rc = write_text(leaf + "/cgroup.procs", std::to_string(pid)); rc < 0) return rc;
    }
    return 0;
}

} // namespace ryx::cgroup
