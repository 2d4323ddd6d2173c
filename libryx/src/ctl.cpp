// Container control for hosts without the container kernel: the library keeps each container's
// settings, flags and reseller in the state directory, where the host's list renderer finds them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>

#include <ryx/ryx-ctl.h>

#include "cgroup.h"
#include "fsutil.h"
#include "internal.h"
#include "registry.h"
#include "ryx-number.h"
#include "state.h"

struct libryx {
    libryx_free dealloc;
    uint32_t magic;
};

namespace ryx::ctl {

namespace {

constexpr uint32_t kHandleMagic = 0x52595848;

bool valid_handle(const libryx *h) {
    return h && h->magic == kHandleMagic;
}

int load_at(int dir, uint32_t id, Container &c) {
    std::string text;
    int rc = read_file(dir, std::to_string(id).c_str(), text, kMaxState);
    if (rc == -ENOENT) return -ESRCH;
    if (rc < 0) return rc;
    uint32_t named;
    if ((rc = parse_state(text, named, c)) < 0) return rc;
    return named == id ? 0 : -EBADMSG;
}

int store_at(int dir, uint32_t id, const Container &c) {
    return write_atomic(dir, std::to_string(id), format_state(id, c), 0644, 0);
}

int open_state_dir(bool create, Fd &dir) {
    int rc = open_dir(paths().state_dir, create, 0755, dir);
    return rc == -ENOENT && !create ? -ESRCH : rc;
}

// The state directory opened for a change of one container, and that container locked.
int open_locked(uint32_t id, bool create, Fd &dir, Lock &lock) {
    int rc = open_state_dir(create, dir);
    return rc < 0 ? rc : lock_container(dir.get(), id, lock);
}

// The stored state made real in the container's control group, still under its lock, where the
// host has the library's tree. The state is what counts: a group that cannot be made or a limit
// the kernel refuses fails nothing (ryxctl info says what is not enforced), and ryxd or ryxctl
// apply make it again from the state.
void apply_group(uint32_t id, const Container &c, uint32_t old_parent) {
    cgroup::Tree tree;
    if (!c.active || cgroup::load(tree) < 0 || tree.empty()) return;
    cgroup::apply(tree, id, c, old_parent);
}

// Read-modify-write of one container under its own lock.
template <class F> int update(uint32_t id, F &&change) {
    Fd dir;
    Lock lock;
    int rc = open_locked(id, true, dir, lock);
    if (rc < 0) return rc;
    Container c;
    rc = load_at(dir.get(), id, c);
    if (rc < 0 && rc != -ESRCH) return rc;
    const uint32_t old_parent = c.parent;
    if ((rc = change(c, rc == -ESRCH)) < 0) return rc;
    if ((rc = store_at(dir.get(), id, c)) < 0) return rc;
    apply_group(id, c, old_parent);
    return 0;
}

// Calls made for an ordinary user (a set-user-ID helper keeps the caller's real uid) may place
// and configure only that user's domain containers: ids in the domain range that are no
// account's uid (a user's own container has the uid as its id), new or already under the
// caller's own reseller. A container at the top level or under somebody else is never the
// caller's to take, and one whose id cannot be checked against the accounts is refused. The
// registry check the helpers make first is the main gate; this keeps a forged, stale or unlucky
// registry answer from reaching another user's container. Root may do anything.
int check_placement(uint32_t id, uint32_t ryk, const Container &c, bool missing) {
    const uid_t caller = ::getuid();
    if (caller == 0) return 0;
    if (ryk != caller || id < registry::id_min()) return -EPERM;
    if (!missing && c.parent != caller) return -EPERM;
    return registry::account_uid(id) == 0 ? 0 : -EPERM;
}

int check_setup(uint32_t id, const Container &c, bool missing) {
    const uid_t caller = ::getuid();
    if (caller == 0) return 0;
    if (id < registry::id_min() || missing || c.parent != caller) return -EPERM;
    return registry::account_uid(id) == 0 ? 0 : -EPERM;
}

} // namespace

int lock_container(int dir, uint32_t id, Lock &lock) {
    return lock.acquire_key(dir, kLocks, id, paths().container_lock_wait_ms);
}

int load(uint32_t id, Container &out) {
    Fd dir;
    int rc = open_state_dir(false, dir);
    return rc < 0 ? rc : load_at(dir.get(), id, out);
}

int load_all(std::vector<Record> &out) {
    Fd dir;
    std::vector<uint32_t> ids;
    int rc = open_state_dir(false, dir);
    if (rc == -ESRCH) return 0;
    if (rc < 0 || (rc = list_numbered(dir.get(), ids)) < 0) return rc;
    std::vector<Record> all(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        all[i].id = ids[i];
        if ((all[i].error = load_at(dir.get(), ids[i], all[i].c)) < 0) all[i].c = Container();
    }
    out = std::move(all);
    return 0;
}

int set_flags(uint32_t id, uint32_t flags) {
    if (!valid_id(id)) return -EINVAL;
    return update(id, [&](Container &c, bool missing) {
        if (missing || !c.active) return -ESRCH;
        c.flags = flags;
        return 0;
    });
}

int forget(uint32_t id) {
    Fd dir;
    Lock lock;
    int rc = open_locked(id, false, dir, lock);
    if (rc < 0) return rc;
    Container c;
    const bool had = load_at(dir.get(), id, c) == 0;
    rc = remove_durable(dir.get(), std::to_string(id));
    if (rc == -ENOENT) return -ESRCH;
    if (rc < 0) return rc;
    // Its group goes where nobody runs in it; otherwise it stays, without limits, until the
    // last process leaves (ryxctl apply then removes it).
    cgroup::Tree tree;
    if (had && cgroup::load(tree) == 0 && !tree.empty()) cgroup::remove(tree, id, c.parent);
    return 0;
}

} // namespace ryx::ctl

