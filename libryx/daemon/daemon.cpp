#include "daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "cgroup.h"
#include "placement.h"
#include "proc-events.h"
#include "ryx-fd.h"

namespace ryx::daemon {

namespace {

// How long the kernel has to acknowledge the request for process events.
constexpr int kEventsWaitMs = 1000;
constexpr int64_t kCoalesceMs = 1;
// Processes a walk looks at between two looks at the events: a few milliseconds.
constexpr size_t kWalkStep = 64;
// The journal hears of lost events, and of the same failure again, at most once a minute.
constexpr time_t kQuiet = 60;

} // namespace

void notify(const char *state) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@') ||
        std::strlen(path) >= sizeof(sockaddr_un::sun_path))
        return;
    Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    const size_t len = std::strlen(path);
    std::memcpy(sa.sun_path, path, len);
    if (path[0] == '@') sa.sun_path[0] = '\0';
    ::sendto(fd.get(), state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sa),
             socklen_t(offsetof(sockaddr_un, sun_path) + len));
}

namespace {

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

class Journal {
  public:
    void failures(const std::vector<Failure> &list) {
        const time_t now = ::time(nullptr);
        for (const Failure &f : list) {
            auto &[last, quiet] = seen_[{f.id, f.error, f.what}];
            if (last != 0 && now - last < kQuiet) {
                ++quiet;
                continue;
            }
            char more[64] = "";
            if (quiet) std::snprintf(more, sizeof more, " (and %zu more like it)", quiet);
            if (std::strcmp(f.what, "create") == 0)
                std::fprintf(stderr,
                             "ryxd: cannot create container %u from the host defaults: %s%s\n",
                             f.id, std::strerror(f.error), more);
            else if (std::strcmp(f.what, "limit") == 0)
                std::fprintf(stderr,
                             "ryxd: cannot limit the address space of process %d (uid %u) to "
                             "container %u's memory: %s%s\n",
                             f.pid, f.uid, f.id, std::strerror(f.error), more);
            else
                std::fprintf(stderr,
                             "ryxd: cannot place process %d (uid %u) in container %u: %s%s\n",
                             f.pid, f.uid, f.id, std::strerror(f.error), more);
            last = now;
            quiet = 0;
        }
    }
    void lost_events() {
        const time_t now = ::time(nullptr);
        if (lost_ != 0 && now - lost_ < kQuiet) return;
        lost_ = now;
        std::fputs("ryxd: process events were lost; walking /proc now\n", stderr);
    }

  private:
    std::map<std::tuple<uint32_t, int, std::string_view>, std::pair<time_t, size_t>> seen_;
    time_t lost_ = 0;
};

Fd signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return Fd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

Fd walk_timer(double seconds) {
    Fd fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    itimerspec its{};
    its.it_interval.tv_sec = static_cast<time_t>(seconds);
    its.it_interval.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    its.it_value = its.it_interval;
    if (fd) ::timerfd_settime(fd.get(), 0, &its, nullptr);
    return fd;
}

// The tree, every container applied, and the placer on it; false (said why) when it cannot be.
bool prepare(Placer &placer) {
    // The tree already made (under systemd by ryx-tree.service, which owns it), else made here.
    cgroup::Tree tree;
    int rc = cgroup::load(tree);
    if (rc < 0 || tree.empty()) rc = cgroup::set_up(tree);
    if (rc < 0) {
        std::fprintf(stderr, "ryxd: cannot set up the control-group tree: %s\n",
                     rc == -ENOENT ? "no control-group hierarchy is mounted" : std::strerror(-rc));
        return false;
    }
    std::vector<uint32_t> failed;
    if ((rc = cgroup::apply_all(tree, failed)) < 0) {
        std::fprintf(stderr, "ryxd: cannot read the container state: %s\n", std::strerror(-rc));
        return false;
    }
    for (uint32_t id : failed)
        std::fprintf(stderr, "ryxd: container %u: its group could not be made\n", id);
    std::string why;
    if (placer.start(tree, why) < 0) {
        std::fprintf(stderr, "ryxd: cannot place processes: %s\n", why.c_str());
        return false;
    }
    return true;
}

// The process events, or walks alone; the journal hears which.
void open_events(const Options &options, ProcEvents &events) {
    std::string why = "turned off by --no-events";
    const std::string every = seconds_text(options.walk_seconds);
    if (options.events && events.open(kEventsWaitMs, why) == 0)
        std::fprintf(stderr,
                     "ryxd: placing processes on the kernel's process events and a walk every "
                     "%s s\n",
                     every.c_str());
    else
        std::fprintf(stderr,
                     "ryxd: no process events from this kernel (%s): placing processes on a walk "
                     "every %s s\n",
                     why.c_str(), every.c_str());
}

// What is queued, in the kernel's order. false: events were lost, walk now.
bool take_events(ProcEvents &events, Placer &placer, std::vector<ProcEvent> &batch) {
    batch.clear();
    const bool complete = events.drain(batch);
    placer.next_round();
    for (const ProcEvent &e : batch) {
        switch (e.kind) {
        case ProcEvent::fork:
            placer.forked(e.parent, e.pid, e.ts);
            break;
        case ProcEvent::exec:
            placer.exec(e.pid);
            break;
        case ProcEvent::uid:
            placer.changed_uid(e.pid, e.ruid);
            break;
        }
    }
    return complete;
}

} // namespace

