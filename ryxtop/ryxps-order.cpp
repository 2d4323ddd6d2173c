// Ordering: interval deltas, and sorting by qsort with the comparator table indexed by the sort
// code (key 1..6, plus 128 for smallest first).
#include "ryxps-order.h"

#include <cstdlib>
#include <new>
#include <vector>

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

// A counter that is missing from the second sample, or that went backwards (the container was
// re-created under the same id), has no meaningful increase: it is marked invalid and keeps its
// first-sample value rather than a wrapped difference.
void delta(uint64_t &a, int32_t &a_valid, uint64_t b, int32_t b_valid) {
    if (!b_valid || b < a) {
        a_valid = 0;
        return;
    }
    a = b - a;
}

// The comparators keep the names by which the sort orders are known; only the table is seen
// from outside.
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

// Key k (1..6) sorts largest first under code k and smallest first under k + SORT_REVERSE.
constexpr std::array<ryx_sorter_fn, RYX_SORTER_SLOTS> build_sorters() {
    const ryx_sorter_fn largest[] = {ryx_sorter_cpu_usage, ryx_sorter_procs,
                                     ryx_sorter_threads,   ryx_sorter_mem_usage,
                                     ryx_sorter_io_usage,  ryx_sorter_iops_usage};
    const ryx_sorter_fn smallest[] = {ryx_rsorter_cpu_usage, ryx_rsorter_procs,
                                      ryx_rsorter_threads,   ryx_rsorter_mem_usage,
                                      ryx_rsorter_io_usage,  ryx_rsorter_iops_usage};
    std::array<ryx_sorter_fn, RYX_SORTER_SLOTS> table{};
    for (unsigned k = 0; k < 6; ++k) {
        table[SORT_CPU + k] = largest[k];
        table[(SORT_CPU + k) | SORT_REVERSE] = smallest[k];
    }
    return table;
}

} // namespace

constinit const std::array<ryx_sorter_fn, RYX_SORTER_SLOTS> ryx_sorter = build_sorters();

void ryx_apply_deltas(ryx_entry *a, const ryx_entry *b) {
    delta(a->cpu, a->cpu_valid, b->cpu, b->cpu_valid);
    delta(a->io, a->io_valid, b->io, b->io_valid);
    delta(a->iops, a->iops_valid, b->iops, b->iops_valid);
}

void ryx_apply_interval(ryx_entry *a, const ryx_entry *b_head) {
    for (; a; a = a->next) {
        if (!a->cpu_valid) continue;
        const ryx_entry *b = b_head;
        while (b && b->id != a->id)
            b = b->next;
        if (b) {
            ryx_apply_deltas(a, b);
        } else {
            a->cpu_valid = 0;
            a->io_valid = 0;
            a->iops_valid = 0;
        }
    }
}

ryx_entry *ryx_sort_list(ryx_entry *head, unsigned code) {
    if (!head || code >= RYX_SORTER_SLOTS || !ryx_sorter[code]) return head;
    size_t n = 0;
    for (ryx_entry *e = head; e; e = e->next)
        ++n;
    std::vector<ryx_entry *> array;
    try {
        array.reserve(n);
    } catch (const std::bad_alloc &) {
        return head; // printed unsorted
    }
    for (ryx_entry *e = head; e; e = e->next)
        array.push_back(e);
    // The elements are the pointers themselves: the sorters compare through them.
    qsort(array.data(), n, sizeof(array[0]), // NOLINT(bugprone-sizeof-expression)
          ryx_sorter[code]);
    for (size_t i = 0; i < n; ++i) {
        array[i]->prev = i > 0 ? array[i - 1] : nullptr;
        array[i]->next = i + 1 < n ? array[i + 1] : nullptr;
    }
    return array[0];
}
