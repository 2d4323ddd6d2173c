// The connection table's choices. A few dozen entries at most, so plain scans.
#include "connection-table.h"

#include <map>

namespace ryx_exporter {

ConnectionTable::Entry *ConnectionTable::admit(int fd, std::string peer, Clock::time_point now,
                                               std::vector<int> &shut) {
    size_t from_peer = 0;
    for (const Entry &e : entries_)
        from_peer += !e.shed && e.peer == peer;
    if (from_peer >= bounds_.per_peer) {
        Entry *v = victim(&peer);
        if (!v) return nullptr;
        shed(*v, shut);
    } else if (held() >= bounds_.connections) {
        Entry *v = victim(nullptr);
        if (!v) return nullptr;
        shed(*v, shut);
    }
    return &entries_.emplace_back(Entry{fd, std::move(peer), now});
}

// The incomplete connection to let go: of peer, its oldest; of anyone, the oldest of the
// address that holds the most, so that one client spreading trickles over a few addresses
// pushes out its own connections before a lone scraper's.
ConnectionTable::Entry *ConnectionTable::victim(const std::string *peer) {
    std::map<std::string, size_t> waiting;
    for (const Entry &e : entries_)
        if (!e.shed && !e.complete) ++waiting[e.peer];
    Entry *found = nullptr;
    size_t found_count = 0;
    for (Entry &e : entries_) {
        if (e.shed || e.complete || (peer && e.peer != *peer)) continue;
        size_t count = waiting[e.peer];
        if (!found || count > found_count || (count == found_count && e.since < found->since)) {
            found = &e;
            found_count = count;
        }
    }
    return found;
}

void ConnectionTable::shed(Entry &e, std::vector<int> &shut) {
    e.shed = true;
    shut.push_back(e.fd);
}

void ConnectionTable::answered(Entry &e, Clock::time_point now) {
    e.complete = false;
    e.since = now;
}

void ConnectionTable::remove(const Entry *e) {
    entries_.remove_if([e](const Entry &x) { return &x == e; });
}

void ConnectionTable::expire(Clock::time_point now, std::vector<int> &shut) {
    for (Entry &e : entries_)
        if (!e.shed && !e.complete && now >= e.since + bounds_.request) shed(e, shut);
}

ConnectionTable::Clock::time_point ConnectionTable::next_deadline() const {
    auto next = Clock::time_point::max();
    for (const Entry &e : entries_)
        if (!e.shed && !e.complete && e.since + bounds_.request < next)
            next = e.since + bounds_.request;
    return next;
}

size_t ConnectionTable::held() const {
    size_t n = 0;
    for (const Entry &e : entries_)
        n += !e.shed;
    return n;
}

size_t ConnectionTable::answering() const {
    size_t n = 0;
    for (const Entry &e : entries_)
        n += !e.shed && e.complete;
    return n;
}

} // namespace ryx_exporter
