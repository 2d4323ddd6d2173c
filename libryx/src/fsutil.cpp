#include "fsutil.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ryx {

Fd &Fd::operator=(Fd &&o) noexcept
{
    if (this != &o) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = o.release();
    }
    return *this;
}

Fd::~Fd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int open_dir(const std::string &path, bool create, mode_t mode, Fd &out)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd && errno == ENOENT && create) {
        // Make missing parents first; each mkdir racing another process is fine (EEXIST).
        auto slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            Fd parent;
            int rc = open_dir(path.substr(0, slash), true, 0755, parent);
            if (rc < 0)
                return rc;
        }
        if (::mkdir(path.c_str(), mode) == 0)
            ::chmod(path.c_str(), mode); // the umask must not make it unsearchable
        else if (errno != EEXIST)
            return -errno;
        fd = Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!fd)
        return -errno;
    out = std::move(fd);
    return 0;
}

int Lock::acquire(int dirfd, const char *name)
{
    Fd fd(::openat(dirfd, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        return -errno;
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return -errno;
    }
    fd_ = std::move(fd);
    return 0;
}

static int write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

int write_atomic(int dirfd, const std::string &name, std::string_view data, mode_t mode,
                 uid_t owner)
{
    // Dot-named so that directory walks looking for entries pass over a leftover temp file.
    const std::string tmp = "." + name + ".new";
    if (::unlinkat(dirfd, tmp.c_str(), 0) != 0 && errno != ENOENT)
        return -errno;
    Fd fd(::openat(dirfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                   0600));
    if (!fd)
        return -errno;
    int rc = write_all(fd.get(), data);
    if (rc == 0 && owner != static_cast<uid_t>(-1) && ::geteuid() == 0 &&
        ::fchown(fd.get(), owner, static_cast<gid_t>(-1)) != 0)
        rc = -errno;
    if (rc == 0 && ::fchmod(fd.get(), mode) != 0)
        rc = -errno;
    if (rc == 0 && ::fsync(fd.get()) != 0)
        rc = -errno;
    if (rc == 0 && ::renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) != 0)
        rc = -errno;
    if (rc != 0) {
        ::unlinkat(dirfd, tmp.c_str(), 0);
        return rc;
    }
    // The rename itself is only durable once the directory is.
    if (::fsync(dirfd) != 0)
        return -errno;
    return 0;
}

int remove_durable(int dirfd, const std::string &name)
{
    if (::unlinkat(dirfd, name.c_str(), 0) != 0)
        return -errno;
    if (::fsync(dirfd) != 0)
        return -errno;
    return 0;
}

int read_file(int dirfd, const char *name, std::string &out, size_t max_size, bool follow)
{
    Fd fd(::openat(dirfd, name, O_RDONLY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode))
        return -EINVAL;
    if (static_cast<uint64_t>(st.st_size) > max_size)
        return -EFBIG;
    // Sized from fstat so that a whole table comes in one read; the loop still runs to the end
    // in case the file is longer than it was (it never is for files we replace by rename).
    std::string buf(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t have = 0;
    for (;;) {
        if (have == buf.size()) {
            if (buf.size() > max_size)
                return -EFBIG;
            buf.resize(buf.size() * 2);
        }
        ssize_t n = ::read(fd.get(), buf.data() + have, buf.size() - have);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (n == 0)
            break;
        have += static_cast<size_t>(n);
    }
    if (have > max_size)
        return -EFBIG;
    buf.resize(have);
    out = std::move(buf);
    return 0;
}

} // namespace ryx
