// The per-user registry of domain container ids: "<root>/<uid>" holds one user's table,
// ".index" every id in use with its owner, ".lock" serialises writers. See docs/libryx.md.
#include "registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unordered_set>

#include <ryx/ryz-map.h>

#include "format.h"
#include "fsutil.h"
#include "internal.h"
#include "ryx-number.h"

namespace ryx::registry {

namespace {

constexpr const char *kIndex = ".index";
constexpr uint32_t kFloor = 60000;
// 0xffffffff is not a usable container id: the kernel's lists use it to mark a dead row.
constexpr uint32_t kMaxId = 0xfffffffe;
constexpr size_t kMaxStrings = size_t(1) << 30;

std::string uid_name(uint32_t uid) {
    return std::to_string(uid);
}

// Every file is root's and readable by root alone: a user's lookups go through the set-user-ID
// ryz-registry-helper, and nobody reads another user's mappings. The directory stays
// searchable so that the helpers' access("<dir>/<uid>", F_OK) works with the caller's uid.
constexpr mode_t kUserMode = 0600;
constexpr mode_t kIndexMode = 0600;
constexpr mode_t kDirMode = 0755;

int open_root(bool create, Fd &dir) {
    return open_dir(paths().registry_root, create, kDirMode, dir);
}

int lock_registry(int dir, Lock &lock) {
    return lock.acquire(dir, kLock, paths().registry_lock_wait_ms);
}

// The registry directory, opened and locked for a change.
int open_locked(bool create, Fd &dir, Lock &lock) {
    int rc = open_root(create, dir);
    return rc < 0 ? rc : lock_registry(dir.get(), lock);
}

// Whole files for the writers and listings: a user table, or the index.
constexpr size_t kMaxFile = size_t(1) << 31;

int load_user(int dir, uint32_t uid, std::vector<fmt::Entry> &entries) {
    std::string data;
    int rc = read_file(dir, uid_name(uid).c_str(), data, kMaxFile);
    if (rc < 0) return rc;
    return fmt::decode_user(data, uid, entries);
}

// An open file for the probes; -errno when it cannot be opened or believed.
int open_probe(int dir, const char *name, Fd &fd, uint64_t &size) {
    struct stat st;
    if (int rc = open_regular(dir, name, 0, fd, st); rc < 0) return rc;
    size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int store_user(int dir, uint32_t uid, const std::vector<fmt::Entry> &entries) {
    return write_atomic(dir, uid_name(uid), fmt::encode_user(uid, entries), kUserMode, 0);
}

int store_index(int dir, const std::vector<fmt::Owner> &owners, uint32_t next) {
    return write_atomic(dir, kIndex, fmt::encode_index(owners, next), kIndexMode, 0);
}

// Adds uid's ids to all, or notes why they cannot be taken.
int scan_user(int dir, uint32_t uid, uint32_t min, std::vector<fmt::Owner> &all,
              std::vector<Damaged> *damaged) {
    std::vector<fmt::Entry> entries;
    int rc = load_user(dir, uid, entries);
    if (rc == -ENOENT) return 0; // removed while we looked
    if (rc < 0) {
        if (damaged) damaged->push_back({uid, rc});
        return rc;
    }
    int failure = 0;
    for (const fmt::Entry &e : entries) {
        if (e.id < min) {
            if (damaged) damaged->push_back({uid, -ERANGE, e.id});
            failure = -ERANGE;
            continue;
        }
        all.push_back({e.id, uid});
    }
    return failure;
}

// Every user entry's ids, gathered under the writers' lock.
int scan(int dir, std::vector<fmt::Owner> &owners, std::vector<Conflict> *conflicts,
         std::vector<Damaged> *damaged) {
    std::vector<uint32_t> uids;
    if (int rc = list_numbered(dir, uids); rc < 0) return rc;
    std::vector<fmt::Owner> all;
    int failure = 0;
    const uint32_t min = id_min();
    for (uint32_t uid : uids)
        if (int rc = scan_user(dir, uid, min, all, damaged); rc < 0) failure = rc;
    std::sort(all.begin(), all.end(), [](const fmt::Owner &a, const fmt::Owner &b) {
        return a.id != b.id ? a.id < b.id : a.uid < b.uid;
    });
    for (size_t i = 1; i < all.size(); ++i) {
        if (all[i].id == all[i - 1].id) {
            if (conflicts) conflicts->push_back({all[i].id, all[i - 1].uid, all[i].uid});
            if (failure == 0) failure = -ENOTUNIQ;
        }
    }
    if (failure < 0) return failure;
    owners = std::move(all);
    return 0;
}

// The index as stored or, when there is none yet, as the user entries say.
int load_index(int dir, std::vector<fmt::Owner> &owners, uint32_t &next) {
    std::string data;
    int rc = read_file(dir, kIndex, data, kMaxFile);
    if (rc == -ENOENT) {
        next = 0;
        return scan(dir, owners, nullptr, nullptr);
    }
    if (rc < 0) return rc;
    return fmt::decode_index(data, owners, next);
}

// For lower_bound over owners sorted by id.
bool by_id(const fmt::Owner &o, uint32_t v) {
    return o.id < v;
}

// First free id at or after the hint, wrapping once to the minimum. Starting at the hint
// rather than at the bottom keeps a just-removed id (whose container may still be alive) from
// being handed straight to someone else.
// The first id from hint on (wrapping round to min) that nobody owns and that is no account's
// uid: a user's own container has the user's uid as its id, so an id that is also a uid would
// hand that container to whoever gets the domain.
int pick_id(const std::vector<fmt::Owner> &owners, uint32_t hint, uint32_t min, uint32_t &id) {
    if (min > kMaxId) return -ENOSPC;
    int error = 0;
    auto first_free = [&](uint32_t from, uint32_t to, uint32_t &out) {
        auto it = std::lower_bound(owners.begin(), owners.end(), from, by_id);
        for (uint64_t cand = from; cand <= to; ++cand) {
            while (it != owners.end() && it->id < cand)
                ++it;
            if (it != owners.end() && it->id == cand) continue;
            int account = account_uid(static_cast<uint32_t>(cand));
            if (account < 0) {
                error = account;
                return false;
            }
            if (account) continue;
            out = static_cast<uint32_t>(cand);
            return true;
        }
        return false;
    };
    uint32_t start = hint < min || hint > kMaxId ? min : hint;
    if (first_free(start, kMaxId, id)) return 0;
    if (error == 0 && start > min && first_free(min, start - 1, id)) return 0;
    return error < 0 ? error : -ENOSPC;
}

void drop_ids(std::vector<fmt::Owner> &owners, const std::vector<uint32_t> &ids, uint32_t uid) {
    std::erase_if(owners, [&](const fmt::Owner &o) {
        return o.uid == uid && std::find(ids.begin(), ids.end(), o.id) != ids.end();
    });
}

bool valid_docroot(const char *docroot) {
    return docroot && *docroot && std::strlen(docroot) <= fmt::kMaxDocroot;
}

} // namespace

int account_uid(uint32_t id) {
    // The reentrant call, so that a failure to look (a directory service that is down) is told
    // apart from "no such account", and is never taken for a free id.
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buf(size > 0 ? static_cast<size_t>(size) : 1024, '\0');
    for (;;) {
        struct passwd pw, *found = nullptr;
        int rc = ::getpwuid_r(static_cast<uid_t>(id), &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (size_t(1) << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (found) return 1;
        // Not found, as the C library's implementations variously say it.
        if (rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) return 0;
        return -rc;
    }
}

uint32_t parse_id_min(std::string_view text) {
    // "UID_MAX <number>" on a line of its own; '#' starts a comment; the last valid one counts.
    uint32_t found = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        while (!line.empty() && blank(line.front()))
            line.remove_prefix(1);
        while (!line.empty() && blank(line.back()))
            line.remove_suffix(1);
        if (line.substr(0, 7) != "UID_MAX" || line.size() < 9 || !blank(line[7])) continue;
        line.remove_prefix(8);
        while (!line.empty() && blank(line.front()))
            line.remove_prefix(1);
        uint32_t v;
        if (line.size() <= 10 && num::parse_u32(line, v)) found = v;
    }
    return found < kFloor ? kFloor : found;
}

int enable(uint32_t uid) {
    Fd dir;
    Lock lock;
    int rc = open_locked(true, dir, lock);
    if (rc < 0) return rc;
    struct stat st;
    bool marker = false;
    if (::fstatat(dir.get(), uid_name(uid).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // An empty file made by hand (touch) marks the user as enabled but is no table; the
        // administrator asking again is the one moment it may be replaced by an empty one.
        if (!S_ISREG(st.st_mode) || st.st_size != 0) return 0;
        marker = true;
    } else if (errno != ENOENT) {
        return -errno;
    }
    // A registry starts with its index so that ownership checks work from the first assignment.
    // If another entry is damaged the index cannot be built yet; the first assignment after
    // the repair builds it, so enabling this user need not wait for that.
    if (::fstatat(dir.get(), kIndex, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        std::vector<fmt::Owner> owners;
        uint32_t next;
        if (load_index(dir.get(), owners, next) == 0 &&
            (rc = store_index(dir.get(), owners, next)) < 0)
            return rc;
    }
    if ((rc = store_user(dir.get(), uid, {})) < 0) return rc;
    return marker ? 2 : 1;
}

int disable(uint32_t uid, bool force) {
    Fd dir;
    Lock lock;
    int rc = open_locked(false, dir, lock);
    if (rc < 0) return rc;
    std::vector<fmt::Entry> entries;
    rc = load_user(dir.get(), uid, entries);
    if (rc < 0 && !(rc == -EBADMSG && force)) return rc;
    if (!entries.empty() && !force) return -ENOTEMPTY;
    // Entry first, index after: a crash in between leaks ids, never frees one still mapped.
    if ((rc = remove_durable(dir.get(), uid_name(uid))) < 0) return rc;
    std::vector<fmt::Owner> owners;
    uint32_t next;
    if (load_index(dir.get(), owners, next) == 0) {
        size_t before = owners.size();
        std::erase_if(owners, [&](const fmt::Owner &o) { return o.uid == uid; });
        if (owners.size() != before) store_index(dir.get(), owners, next);
    }
    return static_cast<int>(entries.size());
}

int rebuild(std::vector<Conflict> *conflicts, std::vector<Damaged> *damaged,
            std::vector<fmt::Owner> *accounts) {
    Fd dir;
    Lock lock;
    int rc = open_locked(false, dir, lock);
    if (rc < 0) return rc;
    std::vector<fmt::Owner> owners;
    if ((rc = scan(dir.get(), owners, conflicts, damaged)) < 0) return rc;
    // Still indexed (the mapping is its user's), but the library refuses to act on such a
    // container for anyone but root: the administrator has to move the domain to a new id.
    if (accounts)
        for (const fmt::Owner &o : owners)
            if (account_uid(o.id) != 0) accounts->push_back(o);
    // Keep the allocation cursor of a readable index so that rebuilding does not bring back
    // recently freed ids sooner than usual.
    uint32_t next = 0;
    std::string data;
    std::vector<fmt::Owner> old;
    if (read_file(dir.get(), kIndex, data, kMaxFile) == 0) fmt::decode_index(data, old, next);
    if ((rc = store_index(dir.get(), owners, next)) < 0) return rc;
    return static_cast<int>(std::min<size_t>(owners.size(), 0x7fffffff));
}

std::string escape_docroot(std::string_view docroot) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : docroot) {
        if (c < 0x20 || c == 0x7f || c == '\\')
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        else
            out += static_cast<char>(c);
    }
    return out;
}

int users(std::vector<uint32_t> &uids) {
    Fd dir;
    int rc = open_root(false, dir);
    if (rc == -ENOENT) {
        uids.clear();
        return 0;
    }
    return rc < 0 ? rc : list_numbered(dir.get(), uids);
}

int mappings(uint32_t uid, std::vector<fmt::Entry> &entries) {
    Fd dir;
    int rc = open_root(false, dir);
    return rc < 0 ? rc : load_user(dir.get(), uid, entries);
}

namespace {

// The registry directory made root's, and locked: a lock file an ordinary user could open may be
// held by them, so such a one is replaced by a fresh one first.
int secure_locked(Fd &dir, Lock &lock) {
    int rc = secure_dir(paths().registry_root, kDirMode, dir);
    if (rc < 0) return rc;
    struct stat st;
    if (::fstatat(dir.get(), kLock, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (!S_ISREG(st.st_mode) || !trusted(st) || (st.st_mode & 077) != 0))
        ::unlinkat(dir.get(), kLock, 0);
    return lock_registry(dir.get(), lock);
}

// A table as migrate finds it, whoever owns it.
struct Table {
    uint32_t uid;
    std::vector<fmt::Entry> entries;
    std::string raw;
    int error;
    bool sound; // root's, private, and every entry confirmed: nothing to do
};

// Every table of the registry. A name that is no regular file (a FIFO, a device or a link put
// there) is no table and maps nothing: it is removed.
int read_tables(int dir, std::vector<Table> &tables, Migration &out) {
    std::vector<uint32_t> uids;
    if (int rc = list_numbered(dir, uids); rc < 0) return rc;
    for (uint32_t uid : uids) {
        const std::string name = uid_name(uid);
        Table t{uid, {}, {}, 0, false};
        Fd fd;
        struct stat st;
        int rc = open_regular(dir, name.c_str(), kAnyOwner, fd, st);
        if (rc == -EINVAL || rc == -ELOOP) {
            if (::unlinkat(dir, name.c_str(), 0) != 0) return -errno;
            out.removed.push_back(uid);
            continue;
        }
        if (rc < 0) return rc;
        fd = Fd();
        if ((rc = read_file(dir, name.c_str(), t.raw, kMaxFile, kAnyOwner)) < 0) return rc;
        t.error = fmt::decode_user(t.raw, uid, t.entries);
        t.sound = st.st_uid == 0 && (st.st_mode & 07777) == kUserMode;
        tables.push_back(std::move(t));
    }
    return 0;
}

// Who owns an id, as far as a migration can confirm it: the root-owned index says so or, with
// trust_tables and no index, the one user whose table maps it (an id two users map is confirmed
// for neither).
struct Confirmed {
    uint32_t min = id_min(); // nothing below it is a domain's
    std::vector<fmt::Owner> index;
    uint32_t next = 0;
    bool have_index = false;
    std::vector<fmt::Owner> claimed;

    void claim(const std::vector<Table> &tables) {
        for (const Table &t : tables)
            for (const fmt::Entry &e : t.entries)
                claimed.push_back({e.id, t.uid});
        std::sort(claimed.begin(), claimed.end(),
                  [](const fmt::Owner &a, const fmt::Owner &b) { return a.id < b.id; });
    }

    int64_t owner_of(uint32_t id) const {
        const std::vector<fmt::Owner> &v = have_index ? index : claimed;
        auto at = std::lower_bound(v.begin(), v.end(), id, by_id);
        if (at == v.end() || at->id != id) return -1;
        if (!have_index && std::next(at) != v.end() && std::next(at)->id == id) return -1;
        return at->uid;
    }
};

// "<id> <docroot>" lines of what a migration set aside.
std::string set_aside_text(const std::vector<SetAside> &items) {
    std::string out;
    for (const SetAside &a : items)
        out += std::to_string(a.id) + ' ' + escape_docroot(a.docroot) + '\n';
    return out;
}

// Appends to ".setaside.<uid>".
int set_aside(int dir, uint32_t uid, const std::vector<SetAside> &aside, Migration &out) {
    const std::string file = ".setaside." + uid_name(uid);
    std::string text;
    read_file(dir, file.c_str(), text, kMaxFile);
    if (int rc = write_atomic(dir, file, text + set_aside_text(aside), 0600, 0); rc < 0) return rc;
    out.set_aside.insert(out.set_aside.end(), aside.begin(), aside.end());
    return 0;
}

// One table rewritten as root's with just its confirmed entries. A damaged one is kept as it
// is for the administrator, but as a new file of root's, so that no descriptor its user still
// holds can write it.
int migrate_table(int dir, Table &t, const Confirmed &confirmed, Migration &out) {
    int rc;
    if (t.error < 0) {
        out.damaged.push_back({t.uid, t.error});
        if ((rc = write_atomic(dir, uid_name(t.uid), t.raw, kUserMode, 0)) < 0) return rc;
        ++out.rewritten;
        return 0;
    }
    std::vector<fmt::Entry> keep;
    std::vector<SetAside> aside;
    for (fmt::Entry &e : t.entries) {
        if (e.id >= confirmed.min && confirmed.owner_of(e.id) == t.uid)
            keep.push_back(std::move(e));
        else
            aside.push_back({t.uid, e.id, std::move(e.docroot)});
    }
    if (t.sound && aside.empty()) return 0;
    if (!aside.empty() && (rc = set_aside(dir, t.uid, aside, out)) < 0) return rc;
    if ((rc = store_user(dir, t.uid, keep)) < 0) return rc;
    ++out.rewritten;
    return 0;
}

// The index: confirmed as it was, or built from what the tables now hold.
int migrate_index(int dir, Confirmed &confirmed, Migration &out) {
    struct stat st;
    if (!confirmed.have_index) {
        std::vector<fmt::Owner> now;
        if (int rc = scan(dir, now, nullptr, nullptr); rc < 0) return rc;
        confirmed.index = std::move(now);
    } else if (::fstatat(dir, kIndex, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == 0 &&
               (st.st_mode & 07777) == kIndexMode) {
        return 0;
    }
    if (int rc = store_index(dir, confirmed.index, confirmed.next); rc < 0) return rc;
    ++out.rewritten;
    return 0;
}

} // namespace

int migrate(bool trust_tables, Migration &out) {
    if (::geteuid() != 0) return -EPERM;
    Fd dir;
    Lock lock;
    int rc = secure_locked(dir, lock);
    if (rc < 0) return rc;
    Confirmed confirmed;
    std::string data;
    confirmed.have_index = read_file(dir.get(), kIndex, data, kMaxFile) == 0 &&
                           fmt::decode_index(data, confirmed.index, confirmed.next) == 0;
    std::vector<Table> tables;
    if ((rc = read_tables(dir.get(), tables, out)) < 0) return rc;
    if (!confirmed.have_index) {
        const bool any = std::any_of(tables.begin(), tables.end(),
                                     [](const Table &t) { return !t.entries.empty(); });
        // Without a usable index nothing can be confirmed.
        if (any && !trust_tables) return -ENOKEY;
        confirmed.claim(tables);
    }
    for (Table &t : tables)
        if ((rc = migrate_table(dir.get(), t, confirmed, out)) < 0) return rc;
    return migrate_index(dir.get(), confirmed, out);
}

} // namespace ryx::registry

using namespace ryx;
using namespace ryx::registry;

struct ryz_map_iter {
    std::vector<fmt::Entry> entries;
    size_t pos = 0;
};

RYX_EXPORT uint32_t ryz_fnv1a(const char *docroot) {
    return docroot ? fmt::fnv1a(docroot) : fmt::fnv1a("");
}

uint32_t registry::id_min() {
    std::string text;
    // A missing or unreadable file (or one an ordinary user could have written) means the
    // system default.
    if (read_file(AT_FDCWD, paths().login_defs.c_str(), text, 1 << 20, kFollow) < 0)
        return registry::parse_id_min("");
    return registry::parse_id_min(text);
}

namespace {

uint32_t lookup_impl(uid_t uid, const char *docroot) {
    if (!valid_docroot(docroot)) return 0;
    // A handful of positioned reads: cheaper than mapping the file and faulting its pages in,
    // for the one lookup a helper process makes.
    const std::string path = paths().registry_root + "/" + uid_name(uid);
    Fd fd;
    uint64_t size;
    if (open_probe(AT_FDCWD, path.c_str(), fd, size) < 0) return 0;
    return fmt::user_lookup(fmt::FdSource(fd.get(), size), uid, docroot);
}

int verify_impl(uid_t uid, uint32_t id) {
    Fd dir, user, index;
    uint64_t user_size, index_size;
    // Ids below the domain range are users' own containers and the system's, never a domain's.
    if (id == 0 || id < registry::id_min() || open_root(false, dir) < 0 ||
        open_probe(dir.get(), uid_name(uid).c_str(), user, user_size) < 0 ||
        open_probe(dir.get(), kIndex, index, index_size) < 0)
        return 0;
    // Both must agree: the user's table says it maps the id, the root-owned index that no other
    // user holds it (and a reservation left by an interrupted assignment is not ownership).
    return fmt::user_has_id(fmt::FdSource(user.get(), user_size), uid, id) &&
           fmt::index_owner(fmt::FdSource(index.get(), index_size), id) == uid;
}

// The index as an assignment for uid starts from, under the lock: an id the index gives uid but
// uid's table does not map was left by an interrupted change (under the lock nothing is half
// done) and is reclaimed with this write. Every id the table maps must be uid's in the index;
// anything else (an index restored from an older copy, a table copied in by hand) is for the
// administrator to settle with rebuild-index (-ENOTUNIQ): a writer never takes an id into the
// index from a table.
int index_for(int dir, uid_t uid, const std::vector<fmt::Entry> &entries,
              std::vector<fmt::Owner> &owners, uint32_t &next) {
    if (int rc = load_index(dir, owners, next); rc < 0) return rc;
    std::unordered_set<uint32_t> mapped;
    mapped.reserve(entries.size());
    for (const fmt::Entry &e : entries)
        mapped.insert(e.id);
    std::erase_if(owners, [&](const fmt::Owner &o) { return o.uid == uid && !mapped.count(o.id); });
    for (const fmt::Entry &e : entries) {
        auto at = std::lower_bound(owners.begin(), owners.end(), e.id, by_id);
        if (at == owners.end() || at->id != e.id || at->uid != uid) return -ENOTUNIQ;
    }
    return 0;
}

int assign_impl(uid_t uid, const char *docroot, uint32_t *id) {
    if (!docroot || !*docroot) return -EINVAL;
    if (std::strlen(docroot) > fmt::kMaxDocroot) return -ENAMETOOLONG;
    Fd dir;
    Lock lock;
    int rc = open_locked(false, dir, lock);
    if (rc < 0) return rc == -ENOENT ? -EPERM : rc;
    std::vector<fmt::Entry> entries;
    rc = load_user(dir.get(), uid, entries);
    if (rc == -ENOENT)
        return -EPERM; // domain isolation is not enabled for uid: assigning would enable it
    if (rc < 0) return rc;
    size_t strsize = 0;
    for (const fmt::Entry &e : entries) {
        if (e.docroot == docroot) {
            if (id) *id = e.id;
            return 0;
        }
        strsize += e.docroot.size() + 1;
    }
    if (entries.size() >= fmt::kMaxEntries || strsize + std::strlen(docroot) + 1 > kMaxStrings)
        return -ENOSPC;
    std::vector<fmt::Owner> owners;
    uint32_t next, newid;
    if ((rc = index_for(dir.get(), uid, entries, owners, next)) < 0) return rc;
    // UID_MAX itself is a uid useradd hands out: the first domain id lies above it. (The
    // contract's smallest domain id is still UID_MAX, and ids stored at it stay valid.)
    const uint32_t min = registry::id_min();
    if ((rc = pick_id(owners, next, min == kMaxId ? min : min + 1, newid)) < 0) return rc;
    owners.insert(std::lower_bound(owners.begin(), owners.end(), newid, by_id), {newid, uid});
    // Reserve in the index before the user's table names the id: a crash between the two
    // leaks the id (rebuild-index reclaims it) but can never hand it out twice.
    if ((rc = store_index(dir.get(), owners, newid == kMaxId ? 0 : newid + 1)) < 0) return rc;
    entries.push_back({docroot, newid});
    if ((rc = store_user(dir.get(), uid, entries)) < 0) return rc;
    if (id) *id = newid;
    return 1;
}

// For removals: the registry directory opened and locked, and uid's entries loaded. 1 when
// they are there; 0 when there is nothing to remove (no registry, or a user without isolation);
// a negated errno otherwise.
int load_user_locked(uid_t uid, Fd &dir, Lock &lock, std::vector<fmt::Entry> &entries) {
    int rc = open_locked(false, dir, lock);
    if (rc == 0) rc = load_user(dir.get(), uid, entries);
    if (rc == -ENOENT) return 0;
    return rc < 0 ? rc : 1;
}

int remove_impl(uid_t uid, const char *docroot, uint32_t *old_id) {
    if (!docroot) return -EINVAL;
    Fd dir;
    Lock lock;
    std::vector<fmt::Entry> entries;
    int rc = load_user_locked(uid, dir, lock, entries);
    if (rc <= 0) return rc;
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const fmt::Entry &e) { return e.docroot == docroot; });
    if (it == entries.end()) return 0;
    const uint32_t gone = it->id;
    entries.erase(it);
    // The user's table first, the index after: a crash in between leaks the id.
    if ((rc = store_user(dir.get(), uid, entries)) < 0) return rc;
    if (old_id) *old_id = gone;
    std::vector<fmt::Owner> owners;
    uint32_t next;
    // The removal is complete and durable here; an index we cannot update only keeps the id
    // reserved until the next rebuild.
    if (load_index(dir.get(), owners, next) == 0) {
        drop_ids(owners, {gone}, uid);
        store_index(dir.get(), owners, next);
    }
    return 1;
}

int remove_all_impl(uid_t uid) {
    Fd dir;
    Lock lock;
    std::vector<fmt::Entry> entries;
    int rc = load_user_locked(uid, dir, lock, entries);
    if (rc <= 0) return rc;
    if (entries.empty()) return 0;
    if ((rc = store_user(dir.get(), uid, {})) < 0) return rc;
    std::vector<uint32_t> ids;
    ids.reserve(entries.size());
    for (const fmt::Entry &e : entries)
        ids.push_back(e.id);
    std::vector<fmt::Owner> owners;
    uint32_t next;
    if (load_index(dir.get(), owners, next) == 0) {
        drop_ids(owners, ids, uid);
        store_index(dir.get(), owners, next);
    }
    return static_cast<int>(entries.size());
}

ryz_map_iter *iter_open_impl(uid_t uid) {
    std::vector<fmt::Entry> entries;
    if (int rc = registry::mappings(uid, entries); rc < 0) {
        errno = -rc;
        return nullptr;
    }
    if (entries.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    // A snapshot: the docroots stay valid until close, whatever writers do meanwhile.
    auto *it = new (std::nothrow) ryz_map_iter;
    if (!it) {
        errno = ENOMEM;
        return nullptr;
    }
    it->entries = std::move(entries);
    return it;
}

} // namespace

RYX_EXPORT int ryz_map_iter_next(ryz_map_iter *iter, const char **docroot, uint32_t *id) {
    if (!iter || iter->pos >= iter->entries.size()) return 1;
    const fmt::Entry &e = iter->entries[iter->pos++];
    if (docroot) *docroot = e.docroot.c_str();
    if (id) *id = e.id;
    return 0;
}

RYX_EXPORT void ryz_map_iter_close(ryz_map_iter *iter) {
    delete iter;
}

// The exported entry points: nothing may unwind into C callers, so an allocation failure
// anywhere below becomes -ENOMEM (or "no entry" where the contract has no error value).

RYX_EXPORT uint32_t ryz_get_id_min(void) {
    return guarded(uint32_t(60000), [] { return registry::id_min(); });
}

RYX_EXPORT uint32_t ryz_map_lookup(uid_t uid, const char *docroot) {
    return guarded(uint32_t(0), [&] { return lookup_impl(uid, docroot); });
}

RYX_EXPORT int ryz_map_verify_ownership(uid_t uid, uint32_t id) {
    return guarded(0, [&] { return verify_impl(uid, id); });
}

RYX_EXPORT int ryz_map_assign(uid_t uid, const char *docroot, uint32_t *id) {
    return guarded(-ENOMEM, [&] { return assign_impl(uid, docroot, id); });
}

RYX_EXPORT int ryz_map_remove(uid_t uid, const char *docroot, uint32_t *old_id) {
    return guarded(-ENOMEM, [&] { return remove_impl(uid, docroot, old_id); });
}

RYX_EXPORT int ryz_map_remove_all(uid_t uid) {
    return guarded(-ENOMEM, [&] { return remove_all_impl(uid); });
}

RYX_EXPORT ryz_map_iter *ryz_map_iter_open(uid_t uid) {
    return guarded(static_cast<ryz_map_iter *>(nullptr), [&] { return iter_open_impl(uid); });
}

RYX_EXPORT int ryz_index_rebuild(void) {
    return guarded(-ENOMEM, [] { return registry::rebuild(nullptr, nullptr); });
}
