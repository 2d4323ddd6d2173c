#include "process-view.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include "ryx-number.h"

namespace ryx::daemon {

namespace {

std::string_view next_line(std::string_view &text) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    return line;
}

std::string_view field(std::string_view &line, char sep) {
    size_t at = line.find(sep);
    std::string_view f = line.substr(0, at);
    line.remove_prefix(at == std::string_view::npos ? line.size() : at + 1);
    return f;
}

bool has_item(std::string_view list, std::string_view item) {
    while (!list.empty())
        if (field(list, ',') == item) return true;
    return false;
}

// path lies at or below dir (both absolute, without a trailing slash but for "/").
bool within(std::string_view path, std::string_view dir) {
    if (dir == "/") return true;
    return path.substr(0, dir.size()) == dir &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

bool group_id(std::string_view name, uint32_t &id) {
    if (name.substr(0, 3) != "ryx") return false;
    std::string digits(name.substr(3));
    return num::parse_canonical_u32(digits.c_str(), id);
}

} // namespace

int64_t parse_real_uid(std::string_view status) {
    while (!status.empty()) {
        std::string_view line = next_line(status);
        if (line.substr(0, 4) != "Uid:") continue;
        line.remove_prefix(4);
        while (!line.empty() && (line.front() == '\t' || line.front() == ' '))
            line.remove_prefix(1);
        std::string first(field(line, '\t'));
        uint32_t uid;
        return num::parse_canonical_u32(first.c_str(), uid) ? int64_t{uid} : -1;
    }
    return -1;
}

uint32_t parse_uid_min(std::string_view text) {
    uint32_t value = 1000;
    while (!text.empty()) {
        std::string_view line = next_line(text);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.substr(0, 7) != "UID_MIN" || line.size() < 8 ||
            (line[7] != ' ' && line[7] != '\t'))
            continue;
        line.remove_prefix(7);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        std::string number(line.substr(0, line.find_first_of(" \t#")));
        uint32_t v;
        if (num::parse_canonical_u32(number.c_str(), v)) value = v;
    }
    return value;
}

bool TreeView::find(const cgroup::Hierarchy &h, std::string_view mountinfo) {
    size_t best = 0;
    bool found = false;
    while (!mountinfo.empty()) {
        std::string_view line = next_line(mountinfo);
        size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        std::string_view head = line.substr(0, dash), tail = line.substr(dash + 3);
        field(head, ' ');
        field(head, ' ');
        field(head, ' ');
        const std::string root_in = cgroup::unescape_mount_field(field(head, ' '));
        const std::string point = cgroup::unescape_mount_field(field(head, ' '));
        const std::string_view fstype = field(tail, ' ');
        field(tail, ' ');
        const std::string_view options = field(tail, ' ');
        const bool match = h.v2 ? fstype == "cgroup2"
                                : fstype == "cgroup" && !h.controllers.empty() &&
                                      has_item(options, h.controllers.front());
        if (!match || !within(h.root, point) || (found && point.size() <= best)) continue;
        found = true;
        best = point.size();
        std::string rest = point == "/" ? h.root : h.root.substr(point.size());
        root = root_in == "/" ? (rest.empty() ? "/" : rest) : root_in + rest;
    }
    v2 = h.v2;
    controller = h.v2 || h.controllers.empty() ? "" : h.controllers.front();
    return found;
}

Whereabouts TreeView::locate(std::string_view text) const {
    std::string_view path;
    bool seen = false;
    while (!text.empty() && !seen) {
        std::string_view line = next_line(text);
        field(line, ':'); // hierarchy id
        std::string_view ctls = field(line, ':');
        if (v2 ? ctls.empty() : has_item(ctls, controller)) {
            path = line;
            seen = true;
        }
    }
    if (!seen || !within(path, root)) return {};
    path.remove_prefix(root == "/" ? 0 : root.size());
    std::vector<uint32_t> ids;
    while (!path.empty()) {
        if (path.front() == '/') {
            path.remove_prefix(1);
            continue;
        }
        uint32_t id;
        if (!group_id(field(path, '/'), id)) return {Whereabouts::other, 0};
        ids.push_back(id);
    }
    // ryx<ID>, ryx<ID>/ryx<ID>, ryx<R>/ryx<ID>, ryx<R>/ryx<ID>/ryx<ID>
    if (ids.empty() || ids.size() > 3) return {Whereabouts::other, 0};
    if (ids.size() == 3 && ids[1] != ids[2]) return {Whereabouts::other, 0};
    const uint32_t id = ids.size() == 1 ? ids[0] : ids[1];
    return {Whereabouts::container, id};
}

ProcessDir::ProcessDir(int proc_fd, int pid) : proc_(proc_fd) {
    prefix_ = size_t(std::snprintf(path_, sizeof path_, "%d/", pid));
}

bool ProcessDir::read(const char *name, std::string &out) {
    std::snprintf(path_ + prefix_, sizeof path_ - prefix_, "%s", name);
    int fd = ::openat(proc_, path_, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.resize(4096);
    size_t got = 0;
    for (;;) {
        ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
        if (got == out.size()) out.resize(out.size() * 2);
    }
    ::close(fd);
    out.resize(got);
    return got > 0;
}

int64_t ProcessDir::real_uid() {
    std::string text;
    return read("status", text) ? parse_real_uid(text) : -1;
}

bool ProcessDir::cgroup(std::string &out) {
    return read("cgroup", out);
}

bool ProcessDir::cwd(std::string &out) {
    char buf[PATH_MAX];
    std::snprintf(path_ + prefix_, sizeof path_ - prefix_, "cwd");
    ssize_t n = ::readlinkat(proc_, path_, buf, sizeof buf);
    if (n <= 0 || size_t(n) >= sizeof buf) return false;
    out.assign(buf, size_t(n));
    return out.front() == '/';
}

} // namespace ryx::daemon
