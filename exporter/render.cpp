// Writing a snapshot in the exposition format.
#include "exposition.h"
#include "snapshot.h"

#include <algorithm>
#include <charconv>

#ifndef RYX_EXPORTER_VERSION
#define RYX_EXPORTER_VERSION "unknown"
#endif

namespace ryx_exporter {

namespace {

// Decimal text of a container id, for the id and reseller labels.
struct Decimal {
    explicit Decimal(uint64_t v) { len = std::to_chars(buf, buf + sizeof buf, v).ptr - buf; }
    std::string_view view() const { return {buf, len}; }
    char buf[24];
    size_t len;
};

// One family of per-container samples; value(c) gives the sample of c, or nothing.
template <typename Value>
void per_container(Exposition &out, const Snapshot &snap, const char *name, const char *help,
                   MetricType type, Value value) {
    out.family(name, help, type);
    for (const ContainerSample &c : snap.containers) {
        auto v = value(c);
        if (!v) continue;
        Decimal id(c.id), reseller(c.reseller);
        out.sample(name, {{"id", id.view()}, {"user", c.user}, {"reseller", reseller.view()}}, *v);
    }
}

template <typename T> std::optional<T> always(T v) {
    return v;
}

void limits(Exposition &out, const Snapshot &snap) {
    static constexpr const char *kName = "ryx_container_limit";
    out.family(kName,
               "Limit of the container set in libryx, in base units: cpu in processors, "
               "memory and virtual_memory in bytes, io in bytes per second, io_operations per "
               "second, processes and entry_processes in processes.",
               MetricType::gauge);
    for (const ContainerSample &c : snap.containers) {
        if (!c.limits) continue;
        const ContainerLimits &l = *c.limits;
        Decimal id(c.id), reseller(c.reseller);
        auto emit = [&](const char *resource, const auto &value) {
            if (value)
                out.sample(kName,
                           {{"id", id.view()},
                            {"user", c.user},
                            {"reseller", reseller.view()},
                            {"resource", resource}},
                           *value);
        };
        emit("cpu", l.cpu);
        emit("memory", l.memory);
        emit("virtual_memory", l.virtual_memory);
        emit("io", l.io);
        emit("io_operations", l.io_operations);
        emit("processes", l.processes);
        emit("entry_processes", l.entry_processes);
    }
}

// Stock kernels: 1 for each limit above that the container's control group holds, 0 for one it
// does not (no such controller, a read-only tree, a limit cgroups cannot express).
void enforced(Exposition &out, const Snapshot &snap) {
    static constexpr const char *kName = "ryx_container_limit_enforced";
    out.family(kName,
               "On a kernel without containers of its own: whether the container's control "
               "group holds the limit (1) or not (0).",
               MetricType::gauge);
    for (const ContainerSample &c : snap.containers) {
        if (!c.limits || !c.limits->not_enforced) continue;
        const ContainerLimits &l = *c.limits;
        Decimal id(c.id), reseller(c.reseller);
        auto emit = [&](const char *resource, bool set) {
            if (!set) return;
            const auto &no = *l.not_enforced;
            const bool held = std::find(no.begin(), no.end(), resource) == no.end();
            out.sample(kName,
                       {{"id", id.view()},
                        {"user", c.user},
                        {"reseller", reseller.view()},
                        {"resource", resource}},
                       held ? 1.0 : 0.0);
        };
        emit("cpu", l.cpu.has_value());
        emit("memory", l.memory.has_value());
        emit("virtual_memory", l.virtual_memory.has_value());
        emit("io", l.io.has_value());
        emit("io_operations", l.io_operations.has_value());
        emit("processes", l.processes.has_value());
        emit("entry_processes", l.entry_processes.has_value());
    }
}

} // namespace

std::string render(const Snapshot &snap, const ExporterStats &stats) {
    Exposition out;
    // About 1.3 KB per container with its limits: one allocation for a typical host.
    out.text().reserve(4096 + snap.containers.size() * 1400);

    per_container(out, snap, "ryx_container_cpu_seconds_total",
                  "CPU time used by the container's processes, in seconds.", MetricType::counter,
                  [](const ContainerSample &c) { return c.cpu_seconds; });
    per_container(out, snap, "ryx_container_memory_bytes",
                  "Memory of the container (physical where the kernel counts it), in bytes.",
                  MetricType::gauge, [](const ContainerSample &c) { return c.memory_bytes; });
    per_container(out, snap, "ryx_container_io_bytes_total",
                  "Bytes read and written by the container.", MetricType::counter,
                  [](const ContainerSample &c) { return c.io_bytes; });
    per_container(out, snap, "ryx_container_io_operations_total",
                  "I/O operations of the container.", MetricType::counter,
                  [](const ContainerSample &c) { return c.io_operations; });
    per_container(out, snap, "ryx_container_entry_processes",
                  "Entry processes of the container (EP).", MetricType::gauge,
                  [](const ContainerSample &c) { return always(c.entry_processes); });
    per_container(out, snap, "ryx_container_processes", "Processes running in the container (PNO).",
                  MetricType::gauge, [](const ContainerSample &c) { return always(c.processes); });
    per_container(out, snap, "ryx_container_threads", "Threads running in the container (TNO).",
                  MetricType::gauge, [](const ContainerSample &c) { return always(c.threads); });
    limits(out, snap);
    enforced(out, snap);

    out.family("ryx_exporter_build_info", "The exporter's version; the value is always 1.",
               MetricType::gauge);
    out.sample("ryx_exporter_build_info", {{"version", RYX_EXPORTER_VERSION}}, uint64_t{1});
    out.family("ryx_exporter_collect_duration_seconds",
               "How long the collection of this scrape took, in seconds.", MetricType::gauge);
    out.sample("ryx_exporter_collect_duration_seconds", {}, stats.collect_duration_seconds);
    out.family("ryx_exporter_collect_errors_total",
               "Collections that could not read the container lists.", MetricType::counter);
    out.sample("ryx_exporter_collect_errors_total", {}, stats.collect_errors_total);
    return std::move(out.text());
}

} // namespace ryx_exporter
