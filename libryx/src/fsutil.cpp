#include "fsutil.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "ryx-number.h"

namespace ryx {

bool trusted(const struct stat &st) {
    return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

namespace {

int open_dir_at(const std::string &path, bool create, mode_t mode, Fd &out) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd && errno == ENOENT && create) {
        // Make missing parents first; each mkdir racing another process is fine (EEXIST).
        auto slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            Fd parent;
            int rc = open_dir_at(path.substr(0, slash), true, 0755, parent);
            if (rc < 0) return rc;
        }
        if (::mkdir(path.c_str(), mode) == 0)
            ::chmod(path.c_str(), mode); // the umask must not make it unsearchable
        else if (errno != EEXIST)
            return -errno;
        fd = Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!fd) return -errno;
    out = std::move(fd);
    return 0;
}

} // namespace

int open_dir(const std::string &path, bool create, mode_t mode, Fd &out) {
    Fd fd;
    int rc = open_dir_at(path, create, mode, fd);
    if (rc < 0) return rc;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return -errno;
    if (!trusted(st)) return -EUCLEAN;
    out = std::move(fd);
    return 0;
}

int secure_dir(const std::string &path, mode_t mode, Fd &out) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) return -errno;
    if ((st.st_uid != 0 || st.st_gid != 0) && ::fchown(fd.get(), 0, 0) != 0) return -errno;
    if ((st.st_mode & 07777) != mode && ::fchmod(fd.get(), mode) != 0) return -errno;
    out = std::move(fd);
    return 0;
}

int list_dir(int dirfd, DirStream &out) {
    int dup = ::dup(dirfd);
    if (dup < 0) return -errno;
    DirStream d(::fdopendir(dup));
    if (!d) {
        ::close(dup);
        return -errno;
    }
    // The duplicate shares its position with dirfd: start from the top whatever came before.
    ::rewinddir(d.get());
    out = std::move(d);
    return 0;
}

int list_names(int dirfd, std::vector<std::string> &out) {
    DirStream d;
    if (int rc = list_dir(dirfd, d); rc < 0) return rc;
    std::vector<std::string> found;
    for (;;) {
        errno = 0;
        const struct dirent *de = ::readdir(d.get());
        if (!de) {
            // A walk cut short would leave entries out: a registry's ids, say, out of its index.
            if (errno != 0) return -errno;
            break;
        }
        const char *name = de->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) found.emplace_back(name);
    }
    out = std::move(found);
    return 0;
}

int list_numbered(int dirfd, std::vector<uint32_t> &out) {
    std::vector<std::string> names;
    if (int rc = list_names(dirfd, names); rc < 0) return rc;
    std::vector<uint32_t> found;
    for (const std::string &name : names) {
        uint32_t n;
        if (num::parse_canonical_u32(name.c_str(), n)) found.push_back(n);
    }
    std::sort(found.begin(), found.end());
    out = std::move(found);
    return 0;
}

namespace {

int64_t now_us() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Retries a non-blocking attempt until it stops saying "busy" or wait_ms have passed. Polling
// rather than a blocking call: the library may not use signals or threads to bound a wait.
template <class F> int poll_lock(F &&attempt, int wait_ms) {
    const int64_t deadline = now_us() + int64_t(wait_ms) * 1000;
    long delay_us = 500;
    for (;;) {
        if (attempt() == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EAGAIN && errno != EACCES && errno != EINTR)
            return -errno;
        int64_t left = deadline - now_us();
        if (left <= 0) return -ETIMEDOUT;
        long us = static_cast<long>(std::min<int64_t>(delay_us, left));
        struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
        ::nanosleep(&ts, nullptr);
        delay_us = std::min<long>(delay_us * 2, 20000);
    }
}

} // namespace

// The lock file, opened without following a link and without waiting, then locked by attempt.
// A lock file that is not root's private regular file (a directory, a link or a FIFO in its
// place, or a file somebody else could open and lock) is -ENOLCK: the repair is a migration.
template <class F> int Lock::take(int dirfd, const char *name, int wait_ms, F &&attempt) {
    Fd fd(::openat(dirfd, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd) return errno == EISDIR || errno == ELOOP || errno == ENXIO ? -ENOLCK : -errno;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return -errno;
    if (!S_ISREG(st.st_mode) || !trusted(st) || (st.st_mode & 077) != 0) return -ENOLCK;
    int rc = poll_lock([&] { return attempt(fd.get()); }, wait_ms);
    if (rc < 0) return rc;
    fd_ = std::move(fd);
    return 0;
}

int Lock::acquire(int dirfd, const char *name, int wait_ms) {
    return take(dirfd, name, wait_ms, [](int fd) { return ::flock(fd, LOCK_EX | LOCK_NB); });
}

int Lock::acquire_key(int dirfd, const char *name, uint64_t key, int wait_ms) {
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(key);
    range.l_len = 1;
    return take(dirfd, name, wait_ms, [&](int fd) { return ::fcntl(fd, F_OFD_SETLK, &range); });
}

int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

namespace {

// Six characters of a temporary name nobody can guess ahead.
std::string random_suffix() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        struct timespec ts;
        ::clock_gettime(CLOCK_REALTIME, &ts);
        bits = (uint64_t(ts.tv_sec) << 30) ^ uint64_t(ts.tv_nsec) ^ (uint64_t(::getpid()) << 40);
    }
    std::string out;
    for (int i = 0; i < 6; ++i, bits /= sizeof kChars - 1)
        out += kChars[bits % (sizeof kChars - 1)];
    return out;
}

