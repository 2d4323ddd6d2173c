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
#include "history.h"
#include "model.h"
#include "publisher.h"
#include "ryx-owners.h"
#include "ryx-paths.h"
#include "scenario.h"

#ifndef RYXSIM_RYXCTL
#define RYXSIM_RYXCTL ""
#endif
#ifndef RYXSIM_RYXPS
#define RYXSIM_RYXPS ""
#endif
#ifndef RYXSIM_RYX_EXPORTER
#define RYXSIM_RYX_EXPORTER ""
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

const char *const kOverlaid[] = {"etc", "usr", "opt", "var"};

volatile sig_atomic_t g_forward_to = 0;

void forward_signal(int sig) {
    if (g_forward_to > 0) kill(static_cast<pid_t>(g_forward_to), sig == SIGHUP ? SIGHUP : SIGTERM);
}

int die(const char *what, int err) {
    fprintf(stderr, "ryxsim: %s: %s\n", what, strerror(err));
    return 1;
}

// The exit status of a child, as a shell reports it.
int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<char *> exec_args(std::vector<std::string> &words) {
    std::vector<char *> args;
    args.reserve(words.size() + 1);
    for (std::string &w : words)
        args.push_back(w.data());
    args.push_back(nullptr);
    return args;
}

// The leak checker of a sanitized build lists the threads of its process through
// /proc/<pid>/task, which the simulated /proc lacks: a link leads to the real one.
void link_own_proc_entry() {
#ifdef RYXSIM_SANITIZED
    std::string self = std::to_string(getpid());
    if (symlink((".real/" + self).c_str(), ("/proc/" + self).c_str()) != 0) {
        // Without it the leak checker only misses this process's threads.
    }
#endif
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
        if (!replaced && !line.empty()) {
            out += line;
            out += '\n';
        }
    }
    for (const User &u : sc.users) {
        std::string uid = std::to_string(u.uid);
        out.append(u.name).append(":x:").append(uid).append(":");
        if (passwd) out.append(uid).append("::/home/").append(u.name).append(":/bin/sh");
        out += '\n';
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

int make_tree_dirs(const std::string &root) {
    const std::string lower = root + "/lower";
    for (const std::string &d : {std::string("/proc/.real"), std::string("/proc/ryx/resellers"),
                                 std::string("/etc"), dirname_of(RYX_RYXINFO_PATH),
                                 dirname_of(kHistoryPath), dirname_of(RYX_DOMAIN_STATS_FLAG_FILE)})
        if (int rc = make_dirs(lower + d)) return rc;
    for (const char *d : kOverlaid) {
        make_dirs(root + "/upper/" + d);
        make_dirs(root + "/overlay-work/" + d);
    }
    return 0;
}

// Everything below keeps the real procfs reachable: the loader and the runtime read
// /proc/self, and a few host-wide files serve ordinary tools run inside.
int link_real_proc(const std::string &lower) {
    for (const char *name : {"self", "thread-self", "meminfo", "stat", "uptime", "loadavg",
                             "filesystems", "version", "sys", "mounts", "net", "cmdline"}) {
        std::string link = lower + "/proc/" + name;
        unlink(link.c_str());
        std::string target = std::string(".real/") + name;
        if (symlink(target.c_str(), link.c_str()) != 0) return -errno;
    }
    return 0;
}

int write_host_files(const std::string &lower, const Scenario &sc) {
    int rc;
    if ((rc = write_cpuinfo(lower + "/proc/cpuinfo", sc.cpu_mhz)) ||
        (rc = write_atomic(lower + "/etc/passwd", merged_accounts("/etc/passwd", sc, true))) ||
        (rc = write_atomic(lower + "/etc/group", merged_accounts("/etc/group", sc, false))) ||
        (rc = write_atomic(lower + RYX_DOMAIN_STATS_FLAG_FILE, "")))
        return rc;
    return copy_file(self_dir() + "/ryxinfo", lower + RYX_RYXINFO_PATH, 0755);
}

// The system's programs where a package puts them: the helpers set-user-ID root, as they act
// for ordinary users, and libryx in the loader's own directory, the only place where a
// set-user-ID program finds it (the built programs' run path leads nowhere from here).
// Programs not built are left out.
int install_programs(const std::string &lower) {
    make_dirs(lower + "/usr/bin");
    make_dirs(lower + "/usr/libexec/ryxkit");
    make_dirs(lower + RYXSIM_LIBDIR);
    const struct {
        const char *built, *installed;
        mode_t mode;
    } programs[] = {{RYXSIM_LIBRYX, RYXSIM_LIBDIR "/libryx.so.0", 0644},
                    {RYXSIM_RYXPS, "/usr/bin/ryxps", 0755},
                    {RYXSIM_RYX_EXPORTER, "/usr/bin/ryx_exporter", 0755},
                    {RYXSIM_RYZ_LIMITS_HELPER, "/usr/libexec/ryxkit/ryz-limits-helper", 04755},
                    {RYXSIM_RYZ_REGISTRY_HELPER, "/usr/libexec/ryxkit/ryz-registry-helper", 04755},
                    {RYXSIM_RYZ_STATS_HELPER, "/usr/libexec/ryxkit/ryz-stats-helper", 04755}};
    for (const auto &p : programs)
        if (*p.built && access(p.built, X_OK) == 0)
            if (int rc = copy_file(p.built, lower + p.installed, p.mode)) return rc;
    return 0;
}

// The administrators' ryxctl, unless the machine has its own.
int link_ryxctl(const std::string &lower) {
    std::string ryxctl = RYXSIM_RYXCTL;
    std::string link = lower + "/usr/sbin/ryxctl";
    unlink(link.c_str());
    if (!ryxctl.empty() && access("/usr/sbin/ryxctl", X_OK) != 0 &&
        access(ryxctl.c_str(), X_OK) == 0)
        if (symlink(ryxctl.c_str(), link.c_str()) != 0) return -errno;
    return 0;
}

// The lower layer of every overlaid tree and the simulated /proc, under root.
int prepare_tree(const std::string &root, const Scenario &sc) {
    const std::string lower = root + "/lower";
    int rc;
    if ((rc = make_tree_dirs(root)) || (rc = link_real_proc(lower)) ||
        (rc = write_host_files(lower, sc)) || (rc = install_programs(lower)))
        return rc;
    return link_ryxctl(lower);
}

// The kernel takes an id map in one write or not at all.
int write_id_map(const char *file, const std::string &text) {
    ryx::Fd fd(open(file, O_WRONLY | O_CLOEXEC));
    if (!fd) return -errno;
    return write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                          : -errno;
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
        std::string opts = "lowerdir=";
        opts.append(root).append("/lower/").append(d).append(":/").append(d);
        opts.append(",upperdir=").append(root).append("/upper/").append(d);
        opts.append(",workdir=").append(root).append("/overlay-work/").append(d);
        if (mount("overlay", (std::string("/") + d).c_str(), "overlay", 0, opts.c_str()) != 0)
            return what = std::string("overlay on /") + d, -errno;
    }
    return 0;
}

