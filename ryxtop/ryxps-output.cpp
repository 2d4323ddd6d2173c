// Column renderers: each call writes one cell of one row (header, container or thread line);
// the run loop ends the lines. Top mode writes onto the curses screen, otherwise to stdout.
#include "ryxps-output.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <curses.h>
#include <pwd.h>

namespace {

__attribute__((format(printf, 2, 3))) void out(const ryx_render_ctx &ctx, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (ctx.opts & OPT_TOP)
        vw_printw(stdscr, fmt, ap);
    else
        vprintf(fmt, ap);
    va_end(ap);
}

// Common start of every cell; false when the row kind is not one we draw.
bool begin_cell(int row, const ryx_render_ctx &ctx) {
    if (ctx.opts & OPT_SPACED) out(ctx, " ");
    return row == ROW_HEADER || row == ROW_CONTAINER || row == ROW_THREAD;
}

void text(const ryx_render_ctx &ctx, uint32_t w, const char *s) {
    out(ctx, "%*s", static_cast<int>(w), s);
}

void number(const ryx_render_ctx &ctx, uint32_t w, uint64_t v) {
    out(ctx, "%*ju", static_cast<int>(w), static_cast<uintmax_t>(v));
}

// Length of the well-formed UTF-8 sequence that starts s (n bytes left), 0 when none does.
size_t utf8_length(const unsigned char *s, size_t n) {
    const unsigned char c = s[0];
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the second byte's range: no overlong form, surrogate
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : lo;
        hi = c == 0xED ? 0x9F : hi;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : lo;
        hi = c == 0xF4 ? 0x8F : hi;
    }
    if (len == 0 || n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    return len;
}

// Text that users choose must not drive the terminal: C0 controls and DEL, the C1 controls
// U+0080..U+009F in their UTF-8 form (U+009B is a CSI), and a byte 0x80..0x9F outside any
// well-formed sequence (a raw CSI to a terminal that reads 8 bits) become spaces, byte for byte
// so that the width stays. Any other text, UTF-8 or not, passes as it is.
void blank_controls(char *text) {
    auto *s = reinterpret_cast<unsigned char *>(text);
    const size_t n = strlen(text);
    for (size_t i = 0; i < n;) {
        const size_t len = s[i] < 0x80 ? 1 : utf8_length(s + i, n - i);
        if (len == 0) {
            if (s[i] <= 0x9F) s[i] = ' ';
        } else if (len == 1) {
            if (s[i] < 32 || s[i] == 127) s[i] = ' ';
        } else if (len == 2 && s[i] == 0xC2 && s[i + 1] <= 0x9F) {
            s[i] = s[i + 1] = ' ';
        }
        i += len ? len : 1;
    }
}

// Double to unsigned 64-bit, rounding up; past the range it stays at the largest value instead of
// an undefined conversion.
uint64_t ceil_u64(double v) {
    v = std::ceil(v);
    if (!(v >= 0.0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(v);
}

void simple_cell(int row, const ryx_render_ctx &ctx, uint32_t w, const char *header,
                 bool per_thread, ryx_entry *entry, threadinfo *thread,
                 uint64_t (*value)(ryx_entry *, threadinfo *)) {
    if (!begin_cell(row, ctx)) return;
    if (row == ROW_HEADER)
        text(ctx, w, header);
    else if ((row == ROW_THREAD) != per_thread)
        text(ctx, w, "---");
    else if (row == ROW_THREAD ? thread != nullptr : entry != nullptr)
        number(ctx, w, value(entry, thread));
}

// Each ryx_fmt_*_hdr renderer draws every cell of its column, header, container and thread
// lines alike; the suffix is only part of the name.

void ryx_fmt_ve_hdr(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t w,
                    threadinfo *) {
    if (!begin_cell(row, ctx)) return;
    if (row == ROW_HEADER) {
        text(ctx, w, "ID");
    } else if (row == ROW_THREAD) {
        text(ctx, w, "");
    } else if (entry) {
        // The container of a user's own account carries the uid as its id.
        auto uid = static_cast<uint32_t>(entry->id);
        char number_text[16];
        snprintf(number_text, sizeof number_text, "%lu", static_cast<unsigned long>(uid));
        passwd *pw = (ctx.opts & OPT_NUMERIC) ? nullptr : getpwuid(uid);
        // The cell's text, user name or container id, cut to the width.
        char username[1024];
        // Cut before blanking, so that a cut sequence cannot leave a control behind.
        snprintf(username, sizeof username, "%.*s", static_cast<int>(w),
                 pw ? pw->pw_name : number_text);
        blank_controls(username);
        text(ctx, w, username);
    }
}

// The ep column (entry processes).
void ryx_fmt_ref_hdr(ryx_entry *e, int row, const ryx_render_ctx &ctx, uint32_t w, threadinfo *t) {
    simple_cell(row, ctx, w, "EP", false, e, t, [](ryx_entry *c, threadinfo *) { return c->ep; });
}

void ryx_fmt_pid_hdr(ryx_entry *e, int row, const ryx_render_ctx &ctx, uint32_t w, threadinfo *t) {
    simple_cell(row, ctx, w, "PID", true, e, t,
                [](ryx_entry *, threadinfo *th) { return static_cast<uint64_t>(th->pid); });
}

void ryx_fmt_pno_hdr(ryx_entry *e, int row, const ryx_render_ctx &ctx, uint32_t w, threadinfo *t) {
    simple_cell(row, ctx, w, "PNO", false, e, t, [](ryx_entry *c, threadinfo *) { return c->pno; });
}

void ryx_fmt_tid_hdr(ryx_entry *e, int row, const ryx_render_ctx &ctx, uint32_t w, threadinfo *t) {
    simple_cell(row, ctx, w, "TID", true, e, t,
                [](ryx_entry *, threadinfo *th) { return static_cast<uint64_t>(th->tid); });
}

void ryx_fmt_tno_hdr(ryx_entry *e, int row, const ryx_render_ctx &ctx, uint32_t w, threadinfo *t) {
    simple_cell(row, ctx, w, "TNO", false, e, t, [](ryx_entry *c, threadinfo *) { return c->tno; });
}

void ryx_fmt_ryk_hdr(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t w,
                     threadinfo *) {
    if (!begin_cell(row, ctx)) return;
    if (row == ROW_HEADER)
        text(ctx, w, "RYK");
    else if (row == ROW_THREAD)
        text(ctx, w, "");
    else if (entry)
        number(ctx, w, entry->parent_id);
}

void cpu_container(ryx_entry *entry, const ryx_render_ctx &ctx, uint32_t w) {
    const ryx_host &host = ctx.host;
    uint64_t figure;
    // A figure can reach 20 digits (a product taken modulo 2^64 over a short interval), so there
    // is room for all of them rather than a cut number.
    char str[21];
    if (!entry->cpu_valid) {
        text(ctx, w, "N/A");
        return;
    }
    if (!(ctx.opts & OPT_DYNAMIC)) {
        if (ctx.times.proc_ryx_version >= 5) {
            figure = entry->cpu / 1000000000u;
        } else if (host.cpufreq == 0) {
            text(ctx, w, "N/A"); // no clock rate to turn cycles into seconds
            return;
        } else {
            figure = entry->cpu / host.cpufreq;
        }
        snprintf(str, sizeof str, "%ju", static_cast<uintmax_t>(figure));
        text(ctx, w, str);
        return;
    }
    uint64_t e = ryx_interval_length(ctx.times);
    if (e == 0 || ((ctx.opts & OPT_OLDCPU) && host.cpus_online <= 0)) {
        text(ctx, w, "N/A");
        return;
    }
    // Products are taken modulo 2^64, as the counters' own unsigned arithmetic.
    figure = entry->cpu * 100 / e;
    if (ctx.opts & OPT_OLDCPU) figure /= static_cast<uint64_t>(host.cpus_online);
    if (ctx.opts & OPT_MHZ) figure = figure * host.cpufreq / 100000000u;
    snprintf(str, sizeof str, "%ju", static_cast<uintmax_t>(figure));
    if (ctx.opts & OPT_MHZ)
        out(ctx, "%*smhz", static_cast<int>(w) - 1, str);
    else
        out(ctx, "%*s%%", static_cast<int>(w) - 1, str);
}

void cpu_thread(threadinfo *t, const ryx_render_ctx &ctx, uint32_t w) {
    const ryx_host &host = ctx.host;
    const int w1 = static_cast<int>(w) - 1;
    if (!t->valid || host.clock_res <= 0) {
        text(ctx, w, "N/A");
        return;
    }
    const auto ticks = static_cast<uint64_t>(host.clock_res);
    if (!(ctx.opts & OPT_DYNAMIC)) {
        number(ctx, w, t->cpu / ticks);
        return;
    }
    // Threads are re-sampled after sleeping the configured interval, not the measured one.
    const auto secs = static_cast<uint64_t>(ctx.calibration_time);
    if (secs == 0 || ((ctx.opts & OPT_OLDCPU) && host.cpus_online <= 0)) {
        text(ctx, w, "N/A");
        return;
    }
    if (ctx.opts & OPT_OLDCPU)
        out(ctx, "%*ju%%", w1,
            static_cast<uintmax_t>(t->cpu * 100 / ticks / secs /
                                   static_cast<uint64_t>(host.cpus_online)));
    else if (ctx.opts & OPT_MHZ)
        out(ctx, "%*jumhz", w1,
            static_cast<uintmax_t>(t->cpu * (host.cpufreq / 1000000) / ticks / secs));
    else
        out(ctx, "%*ju%%", w1, static_cast<uintmax_t>(t->cpu * 100 / ticks / secs));
}

void ryx_fmt_cpu_hdr(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t w,
                     threadinfo *thread) {
    if (!begin_cell(row, ctx)) return;
    if (row == ROW_HEADER)
        text(ctx, w, (ctx.opts & OPT_DYNAMIC) && !(ctx.opts & OPT_OLDCPU) ? "SPEED" : "CPU");
    else if (row == ROW_CONTAINER && entry)
        cpu_container(entry, ctx, w);
    else if (row == ROW_THREAD && thread)
        cpu_thread(thread, ctx, w);
}

uint64_t mib_up(uint64_t bytes) {
    return ceil_u64(static_cast<double>(bytes) * 0x1p-20);
}

void ryx_fmt_mem_hdr(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t w,
                     threadinfo *thread) {
    if (!begin_cell(row, ctx)) return;
    if (row == ROW_HEADER) {
        text(ctx, w, "MEM");
    } else if (row == ROW_THREAD) {
        if (thread) number(ctx, w, mib_up(thread->mem));
    } else if (entry) {
        uint64_t bytes = 0;
        if (entry->mem_valid) {
            bytes = entry->mem * static_cast<uint64_t>(ctx.host.page_size);
        } else {
            // A thread's mem is its whole process's, and a process's threads lie together.
            const threadinfo *before = nullptr;
            for (const threadinfo *t = entry->threadinfo_head; t; before = t, t = t->next)
                if (!before || t->pid != before->pid) bytes += t->mem;
        }
        number(ctx, w, mib_up(bytes));
    }
}

// Seconds between the two reads of the pass, as io and iops divide by them: measured from
// version 5, whole seconds of time-stamp-counter cycles below; 1 in total mode.
double counter_seconds(const ryx_render_ctx &ctx) {
    if (!(ctx.opts & OPT_DYNAMIC)) return 1.0;
    uint64_t e = ryx_interval_length(ctx.times);
    if (ctx.times.proc_ryx_version >= 5) return static_cast<double>(e) * 0.000000001;
    if (!ctx.host.cpufreq) return 0.0;
    const uint64_t whole = e / ctx.host.cpufreq; // whole seconds, as the column shows
    return static_cast<double>(whole);
}

// io and iops: a rate per second in interval mode, the counter itself in total mode.
void counter_cell(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t w,
                  const char *dynamic_hdr, const char *total_hdr, uint64_t ryx_entry::*value,
                  int32_t ryx_entry::*valid) {
    if (!begin_cell(row, ctx)) return;
    if (row == ROW_HEADER) {
        text(ctx, w, (ctx.opts & OPT_DYNAMIC) ? dynamic_hdr : total_hdr);
        return;
    }
    if (row == ROW_THREAD || !entry) {
        text(ctx, w, "N/A");
        return;
    }
    double secs = counter_seconds(ctx);
    if (!(entry->*valid) || secs == 0.0) {
        text(ctx, w, "N/A");
        return;
    }
    number(ctx, w, ceil_u64(static_cast<double>(entry->*value) / secs));
}

void ryx_fmt_io_hdr(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t w,
                    threadinfo *) {
    counter_cell(entry, row, ctx, w, "IO", "DT", &ryx_entry::io, &ryx_entry::io_valid);
}

void ryx_fmt_iops_hdr(ryx_entry *entry, int row, const ryx_render_ctx &ctx, uint32_t w,
                      threadinfo *) {
    counter_cell(entry, row, ctx, w, "IOPS", "DO", &ryx_entry::iops, &ryx_entry::iops_valid);
}

void ryx_fmt_com_hdr(ryx_entry *, int row, const ryx_render_ctx &ctx, uint32_t w,
                     threadinfo *thread) {
    if (!begin_cell(row, ctx)) return;
    if (row == ROW_HEADER) {
        text(ctx, w, "COM");
    } else if (row == ROW_CONTAINER) {
        text(ctx, w, "---");
    } else if (thread) {
        // Command lines are the process's own bytes. At most w-1 of them, so that a blank
        // always precedes the command, cut before blanking as in the id column.
        char com[sizeof thread->com];
        snprintf(com, sizeof com, "%.*s", static_cast<int>(w) - 1, thread->com);
        blank_controls(com);
        text(ctx, w, com);
    }
}

} // namespace

const char *const ryx_fmt_str[COL_COUNT] = {
    nullptr, "id", "ep", "pid", "pno", "tid", "tno", "cpu", "mem", "io", "iops", "com", "ryk",
};

const ryx_output_fn ryx_output[COL_COUNT] = {
    nullptr,          ryx_fmt_ve_hdr,  ryx_fmt_ref_hdr, ryx_fmt_pid_hdr, ryx_fmt_pno_hdr,
    ryx_fmt_tid_hdr,  ryx_fmt_tno_hdr, ryx_fmt_cpu_hdr, ryx_fmt_mem_hdr, ryx_fmt_io_hdr,
    ryx_fmt_iops_hdr, ryx_fmt_com_hdr, ryx_fmt_ryk_hdr,
};
