// Sort orders: qsort comparators over arrays of container record pointers, one per key and
// direction, in a table indexed by the sort code (key 1..6, plus 128 for smallest first).
#include "ryxps.h"

namespace {

// Compared, never subtracted: keys are full-range unsigned 64-bit counters.
template <uint64_t ryx_entry::*Key> int largest_first(const void *a, const void *b) {
    uint64_t x = (*static_cast<ryx_entry *const *>(a))->*Key;
    uint64_t y = (*static_cast<ryx_entry *const *>(b))->*Key;
    return x > y ? -1 : x < y ? 1 : 0;
}

template <uint64_t ryx_entry::*Key> int smallest_first(const void *a, const void *b) {
    return -largest_first<Key>(a, b);
}

} // namespace

int ryx_sorter_cpu_usage(const void *a, const void *b) {
    return largest_first<&ryx_entry::cpu>(a, b);
}
int ryx_sorter_procs(const void *a, const void *b) {
    return largest_first<&ryx_entry::pno>(a, b);
}
int ryx_sorter_threads(const void *a, const void *b) {
    return largest_first<&ryx_entry::tno>(a, b);
}
int ryx_sorter_mem_usage(const void *a, const void *b) {
    return largest_first<&ryx_entry::mem>(a, b);
}
int ryx_sorter_io_usage(const void *a, const void *b) {
    return largest_first<&ryx_entry::io>(a, b);
}
int ryx_sorter_iops_usage(const void *a, const void *b) {
    return largest_first<&ryx_entry::iops>(a, b);
}
int ryx_rsorter_cpu_usage(const void *a, const void *b) {
    return smallest_first<&ryx_entry::cpu>(a, b);
}
int ryx_rsorter_procs(const void *a, const void *b) {
    return smallest_first<&ryx_entry::pno>(a, b);
}
int ryx_rsorter_threads(const void *a, const void *b) {
    return smallest_first<&ryx_entry::tno>(a, b);
}
int ryx_rsorter_mem_usage(const void *a, const void *b) {
    return smallest_first<&ryx_entry::mem>(a, b);
}
int ryx_rsorter_io_usage(const void *a, const void *b) {
    return smallest_first<&ryx_entry::io>(a, b);
}
int ryx_rsorter_iops_usage(const void *a, const void *b) {
    return smallest_first<&ryx_entry::iops>(a, b);
}

const ryx_sorter_fn ryx_sorter[RYX_SORTER_SLOTS] = {
    // 0: unsorted; 1..6: largest first
    nullptr,
    ryx_sorter_cpu_usage,
    ryx_sorter_procs,
    ryx_sorter_threads,
    ryx_sorter_mem_usage,
    ryx_sorter_io_usage,
    ryx_sorter_iops_usage,
    // 7..128: no such code
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    // 129..134: the same keys, smallest first
    ryx_rsorter_cpu_usage,
    ryx_rsorter_procs,
    ryx_rsorter_threads,
    ryx_rsorter_mem_usage,
    ryx_rsorter_io_usage,
    ryx_rsorter_iops_usage,
};
