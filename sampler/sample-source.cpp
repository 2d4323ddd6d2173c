// The choice of source: a stat of the main list, and only without it the tree's record.
#include "sample-source.h"

#include <cerrno>
#include <new>

#include <sys/stat.h>

bool ryx_open_source(ryx_source &source, long page_size, bool count_tasks,
                     const ryx_source_paths &paths) {
    source.kind = RYX_SOURCE_LISTS;
    source.tree.clear();
    source.files.clear();
    source.page_size = page_size;
    source.count_tasks = count_tasks;
    struct stat st;
    // Not there at all, as opposed to there but unreadable: a kernel with lists keeps them.
    if (stat(paths.main_list, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        try {
            if (ryx_tree_load(paths.record, source.tree) == 0 && !source.tree.empty()) {
                source.kind = RYX_SOURCE_TREE;
                return true;
            }
        } catch (const std::bad_alloc &) {
            return false;
        }
        // An untrusted or damaged record is no tree: the lists' own failure follows.
        source.tree.clear();
    }
    return ryx_find_list_files(source.files);
}

int ryx_read_source(const ryx_source &source, const ryx_read_times &before, ryx_sample &sample) {
    if (source.kind == RYX_SOURCE_TREE)
        return ryx_tree_stats(source.tree, source.page_size, source.count_tasks, before, sample);
    return ryx_get_stats(source.files, before, sample);
}
