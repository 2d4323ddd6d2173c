// /proc sources: open, read into caller buffers, parse. No allocation in the per-thread ones:
// the collector runs them for every thread of the host on every pass.
#include "proc-sources.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "ryx-owners.h"

int open_fmt_path(int dirfd, const char *format, ...) {
    char path[PATH_MAX];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(path, sizeof path, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return -1;
    return openat(dirfd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

bool read_file(const char *path, std::string &out) {
    ryx::Fd file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file) return false;
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = read(file.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool line_reader::next(std::string_view &piece, bool &first, bool &last) {
    for (;;) {
        if (pos_ < len_) {
            auto *nl = static_cast<char *>(memchr(buf_ + pos_, '\n', len_ - pos_));
            if (nl || eof_) {
                size_t end = nl ? static_cast<size_t>(nl - buf_) + 1 : len_;
                piece = std::string_view(buf_ + pos_, end - pos_);
                first = at_line_start_;
                last = true;
                at_line_start_ = true;
                pos_ = end;
                return true;
            }
        }
        if (eof_) {
            // A line cut into pieces that ends with the input, exactly at a buffer boundary:
            // an empty last piece still tells the caller that the line is complete.
            if (at_line_start_ || read_failed_) return false;
            // Empty but still pointing into the buffer: a caller may memcpy from its data().
            piece = std::string_view(buf_, buf_);
            first = false;
            last = true;
            at_line_start_ = true;
            return true;
        }
        if (pos_ > 0) {
            memmove(buf_, buf_ + pos_, len_ - pos_);
            len_ -= pos_;
            pos_ = 0;
        }
        if (len_ == size_) {
            // Longer than the buffer: hand it over in pieces rather than as separate lines.
            piece = std::string_view(buf_, len_);
            first = at_line_start_;
            last = false;
            at_line_start_ = false;
            len_ = 0;
            return true;
        }
        ssize_t r = read(fd_, buf_ + len_, size_ - len_);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0) {
            if (short_read_ends_ && static_cast<size_t>(r) < size_ - len_) eof_ = true;
            len_ += static_cast<size_t>(r);
        } else {
            eof_ = true;
            // A task that ends while being read fails the read; the bytes before are a fragment
            // of a line, not a line.
            if (r < 0) {
                len_ = pos_;
                read_failed_ = true;
            }
        }
    }
}

bool line_reader::first_line(std::string_view &line) {
    bool first, last;
    return next(line, first, last);
}

size_t read_upto(int fd, char *buf, size_t size, bool short_read_ends) {
    size_t n = 0;
    while (n < size) {
        ssize_t r = read(fd, buf + n, size - n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        n += static_cast<size_t>(r);
        if (short_read_ends) break;
    }
    return n;
}

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The few scanf conversions the kernel's formats need, with scanf's rules: numeric conversions
// and %s skip leading white space, %c does not, a sign is accepted, out-of-range values saturate
// the way strtoull does, and a negative value wraps.
struct Scanner {
    std::string_view s;
    size_t i = 0;

    void skip_space() {
        while (i < s.size() && is_space(s[i]))
            i++;
    }

    bool literal(std::string_view lit) {
        if (s.substr(i, lit.size()) != lit) return false;
        i += lit.size();
        return true;
    }

    bool number(uint64_t *out = nullptr) {
        skip_space();
        bool neg = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
        size_t start = i;
        uint64_t v = 0;
        bool overflow = false;
        for (; i < s.size() && is_digit(s[i]); i++) {
            unsigned d = static_cast<unsigned>(s[i] - '0');
            if (v > (UINT64_MAX - d) / 10)
                overflow = true;
            else
                v = v * 10 + d;
        }
        if (i == start) return false;
        if (out) *out = overflow ? UINT64_MAX : (neg ? 0 - v : v); // unsigned wrap, as strtoull
        return true;
    }

    bool character() {
        if (i >= s.size()) return false;
        i++;
        return true;
    }

    bool word(std::string_view &out) {
        skip_space();
        size_t start = i;
        while (i < s.size() && !is_space(s[i]))
            i++;
        out = s.substr(start, i - start);
        return i > start;
    }
};

} // namespace

bool parse_status_fnid(std::string_view line, uint64_t &id) {
    Scanner sc{line};
    return sc.literal("FNid:") && sc.number(&id);
}

bool parse_status_name(std::string_view line, std::string_view &name) {
    Scanner sc{line};
    return sc.literal("Name:") && sc.word(name);
}

bool parse_statm(std::string_view line, uint64_t &resident, uint64_t &shared) {
    Scanner sc{line};
    uint64_t r, s;
    if (!(sc.number() && sc.number(&r) && sc.number(&s))) return false;
    resident = r;
    shared = s;
    return true;
}

bool parse_stat_times(std::string_view line, uint64_t &utime, uint64_t &stime) {
    Scanner sc{line};
    if (!sc.number()) return false;
    sc.skip_space();
    size_t open = line.find('(');
    size_t close = line.rfind(')');
    if (sc.i != open || close == std::string_view::npos || close < open) return false;
    sc.i = close + 1;
    // state, ppid, pgrp, session, tty, tpgid, flags, minflt, cminflt, majflt, cmajflt
    sc.skip_space();
    if (!sc.character()) return false;
    for (int k = 0; k < 10; k++)
        if (!sc.number()) return false;
    uint64_t u, s;
    if (!(sc.number(&u) && sc.number(&s))) return false;
    utime = u;
    stime = s;
    return true;
}

bool parse_cgroup_component(std::string_view component, uint64_t &id) {
    component = component.substr(0, component.find('\n'));
    // A path component is at most NAME_MAX bytes, its "ryx" included; anything longer names no
    // container, however the line was read.
    char text[NAME_MAX + 1];
    if (component.size() >= sizeof text) return false;
    if (component.substr(0, 3) == "ryx") component.remove_prefix(3);
    memcpy(text, component.data(), component.size());
    text[component.size()] = '\0';
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || end != text + component.size() || errno != 0 || v <= 0) return false;
    id = static_cast<uint64_t>(v);
    return true;
}

bool parse_cgroup_line(std::string_view line, uint64_t &id) {
    size_t slash = line.rfind('/');
    if (slash == std::string_view::npos) return false;
    return parse_cgroup_component(line.substr(slash + 1), id);
}

void read_status(int fd, char *buf, size_t size, status_info &info, bool short_read_ends) {
    line_reader lines(fd, buf, size, short_read_ends);
    std::string_view piece, name;
    bool first, last;
    while (lines.next(piece, first, last)) {
        // Both labels start a line; the rest of an overlong line is not a line of its own.
        if (!first) continue;
        uint64_t id;
        if (parse_status_fnid(piece, id))
            info.fnid = id;
        else if (parse_status_name(piece, name))
            info.migration = name.substr(0, 10) == "migration/";
    }
}

bool read_cgroup_id(int fd, char *buf, size_t size, uint64_t &id, bool short_read_ends) {
    line_reader lines(fd, buf, size, short_read_ends);
    std::string_view piece;
    bool first, last;
    // For a line that comes in pieces, keep what follows its last "/" so far.
    char tail[NAME_MAX + 2];
    size_t tail_len = 0;
    bool slash = false, tail_too_long = false;
    while (lines.next(piece, first, last)) {
        if (first && last) {
            if (parse_cgroup_line(piece, id)) return true;
            continue;
        }
        if (first) {
            slash = false;
            tail_len = 0;
            tail_too_long = false;
        }
        size_t s = piece.rfind('/');
        if (s != std::string_view::npos) {
            slash = true;
            tail_len = 0;
            tail_too_long = false;
            piece.remove_prefix(s + 1);
        }
        if (slash && !tail_too_long) {
            if (tail_len + piece.size() > sizeof tail) {
                tail_too_long = true;
            } else {
                memcpy(tail + tail_len, piece.data(), piece.size());
                tail_len += piece.size();
            }
        }
        if (last && slash && !tail_too_long &&
            parse_cgroup_component(std::string_view(tail, tail_len), id))
            return true;
    }
    return false;
}

void com_from_cmdline(const char *bytes, size_t n, char *out) {
    if (n == 0) {
        memcpy(out, "N/A", 4);
        return;
    }
    if (n > 255) n = 255;
    memcpy(out, bytes, n);
    // Arguments are NUL-separated; the final NUL (or last byte) stays, so that a command line
    // cut at 255 bytes still ends where it was cut.
    for (size_t i = 0; i + 1 < n; i++)
        if (out[i] == '\0') out[i] = ' ';
    out[n] = '\0';
}

// "cpu MHz : <float>" per processor; the first match counts. The first line ("processor : 0")
// is never a match.
unsigned long ryx_parse_cpufreq(std::string_view cpuinfo) {
    size_t nl = cpuinfo.find('\n');
    if (nl == std::string_view::npos) return 0;
    cpuinfo.remove_prefix(nl + 1);
    while (!cpuinfo.empty()) {
        nl = cpuinfo.find('\n');
        std::string line(cpuinfo.substr(0, nl));
        double mhz;
        if (sscanf(line.c_str(), "cpu MHz : %lf", &mhz) == 1) {
            double hz = mhz * 1000000;
            // Out-of-range doubles have no unsigned value; treat them as "no frequency".
            if (!(hz >= 0 && hz < 18446744073709551616.0)) return 0;
            return static_cast<unsigned long>(hz);
        }
        if (nl == std::string_view::npos) break;
        cpuinfo.remove_prefix(nl + 1);
    }
    return 0;
}

unsigned long get_cpufreq() {
    std::string text;
    // Lines read before a read error still count; an unopenable file leaves text empty.
    read_file("/proc/cpuinfo", text);
    return ryx_parse_cpufreq(text);
}
