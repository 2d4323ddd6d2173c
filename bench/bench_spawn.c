/* Times whole program runs: from spawning to reaping, with the child's own CPU time and peak
 * resident size from wait4. Standard output goes to /dev/null, as a pass's printing is measured
 * and not its terminal.
 *
 * Usage: bench_spawn [-n runs] [-u uid] [-p dir] [-o file] [-N nice] -- program [arg...]
 *   -p dir   run the program with dir bind-mounted over /proc (in a mount namespace of its own,
 *            set up before the clock starts)
 *   -o file  the program's standard output ("-": this program's own) instead of /dev/null
 *   -N nice  run it at this nice value (-20: other load on a shared machine disturbs less)
 * One line per run on standard error: "<wall s> <user s> <system s> <peak rss KiB> <status>". */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <grp.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double seconds(struct timeval tv) {
    return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

int main(int argc, char **argv) {
    long runs = 1, uid = -1;
    const char *proc = NULL, *out = "/dev/null";
    int opt, nice_value = 0, set_nice = 0;
    while ((opt = getopt(argc, argv, "+n:u:p:o:N:")) != -1) {
        if (opt == 'n')
            runs = strtol(optarg, NULL, 10);
        else if (opt == 'u')
            uid = strtol(optarg, NULL, 10);
        else if (opt == 'p')
            proc = optarg;
        else if (opt == 'o')
            out = optarg;
        else if (opt == 'N') {
            nice_value = (int)strtol(optarg, NULL, 10);
            set_nice = 1;
        } else
            return 2;
    }
    if (optind >= argc || runs < 1) {
        fputs("usage: bench_spawn [-n runs] [-u uid] -- program [arg...]\n", stderr);
        return 2;
    }
    if (proc &&
        (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
         mount(proc, "/proc", NULL, MS_BIND | MS_REC, NULL) != 0)) {
        perror("bench_spawn: /proc");
        return 1;
    }
    if (set_nice && setpriority(PRIO_PROCESS, 0, nice_value) != 0) {
        perror("bench_spawn: setpriority");
        return 1;
    }
    /* Both sides of a comparison run as the same user, so the drop happens here, once. */
    if (uid > 0 && (setgroups(0, NULL) != 0 || setresgid((gid_t)uid, (gid_t)uid, (gid_t)uid) != 0 ||
                    setresuid((uid_t)uid, (uid_t)uid, (uid_t)uid) != 0)) {
        perror("bench_spawn: setresuid");
        return 1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (strcmp(out, "-") != 0)
        posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (long i = 0; i < runs; ++i) {
        struct timespec t0, t1;
        pid_t pid;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        int rc = posix_spawn(&pid, argv[optind], &fa, NULL, argv + optind, environ);
        if (rc != 0) {
            fprintf(stderr, "bench_spawn: %s: cannot start\n", argv[optind]);
            return 1;
        }
        int status;
        struct rusage ru;
        if (wait4(pid, &status, 0, &ru) != pid) {
            perror("bench_spawn: wait4");
            return 1;
        }
        clock_gettime(CLOCK_MONOTONIC, &t1);
        double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
        fprintf(stderr, "%.6f %.6f %.6f %ld %d\n", wall, seconds(ru.ru_utime), seconds(ru.ru_stime),
                ru.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    return 0;
}
