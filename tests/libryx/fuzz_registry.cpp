// Fuzz target for the registry file parsers: a user table is owned by its user, who can write
// anything into it, and privileged helpers parse it.
//   cmake -DCMAKE_CXX_COMPILER=clang++ ... && <build>/tests/libryx/fuzz_registry -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view f(reinterpret_cast<const char *>(data), size);
    std::vector<ryx::fmt::Entry> entries;
    if (ryx::fmt::decode_user(f, 1000, entries) == 0) {
        // Whatever decodes must probe to the same answers.
        for (const auto &e : entries) {
            if (ryx::fmt::user_lookup(f, 1000, e.docroot) != e.id) __builtin_trap();
        }
    }
    ryx::fmt::user_lookup(f, 1000, "/home/user/public_html");
    ryx::fmt::user_has_id(f, 1000, 60000);
    std::vector<ryx::fmt::Owner> owners;
    uint32_t next;
    ryx::fmt::decode_index(f, owners, next);
    ryx::fmt::index_owner(f, 60000);
    return 0;
}
