// ryxps thread collector: walks the process tree and hangs a thread record under the container
// record of every thread's container, counting the container's processes and threads.
#pragma once

#include "container-records.h"

// Collects the threads of every process under /proc into the containers of list. page_size
// turns the pages of statm into bytes.
void ryx_get_pt_stats(ryx_entry *list, long page_size);
// Links a filled thread record in at the head of its container's thread list and counts it.
void ryx_get_thread_stat(ryx_entry *entry, threadinfo *thread);
// After an interval: turns the cpu of each of the container's threads into its increase since
// collection, or marks it invalid when the thread's stat cannot be read again.
void ryx_resample_pt_stats(ryx_entry *entry);
