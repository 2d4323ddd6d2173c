// Tree source. <root>/ryx<ID>/ryx<ID> and <root>/ryx<R>/ryx<ID>/ryx<ID>: the leaf in which a
// container's processes run, with the kernel's counters for exactly those processes (a reseller's
// group sums its children too, its leaf does not). The record says where each root is; every
// read walks the groups anew and reads their counters at that moment, so that two reads make an
// interval as two reads of the lists do.
#include "tree-source.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "proc-sources.h"
#include "ryx-cgroup-record.h"
#include "ryx-entries.h"
#include "ryx-number.h"
#include "ryx-owners.h"

namespace {

// A list of this version counts cpu in nanoseconds and is timed by the realtime clock.
constexpr int kTreeListVersion = 8;

// What one container's leaf gives, gathered over the hierarchies, and its entry processes.
struct Counters {
    uint64_t cpu = 0, mem = 0, io = 0, iops = 0, pno = 0, tno = 0, ep = 0;
    bool cpu_valid = false, mem_valid = false, io_valid = false, iops_valid = false;
    bool tasks_counted = false;
};

// Containers by (reseller, id): top-level groups first, each part in ascending order, as the
// main list and then the reseller lists would give them.
using Groups = std::map<std::pair<uint32_t, uint32_t>, Counters>;

struct Reading {
    long page_size;
    bool count_tasks;
    Groups groups;
};

// A directory below at that is root's alone, or none.
ryx::Fd trusted_dir(int at, const char *name) {
    ryx::Fd fd(openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd && (fstat(fd.get(), &st) != 0 || !ryx_record_trusted(&st))) fd.reset();
    return fd;
}

// A group file read whole. Non-blocking: only root can put anything into a trusted group, but
// nothing there may stall a pass.
bool read_group_file(int dir, const char *name, std::string &out) {
    ryx::Fd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return false;
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

// cgroup.procs, cgroup.threads, tasks: one id a line; counted without keeping them (a busy
// container lists thousands).
bool count_ids(int dir, const char *name, uint64_t &count) {
    ryx::Fd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return false;
    char buf[16384];
    uint64_t n = 0;
    for (;;) {
        ssize_t got = read(fd.get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        n += static_cast<uint64_t>(std::count(buf, buf + got, '\n'));
    }
    count = n;
    return true;
}

bool read_counter(int leaf, const char *name, uint64_t &value) {
    std::string text;
    return read_group_file(leaf, name, text) && ryx_parse_counter(text, value);
}

// v1 blkio: the throttling policy's totals count every request of a v1 group (6.x kernels);
// without any device line there, the older proportional policy's files, where they exist.
bool read_blkio(int leaf, const char *throttle, const char *proportional, uint64_t &value) {
    std::string text;
    uint64_t total, older;
    bool devices = false, found = false;
    if (read_group_file(leaf, throttle, text) && ryx_parse_blkio_total(text, total, devices))
        found = true;
    if (!devices && read_group_file(leaf, proportional, text) &&
        ryx_parse_blkio_total(text, older, devices) && devices) {
        total = older;
        found = true;
    }
    if (found) value = total;
    return found;
}

void read_v2(int leaf, const ryx_tree_hierarchy &h, Counters &c, long page_size) {
    std::string text;
    uint64_t v, w;
    // cpu.stat is the core's own file: there whether or not the cpu controller is enabled.
    if (!c.cpu_valid && read_group_file(leaf, "cpu.stat", text) && ryx_parse_cpu_usage(text, v)) {
        c.cpu = v * 1000;
        c.cpu_valid = true;
    }
    if (!c.mem_valid && h.has("memory") && read_counter(leaf, "memory.current", v)) {
        c.mem = v / static_cast<uint64_t>(page_size);
        c.mem_valid = true;
    }
    if (!c.io_valid && h.has("io") && read_group_file(leaf, "io.stat", text) &&
        ryx_parse_io_stat(text, v, w)) {
        c.io = v;
        c.iops = w;
        c.io_valid = c.iops_valid = true;
    }
}

void read_v1(int leaf, const ryx_tree_hierarchy &h, Counters &c, long page_size) {
    uint64_t v;
    if (!c.cpu_valid && h.has("cpuacct") && read_counter(leaf, "cpuacct.usage", v)) {
        c.cpu = v;
        c.cpu_valid = true;
    }
    if (!c.mem_valid && h.has("memory") && read_counter(leaf, "memory.usage_in_bytes", v)) {
        c.mem = v / static_cast<uint64_t>(page_size);
        c.mem_valid = true;
    }
    if (!h.has("blkio")) return;
    if (!c.io_valid &&
        read_blkio(leaf, "blkio.throttle.io_service_bytes", "blkio.io_service_bytes", v)) {
        c.io = v;
        c.io_valid = true;
    }
    if (!c.iops_valid && read_blkio(leaf, "blkio.throttle.io_serviced", "blkio.io_serviced", v)) {
        c.iops = v;
        c.iops_valid = true;
    }
}

// The container's leaf inside its group: its counters, and its processes and threads from the
// first hierarchy that lists them.
void read_leaf(Reading &r, const ryx_tree_hierarchy &h, int group, const char *name,
               uint32_t parent, uint32_t id) {
    ryx::Fd leaf = trusted_dir(group, name);
    if (!leaf) return;
    Counters &c = r.groups[{parent, id}];
    if (h.v2)
        read_v2(leaf.get(), h, c, r.page_size);
    else
        read_v1(leaf.get(), h, c, r.page_size);
    if (r.count_tasks && !c.tasks_counted) {
        uint64_t procs, threads;
        if (count_ids(leaf.get(), "cgroup.procs", procs) &&
            count_ids(leaf.get(), h.v2 ? "cgroup.threads" : "tasks", threads)) {
            c.pno = procs;
            c.tno = threads;
            c.tasks_counted = true;
        }
    }
}

// Calls f(entry) for every entry of dir; the stream reads a duplicate, so that dir stays usable
// for openat.
template <typename F> void each_entry(int dir, F f) {
    int dup = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return;
    ryx::DirStream d(fdopendir(dup));
    if (!d) {
        close(dup);
        return;
    }
    while (const dirent *de = readdir(d.get()))
        f(*de);
}

// Calls f(name, id) for every entry of dir named as a group.
template <typename F> void each_group(int dir, F f) {
    each_entry(dir, [&](const dirent &de) {
        uint32_t id;
        if ((de.d_type == DT_DIR || de.d_type == DT_UNKNOWN) && ryx_tree_group_id(de.d_name, id))
            f(de.d_name, id);
    });
}

// One hierarchy: the top-level groups and the groups under each. False when its root is not
// there or not root's alone.
bool read_hierarchy(Reading &r, const ryx_tree_hierarchy &h) {
    ryx::Fd root = trusted_dir(AT_FDCWD, h.root.c_str());
    if (!root) return false;
    each_group(root.get(), [&](const char *name, uint32_t id) {
        ryx::Fd group = trusted_dir(root.get(), name);
        if (!group) return;
        each_group(group.get(), [&](const char *child, uint32_t child_id) {
            // The group's namesake inside it is its own leaf, not a container beneath.
            if (child_id == id)
                read_leaf(r, h, group.get(), child, 0, id);
            else if (ryx::Fd sub = trusted_dir(group.get(), child))
                read_leaf(r, h, sub.get(), child, id, child_id);
        });
    });
    return true;
}

// Each container's live entry processes: one walk of the entries directory, then one read of
// the file of each container that has one (and one small read of /proc per entry in it).
void read_entries(const std::string &dir, Groups &groups) {
    if (dir.empty() || groups.empty()) return;
    ryx::Fd entries = trusted_dir(AT_FDCWD, dir.c_str());
    if (!entries) return;
    std::vector<uint32_t> ids;
    each_entry(entries.get(), [&](const dirent &de) {
        uint32_t id;
        if (ryx::num::parse_canonical_u32(de.d_name, id)) ids.push_back(id);
    });
    std::sort(ids.begin(), ids.end());
    for (auto &[key, c] : groups)
        if (std::binary_search(ids.begin(), ids.end(), key.second))
            c.ep = static_cast<uint64_t>(ryx_entries_count_at(entries.get(), key.second));
}

// The container list, built as the list reader builds it: each record prepended.
int build_list(const Groups &groups, ryx_list &list) {
    ryx_entry *head = nullptr;
    for (const auto &[key, c] : groups) {
        auto *e = static_cast<ryx_entry *>(calloc(1, sizeof(ryx_entry)));
        if (!e) {
            ryx_free_list(head);
            return -ENOMEM;
        }
        e->parent_id = key.first;
        e->id = key.second;
        e->cpu = c.cpu;
        e->mem = c.mem;
        e->io = c.io;
        e->iops = c.iops;
        e->pno = c.pno;
        e->tno = c.tno;
        e->ep = c.ep;
        e->cpu_valid = c.cpu_valid;
        e->mem_valid = c.mem_valid;
        e->io_valid = c.io_valid;
        e->iops_valid = c.iops_valid;
        e->next = head;
        if (head) head->prev = e;
        head = e;
    }
    list.reset(head);
    return 0;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The next line of text (without its newline); false at the end.
bool next_line(std::string_view &text, std::string_view &line) {
    if (text.empty()) return false;
    size_t nl = text.find('\n');
    line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    return true;
}

// The next blank-separated word of line; false when none is left.
bool next_word(std::string_view &line, std::string_view &word) {
    while (!line.empty() && is_blank(line.front()))
        line.remove_prefix(1);
    size_t end = 0;
    while (end < line.size() && !is_blank(line[end]))
        ++end;
    word = line.substr(0, end);
    line.remove_prefix(end);
    return !word.empty();
}

} // namespace

bool ryx_tree_hierarchy::has(std::string_view controller) const {
    return std::find(controllers.begin(), controllers.end(), controller) != controllers.end();
}

int ryx_tree_load(const char *path, ryx_tree &tree) {
    tree.clear();
    std::string text(RYX_CGROUP_RECORD_MAX, '\0');
    long got = ryx_record_read(path, text.data(), text.size());
    if (got < 0) return -EPERM;
    const char *p = text.c_str();
    ryx_record_line line;
    int rc;
    while ((rc = ryx_record_next(&p, &line)) > 0) {
        ryx_tree_hierarchy h;
        h.v2 = line.v2 != 0;
        h.root = line.root;
        std::string_view list(line.controllers);
        while (list != "-" && !list.empty()) {
            size_t comma = list.find(',');
            if (comma != 0) h.controllers.emplace_back(list.substr(0, comma));
            list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        }
        tree.hierarchies.push_back(std::move(h));
    }
    if (rc < 0) {
        tree.clear();
        return -EBADMSG;
    }
    char entries[4096];
    if (!tree.empty() && ryx_entries_dir(path, entries, sizeof entries) == 0)
        tree.entries = entries;
    return 0;
}

int ryx_tree_stats(const ryx_tree &tree, long page_size, bool count_tasks,
                   const ryx_read_times &before, ryx_sample &sample) {
    sample.list.reset();
    sample.times = before;
    if (page_size <= 0) return -EPROTO;
    try {
        Reading r{page_size, count_tasks, {}};
        ryx_take_timestamp(sample.times, kTreeListVersion);
        bool any = false;
        for (const ryx_tree_hierarchy &h : tree.hierarchies)
            any = read_hierarchy(r, h) || any;
        if (!any) return -EPROTO;
        read_entries(tree.entries, r.groups);
        return build_list(r.groups, sample.list);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

bool ryx_tree_group_id(std::string_view name, uint32_t &id) {
    uint32_t v;
    if (name.substr(0, 3) != "ryx" || !ryx::num::parse_canonical_u32(name.substr(3), v) || v == 0)
        return false;
    id = v;
    return true;
}

bool ryx_parse_counter(std::string_view text, uint64_t &value) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return ryx::num::parse_u64(text, value);
}

bool ryx_parse_cpu_usage(std::string_view text, uint64_t &usec) {
    std::string_view line, key, value;
    while (next_line(text, line)) {
        if (next_word(line, key) && key == "usage_usec")
            return next_word(line, value) && ryx::num::parse_u64(value, usec);
    }
    return false;
}

bool ryx_parse_io_stat(std::string_view text, uint64_t &bytes, uint64_t &ios) {
    uint64_t b = 0, n = 0;
    std::string_view line, word;
    while (next_line(text, line)) {
        if (!next_word(line, word)) continue;
        if (word.find(':') == std::string_view::npos) return false; // no device
        while (next_word(line, word)) {
            size_t eq = word.find('=');
            if (eq == std::string_view::npos) return false;
            std::string_view key = word.substr(0, eq);
            uint64_t v;
            if (!ryx::num::parse_u64(word.substr(eq + 1), v)) return false;
            // Counters of the kernel wrap like the kernel's: modulo 2^64.
            if (key == "rbytes" || key == "wbytes") b += v;
            if (key == "rios" || key == "wios") n += v;
        }
    }
    bytes = b;
    ios = n;
    return true;
}

bool ryx_parse_blkio_total(std::string_view text, uint64_t &total, bool &devices) {
    std::string_view line, word, value;
    bool any = false;
    while (next_line(text, line)) {
        if (!next_word(line, word)) continue;
        if (word == "Total") {
            if (!next_word(line, value) || !ryx::num::parse_u64(value, total)) return false;
            devices = any;
            return true;
        }
        any = true;
    }
    return false;
}
