// ryxps command line: option bits, the sort code, the column format and the interval.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ryxps-options.h"

// One column of the output format.
struct ryx_column {
    int32_t kind;  // 1..12, index into ryx_fmt_str / ryx_output
    int32_t width; // positive
};

struct ryx_cmdline {
    unsigned opts = 0;
    unsigned sort = 0;            // a sort code of ryxps-order.h, 0: unsorted
    int calibration_time = 3;     // -c: seconds between the two samples of an interval
    const char *format = nullptr; // -o, else the default format is built
    bool ryk_column = false;      // -L: only shapes the default format
};

// Where ryx_parse_cmdline stopped.
enum ryx_cmdline_result {
    RYX_CMDLINE_DONE,     // all options read, and they go together
    RYX_CMDLINE_REALTIME, // -r: the caller acts on it, then calls again for the rest
    RYX_CMDLINE_HELP,     // -h: usage written
    RYX_CMDLINE_INVALID,  // a bad option: messages written
};

// Reads options from getopt's current position up to the end or the next -r, so that -r acts
// where it stands: its warning comes before any message about a later option.
ryx_cmdline_result ryx_parse_cmdline(int argc, char **argv, ryx_cmdline &cmd);
// Whole decimal numbers (strtol, so signed): -1 when no digit was read, text follows the number
// or the value overflows a long.
long ryx_strtoul(const char *text);
// The default column format for the option bits; empty on allocation failure.
std::string ryx_default_format(unsigned opts, bool ryk_column);
// Parses "kw:width,..." into columns; 0, or -EINVAL after writing the error messages.
int ryx_parse_format(const char *format, std::vector<ryx_column> &columns);
