// Container list reader. /proc/ryx/list and /proc/ryx/resellers/*/list: per-container
// counters, one text table per list. Optional "ryx setup" lines, a header
// "<version>:<name>\t<name>...", then rows of whitespace-separated tokens "N" or "P,N" (P: parent
// container). All ones means "no value". The list files are found once at start-up; each read
// is timed, so that counter increases become rates.
#include "list-reader.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include <glob.h>
#include <x86intrin.h>

#include "proc-sources.h"

namespace {

// The header is read through a 150-byte line buffer: names beyond 149 characters are not seen.
constexpr size_t kHeaderMax = 149;
// Rows whose first value is 32-bit all ones are placeholders of the kernel, not containers.
constexpr uint64_t kRowPlaceholder = 0xFFFFFFFFu;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Unsigned decimal, strtoull semantics ("-1" is all ones, junk is 0).
uint64_t parse_value(std::string_view text) {
    std::string s(text);
    return strtoull(s.c_str(), nullptr, 10);
}

uint64_t read_tsc() {
    return __rdtsc();
}

// Whether the header names a column by either name.
bool has_column(const ryx_stats &stats, const char *name, const char *alt_name) {
    for (std::string_view n : stats.names)
        if (n == name || n == alt_name) return true;
    return false;
}

// Builds the container list from the table (records in reverse row order); -EPROTO when a
// required column is missing, -ENOMEM when a record cannot be allocated.
int ryx_build_list(const ryx_stats &stats, ryx_list &list) {
    list.reset();
    // Without id, entry processes and CPU a row names no usable container.
    if (!has_column(stats, "RYX", "veid") || !has_column(stats, "EP", "enters") ||
        !has_column(stats, "CPU", "cpu_usage"))
        return -EPROTO;
    const size_t ncols = stats.names.size();
    ryx_entry *head = nullptr;
    for (size_t r = 0; r < stats.rows.size(); ++r) {
        uint64_t id = ryx_lookup_stat(&stats, r, "RYX", "veid");
        uint64_t ep = ryx_lookup_stat(&stats, r, "EP", "enters");
        uint64_t cpu = ryx_lookup_stat(&stats, r, "CPU", "cpu_usage");
        // A required value the kernel could not give: no record rather than a bogus one.
        if (id == RYX_NO_VALUE || ep == RYX_NO_VALUE || cpu == RYX_NO_VALUE) continue;
        auto *e = static_cast<ryx_entry *>(calloc(1, sizeof(ryx_entry)));
        if (!e) {
            ryx_free_list(head);
            return -ENOMEM;
        }
        e->id = id;
        e->parent_id = stats.rows[r][ncols];
        e->ep = ep;
        uint64_t v = ryx_lookup_stat(&stats, r, "IO", nullptr);
        if (v != RYX_NO_VALUE) {
            e->io = v;
            e->io_valid = 1;
        }
        v = ryx_lookup_stat(&stats, r, "IOPS", nullptr);
        if (v != RYX_NO_VALUE) {
            e->iops = v;
            e->iops_valid = 1;
        }
        e->cpu = cpu;
        e->cpu_valid = 1;
        v = ryx_lookup_stat(&stats, r, "MEMPHY", nullptr);
        if (v == RYX_NO_VALUE) v = ryx_lookup_stat(&stats, r, "MEM", nullptr);
        if (v != RYX_NO_VALUE) {
            e->mem = v;
            e->mem_valid = 1;
        }
        e->next = head;
        if (head) head->prev = e;
        head = e;
    }
    list.reset(head);
    return 0;
}

// Appends a copy of path; false when there is no memory for it.
bool ryx_add_list_file(ryx_list_files &list, const char *path) {
    try {
        list.emplace_back(path);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace

void ryx_take_timestamp(ryx_read_times &times, int version) {
    times.proc_ryx_version = version;
    if (version >= 5) {
        times.times_ts[0] = times.times_ts[1];
        clock_gettime(CLOCK_REALTIME, &times.times_ts[1]);
    } else {
        times.times_tsc[0] = times.times_tsc[1];
        times.times_tsc[1] = read_tsc();
    }
}

bool ryx_split_list(std::string_view text, std::string_view &header, std::string_view &body) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        std::string_view rest =
            nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (line.substr(0, 9) != "ryx setup") {
            header = line;
            body = rest;
            return true;
        }
        text = rest;
    }
    return false;
}

void ryx_parse_header(std::string_view header, ryx_stats &stats) {
    stats.header.assign(header.substr(0, kHeaderMax));
    std::string_view names(stats.header);
    stats.version = 0;
    size_t colon = names.find(':');
    if (colon != std::string_view::npos) {
        // Lenient, like atoi: no digits give 0.
        std::string version(names.substr(0, colon));
        stats.version = static_cast<int>(strtol(version.c_str(), nullptr, 10));
        names.remove_prefix(colon + 1);
    }
    stats.names.clear();
    for (;;) {
        size_t tab = names.find('\t');
        stats.names.push_back(names.substr(0, tab));
        if (tab == std::string_view::npos) break;
        names.remove_prefix(tab + 1);
    }
}

void ryx_parse_rows(std::string_view body, ryx_stats &stats) {
    const size_t ncols = stats.names.size();
    std::vector<uint64_t> row;
    size_t pos = 0;
    for (;;) {
        row.assign(ncols + 1, 0);
        for (size_t col = 0; col < ncols; ++col) {
            while (pos < body.size() && is_space(body[pos]))
                ++pos;
            if (pos == body.size()) return; // end of data: a partial row is dropped
            size_t end = pos;
            while (end < body.size() && !is_space(body[end]))
                ++end;
            std::string_view token = body.substr(pos, end - pos);
            pos = end;
            size_t comma = token.find(',');
            if (comma != std::string_view::npos) {
                row[ncols] = parse_value(token.substr(0, comma));
                token.remove_prefix(comma + 1);
            }
            row[col] = parse_value(token);
        }
        if (row[0] != kRowPlaceholder) stats.rows.push_back(row);
    }
}

uint64_t ryx_lookup_stat(const ryx_stats *stats, size_t row, const char *name,
                         const char *alt_name) {
    for (size_t col = 0; col < stats->names.size(); ++col) {
        std::string_view n = stats->names[col];
        if (n == name || (alt_name && n == alt_name)) return stats->rows[row][col];
    }
    return RYX_NO_VALUE;
}

uint64_t ryx_interval_length(const ryx_read_times &times) {
    if (times.proc_ryx_version >= 5)
        return (static_cast<uint64_t>(times.times_ts[1].tv_sec) -
                static_cast<uint64_t>(times.times_ts[0].tv_sec)) *
                   1000000000u +
               static_cast<uint64_t>(times.times_ts[1].tv_nsec) -
               static_cast<uint64_t>(times.times_ts[0].tv_nsec);
    return times.times_tsc[1] - times.times_tsc[0];
}

int ryx_get_stats(const ryx_list_files &files, const ryx_read_times &before, ryx_sample &sample) {
    sample.list.reset();
    sample.times = before;
    if (files.empty()) return -EPROTO;
    try {
        ryx_stats stats;
        std::string text;
        std::string_view header, body;
        if (!read_file(files[0].c_str(), text) || !ryx_split_list(text, header, body))
            return -EPROTO;
        ryx_parse_header(header, stats);
        ryx_take_timestamp(sample.times, stats.version);
        ryx_parse_rows(body, stats);
        // Reseller lists come and go between passes: one that vanished since the glob, or
        // that has no header yet, contributes nothing.
        for (size_t k = 1; k < files.size(); ++k) {
            if (read_file(files[k].c_str(), text) && ryx_split_list(text, header, body))
                ryx_parse_rows(body, stats);
        }
        return ryx_build_list(stats, sample.list);
    } catch (const std::bad_alloc &) {
        return -EPROTO;
    }
}

bool ryx_find_list_files(ryx_list_files &list) {
    list.clear();
    if (!ryx_add_list_file(list, "/proc/ryx/list")) return false;
    glob_t g{};
    bool ok = true;
    // No reseller lists (GLOB_NOMATCH) is the common case: the main list alone.
    if (glob("/proc/ryx/resellers/*/list", 0, nullptr, &g) == 0) {
        for (size_t k = 0; k < g.gl_pathc && ok; ++k)
            ok = ryx_add_list_file(list, g.gl_pathv[k]);
    }
    globfree(&g);
    return ok;
}
