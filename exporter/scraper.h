// One scrape: a collection pass, timed and counted, written out with the exporter's own
// figures. Not thread-safe: the HTTP server runs every pass on its one collection thread.
#pragma once

#include <functional>
#include <string>

#include "snapshot.h"

namespace ryx_exporter {

class scraper {
  public:
    using collect_fn = std::function<snapshot()>;

    // stats: the figures to continue from (a textfile run continues the previous file's).
    explicit scraper(collect_fn collect, exporter_stats stats = {});

    std::string scrape();
    // The last pass could not read the container lists.
    bool failed() const { return failed_; }

  private:
    collect_fn collect_;
    exporter_stats stats_;
    bool failed_ = false;
};

} // namespace ryx_exporter
