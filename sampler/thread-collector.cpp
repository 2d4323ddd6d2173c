// Thread collector: walks the process tree once per pass and hangs a record for every thread of
// a listed container under that container. Every failure is silent: a thread that cannot be read
// whole is left out.
#include "thread-collector.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "proc-sources.h"
#include "ryx-owners.h"

namespace {

// Enough for a whole status, statm, stat or cgroup line of any real task in one read.
constexpr size_t kLineBuf = 4096;
constexpr size_t kCmdlineMax = 255;

// A directory stream that takes over fd; none (fd closed) when the stream cannot be made.
ryx::DirStream dir_stream(ryx::Fd fd) {
    ryx::DirStream dir(fdopendir(fd.get()));
    if (dir) fd.release();
    return dir;
}

// A process or thread directory: a whole decimal name above 0 ("self", ".", "0" are not).
bool task_number(const char *name, long &value) {
    char *end;
    errno = 0;
    long v = strtol(name, &end, 10);
    if (end == name || *end != '\0' || errno != 0 || v <= 0) return false;
    value = v;
    return true;
}

// Containers by id for the pass, so that finding a thread's container is not a walk of the whole
// list per thread. Ids need not be unique: the record nearest the head wins.
class ContainerIndex {
  public:
    explicit ContainerIndex(ryx_entry *list) : list_(list) {
        try {
            size_t pos = 0;
            for (ryx_entry *e = list; e; e = e->next)
                by_id_.push_back({e->id, pos++, e});
            std::sort(by_id_.begin(), by_id_.end(), [](const Slot &a, const Slot &b) {
                return a.id != b.id ? a.id < b.id : a.pos < b.pos;
            });
            indexed_ = true;
        } catch (const std::bad_alloc &) {
            by_id_.clear();
        }
    }

    ryx_entry *find(uint64_t id) const {
        if (!indexed_) {
            for (ryx_entry *e = list_; e; e = e->next)
                if (e->id == id) return e;
            return nullptr;
        }
        auto it = std::lower_bound(by_id_.begin(), by_id_.end(), id,
                                   [](const Slot &s, uint64_t v) { return s.id < v; });
        return it != by_id_.end() && it->id == id ? it->entry : nullptr;
    }

