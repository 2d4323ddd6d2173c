/* Stand-in for the outside statistics command: records how it was started, then behaves like a
 * command with output and a status of its own, so tests can tell that the caller got both.
 *
 * The record goes to a fixed path (the starter passes no environment to configure it): fields
 * separated by NUL bytes: pid, ppid, real uid, effective uid, argc, the argv entries, the number
 * of environment entries, the environment entries. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char **environ;

#define RECORD_PATH "/var/ryxinfo/record"

static void field(FILE *f, const char *s) {
    fwrite(s, 1, strlen(s) + 1, f);
}

static void number(FILE *f, long n) {
    char buf[32];
    snprintf(buf, sizeof buf, "%ld", n);
    field(f, buf);
}

int main(int argc, char **argv) {
    FILE *f = fopen(RECORD_PATH, "w");
    if (!f) {
        perror(RECORD_PATH);
        return 99;
    }
    number(f, (long)getpid());
    number(f, (long)getppid());
    number(f, (long)getuid());
    number(f, (long)geteuid());
    number(f, argc);
    for (int i = 0; i < argc; i++)
        field(f, argv[i]);
    long envc = 0;
    while (environ[envc])
        envc++;
    number(f, envc);
    for (long i = 0; i < envc; i++)
        field(f, environ[i]);
    if (fclose(f) != 0) return 99;
    fputs("ryxinfo-stdout\n", stdout);
    fputs("ryxinfo-stderr\n", stderr);
    return 7;
}
