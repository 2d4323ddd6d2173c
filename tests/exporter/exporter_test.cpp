// The exporter's shared collection pass and its label escaping, on their own.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "exposition.h"
#include "shared-collection.h"

using namespace ryx_exporter;

TEST(SharedCollection, RequestsDuringAPassShareItsResultAndLaterOnesStartANewPass) {
    std::mutex mutex;
    std::condition_variable cv;
    int passes = 0, released = 0;
    std::vector<shared_collection::result> got;
    // Each pass stays open until the test releases it.
    shared_collection collection([&] {
        std::unique_lock lock(mutex);
        int n = ++passes;
        cv.notify_all();
        cv.wait(lock, [&] { return released >= n; });
        return "pass " + std::to_string(n);
    });
    auto deliver = [&](shared_collection::result r) {
        std::lock_guard lock(mutex);
        got.push_back(std::move(r));
        cv.notify_all();
    };
    auto wait = [&](auto done) {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), done));
    };
    auto release = [&] {
        std::lock_guard lock(mutex);
        ++released;
        cv.notify_all();
    };

    ASSERT_TRUE(collection.request(deliver));
    wait([&] { return passes == 1; });
    ASSERT_TRUE(collection.request(deliver)); // while the pass runs
    ASSERT_TRUE(collection.request(deliver));
    release();
    wait([&] { return got.size() == 3; });
    ASSERT_TRUE(got[0]);
    EXPECT_EQ(*got[0], "pass 1");
    EXPECT_EQ(got[1], got[0]); // the same buffer, not a copy
    EXPECT_EQ(got[2], got[0]);

    ASSERT_TRUE(collection.request(deliver));
    release();
    wait([&] { return got.size() == 4; });
    EXPECT_EQ(passes, 2);
    EXPECT_EQ(*got[3], "pass 2");
    collection.stop();
    EXPECT_FALSE(collection.request(deliver));
}

TEST(Exposition, LabelValuesAndHelpAreEscaped) {
    exposition e;
    e.family("m_total", "a\\b\nc \"d\"", metric_type::counter);
    e.sample("m_total", {{"user", "a\\b\"c\nd"}}, 0.1);
    e.sample("m_total", {}, uint64_t{18446744073709551615u});
    EXPECT_EQ(e.text(), "# HELP m_total a\\\\b\\nc \"d\"\n# TYPE m_total counter\n"
                        "m_total{user=\"a\\\\b\\\"c\\nd\"} 0.1\nm_total 18446744073709551615\n");
}
