// ryxps: records, globals and operations shared by the viewer's source units.
//
// One sampling pass keeps everything it knows in a doubly linked list of container records
// (ryx_entry), each with a list of thread records (threadinfo). The list reader creates the
// containers, the thread collector hangs threads under them, the run loop subtracts, sorts,
// prints through the column renderers and frees it all at the end of the pass.
#pragma once

#include <cstdint>
#include <ctime>

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

// Option bits, handed unchanged to every renderer.
enum : unsigned {
    OPT_PROCESS = 0x01, // -p
    OPT_NUMERIC = 0x02, // -n
    OPT_DYNAMIC = 0x04, // -d, -t
    OPT_TOP = 0x08,     // -t
    OPT_PIDS = 0x10,    // -w
    OPT_OLDCPU = 0x20,  // -l
    OPT_MHZ = 0x40,     // -m
    OPT_SPACED = 0x80,  // -x
};

// Sort codes: key 1..6, plus SORT_REVERSE for smallest first; 0 = unsorted.
enum : unsigned {
    SORT_NONE = 0,
    SORT_CPU = 1,
    SORT_PROCESS = 2,
    SORT_THREAD = 3,
    SORT_MEM = 4,
    SORT_IO = 5,
    SORT_IOPS = 6,
    SORT_REVERSE = 128,
};

struct ryx_column {
    int32_t kind;  // 1..12, index into ryx_fmt_str / ryx_output
    int32_t width; // positive
};

// Globals shared by the reader, the collector, the renderers and the run loop.
extern int proc_ryx_version;
extern uint64_t times_tsc[2]; // [0] previous, [1] current
extern struct timespec times_ts[2];
extern int calibration_time;
extern long page_size;
extern long clock_res;
extern long cpus_online;
extern unsigned long cpufreq;
extern char **ryx_list_file;

// Container list reader (ryxps-list-reader.cpp).
int ryx_get_stats(ryx_entry **list);
// Frees every record and its thread records; both kinds are allocated with calloc/malloc.
void ryx_free_list(ryx_entry *list);

// Thread collector (ryxps-threads.cpp).
void ryx_get_pt_stats(ryx_entry *list, const char *process);
void ryx_get_thread_stat(ryx_entry *entry, threadinfo *thread);
void ryx_resample_pt_stats(ryx_entry *entry);

// Sort orders (ryxps-sort.cpp): 135 slots indexed by the sort code; 12 are filled.
using ryx_sorter_fn = int (*)(const void *, const void *);
constexpr unsigned RYX_SORTER_SLOTS = 135;
extern const ryx_sorter_fn ryx_sorter[RYX_SORTER_SLOTS];
