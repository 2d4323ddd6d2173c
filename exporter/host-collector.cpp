// One collection pass over the host, as ryxps makes it: the container lists, then the threads
// of the listed containers (on a stock kernel: the library's control-group tree, whose groups
// count their own processes and threads); then, per container, its limits and its user's name.
#include "host-collector.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include <ryx/ryx-ctl.h>
#include <ryx/ryz-map.h>

#include "cgroup.h"
#include "host-config.h"
#include "ryx-owners.h"
#include "ryx-units.h"
#include "sample-source.h"
#include "thread-collector.h"

namespace ryx_exporter {

namespace {

// Login names of uids, each looked up once per pass.
class UserNames {
  public:
    const std::string &name(uint32_t uid) {
        auto [it, fresh] = cache_.try_emplace(uid);
        if (fresh) it->second = lookup(uid);
        return it->second;
    }

  private:
    static std::string lookup(uint32_t uid) {
        std::vector<char> buf(1024);
        for (;;) {
            passwd pw, *found = nullptr;
            int rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
            if (rc == ERANGE && buf.size() < (1u << 20)) {
                buf.resize(buf.size() * 2);
                continue;
            }
            return rc == 0 && found ? std::string(found->pw_name) : std::string();
        }
    }
    std::unordered_map<uint32_t, std::string> cache_;
};

// A limit of 0 (or a negative one, which libryx never stores) is no limit.
std::optional<uint64_t> limit(int32_t value, uint64_t unit) {
    if (value <= 0) return std::nullopt;
    return static_cast<uint64_t>(value) * unit;
}

ContainerLimits limits_of(const libryx_settings &s) {
    ContainerLimits l;
    if (s.ls_cpu > 0) l.cpu = s.ls_cpu / static_cast<double>(ryx::kSettingCpuPerProcessor);
    l.memory = limit(s.ls_memory_phy, ryx::kSettingPageBytes);
    l.virtual_memory = limit(s.ls_memory, ryx::kSettingPageBytes);
    l.io = limit(s.ls_io, ryx::kSettingIoBytes);
    l.io_operations = limit(s.ls_iops, 1);
    l.processes = limit(s.ls_nproc, 1);
    l.entry_processes = limit(s.ls_enters, 1);
    return l;
}

// The resources (as the limit metric names them) of the limits the kernel does not hold.
std::vector<std::string> not_enforced(const ryx::cgroup::Tree &tree, uint32_t id, uint32_t parent,
                                      const libryx_info &info,
                                      const std::vector<std::string> &disks) {
    static const std::unordered_map<std::string_view, const char *> kResource = {
        {"cpu", "cpu"},
        {"cpus", "cpu"},
        {"memory_phy", "memory"},
        {"memory", "virtual_memory"},
        {"io", "io"},
        {"iops", "io_operations"},
        {"nproc", "processes"},
        {"enters", "entry_processes"}};
    ryx::ctl::Container c;
    c.active = true, c.parent = parent, c.flags = info.li_flags, c.set = info.li_set;
    std::vector<std::string> out;
    for (const ryx::cgroup::Enforcement &e : ryx::cgroup::enforcement(tree, id, c, &disks)) {
        auto r = kResource.find(e.key);
        if (!e.held && r != kResource.end() &&
            std::find(out.begin(), out.end(), r->second) == out.end())
            out.emplace_back(r->second);
    }
    return out;
}

// What ryxps shows for a container whose list gives no memory figure: the sum over its
// processes, each counted once (a process's threads lie next to each other in the list).
uint64_t thread_memory(const ryx_entry &e) {
    uint64_t sum = 0;
    const threadinfo *prev = nullptr;
    for (const threadinfo *t = e.threadinfo_head; t; prev = t, t = t->next)
        if (!prev || prev->pid != t->pid) sum += t->mem;
    return sum;
}

} // namespace

bool HostCollector::init(std::string &error) {
    ryx_host host;
    if (ryx_init_env(host) != 0) {
        error = "the system reports no usable page size, clock tick or processor count";
        return false;
    }
    page_size_ = host.page_size;
    cpufreq_ = host.cpufreq;
    return true;
}

Snapshot HostCollector::collect() const {
    Snapshot snap;
    // The reseller lists come and go, and so may the kernel's lists or the tree: the source is
    // chosen and found again on every pass, as a run of ryxps does.
    ryx_source source;
    if (!ryx_open_source(source, page_size_, true)) {
        snap.error = -ENOMEM;
        return snap;
    }
    ryx_sample sample;
    if (int rc = ryx_read_source(source, ryx_read_times{}, sample); rc < 0) {
        snap.error = rc;
        return snap;
    }
    // The tree's samples carry their counts already: /proc is walked for the lists only.
    const bool walked = source.kind == RYX_SOURCE_LISTS;
    if (walked) ryx_get_pt_stats(sample.list.get(), page_size_);
    const bool nanoseconds = sample.times.proc_ryx_version >= 5;

    ryx::Handle handle(init_ryx(malloc, free));
    ryx::cgroup::Tree tree;
    const bool on_tree = source.kind != RYX_SOURCE_LISTS && ryx::cgroup::load(tree) == 0;
    // The io limits' disks, once per pass for every container.
    const std::vector<std::string> disks =
        on_tree ? ryx::cgroup::mounted_disks() : std::vector<std::string>();
    // Ids from here up are domain containers, never uids.
    const uint32_t first_domain_id = ryz_get_id_min();
    UserNames users;
    std::unordered_set<uint64_t> seen;

    for (const ryx_entry *e = sample.list.get(); e; e = e->next) {
        // A container listed twice (moved between two lists while they were read) is the one
        // its threads were counted under: the first from the head.
        if (!seen.insert(e->id).second) continue;
        ContainerSample &c = snap.containers.emplace_back();
        c.id = e->id;
        c.reseller = e->parent_id;
        c.entry_processes = e->ep;
        c.processes = e->pno;
        c.threads = e->tno;
        if (e->cpu_valid && nanoseconds)
            c.cpu_seconds = static_cast<double>(e->cpu) / 1e9;
        else if (e->cpu_valid && cpufreq_ != 0)
            c.cpu_seconds = static_cast<double>(e->cpu) / static_cast<double>(cpufreq_);
        // Without a memory figure and without the threads walked, there is none to give.
        if (e->mem_valid)
            c.memory_bytes = e->mem * static_cast<uint64_t>(page_size_);
        else if (walked)
            c.memory_bytes = thread_memory(*e);
        if (e->io_valid) c.io_bytes = e->io;
        if (e->iops_valid) c.io_operations = e->iops;
        if (e->id < first_domain_id) c.user = users.name(static_cast<uint32_t>(e->id));
        if (handle && e->id <= UINT32_MAX) {
            libryx_info info{};
            if (ryx_info(handle.get(), static_cast<uint32_t>(e->id), &info) == 0) {
                c.limits = limits_of(info.li_set);
                if (on_tree)
                    c.limits->not_enforced =
                        not_enforced(tree, static_cast<uint32_t>(e->id),
                                     static_cast<uint32_t>(e->parent_id), info, disks);
            }
        }
    }
    std::sort(snap.containers.begin(), snap.containers.end(),
              [](const ContainerSample &a, const ContainerSample &b) { return a.id < b.id; });
    return snap;
}

} // namespace ryx_exporter
