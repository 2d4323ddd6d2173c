// The HTTP side: the telemetry path, a landing page, and nothing else, served by libmicrohttpd
// from its own thread with bounded connections, request sizes and idle times.
#pragma once

#include <memory>
#include <string>

#include "shared-collection.h"

struct MHD_Daemon;

namespace ryx_exporter {

// Bounds that keep a misbehaving or slow client from holding more than its own connection.
struct http_limits {
    unsigned connections = 64;       // at once, all clients together
    unsigned connections_per_ip = 8; // at once, from one address
    unsigned idle_seconds = 10;      // a connection that sends or takes nothing is closed
    size_t request_bytes = 16384;    // request line and headers; larger ones are refused
};

// "ADDR:PORT" into its parts; the brackets of an IPv6 address are dropped. False when address
// has not that form.
bool split_address(const std::string &address, std::string &host, std::string &port);
// A listening socket bound to "ADDR:PORT" (ADDR empty: every address, IPv6 and IPv4; a host
// name, an IPv4 address or a bracketed IPv6 address otherwise). Returns the socket, or -1 with
// error describing why not.
int listen_on(const std::string &address, std::string &error);
// The address a listening socket is bound to, as "ADDR:PORT".
std::string bound_address(int fd);

class http_server {
  public:
    http_server(shared_collection &collection, std::string telemetry_path, http_limits limits = {});
    ~http_server();
    http_server(const http_server &) = delete;
    http_server &operator=(const http_server &) = delete;

    // Starts serving on listen_fd, which it takes over whatever happens. False, with error,
    // when the server cannot start.
    bool start(int listen_fd, std::string &error);
    // Stops serving; the shared collection must have been stopped first, so that no request
    // is left waiting for it.
    void stop();

    struct request;

  private:
    struct daemon_stopper {
        void operator()(MHD_Daemon *d) const;
    };

    shared_collection &collection_;
    std::string telemetry_path_;
    std::string landing_page_;
    http_limits limits_;
    std::unique_ptr<MHD_Daemon, daemon_stopper> daemon_;

    friend struct handler;
};

} // namespace ryx_exporter
