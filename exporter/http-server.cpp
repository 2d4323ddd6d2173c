// The HTTP server. libmicrohttpd runs one polling thread (epoll) that never blocks: a scrape of
// the telemetry path is suspended while the shared collection runs on its own thread, and is
// resumed with the finished text, which every scrape of that pass sends from the same buffer.
// A slow reader therefore holds only its own connection, up to the idle limit.
#include "http-server.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "exposition.h"
#include "ryx-fd.h"

namespace ryx_exporter {

namespace {

struct addrinfo_deleter {
    void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

// A listening socket on addr, or -1 with errno set.
int bind_and_listen(int family, const sockaddr *addr, socklen_t len, bool dual_stack) {
    ryx::Fd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return -1;
    int on = 1, off = 0;
    // A restarted exporter must get its port back while the old connections linger.
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6)
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, dual_stack ? &off : &on, sizeof on);
    if (bind(fd.get(), addr, len) != 0 || listen(fd.get(), SOMAXCONN) != 0) return -1;
    return fd.release();
}

std::string html_escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

struct response_deleter {
    void operator()(MHD_Response *r) const { MHD_destroy_response(r); }
};
using response_ptr = std::unique_ptr<MHD_Response, response_deleter>;

constexpr char TEXT_TYPE[] = "text/plain; charset=utf-8";

// A reply whose text lives as long as the program: status pages and the landing page.
MHD_Result reply_static(MHD_Connection *conn, unsigned status, const char *type, const char *text,
                        size_t len, const char *allow = nullptr) {
    response_ptr r(
        MHD_create_response_from_buffer(len, const_cast<char *>(text), MHD_RESPMEM_PERSISTENT));
    if (!r) return MHD_NO;
    if (MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CONTENT_TYPE, type) != MHD_YES)
        return MHD_NO;
    if (allow && MHD_add_response_header(r.get(), MHD_HTTP_HEADER_ALLOW, allow) != MHD_YES)
        return MHD_NO;
    return MHD_queue_response(conn, status, r.get());
}

template <size_t N>
MHD_Result reply_text(MHD_Connection *conn, unsigned status, const char (&text)[N],
                      const char *allow = nullptr) {
    return reply_static(conn, status, TEXT_TYPE, text, N - 1, allow);
}

// The exposition of one pass, shared by every response that sends it.
MHD_Result reply_metrics(MHD_Connection *conn, const shared_collection::result &text) {
    auto *keep = new (std::nothrow) shared_collection::result(text);
    if (!keep) return MHD_NO;
    response_ptr r(MHD_create_response_from_buffer_with_free_callback_cls(
        text->size(), const_cast<char *>(text->data()),
        [](void *cls) { delete static_cast<shared_collection::result *>(cls); }, keep));
    if (!r) {
        delete keep;
        return MHD_NO;
    }
    if (MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CONTENT_TYPE, EXPOSITION_CONTENT_TYPE) !=
        MHD_YES)
        return MHD_NO;
    return MHD_queue_response(conn, MHD_HTTP_OK, r.get());
}

// Whether the request announces a body. None of our answers takes one.
bool has_body(MHD_Connection *conn) {
    if (MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING))
        return true;
    const char *length =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return length && std::strspn(length, "0") != std::strlen(length);
}

void log_message(void *, const char *format, va_list args) {
    // libmicrohttpd's messages end with their own newline.
    std::fputs("ryx_exporter: ", stderr);
    std::vfprintf(stderr, format, args);
}

} // namespace

// One scrape of the telemetry path, from the first call of the handler to the completion
// notice.
struct http_server::request {
    enum class state { fresh, waiting } st = state::fresh;
    bool body = false;
    std::mutex mutex; // result is written on the collection thread
    shared_collection::result result;
};

struct handler {
    static MHD_Result access(void *cls, MHD_Connection *conn, const char *url, const char *method,
                             const char *, const char *, size_t *upload_size, void **context) {
        auto *server = static_cast<http_server *>(cls);
        auto *req = static_cast<http_server::request *>(*context);
        if (!req) return first_call(server, conn, url, method, context);

        if (*upload_size != 0) {
            // A body the headers did not announce: read and dropped, then refused.
            *upload_size = 0;
            req->body = true;
            return MHD_YES;
        }
        if (req->body) return reply_text(conn, MHD_HTTP_CONTENT_TOO_LARGE, "request too large\n");

        if (req->st == http_server::request::state::fresh) {
            req->st = http_server::request::state::waiting;
            // Suspended before the request is handed over, so that the resume can never come
            // first.
            MHD_suspend_connection(conn);
            bool queued = server->collection_.request([req, conn](shared_collection::result r) {
                {
                    std::lock_guard lock(req->mutex);
                    req->result = std::move(r);
                }
                MHD_resume_connection(conn); // the last use of req on this thread
            });
            if (!queued) MHD_resume_connection(conn); // shutting down: answered below
            return MHD_YES;
        }

        shared_collection::result text;
        {
            std::lock_guard lock(req->mutex);
            text = req->result;
        }
        if (!text) return reply_text(conn, MHD_HTTP_SERVICE_UNAVAILABLE, "collection failed\n");
        return reply_metrics(conn, text);
    }

