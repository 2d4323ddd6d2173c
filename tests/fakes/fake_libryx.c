/* A recording stand-in for libryx, for tests only: same SONAME, same symbol versions, results
 * scripted through the environment, every call logged with its arguments.
 *
 * Load it ahead of the real library (LD_PRELOAD or LD_LIBRARY_PATH). Settings, all optional:
 *   RYX_FAKE_LOG=<file>            append one line per call: "<function> <args> -> <result>"
 *   RYX_FAKE_INIT_ERRNO=<n>        init_ryx fails with errno n
 *   RYX_FAKE_INFO_<id>=<rc>[:<cpu>[:<flags>]]  ryx_info on id (default -3, no such container)
 *   RYX_FAKE_MOVE=<rc>             ryx_ryk_move (default 0)
 *   RYX_FAKE_SETUP=<rc>            ryx_setup (default 0)
 *   RYX_FAKE_VERIFY=<rc>           ryz_map_verify_ownership (default 1)
 *   RYX_FAKE_LOOKUP=<id>           ryz_map_lookup (default 0)
 *   RYX_FAKE_ASSIGN=<rc>[:<id>]    ryz_map_assign, id stored only when given (default 0)
 *   RYX_FAKE_REMOVE=<rc>[:<id>]    ryz_map_remove, id stored only when given (default 0)
 *   RYX_FAKE_REMOVE_ALL=<rc>       ryz_map_remove_all (default 0)
 *   RYX_FAKE_ENTRIES_<uid>=<hex docroot>=<id>,...  iterator entries; unset: no iterator (NULL);
 *                                  empty: an iterator with no entries
 *   RYX_FAKE_ID_MIN=<n>            ryz_get_id_min (default 60000)
 *   RYX_FAKE_REBUILD=<rc>          ryz_index_rebuild (default 0)
 * Docroots are logged in hex so that any bytes survive the log. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ryx/ryx-ctl.h>
#include <ryx/ryz-map.h>

struct libryx {
    libryx_free dealloc;
    int serial;
};

struct ryz_map_iter {
    int serial;
    char *entries; /* RYX_FAKE_ENTRIES_<uid>: "<hex>=<id>,..."; pos walks it */
    char *pos;
    char docroot[4096];
};

static int iter_serial;

