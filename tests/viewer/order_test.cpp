// Ordering: which sort codes have comparators, on which key, in which direction; the sort and
// interval steps of a pass.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "ryxps-order.h"

namespace {

TEST(Sort, EachCodeOrdersByItsOwnFieldAsUnsigned64Bit) {
    const std::pair<unsigned, uint64_t ryx_entry::*> keys[] = {
        {SORT_CPU, &ryx_entry::cpu},    {SORT_PROCESS, &ryx_entry::pno},
        {SORT_THREAD, &ryx_entry::tno}, {SORT_MEM, &ryx_entry::mem},
        {SORT_IO, &ryx_entry::io},      {SORT_IOPS, &ryx_entry::iops}};
    for (unsigned code = 0; code < RYX_SORTER_SLOTS; code++)
        EXPECT_EQ(ryx_sorter[code] != nullptr,
                  (code >= 1 && code <= 6) || (code >= 129 && code <= 134))
            << code;
    for (auto [code, field] : keys) {
        // Every other field runs the opposite way, so a comparator on the wrong field gives the
        // wrong order; a subtraction gets 2^63 and more wrong. Validity flags do not count.
        std::vector<ryx_entry> r(4);
        const uint64_t values[] = {5, 1ull << 63, 0, UINT64_MAX};
        for (size_t i = 0; i < r.size(); i++) {
            for (auto [other_code, other] : keys)
                r[i].*other = 100 - i;
            r[i].id = i;
            r[i].*field = values[i];
        }
        for (unsigned c : {code, code | SORT_REVERSE}) {
            std::vector<ryx_entry *> a;
            for (ryx_entry &e : r)
                a.push_back(&e);
            qsort(a.data(), a.size(), sizeof a[0], ryx_sorter[c]);
            std::vector<uint64_t> ids;
            for (ryx_entry *e : a)
                ids.push_back(e->id);
            const std::vector<uint64_t> largest_first{3, 1, 0, 2}, smallest_first{2, 0, 1, 3};
            EXPECT_EQ(ids, c == code ? largest_first : smallest_first) << c;
        }
        ryx_entry *x = &r[0], *y = &r[3];
        r[3].*field = r[0].*field; // equal keys: 0 both ways
        EXPECT_EQ(ryx_sorter[code](&x, &y) | ryx_sorter[code | SORT_REVERSE](&x, &y), 0);
    }
}

TEST(IntervalDeltas, IncreaseOrInvalid) {
    ryx_entry a{}, b{};
    a.cpu = 100;
    a.io = 50;
    a.iops = 7;
    a.cpu_valid = a.io_valid = a.iops_valid = 1;
    b.cpu = 1100;
    b.io = 40;
    b.iops = 9;
    b.cpu_valid = b.io_valid = 1;
    ryx_apply_deltas(&a, &b);
    EXPECT_EQ(a.cpu, 1000u);
    EXPECT_EQ(a.cpu_valid, 1);
    // Went backwards: re-created container, no meaningful increase.
    EXPECT_EQ(a.io, 50u);
    EXPECT_EQ(a.io_valid, 0);
    // Missing from the second read.
    EXPECT_EQ(a.iops, 7u);
    EXPECT_EQ(a.iops_valid, 0);

    // Counters near the top of the range still give their exact increase.
    ryx_entry c{}, d{};
    c.cpu = ~uint64_t{0} - 10;
    d.cpu = ~uint64_t{0};
    c.cpu_valid = d.cpu_valid = 1;
    ryx_apply_deltas(&c, &d);
    EXPECT_EQ(c.cpu, 10u);
    EXPECT_EQ(c.cpu_valid, 1);
}

TEST(SortStep, RelinksBothDirections) {
    ryx_entry e[4]{};
    const uint64_t mem[4] = {20, 40, 10, 30};
    for (int i = 0; i < 4; ++i) {
        e[i].id = i;
        e[i].mem = mem[i];
        e[i].prev = i > 0 ? &e[i - 1] : nullptr;
        e[i].next = i < 3 ? &e[i + 1] : nullptr;
    }
    ryx_entry *head = ryx_sort_list(&e[0], SORT_MEM | SORT_REVERSE);
    std::vector<uint64_t> order;
    const ryx_entry *last = nullptr;
    for (ryx_entry *p = head; p; p = p->next) {
        EXPECT_EQ(p->prev, last);
        order.push_back(p->mem);
        last = p;
    }
    EXPECT_EQ(order, (std::vector<uint64_t>{10, 20, 30, 40}));
    EXPECT_EQ(ryx_sort_list(nullptr, SORT_MEM), nullptr);
    EXPECT_EQ(ryx_sort_list(head, SORT_NONE), head);
}

// Each record takes its increase from the first record of the second list with its id; one
// missing there loses its cpu, io and iops, and one whose cpu was not valid is left alone.
TEST(IntervalStep, FirstMatchingIdOrInvalid) {
    ryx_entry a[3]{}, b[2]{};
    for (int i = 0; i < 3; i++) {
        a[i].id = i + 1;
        a[i].cpu = 10;
        a[i].cpu_valid = a[i].io_valid = a[i].iops_valid = 1;
        a[i].next = i < 2 ? &a[i + 1] : nullptr;
    }
    a[2].cpu_valid = 0;
    b[0].id = b[1].id = 1;
    b[0].cpu = 15;
    b[1].cpu = 99;
    b[0].cpu_valid = b[0].io_valid = b[0].iops_valid = b[1].cpu_valid = 1;
    b[0].next = &b[1];
    ryx_apply_interval(a, b);
    EXPECT_EQ(a[0].cpu, 5u);
    EXPECT_EQ(a[0].cpu_valid + a[0].io_valid + a[0].iops_valid, 3);
    EXPECT_EQ(a[1].cpu_valid + a[1].io_valid + a[1].iops_valid, 0);
    EXPECT_EQ(a[2].io_valid, 1);
}

} // namespace
