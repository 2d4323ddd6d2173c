/* Entry processes on stock kernels: the processes ryxctl enter started in each container, which
 * the container's "enters" setting counts. They live in the directory "entries" beside the
 * control-group record (RYX_CGROUP_RECORD: /run/ryx/entries), one file per container named by
 * its decimal id, one "<pid> <starttime>\n" line per entry, starttime being field 22 of
 * /proc/<pid>/stat: an entry is live while a process of that pid runs and started then, so a
 * pid the kernel hands out again is never counted. libryx writes the files (ryx::entries, under
 * the container's lock, each replaced whole by a rename); libryx and the sampler read them
 * through this one reader, without a lock. Header-only, C-compatible and free of any runtime,
 * like ryx-cgroup-record.h; the directory and a file are believed only when root's alone. */
#ifndef RYX_ENTRIES_H
#define RYX_ENTRIES_H

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ryx-cgroup-record.h"

#define RYX_ENTRIES_DIR_NAME "entries"
/* The longest line of a file: a pid and a 64-bit start time, with room to spare. */
#define RYX_ENTRIES_LINE_MAX 64

/* The entries directory of the record at record: its directory and "/entries". 0, or -1 when
 * record names no directory or the result does not fit. */
static inline int ryx_entries_dir(const char *record, char *out, size_t size) {
    const char *slash = strrchr(record, '/');
    size_t dlen = slash ? (size_t)(slash - record) : 0;
    if (!slash || dlen == 0 || dlen + sizeof "/" RYX_ENTRIES_DIR_NAME > size) return -1;
    memcpy(out, record, dlen);
    memcpy(out + dlen, "/" RYX_ENTRIES_DIR_NAME, sizeof "/" RYX_ENTRIES_DIR_NAME);
    return 0;
}

/* A decimal number of at most max from [*p, end), moving *p past it; -1 without digits or
 * above max. */
static inline int ryx_entries_number(const char **p, const char *end, unsigned long long max,
                                     unsigned long long *out) {
    const char *s = *p;
    unsigned long long v = 0;
    if (s == end || *s < '0' || *s > '9') return -1;
    for (; s != end && *s >= '0' && *s <= '9'; ++s) {
        unsigned d = (unsigned)(*s - '0');
        if (v > (max - d) / 10) return -1;
        v = v * 10 + d;
    }
    *p = s;
    *out = v;
    return 0;
}

/* /proc/<pid>/stat's text: 1 with *start (field 22, clock ticks after boot) for a process that
 * runs, 0 for a zombie or one that is dead, -1 for text that is no such line. The command
 * name, field 2, may hold blanks and parentheses: the fields after it start at the last ')'. */
static inline int ryx_stat_starttime(const char *text, size_t len, unsigned long long *start) {
    const char *end = text + len, *p = end;
    while (p != text && p[-1] != ')')
        --p;
    if (p == text || end - p < 3 || p[0] != ' ') return -1;
    const char state = p[1];
    for (int field = 3; field < 22; ++field) { /* p is at the blank before field 'field' */
        p = (const char *)memchr(p + 1, ' ', (size_t)(end - p - 1));
        if (!p) return -1;
    }
    ++p;
    if (ryx_entries_number(&p, end, ~0ULL, start) < 0) return -1;
    return state == 'Z' || state == 'X' || state == 'x' ? 0 : 1;
}

/* Process pid's start time: 1 while it runs, 0 when there is none (or a zombie), -1 when its
 * stat cannot be read otherwise. */
static inline int ryx_proc_starttime(long pid, unsigned long long *start) {
    char path[32], buf[1024];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ESRCH ? 0 : -1;
    ssize_t n;
    do
        n = read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    int err = errno;
    close(fd);
    if (n < 0) return err == ESRCH ? 0 : -1; /* gone between the open and the read */
    return ryx_stat_starttime(buf, (size_t)n, start);
}

/* Whether the entry (pid, start) is live: that process runs and started then. */
static inline int ryx_entry_alive(long pid, unsigned long long start) {
    unsigned long long now;
    return ryx_proc_starttime(pid, &now) == 1 && now == start;
}

/* One line of an entries file, without its newline: 0 with *pid and *start, -1 for anything
 * but "<pid> <starttime>". */
