// ryxps records: what one sampling pass knows, as a doubly linked list of container records
// (ryx_entry), each with a list of thread records (threadinfo). The list reader creates the
// containers, the thread collector hangs threads under them, the ordering stage subtracts and
// sorts, the column renderers print them, and the run loop frees them at the end of the pass.
#pragma once

#include <cstdint>
#include <memory>

struct threadinfo;

struct ryx_entry {
    uint64_t id;        // container id
    uint64_t ep;        // entry processes; never a delta
    uint64_t io;        // I/O counter; after an interval: its increase
    uint64_t cpu;       // ns (list version >= 5) or TSC cycles; after an interval: its increase
    uint64_t mem;       // pages; never a delta
    uint64_t iops;      // I/O operations; after an interval: their increase
    uint64_t pno;       // distinct processes among its threads
    uint64_t tno;       // its threads
    uint64_t parent_id; // reseller (RYK) container, 0 when none
    int32_t cpu_valid;
    int32_t mem_valid;
    int32_t io_valid;
    int32_t iops_valid;
    threadinfo *threadinfo_head; // newest thread first
    ryx_entry *prev;
    ryx_entry *next;
};

struct threadinfo {
    int64_t pid; // -1 when the directory name does not parse
    int64_t tid;
    uint64_t mem;     // bytes, whole process: (resident - shared) * page_size
    uint64_t cpu;     // clock ticks of user + system time; after re-sampling: the increase
    int32_t valid;    // cpu holds a usable value
    char com[256];    // command line text, NUL-terminated
    threadinfo *prev; // newer neighbour
    threadinfo *next; // older neighbour
};

// Frees every record and its thread records; both kinds are allocated with calloc.
void ryx_free_list(ryx_entry *list);

struct ryx_list_deleter {
    void operator()(ryx_entry *list) const { ryx_free_list(list); }
};
// A container list owned by its head.
using ryx_list = std::unique_ptr<ryx_entry, ryx_list_deleter>;
