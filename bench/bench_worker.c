/* A sleeping process for the viewer benchmark: N threads in all (the main one included), each
 * blocked for good, so that every pass reads the same population. Prints "ready" once all
 * threads exist; dies with its parent so that an interrupted benchmark leaves nothing behind. */
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

static void *sleeper(void *arg) {
    (void)arg;
    for (;;)
        pause();
    return NULL;
}

int main(int argc, char **argv) {
    pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) return 1;
    long n = argc > 1 ? strtol(argv[1], NULL, 10) : 50;
    if (n < 1 || n > 10000) {
        fputs("usage: bench_worker <threads>\n", stderr);
        return 2;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    /* The threads only sleep: the smallest stack keeps 10,000 of them cheap. */
    pthread_attr_setstacksize(&attr, PTHREAD_STACK_MIN > 65536 ? PTHREAD_STACK_MIN : 65536);
    for (long i = 1; i < n; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, sleeper, NULL) != 0) {
            perror("pthread_create");
            return 1;
        }
    }
    puts("ready");
    fflush(stdout);
    for (;;)
        pause();
}
