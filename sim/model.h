// The simulated kernel: counters of every container and thread, advanced one tick at a time,
// and the text of the files the kernel would publish. Deterministic for a given scenario, seed
// and sequence of backend states; no I/O.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scenario.h"

namespace ryxsim {

// What the container library reports at one tick: registered domains and known containers.
struct Backend {
    struct Container {
        uint32_t parent = 0; // reseller holding it, 0: top level
        bool has_limits = false;
        Limits limits; // the library's units: percent, 4 KiB pages, KiB/s, counts
    };
    std::map<std::pair<uint32_t, std::string>, uint32_t> assigned; // (uid, docroot) -> id
    std::map<uint32_t, Container> containers;                      // active ones only
};

class Rng {
  public:
    explicit Rng(uint64_t seed = 0) : s_(seed) {}
    uint64_t next();
    double uniform(); // [0, 1)

  private:
    uint64_t s_;
};

// Per-tick figures of one container, as the statistics command reports them.
struct Sample {
    double cpu = 0; // percent of one processor
    uint64_t ep = 0;
    uint64_t vmem = 0;  // bytes
    uint64_t pmem = 0;  // bytes
    uint64_t nproc = 0; // processes
    double io = 0;      // bytes per second
    double iops = 0;    // operations per second
    unsigned faults =
        0; // bit per resource that hit its limit: cpu, ep, vmem, pmem, nproc, io, iops
};

class Model {
  public:
    Model(const Scenario &sc, long page_size, long clk_tck);

    // Advances every counter by one tick under the given backend state.
    void step(const Backend &backend);
    uint64_t ticks() const { return tick_; }

    // "/proc/ryx/list" and, by reseller id, "/proc/ryx/resellers/ryk<id>/list".
    std::string main_list() const;
    std::map<uint32_t, std::string> reseller_lists() const;

    struct ThreadFiles {
        std::string dir; // "<pid>/task/<tid>" under /proc
        std::string status, statm, stat, cmdline, cgroup;
    };
    void for_each_thread(const std::function<void(const ThreadFiles &)> &fn) const;
    // "<pid>" of every simulated process, for pruning directories that went away.
    std::vector<std::string> process_dirs() const;

    // One line per registered domain container for this tick (see history.h), stamped now_ms.
    std::string history_lines(uint64_t now_ms) const;

    const Sample *sample(uint32_t id) const;

  private:
    struct Thread {
        int64_t tid;
        std::string name;
        double weight;
        double cpu_ns;
    };
    struct Proc {
        const Process *def;
        int64_t pid;
        uint32_t uid;
        std::vector<Thread> threads;
        Rng rng;
        double walk[4];
        double phase[4];
        double cpu = 0, mem = 0, io = 0, iops = 0; // current, after limits
        uint64_t minflt = 0;
        uint64_t start_ticks = 0;
        uint32_t container = 0;
    };
    struct Counters {
        double cpu_ns = 0, io = 0, iops = 0;
        Sample now;
        bool seen = false;
    };
    struct Listed {
        uint32_t id, parent;
    };

    double level(Proc &p, int which, const Level &l);
    uint32_t container_of(const Proc &p, const Backend &b) const;
    std::vector<Listed> listed() const;
    std::string row(uint32_t id, uint32_t parent) const;

    const Scenario &sc_;
    long page_size_, clk_tck_;
    uint64_t tick_ = 0;
    std::vector<Proc> procs_;
    std::map<uint32_t, Counters> counters_;
    std::set<uint32_t> resellers_; // once a reseller list exists it stays
    Backend backend_;              // as of the last step
};

} // namespace ryxsim
