/* Where the containers' control-group tree is: the record ryxd keeps in RYX_CGROUP_RECORD, one
 * line per hierarchy, "<v1|v2> <controller,...|-> <root>". libryx writes it; libryx, the
 * sampler and the limits helper read it through this one reader. Header-only, C-compatible and
 * free of any runtime, so that the set-user-ID helpers use it too; the reader believes the
 * record only when it and its directory are root's and writable by root alone. */
#ifndef RYX_CGROUP_RECORD_H
#define RYX_CGROUP_RECORD_H

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define RYX_CGROUP_RECORD "/run/ryx/cgroup"
#define RYX_CGROUP_RECORD_MAX 65536

struct ryx_record_line {
    int v2;                /* the unified hierarchy; else a v1 one */
    char controllers[256]; /* comma-separated, or "-" */
    char root[4096];       /* the tree's root group in that hierarchy, absolute */
};

/* Root's alone: owner root, neither group nor others may write. */
static inline int ryx_record_trusted(const struct stat *st) {
    return st->st_uid == 0 && (st->st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

/* Reads the record at path into buf (NUL-terminated): its length, 0 when there is none, -1 when
 * it cannot be read, is no regular file, or is not root's alone (nor its directory). */
static inline long ryx_record_read(const char *path, char *buf, size_t size) {
    char dir[4096];
    const char *slash = strrchr(path, '/');
    struct stat st;
    size_t dlen = slash ? (size_t)(slash - path) : 0;
    if (!slash || dlen == 0 || dlen >= sizeof dir || size == 0) return -1;
    memcpy(dir, path, dlen);
    dir[dlen] = '\0';
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    long got = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ryx_record_trusted(&st) &&
        stat(dir, &st) == 0 && ryx_record_trusted(&st)) {
        while ((size_t)got < size - 1) {
            ssize_t n = read(fd, buf + got, size - 1 - (size_t)got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
        buf[got] = '\0';
    } else {
        got = -1;
    }
    close(fd);
    return got;
}

/* The line at *text, which then moves past it: 1 with out filled, 0 at the end, -1 for a line
 * that is not "<v1|v2> <controllers> </root>" or does not fit. */
static inline int ryx_record_next(const char **text, struct ryx_record_line *out) {
    const char *p = *text;
    while (*p == '\n')
        ++p;
    if (!*p) {
        *text = p;
        return 0;
    }
    const char *nl = strchr(p, '\n');
    const char *end = nl ? nl : p + strlen(p);
    *text = end;
    const char *a = (const char *)memchr(p, ' ', (size_t)(end - p));
    const char *b = a ? (const char *)memchr(a + 1, ' ', (size_t)(end - a - 1)) : 0;
    if (!b || a - p != 2 || p[0] != 'v' || (p[1] != '1' && p[1] != '2') || b[1] != '/') return -1;
    if ((size_t)(b - a - 1) >= sizeof out->controllers || (size_t)(end - b - 1) >= sizeof out->root)
        return -1;
    out->v2 = p[1] == '2';
    memcpy(out->controllers, a + 1, (size_t)(b - a - 1));
    out->controllers[b - a - 1] = '\0';
    memcpy(out->root, b + 1, (size_t)(end - b - 1));
    out->root[end - b - 1] = '\0';
    return 1;
}

#endif
