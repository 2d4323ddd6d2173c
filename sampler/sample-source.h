// Where a program's samples come from: the one place that decides between the container
// kernel's lists and the library's control-group tree, for the viewer and the exporter alike.
// The kernel's lists win wherever they exist; the tree is read only where /proc/ryx/list does
// not exist and a trustworthy record says where the tree is; where neither exists, the lists
// are read, and fail, as on any host without them.
#pragma once

#include "list-reader.h"
#include "ryx-cgroup-record.h"
#include "tree-source.h"

enum ryx_source_kind { RYX_SOURCE_LISTS, RYX_SOURCE_TREE };

struct ryx_source {
    ryx_source_kind kind = RYX_SOURCE_LISTS;
    ryx_list_files files; // the lists' files, found once
    ryx_tree tree;        // the tree's hierarchies
    long page_size = 0;   // the tree's memory is bytes, a record's is pages
    bool count_tasks = false;
};

// The fixed paths the decision looks at; tests give their own.
struct ryx_source_paths {
    const char *main_list = "/proc/ryx/list";
    const char *record = RYX_CGROUP_RECORD;
};

// Decides, and finds what the chosen source reads (the list files; the tree's hierarchies).
// count_tasks: samples from the tree carry each container's process and thread counts (for a
// program that does not walk the threads). False only when memory runs out.
bool ryx_open_source(ryx_source &source, long page_size, bool count_tasks,
                     const ryx_source_paths &paths = {});

// One read of the chosen source, as ryx_get_stats and ryx_tree_stats read.
int ryx_read_source(const ryx_source &source, const ryx_read_times &before, ryx_sample &sample);
