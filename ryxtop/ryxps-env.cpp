// ryxps environment: the globals, system configuration, processor frequency and the list of
// kernel list files read on every pass.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <glob.h>
#include <unistd.h>

#include "ryxps-core.h"

int proc_ryx_version;
uint64_t times_tsc[2];
struct timespec times_ts[2];
int calibration_time = 3;
long page_size;
long clock_res;
long cpus_online;
unsigned long cpufreq;
char **ryx_list_file;

int ryx_init_env() {
    page_size = sysconf(_SC_PAGESIZE);
    clock_res = sysconf(_SC_CLK_TCK);
    cpus_online = sysconf(_SC_NPROCESSORS_ONLN);
    // The renderers divide by these; a zero or negative one would give a crash or nonsense.
    if (page_size <= 0 || clock_res <= 0 || cpus_online <= 0) return -EINVAL;
    cpufreq = get_cpufreq();
    return 0;
}

// /proc/cpuinfo: "cpu MHz : <float>" per processor; the first match counts. The first line
// ("processor : 0") is never a match.
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
    std::unique_ptr<FILE, int (*)(FILE *)> f(fopen("/proc/cpuinfo", "r"), fclose);
    if (!f) return 0;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0)
        text.append(buf, n);
    return ryx_parse_cpufreq(text);
}

char **ryx_add_list_file(char **list, const char *path, int index) {
    char **grown = static_cast<char **>(realloc(list, (index + 1) * sizeof(char *)));
    char *copy = grown ? strdup(path) : nullptr;
    if (!copy) {
        ryx_free_list_files(grown ? grown : list);
        return nullptr;
    }
    grown[index - 1] = copy;
    grown[index] = nullptr;
    return grown;
}

void ryx_free_list_files(char **list) {
    if (!list) return;
    for (char **p = list; *p; ++p)
        free(*p);
    free(list);
}

char **ryx_find_list_files() {
    char **list = static_cast<char **>(calloc(1, sizeof(char *)));
    if (!list) return nullptr;
    list = ryx_add_list_file(list, "/proc/ryx/list", 1);
    if (!list) return nullptr;
    glob_t g{};
    // No reseller lists (GLOB_NOMATCH) is the common case: the main list alone.
    if (glob("/proc/ryx/resellers/*/list", 0, nullptr, &g) == 0) {
        for (size_t k = 0; k < g.gl_pathc && list; ++k)
            list = ryx_add_list_file(list, g.gl_pathv[k], static_cast<int>(k + 2));
    }
    globfree(&g);
    return list;
}
