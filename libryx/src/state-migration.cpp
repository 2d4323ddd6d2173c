// Bringing a container state directory of an earlier layout, which its users could write, to
// the current one. Everything a user could have left there is handled by its name alone: an
// inode found here may be somebody else's (a hard link to another user's file, say), so none is
// ever chowned, chmodded, truncated or written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "defaults.h"
#include "fsutil.h"
#include "internal.h"
#include "ryx-number.h"
#include "state.h"

namespace ryx::ctl {

namespace {

constexpr const char *kAsidePrefix = ".aside.";
constexpr mode_t kStateMode = 0644;
constexpr mode_t kLocksMode = 0600;
constexpr mode_t kAsideMode = 0700;

enum class Action { keep, copy, remove, set_aside };

// A file of root's that nobody else can write and that has no other name.
bool roots_own_file(const struct stat &st) {
    return S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 022) == 0 && st.st_nlink == 1;
}

bool starts_with(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

// What becomes of one name of the directory. Directories and files hold something somebody may
// want back, so they are moved aside as they are; links, FIFOs, sockets and devices hold
// nothing and go.
Action judge(const std::string &name, const struct stat &st) {
    const bool kept_kinds = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
    uint32_t id;
    if (num::parse_canonical_u32(name.c_str(), id)) {
        if (roots_own_file(st) && (st.st_mode & 07777) == kStateMode) return Action::keep;
        if (S_ISREG(st.st_mode))
            return st.st_size > off_t(kMaxState) ? Action::set_aside : Action::copy;
        return kept_kinds ? Action::set_aside : Action::remove;
    }
    if (name == kLocks) {
        // Anything but root's private file would let its owner hold every container's lock.
        if (roots_own_file(st) && (st.st_mode & 07777) == kLocksMode) return Action::keep;
    } else if (name == kDefaults) {
        // Whoever else could write the host defaults would choose every new user's limits.
        if (roots_own_file(st)) return Action::keep;
    } else if (starts_with(name, kAsidePrefix) && S_ISDIR(st.st_mode)) {
        if (st.st_uid == 0 && (st.st_mode & 07777) == kAsideMode) return Action::keep;
    } else if (roots_own_file(st)) {
        return Action::keep; // the library's temporary files, an administrator's note
    }
    return kept_kinds ? Action::set_aside : Action::remove;
}

// The entries' names, .locks first (every container's copy needs a sound one), then in order.
int read_names(int dir, std::vector<std::string> &names) {
    if (int rc = list_names(dir, names); rc < 0) return rc;
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return (a == kLocks) != (b == kLocks) ? a == kLocks : a < b;
    });
    return 0;
}

class Migrator {
  public:
    Migrator(int dir, StateMigration &out) : dir_(dir), out_(out) {}

    void take(const std::string &name) {
        struct stat st;
        if (::fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) out_.left.push_back({name, -errno});
            return;
        }
        int rc = 0;
        switch (judge(name, st)) {
        case Action::keep:
            return;
        case Action::copy:
            rc = copy(name);
            break;
        case Action::remove:
            if ((rc = ::unlinkat(dir_, name.c_str(), 0) == 0 ? 0 : -errno) == 0)
                out_.removed.push_back(name);
            break;
        case Action::set_aside:
            if ((rc = set_aside(name)) == 0) out_.set_aside.push_back(name);
            break;
        }
        if (rc < 0) out_.left.push_back({name, rc});
    }

    // The renames and removals made durable.
    int sync() {
        if (aside_ && ::fsync(aside_.get()) != 0) return -errno;
        return ::fsync(dir_) == 0 ? 0 : -errno;
    }

  private:
    // A container file's bytes in a new file of root's, under the container's lock; the old
    // inode just loses this name. Only a file that reads as that container's state is copied:
    // anything else may be somebody's private text, which a copy readable by all would leak,
    // so it is moved aside as it is.
    int copy(const std::string &name) {
        uint32_t id = 0, named = 0;
        num::parse_canonical_u32(name.c_str(), id);
        Lock lock;
        if (int rc = lock_container(dir_, id, lock); rc < 0) return rc;
        std::string text;
        Container c;
        int rc = read_file(dir_, name.c_str(), text, kMaxState, kAnyOwner);
        if (rc == -EFBIG || (rc == 0 && (parse_state(text, named, c) < 0 || named != id))) {
            if ((rc = set_aside(name)) == 0) out_.set_aside.push_back(name);
            return rc;
        }
        if (rc < 0 || (rc = write_atomic(dir_, name, text, kStateMode, 0)) < 0) return rc;
        ++out_.rewritten;
        return 0;
    }

    int set_aside(const std::string &name) {
        if (int rc = open_aside(); rc < 0) return rc;
        if (::renameat(dir_, name.c_str(), aside_.get(), name.c_str()) != 0) return -errno;
        return 0;
    }

    // A new directory of root's for this run's finds, made when the first one is.
    int open_aside() {
        if (aside_) return 0;
        const std::string base = kAsidePrefix + std::to_string(::time(nullptr));
        for (int n = 0; n < 100; ++n) {
            std::string name = n == 0 ? base : base + "-" + std::to_string(n);
            if (::mkdirat(dir_, name.c_str(), kAsideMode) != 0) {
                if (errno == EEXIST) continue;
                return -errno;
            }
            aside_ =
                Fd(::openat(dir_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!aside_) return -errno;
            if (::fchmod(aside_.get(), kAsideMode) != 0) return -errno; // whatever the umask
            out_.aside_dir = name;
            return 0;
        }
        return -EEXIST;
    }

    int dir_;
    StateMigration &out_;
    Fd aside_;
};

} // namespace

int migrate_state(StateMigration &out) {
    if (::geteuid() != 0) return -EPERM;
    Fd dir;
    int rc = secure_dir(paths().state_dir, 0755, dir);
    if (rc < 0) return rc == -ENOENT ? 0 : rc;
    // From here no ordinary user can add, remove or rename anything in the directory.
    std::vector<std::string> names;
    if ((rc = read_names(dir.get(), names)) < 0) return rc;
    Migrator m(dir.get(), out);
    for (const std::string &name : names)
        m.take(name);
    return m.sync();
}

} // namespace ryx::ctl