// The new file beside dir/name, dot-named so that directory walks looking for entries pass
// over a leftover one: ".<name>.new", taken over from an earlier writer that died; with
// kUniqueTemp a name of this call's own, so that writers holding no lock never share one.
int create_temp(int dirfd, const std::string &name, unsigned flags, std::string &tmp, Fd &fd) {
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    if (!(flags & kUniqueTemp)) {
        tmp = "." + name + ".new";
        if (::unlinkat(dirfd, tmp.c_str(), 0) != 0 && errno != ENOENT) return -errno;
        fd = Fd(::openat(dirfd, tmp.c_str(), kCreate, 0600));
        return fd ? 0 : -errno;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = "." + name + "." + random_suffix();
        fd = Fd(::openat(dirfd, tmp.c_str(), kCreate, 0600));
        if (fd) return 0;
        if (errno != EEXIST) return -errno;
    }
    return -EEXIST;
}

} // namespace

int write_atomic(int dirfd, const std::string &name, std::string_view data, mode_t mode,
                 uid_t owner, unsigned flags) {
    const bool sync = !(flags & kNoSync);
    std::string tmp;
    Fd fd;
    if (int rc = create_temp(dirfd, name, flags, tmp, fd); rc < 0) return rc;
    int rc = write_all(fd.get(), data);
    if (rc == 0 && owner != static_cast<uid_t>(-1) && ::geteuid() == 0 &&
        ::fchown(fd.get(), owner, static_cast<gid_t>(-1)) != 0)
        rc = -errno;
    if (rc == 0 && ::fchmod(fd.get(), mode) != 0) rc = -errno;
    if (rc == 0 && sync && ::fsync(fd.get()) != 0) rc = -errno;
    if (rc == 0 && ::renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) != 0) rc = -errno;
    if (rc != 0) {
        ::unlinkat(dirfd, tmp.c_str(), 0);
        return rc;
    }
    // The rename itself is only durable once the directory is.
    if (sync && ::fsync(dirfd) != 0) return -errno;
    return 0;
}

int remove_durable(int dirfd, const std::string &name) {
    if (::unlinkat(dirfd, name.c_str(), 0) != 0) return -errno;
    if (::fsync(dirfd) != 0) return -errno;
    return 0;
}

int open_regular(int dirfd, const char *name, unsigned flags, Fd &fd, struct stat &st) {
    const bool any_kind = flags & kAnyKind;
    fd = Fd(::openat(dirfd, name,
                     O_RDONLY | O_CLOEXEC | (any_kind ? 0 : O_NONBLOCK) |
                         (flags & kFollow ? 0 : O_NOFOLLOW)));
    if (!fd || ::fstat(fd.get(), &st) != 0) return -errno;
    if (!any_kind && !S_ISREG(st.st_mode)) return -EINVAL;
    if (!(flags & kAnyOwner) && !trusted(st)) return -EUCLEAN;
    return 0;
}

int read_file(int dirfd, const char *name, std::string &out, size_t max_size, unsigned flags) {
    Fd fd;
    struct stat st;
    if (int rc = open_regular(dirfd, name, flags, fd, st); rc < 0) return rc;
    if (static_cast<uint64_t>(st.st_size) > max_size) return -EFBIG;
    // Sized from fstat so that a whole table comes in one read; the loop still runs to the end
    // in case the file is longer than it was (it never is for files we replace by rename), or
    // is a pipe, whose size says nothing.
    const size_t expect = S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 65535;
    std::string buf(expect + 1, '\0');
    size_t have = 0;
    for (;;) {
        if (have == buf.size()) {
            if (buf.size() > max_size) return -EFBIG;
            buf.resize(buf.size() * 2);
        }
        ssize_t n = ::read(fd.get(), buf.data() + have, buf.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    if (have > max_size) return -EFBIG;
    buf.resize(have);
    out = std::move(buf);
    return 0;
}

} // namespace ryx
