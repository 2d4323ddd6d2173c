#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "libryx-impl.h"

namespace ryxsim {

namespace {

// Removes the entries of an open directory, recursing into directories of the same device.
int remove_contents(int dirfd, dev_t dev);

// Removes dir/name, a directory, with everything in it.
int remove_subtree(int dirfd, const char *name, dev_t dev) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    ryx::Fd sub(openat(dirfd, name, kFlags));
    // The overlay leaves a mode 000 work directory, which only root may enter as it is.
    if (!sub && errno == EACCES && fchmodat(dirfd, name, 0700, 0) == 0)
        sub.reset(openat(dirfd, name, kFlags));
    if (!sub) return 0;
    int rc = remove_contents(sub.get(), dev);
    if (unlinkat(dirfd, name, AT_REMOVEDIR) != 0 && rc == 0) rc = -errno;
    return rc;
}

int remove_contents(int dirfd, dev_t dev) {
    ryx::DirStream d;
    if (int rc = ryx::list_dir(dirfd, d); rc < 0) return rc;
    int rc = 0;
    while (dirent *e = readdir(d.get())) {
        const char *name = e->d_name;
        struct stat st;
        if ((name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) ||
            fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(st.st_mode)) {
            if (unlinkat(dirfd, name, 0) != 0 && rc == 0) rc = -errno;
        } else if (st.st_dev != dev) {
            rc = -EBUSY; // a mount point: never descend into another filesystem
        } else if (int r = remove_subtree(dirfd, name, dev)) {
            rc = r;
        }
    }
    return rc;
}

} // namespace

int write_atomic(const std::string &path, std::string_view data, mode_t mode) {
    const size_t slash = path.rfind('/');
    ryx::Fd dir;
    if (slash != std::string::npos) {
        dir.reset(open(slash == 0 ? "/" : path.substr(0, slash).c_str(),
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir) return -errno;
    }
    // Nothing here needs to survive a crash of the machine: no fsync.
    return ryx::write_atomic(dir ? dir.get() : AT_FDCWD, path.substr(slash + 1), data, mode,
                             static_cast<uid_t>(-1), ryx::kNoSync);
}

int append(const std::string &path, std::string_view data) {
    ryx::Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return -errno;
    return ryx::write_all(fd.get(), data);
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
    // Any file the caller names, a pipe included, followed through links, whoever owns it.
    return ryx::read_file(AT_FDCWD, path.c_str(), out, ryx::kAnySize,
                          ryx::kFollow | ryx::kAnyOwner | ryx::kAnyKind);
}

int remove_tree(const std::string &path) {
    ryx::Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return errno == ENOENT ? 0 : -errno;
    struct stat st;
    int rc = fstat(fd.get(), &st) == 0 ? remove_contents(fd.get(), st.st_dev) : -errno;
    fd.reset();
    if (rc == 0 && rmdir(path.c_str()) != 0) rc = -errno;
    return rc;
}

} // namespace ryxsim