int run_and_wait(std::vector<std::string> words) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Only its complaints matter here, and those go to standard error.
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        link_own_proc_entry();
        std::vector<char *> args = exec_args(words);
        execv(args[0], args.data());
        _exit(127);
    }
    return wait_for(pid);
}

void allow_domain_limits(const User &u) {
    if (access("/usr/sbin/ryxctl", X_OK) != 0) {
        fprintf(stderr, "ryxsim: warning: no ryxctl; domain isolation stays off for %s\n",
                u.name.c_str());
        return;
    }
    if (int rc = run_and_wait({"/usr/sbin/ryxctl", "allow-domain-limits", u.name}); rc != 0)
        fprintf(stderr, "ryxsim: warning: ryxctl allow-domain-limits %s: status %d\n",
                u.name.c_str(), rc);
}

// Places the domain's container under its owner's reseller and sets its limits.
void limit_domain(const Domain &d, uint32_t id) {
    ryx::Handle h(init_ryx(malloc, free));
    if (!h) {
        fprintf(stderr, "ryxsim: warning: init_ryx: %s\n", strerror(errno));
        return;
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
    int rc;
    if ((rc = ryx_ryk_move(h.get(), id, d.owner)) != 0 || (rc = ryx_setup(h.get(), id, &s)) != 0)
        fprintf(stderr, "ryxsim: warning: limiting %s (%u): %s\n", d.name.c_str(), id,
                strerror(-rc));
}

void assign_domain(const Domain &d) {
    uint32_t id = 0;
    if (int rc = ryz_map_assign(d.owner, d.docroot.c_str(), &id); rc < 0) {
        fprintf(stderr, "ryxsim: warning: assigning %s: %s\n", d.name.c_str(), strerror(-rc));
        return;
    }
    if (d.limits) limit_domain(d, id);
}

// What an administrator would have done before the scenario starts: isolation for some users,
// some domains registered, placed under their owner's reseller and limited.
void initial_setup(const Scenario &sc) {
    for (const User &u : sc.users)
        if (u.isolation) allow_domain_limits(u);
    for (const Domain &d : sc.domains)
        if (d.assign) assign_domain(d);
}

// Only this one uid is mapped into an unprivileged user namespace: the scenario's users
// cannot own registry entries there, so their administration is left out.
void administer(const Scenario &sc, bool privileged) {
    bool administered = false;
    for (const User &u : sc.users)
        administered = administered || u.isolation;
    if (privileged)
        initial_setup(sc);
    else if (administered)
        fprintf(stderr, "ryxsim: not root: domain isolation and registered domains are left out\n");
}

uint64_t realtime_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void tick(const Scenario &sc, Model &model, Publisher &pub) {
    Backend b;
    read_backend(sc, b);
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

// The updater runs in a child of the host process and dies with it. Its pid, or -1.
pid_t start_updater(const Scenario &sc, Model &model, Publisher &pub, timespec start,
                    ryx::Fd &ready) {
    const pid_t host = getpid();
    const pid_t upd = fork();
    if (upd != 0) return upd;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != host) _exit(0);
    ready.reset(); // readiness is the host process's to report
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    updater(sc, model, pub, start);
}

void stop_updater(pid_t upd) {
    if (upd <= 0) return; // never 0 or -1: that would signal every process
    kill(upd, SIGKILL);
    wait_for(upd);
}

[[noreturn]] void exec_command(std::vector<std::string> &command, const sigset_t &mask) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // A sanitized build runs sanitized commands, whose leak checker needs the link too.
    link_own_proc_entry();
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    std::vector<char *> args = exec_args(command);
    execvp(args[0], args.data());
    fprintf(stderr, "ryxsim: %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

// The command, which from now on receives the signals forwarded to the host. Its pid, or -1.
pid_t start_command(std::vector<std::string> &command) {
    // Until the command's pid is known here and its own handlers are reset, a forwarded
    // SIGTERM would be lost: hold it back across the fork.
    sigset_t held, before;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &before);
    const pid_t cmd = fork();
    if (cmd < 0) return cmd;
    if (cmd == 0) exec_command(command, before);
    g_forward_to = cmd;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return cmd;
}

// Ready once the command runs, so that whoever waits for it may also signal it.
void report_ready(ryx::Fd ready) {
    if (!ready) return;
    char byte = 'r';
    if (write(ready.get(), &byte, 1) != 1) {
    }
}

// The host process: sets the namespace up, starts the updater and the command, and returns the
// command's status.
int host_main(const std::string &root, const Scenario &sc, std::vector<std::string> command,
              ryx::Fd ready) {
    g_forward_to = 0; // inherited: the outer process's target is this process
    std::string what;
    // Decided before entering: inside a user namespace this process is root, but only there.
    const bool privileged = geteuid() == 0;
    if (int rc = enter_host(root, what); rc < 0) return die(what.c_str(), -rc);
    umask(022);
    link_own_proc_entry();
    administer(sc, privileged);
    Model model(sc, sysconf(_SC_PAGESIZE), sysconf(_SC_CLK_TCK));
    Publisher pub("/proc", kHistoryPath);
    tick(sc, model, pub);

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t upd = start_updater(sc, model, pub, start, ready);
    if (upd < 0) return die("fork", errno);
    const pid_t cmd = start_command(command);
    if (cmd < 0) {
        const int err = errno;
        stop_updater(upd);
        return die("fork", err);
    }
    report_ready(std::move(ready));
    const int status = wait_for(cmd);
    stop_updater(upd);
    return status;
}

// The command line: every option is a row, handled as it comes.
struct Options {
    const char *scenario_file = nullptr, *seed = nullptr, *tick = nullptr, *root = nullptr,
               *ready = nullptr;
};

constexpr int kGoOn = -1;       // a handler's verdict when ryxsim is not to end at once
constexpr int kLongOnly = 256;  // keys from here on have no short option
constexpr int kFlagsWidth = 20; // "-f, --scenario FILE" and the like, in the usage

template <const char *Options::*field> int store(Options &opt, const char *arg) {
    opt.*field = arg;
    return kGoOn;
}

int print_scenario(Options &, const char *) {
    fputs(kDefaultScenario, stdout);
    return 0;
}

void usage(FILE *to);

int help(Options &, const char *) {
    usage(stdout);
    return 0;
}

const struct OptionRow {
    const char *name;
    int key;                                   // the short option, or kLongOnly and up
    const char *arg;                           // the argument's name, nullptr: none
    const char *help;                          // nullptr: not in the usage
    int (*handle)(Options &, const char *arg); // kGoOn or ryxsim's exit status
} kOptions[] = {
    {"scenario", 'f', "FILE", "the host to simulate (default: the built-in scenario)",
     store<&Options::scenario_file>},
    {"seed", 'S', "N", "seed of the load generator (default: the scenario's)",
     store<&Options::seed>},
    {"tick", 't', "SECONDS", "how often the counters advance (default: the scenario's)",
     store<&Options::tick>},
    {"root", 'r', "DIR", "keep the host's files in DIR and reuse them next time",
     store<&Options::root>},
    {"ready", kLongOnly, "FILE",
     "write the pid of a process inside the host to FILE once it is\n"
     "up (enter it with nsenter --mount --target <pid>)",
     store<&Options::ready>},
    {"print-scenario", 'p', nullptr, "print the built-in scenario and exit", print_scenario},
    {"help", 'h', nullptr, nullptr, help},
};

// Continuation lines start under the first.
std::string indented(std::string text, size_t by) {
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', nl + 1))
        text.insert(nl + 1, by, ' ');
    return text;
}

void usage(FILE *to) {
    fputs("usage: ryxsim [-f <scenario>] [-S <seed>] [-t <seconds>] [-r <dir>] [--ready <file>]\n"
          "              [--] [command [argument...]]\n"
          "       ryxsim --print-scenario\n",
          to);
    for (const OptionRow &o : kOptions) {
        if (!o.help) continue;
        std::string flags =
            o.key < kLongOnly ? std::string{'-', static_cast<char>(o.key), ',', ' '} : "    ";
        flags += std::string("--") + o.name;
        if (o.arg) flags += std::string(" ") + o.arg;
        fprintf(to, "  %-*s %s\n", kFlagsWidth, flags.c_str(),
                indented(o.help, 2 + kFlagsWidth + 1).c_str());
    }
    fputs("Runs the command (default: $SHELL) inside the host; its exit status is ryxsim's.\n", to);
}

// Runs the handler of every option given. kGoOn, or the status to end with.
int parse_options(int argc, char **argv, Options &opt) {
    std::string shorts = "+"; // the command's own options are the command's
    std::vector<option> longs;
    for (const OptionRow &o : kOptions) {
        longs.push_back({o.name, o.arg ? required_argument : no_argument, nullptr, o.key});
        if (o.key < kLongOnly) shorts += std::string{static_cast<char>(o.key)} + (o.arg ? ":" : "");
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    int key;
    while ((key = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1) {
        const OptionRow *row = nullptr;
        for (const OptionRow &o : kOptions)
            if (o.key == key) row = &o;
        if (!row) {
            usage(stderr);
            return 2;
        }
        if (int status = row->handle(opt, optarg); status != kGoOn) return status;
    }
    return kGoOn;
}

// The scenario with the command line's overrides. 0, or the status to end with.
int load_scenario(const Options &opt, Scenario &sc) {
    std::string text = kDefaultScenario;
    if (opt.scenario_file) {
        if (int rc = read_file(opt.scenario_file, text)) return die(opt.scenario_file, -rc);
    }
    // Command-line overrides are appended as directives, so they are checked the same way.
    if (opt.seed) text += std::string("\nseed ") + opt.seed + "\n";
    if (opt.tick) text += std::string("\ntick ") + opt.tick + "\n";
    std::string err;
    if (parse_scenario(text, sc, err) != 0) {
        fprintf(stderr, "ryxsim: %s:%s\n", opt.scenario_file ? opt.scenario_file : "scenario",
                err.c_str());
        return 2;
    }
    return 0;
}

// The words after the options, or the user's shell.
std::vector<std::string> command_to_run(int argc, char **argv) {
    std::vector<std::string> command(argv + optind, argv + argc);
    if (command.empty()) {
        const char *shell = getenv("SHELL");
        command.push_back(shell && *shell ? shell : "/bin/sh");
    }
    return command;
}

bool root_is_usable(const std::string &root) {
    // The overlay options separate paths with ':' and ','.
    return !root.empty() && root[0] == '/' && root.find_first_of(":,") == std::string::npos;
}

// The directory of the host's files: the one given (empty: none), made absolute, or a new
// temporary one. 0, or the status to end with.
int make_root(std::string &root) {
    if (!root.empty()) {
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
    return 0;
}

// Ctrl-C belongs to the command; ryxsim ends when it does. SIGTERM and SIGHUP go on to it.
void forward_signals() {
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

// The host process, running the command. Its pid, with in ready the end of the pipe on which it
// reports the command running, or -1 after a complaint.
pid_t start_host(const std::string &root, const Scenario &sc, std::vector<std::string> command,
                 ryx::Fd &ready) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        die("pipe", errno);
        return -1;
    }
    ryx::Fd read_end(pipefd[0]), write_end(pipefd[1]);
    forward_signals();
    const pid_t host = fork();
    if (host < 0) {
        die("fork", errno);
        return -1;
    }
    if (host == 0) {
        read_end.reset();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        fflush(stdout);
        _exit(host_main(root, sc, std::move(command), std::move(write_end)));
    }
    g_forward_to = host;
    ready = std::move(read_end);
    return host;
}

// Once the host reports the command running, the host's pid goes into the ready file.
void await_ready(ryx::Fd ready, pid_t host, const char *ready_file) {
    char byte;
    ssize_t n;
    while ((n = read(ready.get(), &byte, 1)) < 0 && errno == EINTR) {
    }
    ready.reset();
    if (n == 1 && ready_file) {
        if (int rc = write_atomic(ready_file, std::to_string(host) + "\n"))
            fprintf(stderr, "ryxsim: %s: %s\n", ready_file, strerror(-rc));
    }
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    if (int status = parse_options(argc, argv, opt); status != kGoOn) return status;
    Scenario sc;
    if (int status = load_scenario(opt, sc)) return status;
    std::vector<std::string> command = command_to_run(argc, argv);

    const bool keep = opt.root && *opt.root; // -r "" is no -r
    std::string root = keep ? opt.root : "";
    if (int status = make_root(root)) return status;
    if (int rc = prepare_tree(root, sc)) {
        if (!keep) remove_tree(root);
        return die("preparing the host", -rc);
    }

    ryx::Fd ready;
    const pid_t host = start_host(root, sc, std::move(command), ready);
    if (host < 0) return 1;
    await_ready(std::move(ready), host, opt.ready);
    const int status = wait_for(host);
    if (!keep) remove_tree(root);
    return status;
}
