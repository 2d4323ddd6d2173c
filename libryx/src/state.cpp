#include "state.h"

#include <cerrno>
#include <cstring>

namespace ryx::ctl {

// Units: cpu in percent of one processor, cpus in processors, io in KiB/s, enters and nproc
// in processes, memory and memory_phy in 4 KiB pages, cpu_weight relative (100 is the
// default weight), iops in operations per second. 0 means "no limit" / "default" everywhere.
const char *const kSettingKey[9] = {"cpu",        "cpus",       "io",    "enters", "memory",
                                    "cpu_weight", "memory_phy", "nproc", "iops"};
const int32_t kSettingMax[9] = {
    409600,     // cpu: 4096 processors at 100 % each
    4096,       // cpus
    1073741824, // io: 1 TiB/s
    1000000,    // enters
    2147483647, // memory: 8 TiB of pages, the field's whole range
    10000,      // cpu_weight
    2147483647, // memory_phy
    4194304,    // nproc: the kernel's largest pid_max
    1000000000, // iops
};

static int32_t *field(libryx_settings &s, int i) {
    int32_t *f[9] = {&s.ls_cpu,        &s.ls_cpus,       &s.ls_io,    &s.ls_enters, &s.ls_memory,
                     &s.ls_cpu_weight, &s.ls_memory_phy, &s.ls_nproc, &s.ls_iops};
    return f[i];
}

int check_settings(const libryx_settings &in) {
    libryx_settings s = in;
    // Every field is looked at for negatives first, so that the error names the worse fault.
    for (int i = 0; i < 9; ++i)
        if (*field(s, i) < 0) return -EINVAL;
    for (int i = 0; i < 9; ++i)
        if (*field(s, i) > kSettingMax[i]) return -ERANGE;
    return 0;
}

std::string format_state(uint32_t id, const Container &c) {
    libryx_settings s = c.set;
    std::string out;
    out += "id=" + std::to_string(id) + "\n";
    out += std::string("state=") + (c.active ? "active" : "placed") + "\n";
    out += "parent=" + std::to_string(c.parent) + "\n";
    out += "flags=" + std::to_string(c.flags) + "\n";
    for (int i = 0; i < 9; ++i)
        out += std::string(kSettingKey[i]) + "=" + std::to_string(*field(s, i)) + "\n";
    return out;
}

static bool parse_u32(std::string_view v, uint32_t &out) {
    if (v.empty() || v.size() > 10 || (v.size() > 1 && v[0] == '0')) return false;
    uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint64_t(c - '0');
    }
    if (n > 0xffffffffu) return false;
    out = static_cast<uint32_t>(n);
    return true;
}

int parse_state(std::string_view text, uint32_t id, Container &out) {
    Container c;
    bool have_id = false, have_state = false;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        if (nl == std::string_view::npos)
            return -EBADMSG; // a file always ends in a newline; anything else is cut short
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return -EBADMSG;
        std::string_view key = line.substr(0, eq), val = line.substr(eq + 1);
        uint32_t n = 0;
        if (key == "state") {
            if (val != "active" && val != "placed") return -EBADMSG;
            c.active = val == "active";
            have_state = true;
            continue;
        }
        if (!parse_u32(val, n)) return -EBADMSG;
        if (key == "id") {
            if (n != id) return -EBADMSG;
            have_id = true;
        } else if (key == "parent") {
            c.parent = n;
        } else if (key == "flags") {
            c.flags = n;
        } else {
            for (int i = 0; i < 9; ++i) {
                if (key == kSettingKey[i]) {
                    if (n > 0x7fffffffu) return -EBADMSG;
                    *field(c.set, i) = static_cast<int32_t>(n);
                }
            }
            // Unknown keys are skipped: a newer library may add some.
        }
    }
    if (!have_id || !have_state) return -EBADMSG;
    out = c;
    return 0;
}

} // namespace ryx::ctl
