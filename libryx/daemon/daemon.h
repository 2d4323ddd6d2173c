// ryxd's event loop: the tree set up, every container applied, then every process placed as
// the kernel reports it (process events) and on a walk of /proc every few seconds, until a
// signal stops it. Nothing here waits on anything but the loop's own poll.
#pragma once

namespace ryx::daemon {

struct Options {
    double walk_seconds = 5;
    bool events = true; // false: walks alone, as on a kernel without process events
};

// Runs until SIGTERM or SIGINT: 0 then, 1 when it cannot start.
int run(const Options &options);

// The service manager's readiness protocol ("READY=1", ...), when it started us with a socket.
void notify(const char *state);

} // namespace ryx::daemon
