// ryxps run loop: one-shot, interval (-d) and top (-t) passes over the container lists.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <curses.h>
#include <unistd.h>

#include "ryxps-core.h"
#include "ryxps-output.h"

namespace {

using list_ptr = std::unique_ptr<ryx_entry, ryx_list_deleter>;

struct list_files_deleter {
    void operator()(char **list) const { ryx_free_list_files(list); }
};

// Top mode owns the terminal: leave it whichever way the program ends.
struct curses_screen {
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
    ~curses_screen() { stop(); }
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
void honour_signal(curses_screen &screen) {
    int sig = pending_signal;
    if (!sig) return;
    screen.stop();
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig); // not reached unless the signal is blocked
}

void end_line(unsigned opts) {
    if (opts & OPT_TOP)
        printw("\n");
    else
        putc('\n', stdout);
}

void print_cells(const std::vector<ryx_column> &columns, ryx_entry *entry, int row, unsigned opts,
                 threadinfo *thread) {
    for (const ryx_column &col : columns)
        ryx_output[col.kind](entry, row, opts, static_cast<uint32_t>(col.width), thread);
}

// Interval step over list a with the second sample b (which has no threads).
void apply_interval(ryx_entry *a_head, const ryx_entry *b_head, unsigned opts) {
    for (ryx_entry *a = a_head; a; a = a->next) {
        if (a->cpu_valid) {
            const ryx_entry *b = b_head;
            while (b && b->id != a->id)
                b = b->next;
            if (b) {
                ryx_apply_deltas(a, b);
            } else {
                a->cpu_valid = 0;
                a->io_valid = 0;
                a->iops_valid = 0;
            }
        }
        if (opts & OPT_PROCESS) ryx_resample_pt_stats(a);
    }
}

bool shown(const ryx_entry *e, unsigned opts) {
    if (e->threadinfo_head) return true;
    return (opts & OPT_DYNAMIC) && e->cpu_valid && e->cpu != 0;
}

} // namespace

// A counter that is missing from the second sample, or that went backwards (the container was
// re-created under the same id), has no meaningful increase: it is marked invalid and keeps its
// first-sample value rather than a wrapped difference.
static void delta(uint64_t &a, int32_t &a_valid, uint64_t b, int32_t b_valid) {
    if (!b_valid || b < a) {
        a_valid = 0;
        return;
    }
    a = b - a;
}

void ryx_apply_deltas(ryx_entry *a, const ryx_entry *b) {
    delta(a->cpu, a->cpu_valid, b->cpu, b->cpu_valid);
    delta(a->io, a->io_valid, b->io, b->io_valid);
    delta(a->iops, a->iops_valid, b->iops, b->iops_valid);
}

ryx_entry *ryx_sort_list(ryx_entry *head, unsigned code) {
    if (!head || code >= RYX_SORTER_SLOTS || !ryx_sorter[code]) return head;
    size_t n = 0;
    for (ryx_entry *e = head; e; e = e->next)
        ++n;
    auto **array = static_cast<ryx_entry **>(malloc(n * sizeof(ryx_entry *)));
    if (!array) return head; // printed unsorted
    size_t i = 0;
    for (ryx_entry *e = head; e; e = e->next)
        array[i++] = e;
    qsort(array, n, sizeof(ryx_entry *), ryx_sorter[code]);
    for (i = 0; i < n; ++i) {
        array[i]->prev = i > 0 ? array[i - 1] : nullptr;
        array[i]->next = i + 1 < n ? array[i + 1] : nullptr;
    }
    head = array[0];
    free(array);
    return head;
}

int ryxps_main(int argc, char **argv) {
    ryx_cmdline cmd;
    int status = ryx_parse_cmdline(argc, argv, cmd);
    if (status >= 0) return status;
    const unsigned opts = cmd.opts;

    std::string default_format;
    if (!cmd.format) {
        default_format = ryx_default_format(opts, cmd.ryk_column);
        if (default_format.empty()) {
            fputs("error: not enough memory\n", stderr);
            return -22;
        }
        cmd.format = default_format.c_str();
    }
    std::vector<ryx_column> columns;
    if (ryx_parse_format(cmd.format, columns) != 0) return -22;

    if (ryx_init_env() != 0) {
        fputs("error: failed to read the system configuration\n", stderr);
        return -22;
    }

    curses_screen screen;
    if (opts & OPT_TOP) {
        catch_terminal_signals();
        screen.start();
    }

    std::unique_ptr<char *, list_files_deleter> files(ryx_find_list_files());
    if (!files) {
        // Leave the full screen first: a message written onto it would vanish with it.
        screen.stop();
        fputs("error: failed to get ryx list files", stderr);
        return -ENOMEM;
    }
    ryx_list_file = files.get();
    // The globals must not point at freed memory once this function returns.
    struct unset_list_file {
        ~unset_list_file() { ryx_list_file = nullptr; }
    } unset;

    for (;;) {
        ryx_entry *raw = nullptr;
        int rc = ryx_get_stats(&raw);
        list_ptr a(raw);
        if (rc < 0) {
            screen.stop();
            fprintf(stderr, "error: failed to get ryx stats (%s)\n", strerror(-rc));
            return rc;
        }
        ryx_get_pt_stats(a.get(), nullptr);

        if (opts & OPT_DYNAMIC) {
            honour_signal(screen);
            sleep(static_cast<unsigned>(calibration_time));
            honour_signal(screen);
            ryx_entry *second = nullptr;
            ryx_get_stats(&second); // a failed read leaves it empty: everything goes invalid
            list_ptr b(second);
            apply_interval(a.get(), b.get(), opts);
        }
        if (opts & OPT_TOP) {
            werase(stdscr);
            wmove(stdscr, 0, 0);
        }
        if (cmd.sort != SORT_NONE && a) a.reset(ryx_sort_list(a.release(), cmd.sort));

        print_cells(columns, a.get(), ROW_HEADER, opts, nullptr);
        end_line(opts);

        int count = 0;
        for (ryx_entry *e = a.get(); e; e = e->next) {
            if (!shown(e, opts)) continue;
            // The header takes the first line of the screen.
            if ((opts & OPT_TOP) && ++count >= LINES) break;
            print_cells(columns, e, ROW_CONTAINER, opts, nullptr);
            end_line(opts);
            if (opts & OPT_PROCESS) {
                for (threadinfo *t = e->threadinfo_head; t; t = t->next) {
                    print_cells(columns, e, ROW_THREAD, opts, t);
                    putc('\n', stdout);
                }
            }
        }
        a.reset();

        if (!(opts & OPT_TOP)) return 0;
        wrefresh(stdscr);
        for (int key; (key = wgetch(stdscr)) != ERR;) {
            if (key == 'q') return 0;
        }
        honour_signal(screen);
    }
}
