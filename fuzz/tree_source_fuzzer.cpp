// The tree source's text: the record of where the tree is, the group names, and the group files
// (cpu.stat, io.stat, blkio's totals, single counters). The kernel writes the files and root
// the record, but a parser that trusts its writer is still one bug away from reading past its
// input. Each parser gets the whole input; the ones with an obvious reference must agree with it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ryx-cgroup-record.h"
#include "tree-source.h"

namespace {

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// A group's id has exactly one spelling, the library's.
void check_group_id(std::string_view name) {
    uint32_t id = 0;
    if (ryx_tree_group_id(name, id) && (id == 0 || name != "ryx" + std::to_string(id))) abort();
}

// A counter is its digits, read as strtoull reads them, when they fit.
void check_counter(std::string_view text) {
    uint64_t v = 0;
    bool ours = ryx_parse_counter(text, v);
    std::string_view digits = text.substr(0, text.size() - (text.ends_with('\n') ? 1 : 0));
    if (ours && !all_digits(digits)) abort();
    if (all_digits(digits) && digits.size() < 20) {
        const std::string z(digits);
        if (!ours || v != strtoull(z.c_str(), nullptr, 10)) abort();
    }
}

// The record's lines: each one read is whole and within its fields' sizes, and the reading
// always moves on.
void check_record(const std::string &text) {
    const char *p = text.c_str();
    ryx_record_line line;
    int rc;
    while ((rc = ryx_record_next(&p, &line)) > 0) {
        if (line.root[0] != '/' || strnlen(line.root, sizeof line.root) == sizeof line.root ||
            strnlen(line.controllers, sizeof line.controllers) == sizeof line.controllers)
            abort();
    }
    if (rc == 0 && *p != '\0') abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    uint64_t a = 0, b = 0;
    bool devices = false;
    ryx_parse_cpu_usage(text, a);
    ryx_parse_io_stat(text, a, b);
    ryx_parse_blkio_total(text, a, devices);
    check_counter(text);
    check_group_id(text.substr(0, text.find('\n')));
    // The record reader stops at a NUL, as the file it reads is a C string.
    check_record(std::string(text.substr(0, text.find('\0'))));
    return 0;
}
