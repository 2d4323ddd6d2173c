/* Preloaded into a registry writer: ends the process, as a kill would, right before its Nth
 * change to the file system (RYX_CRASH_AT=N, counted from 1). Without the variable it only
 * passes calls on. The test walks N upwards until the writer gets through, so that every point
 * of a change is a crash point once. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define CRASHED 99

static long crash_at = -1;
static long steps;

__attribute__((constructor)) static void crash_at_init(void) {
    const char *v = getenv("RYX_CRASH_AT");
    if (v && *v) crash_at = strtol(v, NULL, 10);
}

static void step(void) {
    if (crash_at > 0 && ++steps == crash_at) _exit(CRASHED);
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void *buf, size_t n) {
    step();
    return NEXT(write)(fd, buf, n);
}

int fsync(int fd) {
    step();
    return NEXT(fsync)(fd);
}

int fdatasync(int fd) {
    step();
    return NEXT(fdatasync)(fd);
}

int rename(const char *from, const char *to) {
    step();
    return NEXT(rename)(from, to);
}

int renameat(int fromdir, const char *from, int todir, const char *to) {
    step();
    return NEXT(renameat)(fromdir, from, todir, to);
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
