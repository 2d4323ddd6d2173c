// The file routines of the library, its tools, the simulated host and the exporter (target
// libryx_files): the one atomic write and the one whole-file read, directory walks, locks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ryx-owners.h"

namespace ryx {

// A file or directory the library may believe: owned by root (or by the account the library
// runs as, for private copies and tests) and writable by nobody else. Anything an ordinary
// user could have written is never read as registry or container state.
bool trusted(const struct stat &st);

// Opens a directory for *at() calls; with create, makes it (and missing parents) with mode.
// -EUCLEAN when it is not trusted (see above): its files could have been swapped.
int open_dir(const std::string &path, bool create, mode_t mode, Fd &out);

// A directory of ours made root's, with exactly mode, whoever held it before (repairs only).
int secure_dir(const std::string &path, mode_t mode, Fd &out);

// A stream over dirfd's entries from the first, leaving dirfd itself open for *at() calls.
int list_dir(int dirfd, DirStream &out);

// The names of dirfd's entries but "." and "..", in the directory's order. A walk cut short by
// an error fails as a whole.
int list_names(int dirfd, std::vector<std::string> &out);

// The entries of dirfd named by a canonical decimal number (the users of the registry, the
// containers of the state directory), in ascending order; dot-names and anything else are
// skipped. A walk cut short by an error fails as a whole.
int list_numbered(int dirfd, std::vector<uint32_t> &out);

// An exclusive lock held by an open file description, so that an unrelated close() of the same
// file elsewhere in the process cannot drop it. Nobody waits for one without bound: a holder
// may be a stopped process, so after wait_ms the attempt fails with -ETIMEDOUT.
class Lock {
  public:
    // The whole of dir/name (flock). 0 or a negated errno.
    int acquire(int dirfd, const char *name, int wait_ms);
    // One byte of dir/name, at offset key (an open-file-description record lock): one lock
    // file serves any number of independent keys.
    int acquire_key(int dirfd, const char *name, uint64_t key, int wait_ms);

  private:
    template <class F> int take(int dirfd, const char *name, int wait_ms, F &&attempt);
    Fd fd_;
};

int write_all(int fd, std::string_view data);

enum WriteFlags : unsigned {
    kNoSync = 1,     // no fsync: for files that need not survive a crash (the simulated host's)
    kUniqueTemp = 2, // a temporary name of the call's own, for writers that hold no lock
};

// Replaces dir/name with data durably: a new file ".<name>.new", fsync, rename over the old
// one, fsync of the directory. A reader sees the old file or the new one, never a mix; after a
// return of 0 the change survives a crash. owner: chown target (-1 keeps the writer's), applied
// only when running as root. Must be called with the directory's lock held (the temp name is
// fixed), unless flags has kUniqueTemp (the new file is then ".<name>.XXXXXX", never shared,
// and of concurrent writers the last rename wins).
int write_atomic(int dirfd, const std::string &name, std::string_view data, mode_t mode,
                 uid_t owner, unsigned flags = 0);

// Removes dir/name durably; -ENOENT when it was not there.
int remove_durable(int dirfd, const std::string &name);

enum ReadFlags : unsigned {
    kFollow = 1,   // accept a symbolic link (the library's own files never are links)
    kAnyOwner = 2, // skip the trust test: only for repairs that judge the content themselves
    kAnyKind = 4,  // any kind of file, opened and read blocking (a pipe, say): only for a file
                   // the caller named itself, never for one of the library's
};

// Opens a regular file for reading without waiting (a FIFO, a device or a lease holder never
// blocks the caller): -EINVAL when it is not a regular file, -EUCLEAN when not trusted.
int open_regular(int dirfd, const char *name, unsigned flags, Fd &fd, struct stat &st);

// Whole file into out; 0 or a negated errno (as open_regular). Refuses files over max_size
// with -EFBIG.
int read_file(int dirfd, const char *name, std::string &out, size_t max_size, unsigned flags = 0);
// A max_size for files of any size.
constexpr size_t kAnySize = size_t(1) << 40;

} // namespace ryx
