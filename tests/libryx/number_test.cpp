// The number parser every program shares: each reading against a table of edge cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "ryx-number.h"

namespace {

using ryx::num::parse_c_i32;
using ryx::num::parse_c_u32;
using ryx::num::parse_c_u64;
using ryx::num::parse_canonical_u32;
using ryx::num::parse_u32;
using ryx::num::parse_u64;

template <class T, class F> std::optional<T> read(F parse, const std::string &text) {
    T v = 7; // a failure must leave the output alone
    if (parse(text.c_str(), v)) return v;
    EXPECT_EQ(v, T(7)) << text;
    return std::nullopt;
}

constexpr std::nullopt_t no = std::nullopt;

TEST(Number, TypedAndWritten) {
    const struct {
        const char *text;
        std::optional<uint32_t> typed, written; // parse_u32, parse_canonical_u32
    } cases[] = {
        {"0", 0, 0},
        {"7", 7, 7},
        {"4294967295", 4294967295u, 4294967295u},
        {"4294967296", no, no},
        {"99999999999999999999999", no, no},
        {"01", 1, no},
        {"00", 0, no},
        {"0004294967295", 4294967295u, no},
        {"", no, no},
        {" 5", no, no},
        {"5 ", no, no},
        {"+5", no, no},
        {"-0", no, no},
        {"5a", no, no},
        {".index", no, no},
        {"1e3", no, no},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(read<uint32_t>(parse_u32, c.text), c.typed) << c.text;
        EXPECT_EQ(read<uint32_t>(parse_canonical_u32, c.text), c.written) << c.text;
    }
    EXPECT_EQ(read<uint64_t>(parse_u64, "18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(read<uint64_t>(parse_u64, "18446744073709551616"), no);
    EXPECT_EQ(read<uint64_t>(parse_u64, "0018446744073709551615"), UINT64_MAX);
    // Not NUL-terminated: the view's bytes alone count.
    uint32_t v = 0;
    EXPECT_TRUE(parse_canonical_u32(std::string_view("12345", 2), v) && v == 12);
}

// The C library's reading, as the helpers' command lines have it.
TEST(Number, TheCLibrarysReading) {
    const struct {
        const char *text;
        std::optional<uint32_t> u32;
        std::optional<int32_t> i32;
    } cases[] = {
        {"1000", 1000u, 1000},
        {" \t+1000", 1000u, 1000},
        {"", 0u, 0},
        {" ", no, no},
        {"+", no, no},
        {"12a", no, no},
        {"1000 ", no, no},
        {"0x10", no, no},
        {"4294967295", 4294967295u, no},
        {"4294967296", no, no},
        {"2147483647", 2147483647u, 2147483647},
        {"2147483648", 2147483648u, no},
        {"-1", no, -1},
        {"-2147483648", no, INT32_MIN},
        {"-2147483649", no, no},
        {"-18446744073709551615", 1u, no}, // negated modulo 2^64
        {"18446744073709551616", no, no},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(read<uint32_t>(parse_c_u32, c.text), c.u32) << c.text;
        EXPECT_EQ(read<int32_t>(parse_c_i32, c.text), c.i32) << c.text;
    }
    EXPECT_EQ(read<uint64_t>(parse_c_u64, "18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(read<uint64_t>(parse_c_u64, "18446744073709551616"), no);
    EXPECT_EQ(read<uint64_t>(parse_c_u64, " 5"), 5u);
}

} // namespace
