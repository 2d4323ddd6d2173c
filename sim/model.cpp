#include "model.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <set>

#include "ryx-units.h"

namespace ryxsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The library's memory limits count pages of its own size, whatever the host's.
constexpr double kPage = ryx::kSettingPageBytes;
// A process's virtual memory is a fixed multiple of its resident memory.
constexpr unsigned kVirtualPerResident = 3;
// Percent of a processor from which an entry process counts as busy, and a thread as running.
constexpr double kBusyEntry = 5;
constexpr double kRunningThread = 10;

// Per flow: where a process's load describes it, and the limit that holds it down, in the
// library's units, with the fault of hitting that limit.
const struct {
    Level Load::*level;
    int32_t Limits::*limit;
    double unit; // the flow's units per unit of the limit
    unsigned fault;
} kFlowTable[kFlows] = {
    {&Load::cpu, &Limits::cpu, 1, kFaultCpu},
    {&Load::mem, &Limits::pmem, kPage, kFaultPmem},
    {&Load::io, &Limits::io, ryx::kSettingIoBytes, kFaultIo},
    {&Load::iops, &Limits::iops, 1, kFaultIops},
};

uint64_t splitmix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

template <typename... Args> std::string format(const char *fmt, Args... args) {
    char buf[512];
    int n = snprintf(buf, sizeof buf, fmt, args...);
    return std::string(buf, n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

// A domain's name for reports when the scenario does not know its docroot: the last component.
std::string name_from_docroot(const std::string &docroot) {
    std::string s = docroot;
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    size_t slash = s.rfind('/');
    std::string name = slash == std::string::npos ? s : s.substr(slash + 1);
    if (name.empty()) name = "-";
    // A history line must fit its formatting buffer whole; docroots may be 4095 bytes long.
    if (name.size() > 200) name.resize(200);
    for (char &c : name)
        if (static_cast<unsigned char>(c) <= ' ') c = '_';
    return name;
}

// The limits of a known container that has them, or nullptr.
const Limits *limits_of(const Backend &b, uint32_t id) {
    auto it = b.containers.find(id);
    return it != b.containers.end() && it->second.has_limits ? &it->second.limits : nullptr;
}

// Flows above their limit are scaled down to it; the faults of those that were.
unsigned hold_flows(const Demand &d, const Limits &lim, double (&scale)[kFlows]) {
    unsigned faults = 0;
    for (int f = 0; f < kFlows; ++f) {
        const int32_t limit = lim.*kFlowTable[f].limit;
        const double max = limit * kFlowTable[f].unit;
        if (limit > 0 && d.flow[f] > max) {
            scale[f] = max / d.flow[f];
            faults |= kFlowTable[f].fault;
        }
    }
    return faults;
}

// Entry processes stop at their limit, a fault only beyond it; processes are counted, not
// stopped. The faults of the two.
unsigned hold_counts(const Limits &lim, Sample &s) {
    unsigned faults = 0;
    if (lim.ep > 0 && s.ep >= static_cast<uint64_t>(lim.ep)) {
        faults |= s.ep > static_cast<uint64_t>(lim.ep) ? kFaultEp : 0;
        s.ep = static_cast<uint64_t>(lim.ep);
    }
    if (lim.nproc > 0 && s.nproc > static_cast<uint64_t>(lim.nproc)) faults |= kFaultNproc;
    return faults;
}

// Virtual memory follows the resident memory granted, and stops at its own limit.
unsigned vmem_fault(const Limits &lim, double granted_mem) {
    return lim.vmem > 0 && granted_mem * kVirtualPerResident > lim.vmem * kPage ? kFaultVmem : 0;
}

uint64_t virtual_memory(uint64_t pmem, const Limits *lim) {
    uint64_t vmem = pmem * kVirtualPerResident;
    if (lim && lim->vmem > 0)
        vmem = std::min<uint64_t>(vmem, static_cast<uint64_t>(lim->vmem * kPage));
    return vmem;
}

} // namespace

Held hold_to_limits(const Demand &d, const Limits *limits) {
    Held h;
    Sample &s = h.sample;
    s.ep = d.ep;
    s.nproc = d.nproc;
    if (limits) {
        s.faults |= hold_flows(d, *limits, h.scale);
        s.faults |= hold_counts(*limits, s);
        s.faults |= vmem_fault(*limits, d.flow[kFlowMem] * h.scale[kFlowMem]);
    }
    s.cpu = d.flow[kFlowCpu] * h.scale[kFlowCpu];
    s.pmem = static_cast<uint64_t>(d.flow[kFlowMem] * h.scale[kFlowMem]);
    s.vmem = virtual_memory(s.pmem, limits);
    s.io = d.flow[kFlowIo] * h.scale[kFlowIo];
    s.iops = d.flow[kFlowIops] * h.scale[kFlowIops];
    return h;
}

uint64_t Rng::next() {
    s_ += 0x9E3779B97F4A7C15ULL;
    return splitmix(s_);
}

double Rng::uniform() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

Model::Model(const Scenario &sc, long page_size, long clk_tck)
    : sc_(sc), page_size_(page_size > 0 ? page_size : 4096), clk_tck_(clk_tck > 0 ? clk_tck : 100) {
    Rng master(splitmix(sc.seed));
    int64_t next_pid = 1100 + static_cast<int64_t>(master.next() % 400);
    uint64_t stream = 0;
    for (const Process &def : sc.processes) {
        for (unsigned c = 0; c < def.count; ++c) {
            procs_.push_back(started(def, next_pid, Rng(splitmix(sc.seed ^ splitmix(++stream)))));
            next_pid += def.threads + 1 + static_cast<int64_t>(master.next() % 37);
        }
    }
}

// A process as the simulation finds it: it ran for a while before the simulation started.
Model::Proc Model::started(const Process &def, int64_t pid, Rng rng) const {
    Proc p{&def, pid, def.owner, {}, rng, {}, {}};
    for (int f = 0; f < kFlows; ++f) {
        const Level &lv = def.load.*kFlowTable[f].level;
        p.walk[f] = lv.low + (lv.high - lv.low) * p.rng.uniform();
        p.phase[f] = 2 * kPi * p.rng.uniform();
    }
    double uptime_s = 600 + p.rng.uniform() * 86400;
    double cpu_share = (def.load.cpu.low + def.load.cpu.high) / 200.0;
    for (unsigned t = 0; t < def.threads; ++t) {
        std::string name = t < def.thread_names.size() ? def.thread_names[t] : def.name;
        double w = t == 0 ? 1.0 : 0.2 + 0.8 * p.rng.uniform();
        p.threads.push_back({pid + t, std::move(name), w, 0});
    }
    const double total_w = p.total_weight();
    for (Thread &t : p.threads)
        t.cpu_ns = std::floor(cpu_share * uptime_s * 1e9 * t.weight / total_w);
    p.start_ticks = static_cast<uint64_t>(p.rng.uniform() * 5000 * static_cast<double>(clk_tck_));
    p.minflt = p.rng.next() % 100000;
    return p;
}

double Model::Proc::total_weight() const {
    double total = 0;
    for (const Thread &t : threads)
        total += t.weight;
    return total;
}

double Model::level(Proc &p, int which, const Level &l) {
    double span = l.high - l.low;
    double v;
    if (span <= 0) {
        v = l.low * (1 + 0.04 * (p.rng.uniform() - 0.5));
    } else if (l.period <= 0) {
        // Mean-reverting walk: wanders, but keeps coming back towards the middle.
        double mid = (l.low + l.high) / 2;
        p.walk[which] += (p.rng.uniform() - 0.5) * 0.3 * span + 0.1 * (mid - p.walk[which]);
        p.walk[which] = std::clamp(p.walk[which], l.low, l.high);
        v = p.walk[which];
    } else {
        double t = static_cast<double>(tick_) * sc_.tick_ms / 1000.0;
        double wave = std::sin(2 * kPi * t / l.period + p.phase[which]);
        v = l.low + span * (0.5 + 0.45 * wave + 0.1 * (p.rng.uniform() - 0.5));
    }
    return std::clamp(v, 0.0, std::max(l.high, l.low * 1.02));
}

uint32_t Model::container_of(const Proc &p, const Backend &b) const {
    if (p.def->domain >= 0) {
        const Domain &d = sc_.domains[static_cast<size_t>(p.def->domain)];
        auto it = b.assigned.find({d.owner, d.docroot});
        // A registered domain's processes move into its container once the container exists.
        if (it != b.assigned.end() && it->second != 0 && b.containers.count(it->second))
            return it->second;
    }
    return p.uid;
}

void Model::step(const Backend &backend) {
    backend_ = backend;
    std::map<uint32_t, Sample> samples;
    for (const auto &[id, demand] : draw_demand(backend)) {
        const Held held = hold_to_limits(demand, limits_of(backend, id));
        scale_processes(id, held.scale);
        samples[id] = held.sample;
    }
    run_threads();
    account(samples);
    ++tick_;
}

// Every process's figures for this tick, drawn from its load, summed by the container it runs
// in.
std::map<uint32_t, Demand> Model::draw_demand(const Backend &b) {
    std::map<uint32_t, Demand> demand;
    for (Proc &p : procs_) {
        p.container = container_of(p, b);
        Demand &d = demand[p.container];
        for (int f = 0; f < kFlows; ++f) {
            p.use[f] = level(p, f, p.def->load.*kFlowTable[f].level);
            d.flow[f] += p.use[f];
        }
        ++d.nproc;
        if (p.def->entry && p.use[kFlowCpu] >= kBusyEntry) ++d.ep;
    }
    return demand;
}

void Model::scale_processes(uint32_t container, const double (&scale)[kFlows]) {
    for (Proc &p : procs_) {
        if (p.container != container) continue;
        for (int f = 0; f < kFlows; ++f)
            p.use[f] *= scale[f];
    }
}

// Threads share their process's CPU time by weight, in whole nanoseconds.
void Model::run_threads() {
    for (Proc &p : procs_) {
        const double total_w = p.total_weight();
        double ns = p.use[kFlowCpu] / 100.0 * tick_seconds() * 1e9;
        for (Thread &t : p.threads)
            t.cpu_ns += std::floor(ns * t.weight / total_w);
        p.minflt += p.rng.next() % 200;
    }
}

// The tick's figures into the counters of every listed container; a reseller's list, once it
// held a container, stays.
void Model::account(const std::map<uint32_t, Sample> &samples) {
    const double tick_s = tick_seconds();
    for (const Listed &l : listed()) {
        Counters &c = counters_[l.id];
        auto it = samples.find(l.id);
        const Sample s = it != samples.end() ? it->second : Sample{};
        if (!c.seen && tick_ == 0) {
            start_counters(c, l.id, s);
        } else {
            c.cpu_ns += s.cpu / 100.0 * tick_s * 1e9;
            c.io += s.io * tick_s;
            c.iops += s.iops * tick_s;
        }
        c.now = s;
        c.seen = true;
        if (l.parent != 0) resellers_.insert(l.parent);
    }
    for (uint32_t r : sc_.resellers)
        resellers_.insert(r);
}

// Containers of the starting host have been running: their counters include what their
// processes used before.
void Model::start_counters(Counters &c, uint32_t id, const Sample &s) const {
    for (const Proc &p : procs_)
        if (p.container == id)
            for (const Thread &t : p.threads)
                c.cpu_ns += t.cpu_ns;
    c.io = s.io * 300 * (1 + static_cast<double>(id % 3));
    c.iops = s.iops * 300 * (1 + static_cast<double>(id % 3));
}

std::vector<Model::Listed> Model::listed() const {
    std::map<uint32_t, uint32_t> ids; // id -> parent
    auto add = [&](uint32_t id) {
        if (id != 0) ids.emplace(id, 0);
    };
    for (const User &u : sc_.users) {
        add(u.uid);
        ids[u.uid] = u.parent;
    }
    for (uint32_t r : sc_.resellers)
        add(r);
    for (const auto &[id, c] : backend_.containers)
        add(id);
    for (const Proc &p : procs_)
        add(p.container);
    for (auto &[id, parent] : ids) {
        auto it = backend_.containers.find(id);
        if (it != backend_.containers.end() && it->second.parent != 0) parent = it->second.parent;
        if (parent == id) parent = 0;
    }
    std::vector<Listed> out;
    out.reserve(ids.size());
    for (const auto &[id, parent] : ids)
        out.push_back({id, parent});
    return out;
}

namespace {

// List header: version 8 (CPU in nanoseconds), memory in pages, I/O in bytes.
const char kHeader[] = "8:RYX\tEP\tCPU\tMEM\tIO\tMEMPHY\tIOPS\tNPROC\n";

} // namespace

std::string Model::row(uint32_t id, uint32_t parent) const {
    auto it = counters_.find(id);
    Counters c = it != counters_.end() ? it->second : Counters{};
    std::string first = parent ? format("%" PRIu32 ",%" PRIu32, parent, id) : std::to_string(id);
    uint64_t page = static_cast<uint64_t>(page_size_);
    return format("%s\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64
                  "\t%" PRIu64 "\n",
                  first.c_str(), c.now.ep, static_cast<uint64_t>(c.cpu_ns), c.now.vmem / page,
                  static_cast<uint64_t>(c.io), c.now.pmem / page, static_cast<uint64_t>(c.iops),
                  c.now.nproc);
}

std::string Model::main_list() const {
    std::string out = kHeader;
    for (const Listed &l : listed())
        if (l.parent == 0) out += row(l.id, 0);
    return out;
}

std::map<uint32_t, std::string> Model::reseller_lists() const {
    std::map<uint32_t, std::string> out;
    for (uint32_t r : resellers_)
        out[r] = kHeader;
    for (const Listed &l : listed())
        if (l.parent != 0) out[l.parent] += row(l.id, l.parent);
    return out;
}

void Model::for_each_thread(const std::function<void(const ThreadFiles &)> &fn) const {
    for (const Proc &p : procs_) {
        const Pages mem = pages_of(p);
        for (const Thread &t : p.threads)
            fn(thread_files(p, t, mem));
    }
}

Model::Pages Model::pages_of(const Proc &p) const {
    const uint64_t page = static_cast<uint64_t>(page_size_);
    Pages m;
    m.shared = std::max<uint64_t>(64, static_cast<uint64_t>(p.use[kFlowMem] / 10) / page);
    m.resident = static_cast<uint64_t>(p.use[kFlowMem]) / page + m.shared;
    m.size = m.resident * kVirtualPerResident;
    return m;
}

Model::ThreadFiles Model::thread_files(const Proc &p, const Thread &t, const Pages &mem) const {
    const uint64_t page = static_cast<uint64_t>(page_size_);
    const bool running = p.use[kFlowCpu] * t.weight / p.total_weight() >= kRunningThread;
    ThreadFiles f;
    f.dir = format("%" PRId64 "/task/%" PRId64, p.pid, t.tid);
    f.status = format("Name:\t%s\nUmask:\t0022\nState:\t%s\nTgid:\t%" PRId64 "\nNgid:\t0\n"
                      "Pid:\t%" PRId64 "\nPPid:\t1\nTracerPid:\t0\n"
                      "Uid:\t%u\t%u\t%u\t%u\nGid:\t%u\t%u\t%u\t%u\nFDSize:\t64\n",
                      t.name.c_str(), running ? "R (running)" : "S (sleeping)", p.pid, t.tid, p.uid,
                      p.uid, p.uid, p.uid, p.uid, p.uid, p.uid, p.uid);
    f.status += format("VmSize:\t%" PRIu64 " kB\nVmRSS:\t%" PRIu64 " kB\nThreads:\t%zu\n"
                       "FNid:\t%u\nvoluntary_ctxt_switches:\t%" PRIu64 "\n",
                       mem.size * page / 1024, mem.resident * page / 1024, p.threads.size(),
                       p.container, p.minflt / 3);
    f.statm = format("%" PRIu64 " %" PRIu64 " %" PRIu64 " 120 0 %" PRIu64 " 0\n", mem.size,
                     mem.resident, mem.shared, mem.resident / 2);
    // Clock ticks of user and system time, split 4:1, from the nanoseconds used. The two add up
    // to the whole ticks used, so a thread's figure over an interval is off by less than one
    // tick and its container's threads add up to the container.
    uint64_t ticks = static_cast<uint64_t>(t.cpu_ns / 1e9 * static_cast<double>(clk_tck_));
    uint64_t stime = ticks / 5;
    uint64_t utime = ticks - stime;
    f.stat = format("%" PRId64 " (%s) %c 1 %" PRId64 " %" PRId64 " 0 -1 4194368 %" PRIu64
                    " 0 %" PRIu64 " 0 %" PRIu64 " %" PRIu64 " 0 0 20 0 %zu 0 %" PRIu64 " %" PRIu64
                    " %" PRIu64 " 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 "
                    "17 %u 0 0 0 0 0 0 0 0 0 0 0 0 0\n",
                    t.tid, t.name.c_str(), running ? 'R' : 'S', p.pid, p.pid, p.minflt,
                    p.minflt / 1000, utime, stime, p.threads.size(), p.start_ticks, mem.size * page,
                    mem.resident, static_cast<unsigned>(t.tid % 4));
    // The arguments, each ended by a NUL.
    for (char ch : p.def->cmdline)
        f.cmdline += ch == ' ' ? '\0' : ch;
    f.cmdline += '\0';
    f.cgroup = format("0::/ryx.slice/ryx%u\n", p.container);
    return f;
}

std::vector<std::string> Model::process_dirs() const {
    std::vector<std::string> out;
    for (const Proc &p : procs_)
        out.push_back(std::to_string(p.pid));
    return out;
}

const Sample *Model::sample(uint32_t id) const {
    auto it = counters_.find(id);
    return it == counters_.end() ? nullptr : &it->second.now;
}

std::string Model::domain_name(uint32_t owner, const std::string &docroot) const {
    std::string name;
    for (const Domain &d : sc_.domains)
        if (d.owner == owner && d.docroot == docroot) name = d.name;
    return name.empty() ? name_from_docroot(docroot) : name;
}

std::string Model::history_lines(uint64_t now_ms) const {
    std::string out;
    for (const auto &[key, id] : backend_.assigned) {
        if (id == 0) continue;
        const std::string name = domain_name(key.first, key.second);
        Sample s;
        if (const Sample *p = sample(id)) s = *p;
        Limits lim;
        if (const Limits *l = limits_of(backend_, id)) lim = *l;
        // Limits in the report's units: memory in bytes, I/O in bytes per second.
        auto in_units = [](int32_t v, uint64_t unit) {
            return static_cast<int64_t>(v) * static_cast<int64_t>(unit);
        };
        out += format("%" PRIu64 " %u %u %s %.2f %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64
                      " %.0f %.0f %d %d %" PRId64 " %" PRId64 " %d %" PRId64 " %d %u\n",
                      now_ms, id, key.first, name.c_str(), s.cpu, s.ep, s.vmem, s.pmem, s.nproc,
                      s.io, s.iops, lim.cpu, lim.ep, in_units(lim.vmem, ryx::kSettingPageBytes),
                      in_units(lim.pmem, ryx::kSettingPageBytes), lim.nproc,
                      in_units(lim.io, ryx::kSettingIoBytes), lim.iops, s.faults);
    }
    return out;
}

} // namespace ryxsim
