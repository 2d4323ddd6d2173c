// The kernel's process events (the netlink connector's proc group): which processes just forked,
// exec'd or changed their uid, so that ryxd looks at them at once instead of at its next walk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ryx-fd.h"

namespace ryx::daemon {

class ProcEvents {
public:
    // Joins the process events' multicast group and waits (at most wait_ms) for the kernel's
    // acknowledgement. 0, or a negated errno with why: a kernel without the connector, no
    // CAP_NET_ADMIN, a network or pid namespace other than the initial one.
    int open(int wait_ms, std::string &why);
    int fd() const { return fd_.get(); }

    // Reads what is queued without blocking and appends the processes to look at, by thread-group
    // id (forks of new processes, execs, uid changes; new threads are left out). Their uid is
    // read when they are looked at, not taken from the event: it may have changed again since. Only the kernel's own messages
    // (sender port 0) count. false when events were lost (the socket's buffer overflowed): the
    // caller must walk /proc.
    bool drain(std::vector<int> &out);

private:
    int send_control(int op);
    Fd fd_;
};

} // namespace ryx::daemon
