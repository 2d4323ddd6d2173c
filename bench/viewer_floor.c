/* The least a viewer pass can do: open and read, with raw openat/read/close and no parsing, only
 * what the output depends on. status and cgroup of every thread (the container is not in
 * status here), cmdline, statm and stat of the threads of listed containers, which the caller
 * names by pid since telling them apart is the parsing this program leaves out.
 *
 * Usage: viewer_floor [pid...]   (the processes whose threads belong to listed containers) */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MAX_PID (1 << 22) /* the kernel's ceiling for pid_max */

static unsigned char listed[MAX_PID / 8];
static char buf[4096];

/* One read: every source here fits the buffer, and a short read from these files is all of it. */
static void slurp(int dir, const char *path, size_t size) {
    int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (read(fd, buf, size) < 0) buf[0] = 0;
    close(fd);
}

static void thread(int task, const char *tid, int in_list) {
    char path[64];
    size_t n = strlen(tid);
    if (n > 40) return;
    memcpy(path, tid, n);
    strcpy(path + n, "/status");
    slurp(task, path, sizeof buf);
    strcpy(path + n, "/cgroup");
    slurp(task, path, sizeof buf);
    if (!in_list) return;
    strcpy(path + n, "/cmdline");
    slurp(task, path, 255);
    strcpy(path + n, "/statm");
    slurp(task, path, sizeof buf);
    strcpy(path + n, "/stat");
    slurp(task, path, sizeof buf);
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        long pid = strtol(argv[i], NULL, 10);
        if (pid > 0 && pid < MAX_PID) listed[pid / 8] |= (unsigned char)(1u << (pid % 8));
    }
    DIR *proc = opendir("/proc");
    if (!proc) return 1;
    struct dirent *de;
    while ((de = readdir(proc))) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9') continue;
        long pid = strtol(de->d_name, NULL, 10);
        int in_list = pid > 0 && pid < MAX_PID && (listed[pid / 8] >> (pid % 8) & 1);
        char path[64];
        if (strlen(de->d_name) > 40) continue;
        strcpy(path, de->d_name);
        strcat(path, "/task");
        int task = openat(dirfd(proc), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (task < 0) continue;
        DIR *tasks = fdopendir(task);
        if (!tasks) {
            close(task);
            continue;
        }
        struct dirent *te;
        while ((te = readdir(tasks)))
            if (te->d_name[0] >= '1' && te->d_name[0] <= '9') thread(task, te->d_name, in_list);
        closedir(tasks);
    }
    closedir(proc);
    return 0;
}
