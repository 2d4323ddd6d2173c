// Collection on the real host: the viewer's own sources (the kernel's lists and the thread
// collector, or the control-group tree), libryx for the limits, the passwd database for the user
// names.
#pragma once

#include <string>

#include "snapshot.h"

namespace ryx_exporter {

class HostCollector {
  public:
    // Reads the facts that turn counters into base units (page size, processor frequency);
    // false, with error, when the system gives unusable ones.
    bool init(std::string &error);
    Snapshot collect() const;

  private:
    long page_size_ = 0;
    unsigned long cpufreq_ = 0; // Hz; 0 when /proc/cpuinfo gives none
};

} // namespace ryx_exporter
