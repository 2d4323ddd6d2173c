// The connection table's choices. A few dozen entries at most, so plain scans.
#include "connection-table.h"

#include <map>

namespace ryx_exporter {

connection_table::entry *connection_table::admit(int fd, std::string peer, clock::time_point now,
                                                 std::vector<int> &shut) {
    size_t from_peer = 0;
    for (const entry &e : entries_)
        from_peer += !e.shed && e.peer == peer;
    if (from_peer >= bounds_.per_peer) {
        entry *v = victim(&peer);
        if (!v) return nullptr;
        shed(*v, shut);
    } else if (held() >= bounds_.connections) {
        entry *v = victim(nullptr);
        if (!v) return nullptr;
        shed(*v, shut);
    }
    return &entries_.emplace_back(entry{fd, std::move(peer), now});
}

// The incomplete connection to let go: of peer, its oldest; of anyone, the oldest of the
// address that holds the most, so that one client spreading trickles over a few addresses
// pushes out its own connections before a lone scraper's.
connection_table::entry *connection_table::victim(const std::string *peer) {
    std::map<std::string, size_t> waiting;
    for (const entry &e : entries_)
        if (!e.shed && !e.complete) ++waiting[e.peer];
    entry *found = nullptr;
    size_t found_count = 0;
    for (entry &e : entries_) {
        if (e.shed || e.complete || (peer && e.peer != *peer)) continue;
        size_t count = waiting[e.peer];
        if (!found || count > found_count || (count == found_count && e.since < found->since)) {
            found = &e;
            found_count = count;
        }
    }
    return found;
}

void connection_table::shed(entry &e, std::vector<int> &shut) {
    e.shed = true;
    shut.push_back(e.fd);
}

void connection_table::answered(entry &e, clock::time_point now) {
    e.complete = false;
    e.since = now;
}

void connection_table::remove(const entry *e) {
    entries_.remove_if([e](const entry &x) { return &x == e; });
}

void connection_table::expire(clock::time_point now, std::vector<int> &shut) {
    for (entry &e : entries_)
        if (!e.shed && !e.complete && now >= e.since + bounds_.request) shed(e, shut);
}

connection_table::clock::time_point connection_table::next_deadline() const {
    auto next = clock::time_point::max();
    for (const entry &e : entries_)
        if (!e.shed && !e.complete && e.since + bounds_.request < next)
            next = e.since + bounds_.request;
    return next;
}

size_t connection_table::held() const {
    size_t n = 0;
    for (const entry &e : entries_)
        n += !e.shed;
    return n;
}

size_t connection_table::answering() const {
    size_t n = 0;
    for (const entry &e : entries_)
        n += !e.shed && e.complete;
    return n;
}

} // namespace ryx_exporter
