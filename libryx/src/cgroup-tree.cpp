// Where the library's tree of control groups is: found once in the mount table by ryxd (or
// ryxctl apply), recorded in a root-owned file, and read from that record by everything else.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <set>
#include <cerrno>
#include <cstring>

#include "cgroup.h"
#include "fsutil.h"
#include "internal.h"
#include "ryx-cgroup-record.h"

namespace ryx::cgroup {

namespace {

constexpr size_t kMaxRecord = RYX_CGROUP_RECORD_MAX;
constexpr size_t kMaxProcFile = 16 << 20;
// The controllers the tree uses; a v1 hierarchy joins it for any of them (cpuacct comes with cpu).
constexpr const char *kWanted[] = {"cpu", "cpuacct", "io", "blkio", "memory", "pids"};
// The unit systemd delegates its group to: its group is the tree's root. A unit of its own, not
// ryxd.service: systemd starts a service's processes in the unit's own group, which the kernel
// refuses (v2) once that group hands controllers down to containers, so the tree's unit must be
// one that systemd never starts again while tenants run (a oneshot that refuses to stop), and
// the daemon, which restarts, lives elsewhere.
constexpr std::string_view kDelegatedUnit = "ryx-tree.service";
// The leaf that keeps ryxd itself out of a delegated root (v2 lets a group with children hold
// no processes).
constexpr const char *kDaemonLeaf = "ryxd";

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> out;
    while (!s.empty()) {
        size_t at = s.find(sep);
        std::string_view part = s.substr(0, at);
        if (!part.empty()) out.emplace_back(part);
        if (at == std::string_view::npos) break;
        s.remove_prefix(at + 1);
    }
    return out;
}

bool wanted(const std::string &c) {
    return std::any_of(std::begin(kWanted), std::end(kWanted),
                       [&](const char *w) { return c == w; });
}

struct Mount {
    bool v2;
    std::string point;
    std::vector<std::string> controllers; // v1: from its options
};

std::vector<Mount> cgroup_mounts(std::string_view mountinfo) {
    std::vector<Mount> out;
    for (const std::string &line : split(mountinfo, '\n')) {
        size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::vector<std::string> head = split(std::string_view(line).substr(0, dash), ' ');
        std::vector<std::string> tail = split(std::string_view(line).substr(dash + 3), ' ');
        if (head.size() < 5 || tail.size() < 3) continue;
        if (tail[0] == "cgroup2") {
            out.push_back({true, unescape_mount_field(head[4]), {}});
        } else if (tail[0] == "cgroup") {
            Mount m{false, unescape_mount_field(head[4]), {}};
            for (const std::string &opt : split(tail[2], ','))
                if (wanted(opt)) m.controllers.push_back(opt);
            if (!m.controllers.empty()) out.push_back(std::move(m));
        }
    }
    return out;
}

// The caller's own group in the hierarchy of m, from /proc/self/cgroup.
std::string own_group(std::string_view self_cgroup, const Mount &m) {
    for (const std::string &line : split(self_cgroup, '\n')) {
        size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        std::vector<std::string> ctls = split(std::string_view(line).substr(a + 1, b - a - 1), ',');
        bool match = m.v2
                         ? line.compare(0, 3, "0::") == 0
                         : std::find(ctls.begin(), ctls.end(), m.controllers.front()) != ctls.end();
        if (match) return line.substr(b + 1);
    }
    return "/";
}

std::string last_component(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int write_text(const std::string &path, std::string_view text) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return -errno;
    return write_all(fd.get(), text);
}

int make_group(const std::string &path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return -errno;
    return 0;
}

// The controllers the unified hierarchy offers at path, of those the tree uses.
std::vector<std::string> offered(const std::string &group) {
    std::string text;
    std::vector<std::string> out;
    if (read_file(AT_FDCWD, (group + "/cgroup.controllers").c_str(), text, kMaxRecord) == 0)
        for (const std::string &c : split(text, ' '))
            if (std::string t = c.substr(0, c.find('\n')); wanted(t)) out.push_back(t);
    return out;
}

// The root in one hierarchy: made, the caller moved out of it when it is the caller's own
// delegated group, and (v2) its controllers handed down to the containers' groups.
int make_root(const Mount &m, const std::string &self, Hierarchy &out) {
    const std::string mine = own_group(self, m);
    const bool delegated = last_component(mine) == kDelegatedUnit;
    out.v2 = m.v2;
    out.root = m.point + (delegated ? mine : "/ryx");
    if (m.v2 && !delegated)
        for (const std::string &c : offered(m.point))
            write_text(m.point + "/cgroup.subtree_control", "+" + c);
    if (int rc = make_group(out.root); rc < 0) return rc;
    if (delegated) {
        const std::string leaf = out.root + "/" + kDaemonLeaf;
        if (int rc = make_group(leaf); rc < 0) return rc;
        if (int rc = write_text(leaf + "/cgroup.procs", std::to_string(::getpid())); rc < 0)
            return rc;
    }
    out.controllers = m.v2 ? offered(out.root) : m.controllers;
    if (m.v2)
        for (const std::string &c : out.controllers)
            write_text(out.root + "/cgroup.subtree_control", "+" + c);
    return 0;
}

// The hierarchies the tree uses: the v1 ones when any offers cpu or memory (a hybrid host's
// unified tree has no controllers), else the unified one.
std::vector<Mount> chosen(const std::vector<Mount> &all) {
    std::vector<Mount> v1, v2;
    for (const Mount &m : all)
        (m.v2 ? v2 : v1).push_back(m);
    const bool v1_main = std::any_of(v1.begin(), v1.end(), [](const Mount &m) {
        return std::any_of(m.controllers.begin(), m.controllers.end(),
                           [](const std::string &c) { return c == "cpu" || c == "memory"; });
    });
    if (v1_main) return v1;
    if (!v2.empty()) v2.resize(1);
    return v2;
}

int store(const Tree &t) {
    const std::string &record = paths().cgroup_record;
    const size_t slash = record.find_last_of('/');
    Fd dir;
    if (int rc = open_dir(record.substr(0, slash), true, 0755, dir); rc < 0) return rc;
    return write_atomic(dir.get(), record.substr(slash + 1), format_record(t), 0644, 0);
}

std::string read_text(const std::string &path) {
    std::string text;
    read_file(AT_FDCWD, path.c_str(), text, kMaxProcFile);
    return text;
}

} // namespace

