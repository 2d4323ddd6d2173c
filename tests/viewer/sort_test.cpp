// Sort table: which slots hold comparators, on which key, in which direction.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "ryxps.h"

namespace {

struct key {
    unsigned code;
    uint64_t ryx_entry::*field;
};

const key keys[] = {
    {SORT_CPU, &ryx_entry::cpu}, {SORT_PROCESS, &ryx_entry::pno}, {SORT_THREAD, &ryx_entry::tno},
    {SORT_MEM, &ryx_entry::mem}, {SORT_IO, &ryx_entry::io},       {SORT_IOPS, &ryx_entry::iops},
};

// Ids of the records in the order qsort leaves them.
std::vector<uint64_t> sorted_ids(std::vector<ryx_entry> &records, unsigned code) {
    std::vector<ryx_entry *> array;
    for (ryx_entry &r : records)
        array.push_back(&r);
    qsort(array.data(), array.size(), sizeof(ryx_entry *), ryx_sorter[code]);
    std::vector<uint64_t> ids;
    for (ryx_entry *r : array)
        ids.push_back(r->id);
    return ids;
}

TEST(Sort, OnlyTheTwelveCodesHaveComparators) {
    for (unsigned code = 0; code < RYX_SORTER_SLOTS; code++) {
        bool filled = (code >= 1 && code <= 6) || (code >= 129 && code <= 134);
        EXPECT_EQ(ryx_sorter[code] != nullptr, filled) << code;
    }
}

TEST(Sort, EachCodeOrdersByItsOwnFieldAsUnsigned64Bit) {
    for (const key &k : keys) {
        SCOPED_TRACE(k.code);
        // Every other field is ordered the opposite way, so a comparator reading the wrong field
        // gives the wrong order. Validity flags are clear on the largest and not looked at.
        std::vector<ryx_entry> r(4);
        const uint64_t values[] = {5, 1ull << 63, 0, UINT64_MAX};
        for (size_t i = 0; i < r.size(); i++) {
            r[i].id = i;
            for (const key &other : keys)
                r[i].*other.field = 100 - i;
            r[i].*k.field = values[i];
        }
        r[3].cpu_valid = r[3].mem_valid = r[3].io_valid = r[3].iops_valid = 0;
        EXPECT_EQ(sorted_ids(r, k.code), (std::vector<uint64_t>{3, 1, 0, 2}));
        EXPECT_EQ(sorted_ids(r, k.code | SORT_REVERSE), (std::vector<uint64_t>{2, 0, 1, 3}));

        ryx_entry *a = &r[0], *b = &r[3];
        r[3].*k.field = r[0].*k.field;
        EXPECT_EQ(ryx_sorter[k.code](&a, &b), 0);
        EXPECT_EQ(ryx_sorter[k.code | SORT_REVERSE](&a, &b), 0);
        r[3].*k.field = r[0].*k.field + 1;
        EXPECT_EQ(ryx_sorter[k.code](&a, &b), 1);
        EXPECT_EQ(ryx_sorter[k.code](&b, &a), -1);
        EXPECT_EQ(ryx_sorter[k.code | SORT_REVERSE](&a, &b), -1);
        EXPECT_EQ(ryx_sorter[k.code | SORT_REVERSE](&b, &a), 1);
    }
}

} // namespace
