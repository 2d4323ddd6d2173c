// ryxps internals shared by the command line, the list reader and the run loop, and exposed to
// the unit tests. Everything here lives in ryxps_core; main() only calls ryxps_main().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ryxps.h"

// -- command line (ryxps-cmdline.cpp) ------------------------------------------------------

struct ryx_cmdline {
    unsigned opts = 0;
    unsigned sort = SORT_NONE;
    const char *format = nullptr; // -o, else the default format is built
    bool ryk_column = false;      // -L: only shapes the default format
};

// Negative when no digit was read, text follows the number or the value overflows a long.
long ryx_strtoul(const char *text);
void ryx_usage();
// Parses argv. Returns -1 to go on, otherwise the exit status (messages already written).
int ryx_parse_cmdline(int argc, char **argv, ryx_cmdline &cmd);
// The default column format for the option bits; empty on allocation failure.
std::string ryx_default_format(unsigned opts, bool ryk_column);
// Parses "kw:width,..." into columns; 0, or -EINVAL after writing the error messages.
int ryx_parse_format(const char *format, std::vector<ryx_column> &columns);

// -- environment and list files (ryxps-env.cpp) --------------------------------------------

int ryx_init_env();
unsigned long get_cpufreq();
unsigned long ryx_parse_cpufreq(std::string_view cpuinfo);
char **ryx_add_list_file(char **list, const char *path, int index);
void ryx_free_list_files(char **list);
// "/proc/ryx/list" and then the reseller lists; none on allocation failure.
char **ryx_find_list_files();

// -- list reader (ryxps-list-reader.cpp) ---------------------------------------------------

constexpr uint64_t RYX_NO_VALUE = ~uint64_t{0};

// One read of the lists: the first file's column names and every complete row, each row
// holding its columns in header order followed by the parent slot.
struct ryx_stats {
    std::string header;                  // the header line as read, at most 149 characters
    std::vector<std::string_view> names; // point into header
    std::vector<std::vector<uint64_t>> rows;
    int version = 0;
};

uint64_t ryx_lookup_stat(const ryx_stats *stats, size_t row, const char *name,
                         const char *alt_name);
void ryx_free_stats(ryx_stats *stats);

// Parsing steps on text already read, so they can be tested without files.
// Skips the leading "ryx setup" lines; header receives the next line (without its end), body
// what follows it. False when there is no such line.
bool ryx_split_list(std::string_view text, std::string_view &header, std::string_view &body);
// Version and column names from the first file's header line.
void ryx_parse_header(std::string_view header, ryx_stats &stats);
// Appends every complete row of body; a partial last row is dropped.
void ryx_parse_rows(std::string_view body, ryx_stats &stats);
// Builds the container list from the table (records in reverse row order).
int ryx_build_list(const ryx_stats &stats, ryx_entry **list);

// -- run loop (ryxps-run.cpp) --------------------------------------------------------------

struct ryx_list_deleter {
    void operator()(ryx_entry *list) const { ryx_free_list(list); }
};

// Interval step: turns the counters of a into their increase up to b.
void ryx_apply_deltas(ryx_entry *a, const ryx_entry *b);
// Sorts the list with the comparator for code; returns the new head.
ryx_entry *ryx_sort_list(ryx_entry *head, unsigned code);

int ryxps_main(int argc, char **argv);
