#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace ryxsim {

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// Removes the entries of an open directory, recursing into directories of the same device.
int remove_contents(int dirfd, dev_t dev) {
    int dup_fd = dup(dirfd);
    if (dup_fd < 0) return -errno;
    std::unique_ptr<DIR, int (*)(DIR *)> d(fdopendir(dup_fd), closedir);
    if (!d) {
        close(dup_fd);
        return -errno;
    }
    int rc = 0;
    while (dirent *e = readdir(d.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev != dev) {
                rc = -EBUSY; // a mount point: never descend into another filesystem
                continue;
            }
            int sub = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            // The overlay leaves a mode 000 work directory, which only root may enter as it is.
            if (sub < 0 && errno == EACCES && fchmodat(dirfd, name.c_str(), 0700, 0) == 0)
                sub = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) continue;
            FdCloser guard{sub};
            if (int r = remove_contents(sub, dev)) rc = r;
            if (unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 && rc == 0) rc = -errno;
        } else if (unlinkat(dirfd, name.c_str(), 0) != 0 && rc == 0) {
            rc = -errno;
        }
    }
    return rc;
}

} // namespace

int write_atomic(const std::string &path, std::string_view data, mode_t mode) {
    size_t slash = path.rfind('/');
    std::string tmp = slash == std::string::npos
                          ? "." + path + ".new"
                          : path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return -errno;
    int rc = write_all(fd, data);
    if (fchmod(fd, mode) != 0 && rc == 0) rc = -errno;
    if (close(fd) != 0 && rc == 0) rc = -errno;
    if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0) rc = -errno;
    if (rc != 0) unlink(tmp.c_str());
    return rc;
}

int append(const std::string &path, std::string_view data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -errno;
    FdCloser guard{fd};
    return write_all(fd, data);
}

int make_dirs(const std::string &path, mode_t mode) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return -errno;
    }
    return 0;
}

int read_file(const std::string &path, std::string &out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    FdCloser guard{fd};
    out.clear();
    char buf[65536];
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

int remove_tree(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -errno;
    struct stat st;
    int rc = fstat(fd, &st) == 0 ? remove_contents(fd, st.st_dev) : -errno;
    close(fd);
    if (rc == 0 && rmdir(path.c_str()) != 0) rc = -errno;
    return rc;
}

} // namespace ryxsim
