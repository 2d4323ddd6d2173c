// The exporter's shared collection pass and the escaping of label values, on their own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "exposition.h"
#include "shared-collection.h"

using namespace ryx_exporter;

namespace {

// A collection pass that stays open until the test lets it finish.
struct gated_pass {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, released = false;
    std::atomic<int> passes{0};

    std::string run() {
        std::unique_lock lock(mutex);
        int n = ++passes;
        entered = true;
        cv.notify_all();
        cv.wait(lock, [this] { return released; });
        released = false;
        entered = false;
        return "pass " + std::to_string(n);
    }
    void wait_entered() {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [this] { return entered; }));
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        cv.notify_all();
    }
};

// Results as the requests receive them.
struct inbox {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<shared_collection::result> got;

    shared_collection::deliver_fn slot() {
        return [this](shared_collection::result r) {
            std::lock_guard lock(mutex);
            got.push_back(std::move(r));
            cv.notify_all();
        };
    }
    void wait_for(size_t n) {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return got.size() >= n; }));
    }
};

} // namespace

TEST(SharedCollection, RequestsDuringAPassShareItsResultAndLaterOnesStartANewPass) {
    gated_pass pass;
    inbox box;
    shared_collection collection([&] { return pass.run(); });

    ASSERT_TRUE(collection.request(box.slot()));
    pass.wait_entered();
    ASSERT_TRUE(collection.request(box.slot()));
    ASSERT_TRUE(collection.request(box.slot()));
    pass.release();
    box.wait_for(3);
    EXPECT_EQ(pass.passes, 1);
    EXPECT_EQ(*box.got[0], "pass 1");
    EXPECT_EQ(box.got[1], box.got[0]); // the same buffer, not a copy
    EXPECT_EQ(box.got[2], box.got[0]);

    ASSERT_TRUE(collection.request(box.slot()));
    pass.wait_entered();
    pass.release();
    box.wait_for(4);
    EXPECT_EQ(pass.passes, 2);
    EXPECT_EQ(*box.got[3], "pass 2");
}

TEST(SharedCollection, StopFinishesThePassUnderWayAndRefusesNewRequests) {
    gated_pass pass;
    inbox box;
    shared_collection collection([&] { return pass.run(); });
    ASSERT_TRUE(collection.request(box.slot()));
    pass.wait_entered();
    std::thread stopper([&] { collection.stop(); });
    // A request made while stopping is either refused or answered: never left hanging.
    bool taken = collection.request(box.slot());
    pass.release();
    stopper.join();
    box.wait_for(taken ? 2 : 1);
    ASSERT_TRUE(box.got[0]);
    EXPECT_EQ(*box.got[0], "pass 1");
    EXPECT_FALSE(collection.request(box.slot()));
}

TEST(SharedCollection, AFailedPassAnswersEmptyAndTheNextOneRuns) {
    int calls = 0;
    inbox box;
    shared_collection collection([&]() -> std::string {
        if (++calls == 1) throw std::bad_alloc();
        return "ok";
    });
    ASSERT_TRUE(collection.request(box.slot()));
    box.wait_for(1);
    ASSERT_TRUE(collection.request(box.slot()));
    box.wait_for(2);
    EXPECT_FALSE(box.got[0]);
    ASSERT_TRUE(box.got[1]);
    EXPECT_EQ(*box.got[1], "ok");
}

TEST(Exposition, LabelValuesAndHelpAreEscaped) {
    std::string out;
    append_label_value(out, "a\\b\"c\nd");
    EXPECT_EQ(out, "a\\\\b\\\"c\\nd");
    out.clear();
    append_help(out, "x\\y\"z\n");
    EXPECT_EQ(out, "x\\\\y\"z\\n");

    exposition e;
    e.family("m_total", "help", metric_type::counter);
    e.sample("m_total", {{"user", "o\"k"}}, 0.1);
    e.sample("m_total", {}, uint64_t{18446744073709551615u});
    EXPECT_EQ(e.text(), "# HELP m_total help\n# TYPE m_total counter\n"
                        "m_total{user=\"o\\\"k\"} 0.1\nm_total 18446744073709551615\n");
}
