#include "proc-events.h"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace ryx::daemon {

namespace {

// Kernels since 6.6 take a listen with the kinds of event wanted, and send the others to nobody:
// ryxd needs forks, execs and uid changes, a third of what a busy host reports. Older kernels
// ignore such a request (no acknowledgement), and get the plain one.
constexpr uint32_t kWantedEvents =
    proc_event::PROC_EVENT_FORK | proc_event::PROC_EVENT_EXEC | proc_event::PROC_EVENT_UID;
constexpr int kFilteredWaitMs = 250;
// Datagrams (one event each) taken by one receive call.
constexpr unsigned kBatch = 64;
constexpr size_t kDatagram = 256;

// Room for a burst of events while a walk or a slow move runs: at about 100 bytes an event, a
// few tens of thousands of them.
constexpr int kReceiveBuffer = 4 << 20;

// The proc connector's event in one message, copied out: it follows a 36-byte header, where
// its 64-bit fields are not aligned. false for anything else. The event's size is the kernel's:
// fields this build knows of beyond it read as 0.
bool event_of(const nlmsghdr *nl, size_t len, proc_event &out) {
    if (!NLMSG_OK(nl, len) || nl->nlmsg_type == NLMSG_ERROR || nl->nlmsg_type == NLMSG_NOOP)
        return false;
    const size_t payload = NLMSG_PAYLOAD(nl, 0);
    constexpr size_t kLeast = offsetof(proc_event, event_data) + 4 * sizeof(uint32_t);
    if (payload < sizeof(cn_msg) + kLeast) return false;
    cn_msg cn;
    std::memcpy(&cn, NLMSG_DATA(nl), sizeof cn);
    if (cn.id.idx != CN_IDX_PROC || cn.id.val != CN_VAL_PROC || cn.len < kLeast ||
        cn.len > payload - sizeof(cn_msg))
        return false;
    out = proc_event{};
    std::memcpy(&out, static_cast<const char *>(NLMSG_DATA(nl)) + sizeof(cn_msg),
                std::min<size_t>(cn.len, sizeof out));
    return true;
}

} // namespace

int ProcEvents::send_control(int op, bool filtered) {
    // nlmsghdr, cn_msg, then the operation (and the kinds of event): cn_msg ends in its data.
    const uint32_t input[2] = {static_cast<uint32_t>(op), kWantedEvents};
    const size_t len = filtered ? sizeof input : sizeof input[0];
    alignas(nlmsghdr) char buf[NLMSG_SPACE(sizeof(cn_msg) + sizeof input)] = {};
    auto *nl = reinterpret_cast<nlmsghdr *>(buf);
    nl->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + len);
    nl->nlmsg_type = NLMSG_DONE;
    nl->nlmsg_pid = static_cast<uint32_t>(::getpid());
    auto *cn = static_cast<cn_msg *>(NLMSG_DATA(nl));
    cn->id.idx = CN_IDX_PROC;
    cn->id.val = CN_VAL_PROC;
    cn->len = static_cast<uint16_t>(len);
    std::memcpy(cn->data, input, len);
    if (::send(fd_.get(), buf, nl->nlmsg_len, 0) != static_cast<ssize_t>(nl->nlmsg_len))
        return -errno;
    return 0;
}

int ProcEvents::open(int wait_ms, std::string &why) {
    fd_.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR));
    if (!fd_) {
        const int e = errno;
        why = e == EPROTONOSUPPORT ? "the kernel has no netlink connector" : std::strerror(e);
        return -e;
    }
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = CN_IDX_PROC;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        const int e = errno;
        why = e == EPERM ? "joining the process events needs CAP_NET_ADMIN" : std::strerror(e);
        fd_.reset();
        return -e;
    }
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer,
                     sizeof kReceiveBuffer) != 0)
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    int rc = send_control(PROC_CN_MCAST_LISTEN, true);
    if (rc == 0) rc = acknowledged(kFilteredWaitMs, why);
    if (rc == -ETIMEDOUT && (rc = send_control(PROC_CN_MCAST_LISTEN, false)) == 0)
        rc = acknowledged(wait_ms, why);
    if (rc < 0) {
        if (why.empty()) why = std::strerror(-rc);
        fd_.reset();
    }
    return rc;
}

// The kernel answers a listen with an acknowledgement; a kernel that has the connector but no
// process events (or refuses this namespace) stays silent.
int ProcEvents::acknowledged(int wait_ms, std::string &why) {
    const int64_t until = monotonic_ms() + wait_ms;
    char buf[4096];
    for (int64_t left; (left = until - monotonic_ms()) > 0;) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        sockaddr_nl from{};
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n = ::recvmsg(fd_.get(), &msg, 0);
        if (n <= 0 || from.nl_pid != 0) continue;
        for (auto *nl = reinterpret_cast<const nlmsghdr *>(buf); NLMSG_OK(nl, size_t(n));
             nl = NLMSG_NEXT(nl, n)) {
            proc_event ev;
            if (!event_of(nl, size_t(n), ev) || ev.what != proc_event::PROC_EVENT_NONE) continue;
            if (ev.event_data.ack.err != 0) {
                why = std::strerror(int(ev.event_data.ack.err));
                return -int(ev.event_data.ack.err);
            }
            return 0;
        }
    }
    why = "the kernel did not answer the request for process events";
    return -ETIMEDOUT;
}

bool ProcEvents::drain(std::vector<ProcEvent> &out) {
    alignas(nlmsghdr) static char bufs[kBatch][kDatagram];
    sockaddr_nl from[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    bool complete = true;
    for (;;) {
        for (unsigned i = 0; i < kBatch; ++i) {
            iov[i] = {bufs[i], kDatagram};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int got = ::recvmmsg(fd_.get(), msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOBUFS) {
                complete = false;
                continue;
            }
            return complete; // EAGAIN: all read
        }
        for (int i = 0; i < got; ++i) {
            // The kernel's own messages only: a local process could send to this socket.
            if (msgs[i].msg_hdr.msg_namelen != sizeof from[i] || from[i].nl_pid != 0) continue;
            const size_t n = msgs[i].msg_len;
            proc_event ev;
            if (!event_of(reinterpret_cast<const nlmsghdr *>(bufs[i]), n, ev)) continue;
            const uint64_t ts = ev.timestamp_ns;
            const auto &d = ev.event_data;
            switch (ev.what) {
            case proc_event::PROC_EVENT_FORK:
                if (d.fork.child_pid == d.fork.child_tgid)
                    out.push_back({ProcEvent::fork, d.fork.child_tgid, d.fork.parent_tgid, 0, ts});
                break;
            case proc_event::PROC_EVENT_EXEC:
                out.push_back({ProcEvent::exec, d.exec.process_tgid, 0, 0, ts});
                break;
            case proc_event::PROC_EVENT_UID:
                out.push_back({ProcEvent::uid, d.id.process_tgid, 0, d.id.r.ruid, ts});
                break;
            default:
                break;
            }
        }
        if (got < int(kBatch)) return complete;
    }
}

} // namespace ryx::daemon
