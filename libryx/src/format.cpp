#include "format.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace ryx::fmt {

// Layouts (all fields 32-bit little-endian, the byte order of the only hosts we run on):
//
// user table:  magic version uid count nbuckets strsize bodycheck headcheck      (32 bytes)
//              entries[count] { id hash off len check }                         (20 bytes each)
//              by_name[nbuckets]  by_id[nbuckets]   (entry index + 1; 0 = empty slot)
//              strings[strsize]   (each docroot NUL-terminated)
// index:       magic version count next bodycheck headcheck                       (24 bytes)
//              owners[count] { id uid check } sorted by id                      (12 bytes each)
//
// headcheck covers the header before it, bodycheck everything after the header, and each
// record's check its own fields, so that a probe touching one record can trust it without
// hashing the whole file.

namespace {

constexpr size_t kUserHeader = 32;
constexpr size_t kUserEntry = 20;
constexpr size_t kIndexHeader = 24;
constexpr size_t kIndexRecord = 12;

uint32_t get32(std::string_view b, size_t off) {
    uint32_t v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}

void put32(std::string &b, size_t off, uint32_t v) {
    std::memcpy(b.data() + off, &v, 4);
}

uint32_t words_check(std::initializer_list<uint32_t> words) {
    uint32_t h = 2166136261u;
    for (uint32_t w : words)
        h = fnv1a(std::string_view(reinterpret_cast<const char *>(&w), 4), h);
    return h;
}

uint32_t id_slot(uint32_t id) {
    return id * 2654435761u;
} // Fibonacci hashing spreads ids

uint32_t bucket_count(size_t n) {
    uint32_t nb = 8;
    while (nb < 2 * n)
        nb *= 2;
    return nb;
}

struct UserHeader {
    uint32_t count, nbuckets, strsize;
    uint64_t entries, by_name, by_id, strings;
};

bool read32(const Source &f, uint64_t off, uint32_t &v) {
    char b[4];
    if (!f.read(off, 4, b)) return false;
    std::memcpy(&v, b, 4);
    return true;
}

// Checks what a probe needs: the header, and that every region lies inside the file.
bool user_header(const Source &f, uint32_t uid, UserHeader &h) {
    char raw[kUserHeader];
    if (f.size() < kUserHeader || !f.read(0, kUserHeader, raw)) return false;
    std::string_view b(raw, sizeof raw);
    if (get32(b, 0) != kUserMagic || get32(b, 4) != kVersion || get32(b, 8) != uid) return false;
    if (get32(b, 28) != fnv1a(b.substr(0, 28))) return false;
    h.count = get32(b, 12);
    h.nbuckets = get32(b, 16);
    h.strsize = get32(b, 20);
    if (h.count > kMaxEntries || h.nbuckets < 8 || h.nbuckets > 2 * kMaxEntries + 8 ||
        (h.nbuckets & (h.nbuckets - 1)) != 0 || h.count > h.nbuckets / 2)
        return false;
    uint64_t size =
        kUserHeader + uint64_t(h.count) * kUserEntry + uint64_t(h.nbuckets) * 8 + h.strsize;
    if (size != f.size()) return false;
    h.entries = kUserHeader;
    h.by_name = h.entries + uint64_t(h.count) * kUserEntry;
    h.by_id = h.by_name + uint64_t(h.nbuckets) * 4;
    h.strings = h.by_id + uint64_t(h.nbuckets) * 4;
    return true;
}

struct RawEntry {
    uint32_t id, hash, off, len;
};

// One entry, its check and its string's bounds verified; false for anything off. The docroot
// goes to name (at most kMaxDocroot bytes plus the NUL).
bool user_entry(const Source &f, const UserHeader &h, uint32_t uid, uint32_t slot, RawEntry &e,
                std::string &name) {
    if (slot == 0 || slot > h.count) return false;
    char raw[kUserEntry];
    if (!f.read(h.entries + uint64_t(slot - 1) * kUserEntry, kUserEntry, raw)) return false;
    std::string_view b(raw, sizeof raw);
    e = {get32(b, 0), get32(b, 4), get32(b, 8), get32(b, 12)};
    if (get32(b, 16) != words_check({uid, e.id, e.hash, e.off, e.len})) return false;
    if (e.id == 0 || e.len == 0 || e.len > kMaxDocroot) return false;
    if (uint64_t(e.off) + e.len >= h.strsize) // room for the NUL too
        return false;
    name.resize(e.len + 1);
    if (!f.read(h.strings + e.off, e.len + 1, name.data())) return false;
    if (name.back() != '\0' || std::memchr(name.data(), '\0', e.len) != nullptr) return false;
    name.pop_back();
    return fnv1a(name) == e.hash;
}

} // namespace

