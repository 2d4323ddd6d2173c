// The statistics history and ryxinfo's figures: windows, owners, averages, faults, columns.
#include <gtest/gtest.h>

#include "history.h"

using namespace ryxsim;

namespace {

// ms id owner name cpu ep vmem pmem nproc io iops | limits cpu ep vmem pmem nproc io iops | faults
const char kHistory[] =
    "1000 60000 1000 shop.example 40.00 2 300 100 3 1000 10 50 0 0 0 0 0 0 0\n"
    "1000 60005 1001 other.example 90.00 1 1 1 1 1 1 0 0 0 0 0 0 0 0\n"
    "2000 60000 1000 shop.example 50.00 4 300 300 3 3000 30 50 0 0 0 0 0 0 1\n"
    "garbage line\n"
    "3000 60001 1000 blog.example 10.00 0 1 1 1 1 1 0 0 0 0 0 0 0 0\n"
    "3000 60000 1000 shop.example 60.00 0 300 200 3 2000 20 50 0 4096 0 0 0 0 9\n"
    "4000 60000 1000 shop.example 99";

} // namespace

TEST(History, FiguresOfOneOwnerOverTheWindow) {
    auto d = aggregate(kHistory, 1000, 0);
    ASSERT_EQ(d.size(), 2u);
    const DomainFigures &shop = d[0];
    EXPECT_EQ((std::tuple{shop.id, shop.owner, shop.name, shop.samples}),
              (std::tuple{60000u, 1000u, std::string("shop.example"), 3u}));
    EXPECT_DOUBLE_EQ(shop.avg[0], 50); // CPU
    EXPECT_DOUBLE_EQ(shop.max[0], 60);
    EXPECT_DOUBLE_EQ(shop.avg[3], 200); // PMem
    EXPECT_DOUBLE_EQ(shop.max[1], 4);   // EP
    EXPECT_EQ(shop.limit[0], 50);
    EXPECT_EQ(shop.limit[2], 4096); // the latest sample's limit
    EXPECT_EQ(shop.faults[0], 2u);  // bit 0 in two samples
    EXPECT_EQ(shop.faults[3], 1u);  // bit 3 once
    // The window starts at from_ms; the cut last line is not counted.
    d = aggregate(kHistory, 1000, 2500);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].name, "blog.example");
    EXPECT_EQ(d[1].samples, 1u);
    EXPECT_TRUE(aggregate(kHistory, 1002, 0).empty());
}

TEST(History, Periods) {
    uint64_t s = 0;
    for (auto [text, want] : {std::pair{"30s", 30ull},
                              {"15m", 900ull},
                              {"2h", 7200ull},
                              {"1d", 86400ull},
                              {"45", 45ull}}) {
        ASSERT_EQ(parse_period(text, s), 0) << text;
        EXPECT_EQ(s, want) << text;
    }
    for (const char *bad : {"", "d", "0", "0h", "-1", "1x", "1.5h", " 1h", "99999999999d"})
        EXPECT_NE(parse_period(bad, s), 0) << bad;
}

TEST(History, ColumnsAndJson) {
    std::vector<std::string> cols;
    std::string bad;
    // The statistics helper's own selection, with its mixed case.
    ASSERT_EQ(parse_columns("domain,domain_id,parent_uid,aCPU,mCPU,lCPU,CPUf,aEP,mEP,lEP,EPf,aVMem,"
                            "mVMem,lVMem,VMemF,aPMem,mPMem,lPMem,PMemF,aNproc,mNproc,lNproc,NprocF,"
                            "aIO,mIO,lIO,IOf,aIOPS,mIOPS,lIOPS,IOPSf",
                            cols, bad),
              0);
    EXPECT_EQ(cols.size(), 31u);
    EXPECT_NE(parse_columns("domain,xCPU", cols, bad), 0);
    EXPECT_EQ(bad, "xCPU");
    EXPECT_NE(parse_columns("domain,", cols, bad), 0);

    DomainFigures d;
    d.id = 60000;
    d.owner = 1000;
    d.name = "we\"ird\\name";
    d.avg[0] = 12.345;
    d.max[5] = 2047.5;
    d.limit[3] = 4096;
    d.faults[6] = 3;
    ASSERT_EQ(parse_columns("domain,domain_id,aCPU,mIO,lPMem,IOPSf,parent_uid", cols, bad), 0);
    EXPECT_EQ(render_json({d}, cols, 1000, "1h", 5000, 9000),
              "{\"uid\": 1000, \"period\": \"1h\", \"from\": 5, \"to\": 9, \"domains\": [\n"
              "  {\"domain\": \"we\\\"ird\\\\name\", \"domain_id\": 60000, \"aCPU\": 12.3, "
              "\"mIO\": 2048, \"lPMem\": 4096, \"IOPSf\": 3, \"parent_uid\": 1000}\n]}\n");
    EXPECT_EQ(render_json({}, cols, 7, "1d", 0, 0),
              "{\"uid\": 7, \"period\": \"1d\", \"from\": 0, \"to\": 0, \"domains\": []}\n");
}
