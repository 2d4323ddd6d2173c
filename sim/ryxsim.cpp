// ryxsim: runs a command on a simulated host whose kernel confines users in RYX containers.
//
// A private mount namespace gets a /proc holding the container lists and per-thread files of the
// scenario, /etc, /usr, /opt and /var overlaid with the scenario's users, the statistics command
// and its flag file, and writes to those trees land in a scratch directory. A background updater
// advances the counters every tick and follows what the real libryx records in the registry and
// the container state, so that domains assigned and limited inside show up in the lists.
#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <ryx/ryx-ctl.h>
#include <ryx/ryz-map.h>

#include "backend.h"
#include "files.h"
#include "model.h"
#include "publisher.h"
#include "scenario.h"

#ifndef RYXSIM_STATE_DIR
#define RYXSIM_STATE_DIR "/var/lib/ryx/containers"
#endif
#ifndef RYXSIM_RYXCTL
#define RYXSIM_RYXCTL ""
#endif
#ifndef RYXSIM_RYXPS
#define RYXSIM_RYXPS ""
#endif
#ifndef RYXSIM_RYZ_LIMITS_HELPER
#define RYXSIM_RYZ_LIMITS_HELPER ""
#endif
#ifndef RYXSIM_RYZ_REGISTRY_HELPER
#define RYXSIM_RYZ_REGISTRY_HELPER ""
#endif
#ifndef RYXSIM_RYZ_STATS_HELPER
#define RYXSIM_RYZ_STATS_HELPER ""
#endif
#ifndef RYXSIM_LIBRYX
#define RYXSIM_LIBRYX ""
#endif
#ifndef RYXSIM_LIBDIR
#define RYXSIM_LIBDIR "/usr/lib"
#endif

#if defined(__SANITIZE_ADDRESS__)
#define RYXSIM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RYXSIM_SANITIZED 1
#endif
#endif

namespace {

using namespace ryxsim;

const char kRegistryDir[] = "/etc/container/ryz_ids";
const char kHistory[] = "/var/lib/ryxsim/history";
const char kFlagFile[] =
    "/opt/tavrenox/flags/available-flags.d/ryxstats-supports-domain-ryx-limits.flag";
const char *const kOverlaid[] = {"etc", "usr", "opt", "var"};

volatile sig_atomic_t g_forward_to = 0;

void forward_signal(int sig) {
    if (g_forward_to > 0) kill(static_cast<pid_t>(g_forward_to), sig == SIGHUP ? SIGHUP : SIGTERM);
}

void usage(FILE *to) {
    fputs("usage: ryxsim [-f <scenario>] [-S <seed>] [-t <seconds>] [-r <dir>] [--ready <file>]\n"
          "              [--] [command [argument...]]\n"
          "       ryxsim --print-scenario\n"
          "  -f, --scenario FILE  the host to simulate (default: the built-in scenario)\n"
          "  -S, --seed N         seed of the load generator (default: the scenario's)\n"
          "  -t, --tick SECONDS   how often the counters advance (default: the scenario's)\n"
          "  -r, --root DIR       keep the host's files in DIR and reuse them next time\n"
          "      --ready FILE     write the pid of a process inside the host to FILE once it is\n"
          "                       up (enter it with nsenter --mount --target <pid>)\n"
          "  -p, --print-scenario print the built-in scenario and exit\n"
          "Runs the command (default: $SHELL) inside the host; its exit status is ryxsim's.\n",
          to);
}

int die(const char *what, int err) {
    fprintf(stderr, "ryxsim: %s: %s\n", what, strerror(err));
    return 1;
}

std::string dirname_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string self_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    return dirname_of(buf);
}