bool ViewSource::read(uint64_t off, size_t len, char *dst) const {
    if (off > v_.size() || len > v_.size() - off) return false;
    std::memcpy(dst, v_.data() + off, len);
    return true;
}

bool FdSource::read(uint64_t off, size_t len, char *dst) const {
    if (off > size_ || len > size_ - off) return false;
    while (len > 0) {
        ssize_t n = ::pread(fd_, dst, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false; // also a file cut short since its size was taken
        dst += n;
        off += uint64_t(n);
        len -= size_t(n);
    }
    return true;
}

uint32_t fnv1a(std::string_view bytes, uint32_t h) {
    for (unsigned char c : bytes)
        h = (h ^ c) * 16777619u; // wraps modulo 2^32 by definition of the hash
    return h;
}

std::string encode_user(uint32_t uid, const std::vector<Entry> &entries) {
    const uint32_t count = static_cast<uint32_t>(entries.size());
    const uint32_t nb = bucket_count(entries.size());
    size_t strsize = 0;
    for (const Entry &e : entries)
        strsize += e.docroot.size() + 1;
    const size_t by_name = kUserHeader + size_t(count) * kUserEntry;
    const size_t by_id = by_name + size_t(nb) * 4;
    const size_t strings = by_id + size_t(nb) * 4;
    std::string f(strings + strsize, '\0');

    uint32_t off = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const Entry &e = entries[i];
        const uint32_t len = static_cast<uint32_t>(e.docroot.size());
        const uint32_t hash = fnv1a(e.docroot);
        const size_t at = kUserHeader + size_t(i) * kUserEntry;
        put32(f, at, e.id);
        put32(f, at + 4, hash);
        put32(f, at + 8, off);
        put32(f, at + 12, len);
        put32(f, at + 16, words_check({uid, e.id, hash, off, len}));
        std::memcpy(f.data() + strings + off, e.docroot.data(), len);
        off += len + 1;
        for (uint32_t s = hash & (nb - 1);; s = (s + 1) & (nb - 1)) {
            if (get32(f, by_name + size_t(s) * 4) == 0) {
                put32(f, by_name + size_t(s) * 4, i + 1);
                break;
            }
        }
        for (uint32_t s = id_slot(e.id) & (nb - 1);; s = (s + 1) & (nb - 1)) {
            if (get32(f, by_id + size_t(s) * 4) == 0) {
                put32(f, by_id + size_t(s) * 4, i + 1);
                break;
            }
        }
    }
    put32(f, 0, kUserMagic);
    put32(f, 4, kVersion);
    put32(f, 8, uid);
    put32(f, 12, count);
    put32(f, 16, nb);
    put32(f, 20, static_cast<uint32_t>(strsize));
    put32(f, 24, fnv1a(std::string_view(f).substr(kUserHeader)));
    put32(f, 28, fnv1a(std::string_view(f).substr(0, 28)));
    return f;
}

int decode_user(std::string_view f, uint32_t uid, std::vector<Entry> &out) {
    ViewSource src(f);
    UserHeader h;
    if (!user_header(src, uid, h) || get32(f, 24) != fnv1a(f.substr(kUserHeader))) return -EBADMSG;
    std::vector<Entry> entries;
    entries.reserve(h.count);
    // Views into entries, whose storage the reserve above keeps in place.
    std::unordered_set<std::string_view> names;
    std::unordered_set<uint32_t> ids;
    names.reserve(h.count);
    ids.reserve(h.count);
    for (uint32_t i = 1; i <= h.count; ++i) {
        RawEntry e;
        std::string docroot;
        if (!user_entry(src, h, uid, i, e, docroot) || !ids.insert(e.id).second) return -EBADMSG;
        entries.push_back({std::move(docroot), e.id});
        if (!names.insert(entries.back().docroot).second) return -EBADMSG;
    }
    out = std::move(entries);
    return 0;
}

