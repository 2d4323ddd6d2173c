// One scrape: a collection pass, timed and counted, written out with the exporter's own
// figures. Not thread-safe: the HTTP server runs every pass on its one collection thread.
#pragma once

#include <functional>
#include <string>

#include "snapshot.h"

namespace ryx_exporter {

class Scraper {
  public:
    using CollectFn = std::function<Snapshot()>;

    // stats: the figures to continue from (a textfile run continues the previous file's).
    explicit Scraper(CollectFn collect, ExporterStats stats = {});

    std::string scrape();
    // The last pass could not read the container lists.
    bool failed() const { return failed_; }

  private:
    CollectFn collect_;
    ExporterStats stats_;
    bool failed_ = false;
};

} // namespace ryx_exporter
