// The column format of -o "kw:width,...": whatever the caller typed, including widths that do not
// fit an int and keywords with NULs cut short. Accepted formats must name real columns with
// positive widths, one per element; rejected ones leave no columns behind.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ryxps-cmdline.h"
#include "ryxps-output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<ryx_column> columns{{COL_ID, 1}}; // stale content must go either way
    const int rc = ryx_parse_format(text.c_str(), columns);
    if (rc != 0) {
        if (!columns.empty()) abort();
        return 0;
    }
    size_t elements = 1;
    for (const char *p = text.c_str(); *p; ++p)
        elements += *p == ',';
    if (columns.size() != elements) abort();
    for (const ryx_column &c : columns)
        if (c.kind < 1 || c.kind >= COL_COUNT || c.width <= 0) abort();
    return 0;
}
