// One collection pass shared by every scrape that asks while it runs: a scrape that arrives
// during a pass waits for that pass and gets its result, instead of running its own. Passes run
// on a thread of their own, so that nobody waiting for one, and no slow client of an earlier
// one, holds up the HTTP server.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ryx_exporter {

class SharedCollection {
  public:
    using Result = std::shared_ptr<const std::string>;
    // One pass; runs on the collection thread, never two at once.
    using CollectFn = std::function<std::string()>;
    // Called once per request, on the collection thread, with the pass's result; an empty
    // result when the pass failed or the service stopped before it ran.
    using DeliverFn = std::function<void(Result)>;

    explicit SharedCollection(CollectFn collect);
    ~SharedCollection();
    SharedCollection(const SharedCollection &) = delete;
    SharedCollection &operator=(const SharedCollection &) = delete;

    // Joins the pass under way, or starts one. False once stop() began: deliver is then never
    // called.
    bool request(DeliverFn deliver);
    // Finishes the pass under way, delivers to everyone waiting, ends the thread.
    void stop();

  private:
    void run();

    CollectFn collect_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<DeliverFn> waiting_; // for the pass under way, or else the next one
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ryx_exporter
