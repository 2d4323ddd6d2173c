// ryxps command line: options, usage text, default format and the column format parser.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <unistd.h>

#include "ryxps-cmdline.h"
#include "ryxps-order.h"
#include "ryxps-output.h"

long ryx_strtoul(const char *text) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0) return -1;
    return v;
}

namespace {

// The usage text, on standard error.
void ryx_usage() {
    fprintf(stderr, "ryxps version %s release %s\n", RYXPS_VERSION, RYXPS_RELEASE);
    fputs("usage: ryxps [-p] [-n] [-L] [-o <fmt1:width1,...>] [-d] [-c <time>] [-s <style>] [-t] "
          "[-h]\n"
          "       -p to print per-process/per-thread statistics\n"
          "       -n to print RYX ID istead of username\n"
          "       -o to use formatted output (fmt=id,ryk,ep,pid,tid,cpu,mem,io)\n"
          "       -L to add the RYK column (parent container id, 0 if none);\n"
          "          ignored when -o is given, which selects columns explicitly\n"
          "       -d to show dynamic cpu usage instead of total cpu usage\n"
          "       -c to calculate average cpu usage for <time> seconds (used with -d)\n"
          "       -r to run under realtime priority for more accuracy (needs privileges)\n"
          "       -s to sort RYXs in output (cpu, process, thread, mem, io)\n"
          "       -t to run in the top-mode\n"
          "       -w to show pids instead of command names\n"
          "       -h to print this brief help message\n"
          "       -l to print cpu usage in old format\n"
          "       -m to print cpu usage in mhz\n"
          "       -x to print output with at least one space between columns\n",
          stderr);
}

// -s: a key, after "!" for smallest first; SORT_NONE for anything else.
unsigned sort_code(const char *style) {
    static const char *const keys[] = {"cpu", "process", "thread", "mem", "io", "iops"};
    unsigned reverse = 0;
    if (*style == '!') {
        reverse = SORT_REVERSE;
        ++style;
    }
    for (unsigned k = 0; k < sizeof keys / sizeof keys[0]; ++k)
        if (strcmp(style, keys[k]) == 0) return (k + 1) | reverse;
    return SORT_NONE;
}

// Options that only set option bits.
struct FlagOption {
    int letter;
    unsigned bits;
};
constexpr FlagOption kFlagOptions[] = {
    {'p', OPT_PROCESS}, {'n', OPT_NUMERIC}, {'d', OPT_DYNAMIC}, {'t', OPT_TOP | OPT_DYNAMIC},
    {'w', OPT_PIDS},    {'l', OPT_OLDCPU},  {'m', OPT_MHZ},     {'x', OPT_SPACED},
};

bool set_flag(int letter, ryx_cmdline &cmd) {
    for (const FlagOption &f : kFlagOptions) {
        if (f.letter == letter) {
            cmd.opts |= f.bits;
            return true;
        }
    }
    return false;
}

// An option error: its message, then the usage text.
ryx_cmdline_result invalid(const char *message) {
    fputs(message, stderr);
    ryx_usage();
    return RYX_CMDLINE_INVALID;
}

// Options with a value, and the rest. RYX_CMDLINE_DONE: taken, read the next one.
ryx_cmdline_result take_option(int letter, const char *value, ryx_cmdline &cmd) {
    switch (letter) {
    case 'L':
        cmd.ryk_column = true;
        return RYX_CMDLINE_DONE;
    case 'c': {
        // The interval is an int: a larger value must not wrap into a short or negative one.
        long t = ryx_strtoul(value);
        if (t <= 0 || t > INT_MAX) return invalid("error: invalid time\n");
        cmd.calibration_time = static_cast<int>(t);
        return RYX_CMDLINE_DONE;
    }
    case 'o':
        if (cmd.format) return invalid("error: multiple formats\n");
        cmd.format = value;
        return RYX_CMDLINE_DONE;
    case 's': {
        // A later -s replaces an earlier one, so the code is always one the table fills.
        unsigned code = sort_code(value);
        if (code == SORT_NONE) return invalid("error: unknown sort order\n");
        cmd.sort = code;
        return RYX_CMDLINE_DONE;
    }
    case 'r':
        return RYX_CMDLINE_REALTIME;
    case 'h':
        ryx_usage();
        return RYX_CMDLINE_HELP;
    default:
        ryx_usage();
        return RYX_CMDLINE_INVALID;
    }
}

// The column kind of a format keyword; 0 when no column has it.
int format_kind(std::string_view keyword) {
    for (int kind = 1; kind < COL_COUNT; ++kind)
        if (ryx_fmt_str[kind] && keyword == ryx_fmt_str[kind]) return kind;
    return 0;
}

} // namespace

ryx_cmdline_result ryx_parse_cmdline(int argc, char **argv, ryx_cmdline &cmd) {
    int c;
    while ((c = getopt(argc, argv, "pndc:o:s:rthwlmxL")) != -1) {
        if (set_flag(c, cmd)) continue;
        ryx_cmdline_result r = take_option(c, optarg, cmd);
        if (r != RYX_CMDLINE_DONE) return r;
    }
    if ((cmd.opts & OPT_PROCESS) && (cmd.opts & OPT_TOP)) {
        fputs("error: -p is not compatible with -t\n", stderr);
        return RYX_CMDLINE_INVALID;
    }
    if ((cmd.opts & OPT_OLDCPU) && (cmd.opts & OPT_MHZ)) {
        fputs("error: -l is not compatible with -m\n", stderr);
        return RYX_CMDLINE_INVALID;
    }
    return RYX_CMDLINE_DONE;
}
std::string ryx_default_format(unsigned opts, bool ryk_column) {
    const char *ryk = ryk_column ? "ryk:8," : "";
    const char *com = "";
    const char *tid = "";
    if (opts & OPT_PROCESS) {
        com = (opts & OPT_PIDS) ? "pid:7," : "com:25,";
        tid = "tid:7,";
    }
    char *text = nullptr;
    if (asprintf(&text, "id:10,%sep:7,pno:7,%stno:7,%scpu:10,mem:9,io:11,iops:11", ryk, com, tid) <
        0)
        return {};
    std::unique_ptr<char, decltype(&free)> owned(text, free);
    try {
        return std::string(text);
    } catch (const std::bad_alloc &) {
        return {};
    }
}

int ryx_parse_format(const char *format, std::vector<ryx_column> &columns) {
    columns.clear();
    std::string_view rest(format);
    bool more = true;
    while (more) {
        size_t comma = rest.find(',');
        std::string_view elem = rest.substr(0, comma);
        more = comma != std::string_view::npos;
        if (more) rest.remove_prefix(comma + 1);

        size_t colon = elem.find(':');
        if (elem.empty() || colon == std::string_view::npos) goto invalid;
        {
            std::string width_text(elem.substr(colon + 1));
            long width = ryx_strtoul(width_text.c_str());
            // The width becomes a printf field width (an int): a larger one would wrap negative
            // and turn right alignment into left alignment.
            if (width <= 0 || width > INT_MAX) goto invalid;
            std::string keyword(elem.substr(0, colon));
            int kind = format_kind(keyword);
            if (kind == 0) {
                fprintf(stderr, "error: unknown unit %s\n", keyword.c_str());
                goto invalid;
            }
            columns.push_back({kind, static_cast<int32_t>(width)});
        }
    }
    return 0;
invalid:
    fputs("error: format string is not valid\n", stderr);
    columns.clear();
    return -EINVAL;
}
