// ryxps ordering: the interval step that turns the first sample's counters into increases, and
// the sort of the container list by one of six keys.
#pragma once

#include <array>
#include <cstdint>

#include "container-records.h"

// Sort codes: key 1..6, plus SORT_REVERSE for smallest first; 0 = unsorted.
enum : unsigned {
    SORT_NONE = 0,
    SORT_CPU = 1,
    SORT_PROCESS = 2,
    SORT_THREAD = 3,
    SORT_MEM = 4,
    SORT_IO = 5,
    SORT_IOPS = 6,
    SORT_REVERSE = 128,
};

// qsort comparators over container record pointers, indexed by the sort code; only codes 1..6
// and 129..134 have one.
using ryx_sorter_fn = int (*)(const void *, const void *);
constexpr unsigned RYX_SORTER_SLOTS = 135;
extern const std::array<ryx_sorter_fn, RYX_SORTER_SLOTS> ryx_sorter;

// Turns the counters of a into their increase up to b, the same container's second sample.
void ryx_apply_deltas(ryx_entry *a, const ryx_entry *b);
// The interval step over the first list with the second (which has no threads): each record of
// a takes its increase from the first record of b with its id, or loses its cpu, io and iops
// when b has none.
void ryx_apply_interval(ryx_entry *a, const ryx_entry *b);
// Sorts the list with the comparator for code and relinks it; returns the new head. Unknown
// codes, and no memory for the sort, leave the list as it is.
ryx_entry *ryx_sort_list(ryx_entry *head, unsigned code);