    static MHD_Result first_call(http_server *server, MHD_Connection *conn, const char *url,
                                 const char *method, void **context) {
        bool metrics = server->telemetry_path_ == url;
        if (!metrics && std::strcmp(url, "/") != 0)
            return reply_text(conn, MHD_HTTP_NOT_FOUND, "404 page not found\n");
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return reply_text(conn, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                              "GET, HEAD");
        if (has_body(conn))
            return reply_text(conn, MHD_HTTP_CONTENT_TOO_LARGE, "request too large\n");
        if (!metrics)
            return reply_static(conn, MHD_HTTP_OK, "text/html; charset=utf-8",
                                server->landing_page_.data(), server->landing_page_.size());
        auto *req = new (std::nothrow) http_server::request;
        if (!req) return MHD_NO;
        *context = req;
        return MHD_YES;
    }

    static void completed(void *, MHD_Connection *, void **context, MHD_RequestTerminationCode) {
        delete static_cast<http_server::request *>(*context);
        *context = nullptr;
    }
};

bool split_address(const std::string &address, std::string &host, std::string &port) {
    size_t colon;
    if (!address.empty() && address[0] == '[') {
        size_t close = address.find(']');
        if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':')
            return false;
        host = address.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = address.rfind(':');
        if (colon == std::string::npos) return false;
        host = address.substr(0, colon);
        if (host.find(':') != std::string::npos) return false; // IPv6 needs its brackets
    }
    port = address.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos)
        return false;
    return std::atoi(port.c_str()) <= 65535;
}

int listen_on(const std::string &address, std::string &error) {
    std::string host, port;
    if (!split_address(address, host, port)) {
        error = "invalid listen address \"" + address + "\" (expected ADDR:PORT)";
        return -1;
    }
    int fd = -1;
    if (host.empty()) {
        // Every address: IPv6 with IPv4 mapped into it, or IPv4 alone where IPv6 is off.
        sockaddr_in6 any6{};
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(static_cast<uint16_t>(std::atoi(port.c_str())));
        fd = bind_and_listen(AF_INET6, reinterpret_cast<sockaddr *>(&any6), sizeof any6, true);
        if (fd < 0 && errno == EAFNOSUPPORT) {
            sockaddr_in any4{};
            any4.sin_family = AF_INET;
            any4.sin_addr.s_addr = htonl(INADDR_ANY);
            any4.sin_port = any6.sin6_port;
            fd = bind_and_listen(AF_INET, reinterpret_cast<sockaddr *>(&any4), sizeof any4, false);
        }
    } else {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo *found = nullptr;
        int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
        if (rc != 0) {
            error = "cannot resolve \"" + host + "\": " + gai_strerror(rc);
            return -1;
        }
        std::unique_ptr<addrinfo, addrinfo_deleter> owner(found);
        errno = EADDRNOTAVAIL;
        for (addrinfo *ai = found; ai && fd < 0; ai = ai->ai_next)
            fd = bind_and_listen(ai->ai_family, ai->ai_addr, ai->ai_addrlen, false);
    }
    if (fd < 0) error = "cannot listen on " + address + ": " + std::strerror(errno);
    return fd;
}

std::string bound_address(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return "?";
    char text[INET6_ADDRSTRLEN] = "?";
    if (ss.ss_family == AF_INET6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    auto *a = reinterpret_cast<sockaddr_in *>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
}

void http_server::daemon_stopper::operator()(MHD_Daemon *d) const {
    MHD_stop_daemon(d);
}

http_server::http_server(shared_collection &collection, std::string telemetry_path,
                         http_limits limits)
    : collection_(collection), telemetry_path_(std::move(telemetry_path)), limits_(limits) {
    std::string path = html_escape(telemetry_path_);
    landing_page_ = "<!DOCTYPE html>\n<html>\n<head><title>RYX container exporter</title></head>\n"
                    "<body>\n<h1>RYX container exporter</h1>\n<p><a href=\"" +
                    path + "\">" + path + "</a></p>\n</body>\n</html>\n";
}

http_server::~http_server() {
    stop();
}

bool http_server::start(int listen_fd, std::string &error) {
    ryx::Fd fd(listen_fd);
    // One internal thread polling with epoll; suspending a scrape needs the resume signal.
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    // The logger first, so that messages of the start itself go through it too.
    MHD_Daemon *d = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &handler::access, this, MHD_OPTION_EXTERNAL_LOGGER,
        &log_message, nullptr, MHD_OPTION_LISTEN_SOCKET, fd.get(), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(limits_.connections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(limits_.connections_per_ip), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(limits_.idle_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(limits_.request_bytes), MHD_OPTION_NOTIFY_COMPLETED,
        &handler::completed, nullptr, MHD_OPTION_END);
    if (!d) {
        error = "cannot start the HTTP server";
        return false;
    }
    fd.release(); // the daemon closes it when it stops
    daemon_.reset(d);
    return true;
}

void http_server::stop() {
    daemon_.reset();
}

} // namespace ryx_exporter
