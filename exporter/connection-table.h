// Who holds the server's connections, and whom to let go when a new one needs the room. A
// connection whose request line and headers have not all arrived is "incomplete": it has a
// deadline, counted from its accept (or from its previous answer, when kept alive), that no
// trickle of bytes extends, and it is the first to go when the table is full. Only connections
// whose request is being answered are never closed to make room.
#pragma once

#include <chrono>
#include <list>
#include <string>
#include <vector>

namespace ryx_exporter {

struct ConnectionBounds {
    unsigned connections = 64;      // at once, all clients together
    unsigned per_peer = 8;          // at once, from one address
    std::chrono::seconds request{}; // from accept or the last answer to a whole request
};

class ConnectionTable {
  public:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        int fd;
        std::string peer; // the address alone, without the port
        Clock::time_point since;
        bool complete = false; // its request is being answered
        bool shed = false;     // shut to make room or out of time: closing, holds no place
    };

    explicit ConnectionTable(ConnectionBounds bounds) : bounds_(bounds) {}

    // A new connection from peer. Its entry, or nullptr when it must be closed: every place
    // it could take holds a request being answered. The descriptors of incomplete connections
    // shut to make room for it are appended to shut.
    Entry *admit(int fd, std::string peer, Clock::time_point now, std::vector<int> &shut);
    // The whole request arrived.
    void received(Entry &e) { e.complete = true; }
    // Its answer went out; a kept-alive connection waits for its next request from now.
    void answered(Entry &e, Clock::time_point now);
    // The connection is closed.
    void remove(const Entry *e);
    // Incomplete connections past their deadline: marked shed, their descriptors appended.
    void expire(Clock::time_point now, std::vector<int> &shut);
    // The earliest deadline of an incomplete connection; Clock::time_point::max() when none.
    Clock::time_point next_deadline() const;
    // Connections that hold a place.
    size_t held() const;
    // Connections whose request is being answered.
    size_t answering() const;

  private:
    Entry *victim(const std::string *peer);
    void shed(Entry &e, std::vector<int> &shut);

    ConnectionBounds bounds_;
    std::list<Entry> entries_; // in accept order; entries never move
};

} // namespace ryx_exporter
