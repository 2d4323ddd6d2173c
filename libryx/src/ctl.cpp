// Container control for hosts without the container kernel: the library keeps each container's
// settings, flags and reseller in the state directory, where the host's list renderer finds them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <dirent.h>
#include <memory>

#include <ryx/ryx-ctl.h>

#include "fsutil.h"
#include "internal.h"
#include "registry.h"
#include "state.h"

struct libryx {
    libryx_free dealloc;
    uint32_t magic;
};

namespace ryx::ctl {

namespace {

constexpr uint32_t kHandleMagic = 0x52595848;
constexpr const char *kLock = ".lock";
constexpr size_t kMaxState = 64 * 1024;

// 0 names no container; all ones marks a dead row in the kernel's lists.
bool valid_id(uint32_t id) { return id != 0 && id != 0xffffffffu; }

bool valid_handle(const libryx *h) { return h && h->magic == kHandleMagic; }

int load_at(int dir, uint32_t id, Container &c)
{
    std::string text;
    int rc = read_file(dir, std::to_string(id).c_str(), text, kMaxState);
    if (rc == -ENOENT)
        return -ESRCH;
    if (rc < 0)
        return rc;
    return parse_state(text, id, c);
}

int store_at(int dir, uint32_t id, const Container &c)
{
    return write_atomic(dir, std::to_string(id), format_state(id, c), 0644, 0);
}

// Read-modify-write of one container under the state directory's lock.
template <class F> int update(uint32_t id, F &&change)
{
    Fd dir;
    int rc = open_dir(paths().state_dir, true, 0755, dir);
    if (rc < 0)
        return rc;
    Lock lock;
    if ((rc = lock.acquire(dir.get(), kLock)) < 0)
        return rc;
    Container c;
    rc = load_at(dir.get(), id, c);
    if (rc < 0 && rc != -ESRCH)
        return rc;
    if ((rc = change(c, rc == -ESRCH)) < 0)
        return rc;
    return store_at(dir.get(), id, c);
}

} // namespace

int load(uint32_t id, Container &out)
{
    Fd dir;
    int rc = open_dir(paths().state_dir, false, 0755, dir);
    if (rc == -ENOENT)
        return -ESRCH;
    if (rc < 0)
        return rc;
    return load_at(dir.get(), id, out);
}

int set_flags(uint32_t id, uint32_t flags)
{
    if (!valid_id(id))
        return -EINVAL;
    return update(id, [&](Container &c, bool missing) {
        if (missing || !c.active)
            return -ESRCH;
        c.flags = flags;
        return 0;
    });
}

int forget(uint32_t id)
{
    Fd dir;
    int rc = open_dir(paths().state_dir, false, 0755, dir);
    if (rc < 0)
        return rc == -ENOENT ? -ESRCH : rc;
    Lock lock;
    if ((rc = lock.acquire(dir.get(), kLock)) < 0)
        return rc;
    rc = remove_durable(dir.get(), std::to_string(id));
    return rc == -ENOENT ? -ESRCH : rc;
}

int list(std::vector<uint32_t> &ids)
{
    Fd dir;
    int rc = open_dir(paths().state_dir, false, 0755, dir);
    if (rc == -ENOENT)
        return 0;
    if (rc < 0)
        return rc;
    std::unique_ptr<DIR, int (*)(DIR *)> d(::fdopendir(dir.get()), ::closedir);
    if (!d)
        return -errno;
    dir.release(); // now owned by the stream
    while (struct dirent *de = ::readdir(d.get())) {
        uint32_t id;
        if (registry::parse_uid_name(de->d_name, id))
            ids.push_back(id);
    }
    return 0;
}

} // namespace ryx::ctl

using namespace ryx;

RYX_EXPORT libryx *init_ryx(libryx_alloc alloc, libryx_free dealloc)
{
    if (!alloc || !dealloc) {
        errno = EINVAL;
        return nullptr;
    }
    errno = 0; // so that an allocator which sets none still leaves a meaningful one
    auto *h = static_cast<libryx *>(alloc(sizeof(libryx)));
    if (!h) {
        if (errno == 0)
            errno = ENOMEM;
        return nullptr;
    }
    h->dealloc = dealloc;
    h->magic = ctl::kHandleMagic;
    return h;
}

RYX_EXPORT int destroy_ryx(libryx *handle)
{
    if (!ctl::valid_handle(handle))
        return -EINVAL;
    handle->magic = 0; // a second destroy is caught rather than freeing twice, while memory lasts
    handle->dealloc(handle);
    return 0;
}

RYX_EXPORT int ryx_info(libryx *handle, uint32_t id, libryx_info *info)
{
    if (!ctl::valid_handle(handle) || !info)
        return -EINVAL;
    return guarded(-ENOMEM, [&] {
        ctl::Container c;
        int rc = ctl::load(id, c);
        if (rc < 0)
            return rc;
        if (!c.active)
            return -ESRCH; // only placed under a reseller so far; ryx_setup creates it
        info->li_set = c.set;
        info->li_flags = static_cast<libryx_ve_flags>(c.flags);
        return 0;
    });
}

RYX_EXPORT int ryx_ryk_move(libryx *handle, uint32_t id, uint32_t ryk_id)
{
    if (!ctl::valid_handle(handle) || !ctl::valid_id(id) || ryk_id == id ||
        ryk_id == 0xffffffffu)
        return -EINVAL;
    return guarded(-ENOMEM, [&] {
        // A container that does not exist yet keeps the placement; ryx_setup creates it there.
        return ctl::update(id, [&](ctl::Container &c, bool) {
            c.parent = ryk_id;
            return 0;
        });
    });
}

RYX_EXPORT int ryx_setup(libryx *handle, uint32_t id, const libryx_settings *settings)
{
    if (!ctl::valid_handle(handle) || !settings || !ctl::valid_id(id))
        return -EINVAL;
    int rc = ctl::check_settings(*settings);
    if (rc < 0)
        return rc;
    return guarded(-ENOMEM, [&] {
        return ctl::update(id, [&](ctl::Container &c, bool) {
            c.active = true;
            c.set = *settings;
            return 0;
        });
    });
}