static void logf_(const char *fmt, ...) {
    const char *path = getenv("RYX_FAKE_LOG");
    if (!path) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

static const char *hex(const char *s, char *buf, size_t size) {
    size_t n = 0;
    if (!s) return "(null)";
    for (; *s && n + 3 < size; s++, n += 2)
        snprintf(buf + n, size - n, "%02x", (unsigned char)*s);
    buf[n] = '\0';
    return buf;
}

/* Parses "<a>[:<b>[:<c>]]" from variable name; returns the number of fields found. */
static int scripted(const char *name, long long *a, long long *b, long long *c) {
    const char *v = getenv(name);
    if (!v || !*v) return 0;
    char *end;
    *a = strtoll(v, &end, 10);
    if (*end != ':') return 1;
    *b = strtoll(end + 1, &end, 10);
    if (*end != ':') return 2;
    *c = strtoll(end + 1, &end, 10);
    return 3;
}

static int result_of(const char *name, int dflt) {
    long long a, b, c;
    return scripted(name, &a, &b, &c) ? (int)a : dflt;
}

libryx *init_ryx(libryx_alloc alloc, libryx_free dealloc) {
    long long e, b, c;
    if (scripted("RYX_FAKE_INIT_ERRNO", &e, &b, &c)) {
        logf_("init_ryx -> NULL errno=%lld", e);
        errno = (int)e;
        return NULL;
    }
    libryx *h = alloc(sizeof *h);
    if (!h) {
        errno = ENOMEM;
        return NULL;
    }
    h->dealloc = dealloc;
    h->serial = 1;
    logf_("init_ryx -> handle");
    return h;
}

int destroy_ryx(libryx *h) {
    logf_("destroy_ryx %s", h ? "handle" : "NULL");
    if (h) h->dealloc(h);
    return 0;
}

int ryx_info(libryx *h, uint32_t id, libryx_info *info) {
    (void)h;
    char name[64];
    long long rc = -ESRCH, cpu = 0, flags = 0;
    snprintf(name, sizeof name, "RYX_FAKE_INFO_%u", id);
    int n = scripted(name, &rc, &cpu, &flags);
    int zeroed = 1;
    for (size_t i = 0; i < sizeof *info; i++)
        zeroed &= ((const unsigned char *)info)[i] == 0;
    if (n >= 1 && rc == 0) {
        info->li_set.ls_cpu = (int32_t)cpu;
        info->li_flags = (libryx_ve_flags)flags;
    }
    logf_("ryx_info %u zeroed=%d -> %lld", id, zeroed, rc);
    return (int)rc;
}

int ryx_ryk_move(libryx *h, uint32_t id, uint32_t ryk_id) {
    (void)h;
    int rc = result_of("RYX_FAKE_MOVE", 0);
    logf_("ryx_ryk_move %u %u -> %d", id, ryk_id, rc);
    return rc;
}

int ryx_setup(libryx *h, uint32_t id, const libryx_settings *s) {
    (void)h;
    int rc = result_of("RYX_FAKE_SETUP", 0);
    logf_("ryx_setup %u cpu=%d cpus=%d io=%d enters=%d memory=%d cpu_weight=%d memory_phy=%d "
          "nproc=%d iops=%d -> %d",
          id, s->ls_cpu, s->ls_cpus, s->ls_io, s->ls_enters, s->ls_memory, s->ls_cpu_weight,
          s->ls_memory_phy, s->ls_nproc, s->ls_iops, rc);
    return rc;
}

int ryz_map_verify_ownership(uid_t uid, uint32_t id) {
    int rc = result_of("RYX_FAKE_VERIFY", 1);
    logf_("ryz_map_verify_ownership %u %u -> %d", uid, id, rc);
    return rc;
}

uint32_t ryz_map_lookup(uid_t uid, const char *docroot) {
    char buf[8192];
    long long v = 0, b, c;
    scripted("RYX_FAKE_LOOKUP", &v, &b, &c);
    logf_("ryz_map_lookup %u %s -> %u", uid, hex(docroot, buf, sizeof buf), (uint32_t)v);
    return (uint32_t)v;
}

static int change(const char *fn, const char *var, uid_t uid, const char *docroot, uint32_t *id) {
    char buf[8192];
    long long rc = 0, v = 0, c;
    int n = scripted(var, &rc, &v, &c);
    uint32_t before = *id;
    if (n >= 2) *id = (uint32_t)v;
    logf_("%s %u %s preset=%u -> %lld", fn, uid, hex(docroot, buf, sizeof buf), before, rc);
    return (int)rc;
}

int ryz_map_assign(uid_t uid, const char *docroot, uint32_t *id) {
    return change("ryz_map_assign", "RYX_FAKE_ASSIGN", uid, docroot, id);
}

int ryz_map_remove(uid_t uid, const char *docroot, uint32_t *old_id) {
    return change("ryz_map_remove", "RYX_FAKE_REMOVE", uid, docroot, old_id);
}

int ryz_map_remove_all(uid_t uid) {
    int rc = result_of("RYX_FAKE_REMOVE_ALL", 0);
    logf_("ryz_map_remove_all %u -> %d", uid, rc);
    return rc;
}

ryz_map_iter *ryz_map_iter_open(uid_t uid) {
    char name[64];
    snprintf(name, sizeof name, "RYX_FAKE_ENTRIES_%u", uid);
    const char *v = getenv(name);
    if (!v) {
        logf_("ryz_map_iter_open %u -> NULL", uid);
        return NULL;
    }
    ryz_map_iter *it = calloc(1, sizeof *it);
    if (!it) return NULL;
    it->serial = ++iter_serial;
    it->entries = strdup(v);
    it->pos = it->entries;
    logf_("ryz_map_iter_open %u -> iter%d", uid, it->serial);
    return it;
}

static int unhex(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

int ryz_map_iter_next(ryz_map_iter *it, const char **docroot, uint32_t *id) {
    if (!it->pos || !*it->pos) {
        logf_("ryz_map_iter_next iter%d -> 1", it->serial);
        return 1;
    }
    size_t n = 0;
    char *p = it->pos;
    while (unhex(p[0]) >= 0 && unhex(p[1]) >= 0 && n + 1 < sizeof it->docroot) {
        it->docroot[n++] = (char)(unhex(p[0]) * 16 + unhex(p[1]));
        p += 2;
    }
    it->docroot[n] = '\0';
    if (*p == '=') p++;
    *id = (uint32_t)strtoull(p, &p, 10);
    if (*p == ',') p++;
    it->pos = p;
    *docroot = it->docroot;
    logf_("ryz_map_iter_next iter%d -> 0 id=%u", it->serial, *id);
    return 0;
}

void ryz_map_iter_close(ryz_map_iter *it) {
    logf_("ryz_map_iter_close iter%d", it ? it->serial : 0);
    if (it) {
        free(it->entries);
        free(it);
    }
}

uint32_t ryz_fnv1a(const char *docroot) {
    uint32_t h = 2166136261u;
    for (const unsigned char *p = (const unsigned char *)docroot; *p; p++) {
        h ^= *p;
        h *= 16777619u;
    }
    return h;
}

uint32_t ryz_get_id_min(void) {
    long long v = 60000, b, c;
    scripted("RYX_FAKE_ID_MIN", &v, &b, &c);
    logf_("ryz_get_id_min -> %u", (uint32_t)v);
    return (uint32_t)v;
}

int ryz_index_rebuild(void) {
    int rc = result_of("RYX_FAKE_REBUILD", 0);
    logf_("ryz_index_rebuild -> %d", rc);
    return rc;
}
