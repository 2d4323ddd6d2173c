// The kernel's process events (the netlink connector's proc group): which processes just forked,
// exec'd or changed their uid, so that ryxd looks at them at once instead of at its next walk.
#pragma once

#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ryx-fd.h"

namespace ryx::daemon {

// CLOCK_MONOTONIC, the clock the kernel stamps its events with.
inline uint64_t monotonic_ns() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}
inline int64_t monotonic_ms() {
    return int64_t(monotonic_ns() / 1000000);
}

// One event, by thread-group id: a new process (not a new thread), an exec, a change of the
// real uid. ts: the kernel's CLOCK_MONOTONIC time of the event.
struct ProcEvent {
    enum Kind { fork, exec, uid } kind;
    int pid;
    int parent = 0;    // fork: the parent
    uint32_t ruid = 0; // uid: the new real uid
    uint64_t ts = 0;
};

class ProcEvents {
  public:
    // Joins the process events' multicast group and waits (at most wait_ms) for the kernel's
    // acknowledgement. 0, or a negated errno with why: a kernel without the connector, no
    // CAP_NET_ADMIN, a network or pid namespace other than the initial one.
    int open(int wait_ms, std::string &why);
    int fd() const { return fd_.get(); }

    // Reads what is queued without blocking and appends the events, in the kernel's order. Only the
    // kernel's own messages (sender port 0) count. false when events were lost (the socket's buffer
    // overflowed): the caller must walk /proc.
    bool drain(std::vector<ProcEvent> &out);

  private:
    int send_control(int op, bool filtered);
    int acknowledged(int wait_ms, std::string &why);
    Fd fd_;
};

} // namespace ryx::daemon
