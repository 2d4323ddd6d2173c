// Fuzz target for the container list parser: any bytes a list file may hold must parse into
// records or be rejected, never crash or leak.
//   CXX=clang++ cmake -DRYX_SANITIZE=address,undefined ... && <build>/tests/viewer/list_reader_fuzz
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ryxps-core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string_view header, body;
    if (!ryx_split_list(text, header, body)) return 0;
    ryx_stats stats;
    ryx_parse_header(header, stats);
    // Parsed twice, as a main list followed by a reseller list with the same body.
    ryx_parse_rows(body, stats);
    ryx_parse_rows(body, stats);
    ryx_entry *list = nullptr;
    if (ryx_build_list(stats, &list) == 0) ryx_free_list(list);
    return 0;
}
