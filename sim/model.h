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

// Sample::faults: a bit per resource that hit its limit, in the order of the history line.
constexpr unsigned kFaultCpu = 1u << 0, kFaultEp = 1u << 1, kFaultVmem = 1u << 2,
                   kFaultPmem = 1u << 3, kFaultNproc = 1u << 4, kFaultIo = 1u << 5,
                   kFaultIops = 1u << 6;

// Per-tick figures of one container, as the statistics command reports them.
struct Sample {
    double cpu = 0; // percent of one processor
    uint64_t ep = 0;
    uint64_t vmem = 0;   // bytes
    uint64_t pmem = 0;   // bytes
    uint64_t nproc = 0;  // processes
    double io = 0;       // bytes per second
    double iops = 0;     // operations per second
    unsigned faults = 0; // kFault... bits
};

// The figures a process draws from its load, and that a container's limits hold down.
enum Flow { kFlowCpu, kFlowMem, kFlowIo, kFlowIops, kFlows };

// What the processes of one container ask for in one tick, before its limits.
struct Demand {
    double flow[kFlows] = {}; // percent of a processor, resident bytes, bytes/s, operations/s
    uint64_t ep = 0;          // busy entry processes
    uint64_t nproc = 0;
};

// One container's tick under its limits: its figures, and the share of each flow's demand it
// was granted (1: all of it), by which its processes' figures are scaled.
struct Held {
    Sample sample;
    double scale[kFlows] = {1, 1, 1, 1};
};

// A limited container gets at most its limit (limits: nullptr for none, 0 in a field for
// none of that resource); a tick in which the demand exceeded a limit is a fault of it.
Held hold_to_limits(const Demand &demand, const Limits *limits);

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
        double walk[kFlows];
        double phase[kFlows];
        double use[kFlows] = {}; // current, after limits
        uint64_t minflt = 0;
        uint64_t start_ticks = 0;
        uint32_t container = 0;

        double total_weight() const;
    };
    struct Counters {
        double cpu_ns = 0, io = 0, iops = 0;
        Sample now;
        bool seen = false;
    };
    struct Listed {
        uint32_t id, parent;
    };
    struct Pages { // a process's memory
        uint64_t size, resident, shared;
    };

    Proc started(const Process &def, int64_t pid, Rng rng) const;
    double tick_seconds() const { return sc_.tick_ms / 1000.0; }

    // A tick: draw_demand (with container_of and level), then hold_to_limits and
    // scale_processes per container, run_threads, account (with start_counters).
    std::map<uint32_t, Demand> draw_demand(const Backend &b);
    uint32_t container_of(const Proc &p, const Backend &b) const;
    double level(Proc &p, int which, const Level &l);
    void scale_processes(uint32_t container, const double (&scale)[kFlows]);
    void run_threads();
    void account(const std::map<uint32_t, Sample> &samples);
    void start_counters(Counters &c, uint32_t id, const Sample &s) const;

    std::vector<Listed> listed() const;
    std::string row(uint32_t id, uint32_t parent) const;
    Pages pages_of(const Proc &p) const;
    ThreadFiles thread_files(const Proc &p, const Thread &t, const Pages &mem) const;
    std::string domain_name(uint32_t owner, const std::string &docroot) const;

    const Scenario &sc_;
    long page_size_, clk_tck_;
    uint64_t tick_ = 0;
    std::vector<Proc> procs_;
    std::map<uint32_t, Counters> counters_;
    std::set<uint32_t> resellers_; // once a reseller list exists it stays
    Backend backend_;              // as of the last step
};

} // namespace ryxsim
