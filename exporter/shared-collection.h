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

class shared_collection {
  public:
    using result = std::shared_ptr<const std::string>;
    // One pass; runs on the collection thread, never two at once.
    using collect_fn = std::function<std::string()>;
    // Called once per request, on the collection thread, with the pass's result; an empty
    // result when the pass failed or the service stopped before it ran.
    using deliver_fn = std::function<void(result)>;

    explicit shared_collection(collect_fn collect);
    ~shared_collection();
    shared_collection(const shared_collection &) = delete;
    shared_collection &operator=(const shared_collection &) = delete;

    // Joins the pass under way, or starts one. False once stop() began: deliver is then never
    // called.
    bool request(deliver_fn deliver);
    // Finishes the pass under way, delivers to everyone waiting, ends the thread.
    void stop();

  private:
    void run();

    collect_fn collect_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<deliver_fn> waiting_; // for the pass under way, or else the next one
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ryx_exporter
