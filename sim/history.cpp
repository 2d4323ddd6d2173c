#include "history.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ryx-number.h"

namespace ryxsim {

namespace {

const char *const kResourceNames[kResources] = {"CPU", "EP", "VMem", "PMem", "Nproc", "IO", "IOPS"};

// One history line; false when it is not one.
bool parse_line(std::string_view line, uint64_t &ms, DomainFigures &d, double v[kResources],
                int64_t lim[kResources], unsigned &faults) {
    char buf[1024];
    if (line.size() >= sizeof buf) return false;
    memcpy(buf, line.data(), line.size());
    buf[line.size()] = '\0';
    char name[512];
    int n = 0;
    int got = sscanf(buf,
                     "%" SCNu64 " %" SCNu32 " %" SCNu32 " %511s %lf %lf %lf %lf %lf %lf %lf"
                     " %" SCNd64 " %" SCNd64 " %" SCNd64 " %" SCNd64 " %" SCNd64 " %" SCNd64
                     " %" SCNd64 " %u%n",
                     &ms, &d.id, &d.owner, name, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                     &lim[0], &lim[1], &lim[2], &lim[3], &lim[4], &lim[5], &lim[6], &faults, &n);
    if (got != 19 || buf[n] != '\0') return false;
    d.name = name;
    return true;
}

void json_string(std::string &out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// Which figure a column names: kind 'a', 'm', 'l' or 'f' and the resource; -1 when unknown.
int column_resource(std::string_view col, char &kind) {
    for (int r = 0; r < kResources; ++r) {
        std::string_view res = kResourceNames[r];
        if (col.size() == res.size() + 1 &&
            strncasecmp(col.data() + 1, res.data(), res.size()) == 0 &&
            (col[0] == 'a' || col[0] == 'm' || col[0] == 'l')) {
            kind = col[0];
            return r;
        }
        // The fault column is "CPUf" for some resources and "VMemF" for others.
        if (col.size() == res.size() + 1 && strncasecmp(col.data(), res.data(), res.size()) == 0 &&
            (col.back() == 'f' || col.back() == 'F')) {
            kind = 'f';
            return r;
        }
    }
    return -1;
}

} // namespace

int parse_period(std::string_view text, uint64_t &seconds) {
    if (text.empty() || text.size() > 12) return -EINVAL;
    uint64_t unit = 1;
    switch (text.back()) {
    case 's':
        text.remove_suffix(1);
        break;
    case 'm':
        unit = 60;
        text.remove_suffix(1);
        break;
    case 'h':
        unit = 3600;
        text.remove_suffix(1);
        break;
    case 'd':
        unit = 86400;
        text.remove_suffix(1);
        break;
    default:
        break;
    }
    uint64_t n = 0;
    if (!ryx::num::parse_u64(text, n) || n == 0 || n > 3650ULL * 86400 / unit) return -EINVAL;
    seconds = n * unit;
    return 0;
}

std::vector<DomainFigures> aggregate(std::string_view history, uint32_t uid, uint64_t from_ms) {
    std::vector<DomainFigures> out;
    while (!history.empty()) {
        size_t nl = history.find('\n');
        if (nl == std::string_view::npos) break; // a line still being written
        std::string_view line = history.substr(0, nl);
        history.remove_prefix(nl + 1);
        uint64_t ms = 0;
        DomainFigures row;
        double v[kResources];
        int64_t lim[kResources];
        unsigned faults = 0;
        if (!parse_line(line, ms, row, v, lim, faults) || ms < from_ms || row.owner != uid)
            continue;
        DomainFigures *d = nullptr;
        for (DomainFigures &e : out)
            if (e.id == row.id) d = &e;
        if (!d) {
            out.push_back(row);
            d = &out.back();
        }
        d->name = row.name;
        ++d->samples;
        for (int r = 0; r < kResources; ++r) {
            d->avg[r] += v[r]; // a sum until the end
            if (v[r] > d->max[r]) d->max[r] = v[r];
            d->limit[r] = lim[r];
            if (faults & (1u << r)) ++d->faults[r];
        }
    }
    for (DomainFigures &d : out)
        for (double &a : d.avg)
            a /= d.samples;
    return out;
}

int parse_columns(std::string_view list, std::vector<std::string> &out, std::string &bad) {
    std::vector<std::string> cols;
    while (true) {
        size_t comma = list.find(',');
        std::string_view col = list.substr(0, comma);
        char kind = 0;
        if (col != "domain" && col != "domain_id" && col != "parent_uid" &&
            column_resource(col, kind) < 0) {
            bad = std::string(col);
            return -EINVAL;
        }
        cols.emplace_back(col);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    out = std::move(cols);
    return 0;
}

std::string render_json(const std::vector<DomainFigures> &domains,
                        const std::vector<std::string> &columns, uint32_t uid,
                        std::string_view period, uint64_t from_ms, uint64_t to_ms) {
    char num[64];
    std::string out = "{\"uid\": " + std::to_string(uid) + ", \"period\": ";
    json_string(out, period);
    out += ", \"from\": " + std::to_string(from_ms / 1000) +
           ", \"to\": " + std::to_string(to_ms / 1000);
    out += ", \"domains\": [";
    bool first_domain = true;
    for (const DomainFigures &d : domains) {
        out += first_domain ? "\n  {" : ",\n  {";
        first_domain = false;
        bool first = true;
        for (const std::string &col : columns) {
            out += first ? "" : ", ";
            first = false;
            json_string(out, col);
            out += ": ";
            char kind = 0;
            int r = column_resource(col, kind);
            if (col == "domain") {
                json_string(out, d.name);
                continue;
            }
            if (col == "domain_id" || col == "parent_uid") {
                out += std::to_string(col == "domain_id" ? d.id : d.owner);
                continue;
            }
            switch (kind) {
            case 'a':
            case 'm': {
                double v = kind == 'a' ? d.avg[r] : d.max[r];
                // CPU is a percentage worth a decimal; everything else counts whole units.
                if (r == 0)
                    snprintf(num, sizeof num, "%.1f", v);
                else
                    snprintf(num, sizeof num, "%.0f", std::round(v));
                out += num;
                break;
            }
            case 'l':
                out += std::to_string(d.limit[r]);
                break;
            default:
                out += std::to_string(d.faults[r]);
                break;
            }
        }
        out += "}";
    }
    out += domains.empty() ? "]}\n" : "\n]}\n";
    return out;
}

} // namespace ryxsim
