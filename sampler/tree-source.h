// Containers seen from the library's control-group tree, on hosts without the container kernel's
// lists: where the tree is (the record ryxd keeps), one read of every container's group into a
// sample shaped as a list of version 8 gives it, and the parsers of the group files it reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "list-reader.h"

// One hierarchy of the tree: the unified one (v2) or a v1 one with its controllers.
struct ryx_tree_hierarchy {
    bool v2 = false;
    std::vector<std::string> controllers;
    std::string root; // the tree's root group, absolute
    bool has(std::string_view controller) const;
};

// Every hierarchy of the record, in its order (empty: no tree), and where the library counts the
// containers' entry processes: the entries directory beside the record (ryx-entries.h).
struct ryx_tree {
    std::vector<ryx_tree_hierarchy> hierarchies;
    std::string entries;
    bool empty() const { return hierarchies.empty(); }
    void clear() {
        hierarchies.clear();
        entries.clear();
    }
};

// The tree recorded at path (RYX_CGROUP_RECORD). 0, with an empty tree when there is no record;
// -EPERM when the record (or its directory) is not root's alone, -EBADMSG when it is no record.
int ryx_tree_load(const char *path, ryx_tree &tree);

// The counters of every container's group: ids from the group names (<root>/ryx<ID> at the top,
// <root>/ryx<R>/ryx<ID> under reseller R), counters from the leaf <group>/ryx<ID>, read now, and
// entry processes from the tree's entries directory (0 where it or a container's file is not
// root's alone). A container's records are those a list of version 8 has (cpu nanoseconds,
// memory in pages of page_size), and the read is timed like such a list. Only directories that
// are root's alone are believed. count_tasks: pno and tno from the leaf's process and thread
// lists (else they stay 0 for the thread collector). Returns 0, -EPROTO when no root of the tree
// can be read, -ENOMEM.
int ryx_tree_stats(const ryx_tree &tree, long page_size, bool count_tasks,
                   const ryx_read_times &before, ryx_sample &sample);

// -- the group files, on text already read --------------------------------------------------

// A group's name "ryx<ID>", ID decimal as the library writes it (no sign, no leading zero),
// 1 to 4294967295.
bool ryx_tree_group_id(std::string_view name, uint32_t &id);
// memory.current, memory.usage_in_bytes, cpuacct.usage: one decimal number and a newline.
bool ryx_parse_counter(std::string_view text, uint64_t &value);
// v2 cpu.stat: the "usage_usec" line, microseconds.
bool ryx_parse_cpu_usage(std::string_view text, uint64_t &usec);
// v2 io.stat: "MAJ:MIN rbytes=N wbytes=N rios=N wios=N ..." per device; rbytes+wbytes and
// rios+wios summed over the devices. False when a line is no such line.
bool ryx_parse_io_stat(std::string_view text, uint64_t &bytes, uint64_t &ios);
// v1 blkio.*io_service_bytes, *io_serviced: the "Total N" line; devices: whether any device
// line precedes it (a group without any has never done I/O through this policy).
bool ryx_parse_blkio_total(std::string_view text, uint64_t &total, bool &devices);
