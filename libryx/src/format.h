// On-disk formats of the registry: a user's table ("<uid>") and the id index (".index").
// Encoders produce a whole file; decoders take the bytes of one and never trust an offset,
// length or count they have not checked against the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ryx::fmt {

uint32_t fnv1a(std::string_view bytes, uint32_t h = 2166136261u);

struct Entry {
    std::string docroot;
    uint32_t id;
};

struct Owner {
    uint32_t id;
    uint32_t uid;
};

constexpr uint32_t kUserMagic = 0x315a5952;  // "RYZ1" read as little-endian bytes
constexpr uint32_t kIndexMagic = 0x495a5952; // "RYZI"
constexpr uint32_t kVersion = 1;
constexpr size_t kMaxDocroot = 4095;
constexpr uint32_t kMaxEntries = 1u << 24;

std::string encode_user(uint32_t uid, const std::vector<Entry> &entries);
// 0 with every entry in file order; -EBADMSG for anything inconsistent (wrong uid, bad checks,
// duplicate docroots or ids, id 0, out-of-range offsets).
int decode_user(std::string_view file, uint32_t uid, std::vector<Entry> &out);

// Constant-time probes of a user's table, without reading the whole file. Both give 0 for
// "not there" and also for a file they cannot trust.
uint32_t user_lookup(std::string_view file, uint32_t uid, std::string_view docroot);
bool user_has_id(std::string_view file, uint32_t uid, uint32_t id);

// owners must be sorted by id, ids unique. next: where the next assignment starts looking.
std::string encode_index(const std::vector<Owner> &owners, uint32_t next);
int decode_index(std::string_view file, std::vector<Owner> &out, uint32_t &next);
// Binary search in the mapped index: the owning uid, or -1 when absent or untrustworthy.
int64_t index_owner(std::string_view file, uint32_t id);

} // namespace ryx::fmt
