// Sort table: which codes have comparators, on which key, in which direction.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "ryxps.h"

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

} // namespace
