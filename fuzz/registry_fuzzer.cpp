// The registry's files as found on disk: a user's table and the id index, in any state a crash,
// a bad disk or a hand edit can leave them. The input is a user table and an index (the first
// two bytes give the table's length). The decoders' verdicts must agree with the constant-time
// probes and survive a round trip; then the bytes become a real registry under /dev/shm and
// the exported calls run on it: whatever the damage, never a wrong id, never a lost entry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <ryx/ryz-map.h>

#include "format.h"
#include "internal.h"
#include "registry.h"
#include "ryx-number.h"
#include "ryx-owners.h"

using namespace ryx;

namespace {

constexpr uint32_t kUid = 1000;
std::string g_root;

void check_table(std::string_view file, std::string_view other_docroot, bool &ok,
                 std::map<std::string, uint32_t> &mapped) {
    std::vector<fmt::Entry> entries;
    ok = fmt::decode_user(file, kUid, entries) == 0;
    fmt::user_lookup(file, kUid, other_docroot);
    if (!ok) return;
    std::set<uint32_t> ids;
    for (const fmt::Entry &e : entries) {
        if (e.id == 0 || !ids.insert(e.id).second || !mapped.emplace(e.docroot, e.id).second)
            abort();
        if (fmt::user_lookup(file, kUid, e.docroot) != e.id || !fmt::user_has_id(file, kUid, e.id))
            abort(); // the probes read a sound table exactly as the decoder does
    }
    const uint32_t probed = fmt::user_lookup(file, kUid, other_docroot);
    auto it = mapped.find(std::string(other_docroot));
    if (probed != (it == mapped.end() ? 0 : it->second)) abort();
    std::vector<fmt::Entry> again;
    if (fmt::decode_user(fmt::encode_user(kUid, entries), kUid, again) != 0 ||
        again.size() != entries.size())
        abort();
    for (size_t k = 0; k < again.size(); ++k)
        if (again[k].docroot != entries[k].docroot || again[k].id != entries[k].id) abort();
    if (fmt::decode_user(file, kUid + 1, again) == 0)
        abort(); // another user's table is never taken for this one
}

void check_index(std::string_view file, uint32_t other_id, bool &ok,
                 std::map<uint32_t, uint32_t> &owners_by_id) {
    std::vector<fmt::Owner> owners;
    uint32_t next = 0;
    ok = fmt::decode_index(file, owners, next) == 0;
    fmt::index_owner(file, other_id);
    if (!ok) return;
    for (size_t k = 0; k < owners.size(); ++k) {
        if (k > 0 && owners[k - 1].id >= owners[k].id) abort();
        owners_by_id[owners[k].id] = owners[k].uid;
        if (fmt::index_owner(file, owners[k].id) != owners[k].uid) abort();
    }
    auto it = owners_by_id.find(other_id);
    if (fmt::index_owner(file, other_id) != (it == owners_by_id.end() ? -1 : int64_t(it->second)))
        abort();
    std::vector<fmt::Owner> again;
    uint32_t next_again = 0;
    if (fmt::decode_index(fmt::encode_index(owners, next), again, next_again) != 0 ||
        again.size() != owners.size() || next_again != next)
        abort();
}

void put(const std::string &name, std::string_view bytes) {
    const std::string path = g_root + "/" + name;
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) abort();
    close(fd);
}

// The exported calls on the files as they are. uid kUid owns the table.
void run_calls(bool table_ok, const std::map<std::string, uint32_t> &mapped, bool index_ok,
               const std::map<uint32_t, uint32_t> &owners) {
    size_t listed = 0;
    if (MapIter it{ryz_map_iter_open(kUid)}) {
        const char *docroot;
        uint32_t id;
        while (ryz_map_iter_next(it.get(), &docroot, &id) == 0) {
            auto m = mapped.find(docroot);
            if (!table_ok || m == mapped.end() || m->second != id)
                abort(); // only a sound table is ever listed
            ++listed;
        }
    } else if (table_ok && !mapped.empty()) {
        abort();
    }
    if (listed != (table_ok ? mapped.size() : 0)) abort();
    for (const auto &[docroot, id] : mapped) {
        if (ryz_map_lookup(kUid, docroot.c_str()) != id) abort();
        break; // one is enough: the probes were compared in full above
    }
    if (geteuid() != 0) return; // writers need root

    uint32_t id = 0;
    const int rc = ryz_map_assign(kUid, "/fuzz/fresh", &id);
    if (rc == 1 || rc == 0) {
        if (!table_ok || id == 0 || id == 0xffffffffu) abort();
        if (rc == 1) {
            for (const auto &m : mapped)
                if (m.second == id) abort(); // a fresh id already mapped by this user
            auto o = owners.find(id);
            if (index_ok && o != owners.end() && o->second != kUid)
                abort(); // a fresh id that the index gives to someone else
        }
        if (ryz_map_lookup(kUid, "/fuzz/fresh") != id || !ryz_map_verify_ownership(kUid, id))
            abort();
        // Everything mapped before is still there.
        for (const auto &[docroot, old] : mapped)
            if (ryz_map_lookup(kUid, docroot.c_str()) != old) abort();
        uint32_t removed = 0;
        if (ryz_map_remove(kUid, "/fuzz/fresh", &removed) != 1 || removed != id ||
            ryz_map_lookup(kUid, "/fuzz/fresh") != 0)
            abort();
    } else if (rc == -ENOTUNIQ) {
        bool conflict = false;
        for (const auto &m : mapped) {
            auto o = owners.find(m.second);
            // Another user's id, or one the index does not know: never taken from the table.
            conflict = conflict || o == owners.end() || o->second != kUid;
        }
        if (index_ok && !conflict) abort(); // refused for a conflict that is not there
    } else if (table_ok && index_ok && rc != -ENOSPC) {
        abort(); // sound files, yet the assignment failed
    }
}

