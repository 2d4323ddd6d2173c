// The host defaults in the state directory.
#include "defaults.h"

#include <cerrno>
#include <new>
#include <string>

#include "fsutil.h"
#include "internal.h"
#include "state.h"

namespace ryx::ctl {

namespace {

constexpr mode_t kDefaultsMode = 0644;
// No container has the id 0, so its byte of the state directory's lock file is free for them.
constexpr uint32_t kDefaultsLockKey = 0;

int open_state_dir(bool create, Fd &dir) {
    return open_dir(paths().state_dir, create, 0755, dir);
}

int load_at(int dir, libryx_settings &out) {
    std::string text;
    int rc = read_file(dir, kDefaults, text, kMaxState);
    if (rc == -ENOENT) return 0;
    // A link or anything but a regular file is nothing the library wrote.
    if (rc == -ELOOP || rc == -EINVAL) return -EUCLEAN;
    if (rc < 0) return rc;
    libryx_settings s;
    // A value out of range was never stored: a hand edit, which must not become containers.
    if (parse_settings(text, s) < 0 || check_settings(s) < 0) return -EBADMSG;
    out = s;
    return 1;
}

int store_at(int dir, const libryx_settings &s) {
    return write_atomic(dir, kDefaults, format_settings(s), kDefaultsMode, 0);
}

// f(directory) with the defaults locked; the state directory is made when missing.
template <class F> int locked(F &&f) {
    try {
        Fd dir;
        Lock lock;
        int rc = open_state_dir(true, dir);
        if (rc < 0) return rc;
        if ((rc = lock_container(dir.get(), kDefaultsLockKey, lock)) < 0) return rc;
        return f(dir.get());
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

} // namespace

int load_defaults(libryx_settings &out) {
    try {
        Fd dir;
        int rc = open_state_dir(false, dir);
        if (rc == -ENOENT) return 0;
        return rc < 0 ? rc : load_at(dir.get(), out);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

int store_defaults(const libryx_settings &s) {
    if (int rc = check_settings(s); rc < 0) return rc;
    // The whole file is replaced: what it held before, damaged or not, does not matter.
    return locked([&](int dir) { return store_at(dir, s); });
}

int update_defaults(const std::function<int(libryx_settings &)> &change) {
    return locked([&](int dir) {
        libryx_settings s{};
        int rc = load_at(dir, s);
        if (rc < 0 || (rc = change(s)) < 0 || (rc = check_settings(s)) < 0) return rc;
        return store_at(dir, s);
    });
}

int clear_defaults() {
    Fd probe;
    if (open_state_dir(false, probe) == -ENOENT) return 0; // nothing was ever stored
    return locked([](int dir) {
        int rc = remove_durable(dir, kDefaults);
        return rc == -ENOENT ? 0 : rc;
    });
}

} // namespace ryx::ctl
