// Registry speed: lookups against small and large user tables, and assignment throughput.
// Usage: registry_bench [directory]   (a scratch registry is made inside it, then removed;
//                                      the default is $TMPDIR, else /tmp)
//        registry_bench --make <registry dir> <uid> <entries>
//            writes a registry holding one user's table, owned by that user as an assignment
//            leaves it, and prints a registered docroot (for timing the lookup helper)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <ryx/ryz-map.h>

#include "format.h"
#include "fsutil.h"
#include "internal.h"
#include "registry.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string docroot(uint32_t uid, uint32_t i) {
    return "/home/user" + std::to_string(uid) + "/domains/site" + std::to_string(i) +
           ".example/public_html";
}

// A table of n entries for uid written directly (as n assignments would leave it), with the
// index to match, so that setting up 100,000 entries does not take 100,000 fsync rounds.
void populate(uint32_t uid, uint32_t n, uint32_t first_id, uid_t owner = static_cast<uid_t>(-1)) {
    std::vector<ryx::fmt::Entry> entries;
    std::vector<ryx::fmt::Owner> owners;
    for (uint32_t i = 0; i < n; ++i) {
        entries.push_back({docroot(uid, i), first_id + i});
        owners.push_back({first_id + i, uid});
    }
    ryx::Fd dir;
    if (ryx::open_dir(ryx::paths().registry_root, true, 0755, dir) < 0 ||
        ryx::write_atomic(dir.get(), std::to_string(uid), ryx::fmt::encode_user(uid, entries), 0400,
                          owner) < 0) {
        std::perror("populate");
        std::exit(1);
    }
}

void write_index(const std::vector<std::pair<uint32_t, uint32_t>> &ranges /* uid, n */) {
    std::vector<ryx::fmt::Owner> owners;
    uint32_t id = 60000;
    for (auto [uid, n] : ranges)
        for (uint32_t i = 0; i < n; ++i)
            owners.push_back({id++, uid});
    ryx::Fd dir;
    ryx::open_dir(ryx::paths().registry_root, true, 0755, dir);
    ryx::write_atomic(dir.get(), ".index", ryx::fmt::encode_index(owners, id), 0644, 0);
}

double lookup_ns(uint32_t uid, uint32_t n, int rounds, bool hits) {
    std::mt19937 rng(1);
    std::vector<std::string> keys;
    for (int i = 0; i < 1024; ++i)
        keys.push_back(hits ? docroot(uid, rng() % n) : docroot(uid, n + rng() % 1000000));
    uint64_t sink = 0;
    auto t0 = Clock::now();
    for (int r = 0; r < rounds; ++r)
        sink += ryz_map_lookup(uid, keys[r % keys.size()].c_str());
    auto t1 = Clock::now();
    if (hits && sink == 0) std::fprintf(stderr, "lookups found nothing\n");
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / rounds;
}

double assigns_per_second(uint32_t uid, int count) {
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        uint32_t id;
        std::string d = "/bench/new/" + std::to_string(i);
        if (ryz_map_assign(uid, d.c_str(), &id) < 0) {
            std::fprintf(stderr, "assign failed\n");
            std::exit(1);
        }
    }
    auto t1 = Clock::now();
    return count / std::chrono::duration<double>(t1 - t0).count();
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::string(argv[1]) == "--make") {
        uint32_t uid = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
        uint32_t n = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
        if (uid == 0 || n == 0) {
            std::fprintf(stderr, "registry_bench --make: uid and entries must be positive\n");
            return 2;
        }
        ryx::Paths paths = ryx::paths();
        paths.registry_root = argv[2];
        ryx::configure(paths);
        populate(uid, n, 60000, uid);
        write_index({{uid, n}});
        std::printf("%s\n", docroot(uid, n / 2).c_str());
        return 0;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string parent = argc > 1 ? argv[1] : tmp && *tmp == '/' ? tmp : "/tmp";
    std::string scratch = parent + "/registry-bench-XXXXXX";
    if (!::mkdtemp(scratch.data())) {
        std::perror(scratch.c_str());
        return 1;
    }
    ryx::Paths paths = ryx::paths();
    paths.registry_root = scratch + "/ryz_ids";
    paths.login_defs = scratch + "/login.defs";
    ryx::configure(paths);

    const uint32_t small = 10, large = 100000;
    populate(1001, small, 60000);
    populate(1002, large, 60000 + small);
    write_index({{1001, small}, {1002, large}});

    std::printf("registry benchmark in %s\n", scratch.c_str());
    std::printf("ryz_map_lookup, %6u entries: %8.0f ns hit, %8.0f ns miss\n", small,
                lookup_ns(1001, small, 200000, true), lookup_ns(1001, small, 200000, false));
    std::printf("ryz_map_lookup, %6u entries: %8.0f ns hit, %8.0f ns miss\n", large,
                lookup_ns(1002, large, 200000, true), lookup_ns(1002, large, 200000, false));

    ryx::registry::enable(1003);
    std::printf("ryz_map_assign, empty user:         %8.1f per second\n",
                assigns_per_second(1003, 200));
    std::printf("ryz_map_assign, user with %6u:   %8.1f per second\n", small,
                assigns_per_second(1001, 200));
    std::printf("ryz_map_assign, user with %6u:   %8.1f per second\n", large,
                assigns_per_second(1002, 20));

    std::error_code ec;
    fs::remove_all(scratch, ec);
    return 0;
}
