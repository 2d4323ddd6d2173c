#include "placement.h"

#include "proc-events.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <ryx/ryx-ctl.h>

#include "defaults.h"
#include "entries.h"
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
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
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
    seen_.clear();
    procs_.clear();
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

bool Placer::outdated(Stamp &stamp, unsigned &round, const std::string &dir,
                      const std::string &name) {
    if (round == round_) return false;
    round = round_;
    const Stamp now = stamp_of(dir, name);
    if (now == stamp) return false;
    stamp = now;
    return true;
}

const Placer::Known &Placer::container(uint32_t id) {
    Known &k = containers_[id];
    if (!outdated(k.stamp, k.round, paths().state_dir, std::to_string(id))) return k;
    procs_.erase(id); // its group may have moved under another reseller
    k.c = ctl::Container{};
    k.usable = k.stamp.size >= 0 && ctl::load(id, k.c) == 0 && k.c.active;
    return k;
}

const Placer::Docroots &Placer::docroots(uint32_t uid) {
    Docroots &d = registry_[uid];
    if (!outdated(d.stamp, d.round, paths().registry_root, std::to_string(uid))) return d;
    d.list.clear();
    std::vector<fmt::Entry> entries;
    if (d.stamp.size < 0 || registry::mappings(uid, entries) < 0) return d;
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
    if (outdated(defaults_.stamp, defaults_.round, paths().state_dir, ctl::kDefaults))
        defaults_.set = defaults_.stamp.size >= 0 && ctl::load_defaults(defaults_.s) == 1;
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
    if (rc == -ESRCH)
        rc = ryx_setup(library_.get(), uid, &s);
    else if (rc == 0)
        rc = -EEXIST;
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

void Placer::watch() {
    if (!watch_) watch_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                               IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    // The entries too: ryxctl enter moves a process into the tree, and tells by its entry.
    const std::string entries = entries::dir();
    ::mkdir(entries.c_str(), 0755);
    watching_ = watch_ &&
                ::inotify_add_watch(watch_.get(), paths().state_dir.c_str(), kMask) >= 0 &&
                ::inotify_add_watch(watch_.get(), paths().registry_root.c_str(), kMask) >= 0 &&
                ::inotify_add_watch(watch_.get(), entries.c_str(), kMask) >= 0;
}

void Placer::changed() {
    char buf[4096];
    bool gone = false;
    for (ssize_t n; (n = ::read(watch_.get(), buf, sizeof buf)) > 0;)
        for (ssize_t at = 0; at < n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + at);
            gone |= (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0;
            at += ssize_t(sizeof *ev + ev->len);
        }
    // A directory replaced: watched again at the next walk, checked every round until then.
    if (gone) watching_ = false;
    ++round_;
    seen_.clear();
}

void Placer::next_round() {
    if (watching_) return;
    ++round_;
    const Stamp state = stamp_of(paths().state_dir, "."),
                reg = stamp_of(paths().registry_root, ".");
    if (!(state == state_dir_) || !(reg == registry_dir_)) seen_.clear();
    state_dir_ = state;
    registry_dir_ = reg;
}

void Placer::forked(int parent, int child, uint64_t ts) {
    auto p = seen_.find(parent);
    if (p != seen_.end() && p->second.settled && p->second.at <= ts) {
        Seen s = p->second;
        s.at = ts;
        seen_[child] = s;
        return;
    }
    place(child);
}

void Placer::exec(int pid) {
    auto s = seen_.find(pid);
    if (s == seen_.end()) {
        place(pid);
        return;
    }
    // Only a working directory can have changed, and only a user with docroots cares.
    if (s->second.settled && (!eligible(s->second.uid) || docroots(s->second.uid).list.empty()))
        return;
    look(pid, s->second.uid, s->second, false);
}

void Placer::changed_uid(int pid, uint32_t ruid) {
    auto s = seen_.find(pid);
    look(pid, ruid, s != seen_.end() ? s->second : Seen{}, false);
}

Outcome Placer::place(int pid, int64_t ruid, bool walking) {
    return look(pid, ruid, Seen{}, walking);
}

Outcome Placer::look(int pid, int64_t ruid, Seen s, bool walking) {
    if (pid <= 0 || pid == self_) return Outcome::ignored;
    s.located = s.located && watching_;
    const uint64_t at = monotonic_ns();
    Outcome o = judge(pid, ruid, s, walking);
    if (o == Outcome::gone) {
        seen_.erase(pid);
        return o;
    }
    s.uid = uint32_t(ruid);
    s.settled = o != Outcome::failed;
    // Since the kernel reports every uid change in order and only ryxd and ryxctl enter move
    // processes into the tree, a look after an event tells what the process was ever since that
    // event, and its children forked since inherit it; a move holds only from when it is done,
    // and a walk's look only from when it is made (its events may still be queued).
    s.at = o == Outcome::moved ? monotonic_ns() : walking ? at : 0;
    seen_[pid] = s;
    return o;
}

Outcome Placer::judge(int pid, int64_t &ruid, Seen &s, bool walking) {
    ProcessDir proc(proc_.get(), pid);
    if (ruid < 0 && (ruid = proc.real_uid()) < 0) return Outcome::gone;
    const auto uid = static_cast<uint32_t>(ruid);
    // Every process looked at is located, root's too, so that a later uid change of it or of
    // the children it forks needs no look at its group.
    if (!s.located) {
        std::string text;
        if (!proc.cgroup(text)) return Outcome::gone;
        s.where = view_.locate(text);
        s.located = true;
    }
    if (!eligible(uid)) return Outcome::ignored;
    const Whereabouts now = s.where;
    // The tree's other groups (ryxd's own), and containers root entered the process into.
    if (now.kind == Whereabouts::other) return Outcome::ignored;
    if (now.kind == Whereabouts::container && !own_group(uid, now.id)) return Outcome::ignored;
    const uint32_t id = target(uid, proc);
    if (id == 0) return Outcome::ignored;
    const Known &k = container(id);
    if (now.kind == Whereabouts::container && now.id == id) {
        if (walking)
            limit_address_space(pid, uid, id, k.c.flags & RYX_VE_DISABLE ? 0 : k.c.set.ls_memory);
        return Outcome::in_place;
    }
    // An entry process stays in the container it entered, wherever it works.
    if (now.kind == Whereabouts::container && entries::holds(now.id, pid)) return Outcome::ignored;
    int rc = move(pid, id, k);
    if (rc == -ESRCH) return Outcome::gone;
    s.where = {Whereabouts::container, id};
    if (rc < 0) {
        s.located = false;
        fail(pid, uid, id, rc, "place");
        return Outcome::failed;
    }
    limit_address_space(pid, uid, id, k.c.flags & RYX_VE_DISABLE ? 0 : k.c.set.ls_memory);
    return Outcome::moved;
}

int Placer::move(int pid, uint32_t id, const Known &k) {
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%d", pid);
    if (procs_.size() > 256 && !procs_.count(id)) procs_.clear();
    std::vector<Fd> &fds = procs_[id];
    for (int attempt = 0;; ++attempt) {
        int rc = 0;
        if (fds.size() != tree_.hierarchies.size()) {
            fds.clear();
            for (const cgroup::Hierarchy &h : tree_.hierarchies) {
                const std::string procs = cgroup::group_path(h, id, k.c.parent) + "/ryx" +
                                          std::to_string(id) + "/cgroup.procs";
                fds.emplace_back(::open(procs.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
                if (!fds.back()) rc = -errno;
            }
        }
        for (size_t i = 0; rc == 0 && i < fds.size(); ++i)
            if (::write(fds[i].get(), text, size_t(len)) != len) rc = -errno;
        if (rc == 0 || rc == -ESRCH) return rc;
        fds.clear();
        // Removed under us (ENOENT opening, ENODEV writing to a group that was removed): made
        // again from its state. (A tree whose root is gone is its owner's to make again.)
        if ((rc != -ENOENT && rc != -ENODEV) || attempt > 0) return rc;
        if ((rc = cgroup::apply(tree_, id, k.c, k.c.parent)) < 0) return rc;
    }
}

// The container's memory (4 KiB pages) as the process's address-space limit: lowered, never
// raised, so that a tighter limit the process already has stays. None while the container is
// disabled, as ryxctl enter does.
void Placer::limit_address_space(int pid, uint32_t uid, uint32_t id, int32_t pages) {
    if (pages <= 0) return;
    const rlim_t bytes = static_cast<rlim_t>(pages) * kSettingPageBytes;
    struct rlimit cur;
    if (::prlimit(pid, RLIMIT_AS, nullptr, &cur) != 0) {
        if (errno != ESRCH) fail(pid, uid, id, -errno, "limit");
        return;
    }
    if (cur.rlim_max != RLIM_INFINITY && cur.rlim_max <= bytes &&
        (cur.rlim_cur != RLIM_INFINITY && cur.rlim_cur <= bytes))
        return;
    struct rlimit next = cur;
    if (next.rlim_max == RLIM_INFINITY || next.rlim_max > bytes) next.rlim_max = bytes;
    if (next.rlim_cur == RLIM_INFINITY || next.rlim_cur > next.rlim_max)
        next.rlim_cur = next.rlim_max;
    // Another user's process needs CAP_SYS_RESOURCE; a process gone meanwhile is no failure.
    if (::prlimit(pid, RLIMIT_AS, &next, nullptr) != 0 && errno != ESRCH)
        fail(pid, uid, id, -errno, "limit");
}

void Placer::begin_walk() {
    if (!watching_) watch();
    ++round_;
    seen_.clear();
    procs_.clear();
    walk_dir_.reset();
    Fd fd(::openat(proc_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) list_dir(fd.get(), walk_dir_);
}

bool Placer::walk_some(size_t n) {
    if (!walk_dir_) return false;
    for (size_t looked = 0; looked < n;) {
        const struct dirent *de = ::readdir(walk_dir_.get());
        if (!de) {
            walk_dir_.reset();
            return false;
        }
        if (de->d_name[0] < '1' || de->d_name[0] > '9') continue;
        char *end;
        const long pid = std::strtol(de->d_name, &end, 10);
        if (*end || pid > INT_MAX) continue;
        place(static_cast<int>(pid), -1, true);
        ++looked;
    }
    return true;
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
