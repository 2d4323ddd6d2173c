// ryxps configuration: system values and the processor frequency.
#include "host-config.h"

#include <cerrno>

#include <unistd.h>

#include "proc-sources.h"

int ryx_init_env(ryx_host &host) {
    host.page_size = sysconf(_SC_PAGESIZE);
    host.clock_res = sysconf(_SC_CLK_TCK);
    host.cpus_online = sysconf(_SC_NPROCESSORS_ONLN);
    // The renderers divide by these; a zero or negative one would give a crash or nonsense.
    if (host.page_size <= 0 || host.clock_res <= 0 || host.cpus_online <= 0) return -EINVAL;
    host.cpufreq = get_cpufreq();
    return 0;
}
