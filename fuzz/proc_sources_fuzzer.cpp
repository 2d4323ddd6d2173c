// Per-thread /proc sources (status, statm, stat, cmdline, cgroup) and /proc/cpuinfo: any process
// chooses its own command line and thread names, so every one of these carries text its owner
// picked. Each parser gets the whole input; the line readers get it through a memory file and a
// buffer whose size the input picks, and must agree with a buffer that holds every line whole.
// The scanf-style parsers must agree with sscanf itself.
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "proc-sources.h"

namespace {

int g_fd = -1;

void load(std::string_view text) {
    if (ftruncate(g_fd, 0) != 0 ||
        pwrite(g_fd, text.data(), text.size(), 0) != ssize_t(text.size()))
        abort();
    lseek(g_fd, 0, SEEK_SET);
}

size_t longest_line(std::string_view text) {
    size_t longest = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        size_t len = nl == std::string_view::npos ? text.size() : nl + 1;
        longest = std::max(longest, len);
        text.remove_prefix(len);
    }
    return longest;
}

void check_scanf_agreement(std::string_view line) {
    if (line.find('\0') != std::string_view::npos)
        return; // sscanf stops at a NUL, the parsers do not
    const std::string z(line);
    uint64_t a = 0, b = 0;
    uintmax_t x = 0, y = 0;

    bool ours = parse_statm(line, a, b);
    bool theirs = sscanf(z.c_str(), "%*u %ju %ju", &x, &y) == 2;
    if (ours != theirs || (ours && (a != x || b != y))) abort();

    ours = parse_status_fnid(line, a);
    theirs = sscanf(z.c_str(), "FNid: %ju", &x) == 1;
    if (ours != theirs || (ours && a != x)) abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_fd = memfd_create("ryx-proc", MFD_CLOEXEC);
    return g_fd < 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t bufsize = 1 + data[0] % 64;
    // The collector reads its sources taking a short read as the end; a regular file gives a
    // short read only there, so both ways of reading must see the same lines.
    const bool short_read_ends = data[0] & 0x40;
    std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);

    uint64_t u = 0, s = 0, id = 0;
    std::string_view name;
    parse_status_name(text, name);
    parse_stat_times(text, u, s);
    parse_cgroup_line(text, id);
    parse_cgroup_component(text, id);
    check_scanf_agreement(text.substr(0, text.find('\n')));
    ryx_parse_cpufreq(text);

    char com[256];
    com_from_cmdline(text.data(), text.size(), com);
    if (strlen(com) > 255) abort();

    // Small buffer against a buffer that holds any line whole.
    std::vector<char> small(bufsize), whole(text.size() + 1);
    status_info st_small, st_whole;
    load(text);
    read_status(g_fd, small.data(), small.size(), st_small, short_read_ends);
    load(text);
    read_status(g_fd, whole.data(), whole.size(), st_whole);

    uint64_t id_small = 0, id_whole = 0;
    load(text);
    bool got_small = read_cgroup_id(g_fd, small.data(), small.size(), id_small, short_read_ends);
    load(text);
    bool got_whole = read_cgroup_id(g_fd, whole.data(), whole.size(), id_whole);

    if (longest_line(text) <= bufsize) {
        if (st_small.fnid != st_whole.fnid || st_small.migration != st_whole.migration) abort();
    }
    if (got_small != got_whole || (got_small && id_small != id_whole))
        abort(); // a cgroup line is put back together whatever the buffer
    return 0;
}