// Ownership is never granted for an id a sound table does not map, nor for one a sound index
// gives to someone else.
void check_ownership(bool table_ok, const std::map<std::string, uint32_t> &mapped, bool index_ok,
                     const std::map<uint32_t, uint32_t> &owners) {
    std::set<uint32_t> ids;
    for (const auto &m : mapped)
        ids.insert(m.second);
    for (const auto &o : owners)
        ids.insert(o.first);
    for (uint32_t id : ids) {
        if (!ryz_map_verify_ownership(kUid, id)) continue;
        bool in_table = false;
        for (const auto &m : mapped)
            in_table = in_table || m.second == id;
        auto o = owners.find(id);
        // A probe reads only the records it needs: an intact entry of a table damaged
        // elsewhere may still count, as long as neither sound file says otherwise.
        if ((table_ok && !in_table) || (index_ok && (o == owners.end() || o->second != kUid)))
            abort();
    }
}

// Structured inputs: the bytes describe the two files instead of being them, so that sound
// files with awkward content are reached too: an id the index gives someone else, a stale
// reservation, ids at the ends of the range, duplicates.
struct Bytes {
    const uint8_t *p, *end;
    uint8_t next() { return p < end ? *p++ : 0; }
    uint32_t id() {
        const uint8_t b = next();
        switch (b % 3) {
        case 0:
            return 60000 + b % 16;
        case 1:
            return 0xfffffffeu - b % 4;
        default:
            return b % 4;
        }
    }
};

void describe(const uint8_t *data, size_t size, std::string &table, std::string &index) {
    Bytes in{data, data + size};
    std::vector<fmt::Entry> entries;
    for (int n = in.next() % 8; n > 0; --n) {
        std::string d = "/";
        for (int len = in.next() % 4; len > 0; --len)
            d += char('a' + in.next() % 3);
        entries.push_back({d, in.id()});
    }
    std::map<uint32_t, uint32_t> by_id;
    for (int n = in.next() % 8; n > 0; --n) {
        const uint32_t id = in.id();
        by_id[id] = in.next() % 2 ? kUid : 2000;
    }
    std::vector<fmt::Owner> owners;
    for (const auto &[id, uid] : by_id)
        owners.push_back({id, uid});
    table = fmt::encode_user(kUid, entries);
    index = fmt::encode_index(owners, in.id());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/dev/shm/ryx-fuzz-registry-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    g_root = tmpl;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
    });
    configure({g_root, g_root + "/login.defs", g_root + "/state", 5000, 15000, g_root + "/cgroup"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t split = std::min<size_t>(size - 2, data[0] | size_t(data[1]) << 8);
    const std::string_view all(reinterpret_cast<const char *>(data) + 2, size - 2);
    std::string_view table = all.substr(0, split), index = all.substr(split);
    std::string described_table, described_index;
    if (data[0] == 0xa5) {
        describe(data + 2, size - 2, described_table, described_index);
        table = described_table;
        index = described_index;
    }
    const std::string_view tail = all.substr(all.size() - std::min<size_t>(all.size(), 12));
    uint32_t some_id = 0;
    for (char c : tail.substr(0, 4))
        some_id = some_id << 8 | uint8_t(c);

    bool table_ok, index_ok;
    std::map<std::string, uint32_t> mapped;
    std::map<uint32_t, uint32_t> owners;
    check_table(table, tail, table_ok, mapped);
    check_index(index, some_id, index_ok, owners);
    uint32_t uid;
    if (num::parse_canonical_u32(all, uid) && std::to_string(uid) != all) abort();
    if (registry::parse_id_min(all) < 60000) abort();

    // Real files cost a few system calls each: only for inputs that look like a table.
    if (table.size() < 4 || table.substr(0, 4) != "RYZ1") return 0;
    put(std::to_string(kUid), table);
    put(".index", index);
    check_ownership(table_ok, mapped, index_ok, owners);
    run_calls(table_ok, mapped, index_ok, owners);
    return 0;
}