// passwd/group: the host's lines, minus those the scenario's users replace, plus those users.
std::string merged_accounts(const std::string &host_file, const Scenario &sc, bool passwd) {
    std::string text, out;
    read_file(host_file, text);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        std::string name = line.substr(0, line.find(':'));
        size_t c2 = line.find(':', line.find(':') + 1);
        std::string id =
            c2 == std::string::npos ? "" : line.substr(c2 + 1, line.find(':', c2 + 1) - c2 - 1);
        bool replaced = false;
        for (const User &u : sc.users)
            replaced = replaced || u.name == name || std::to_string(u.uid) == id;
        if (!replaced && !line.empty()) out += line + "\n";
    }
    for (const User &u : sc.users) {
        std::string uid = std::to_string(u.uid);
        out += passwd ? u.name + ":x:" + uid + ":" + uid + "::/home/" + u.name + ":/bin/sh\n"
                      : u.name + ":x:" + uid + ":\n";
    }
    return out;
}

int write_cpuinfo(const std::string &path, double mhz) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    std::string text;
    char buf[256];
    for (long i = 0; i < (n > 0 ? n : 1); ++i) {
        snprintf(buf, sizeof buf,
                 "processor\t: %ld\nvendor_id\t: RyxSim\nmodel name\t: Simulated processor\n"
                 "cpu MHz\t\t: %.3f\ncache size\t: 8192 KB\n\n",
                 i, mhz);
        text += buf;
    }
    return write_atomic(path, text);
}

int copy_file(const std::string &from, const std::string &to, mode_t mode) {
    std::string data;
    if (int rc = read_file(from, data)) return rc;
    return write_atomic(to, data, mode);
}

// The lower layer of every overlaid tree and the simulated /proc, under root.
int prepare_tree(const std::string &root, const Scenario &sc) {
    const std::string lower = root + "/lower";
    for (const char *d : {"proc/.real", "proc/ryx/resellers", "etc", "usr/sbin", "var/lib/ryxsim",
                          "opt/tavrenox/flags/available-flags.d"})
        if (int rc = make_dirs(lower + "/" + d)) return rc;
    for (const char *d : kOverlaid) {
        make_dirs(root + "/upper/" + d);
        make_dirs(root + "/overlay-work/" + d);
    }
    // Everything below keeps the real procfs reachable: the loader and the runtime read
    // /proc/self, and a few host-wide files serve ordinary tools run inside.
    for (const char *name : {"self", "thread-self", "meminfo", "stat", "uptime", "loadavg",
                             "filesystems", "version", "sys", "mounts", "net", "cmdline"}) {
        std::string link = lower + "/proc/" + name;
        unlink(link.c_str());
        std::string target = std::string(".real/") + name;
        if (symlink(target.c_str(), link.c_str()) != 0) return -errno;
    }
    int rc;
    if ((rc = write_cpuinfo(lower + "/proc/cpuinfo", sc.cpu_mhz)) ||
        (rc = write_atomic(lower + "/etc/passwd", merged_accounts("/etc/passwd", sc, true))) ||
        (rc = write_atomic(lower + "/etc/group", merged_accounts("/etc/group", sc, false))) ||
        (rc = write_atomic(lower + kFlagFile, "")))
        return rc;
    if ((rc = copy_file(self_dir() + "/ryxinfo", lower + "/usr/sbin/ryxinfo", 0755))) return rc;
    // The system's programs where a package puts them: the helpers set-user-ID root, as they
    // act for ordinary users, and libryx in the loader's own directory, the only place where
    // a set-user-ID program finds it (the built programs' run path leads nowhere from here).
    // Programs not built are left out.
    make_dirs(lower + "/usr/bin");
    make_dirs(lower + "/usr/libexec/ryxkit");
    make_dirs(lower + RYXSIM_LIBDIR);
    const struct {
        const char *built, *installed;
        mode_t mode;
    } programs[] = {{RYXSIM_LIBRYX, RYXSIM_LIBDIR "/libryx.so.0", 0644},
                    {RYXSIM_RYXPS, "/usr/bin/ryxps", 0755},
                    {RYXSIM_RYZ_LIMITS_HELPER, "/usr/libexec/ryxkit/ryz-limits-helper", 04755},
                    {RYXSIM_RYZ_REGISTRY_HELPER, "/usr/libexec/ryxkit/ryz-registry-helper", 04755},
                    {RYXSIM_RYZ_STATS_HELPER, "/usr/libexec/ryxkit/ryz-stats-helper", 04755}};
    for (const auto &p : programs)
        if (*p.built && access(p.built, X_OK) == 0)
            if ((rc = copy_file(p.built, lower + p.installed, p.mode))) return rc;
    std::string ryxctl = RYXSIM_RYXCTL;
    std::string link = lower + "/usr/sbin/ryxctl";
    unlink(link.c_str());
    if (!ryxctl.empty() && access("/usr/sbin/ryxctl", X_OK) != 0 &&
        access(ryxctl.c_str(), X_OK) == 0)
        if (symlink(ryxctl.c_str(), link.c_str()) != 0) return -errno;
    return 0;
}

