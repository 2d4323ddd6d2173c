/* A storm of short processes that become a tenant's, each timing how long it runs before ryxd
 * has put it into its container: for the placement test and benchmark.
 *
 *   placement_storm --uid U --count N --rate R --expect TEXT [--setpriv PATH] [--timeout S]
 *
 * Run as root. Every child of this root process becomes uid U by one of three routes, in turn:
 * setresuid() alone (a uid event, as a pool master's worker), setresuid() then exec (an exec
 * event), and exec of setpriv(1), which drops to U and execs the probe (as a service's start
 * script would). The child then reads /proc/self/cgroup until a line ends in TEXT (say
 * "/ryx1000/ryx1000"), and reports the time from just before its uid change or exec to then.
 * Prints one line: "started N landed M p50_ms X p99_ms Y max_ms Z" (landed: within timeout). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int landed(const char *expect) {
    char buf[8192];
    int fd = open("/proc/self/cgroup", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    size_t len = strlen(expect);
    for (char *line = strtok(buf, "\n"); line; line = strtok(NULL, "\n")) {
        size_t l = strlen(line);
        if (l >= len && strcmp(line + l - len, expect) == 0) return 1;
    }
    return 0;
}

/* Waits to be placed, then writes the latency (ns, or -1 when timed out) to fd. */
static int probe(int fd, int64_t t0, const char *expect, double timeout) {
    const int64_t limit = t0 + (int64_t)(timeout * 1e9);
    int64_t result = -1;
    for (;;) {
        if (landed(expect)) {
            result = now_ns() - t0;
            break;
        }
        if (now_ns() > limit) break;
        struct timespec pause = {
            0, 1000000}; /* 1 ms: finer would load the processors the daemon needs */
        nanosleep(&pause, NULL);
    }
    char line[32];
    int len = snprintf(line, sizeof line, "%lld\n", (long long)result);
    return write(fd, line, (size_t)len) == len ? 0 : 1;
}

static int cmp(const void *a, const void *b) {
    int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
    if (argc == 6 && strcmp(argv[1], "--probe") == 0) /* --probe FD T0 EXPECT TIMEOUT */
        return probe(atoi(argv[2]), strtoll(argv[3], NULL, 10), argv[4], atof(argv[5]));
    unsigned uid = 0;
    int count = 100;
    double rate = 100, timeout = 10;
    const char *expect = NULL, *setpriv = "/usr/bin/setpriv";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--uid"))
            uid = (unsigned)strtoul(argv[i + 1], NULL, 10);
        else if (!strcmp(argv[i], "--count"))
            count = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--rate"))
            rate = atof(argv[i + 1]);
        else if (!strcmp(argv[i], "--expect"))
            expect = argv[i + 1];
        else if (!strcmp(argv[i], "--setpriv"))
            setpriv = argv[i + 1];
        else if (!strcmp(argv[i], "--timeout"))
            timeout = atof(argv[i + 1]);
        else
            return fprintf(stderr, "placement_storm: unknown option %s\n", argv[i]), 2;
    }
    if (!uid || !expect || count <= 0 || rate <= 0) {
        fputs("usage: placement_storm --uid U --count N --rate R --expect TEXT [--setpriv PATH] "
              "[--timeout S]\n",
              stderr);
        return 2;
    }
    int p[2];
    if (pipe(p) != 0) return perror("pipe"), 1;
    char self[4096];
    ssize_t sl = readlink("/proc/self/exe", self, sizeof self - 1);
    if (sl <= 0) return perror("readlink"), 1;
    self[sl] = '\0';
    char fdtext[16], uidtext[16], timeouttext[32];
    snprintf(fdtext, sizeof fdtext, "%d", p[1]);
    snprintf(uidtext, sizeof uidtext, "%u", uid);
    snprintf(timeouttext, sizeof timeouttext, "%g", timeout);
    const int64_t start = now_ns(), step = (int64_t)(1e9 / rate);
    int started = 0;
    for (int i = 0; i < count; ++i) {
        int64_t due = start + i * step;
        while (now_ns() < due) {
            struct timespec pause = {0, 50000};
            nanosleep(&pause, NULL);
        }
        pid_t pid = fork();
        if (pid < 0) break;
        if (pid == 0) {
            close(p[0]);
            /* The probes poll: idle priority keeps them from delaying the daemon they time. */
            struct sched_param none = {0};
            sched_setscheduler(0, SCHED_IDLE, &none);
            char t0[32];
            int64_t t = now_ns();
            snprintf(t0, sizeof t0, "%lld", (long long)t);
            switch (i % 3) {
            case 0:
                if (setresgid(uid, uid, uid) || setresuid(uid, uid, uid)) _exit(1);
                _exit(probe(p[1], t, expect, timeout));
            case 1:
                if (setresgid(uid, uid, uid) || setresuid(uid, uid, uid)) _exit(1);
                execl(self, self, "--probe", fdtext, t0, expect, timeouttext, (char *)NULL);
                _exit(127);
            default: {
                char reuid[32], regid[32];
                snprintf(reuid, sizeof reuid, "--reuid=%s", uidtext);
                snprintf(regid, sizeof regid, "--regid=%s", uidtext);
                execl(setpriv, setpriv, reuid, regid, "--clear-groups", self, "--probe", fdtext, t0,
                      expect, timeouttext, (char *)NULL);
                _exit(127);
            }
            }
        }
        ++started;
        /* Reap what has finished, so that the storm never holds thousands of zombies. */
        while (waitpid(-1, NULL, WNOHANG) > 0) {
        }
    }
    close(p[1]);
    int64_t *lat = calloc((size_t)started + 1, sizeof *lat);
    int got = 0, ok = 0;
    FILE *in = fdopen(p[0], "r");
    long long v;
    while (in && got < started && fscanf(in, "%lld", &v) == 1) {
        if (v >= 0) lat[ok++] = v;
        ++got;
    }
    while (wait(NULL) > 0) {
    }
    qsort(lat, (size_t)ok, sizeof *lat, cmp);
    double p50 = ok ? lat[(ok - 1) / 2] / 1e6 : -1, p99 = ok ? lat[(ok * 99 - 1) / 100] / 1e6 : -1,
           max = ok ? lat[ok - 1] / 1e6 : -1;
    printf("started %d landed %d p50_ms %.2f p99_ms %.2f max_ms %.2f\n", started, ok, p50, p99,
           max);
    free(lat);
    return 0;
}
