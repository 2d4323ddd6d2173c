// ryxps run loop: start-up, then one pass (read, collect, interval, sort, print), or in top
// mode passes repainting a curses screen until q.
#include "ryxps-run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <curses.h>
#include <sched.h>
#include <unistd.h>

#include "ryxps-cmdline.h"
#include "thread-collector.h"
#include "host-config.h"
#include "ryxps-order.h"
#include "ryxps-output.h"
#include "sample-source.h"

namespace {

// Exit statuses. An unreadable container list exits with the reader's own result (-EPROTO,
// -ENOMEM), which the shell sees modulo 256.
enum : int {
    EXIT_DONE = 0,                // a one-shot pass printed; -h; q in top mode
    EXIT_BAD_OPTION = EINVAL,     // 22: option errors
    EXIT_BAD_SETUP = -EINVAL,     // 234: invalid column format, no memory for the default
                                  // format, unusable system configuration
    EXIT_NO_LIST_FILES = -ENOMEM, // no memory for the list of list files (or the tree's)
    KEEP_RUNNING = -1,            // start-up succeeded
};

// Top mode owns the terminal: leave it whichever way the program ends.
struct CursesScreen {
    bool active = false;
    void start() {
        initscr();
        nodelay(stdscr, TRUE);
        noecho();
        active = true;
    }
    void stop() {
        if (active) endwin();
        active = false;
    }
    ~CursesScreen() { stop(); }
};

volatile sig_atomic_t pending_signal;

void note_signal(int sig) {
    pending_signal = sig;
}

// Installed before initscr so that the curses library keeps its hands off these signals; the
// handler only records the signal, the loop restores the terminal at the next safe point.
void catch_terminal_signals() {
    struct sigaction sa {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

// Ends the program the way the signal would have, once the terminal is usable again.
void honour_signal(CursesScreen &screen) {
    int sig = pending_signal;
    if (!sig) return;
    screen.stop();
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig); // not reached unless the signal is blocked
}

// -r: the two samples of an interval are then taken with little delay between them.
void enter_realtime() {
    sched_param param{};
    param.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_RR, &param) != 0)
        fputs("warning: rt priority is not available\n", stderr);
}

// What start-up sets up for the passes.
struct Viewer {
    unsigned sort = SORT_NONE;
    std::vector<ryx_column> columns;
    ryx_render_ctx ctx;
    ryx_source source; // the kernel's lists, or the control-group tree without them
    CursesScreen screen;
};

int read_options(int argc, char **argv, ryx_cmdline &cmd) {
    ryx_cmdline_result r;
    while ((r = ryx_parse_cmdline(argc, argv, cmd)) == RYX_CMDLINE_REALTIME)
        enter_realtime();
    if (r == RYX_CMDLINE_HELP) return EXIT_DONE;
    if (r == RYX_CMDLINE_INVALID) return EXIT_BAD_OPTION;
    return KEEP_RUNNING;
}

int read_format(const ryx_cmdline &cmd, std::vector<ryx_column> &columns) {
    std::string default_format;
    const char *format = cmd.format;
    if (!format) {
        default_format = ryx_default_format(cmd.opts, cmd.ryk_column);
        if (default_format.empty()) {
            fputs("error: not enough memory\n", stderr);
            return EXIT_BAD_SETUP;
        }
        format = default_format.c_str();
    }
    return ryx_parse_format(format, columns) == 0 ? KEEP_RUNNING : EXIT_BAD_SETUP;
}

// Options, columns, system values, the screen in top mode, and the source of the samples.
int start(int argc, char **argv, Viewer &v) {
    ryx_cmdline cmd;
    int status = read_options(argc, argv, cmd);
    if (status == KEEP_RUNNING) status = read_format(cmd, v.columns);
    if (status != KEEP_RUNNING) return status;
    if (ryx_init_env(v.ctx.host) != 0) {
        fputs("error: failed to read the system configuration\n", stderr);
        return EXIT_BAD_SETUP;
    }
    v.sort = cmd.sort;
    v.ctx.opts = cmd.opts;
    v.ctx.calibration_time = cmd.calibration_time;
    if (cmd.opts & OPT_TOP) {
        catch_terminal_signals();
        v.screen.start();
    }
    // The thread walk counts the processes and threads of either source.
    if (!ryx_open_source(v.source, v.ctx.host.page_size, false)) {
        // Leave the full screen first: a message written onto it would vanish with it.
        v.screen.stop();
        fputs("error: failed to get ryx list files", stderr);
        return EXIT_NO_LIST_FILES;
    }
    return KEEP_RUNNING;
}

