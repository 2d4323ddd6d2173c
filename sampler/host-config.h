// ryxps configuration: the facts about the host that turn counters into figures, read once
// at start-up.
#pragma once

struct ryx_host {
    long page_size = 0;        // bytes per page
    long clock_res = 0;        // clock ticks per second
    long cpus_online = 0;      // online processors
    unsigned long cpufreq = 0; // processor frequency in Hz, 0 when unknown
};

// Fills host from sysconf and the processor frequency; -EINVAL when a sysconf value is not
// positive (every one of them ends up as a divisor or a factor).
int ryx_init_env(ryx_host &host);
