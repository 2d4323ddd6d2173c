#include "placement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <ryx/ryx-ctl.h>

#if __has_include("defaults.h")
#include "defaults.h"
#include "entries.h"
#else // TEMP until the entries land
namespace ryx::ctl { inline constexpr const char *kDefaults = ".defaults"; inline int load_defaults(libryx_settings &) { return 0; } }
namespace ryx::entries { inline bool holds(uint32_t, int) { return false; } }
#endif
#include "fsutil.h"
#include "internal.h"
#include "registry.h"
#include "ryx-units.h"

namespace ryx::daemon {

namespace {

constexpr size_t kMaxProcFile = 16 << 20;
// A container that could not be made from the defaults is tried again after this long, not on
// every process of its user.
constexpr time_t kRetryCreate = 60;

std::string without_trailing_slash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool at_or_below(const std::string &path, const std::string &dir) {
    if (dir.empty()) return false;
    if (dir == "/") return true;
    return path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

} // namespace

int Placer::start(const cgroup::Tree &tree, std::string &why) {
    tree_ = tree;
    self_ = ::getpid();
    proc_.reset(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc_) {
        why = std::string("cannot open /proc: ") + std::strerror(errno);
        return -errno;
    }
    if (tree_.empty()) {
        why = "no control-group tree";
        return -ENOENT;
    }
    std::string mountinfo;
    int rc = read_file(AT_FDCWD, paths().mountinfo.c_str(), mountinfo, kMaxProcFile, kAnyKind);
    if (rc < 0 || !view_.find(tree_.hierarchies.front(), mountinfo)) {
        why = "the tree's root is on no control-group mount of " + paths().mountinfo;
        return rc < 0 ? rc : -ENOENT;
    }
    library_.reset(init_ryx(std::malloc, std::free));
    if (!library_) {
        why = std::string("cannot open the library: ") + std::strerror(errno);
        return -errno;
    }
    forget();
    return 0;
}

void Placer::forget() {
    std::string text;
    read_file(AT_FDCWD, paths().login_defs.c_str(), text, 1 << 20, kFollow);
    uid_min_ = parse_uid_min(text);
    id_min_ = registry::id_min();
    containers_.clear();
    registry_.clear();
    defaults_ = {};
    create_failed_.clear();
    ++round_;
}

Placer::Stamp Placer::stamp_of(const std::string &dir, const std::string &name) const {
    struct stat st;
    Stamp s;
    if (::stat((dir + "/" + name).c_str(), &st) == 0) {
        s.ino = st.st_ino;
        s.mtime = st.st_mtim;
        s.size = st.st_size;
    }
    return s;
}

const Placer::Known &Placer::container(uint32_t id) {
    Known &k = containers_[id];
    if (k.round == round_) return k;
    k.round = round_;
    Stamp now = stamp_of(paths().state_dir, std::to_string(id));
    if (now == k.stamp) return k;
    k.stamp = now;
    k.c = ctl::Container{};
    k.usable = now.size >= 0 && ctl::load(id, k.c) == 0 && k.c.active;
    return k;
}

const Placer::Docroots &Placer::docroots(uint32_t uid) {
    Docroots &d = registry_[uid];
    if (d.round == round_) return d;
    d.round = round_;
    Stamp now = stamp_of(paths().registry_root, std::to_string(uid));
    if (now == d.stamp) return d;
    d.stamp = now;
    d.list.clear();
    std::vector<fmt::Entry> entries;
    if (now.size < 0 || registry::mappings(uid, entries) < 0) return d;
    for (fmt::Entry &e : entries) {
        Docroot r;
        r.path = without_trailing_slash(std::move(e.docroot));
        r.id = e.id;
        if (r.path.empty() || r.path[0] != '/') continue;
        // A docroot registered through a symbolic link still holds the processes working in
        // its real directory. Resolved when the registry changes, never per process.
        char real[PATH_MAX];
        if (::realpath(r.path.c_str(), real) && r.path != real) r.real = real;
        d.list.push_back(std::move(r));
    }
    std::sort(d.list.begin(), d.list.end(),
              [](const Docroot &a, const Docroot &b) { return a.path.size() > b.path.size(); });
    return d;
}

bool Placer::defaults(libryx_settings &out) {
    if (defaults_.round != round_) {
        defaults_.round = round_;
        Stamp now = stamp_of(paths().state_dir, ctl::kDefaults);
        if (!(now == defaults_.stamp)) {
            defaults_.stamp = now;
            defaults_.set = now.size >= 0 && ctl::load_defaults(defaults_.s) == 1;
        }
    }
    out = defaults_.s;
    return defaults_.set;
}

// Container uid, made from the host defaults when there is none.
bool Placer::user_container(uint32_t uid) {
    if (container(uid).usable) return true;
    libryx_settings s;
    if (!defaults(s)) return false;
    const time_t now = ::time(nullptr);
    auto failed = create_failed_.find(uid);
    if (failed != create_failed_.end() && now - failed->second < kRetryCreate) return false;
    libryx_info info{};
    int rc = ryx_info(library_.get(), uid, &info);
    // Never over an existing record (a placement under a reseller, a disabled container):
    // that container is the administrator's to set up.
    if (rc == -ESRCH) rc = ryx_setup(library_.get(), uid, &s);
    else if (rc == 0) rc = -EEXIST;
    containers_.erase(uid);
    if (rc < 0) {
        create_failed_[uid] = now;
        fail(0, uid, uid, rc, "create");
        return false;
    }
    return container(uid).usable;
}

// The container a process of uid working in cwd belongs in; 0 when none.
uint32_t Placer::target(uint32_t uid, ProcessDir &proc) {
    const Docroots &d = docroots(uid);
    if (!d.list.empty()) {
        std::string cwd;
        if (proc.cwd(cwd)) {
            for (const Docroot &r : d.list) {
                if (!at_or_below(cwd, r.path) && !at_or_below(cwd, r.real)) continue;
                if (container(r.id).usable) return r.id;
            }
        }
    }
    return user_container(uid) ? uid : 0;
}

// Whether id is one of uid's own containers: the user's, or one of their docroots'.
bool Placer::own_group(uint32_t uid, uint32_t id) {
    if (id == uid) return true;
    const Docroots &d = docroots(uid);
    return std::any_of(d.list.begin(), d.list.end(), [&](const Docroot &r) { return r.id == id; });
}

Outcome Placer::place(int pid) {
    if (pid <= 0 || pid == self_) return Outcome::ignored;
    ProcessDir proc(proc_.get(), pid);
    if (!proc.ok()) return Outcome::gone;
    const int64_t ruid = proc.real_uid();
    if (ruid < 0) return Outcome::gone;
    const auto uid = static_cast<uint32_t>(ruid);
    if (uid < uid_min_ || uid >= id_min_) return Outcome::ignored;
    std::string text;
    if (!proc.cgroup(text)) return Outcome::gone;
    const Whereabouts now = view_.locate(text);
    // The tree's other groups (ryxd's own), and containers root entered the process into.
    if (now.kind == Whereabouts::other) return Outcome::ignored;
    if (now.kind == Whereabouts::container && !own_group(uid, now.id)) return Outcome::ignored;
    const uint32_t id = target(uid, proc);
    if (id == 0) return Outcome::ignored;
    const Known &k = container(id);
    if (now.kind == Whereabouts::container && now.id == id) {
        limit_address_space(pid, k.c.set.ls_memory);
        return Outcome::in_place;
    }
    // An entry process stays in the container it entered, wherever it works.
    if (now.kind == Whereabouts::container && entries::holds(now.id, pid)) return Outcome::ignored;
    int rc = move(pid, id, k);
    if (rc == -ESRCH) return Outcome::gone;
    if (rc < 0) {
        fail(pid, uid, id, rc, "place");
        return Outcome::failed;
    }
    limit_address_space(pid, k.c.set.ls_memory);
    return Outcome::moved;
}

int Placer::move(int pid, uint32_t id, const Known &k) {
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%d", pid);
    for (size_t i = 0; i < tree_.hierarchies.size(); ++i) {
        const cgroup::Hierarchy &h = tree_.hierarchies[i];
        const std::string procs =
            cgroup::group_path(h, id, k.c.parent) + "/ryx" + std::to_string(id) + "/cgroup.procs";
        Fd fd;
        for (int attempt = 0; attempt < 2 && !fd; ++attempt) {
            fd.reset(::open(procs.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
            if (fd || errno != ENOENT || attempt > 0) break;
            // Removed under us: made again from its state, the tree's root too if need be.
            int rc = cgroup::apply(tree_, id, k.c, k.c.parent);
            if (rc == -ENOENT) {
                cgroup::Tree again;
                if (cgroup::set_up(again) == 0) rc = cgroup::apply(tree_, id, k.c, k.c.parent);
            }
            if (rc < 0) return rc;
        }
        if (!fd) return -errno;
        if (::write(fd.get(), text, size_t(len)) != len) return -errno;
    }
    return 0;
}

// The container's memory (4 KiB pages) as the process's address-space limit: lowered, never
// raised, so that a tighter limit the process already has stays.
void Placer::limit_address_space(int pid, int32_t pages) {
    if (pages <= 0) return;
    const rlim_t bytes = static_cast<rlim_t>(pages) * kSettingPageBytes;
    struct rlimit cur;
    if (::prlimit(pid, RLIMIT_AS, nullptr, &cur) != 0) return;
    if (cur.rlim_max != RLIM_INFINITY && cur.rlim_max <= bytes &&
        (cur.rlim_cur != RLIM_INFINITY && cur.rlim_cur <= bytes))
        return;
    struct rlimit next = cur;
    if (next.rlim_max == RLIM_INFINITY || next.rlim_max > bytes) next.rlim_max = bytes;
    if (next.rlim_cur == RLIM_INFINITY || next.rlim_cur > next.rlim_max) next.rlim_cur = next.rlim_max;
    ::prlimit(pid, RLIMIT_AS, &next, nullptr);
}

Placer::WalkCount Placer::walk() {
    WalkCount count;
    next_round();
    Fd fd(::openat(proc_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirStream dir;
    if (!fd || list_dir(fd.get(), dir) < 0) return count;
    while (const struct dirent *de = ::readdir(dir.get())) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9') continue;
        char *end;
        const long pid = std::strtol(de->d_name, &end, 10);
        if (*end || pid > INT_MAX) continue;
        ++count.processes;
        switch (place(static_cast<int>(pid))) {
        case Outcome::moved:
            ++count.moved;
            break;
        case Outcome::failed:
            ++count.failed;
            break;
        default:
            break;
        }
    }
    return count;
}

void Placer::fail(int pid, uint32_t uid, uint32_t id, int error, const char *what) {
    failures_.push_back({pid, uid, id, -error, what});
}

std::vector<Failure> Placer::take_failures() {
    std::vector<Failure> out;
    out.swap(failures_);
    return out;
}

} // namespace ryx::daemon
