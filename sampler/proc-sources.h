// The /proc sources of the thread collector (per-thread status, statm, stat, cmdline and cgroup)
// and of the configuration (cpuinfo): opening them, reading them without allocation, and parsing
// their text. The parsers take plain strings so that they can be tested and fuzzed on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Formats a path printf-style and opens it read-only, relative to dirfd (or AT_FDCWD).
// Returns the descriptor, or -1 when the path does not fit PATH_MAX or the open fails.
int open_fmt_path(int dirfd, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Splits a source into lines through a caller's buffer. A line longer than the buffer comes
// back in pieces: `first` marks the piece that starts a line, `last` the one that ends it
// (newline included when there is one). Read errors count as end of input.
//
// short_read_ends: a read that returns less than asked for is the end of the source. True of
// the /proc files the collector reads (generated whole on the first read) and of regular files,
// and it saves the collector a read per source that would only return 0.
class line_reader {
  public:
    line_reader(int fd, char *buf, size_t size, bool short_read_ends = false)
        : fd_(fd), buf_(buf), size_(size), short_read_ends_(short_read_ends) {}
    bool next(std::string_view &piece, bool &first, bool &last);
    // The first line only, or its first size-1 bytes when it is longer; false when empty.
    bool first_line(std::string_view &line);

  private:
    int fd_;
    char *buf_;
    size_t size_;
    size_t pos_ = 0, len_ = 0;
    bool eof_ = false;
    bool at_line_start_ = true;
    bool read_failed_ = false;
    bool short_read_ends_;
};

// The whole file at path, read to its end (/proc files report no size); false when it cannot
// be opened or read.
bool read_file(const char *path, std::string &out);

// Reads up to size bytes, retrying short reads unless short_read_ends (as for line_reader);
// returns the number read (0 on error or EOF).
size_t read_upto(int fd, char *buf, size_t size, bool short_read_ends = false);

// status: the last "FNid:" value (0 when none) and whether the last "Name:" word is a per-cpu
// migration thread's.
struct status_info {
    uint64_t fnid = 0;
    bool migration = false;
};
void read_status(int fd, char *buf, size_t size, status_info &info, bool short_read_ends = false);

// cgroup: the container id of the first usable line; false when no line is usable.
bool read_cgroup_id(int fd, char *buf, size_t size, uint64_t &id, bool short_read_ends = false);

// status: a line that matches "FNid: %ju", giving the container id.
bool parse_status_fnid(std::string_view line, uint64_t &id);
// status: a line that matches "Name: %s", giving the first word after the label.
bool parse_status_name(std::string_view line, std::string_view &name);

// statm: "%*u %ju %ju", resident and shared pages.
bool parse_statm(std::string_view line, uint64_t &resident, uint64_t &shared);

// stat: user and system time in clock ticks (fields 14 and 15). The command name runs from the
// first "(" to the last ")", so names with blanks or parentheses parse like any other.
bool parse_stat_times(std::string_view line, uint64_t &utime, uint64_t &stime);

// cgroup: the container id named by the last path component of a line, e.g. ".../ryx12" or
// ".../12". parse_cgroup_component takes the text after the last "/" on its own.
bool parse_cgroup_line(std::string_view line, uint64_t &id);
bool parse_cgroup_component(std::string_view component, uint64_t &id);

// cmdline: the command text from the raw bytes read (at most 255): NULs between arguments become
// spaces, "N/A" when nothing was read. out has room for 256 bytes.
void com_from_cmdline(const char *bytes, size_t n, char *out);

// /proc/cpuinfo: the processor frequency in Hz from the first "cpu MHz" line after the first
// line, 0 when there is none (or it cannot be read).
unsigned long get_cpufreq();
unsigned long ryx_parse_cpufreq(std::string_view cpuinfo);
