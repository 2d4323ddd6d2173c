// ryxps container list reader: finds the kernel's list files and reads them into a sample, the
// container records of one read together with the list version and the clock readings that
// turn counter increases into rates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "container-records.h"

// The list files read on every pass: the main list first, then the reseller lists.
using ryx_list_files = std::vector<std::string>;

// "/proc/ryx/list" and every match of "/proc/ryx/resellers/*/list"; false on allocation
// failure.
bool ryx_find_list_files(ryx_list_files &list);

// The list version of the latest read and the clock readings of the reads so far: [0] the
// previous, [1] the latest. A list of version 5 or more is timed by the realtime clock, an older
// one by the processor's time-stamp counter; a read shifts only the pair of its own clock.
struct ryx_read_times {
    int proc_ryx_version = 0;
    uint64_t times_tsc[2] = {};
    timespec times_ts[2] = {};
};

// Stamps a read of a list of this version: stores the version and shifts in a reading of the
// clock that version counts cpu in (the other clock's pair stays).
void ryx_take_timestamp(ryx_read_times &times, int version);

// Time between the last two reads: nanoseconds from version 5, else time-stamp-counter cycles,
// the unit of the containers' cpu counters. Unsigned: a clock stepped back gives a huge value.
uint64_t ryx_interval_length(const ryx_read_times &times);

struct ryx_sample {
    ryx_list list;        // container records, the last row read first; empty on failure
    ryx_read_times times; // those of the read before, updated by this read
};

// Reads every list file. sample.times starts as `before` (the times of this run's previous
// read) and takes this read's version and clock reading once the main list's header has been
// read. Returns 0, -EPROTO when the lists cannot be read, -ENOMEM when a record cannot be
// allocated.
int ryx_get_stats(const ryx_list_files &files, const ryx_read_times &before, ryx_sample &sample);

// -- parsing steps, on text already read so that they can be tested without files -----------

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

// Skips the leading "ryx setup" lines; header receives the next line (without its end), body
// what follows it. False when there is no such line.
bool ryx_split_list(std::string_view text, std::string_view &header, std::string_view &body);
// Version and column names from the first file's header line.
void ryx_parse_header(std::string_view header, ryx_stats &stats);
// Appends every complete row of body; a partial last row is dropped.
void ryx_parse_rows(std::string_view body, ryx_stats &stats);
