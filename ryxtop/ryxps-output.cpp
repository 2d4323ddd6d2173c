// Column renderers: each call writes one cell of one row (header, container or thread line);
// the run loop ends the lines. Top mode writes onto the curses screen, otherwise to stdout.
#include "ryxps-output.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <curses.h>
#include <pwd.h>

namespace {

// Owned by the id column: the container id as text when no user name is shown.
char username[1024];
// Owned by the cpu column. A figure can reach 20 digits (a product taken modulo 2^64 over a
// short interval), so there is room for all of them rather than a cut number.
char str[21];

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
        const char *cell = username;
        passwd *pw = (ctx.opts & OPT_NUMERIC) ? nullptr : getpwuid(uid);
        if (pw)
            cell = pw->pw_name;
        else
            snprintf(username, sizeof username, "%lu", static_cast<unsigned long>(uid));
        out(ctx, "%*.*s", static_cast<int>(w), static_cast<int>(w), cell);
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
        // Command lines are the process's own bytes: no control characters reach the terminal.
        for (char *c = thread->com; *c; c++)
            if (static_cast<unsigned char>(*c) < 32 || static_cast<unsigned char>(*c) == 127)
                *c = ' ';
        // At most w-1 characters, so that a blank always precedes the command.
        out(ctx, "%*.*s", static_cast<int>(w), static_cast<int>(w) - 1, thread->com);
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