// Reads the lists (or the tree); the render context follows the clock of every read.
int read_sample(Viewer &v, ryx_sample &sample) {
    int rc = ryx_read_source(v.source, v.ctx.times, sample);
    v.ctx.times = sample.times;
    return rc;
}

// Sleeps the interval, reads the lists again and turns a's counters into increases.
void take_interval(Viewer &v, ryx_entry *a) {
    honour_signal(v.screen);
    sleep(static_cast<unsigned>(v.ctx.calibration_time));
    honour_signal(v.screen);
    ryx_sample b;
    read_sample(v, b); // a failed read leaves b empty: everything goes invalid
    ryx_apply_interval(a, b.list.get());
    if (v.ctx.opts & OPT_PROCESS) {
        for (ryx_entry *e = a; e; e = e->next)
            ryx_resample_pt_stats(e);
    }
}

void print_cells(const Viewer &v, ryx_entry *entry, int row, threadinfo *thread) {
    for (const ryx_column &col : v.columns)
        ryx_output[col.kind](entry, row, v.ctx, static_cast<uint32_t>(col.width), thread);
}

void end_line(const Viewer &v) {
    if (v.ctx.opts & OPT_TOP)
        printw("\n");
    else
        putc('\n', stdout);
}

bool shown(const ryx_entry *e, unsigned opts) {
    if (e->threadinfo_head) return true;
    return (opts & OPT_DYNAMIC) && e->cpu_valid && e->cpu != 0;
}

// The header, then every shown container with its threads.
void print_table(const Viewer &v, ryx_entry *head) {
    const unsigned opts = v.ctx.opts;
    print_cells(v, head, ROW_HEADER, nullptr);
    end_line(v);
    int count = 0;
    for (ryx_entry *e = head; e; e = e->next) {
        if (!shown(e, opts)) continue;
        // The header takes the first line of the screen.
        if ((opts & OPT_TOP) && ++count >= LINES) break;
        print_cells(v, e, ROW_CONTAINER, nullptr);
        end_line(v);
        if (!(opts & OPT_PROCESS)) continue;
        for (threadinfo *t = e->threadinfo_head; t; t = t->next) {
            print_cells(v, e, ROW_THREAD, t);
            putc('\n', stdout);
        }
    }
}

// One sampling pass; EXIT_DONE, or the reader's error after its message.
int run_pass(Viewer &v) {
    ryx_sample a;
    int rc = read_sample(v, a);
    if (rc < 0) {
        v.screen.stop();
        fprintf(stderr, "error: failed to get ryx stats (%s)\n", strerror(-rc));
        return rc;
    }
    ryx_get_pt_stats(a.list.get(), v.ctx.host.page_size);
    if (v.ctx.opts & OPT_DYNAMIC) take_interval(v, a.list.get());
    if (v.ctx.opts & OPT_TOP) {
        werase(stdscr);
        wmove(stdscr, 0, 0);
    }
    if (v.sort != SORT_NONE) a.list.reset(ryx_sort_list(a.list.release(), v.sort));
    print_table(v, a.list.get());
    return EXIT_DONE;
}

// Passes until q; keys are looked at only between passes.
int run_top(Viewer &v) {
    for (;;) {
        int status = run_pass(v);
        if (status != EXIT_DONE) return status;
        wrefresh(stdscr);
        for (int key; (key = wgetch(stdscr)) != ERR;) {
            if (key == 'q') return EXIT_DONE;
        }
        honour_signal(v.screen);
    }
}

} // namespace

int ryxps_main(int argc, char **argv) {
    Viewer v;
    int status = start(argc, argv, v);
    if (status != KEEP_RUNNING) return status;
    if (v.ctx.opts & OPT_TOP) return run_top(v);
    return run_pass(v);
}