static inline int ryx_entries_line(const char *p, size_t len, long *pid,
                                   unsigned long long *start) {
    const char *end = p + len;
    unsigned long long v;
    if (ryx_entries_number(&p, end, 0x7fffffffULL, &v) < 0 || v == 0 || p == end || *p != ' ')
        return -1;
    ++p;
    if (ryx_entries_number(&p, end, ~0ULL, start) < 0 || p != end) return -1;
    *pid = (long)v;
    return 0;
}

/* Called for each well-formed line; a return other than 0 ends the walk. */
typedef int (*ryx_entries_fn)(long pid, unsigned long long start, void *ctx);

/* Every line of the entries file open at fd, in order; lines that are no entries (none in a file
 * the library wrote) are passed over. 0, or -1 when the file cannot be read. */
static inline int ryx_entries_scan(int fd, ryx_entries_fn fn, void *ctx) {
    char buf[4096];
    size_t have = 0;
    int skipping = 0; /* inside a line too long to be an entry */
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) return 0; /* a last line without its newline was cut short: no entry */
        have += (size_t)n;
        char *line = buf, *nl;
        while ((nl = (char *)memchr(line, '\n', have - (size_t)(line - buf))) != 0) {
            long pid;
            unsigned long long start;
            if (!skipping && ryx_entries_line(line, (size_t)(nl - line), &pid, &start) == 0 &&
                fn(pid, start, ctx) != 0)
                return 0;
            skipping = 0;
            line = nl + 1;
        }
        have -= (size_t)(line - buf);
        if (have > RYX_ENTRIES_LINE_MAX) {
            skipping = 1;
            have = 0;
        }
        memmove(buf, line, have);
    }
}

/* The entries directory of the record at record, opened when it is root's alone: a descriptor,
 * or -1 (none, or not to be believed). */
static inline int ryx_entries_open_dir(const char *record) {
    char dir[4096];
    struct stat st;
    if (ryx_entries_dir(record, dir, sizeof dir) < 0) return -1;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !ryx_record_trusted(&st))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

/* Container id's file in the entries directory dirfd, opened when it is a regular file root's
 * alone: a descriptor, or -1 (none, or not to be believed). Non-blocking and never through a
 * link: nothing there may stall or redirect a reader. */
static inline int ryx_entries_open(int dirfd, uint32_t id) {
    char name[16];
    struct stat st;
    snprintf(name, sizeof name, "%u", (unsigned)id);
    int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ryx_record_trusted(&st))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

struct ryx_entries_tally {
    long live;  /* live entries seen */
    long match; /* a pid to look for, or 0 */
    int found;  /* match is a live entry */
};

static inline int ryx_entries_tally_one(long pid, unsigned long long start, void *ctx) {
    struct ryx_entries_tally *t = (struct ryx_entries_tally *)ctx;
    if (t->match != 0 && pid != t->match) return 0; /* only the one asked about */
    if (!ryx_entry_alive(pid, start)) return 0;
    ++t->live;
    t->found = t->match != 0;
    return t->found;
}

/* Live entries of container id, or with match (a pid) whether it is one of them (tally->found).
 * A file that is missing, unreadable or not root's alone has none. */
static inline void ryx_entries_tally_at(int dirfd, uint32_t id, struct ryx_entries_tally *t) {
    t->live = 0;
    t->found = 0;
    int fd = ryx_entries_open(dirfd, id);
    if (fd < 0) return;
    if (ryx_entries_scan(fd, ryx_entries_tally_one, t) < 0) t->live = t->found = 0;
    close(fd);
}

/* The number of live entries of container id in the entries directory dirfd. */
static inline long ryx_entries_count_at(int dirfd, uint32_t id) {
    struct ryx_entries_tally t = {0, 0, 0};
    ryx_entries_tally_at(dirfd, id, &t);
    return t.live;
}

/* Whether pid is a live entry of container id in the entries directory dirfd. */
static inline int ryx_entries_holds_at(int dirfd, uint32_t id, long pid) {
    struct ryx_entries_tally t = {0, pid, 0};
    if (pid <= 0) return 0;
    ryx_entries_tally_at(dirfd, id, &t);
    return t.found;
}

#endif
