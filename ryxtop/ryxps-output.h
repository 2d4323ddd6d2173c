// ryxps column renderers: one cell per call, selected by column kind.
#pragma once

#include "ryxps.h"

enum : int {
    ROW_HEADER = 1,
    ROW_CONTAINER = 2,
    ROW_THREAD = 3,
};

// Column kinds; the index into ryx_fmt_str and ryx_output (0 is unused).
enum : int {
    COL_ID = 1,
    COL_EP,
    COL_PID,
    COL_PNO,
    COL_TID,
    COL_TNO,
    COL_CPU,
    COL_MEM,
    COL_IO,
    COL_IOPS,
    COL_COM,
    COL_RYK,
    COL_COUNT, // 13 table entries
};

using ryx_output_fn = void (*)(ryx_entry *entry, int row, unsigned opts, uint32_t width,
                               threadinfo *thread);

extern const char *const ryx_fmt_str[COL_COUNT];
extern const ryx_output_fn ryx_output[COL_COUNT];
