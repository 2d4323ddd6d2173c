// Scrapes, and what they report about themselves.
#include "scraper.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace ryx_exporter {

Scraper::Scraper(CollectFn collect, ExporterStats stats)
    : collect_(std::move(collect)), stats_(stats) {}

std::string Scraper::scrape() {
    auto start = std::chrono::steady_clock::now();
    Snapshot snap;
    try {
        snap = collect_();
    } catch (const std::bad_alloc &) {
        snap = Snapshot{};
        snap.error = -ENOMEM;
    }
    stats_.collect_duration_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool failed = snap.error != 0;
    if (failed) ++stats_.collect_errors_total;
    // Said once when it starts and once when it ends, not at every scrape in between.
    // The list reader says -EPROTO for a list that is missing, unreadable or not a list.
    if (failed && !failed_)
        std::fprintf(stderr, "ryx_exporter: cannot read the container lists (%s)\n",
                     snap.error == -EPROTO ? "/proc/ryx/list missing, unreadable or malformed"
                                           : std::strerror(-snap.error));
    else if (!failed && failed_)
        std::fprintf(stderr, "ryx_exporter: the container lists are readable again\n");
    failed_ = failed;
    return render(snap, stats_);
}

} // namespace ryx_exporter
