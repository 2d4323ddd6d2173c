// ryxps column renderers: one cell per call, selected by column kind, reading their records and
// one render context.
#pragma once

#include <cstdint>

#include "container-records.h"
#include "host-config.h"
#include "list-reader.h"
#include "ryxps-options.h"

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

// Everything a renderer reads besides the row's records. The run loop builds it once and
// refreshes `times` from every list read, so that it spans the two reads of the pass.
struct ryx_render_ctx {
    unsigned opts = 0;        // option bits
    int calibration_time = 3; // configured interval in seconds: the basis of thread rates
    ryx_host host;            // page size, clock ticks, processors, frequency
    ryx_read_times times;     // list version and the clock readings of the last two reads
};

using ryx_output_fn = void (*)(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t width,
                               threadinfo *thread);

extern const char *const ryx_fmt_str[COL_COUNT];
extern const ryx_output_fn ryx_output[COL_COUNT];
