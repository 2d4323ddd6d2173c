// The shared collection pass and its thread.
#include "shared-collection.h"

namespace ryx_exporter {

SharedCollection::SharedCollection(CollectFn collect)
    : collect_(std::move(collect)), thread_([this] { run(); }) {}

SharedCollection::~SharedCollection() {
    stop();
}

bool SharedCollection::request(DeliverFn deliver) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    waiting_.push_back(std::move(deliver));
    wake_.notify_one();
    return true;
}

void SharedCollection::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void SharedCollection::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        Result res;
        if (!stopping_) {
            // Requests that arrive from now on join this pass: they stay in waiting_ until it
            // ends.
            lock.unlock();
            try {
                res = std::make_shared<const std::string>(collect_());
            } catch (...) {
                res.reset(); // out of memory: these requests fail, the next pass may not
            }
            lock.lock();
        }
        std::vector<DeliverFn> batch;
        batch.swap(waiting_);
        lock.unlock();
        for (DeliverFn &deliver : batch)
            deliver(res);
        batch.clear(); // the callbacks' captures go before the lock is taken again
        lock.lock();
    }
}

} // namespace ryx_exporter
