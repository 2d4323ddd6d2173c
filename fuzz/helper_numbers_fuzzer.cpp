// The helpers' decimal arguments: uid, domain id and seven limits, typed by an ordinary user and
// read by a program that may run with raised privileges. Checked against a reading written out
// by hand: optional blanks, an optional sign, decimal digits to the very end (an empty text is
// 0), and a value in range. An unsigned value with a minus sign is negated modulo 2^64, as
// strtoul does: "-1" lands far out of range, "-18446744073709551615" is 1.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

// The limits helper keeps its parser to itself: compile the helper here, under another main.
#define main ryz_limits_helper_main
#include "ryz-limits-helper.cpp"
#undef main

namespace {

struct Reading {
    bool negative = false;
    unsigned __int128 magnitude = 0; // capped well above 2^64
};

std::optional<Reading> read_decimal(const std::string &s) {
    Reading r;
    size_t i = 0;
    if (s.empty()) return r;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) r.negative = s[i++] == '-';
    const size_t digits = i;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        r.magnitude = r.magnitude * 10 + unsigned(s[i] - '0');
        if (r.magnitude > (unsigned __int128)1 << 80) r.magnitude = (unsigned __int128)1 << 80;
    }
    if (i == digits || i != s.size()) return std::nullopt;
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    // The helpers see C strings: anything after a NUL is not part of the argument.
    const std::string arg(text.c_str());
    const std::optional<Reading> r = read_decimal(arg);

    uint32_t u = 7;
    const unsigned __int128 two64 = (unsigned __int128)1 << 64;
    unsigned __int128 value = two64; // overflow: ULONG_MAX, out of range
    if (r && r->magnitude < two64)
        value = r->negative ? (two64 - r->magnitude) % two64 : r->magnitude;
    const bool u_ok = r && value <= UINT32_MAX;
    if ((parse_uint32(text.c_str(), &u) == 0) != u_ok) abort();
    if (u_ok ? u != uint32_t(value) : u != 7) abort(); // a refused value leaves the output alone

    int32_t i = 7;
    const bool i_ok = r && r->magnitude <= (r->negative ? 2147483648u : 2147483647u);
    if ((parse_int32(text.c_str(), &i) == 0) != i_ok) abort();
    if (i_ok && int64_t(i) != (r->negative ? -int64_t(r->magnitude) : int64_t(r->magnitude)))
        abort();
    if (!i_ok && i != 7) abort();
    return 0;
}