int write_id_map(const char *file, const std::string &text) {
    int fd = open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : -errno;
    close(fd);
    return rc;
}

// Runs in the child that becomes the host: a new mount namespace (inside a new user namespace
// when not root), then the simulated /proc and the overlays.
int enter_host(const std::string &root, std::string &what) {
    if (geteuid() != 0) {
        uid_t uid = geteuid();
        gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return what = "unshare (an unprivileged user namespace)", -errno;
        int rc;
        if ((rc = write_id_map("/proc/self/setgroups", "deny")) ||
            (rc = write_id_map("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n")) ||
            (rc = write_id_map("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")))
            return what = "user namespace id maps", rc;
    } else if (unshare(CLONE_NEWNS) != 0) {
        return what = "unshare (a mount namespace)", -errno;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return what = "making mounts private", -errno;
    const std::string proc = root + "/lower/proc";
    if (mount("/proc", (proc + "/.real").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return what = "binding the real /proc", -errno;
    if (mount(proc.c_str(), "/proc", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return what = "mounting the simulated /proc", -errno;
    for (const char *d : kOverlaid) {
        std::string opts = "lowerdir=" + root + "/lower/" + d + ":/" + d + ",upperdir=" + root +
                           "/upper/" + d + ",workdir=" + root + "/overlay-work/" + d;
        if (mount("overlay", (std::string("/") + d).c_str(), "overlay", 0, opts.c_str()) != 0)
            return what = std::string("overlay on /") + d, -errno;
    }
    return 0;
}

int run_and_wait(const std::vector<std::string> &argv) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Only its complaints matter here, and those go to standard error.
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) dup2(null, STDOUT_FILENO);
#ifdef RYXSIM_SANITIZED
        std::string self = std::to_string(getpid());
        symlink((".real/" + self).c_str(), ("/proc/" + self).c_str());
#endif
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What an administrator would have done before the scenario starts: isolation for some users,
// some domains registered, placed under their owner's reseller and limited.
void initial_setup(const Scenario &sc) {
    for (const User &u : sc.users) {
        if (!u.isolation) continue;
        if (access("/usr/sbin/ryxctl", X_OK) != 0) {
            fprintf(stderr, "ryxsim: warning: no ryxctl; domain isolation stays off for %s\n",
                    u.name.c_str());
            continue;
        }
        if (int rc = run_and_wait({"/usr/sbin/ryxctl", "allow-domain-limits", u.name}); rc != 0)
            fprintf(stderr, "ryxsim: warning: ryxctl allow-domain-limits %s: status %d\n",
                    u.name.c_str(), rc);
    }
    for (const Domain &d : sc.domains) {
        if (!d.assign) continue;
        uint32_t id = 0;
        int rc = ryz_map_assign(d.owner, d.docroot.c_str(), &id);
        if (rc < 0) {
            fprintf(stderr, "ryxsim: warning: assigning %s: %s\n", d.name.c_str(), strerror(-rc));
            continue;
        }
        if (!d.limits) continue;
        libryx *h = init_ryx(malloc, free);
        if (!h) {
            fprintf(stderr, "ryxsim: warning: init_ryx: %s\n", strerror(errno));
            continue;
        }
        const Limits &l = *d.limits;
        libryx_settings s{};
        s.ls_cpu = l.cpu;
        s.ls_memory_phy = l.pmem;
        s.ls_io = l.io;
        s.ls_nproc = l.nproc;
        s.ls_iops = l.iops;
        s.ls_enters = l.ep;
        s.ls_memory = l.vmem;
        if ((rc = ryx_ryk_move(h, id, d.owner)) != 0 || (rc = ryx_setup(h, id, &s)) != 0)
            fprintf(stderr, "ryxsim: warning: limiting %s (%u): %s\n", d.name.c_str(), id,
                    strerror(-rc));
        destroy_ryx(h);
    }
}

uint64_t realtime_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void tick(const Scenario &sc, Model &model, Publisher &pub) {
    Backend b;
    read_backend(sc, kRegistryDir, RYXSIM_STATE_DIR, b);
    model.step(b);
    if (int rc = pub.publish(model, realtime_ms()); rc < 0)
        fprintf(stderr, "ryxsim: updater: %s\n", strerror(-rc));
}

void advance(timespec &t, uint64_t ns) {
    ns += static_cast<uint64_t>(t.tv_nsec);
    t.tv_sec += static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
}

// The clock: one tick every tick_ms on an absolute schedule, so the counters keep pace with
// real time however long a tick takes. The ticks fall half-way between whole tick periods after
// start, when the command is started: a reader that samples at once and again whole periods
// later, as ryxps -d does at the default tick, then never meets a tick between reading the lists
// and reading the thread files, which would give containers a tick their threads lack.
[[noreturn]] void updater(const Scenario &sc, Model &model, Publisher &pub, timespec start) {
    const uint64_t tick_ns = static_cast<uint64_t>(sc.tick_ms) * 1000000;
    timespec next = start;
    advance(next, tick_ns / 2);
    while (true) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        tick(sc, model, pub);
        advance(next, tick_ns);
    }
}

// The host process: sets the namespace up, starts the updater and the command, and returns the
// command's status.
int host_main(const std::string &root, const Scenario &sc, std::vector<std::string> command,
              int ready_fd) {
    g_forward_to = 0; // inherited: the outer process's target is this process
    std::string what;
    // Decided before entering: inside a user namespace this process is root, but only there.
    const bool privileged = geteuid() == 0;
    if (int rc = enter_host(root, what); rc < 0) return die(what.c_str(), -rc);
    umask(022);
#ifdef RYXSIM_SANITIZED
    // The leak checker lists this process's threads through /proc/<pid>/task.
    std::string self = std::to_string(getpid());
    symlink((".real/" + self).c_str(), ("/proc/" + self).c_str());
#endif
    // Only this one uid is mapped into an unprivileged user namespace: the scenario's users
    // cannot own registry entries there, so their administration is left out.
    bool administered = false;
    for (const User &u : sc.users)
        administered = administered || u.isolation;
    if (privileged)
        initial_setup(sc);
    else if (administered)
        fprintf(stderr, "ryxsim: not root: domain isolation and registered domains are left out\n");
    Model model(sc, sysconf(_SC_PAGESIZE), sysconf(_SC_CLK_TCK));
    Publisher pub("/proc", kHistory);
    tick(sc, model, pub);

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t host = getpid();
    pid_t upd = fork();
    if (upd < 0) return die("fork", errno);
    if (upd == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != host) _exit(0);
        if (ready_fd >= 0) close(ready_fd); // readiness is the host process's to report
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        updater(sc, model, pub, start);
    }
    // Until the command's pid is known here and its own handlers are reset, a forwarded
    // SIGTERM would be lost: hold it back across the fork.
    sigset_t held, before;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &before);
    pid_t cmd = fork();
    if (cmd < 0) {
        if (upd > 0) kill(upd, SIGKILL); // never 0 or -1: that would signal every process
        return die("fork", errno);
    }
    if (cmd == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
#ifdef RYXSIM_SANITIZED
        // A sanitized build runs sanitized commands, whose leak checker needs this link too.
        std::string self = std::to_string(getpid());
        symlink((".real/" + self).c_str(), ("/proc/" + self).c_str());
#endif
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
            signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        std::vector<char *> args;
        for (std::string &a : command)
            args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "ryxsim: %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    g_forward_to = cmd;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    // Ready once the command runs, so that whoever waits for it may also signal it.
    if (ready_fd >= 0) {
        char byte = 'r';
        if (write(ready_fd, &byte, 1) != 1) {
        }
        close(ready_fd);
    }
    int status = 0;
    while (waitpid(cmd, &status, 0) < 0 && errno == EINTR) {
    }
    if (upd > 0) kill(upd, SIGKILL);
    while (waitpid(upd, nullptr, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool root_is_usable(const std::string &root) {
    // The overlay options separate paths with ':' and ','.
    return !root.empty() && root[0] == '/' && root.find_first_of(":,") == std::string::npos;
}

} // namespace

int main(int argc, char **argv) {
    enum { OPT_READY = 256 };
    static const option longopts[] = {
        {"scenario", required_argument, nullptr, 'f'},
        {"seed", required_argument, nullptr, 'S'},
        {"tick", required_argument, nullptr, 't'},
        {"root", required_argument, nullptr, 'r'},
        {"ready", required_argument, nullptr, OPT_READY},
        {"print-scenario", no_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char *scenario_file = nullptr, *seed = nullptr, *tick_arg = nullptr, *ready = nullptr;
    std::string root;
    int c;
    while ((c = getopt_long(argc, argv, "+f:S:t:r:ph", longopts, nullptr)) != -1) {
        switch (c) {
        case 'f':
            scenario_file = optarg;
            break;
        case 'S':
            seed = optarg;
            break;
        case 't':
            tick_arg = optarg;
            break;
        case 'r':
            root = optarg;
            break;
        case OPT_READY:
            ready = optarg;
            break;
        case 'p':
            fputs(default_scenario, stdout);
            return 0;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }

    std::string text = default_scenario;
    if (scenario_file) {
        if (int rc = read_file(scenario_file, text)) return die(scenario_file, -rc);
    }
    // Command-line overrides are appended as directives, so they are checked the same way.
    if (seed) text += std::string("\nseed ") + seed + "\n";
    if (tick_arg) text += std::string("\ntick ") + tick_arg + "\n";
    Scenario sc;
    std::string err;
    if (parse_scenario(text, sc, err) != 0) {
        fprintf(stderr, "ryxsim: %s:%s\n", scenario_file ? scenario_file : "scenario", err.c_str());
        return 2;
    }

    std::vector<std::string> command(argv + optind, argv + argc);
    if (command.empty()) {
        const char *shell = getenv("SHELL");
        command.push_back(shell && *shell ? shell : "/bin/sh");
    }

    bool keep = !root.empty();
    if (keep) {
        if (root[0] != '/') {
            char cwd[4096];
            if (!getcwd(cwd, sizeof cwd)) return die("getcwd", errno);
            root = std::string(cwd) + "/" + root;
        }
        if (int rc = make_dirs(root, 0700)) return die(root.c_str(), -rc);
    } else {
        const char *tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/ryxsim-XXXXXX";
        if (!mkdtemp(templ.data())) return die("mkdtemp", errno);
        root = templ;
    }
    if (!root_is_usable(root)) {
        fprintf(stderr, "ryxsim: %s: the host directory must not contain ':' or ','\n",
                root.c_str());
        return 2;
    }
    if (int rc = prepare_tree(root, sc)) {
        if (!keep) remove_tree(root);
        return die("preparing the host", -rc);
    }

    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return die("pipe", errno);
    // Ctrl-C belongs to the command; ryxsim ends when it does.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    pid_t host = fork();
    if (host < 0) return die("fork", errno);
    if (host == 0) {
        close(pipefd[0]);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        fflush(stdout);
        _exit(host_main(root, sc, std::move(command), pipefd[1]));
    }
    g_forward_to = host;
    close(pipefd[1]);
    char byte;
    ssize_t n;
    while ((n = read(pipefd[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    close(pipefd[0]);
    if (n == 1 && ready) {
        if (int rc = write_atomic(ready, std::to_string(host) + "\n"))
            fprintf(stderr, "ryxsim: %s: %s\n", ready, strerror(-rc));
    }
    int status = 0;
    while (waitpid(host, &status, 0) < 0 && errno == EINTR) {
    }
    if (!keep) remove_tree(root);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
