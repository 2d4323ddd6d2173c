// Entry processes: the one writer of the entries files, and the library's readers. The format
// and its reader are ryx-entries.h's.
#include "entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>
#include <utility>
#include <vector>

#include "fsutil.h"
#include "internal.h"
#include "ryx-entries.h"
#include "state.h"

namespace ryx::entries {

namespace {

constexpr mode_t kDirMode = 0755;
constexpr mode_t kFileMode = 0644;

// The entries directory, made root's 0755 when it is missing. Its parent is root's alone where
// the record is believed at all, so only root could have made it otherwise: refused, not
// repaired.
int open_entries_dir(Fd &out) {
    const std::string path = dir();
    if (path.empty()) return -EINVAL;
    const bool made = ::mkdir(path.c_str(), kDirMode) == 0;
    if (!made && errno != EEXIST) return -errno;
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return errno == ELOOP || errno == ENOTDIR ? -EUCLEAN : -errno;
    if (made && ::fchmod(fd.get(), kDirMode) != 0) return -errno; // whatever the umask
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return -errno;
    if (!ryx_record_trusted(&st)) return -EUCLEAN;
    out = std::move(fd);
    return 0;
}

// The live entries of a file as take() reads it, and whether the new one is among them.
struct Live {
    long pid = 0;
    unsigned long long start = 0;
    bool already = false;
    bool no_memory = false;
    std::vector<std::pair<long, unsigned long long>> kept;
};

int keep_live(long pid, unsigned long long start, void *ctx) {
    Live &l = *static_cast<Live *>(ctx);
    if (!ryx_entry_alive(pid, start)) return 0;
    if (pid == l.pid && start == l.start) l.already = true;
    try {
        l.kept.emplace_back(pid, start);
    } catch (const std::bad_alloc &) {
        l.no_memory = true;
        return 1;
    }
    return 0;
}

int add_entry(int entries, uint32_t id, Live &l, int32_t limit) {
    // A file that is not root's alone (or no regular file) is not read: it counts nothing, and
    // the rename below replaces its name without touching what it was.
    Fd file(ryx_entries_open(entries, id));
    if (file && ryx_entries_scan(file.get(), keep_live, &l) < 0) return -errno;
    if (l.no_memory) return -ENOMEM;
    if (l.already) return 0; // an entered process entering again is no new entry
    if (limit > 0 && l.kept.size() >= static_cast<size_t>(limit)) return -EUSERS;
    l.kept.emplace_back(l.pid, l.start);
    std::string text;
    for (const auto &[pid, start] : l.kept)
        text += std::to_string(pid) + " " + std::to_string(start) + "\n";
    // /run is a tmpfs whose files die with a reboot: nothing to make durable.
    return write_atomic(entries, std::to_string(id), text, kFileMode, 0, kNoSync);
}

} // namespace

std::string dir() {
    const std::string &record = paths().cgroup_record;
    std::string out(record.size() + sizeof "/" RYX_ENTRIES_DIR_NAME, '\0');
    if (ryx_entries_dir(record.c_str(), out.data(), out.size()) < 0) return {};
    out.resize(out.find('\0'));
    return out;
}

int take(uint32_t id, int pid, int32_t limit) {
    if (!ctl::valid_id(id) || pid <= 0) return -EINVAL;
    try {
        Live l;
        l.pid = pid;
        int rc = ryx_proc_starttime(pid, &l.start);
        if (rc <= 0) return rc == 0 ? -ESRCH : -EIO;
        Fd state, entries;
        Lock lock;
        rc = open_dir(paths().state_dir, false, 0755, state);
        if (rc < 0) return rc == -ENOENT ? -ESRCH : rc;
        if ((rc = ctl::lock_container(state.get(), id, lock)) < 0) return rc;
        if ((rc = open_entries_dir(entries)) < 0) return rc;
        return add_entry(entries.get(), id, l, limit);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

int count(uint32_t id) {
    Fd entries(ryx_entries_open_dir(paths().cgroup_record.c_str()));
    if (!entries) return 0;
    const long n = ryx_entries_count_at(entries.get(), id);
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

bool holds(uint32_t id, int pid) {
    Fd entries(ryx_entries_open_dir(paths().cgroup_record.c_str()));
    return entries && ryx_entries_holds_at(entries.get(), id, pid);
}

} // namespace ryx::entries
