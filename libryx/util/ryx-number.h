// Reading decimal numbers: the one parser of every program in the tree. Header-only and free of
// the C++ runtime (no exceptions, no allocation, nothing that is not inline but the C library's
// strtoul and strtol), so that the set-user-ID helpers, built without exceptions and linked with
// the C driver, include it without linking anything new.
//
// Three readings, each for its own kind of text:
// - parse_u32/parse_u64: numbers a person typed (ryxctl, scenarios): decimal digits only, at
//   least one, leading zeros allowed;
// - parse_canonical_u32: numbers the library wrote (file names, state files): the same without
//   a leading zero, so that every value has exactly one spelling;
// - parse_c_*: the C library's reading, base 10, where a command line's contract fixes it:
//   leading white space and a sign are accepted, an empty text is 0, and an unsigned value with
//   a minus sign is negated modulo 2^64, so that "-1" lands out of range.
// All of them take the whole text or fail, and leave out alone when they fail.
#ifndef RYX_NUMBER_H
#define RYX_NUMBER_H

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace ryx::num {

namespace detail {

// Digits only, at least one, and a value of at most max.
inline bool digits(std::string_view s, uint64_t max, uint64_t &out) {
    const char *p = s.data(), *const end = p + s.size();
    if (p == end) return false;
    uint64_t v = 0;
    for (; p != end; ++p) {
        if (*p < '0' || *p > '9') return false;
        const unsigned d = unsigned(*p - '0');
        if (v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

} // namespace detail

inline bool parse_u64(std::string_view s, uint64_t &out) {
    return detail::digits(s, UINT64_MAX, out);
}

inline bool parse_u32(std::string_view s, uint32_t &out) {
    uint64_t v;
    if (!detail::digits(s, UINT32_MAX, v)) return false;
    out = uint32_t(v);
    return true;
}

inline bool parse_canonical_u32(std::string_view s, uint32_t &out) {
    if (s.size() > 1 && *s.data() == '0') return false;
    return parse_u32(s, out);
}

inline bool parse_c_u32(const char *s, uint32_t &out) {
    char *end;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (*end != '\0' || v > UINT32_MAX) return false;
    out = uint32_t(v);
    return true;
}

// Sets errno to tell an overflow from the largest value.
inline bool parse_c_u64(const char *s, uint64_t &out) {
    char *end;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (*end != '\0' || errno == ERANGE) return false;
    out = v;
    return true;
}

inline bool parse_c_i32(const char *s, int32_t &out) {
    char *end;
    const long v = std::strtol(s, &end, 10);
    if (*end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    out = int32_t(v);
    return true;
}

} // namespace ryx::num

#endif