std::string unescape_mount_field(std::string_view s) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && octal(s[i + 1]) && octal(s[i + 2]) &&
            octal(s[i + 3])) {
            out +=
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool Hierarchy::has(std::string_view controller) const {
    return std::find(controllers.begin(), controllers.end(), controller) != controllers.end();
}

const Hierarchy *Tree::with(std::string_view controller) const {
    for (const Hierarchy &h : hierarchies)
        if (h.has(controller)) return &h;
    return nullptr;
}

std::string format_record(const Tree &t) {
    std::string out;
    for (const Hierarchy &h : t.hierarchies) {
        out += h.v2 ? "v2 " : "v1 ";
        for (size_t i = 0; i < h.controllers.size(); ++i)
            out += (i ? "," : "") + h.controllers[i];
        out += (h.controllers.empty() ? "- " : " ") + h.root + "\n";
    }
    return out;
}

int parse_record(const char *text, Tree &out) {
    Tree t;
    ryx_record_line line;
    int rc;
    while ((rc = ryx_record_next(&text, &line)) > 0) {
        Hierarchy h;
        h.v2 = line.v2 != 0;
        h.root = line.root;
        if (std::string_view(line.controllers) != "-") h.controllers = split(line.controllers, ',');
        t.hierarchies.push_back(std::move(h));
    }
    if (rc < 0) return -EBADMSG;
    out = std::move(t);
    return 0;
}

int load(Tree &out) {
    std::string buf(RYX_CGROUP_RECORD_MAX, '\0');
    long got = ryx_record_read(paths().cgroup_record.c_str(), buf.data(), buf.size());
    Tree t;
    if (got < 0) return -EUCLEAN;
    int rc = got == 0 ? 0 : parse_record(buf.c_str(), t);
    if (rc < 0) return rc;
    // Each root must be as much root's as the record; one that is gone (a reboot) means no tree
    // until ryxd makes it again.
    Fd dir;
    for (const Hierarchy &h : t.hierarchies)
        if ((rc = open_dir(h.root, false, 0, dir)) < 0) return rc == -ENOENT ? 0 : rc;
    out = std::move(t);
    return 0;
}

int set_up(Tree &out) {
    if (::geteuid() != 0) return -EPERM;
    std::string mountinfo, self;
    int rc = read_file(AT_FDCWD, paths().mountinfo.c_str(), mountinfo, kMaxProcFile, kAnyKind);
    if (rc < 0) return rc;
    read_file(AT_FDCWD, "/proc/self/cgroup", self, kMaxProcFile, kAnyKind);
    std::vector<Mount> use = chosen(cgroup_mounts(mountinfo));
    if (use.empty()) return -ENOENT;
    Tree t;
    for (const Mount &m : use) {
        Hierarchy h;
        if ((rc = make_root(m, self, h)) < 0) return rc;
        t.hierarchies.push_back(std::move(h));
    }
    if ((rc = store(t)) < 0) return rc;
    out = std::move(t);
    return 0;
}

std::vector<std::string> mounted_disks() {
    std::string text;
    std::set<std::string> disks;
    read_file(AT_FDCWD, paths().mountinfo.c_str(), text, kMaxProcFile, kAnyKind);
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        // id parent MAJ:MIN root mountpoint ...
        size_t a = line.find(' '), b = a == std::string::npos ? a : line.find(' ', a + 1);
        size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
        if (c == std::string::npos) continue;
        const std::string dev = line.substr(b + 1, c - b - 1);
        if (dev.rfind("0:", 0) == 0) continue; // no device behind it
        const std::string sys = paths().sys_block + "/" + dev;
        char real[PATH_MAX];
        if (!::realpath(sys.c_str(), real)) continue;
        std::string whole = dev;
        struct stat st;
        // A partition's limits belong to its disk: io.max takes whole disks only.
        if (::stat((std::string(real) + "/partition").c_str(), &st) == 0) {
            whole = read_text(std::string(real) + "/../dev");
            whole = whole.substr(0, whole.find('\n'));
        }
        if (!whole.empty()) disks.insert(whole);
    }
    return {disks.begin(), disks.end()};
}

std::string group_path(const Hierarchy &h, uint32_t id, uint32_t parent) {
    std::string p = h.root;
    if (parent != 0) p += "/ryx" + std::to_string(parent);
    return p + "/ryx" + std::to_string(id);
}

std::string limits_dir(const Hierarchy &h, std::string_view controller, const std::string &group,
                       uint32_t id) {
    if (h.v2 || (controller != "blkio" && controller != "io")) return group;
    return group + "/ryx" + std::to_string(id);
}

} // namespace ryx::cgroup
