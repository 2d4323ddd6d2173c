#include "state.h"

#include <cerrno>

#include "ryx-number.h"

namespace ryx::ctl {

const Setting *find_setting(std::string_view key) {
    for (const Setting &s : kSettings)
        if (key == s.key) return &s;
    return nullptr;
}

int check_settings(const libryx_settings &s) {
    // Every field is looked at for negatives first, so that the error names the worse fault.
    for (const Setting &f : kSettings)
        if (s.*f.field < 0) return -EINVAL;
    for (const Setting &f : kSettings)
        if (s.*f.field > f.max) return -ERANGE;
    return 0;
}

std::string format_state(uint32_t id, const Container &c) {
    std::string out;
    out += "id=" + std::to_string(id) + "\n";
    out += std::string("state=") + (c.active ? "active" : "placed") + "\n";
    out += "parent=" + std::to_string(c.parent) + "\n";
    out += "flags=" + std::to_string(c.flags) + "\n";
    return out + format_settings(c.set);
}

std::string format_settings(const libryx_settings &s) {
    std::string out;
    for (const Setting &f : kSettings)
        out += std::string(f.key) + "=" + std::to_string(s.*f.field) + "\n";
    return out;
}

namespace {

// A settings line's number into s; false for one out of the fields' range. Unknown keys are
// skipped: a newer library may add some.
bool take_setting(std::string_view key, uint32_t n, libryx_settings &s) {
    if (const Setting *f = find_setting(key)) {
        if (n > 0x7fffffffu) return false;
        s.*f->field = static_cast<int32_t>(n);
    }
    return true;
}

// What a state file holds, line by line.
struct StateLines {
    Container c;
    uint32_t id = 0;
    bool have_id = false, have_state = false;

    // false for a line that is not one of ours.
    bool take(std::string_view key, std::string_view val) {
        if (key == "state") {
            if (val != "active" && val != "placed") return false;
            c.active = val == "active";
            have_state = true;
            return true;
        }
        uint32_t n = 0;
        if (!num::parse_canonical_u32(val, n)) return false;
        if (key == "id") {
            if (have_id && n != id) return false;
            id = n;
            have_id = true;
        } else if (key == "parent") {
            c.parent = n;
        } else if (key == "flags") {
            c.flags = n;
        } else {
            return take_setting(key, n, c.set);
        }
        return true;
    }
};

// Calls take(key, value) for each "key=value" line of text, blank lines and '#' comments
// passed over: 0, or -EBADMSG for a line take refuses, one without '=' or a last line cut
// short (a file always ends in a newline).
template <class F> int each_line(std::string_view text, F &&take) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        if (nl == std::string_view::npos) return -EBADMSG;
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || !take(line.substr(0, eq), line.substr(eq + 1)))
            return -EBADMSG;
    }
    return 0;
}

} // namespace

int parse_settings(std::string_view text, libryx_settings &out) {
    libryx_settings s{};
    int rc = each_line(text, [&](std::string_view key, std::string_view val) {
        uint32_t n = 0;
        return num::parse_canonical_u32(val, n) && take_setting(key, n, s);
    });
    if (rc == 0) out = s;
    return rc;
}

int parse_state(std::string_view text, uint32_t &id, Container &out) {
    StateLines lines;
    if (each_line(text, [&](std::string_view key, std::string_view val) {
            return lines.take(key, val);
        }) < 0)
        return -EBADMSG;
    if (!lines.have_id || !lines.have_state) return -EBADMSG;
    id = lines.id;
    out = lines.c;
    return 0;
}

} // namespace ryx::ctl
