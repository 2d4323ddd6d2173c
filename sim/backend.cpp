#include "backend.h"

#include <set>
#include <vector>

#include "libryx-impl.h"

namespace ryxsim {

namespace {

// The library's record in the simulated kernel's terms: the seven limits it enforces.
Backend::Container from_state(const ryx::ctl::Container &state) {
    Backend::Container c;
    c.parent = state.parent;
    c.has_limits = true;
    const libryx_settings &s = state.set;
    c.limits =
        Limits{s.ls_cpu, s.ls_memory_phy, s.ls_io, s.ls_nproc, s.ls_iops, s.ls_enters, s.ls_memory};
    return c;
}

} // namespace

int parse_container_state(std::string_view text, bool &active, Backend::Container &out) {
    uint32_t id;
    ryx::ctl::Container state;
    if (int rc = ryx::ctl::parse_state(text, id, state); rc < 0) return rc;
    active = state.active;
    out = from_state(state);
    return 0;
}

void read_backend(const Scenario &sc, Backend &out) {
    Backend b;
    std::set<uint32_t> uids;
    for (const User &u : sc.users)
        uids.insert(u.uid);
    std::vector<uint32_t> registered;
    if (ryx::registry::users(registered) == 0) uids.insert(registered.begin(), registered.end());
    for (uint32_t uid : uids) {
        std::vector<ryx::fmt::Entry> entries;
        if (ryx::registry::mappings(uid, entries) < 0) continue;
        for (ryx::fmt::Entry &e : entries)
            b.assigned[{uid, std::move(e.docroot)}] = e.id;
    }
    std::vector<ryx::ctl::Record> records;
    ryx::ctl::load_all(records);
    for (const ryx::ctl::Record &r : records)
        if (r.error == 0 && r.c.active && ryx::ctl::valid_id(r.id))
            b.containers[r.id] = from_state(r.c);
    out = std::move(b);
}

} // namespace ryxsim