uint32_t user_lookup(const Source &f, uint32_t uid, std::string_view docroot) {
    UserHeader h;
    if (docroot.empty() || !user_header(f, uid, h)) return 0;
    const uint32_t hash = fnv1a(docroot);
    std::string name;
    // At most nbuckets probes even if a damaged table has no empty slot.
    for (uint32_t n = 0, s = hash & (h.nbuckets - 1); n < h.nbuckets;
         ++n, s = (s + 1) & (h.nbuckets - 1)) {
        uint32_t slot;
        if (!read32(f, h.by_name + uint64_t(s) * 4, slot) || slot == 0) return 0;
        RawEntry e;
        if (!user_entry(f, h, uid, slot, e, name)) return 0;
        if (e.hash == hash && name == docroot) return e.id;
    }
    return 0;
}

bool user_has_id(const Source &f, uint32_t uid, uint32_t id) {
    UserHeader h;
    if (id == 0 || !user_header(f, uid, h)) return false;
    std::string name;
    for (uint32_t n = 0, s = id_slot(id) & (h.nbuckets - 1); n < h.nbuckets;
         ++n, s = (s + 1) & (h.nbuckets - 1)) {
        uint32_t slot;
        if (!read32(f, h.by_id + uint64_t(s) * 4, slot) || slot == 0) return false;
        RawEntry e;
        if (!user_entry(f, h, uid, slot, e, name)) return false;
        if (e.id == id) return true;
    }
    return false;
}

std::string encode_index(const std::vector<Owner> &owners, uint32_t next) {
    std::string f(kIndexHeader + owners.size() * kIndexRecord, '\0');
    for (size_t i = 0; i < owners.size(); ++i) {
        const size_t at = kIndexHeader + i * kIndexRecord;
        put32(f, at, owners[i].id);
        put32(f, at + 4, owners[i].uid);
        put32(f, at + 8, words_check({owners[i].id, owners[i].uid}));
    }
    put32(f, 0, kIndexMagic);
    put32(f, 4, kVersion);
    put32(f, 8, static_cast<uint32_t>(owners.size()));
    put32(f, 12, next);
    put32(f, 16, fnv1a(std::string_view(f).substr(kIndexHeader)));
    put32(f, 20, fnv1a(std::string_view(f).substr(0, 20)));
    return f;
}

namespace {

bool index_header(const Source &f, uint32_t &count) {
    char raw[kIndexHeader];
    if (f.size() < kIndexHeader || !f.read(0, kIndexHeader, raw)) return false;
    std::string_view b(raw, sizeof raw);
    if (get32(b, 0) != kIndexMagic || get32(b, 4) != kVersion ||
        get32(b, 20) != fnv1a(b.substr(0, 20)))
        return false;
    count = get32(b, 8);
    return f.size() == kIndexHeader + uint64_t(count) * kIndexRecord;
}

bool index_record(const Source &f, uint32_t i, Owner &o) {
    char raw[kIndexRecord];
    if (!f.read(kIndexHeader + uint64_t(i) * kIndexRecord, kIndexRecord, raw)) return false;
    std::string_view b(raw, sizeof raw);
    o = {get32(b, 0), get32(b, 4)};
    return o.id != 0 && get32(b, 8) == words_check({o.id, o.uid});
}

} // namespace

int decode_index(std::string_view f, std::vector<Owner> &out, uint32_t &next) {
    ViewSource src(f);
    uint32_t count;
    if (!index_header(src, count) || get32(f, 16) != fnv1a(f.substr(kIndexHeader))) return -EBADMSG;
    std::vector<Owner> owners(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!index_record(src, i, owners[i]) || (i > 0 && owners[i].id <= owners[i - 1].id))
            return -EBADMSG;
    }
    out = std::move(owners);
    next = get32(f, 12);
    return 0;
}

int64_t index_owner(const Source &f, uint32_t id) {
    uint32_t count;
    if (id == 0 || !index_header(f, count)) return -1;
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        Owner o;
        if (!index_record(f, mid, o)) return -1;
        if (o.id == id) return o.uid;
        if (o.id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return -1;
}

} // namespace ryx::fmt
