// What one collection pass knows about the host's containers, in base units, and how it is
// written out together with the exporter's own figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ryx_exporter {

// A container's limits as libryx reports them, in base units; a limit that is not set is
// absent.
struct ContainerLimits {
    std::optional<double> cpu;               // processors
    std::optional<uint64_t> memory;          // bytes of physical memory
    std::optional<uint64_t> virtual_memory;  // bytes
    std::optional<uint64_t> io;              // bytes per second
    std::optional<uint64_t> io_operations;   // per second
    std::optional<uint64_t> processes;       //
    std::optional<uint64_t> entry_processes; //
    // On a stock kernel, the resources above whose limit the container's control group does not
    // hold (read back from the group); unknown (absent) where the container kernel enforces.
    std::optional<std::vector<std::string>> not_enforced;
};

struct ContainerSample {
    uint64_t id = 0;
    uint64_t reseller = 0; // parent container, 0 when none
    std::string user;      // login name when the id is a uid with a passwd entry
    uint64_t entry_processes = 0;
    uint64_t processes = 0;
    uint64_t threads = 0;
    // Absent where the lists give no usable value.
    std::optional<double> cpu_seconds;
    std::optional<uint64_t> memory_bytes;
    std::optional<uint64_t> io_bytes;
    std::optional<uint64_t> io_operations;
    std::optional<ContainerLimits> limits; // absent where libryx does not answer
};

struct Snapshot {
    int error = 0; // 0, or the negative errno value of a failed read of the container lists
    std::vector<ContainerSample> containers;
};

// The exporter's own figures, kept from one collection to the next.
struct ExporterStats {
    uint64_t collect_errors_total = 0;
    double collect_duration_seconds = 0;
};

// The whole exposition of one scrape: every family with HELP and TYPE, then its samples.
std::string render(const Snapshot &snap, const ExporterStats &stats);

} // namespace ryx_exporter
