// Container lists (/proc/ryx/list and the reseller lists) as anything able to write them may
// present them. The input holds up to three lists separated by form feeds: the main list first.
// Each goes through a memory file, so the reader's own file handling runs too; the containers it
// builds are then subtracted, sorted and rendered, the way a pass uses them.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "list-reader.h"
#include "ryxps-order.h"
#include "ryxps-output.h"

namespace {

constexpr int kLists = 3;
int g_fds[kLists];
std::string g_paths[kLists];
ryx_render_ctx g_ctx;

void put(int fd, std::string_view text) {
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != ssize_t(text.size()))
        abort();
}

size_t length(const ryx_entry *e) {
    size_t n = 0;
    for (; e; e = e->next)
        ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    for (int k = 0; k < kLists; ++k) {
        g_fds[k] = memfd_create("ryx-list", MFD_CLOEXEC);
        if (g_fds[k] < 0) abort();
        g_paths[k] = "/proc/self/fd/" + std::to_string(g_fds[k]);
    }
    g_ctx.host.page_size = 4096;
    g_ctx.host.clock_res = 100;
    g_ctx.host.cpus_online = 2;
    g_ctx.calibration_time = 3;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // Two control bytes: option bits for the renderers, and the sort code.
    const unsigned opts = (data[0] & ~OPT_TOP) | OPT_NUMERIC; // no curses, no user database
    const unsigned sort = data[1];
    std::string_view text(reinterpret_cast<const char *>(data) + 2, size - 2);

    ryx_list_files files;
    while (files.size() < kLists) {
        size_t ff = text.find('\f');
        put(g_fds[files.size()], text.substr(0, ff));
        files.push_back(g_paths[files.size()]);
        if (ff == std::string_view::npos) break;
        text.remove_prefix(ff + 1);
    }

    ryx_sample first, second;
    const int rc = ryx_get_stats(files, ryx_read_times{}, first);
    if (rc != 0 && rc != -EPROTO && rc != -ENOMEM) abort();
    if (rc != 0 && first.list) abort(); // a failed read hands out no list
    if (rc == 0 && ryx_get_stats(files, first.times, second) == 0) {
        ryx_entry *a = first.list.get(), *b = second.list.get();
        if (length(a) != length(b)) abort(); // same text, same containers
        for (; a && b; a = a->next, b = b->next)
            ryx_apply_deltas(a, b);
    }
    second.list.reset();

    first.list.reset(ryx_sort_list(first.list.release(), sort));
    // Interval figures need two distinct timestamps; make them fixed rather than real.
    ryx_render_ctx ctx = g_ctx;
    ctx.opts = opts;
    ctx.times.proc_ryx_version = (rc == 0 ? second : first).times.proc_ryx_version;
    ctx.times.times_ts[0] = {100, 0};
    ctx.times.times_ts[1] = {103, 500};
    ctx.times.times_tsc[0] = 1000;
    ctx.times.times_tsc[1] = 4000000;
    ctx.host.cpufreq = data[1] & 1 ? 2400000000ul : 0;
    for (ryx_entry *e = first.list.get(); e; e = e->next) {
        if (e->next && e->next->prev != e) abort();
        for (int kind = 1; kind < COL_COUNT; ++kind) {
            ryx_output[kind](e, ROW_HEADER, ctx, 8, nullptr);
            ryx_output[kind](e, ROW_CONTAINER, ctx, 1 + kind % 11, nullptr);
        }
    }
    fflush(stdout);
    return 0;
}
