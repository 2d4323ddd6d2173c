/* Preloaded into a registry writer: ends the process, as a kill would, right before its Nth
 * change to the file system (RYX_CRASH_AT=N, counted from 1). Without the variable it only
 * passes calls on. The test walks N upwards until the writer gets through, so that every point
 * of a change is a crash point once.
 * With RYX_SYNC_TRACE=<file>, every sync and rename that succeeds is appended to the file, as
 * "sync <path>" or "rename <from> <to>" with whole paths, for tests of the order of a durable
 * replace. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define CRASHED 99

static long crash_at = -1;
static long steps;

static const char *trace_path;

__attribute__((constructor)) static void crash_at_init(void) {
    const char *v = getenv("RYX_CRASH_AT");
    if (v && *v) crash_at = strtol(v, NULL, 10);
    v = getenv("RYX_SYNC_TRACE");
    if (v && *v) trace_path = v;
}

static void step(void) {
    if (crash_at > 0 && ++steps == crash_at) _exit(CRASHED);
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static void fd_path(int fd, char *out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    out[n < 0 ? 0 : n] = '\0';
}

static void at_path(int dir, const char *name, char *out, size_t size) {
    char base[PATH_MAX] = "";
    if (name[0] != '/') {
        if (dir == AT_FDCWD) {
            if (!getcwd(base, sizeof base)) base[0] = '\0';
        } else {
            fd_path(dir, base, sizeof base);
        }
    }
    snprintf(out, size, "%s%s%s", base, name[0] == '/' ? "" : "/", name);
}

static void trace(int rc, const char *what, const char *a, const char *b) {
    if (!trace_path || rc != 0) return;
    char line[2 * PATH_MAX + 16];
    int n = snprintf(line, sizeof line, "%s %s%s%s\n", what, a, b ? " " : "", b ? b : "");
    if (n < 0) return;
    if ((size_t)n >= sizeof line) n = sizeof line - 1;
    /* Opened for each line: the traced program may close descriptors it did not open. */
    int fd = open(trace_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t written = NEXT(write)(fd, line, (size_t)n);
    (void)written; /* a lost line fails the test that reads them */
    close(fd);
}

static int traced_sync(int fd, int rc) {
    char path[PATH_MAX];
    if (trace_path) fd_path(fd, path, sizeof path);
    trace(rc, "sync", path, NULL);
    return rc;
}

static int traced_rename(int fromdir, const char *from, int todir, const char *to, int rc) {
    char a[PATH_MAX], b[PATH_MAX];
    if (trace_path) {
        at_path(fromdir, from, a, sizeof a);
        at_path(todir, to, b, sizeof b);
    }
    trace(rc, "rename", a, b);
    return rc;
}

ssize_t write(int fd, const void *buf, size_t n) {
    step();
    return NEXT(write)(fd, buf, n);
}

int fsync(int fd) {
    step();
    return traced_sync(fd, NEXT(fsync)(fd));
}

int fdatasync(int fd) {
    step();
    return traced_sync(fd, NEXT(fdatasync)(fd));
}

int rename(const char *from, const char *to) {
    step();
    return traced_rename(AT_FDCWD, from, AT_FDCWD, to, NEXT(rename)(from, to));
}

int renameat(int fromdir, const char *from, int todir, const char *to) {
    step();
    return traced_rename(fromdir, from, todir, to, NEXT(renameat)(fromdir, from, todir, to));
}

int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned flags) {
    step();
    return traced_rename(fromdir, from, todir, to,
                         NEXT(renameat2)(fromdir, from, todir, to, flags));
}

int unlink(const char *path) {
    step();
    return NEXT(unlink)(path);
}

int unlinkat(int dir, const char *path, int flags) {
    step();
    return NEXT(unlinkat)(dir, path, flags);
}

int fchmod(int fd, mode_t mode) {
    step();
    return NEXT(fchmod)(fd, mode);
}

int fchown(int fd, uid_t uid, gid_t gid) {
    step();
    return NEXT(fchown)(fd, uid, gid);
}
