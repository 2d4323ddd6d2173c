/* A fake clock for tests of interval mode, loaded with LD_PRELOAD: every sleep() lasts exactly
 * the requested seconds on the fake clocks, takes no real time, and runs a hook first, so that
 * a test can put the second sample in place "during" the interval.
 *
 * Settings, all optional:
 *   RYX_FAKE_CLOCK=<sec>[.<nsec>]  start of the fake CLOCK_REALTIME (default 1500000000.0);
 *                                  other clocks are left alone
 *   RYX_FAKE_SLEEP_HOOK=<command>  run with /bin/sh at every sleep(), before the clocks
 *                                  advance; RYX_FAKE_SLEEPS holds the sleep's number (1, 2, ...)
 *   RYX_FAKE_SLEEP_REAL_MS=<n>     really wait n ms per sleep() (for full-screen tests that
 *                                  should not spin)
 *   RYX_FAKE_TSC=<start>           fake the time-stamp counter too: the process is made to
 *                                  fault on RDTSC/RDTSCP (PR_SET_TSC) and a SIGSEGV handler
 *                                  emulates them; sanitizer runs need ASAN_OPTIONS handle_segv=0.
 *                                  Where the machine ignores the trap, the program ends at
 *                                  start-up with status 77 and a message saying so
 *   RYX_FAKE_TSC_PROGRAM=<name>    arm that trap only in the program of this name (its
 *                                  argv[0] without directories), not in the launchers that
 *                                  lead up to it; the trap survives execve, and a program's
 *                                  loader reads the counter before any preload can install a
 *                                  handler. Unset: every process arms it.
 *   RYX_FAKE_TSC_HZ=<n>            counter cycles per fake second (default 1000000000)
 *
 * An armed trap is never handed on: it is disarmed around every execve and spawned hook.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <x86intrin.h>

static struct timespec fake_now = {1500000000, 0};
static uint64_t fake_tsc;
static uint64_t tsc_hz = 1000000000ull;
static int tsc_faked;
static unsigned sleeps;
extern char **environ;
static volatile sig_atomic_t tsc_trapped;

static void parse_clock(const char *text) {
    char *end;
    fake_now.tv_sec = (time_t)strtoll(text, &end, 10);
    fake_now.tv_nsec = 0;
    if (*end == '.') {
        /* fraction digits, padded to nanoseconds */
        long ns = 0;
        int digits = 0;
        for (const char *p = end + 1; *p >= '0' && *p <= '9' && digits < 9; ++p, ++digits)
            ns = ns * 10 + (*p - '0');
        for (; digits < 9; ++digits)
            ns *= 10;
        fake_now.tv_nsec = ns;
    }
}

static void emulate_tsc(int sig, siginfo_t *info, void *ctx_arg) {
    ucontext_t *ctx = ctx_arg;
    const unsigned char *ip = (const unsigned char *)ctx->uc_mcontext.gregs[REG_RIP];
    (void)info;
    if (ip[0] == 0x0f && ip[1] == 0x31) { /* rdtsc */
        ctx->uc_mcontext.gregs[REG_RIP] += 2;
    } else if (ip[0] == 0x0f && ip[1] == 0x01 && ip[2] == 0xf9) { /* rdtscp */
        ctx->uc_mcontext.gregs[REG_RCX] = 0;
        ctx->uc_mcontext.gregs[REG_RIP] += 3;
    } else {
        /* a real fault: let it happen again without us */
        signal(sig, SIG_DFL);
        return;
    }
    tsc_trapped = 1;
    ctx->uc_mcontext.gregs[REG_RAX] = (greg_t)(fake_tsc & 0xffffffffu);
    ctx->uc_mcontext.gregs[REG_RDX] = (greg_t)(fake_tsc >> 32);
}

__attribute__((constructor)) static void fake_clock_init(void) {
    const char *v = getenv("RYX_FAKE_CLOCK");
    if (v && *v) parse_clock(v);
    v = getenv("RYX_FAKE_TSC_HZ");
    if (v && *v) tsc_hz = strtoull(v, NULL, 10);
    v = getenv("RYX_FAKE_TSC");
    const char *only = getenv("RYX_FAKE_TSC_PROGRAM");
    if (v && *v && (!only || strcmp(only, program_invocation_short_name) == 0)) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = emulate_tsc;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        fake_tsc = strtoull(v, NULL, 10);
        if (sigaction(SIGSEGV, &sa, NULL) != 0 || prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0) != 0) {
            fprintf(stderr, "fake_clock: cannot trap the time-stamp counter: %s\n",
                    strerror(errno));
            _exit(125);
        }
        /* Some hypervisors ignore the trap request: then the counter cannot be faked, and
         * the test must be told rather than see real cycles. */
        (void)__rdtsc();
        if (!tsc_trapped) {
            fputs("fake_clock: the time-stamp counter cannot be trapped here\n", stderr);
            _exit(77);
        }
        tsc_faked = 1;
    }
}

int execve(const char *path, char *const argv[], char *const envp[]) {
    static int (*real)(const char *, char *const[], char *const[]);
    if (!real)
        real = (int (*)(const char *, char *const[], char *const[]))dlsym(RTLD_NEXT, "execve");
    if (tsc_faked) prctl(PR_SET_TSC, PR_TSC_ENABLE, 0, 0, 0);
    int rc = real(path, argv, envp);
    int err = errno;
    if (tsc_faked) prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0);
    errno = err;
    return rc;
}

int clock_gettime(clockid_t clk, struct timespec *ts) {
    static int (*real)(clockid_t, struct timespec *);
    if (clk == CLOCK_REALTIME) {
        *ts = fake_now;
        return 0;
    }
    if (!real) real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    return real(clk, ts);
}

/* Not system(): that ignores SIGINT in the caller while the hook runs, and a Ctrl-C meant for
 * the program under test would be lost. */
static int run_hook(const char *hook) {
    char *argv[] = {"sh", "-c", (char *)hook, NULL};
    pid_t pid;
    int status;
    if (posix_spawn(&pid, "/bin/sh", NULL, NULL, argv, environ) != 0) return -1;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

unsigned int sleep(unsigned int seconds) {
    const char *hook = getenv("RYX_FAKE_SLEEP_HOOK");
    const char *real_ms = getenv("RYX_FAKE_SLEEP_REAL_MS");
    char count[24];
    ++sleeps;
    if (hook && *hook) {
        snprintf(count, sizeof count, "%u", sleeps);
        setenv("RYX_FAKE_SLEEPS", count, 1);
        /* the hook's programs must not inherit a faulting counter */
        if (tsc_faked) prctl(PR_SET_TSC, PR_TSC_ENABLE, 0, 0, 0);
        if (run_hook(hook) != 0) fprintf(stderr, "fake_clock: sleep hook failed: %s\n", hook);
        if (tsc_faked) prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0);
    }
    if (real_ms && *real_ms) {
        long ms = strtol(real_ms, NULL, 10);
        struct timespec d = {ms / 1000, (ms % 1000) * 1000000};
        while (nanosleep(&d, &d) != 0 && errno == EINTR)
            ;
    }
    fake_now.tv_sec += seconds;
    fake_tsc += (uint64_t)seconds * tsc_hz;
    return 0;
}
