// The HTTP side: the telemetry path, a landing page, and nothing else, served by libmicrohttpd
// from one polling thread of ours with bounded connections, request sizes, request times and
// idle times; over TLS and behind basic authentication when the web configuration asks.
#pragma once

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "basic-auth.h"
#include "connection-table.h"
#include "ryx-fd.h"
#include "shared-collection.h"
#include "web-config.h"

struct MHD_Daemon;

namespace ryx_exporter {

// Bounds that keep a misbehaving or slow client from holding more than its own connection.
struct HttpLimits {
    unsigned connections = 64;       // at once, all clients together
    unsigned connections_per_ip = 8; // at once, from one address
    unsigned idle_seconds = 10;      // a connection that sends or takes nothing is closed
    unsigned request_seconds = 10;   // for a whole request line and headers, however trickled
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

class HttpServer {
  public:
    // security: TLS and users, when not empty.
    HttpServer(SharedCollection &collection, std::string telemetry_path, HttpLimits limits = {},
               WebSecurity security = {});
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Starts serving on listen_fd, which it takes over whatever happens. False, with error,
    // when the server cannot start.
    bool start(int listen_fd, std::string &error);
    // Stops serving, after the answers under way (a second at most); the shared collection
    // must have been stopped first, so that no request is left waiting for it.
    void stop();

    struct Request;

  private:
    struct DaemonStopper {
        void operator()(MHD_Daemon *d) const;
    };
    using Clock = ConnectionTable::Clock;
    struct LibraryLog {
        static void say(void *cls, const char *format, va_list args);
        std::mutex mutex;
        Clock::time_point since{};
        unsigned said = 0, left_out = 0;
    };

    bool start_daemon(std::string &error);
    // From any thread: the polling thread runs the daemon again (MHD wakes no external loop
    // for a resumed connection).
    void wake();
    void run();
    void accept_ready(Clock::time_point now);
    void pause_accepting(bool pause, Clock::time_point now);
    void shut(std::vector<int> &fds);
    int timeout_ms(Clock::time_point now) const;
    void report_pressure(Clock::time_point now, bool force);

    SharedCollection &collection_;
    std::string telemetry_path_;
    std::string landing_page_;
    HttpLimits limits_;
    WebSecurity security_;
    std::unique_ptr<BasicAuth> auth_;
    // Declared before the daemon, which reports every connection's end to it when it stops.
    ConnectionTable table_;
    ConnectionTable::Entry *adding_ = nullptr; // the connection being handed to the daemon
    unsigned shed_ = 0, refused_ = 0;          // since the last report
    Clock::time_point reported_{};
    Clock::time_point accept_paused_until_{};
    ryx::Fd listen_, epoll_, wake_;
    LibraryLog log_; // outlives the daemon, which logs through it
    std::unique_ptr<MHD_Daemon, DaemonStopper> daemon_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    friend struct Handler;
};

} // namespace ryx_exporter
