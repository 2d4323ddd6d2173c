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

// Random access to a file's bytes for the probes below, which read only the few records they
// need: a copy in memory, or positioned reads of an open file.
class Source {
  public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Exactly len bytes at off (within size()) into dst; false when they cannot be read.
    virtual bool read(uint64_t off, size_t len, char *dst) const = 0;
};

class ViewSource final : public Source {
  public:
    explicit ViewSource(std::string_view v) : v_(v) {}
    uint64_t size() const override { return v_.size(); }
    bool read(uint64_t off, size_t len, char *dst) const override;

  private:
    std::string_view v_;
};

class FdSource final : public Source {
  public:
    FdSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t off, size_t len, char *dst) const override;

  private:
    int fd_;
    uint64_t size_;
};

// Constant-time probes of a user's table, without reading the whole file. Both give 0 for
// "not there" and also for a file they cannot trust.
uint32_t user_lookup(const Source &file, uint32_t uid, std::string_view docroot);
bool user_has_id(const Source &file, uint32_t uid, uint32_t id);
inline uint32_t user_lookup(std::string_view file, uint32_t uid, std::string_view docroot) {
    return user_lookup(ViewSource(file), uid, docroot);
}
inline bool user_has_id(std::string_view file, uint32_t uid, uint32_t id) {
    return user_has_id(ViewSource(file), uid, id);
}

// owners must be sorted by id, ids unique. next: where the next assignment starts looking.
std::string encode_index(const std::vector<Owner> &owners, uint32_t next);
int decode_index(std::string_view file, std::vector<Owner> &out, uint32_t &next);
// Binary search in the index: the owning uid, or -1 when absent or untrustworthy.
int64_t index_owner(const Source &file, uint32_t id);
inline int64_t index_owner(std::string_view file, uint32_t id) {
    return index_owner(ViewSource(file), id);
}

} // namespace ryx::fmt