int run(const Options &options) {
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    Placer placer;
    if (!prepare(placer)) return 1;
    Fd sig = signals();
    Fd timer = walk_timer(options.walk_seconds);
    if (!sig || !timer) {
        std::fprintf(stderr, "ryxd: cannot start its event loop: %s\n", std::strerror(errno));
        return 1;
    }
    ProcEvents events;
    open_events(options, events);
    Journal journal;
    placer.walk();
    journal.failures(placer.take_failures());
    notify("READY=1");

    std::vector<ProcEvent> batch;
    int64_t events_due = 0;
    // A walk under way, one to start when it is done, a reload to report when it is done.
    bool walking = false, walk_due = false, reloading = false;
    for (;;) {
        // The watch before the events: a change of state that came first is seen first.
        // Events are taken at most once a millisecond: in a storm each wake-up then reads a
        // batch instead of one event, for at most a millisecond more of latency.
        const int64_t wait_events = events_due - monotonic_ms();
        const int timeout = walking ? 0 : wait_events > 0 ? int(wait_events) : -1;
        pollfd fds[4] = {{sig.get(), POLLIN, 0},
                         {timer.get(), POLLIN, 0},
                         {placer.watch_fd(), POLLIN, 0},
                         {wait_events > 0 ? -1 : events.fd(), POLLIN, 0}};
        if (::poll(fds, 4, timeout) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "ryxd: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (fds[0].revents) {
            signalfd_siginfo si;
            while (::read(sig.get(), &si, sizeof si) == sizeof si) {
                if (si.ssi_signo == SIGHUP) {
                    notify("RELOADING=1");
                    placer.forget();
                    placer.begin_walk(); // anew: what it saw so far was judged by the old
                    walking = reloading = true;
                } else {
                    // Every process and every limit stays where it is.
                    notify("STOPPING=1");
                    return 0;
                }
            }
        }
        if (fds[1].revents) {
            uint64_t ticks;
            while (::read(timer.get(), &ticks, sizeof ticks) == sizeof ticks) {
            }
            walk_due = walk_due || !walking; // a walk longer than the interval is not stacked
        }
        if (fds[2].revents) placer.changed();
        if (fds[3].revents) {
            events_due = monotonic_ms() + kCoalesceMs;
            if (!take_events(events, placer, batch)) {
                journal.lost_events();
                walk_due = true;
            }
        }
        if (walk_due && !walking) {
            placer.begin_walk();
            walking = true;
            walk_due = false;
        }
        if (walking) walking = placer.walk_some(kWalkStep);
        if (reloading && !walking) {
            notify("READY=1");
            reloading = false;
        }
        journal.failures(placer.take_failures());
    }
}

} // namespace ryx::daemon
