// Exit statuses and argument parsing shared by ryz-limits-helper and ryz-registry-helper.
// Header-only on purpose: the helpers must not grow a shared library of their own.
#ifndef RYZ_HELPERS_RYZ_HELPER_H
#define RYZ_HELPERS_RYZ_HELPER_H

#include <cstdint>
#include <cstdlib>

// Callers branch on these numbers; never renumber. 1 is left to generic failures.
enum {
    EXIT_INVALID = 2,
    EXIT_NOT_ALLOWED = 3,
    EXIT_NOT_REGISTERED = 4,
    EXIT_BACKEND = 5,
    EXIT_KERNEL = 6,
};

// Decimal with strtoul's rules kept on purpose: leading blanks and a sign are accepted, an empty
// string is 0, and "-N" wraps in unsigned 64-bit arithmetic, so it lands out of range and fails.
// Overflow of unsigned long gives ULONG_MAX, which is also out of range.
static inline int parse_uint32(const char *s, uint32_t *out)
{
    char *end;
    unsigned long v = std::strtoul(s, &end, 10);
    if (*end != '\0' || v > 4294967295UL)
        return -1;
    *out = static_cast<uint32_t>(v);
    return 0;
}

#endif
