// The statistics history of domain containers and the figures ryxinfo derives from it.
//
// The updater appends one line per registered domain container per tick:
//   <ms since epoch> <domain id> <owner uid> <domain name> <cpu %> <ep> <vmem B> <pmem B>
//   <nproc> <io B/s> <iops/s> <limit cpu> <ep> <vmem> <pmem> <nproc> <io> <iops> <fault bits>
// A reader takes whole lines only: the last one may still be being written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ryxsim {

// Where the updater keeps the history on the simulated host, and ryxinfo reads it.
inline constexpr const char kHistoryPath[] = "/var/lib/ryxsim/history";

constexpr int kResources = 7; // CPU, EP, VMem, PMem, Nproc, IO, IOPS, in the order of the line

struct DomainFigures {
    uint32_t id = 0;
    uint32_t owner = 0;
    std::string name;
    unsigned samples = 0;
    double avg[kResources] = {};
    double max[kResources] = {};
    int64_t limit[kResources] = {}; // the latest sample's; memory in bytes, I/O in bytes/s
    uint64_t faults[kResources] = {};
};

// "30s", "15m", "2h", "1d", or seconds alone. 0 or -EINVAL.
int parse_period(std::string_view text, uint64_t &seconds);

// Figures of uid's domains from the lines stamped from_ms or later, in order of first
// appearance. Malformed lines are skipped.
std::vector<DomainFigures> aggregate(std::string_view history, uint32_t uid, uint64_t from_ms);

// A --show-columns list checked against the known names; 0 or -EINVAL with the culprit in bad.
int parse_columns(std::string_view list, std::vector<std::string> &out, std::string &bad);

// {"uid": ..., "period": ..., "from": ..., "to": ..., "domains": [{...}, ...]}
std::string render_json(const std::vector<DomainFigures> &domains,
                        const std::vector<std::string> &columns, uint32_t uid,
                        std::string_view period, uint64_t from_ms, uint64_t to_ms);

} // namespace ryxsim
