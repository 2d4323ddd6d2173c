// Thread collector entry points that take the process tree as a directory descriptor, so that
// tests can walk a fixture tree; ryx_get_pt_stats and ryx_resample_pt_stats use "/proc".
#pragma once

#include "ryxps.h"

void ryx_get_pt_stats_at(ryx_entry *list, int proc_fd);
void ryx_resample_pt_stats_at(ryx_entry *entry, int proc_fd);
