#include "backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>

#include <ryx/ryz-map.h>

namespace ryxsim {

namespace {

bool parse_u32(std::string_view s, uint32_t &out) {
    if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0')) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

struct IterCloser {
    void operator()(ryz_map_iter *it) const { ryz_map_iter_close(it); }
};

// A state file is small; anything larger is not one of ours.
bool read_small(int dirfd, const char *name, std::string &out) {
    int fd = openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n;
    out.clear();
    while ((n = read(fd, buf, sizeof buf)) > 0 && out.size() < 65536)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

} // namespace

int parse_container_state(std::string_view text, bool &active, Backend::Container &out) {
    Backend::Container c;
    c.has_limits = true;
    bool is_active = false, have_state = false;
    const struct {
        const char *key;
        int32_t Limits::*field;
    } settings[] = {{"cpu", &Limits::cpu},         {"io", &Limits::io},
                    {"enters", &Limits::ep},       {"memory", &Limits::vmem},
                    {"memory_phy", &Limits::pmem}, {"nproc", &Limits::nproc},
                    {"iops", &Limits::iops}};
    while (!text.empty()) {
        size_t nl = text.find('\n');
        if (nl == std::string_view::npos)
            return -EBADMSG; // every line ends in a newline; a cut file is not trusted
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return -EBADMSG;
        std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "state") {
            have_state = true;
            is_active = value == "active";
            continue;
        }
        uint32_t v = 0;
        if (key == "parent") {
            if (!parse_u32(value, c.parent)) return -EBADMSG;
            continue;
        }
        for (const auto &s : settings) {
            if (key == s.key) {
                if (!parse_u32(value, v) || v > INT32_MAX) return -EBADMSG;
                c.limits.*s.field = static_cast<int32_t>(v);
            }
        }
    }
    if (!have_state) return -EBADMSG;
    active = is_active;
    out = c;
    return 0;
}

void read_backend(const Scenario &sc, const std::string &registry_dir, const std::string &state_dir,
                  Backend &out) {
    Backend b;
    std::set<uint32_t> uids;
    for (const User &u : sc.users)
        uids.insert(u.uid);
    if (Dir d{opendir(registry_dir.c_str())}) {
        while (dirent *e = readdir(d.get())) {
            uint32_t uid = 0;
            if (e->d_name[0] != '.' && parse_u32(e->d_name, uid)) uids.insert(uid);
        }
    }
    for (uint32_t uid : uids) {
        std::unique_ptr<ryz_map_iter, IterCloser> it(ryz_map_iter_open(uid));
        if (!it) continue;
        const char *docroot = nullptr;
        uint32_t id = 0;
        while (ryz_map_iter_next(it.get(), &docroot, &id) == 0)
            if (docroot && id != 0) b.assigned[{uid, docroot}] = id;
    }
    if (Dir d{opendir(state_dir.c_str())}) {
        std::string text;
        while (dirent *e = readdir(d.get())) {
            uint32_t id = 0;
            bool active = false;
            Backend::Container c;
            if (e->d_name[0] == '.' || !parse_u32(e->d_name, id) || id == 0 || id == UINT32_MAX)
                continue;
            if (read_small(dirfd(d.get()), e->d_name, text) &&
                parse_container_state(text, active, c) == 0 && active)
                b.containers[id] = c;
        }
    }
    out = std::move(b);
}

} // namespace ryxsim
