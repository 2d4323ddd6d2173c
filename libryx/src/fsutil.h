// Small owning wrappers and the one durable-write routine everything that changes a file uses.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ryx {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd();
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_ = -1;
};

// Opens a directory for *at() calls; with create, makes it (and missing parents) with mode.
int open_dir(const std::string &path, bool create, mode_t mode, Fd &out);

// Exclusive lock on a sibling lock file, held by an open file description (flock), so that an
// unrelated close() of the same file elsewhere in the process cannot drop it.
class Lock {
public:
    // 0 or a negated errno.
    int acquire(int dirfd, const char *name);

private:
    Fd fd_;
};

// Replaces dir/name with data durably: a new file, fsync, rename over the old one, fsync of the
// directory. A reader sees the old file or the new one, never a mix; after a return of 0 the
// change survives a crash. owner: chown target (-1 keeps the writer's), applied only when
// running as root. Must be called with the directory's lock held (the temp name is fixed).
int write_atomic(int dirfd, const std::string &name, std::string_view data, mode_t mode,
                 uid_t owner);

// Removes dir/name durably; -ENOENT when it was not there.
int remove_durable(int dirfd, const std::string &name);

// Whole file into out; 0 or a negated errno. Refuses files over max_size with -EFBIG. Symbolic
// links are refused unless follow is set: the library's own files never are links.
int read_file(int dirfd, const char *name, std::string &out, size_t max_size,
              bool follow = false);

} // namespace ryx
