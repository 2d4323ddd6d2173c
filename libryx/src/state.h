// Container state kept by the library on hosts without the container kernel: one text file of
// key=value lines per container, named by the decimal id, in the state directory. The format
// (format_state, parse_state, the settings table) and the reading and changing of the
// directory's files, for the library's calls, ryxctl and the simulated host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <ryx/ryx-type.h>

#include "ryx-units.h"

namespace ryx {
class Lock;
}

namespace ryx::ctl {

// One byte per container id in one file: a change locks just the container it touches, so a
// process stopped while holding a lock (its user may stop their own set-user-ID helper) holds
// up changes of that one container only. (".lock", the whole-directory lock of earlier
// versions, is no longer taken.)
inline constexpr const char *kLocks = ".locks";
inline constexpr size_t kMaxState = size_t{64} * 1024;

struct Container {
    bool active = false; // false: only a placement under a reseller, recorded by a move
    uint32_t parent = 0; // reseller container id; 0: top level
    uint32_t flags = 0;  // libryx_ve_flags bits
    libryx_settings set{};
};

// One field of libryx_settings: its key in a state file and on ryxctl's command line, and its
// upper bound (a negative value is always invalid). 0 means "no limit" or "default" everywhere.
struct Setting {
    const char *key;
    int32_t libryx_settings::*field;
    int32_t max;
};

// In the order of the fields, which is also the order of the lines of a state file. Units: cpu
// in percent of one processor, cpus in processors, io in KiB/s, enters and nproc in processes,
// memory and memory_phy in 4 KiB pages, cpu_weight relative (100 is the default weight), iops
// in operations per second. The units programs convert with are named in ryx-units.h
// (kSettingCpuPerProcessor, kSettingIoBytes, kSettingPageBytes).
inline constexpr Setting kSettings[] = {
    {"cpu", &libryx_settings::ls_cpu, 4096 * kSettingCpuPerProcessor}, // 4096 processors
    {"cpus", &libryx_settings::ls_cpus, 4096},
    {"io", &libryx_settings::ls_io, 1073741824}, // 1 TiB/s
    {"enters", &libryx_settings::ls_enters, 1000000},
    {"memory", &libryx_settings::ls_memory, 2147483647}, // 8 TiB of pages: the whole range
    {"cpu_weight", &libryx_settings::ls_cpu_weight, 10000},
    {"memory_phy", &libryx_settings::ls_memory_phy, 2147483647},
    {"nproc", &libryx_settings::ls_nproc, 4194304}, // the kernel's largest pid_max
    {"iops", &libryx_settings::ls_iops, 1000000000},
};

// The setting named key, or nullptr.
const Setting *find_setting(std::string_view key);

// 0, -EINVAL (a negative value) or -ERANGE (a value above its field's bound).
int check_settings(const libryx_settings &s);

// 0 names no container; all ones marks a dead row in the kernel's lists.
constexpr bool valid_id(uint32_t id) {
    return id != 0 && id != 0xffffffffu;
}

std::string format_state(uint32_t id, const Container &c);
// 0 with the id the file names and its record, or -EBADMSG for a file that is not one of ours
// (a bad line or number, no id or state line, a last line cut short).
int parse_state(std::string_view text, uint32_t &id, Container &out);
// The settings lines of a state file ("cpu=20\n" ...), every field in table order, and their
// reading alone (the host defaults are kept so): 0, or -EBADMSG as parse_state; fields the
// text does not name are 0, unknown keys are skipped.
std::string format_settings(const libryx_settings &s);
int parse_settings(std::string_view text, libryx_settings &out);

// One container's record. -ESRCH when there is none at all; -EBADMSG for a damaged file.
int load(uint32_t id, Container &out);

// Every container file of the state directory, in id order; error is load()'s for a file that
// cannot be read (the record is then empty). No state directory: no containers.
struct Record {
    uint32_t id;
    int error;
    Container c;
};
int load_all(std::vector<Record> &out);

// For ryxctl and tests: what the library's own calls do not offer.
int set_flags(uint32_t id, uint32_t flags);
int forget(uint32_t id);

// Locks container id's byte of the state directory's lock file, waiting at most the configured
// bound (-ETIMEDOUT).
int lock_container(int dir, uint32_t id, Lock &lock);

// Brings a state directory of an earlier layout, where users could write, to the current one:
// the directory root's (0755), every container file a root-owned 0644 file of its own, and
// nothing else in it but the library's own files. What a user could have planted is dealt with
// by name, never by changing an inode somebody else may own: the content of a container file
// that was not root's alone is copied into a new file of root's; other names are removed
// (links, FIFOs, sockets, devices) or moved, as they are, into a new root-only directory
// ".aside.<n>" (directories, files that are not root's, container files that do not read as
// that container's state). The host defaults (".defaults") are kept when root's own file, and
// set aside or removed otherwise. A container whose lock is held for too long is left for the
// next run; everything else goes on. 0, or a negated errno when the directory itself could not
// be made root's.
struct StateMigration {
    struct Left {
        std::string name;
        int error;
    };
    int rewritten = 0;                  // container files copied into new files of root's
    std::vector<std::string> removed;   // names of links, FIFOs, sockets and devices
    std::vector<std::string> set_aside; // names moved into aside_dir
    std::string aside_dir;              // the ".aside.<n>" of this run, when one was needed
    std::vector<Left> left;             // not done this time: run it again
};
int migrate_state(StateMigration &out);

} // namespace ryx::ctl
