// Where each process belongs, and putting it there: the rules ryxd applies to every process it
// hears of or finds on a walk. A process of real uid U (UID_MIN <= U < the domain id range) goes
// into the domain container of one of U's own registered docroots at or above its working
// directory, when that container is active; else into container U, made from the host defaults
// when there is none and defaults are set. Root's and system users' processes, processes root
// put into some other container, and live entry processes stay where they are. See
// docs/stock-kernel.md.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "cgroup.h"
#include "process-view.h"
#include "ryx-fd.h"
#include "ryx-owners.h"
#include "state.h"

namespace ryx::daemon {

enum class Outcome { ignored, in_place, moved, gone, failed };

// What a failure was, for the journal: one line per failure, never per placement.
struct Failure {
    int pid;
    uint32_t uid, id;
    int error;
    const char *what; // "place", "create", "limit"
};

class Placer {
  public:
    // Reads login.defs and finds the tree in the mount table. 0, or a negated errno with why.
    int start(const cgroup::Tree &tree, std::string &why);
    uint32_t uid_min() const { return uid_min_; }
    uint32_t id_min() const { return id_min_; }

    // Puts pid where it belongs, reading what it needs of the process (its real uid unless
    // given). walking: a walk's look, which also renews the address-space limit of a process
    // already in place (a changed setting reaches it).
    Outcome place(int pid, int64_t ruid = -1, bool walking = false);

    // The kernel's process events. Most cost nothing: a child is born in its parent's group with
    // its parent's uid and working directory, and an exec changes neither uid nor group, so a
    // process settled since before the event needs no look; what ryxd saw of each process is
    // kept for that until the next walk, or until anything it was judged by changes (a reused
    // pid comes with a fork event of its own).
    void forked(int parent, int child, uint64_t ts);
    void exec(int pid);
    void changed_uid(int pid, uint32_t ruid);

    // A walk of /proc, in steps, so that events do not wait behind a long one: begin_walk()
    // starts one (anew, when one is under way), walk_some(n) looks at up to n more processes and
    // says whether any are left. walk() is a whole one at once.
    void begin_walk();
    bool walk_some(size_t n);
    void walk() {
        begin_walk();
        while (walk_some(SIZE_MAX)) {
        }
    }

    // A new round of reads. The files the caches hold are watched (inotify) where their
    // directories exist; where one does not, every round checks them again.
    void next_round();
    // The watch's descriptor for the caller's poll, and what to call when it is readable.
    int watch_fd() const { return watch_.get(); }
    void changed();
    // Everything read again (SIGHUP): login.defs, defaults, containers, registry.
    void forget();

    // The failures since the last call, for the journal.
    std::vector<Failure> take_failures();

  private:
    struct Stamp {
        ino_t ino = 0;
        timespec mtime{};
        off_t size = -1;
        bool operator==(const Stamp &o) const {
            return ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
                   mtime.tv_nsec == o.mtime.tv_nsec;
        }
    };
    struct Known {
        Stamp stamp;
        unsigned round = 0;
        bool usable = false; // exists and is active
        ctl::Container c;
    };
    // What ryxd last saw of a process.
    struct Seen {
        uint32_t uid = 0;
        bool settled = false; // where the rules put it, or left alone by them
        bool located = false; // where is known: only ryxd and ryxctl enter (watched) move
                              // processes into the tree
        Whereabouts where;
        uint64_t at = 0; // CLOCK_MONOTONIC ns: it was so from then on
    };
    struct Docroot {
        std::string path; // as registered, without a trailing slash
        std::string real; // as resolved when read, where it differs
        uint32_t id;
    };
    struct Docroots {
        Stamp stamp;
        unsigned round = 0;
        std::vector<Docroot> list; // longest first: the innermost docroot wins
    };

    Stamp stamp_of(const std::string &dir, const std::string &name) const;
    // Whether a cached copy of dir/name must be read again: looked at once a round, read again
    // when the file's stamp moved (both updated).
    bool outdated(Stamp &stamp, unsigned &round, const std::string &dir, const std::string &name);
    const Known &container(uint32_t id);
    const Docroots &docroots(uint32_t uid);
    bool defaults(libryx_settings &out);
    uint32_t target(uint32_t uid, ProcessDir &proc);
    bool eligible(uint32_t uid) const { return uid >= uid_min_ && uid < id_min_; }
    // place() given what is known of the process: ruid (read when < 0), where it is (read
    // unless s.located), both filled in.
    Outcome judge(int pid, int64_t &ruid, Seen &s, bool walking);
    Outcome look(int pid, int64_t ruid, Seen s, bool walking);
    bool user_container(uint32_t uid);
    int move(int pid, uint32_t id, const Known &k);
    void limit_address_space(int pid, uint32_t uid, uint32_t id, int32_t pages);
    bool own_group(uint32_t uid, uint32_t id);
    void fail(int pid, uint32_t uid, uint32_t id, int error, const char *what);

    cgroup::Tree tree_;
    TreeView view_;
    Fd proc_;
    uint32_t uid_min_ = 1000, id_min_ = 60000;
    unsigned round_ = 1;
    std::unordered_map<uint32_t, Known> containers_;
    std::unordered_map<uint32_t, Docroots> registry_;
    std::unordered_map<int, Seen> seen_;
    Stamp state_dir_, registry_dir_; // a change in either may change any process's place
    Fd watch_;
    bool watching_ = false;
    DirStream walk_dir_;
    void watch();
    // The leaves' cgroup.procs, open, per container and hierarchy: a move is then one write.
    std::unordered_map<uint32_t, std::vector<Fd>> procs_;
    struct {
        Stamp stamp;
        unsigned round = 0;
        bool set = false;
        libryx_settings s{};
    } defaults_;
    // Containers ryxd could not make from the defaults, and when it last tried.
    std::unordered_map<uint32_t, time_t> create_failed_;
    std::vector<Failure> failures_;
    Handle library_;
    int self_ = 0;
};

} // namespace ryx::daemon