  private:
    struct Slot {
        uint64_t id;
        size_t pos;
        ryx_entry *entry;
    };
    ryx_entry *list_;
    std::vector<Slot> by_id_;
    bool indexed_ = false;
};

// <tid>/<leaf> under a task directory. Built by hand rather than through open_fmt_path: five
// of these per thread of the host add up to a measurable share of a pass.
class ThreadPaths {
  public:
    ThreadPaths(int task_fd, const char *tid) : task_fd_(task_fd) {
        size_t n = strlen(tid);
        if (n + 1 + sizeof "cmdline" > sizeof path_) return;
        memcpy(path_, tid, n);
        path_[n] = '/';
        leaf_ = path_ + n + 1;
    }
    explicit operator bool() const { return leaf_ != nullptr; }
    int open(const char *leaf) {
        memcpy(leaf_, leaf, strlen(leaf) + 1);
        return openat(task_fd_, path_, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    }

  private:
    int task_fd_;
    char path_[NAME_MAX + 1 + sizeof "cmdline"];
    char *leaf_ = nullptr;
};

// Thread records arrive by the thousand in one burst, and on virtual machines the first touch
// of each fresh heap page is a costly fault of its own (a twentieth of a pass at 10,000
// threads). The heap is made to grow in large steps, and each step is faulted in with a single
// call; in top mode the memory freed after a pass stays for the next one instead of being
// returned and faulted in again. Where the allocator does not take its memory from the break
// (sanitizers), nothing happens.
class RecordHeap {
  public:
    RecordHeap() : populated_(sbrk(0)) {
        mallopt(M_TOP_PAD, 1 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
    }

    threadinfo *allocate() {
        auto *t = static_cast<threadinfo *>(calloc(1, sizeof(threadinfo)));
        void *top = sbrk(0);
        if (t && top != reinterpret_cast<void *>(-1) && top > populated_) {
            madvise(populated_, static_cast<char *>(top) - static_cast<char *>(populated_),
                    MADV_POPULATE_WRITE);
            populated_ = top;
        }
        return t;
    }

  private:
    void *populated_;
};

// What one walk of the process tree works with.
struct Walk {
    ContainerIndex containers;
    RecordHeap heap;
    long page_size; // statm counts pages; a thread's mem is bytes
};

// Prepends a thread to its container and counts it; known: its process is counted already.
void link_thread(ryx_entry *entry, threadinfo *thread, bool known) {
    thread->prev = nullptr;
    thread->next = entry->threadinfo_head;
    if (entry->threadinfo_head) entry->threadinfo_head->prev = thread;
    entry->threadinfo_head = thread;
    if (!known) entry->pno++;
    entry->tno++;
}

// One thread, <task dir>/<tid>/. Only status (and cgroup without an "FNid:") is read before the
// thread's container is known: threads of other containers are dropped whatever their other
// sources hold, and their cmdline is not touched, since reading it takes the owning process's
// memory-map lock and may stall behind a stuck process.
//
// Every source is read with short reads taken as its end: the kernel generates each of these
// files whole when it is first read, so a further read would only return 0.
void collect_thread(Walk &w, int task_fd, const char *tid_name, int64_t pid) {
    long tid;
    if (!task_number(tid_name, tid)) return;
    ThreadPaths paths(task_fd, tid_name);
    if (!paths) return;
    char buf[kLineBuf];

    // /proc/<pid>/task/<tid>/status: "FNid:" is the container, "Name:" tells migration threads
    status_info st;
    {
        ryx::Fd status(paths.open("status"));
        if (!status) return;
        read_status(status.get(), buf, sizeof buf, st, true);
    }

    // /proc/<pid>/task/<tid>/cgroup: the container as the last path component, e.g. .../ryx12
    uint64_t cid = st.fnid;
    if (cid == 0) {
        ryx::Fd cgroup(paths.open("cgroup"));
        if (!cgroup)
            cid = UINT64_MAX;
        else if (!read_cgroup_id(cgroup.get(), buf, sizeof buf, cid, true))
            return;
    }

    ryx_entry *entry = w.containers.find(cid);
    if (!entry) return;

    // /proc/<pid>/task/<tid>/cmdline: NUL-separated arguments, the first 255 bytes
    char cmd[kCmdlineMax + 1];
    size_t cmd_len;
    {
        ryx::Fd cmdline(paths.open("cmdline"));
        if (!cmdline) return;
        cmd_len = read_upto(cmdline.get(), cmd, kCmdlineMax, true);
    }
    // A per-cpu kernel thread has an empty command line; a process merely named so has not.
    if (st.migration && cmd_len == 0) return;

    // /proc/<pid>/task/<tid>/statm: whole-process memory in pages, same for every thread
    uint64_t resident, shared;
    {
        ryx::Fd statm(paths.open("statm"));
        std::string_view line;
        if (!statm) return;
        line_reader lines(statm.get(), buf, sizeof buf, true);
        if (!lines.first_line(line) || !parse_statm(line, resident, shared)) return;
    }

    // /proc/<pid>/task/<tid>/stat: this thread's user and system time in clock ticks
    uint64_t utime, stime;
    {
        ryx::Fd stat(paths.open("stat"));
        std::string_view line;
        if (!stat) return;
        line_reader lines(stat.get(), buf, sizeof buf, true);
        if (!lines.first_line(line) || !parse_stat_times(line, utime, stime)) return;
    }

    threadinfo *t = w.heap.allocate();
    if (!t) return;
    t->pid = pid;
    t->tid = tid;
    // The kernel's page counts are approximate, so shared can exceed resident; unsigned
    // subtraction would then wrap to a huge size.
    t->mem = (resident > shared ? resident - shared : 0) * static_cast<uint64_t>(w.page_size);
    t->cpu = utime + stime;
    t->valid = 1;
    com_from_cmdline(cmd, cmd_len, t->com);
    // A process's threads are visited one after another, so within this container an earlier
    // thread of the same process is at the head: no need to search the whole list for it.
    threadinfo *head = entry->threadinfo_head;
    link_thread(entry, t, head && head->pid == pid);
}

// The threads of one process, from its task directory.
void collect_process(Walk &w, ryx::Fd task_fd, const char *pid_name) {
    ryx::DirStream dir = dir_stream(std::move(task_fd));
    if (!dir) return;
    long pid;
    if (!task_number(pid_name, pid)) pid = -1;
    while (dirent *de = readdir(dir.get())) {
        long tid;
        if (task_number(de->d_name, tid)) collect_thread(w, dirfd(dir.get()), de->d_name, pid);
    }
}

} // namespace

void ryx_get_pt_stats(ryx_entry *list, long page_size) {
    // Without containers no thread can be taken, and nothing the walk reads could show.
    if (!list) return;
    Walk w{ContainerIndex(list), RecordHeap(), page_size};
    ryx::DirStream dir = dir_stream(ryx::Fd(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!dir) return;
    while (dirent *de = readdir(dir.get())) {
        long pid;
        if (!task_number(de->d_name, pid)) continue;
        ryx::Fd task_fd(open_fmt_path(dirfd(dir.get()), "%s/task", de->d_name));
        if (task_fd) collect_process(w, std::move(task_fd), de->d_name);
    }
}

void ryx_get_thread_stat(ryx_entry *entry, threadinfo *thread) {
    bool known = false;
    for (threadinfo *t = entry->threadinfo_head; t && !known; t = t->next)
        known = t->pid == thread->pid;
    link_thread(entry, thread, known);
}

void ryx_resample_pt_stats(ryx_entry *entry) {
    char buf[kLineBuf];
    for (threadinfo *t = entry ? entry->threadinfo_head : nullptr; t; t = t->next) {
        if (!t->valid) continue;
        t->valid = 0;
        // /proc/<pid>/task/<tid>/stat: the thread's times again, at the end of the interval
        ryx::Fd stat(open_fmt_path(AT_FDCWD, "/proc/%ju/task/%ju/stat",
                                   static_cast<uintmax_t>(t->pid), static_cast<uintmax_t>(t->tid)));
        if (!stat) continue;
        line_reader lines(stat.get(), buf, sizeof buf);
        std::string_view line;
        uint64_t utime, stime;
        if (!lines.first_line(line) || !parse_stat_times(line, utime, stime)) continue;
        uint64_t total = utime + stime;
        // Less than at collection means another thread now has this tid: no usable increase.
        if (total < t->cpu) continue;
        t->cpu = total - t->cpu;
        t->valid = 1;
    }
}
