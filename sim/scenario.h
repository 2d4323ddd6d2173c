// A simulated host's description: users, resellers, web domains, processes and their load.
// Text in, plain records out; nothing here touches the filesystem.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryxsim {

// How one figure moves over time. "A" holds near A, "A..B" wanders between A and B,
// "A..B@P" swings between them with a period of P seconds.
struct Level {
    double low = 0;
    double high = 0;
    double period = 0; // seconds; 0: a random walk (or a constant when low == high)
};

struct Load {
    Level cpu;  // percent of one processor, whole process
    Level mem;  // resident bytes, whole process
    Level io;   // bytes per second
    Level iops; // operations per second
};

struct Profile {
    std::string name;
    Load load;
};

struct User {
    uint32_t uid = 0;
    std::string name;
    uint32_t parent = 0;    // reseller holding the user's own container, 0: none
    bool isolation = false; // domain isolation enabled at start
};

// Limits in the order the limits helper takes them on its command line.
struct Limits {
    int32_t cpu = 0, pmem = 0, io = 0, nproc = 0, iops = 0, ep = 0, vmem = 0;
};

struct Domain {
    std::string name;
    std::string docroot;
    uint32_t owner = 0;           // uid
    bool assign = false;          // registered at start
    std::optional<Limits> limits; // placed under the owner's reseller and limited at start
};

struct Process {
    uint32_t owner = 0; // uid
    int domain = -1;    // index into Scenario::domains, -1: the user's own container
    std::string name;   // thread name (status Name:, stat comm)
    std::vector<std::string> thread_names; // per thread, by position; the rest use name
    std::string cmdline;                   // arguments separated by blanks
    unsigned threads = 1;
    unsigned count = 1; // identical processes
    bool entry = false; // counts towards the container's entry processes while busy
    Load load;
};

struct Scenario {
    uint64_t seed = 1;
    unsigned tick_ms = 1000;
    double cpu_mhz = 2400;
    std::vector<User> users;
    std::vector<uint32_t> resellers;
    std::vector<Profile> profiles;
    std::vector<Domain> domains;
    std::vector<Process> processes;

    const User *user(uint32_t uid) const;
};

// 0, or -EINVAL with "<line>: <what>" in err.
int parse_scenario(std::string_view text, Scenario &out, std::string &err);

// The built-in scenario shown by the main job.
extern const char kDefaultScenario[];

// "12.5" -> 12.5 with an optional unit suffix: K, M, G (powers of 1024) or %. 0 or -EINVAL.
int parse_quantity(std::string_view text, double &out);
int parse_level(std::string_view text, Level &out);

} // namespace ryxsim
