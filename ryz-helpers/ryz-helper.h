// Exit statuses and argument parsing shared by ryz-limits-helper and ryz-registry-helper, and
// the standard descriptor check all three run first.
// Header-only on purpose: the helpers must not grow a shared library of their own, and
// ryz-stats-helper links the C library alone, so nothing here may need the C++ runtime.
#ifndef RYZ_HELPERS_RYZ_HELPER_H
#define RYZ_HELPERS_RYZ_HELPER_H

#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <unistd.h>

#include "ryx-number.h"

// Callers branch on these numbers; never renumber. 1 is left to generic failures.
enum {
    EXIT_INVALID = 2,
    EXIT_NOT_ALLOWED = 3,
    EXIT_NOT_REGISTERED = 4,
    EXIT_BACKEND = 5,
    EXIT_KERNEL = 6,
};

// The command line's numbers keep the C library's reading (strtoul, base 10): leading blanks and
// a sign are accepted, an empty string is 0, and "-N" wraps in unsigned 64-bit arithmetic, so it
// lands out of range and fails. 0, or -1 for anything but a whole number in range.
inline int parse_uint32(const char *s, uint32_t *out) {
    return ryx::num::parse_c_u32(s, *out) ? 0 : -1;
}

// Reopens each closed descriptor among 0, 1 and 2 on /dev/null. Otherwise the next file opened,
// by the helper or by the library, would take that number: a message meant for stderr could
// land in it, or it could be handed on as a standard stream. Read-write, so that output to
// /dev/null succeeds like output to any sink the caller chose. -1 when /dev/null cannot be
// opened; nothing can then be reported safely.
inline int open_standard_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Every lower number is open by now, so open() returns exactly fd. No O_CLOEXEC: the
        // stats helper's command inherits these.
        int got = open("/dev/null", O_RDWR | O_NOCTTY);
        if (got != fd) {
            if (got >= 0) close(got);
            return -1;
        }
    }
    return 0;
}

#endif