using namespace ryx;

RYX_EXPORT libryx *init_ryx(libryx_alloc alloc, libryx_free dealloc) {
    if (!alloc || !dealloc) {
        errno = EINVAL;
        return nullptr;
    }
    errno = 0; // so that an allocator which sets none still leaves a meaningful one
    auto *h = static_cast<libryx *>(alloc(sizeof(libryx)));
    if (!h) {
        if (errno == 0) errno = ENOMEM;
        return nullptr;
    }
    h->dealloc = dealloc;
    h->magic = ctl::kHandleMagic;
    return h;
}

RYX_EXPORT int destroy_ryx(libryx *handle) {
    if (!ctl::valid_handle(handle)) return -EINVAL;
    handle->magic = 0; // a second destroy is caught rather than freeing twice, while memory lasts
    handle->dealloc(handle);
    return 0;
}

RYX_EXPORT int ryx_info(libryx *handle, uint32_t id, libryx_info *info) {
    if (!ctl::valid_handle(handle) || !info) return -EINVAL;
    return guarded(-ENOMEM, [&] {
        ctl::Container c;
        int rc = ctl::load(id, c);
        if (rc < 0) return rc;
        if (!c.active) return -ESRCH; // only placed under a reseller so far; ryx_setup creates it
        info->li_set = c.set;
        info->li_flags = static_cast<libryx_ve_flags>(c.flags);
        return 0;
    });
}

RYX_EXPORT int ryx_ryk_move(libryx *handle, uint32_t id, uint32_t ryk_id) {
    if (!ctl::valid_handle(handle) || !ctl::valid_id(id) || ryk_id == id || ryk_id == 0xffffffffu)
        return -EINVAL;
    return guarded(-ENOMEM, [&] {
        // A container that does not exist yet keeps the placement; ryx_setup creates it there.
        return ctl::update(id, [&](ctl::Container &c, bool missing) {
            if (int rc = ctl::check_placement(id, ryk_id, c, missing); rc < 0) return rc;
            c.parent = ryk_id;
            return 0;
        });
    });
}

RYX_EXPORT int ryx_setup(libryx *handle, uint32_t id, const libryx_settings *settings) {
    if (!ctl::valid_handle(handle) || !settings || !ctl::valid_id(id)) return -EINVAL;
    int rc = ctl::check_settings(*settings);
    if (rc < 0) return rc;
    return guarded(-ENOMEM, [&] {
        return ctl::update(id, [&](ctl::Container &c, bool missing) {
            if (int rc = ctl::check_setup(id, c, missing); rc < 0) return rc;
            c.active = true;
            c.set = *settings;
            return 0;
        });
    });
}
