// The HTTP server. One polling thread of ours never blocks: it accepts every connection itself,
// so that the connection table decides who keeps a place, and runs libmicrohttpd (epoll, no
// thread of its own) on what it admitted. A scrape of the telemetry path is suspended while the
// shared collection runs on its own thread, and is resumed with the finished text, which every
// scrape of that pass sends from the same buffer; a password is verified on the verifier's
// thread the same way. A slow reader therefore holds only its own connection, up to the idle
// limit, and a slow writer its own until its request deadline or a newcomer needs the place.
#include "http-server.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <algorithm>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "exposition.h"
#include "ryx-fd.h"

namespace ryx_exporter {

namespace {

constexpr unsigned kAcceptBatch = 16;
constexpr auto kReportEvery = std::chrono::seconds(60);

struct AddrinfoDeleter {
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

struct ResponseDeleter {
    void operator()(MHD_Response *r) const { MHD_destroy_response(r); }
};
using ResponsePtr = std::unique_ptr<MHD_Response, ResponseDeleter>;

constexpr char kTextType[] = "text/plain; charset=utf-8";

// A reply whose text lives as long as the program: status pages and the landing page.
MHD_Result reply_static(MHD_Connection *conn, unsigned status, const char *type, const char *text,
                        size_t len, const char *allow = nullptr) {
    ResponsePtr r(
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
    return reply_static(conn, status, kTextType, text, N - 1, allow);
}

// The exposition of one pass, shared by every response that sends it.
MHD_Result reply_metrics(MHD_Connection *conn, const SharedCollection::Result &text) {
    auto *keep = new (std::nothrow) SharedCollection::Result(text);
    if (!keep) return MHD_NO;
    ResponsePtr r(MHD_create_response_from_buffer_with_free_callback_cls(
        text->size(), const_cast<char *>(text->data()),
        [](void *cls) { delete static_cast<SharedCollection::Result *>(cls); }, keep));
    if (!r) {
        delete keep;
        return MHD_NO;
    }
    if (MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CONTENT_TYPE, kExpositionContentType) !=
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

// The address of a peer without its port; an IPv4 address mapped into IPv6 as the IPv4 one.
std::string peer_of(const sockaddr_storage &ss) {
    if (ss.ss_family == AF_INET6) {
        const auto &a = reinterpret_cast<const sockaddr_in6 &>(ss).sin6_addr;
        const char *bytes = reinterpret_cast<const char *>(a.s6_addr);
        return IN6_IS_ADDR_V4MAPPED(&a) ? std::string(bytes + 12, 4) : std::string(bytes, 16);
    }
    const auto &a = reinterpret_cast<const sockaddr_in &>(ss).sin_addr;
    return std::string(reinterpret_cast<const char *>(&a), sizeof a);
}

} // namespace

// libmicrohttpd's messages are mostly about single clients that went wrong, or that we shut:
// a few a minute, so that a crowd of bad clients cannot flood the log.
void HttpServer::LibraryLog::say(void *cls, const char *format, va_list args) {
    auto *log = static_cast<LibraryLog *>(cls);
    std::lock_guard lock(log->mutex);
    auto now = Clock::now();
    if (now >= log->since + kReportEvery) {
        if (log->left_out)
            std::fprintf(stderr, "ryx_exporter: %u more messages of the HTTP library left out\n",
                         log->left_out);
        log->since = now;
        log->said = log->left_out = 0;
    }
    if (++log->said > 5) {
        ++log->left_out;
        return;
    }
    // libmicrohttpd's messages end with their own newline.
    std::fputs("ryx_exporter: ", stderr);
    std::vfprintf(stderr, format, args);
}

// One request, from the first call of the handler to the completion notice.
struct HttpServer::Request {
    // checking: waits for the verdict on its password; routed: to the metrics, not yet asked
    // for; waiting: for a collection pass.
    enum class State { fresh, checking, routed, waiting } st = State::fresh;
    bool body = false;
    std::mutex mutex; // verdict and result are written on other threads
    BasicAuth::Verdict verdict = BasicAuth::Verdict::busy;
    SharedCollection::Result result;
};

namespace {

struct MhdFreeDeleter {
    void operator()(char *p) const {
        if (p) {
            explicit_bzero(p, std::strlen(p));
            MHD_free(p);
        }
    }
};

ConnectionTable::Entry *entry_of(MHD_Connection *conn) {
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionTable::Entry *>(info->socket_context) : nullptr;
}

// Whether the client's certificate is what tls_server_config asks for. MHD asks for one when
// given the authorities, but leaves verifying it to us.
bool client_certificate_ok(MHD_Connection *conn, ClientAuth auth) {
    if (auth == ClientAuth::none) return true;
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (!info || !info->tls_session) return false;
    auto session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned listed = 0;
    if (!gnutls_certificate_get_peers(session, &listed) || listed == 0)
        return auth == ClientAuth::verify_if_given;
    unsigned status = 0;
    return gnutls_certificate_verify_peers2(session, &status) == 0 && status == 0;
}

MHD_Result reply_unauthorized(MHD_Connection *conn) {
    static const char kText[] = "unauthorized\n";
    ResponsePtr r(MHD_create_response_from_buffer(sizeof kText - 1, const_cast<char *>(kText),
                                                  MHD_RESPMEM_PERSISTENT));
    if (!r || MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CONTENT_TYPE, kTextType) != MHD_YES)
        return MHD_NO;
    return MHD_queue_basic_auth_fail_response(conn, "ryx_exporter", r.get());
}

} // namespace

struct Handler {
    static MHD_Result access(void *cls, MHD_Connection *conn, const char *url, const char *method,
                             const char *, const char *, size_t *upload_size, void **context) {
        auto *server = static_cast<HttpServer *>(cls);
        auto *req = static_cast<HttpServer::Request *>(*context);
        if (!req) {
            req = new (std::nothrow) HttpServer::Request;
            if (!req) return MHD_NO;
            *context = req;
            if (ConnectionTable::Entry *e = entry_of(conn)) server->table_.received(*e);
            return admit(server, conn, url, method, req);
        }
        if (*upload_size != 0) {
            // A body the headers did not announce: read and dropped, then refused.
            *upload_size = 0;
            req->body = true;
            return MHD_YES;
        }
        switch (req->st) {
        case HttpServer::Request::State::checking:
            return checked(server, conn, url, method, req);
        case HttpServer::Request::State::routed:
            return collect(server, conn, req);
        case HttpServer::Request::State::waiting:
            return deliver(conn, req);
        default:
            return MHD_NO;
        }
    }

    // The client's certificate, then its password, before anything is answered.
    static MHD_Result admit(HttpServer *server, MHD_Connection *conn, const char *url,
                            const char *method, HttpServer::Request *req) {
        const WebSecurity &sec = server->security_;
        if (sec.config.tls && !client_certificate_ok(conn, sec.config.tls_server.auth))
            return reply_text(conn, MHD_HTTP_FORBIDDEN, "no valid client certificate\n");
        if (!server->auth_) return route(server, conn, url, method, req);
        char *password = nullptr;
        std::unique_ptr<char, MhdFreeDeleter> user(
            MHD_basic_auth_get_username_password(conn, &password));
        std::unique_ptr<char, MhdFreeDeleter> pass(password);
        if (!user || !pass) return reply_unauthorized(conn);
        if (server->auth_->known(user.get(), pass.get()))
            return route(server, conn, url, method, req);
        // Suspended before the check is handed over, so that the resume can never come first.
        req->st = HttpServer::Request::State::checking;
        MHD_suspend_connection(conn);
        bool queued = server->auth_->submit(user.get(), pass.get(), [req, conn, server](auto v) {
            {
                std::lock_guard lock(req->mutex);
                req->verdict = v;
            }
            MHD_resume_connection(conn); // the last use of req on this thread
            server->wake();
        });
        if (!queued) {
            MHD_resume_connection(conn); // busy: answered when called again
            server->wake();
        }
        return MHD_YES;
    }

    static MHD_Result checked(HttpServer *server, MHD_Connection *conn, const char *url,
                              const char *method, HttpServer::Request *req) {
        BasicAuth::Verdict v;
        {
            std::lock_guard lock(req->mutex);
            v = req->verdict;
        }
        if (v == BasicAuth::Verdict::denied) return reply_unauthorized(conn);
        if (v == BasicAuth::Verdict::busy)
            return reply_text(conn, MHD_HTTP_SERVICE_UNAVAILABLE, "too many logins at once\n");
        return route(server, conn, url, method, req);
    }

    static MHD_Result route(HttpServer *server, MHD_Connection *conn, const char *url,
                            const char *method, HttpServer::Request *req) {
        bool metrics = server->telemetry_path_ == url;
        if (!metrics && std::strcmp(url, "/") != 0)
            return reply_text(conn, MHD_HTTP_NOT_FOUND, "404 page not found\n");
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return reply_text(conn, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                              "GET, HEAD");
        if (has_body(conn) || req->body)
            return reply_text(conn, MHD_HTTP_CONTENT_TOO_LARGE, "request too large\n");
        if (!metrics)
            return reply_static(conn, MHD_HTTP_OK, "text/html; charset=utf-8",
                                server->landing_page_.data(), server->landing_page_.size());
        req->st = HttpServer::Request::State::routed;
        return MHD_YES;
    }

    static MHD_Result collect(HttpServer *server, MHD_Connection *conn, HttpServer::Request *req) {
        if (req->body) return reply_text(conn, MHD_HTTP_CONTENT_TOO_LARGE, "request too large\n");
        req->st = HttpServer::Request::State::waiting;
        // Suspended before the request is handed over, so that the resume can never come first.
        MHD_suspend_connection(conn);
        bool queued = server->collection_.request([req, conn, server](auto r) {
            {
                std::lock_guard lock(req->mutex);
                req->result = std::move(r);
            }
            MHD_resume_connection(conn); // the last use of req on this thread
            server->wake();
        });
        if (!queued) {
            MHD_resume_connection(conn); // shutting down: answered when called again
            server->wake();
        }
        return MHD_YES;
    }

    static MHD_Result deliver(MHD_Connection *conn, HttpServer::Request *req) {
        SharedCollection::Result text;
        {
            std::lock_guard lock(req->mutex);
            text = req->result;
        }
        if (!text) return reply_text(conn, MHD_HTTP_SERVICE_UNAVAILABLE, "collection failed\n");
        return reply_metrics(conn, text);
    }

    static void completed(void *cls, MHD_Connection *conn, void **context,
                          MHD_RequestTerminationCode) {
        delete static_cast<HttpServer::Request *>(*context);
        *context = nullptr;
        if (ConnectionTable::Entry *e = entry_of(conn))
            static_cast<HttpServer *>(cls)->table_.answered(*e, ConnectionTable::Clock::now());
    }

    static void connection(void *cls, MHD_Connection *, void **socket_context,
                           MHD_ConnectionNotificationCode code) {
        auto *server = static_cast<HttpServer *>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED)
            *socket_context = server->adding_;
        else
            server->table_.remove(static_cast<ConnectionTable::Entry *>(*socket_context));
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
        std::unique_ptr<addrinfo, AddrinfoDeleter> owner(found);
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

void HttpServer::DaemonStopper::operator()(MHD_Daemon *d) const {
    MHD_stop_daemon(d);
}

HttpServer::HttpServer(SharedCollection &collection, std::string telemetry_path, HttpLimits limits,
                       WebSecurity security)
    : collection_(collection), telemetry_path_(std::move(telemetry_path)), limits_(limits),
      security_(std::move(security)), table_({limits.connections, limits.connections_per_ip,
                                              std::chrono::seconds(limits.request_seconds)}) {
    std::string path = html_escape(telemetry_path_);
    landing_page_ = "<!DOCTYPE html>\n<html>\n<head><title>RYX container exporter</title></head>\n"
                    "<body>\n<h1>RYX container exporter</h1>\n<p><a href=\"" +
                    path + "\">" + path + "</a></p>\n</body>\n</html>\n";
}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::start_daemon(std::string &error) {
    auto fn = [](auto *f) { return reinterpret_cast<intptr_t>(f); };
    // The logger first, so that messages of the start itself go through it too. The daemon's
    // own limit only backs ours up: shed connections hold a place in it until it closes them.
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, fn(&LibraryLog::say), &log_},
        {MHD_OPTION_CONNECTION_LIMIT, limits_.connections * 2 + kAcceptBatch, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, limits_.idle_seconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits_.request_bytes), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, fn(&Handler::completed), this},
        {MHD_OPTION_NOTIFY_CONNECTION, fn(&Handler::connection), this},
    };
    // Our own loop polls the daemon's epoll descriptor and hands it the connections we accept.
    unsigned flags =
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (security_.config.tls) {
        flags |= MHD_USE_TLS;
        auto text = [](const std::string &s) { return const_cast<char *>(s.c_str()); };
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, text(security_.cert_pem)});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, text(security_.key_pem)});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, text(security_.priorities)});
        if (!security_.ca_pem.empty())
            options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, text(security_.ca_pem)});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_.reset(MHD_start_daemon(flags, 0, nullptr, nullptr, &Handler::access, this,
                                   MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END));
    if (!daemon_) error = "cannot start the HTTP server";
    return daemon_ != nullptr;
}

bool HttpServer::start(int listen_fd, std::string &error) {
    listen_.reset(listen_fd);
    if (!security_.config.users.empty())
        auth_ = std::make_unique<BasicAuth>(security_.config.users);
    if (!start_daemon(error)) return false;
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD);
    epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    bool ok = info && epoll_ && wake_ &&
              fcntl(listen_.get(), F_SETFL, fcntl(listen_.get(), F_GETFL) | O_NONBLOCK) == 0;
    for (int fd : {listen_.get(), info ? info->epoll_fd : -1, wake_.get()}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ok = ok && epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    if (!ok) {
        error = std::string("cannot start the HTTP server: ") + std::strerror(errno);
        daemon_.reset();
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void HttpServer::wake() {
    uint64_t one = 1;
    ssize_t written = write(wake_.get(), &one, sizeof one); // an eventfd's count cannot be full
    (void)written;
}

void HttpServer::stop() {
    if (auth_) auth_->stop(); // what waits for a verdict is answered busy
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    daemon_.reset();
}

// The polling thread: accepts, runs the daemon, closes what is out of time. Never blocks but
// in epoll_wait.
void HttpServer::run() {
    auto drain_until = Clock::time_point::max();
    std::vector<int> fds;
    for (;;) {
        epoll_event events[8];
        int n = epoll_wait(epoll_.get(), events, 8, timeout_ms(Clock::now()));
        auto now = Clock::now();
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == listen_.get()) {
                accept_ready(now);
            } else if (events[i].data.fd == wake_.get()) {
                uint64_t count;
                ssize_t got = read(wake_.get(), &count, sizeof count);
                (void)got;
            }
        }
        if (stopping_ && listen_) {
            // No new connections; the answers under way get a second.
            epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listen_.get(), nullptr);
            listen_.reset();
            drain_until = now + std::chrono::seconds(1);
        }
        if (listen_ && accept_paused_until_ != Clock::time_point{} && now >= accept_paused_until_)
            pause_accepting(false, now);
        MHD_run(daemon_.get());
        table_.expire(now, fds);
        shut(fds);
        report_pressure(now, false);
        if (now >= drain_until || (!listen_ && table_.answering() == 0)) break;
    }
    report_pressure(Clock::now(), true);
}

void HttpServer::pause_accepting(bool pause, Clock::time_point now) {
    epoll_event ev{};
    ev.events = pause ? 0u : static_cast<unsigned>(EPOLLIN);
    ev.data.fd = listen_.get();
    epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listen_.get(), &ev);
    accept_paused_until_ = pause ? now + std::chrono::milliseconds(100) : Clock::time_point{};
}

// A few connections at a time, so that the daemon reads the requests of those it was given
// before many newer ones arrive.
void HttpServer::accept_ready(Clock::time_point now) {
    std::vector<int> fds;
    for (unsigned i = 0; i < kAcceptBatch; ++i) {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        ryx::Fd fd(accept4(listen_.get(), reinterpret_cast<sockaddr *>(&addr), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors or memory: try again shortly rather than spin.
            if (errno != EAGAIN && errno != EWOULDBLOCK) pause_accepting(true, now);
            return;
        }
        adding_ = table_.admit(fd.get(), peer_of(addr), now, fds);
        shed_ += static_cast<unsigned>(fds.size());
        shut(fds);
        if (!adding_) {
            ++refused_;
            continue;
        }
        // The daemon takes the descriptor whatever happens, and reports a connection it
        // started and then gave up through the notice that removes its entry.
        if (MHD_add_connection(daemon_.get(), fd.release(), reinterpret_cast<sockaddr *>(&addr),
                               len) != MHD_YES)
            table_.remove(adding_);
        adding_ = nullptr;
    }
}

// The daemon owns these descriptors: shut, they read as closed by the client, and it closes
// them on its next run.
void HttpServer::shut(std::vector<int> &fds) {
    for (int fd : fds)
        shutdown(fd, SHUT_RDWR);
    fds.clear();
}

int HttpServer::timeout_ms(Clock::time_point now) const {
    auto next = table_.next_deadline();
    if (shed_ || refused_) next = std::min(next, reported_ + kReportEvery);
    if (accept_paused_until_ != Clock::time_point{}) next = std::min(next, accept_paused_until_);
    long long ms = -1;
    MHD_UNSIGNED_LONG_LONG daemon_ms = 0;
    if (MHD_get_timeout(daemon_.get(), &daemon_ms) == MHD_YES)
        ms = static_cast<long long>(std::min<MHD_UNSIGNED_LONG_LONG>(daemon_ms, 60000));
    if (next != Clock::time_point::max()) {
        auto until = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        until = std::max<long long>(until, 0);
        ms = ms < 0 ? until : std::min(ms, static_cast<long long>(until));
    }
    return static_cast<int>(ms);
}

// Connections closed to make room, or refused, once a minute at most: an attack shows in the
// log without flooding it.
void HttpServer::report_pressure(Clock::time_point now, bool force) {
    if (!shed_ && !refused_) return;
    if (!force && now < reported_ + kReportEvery) return;
    std::fprintf(stderr,
                 "ryx_exporter: connections full: %u waiting for their request closed to make "
                 "room, %u refused\n",
                 shed_, refused_);
    shed_ = refused_ = 0;
    reported_ = now;
}

} // namespace ryx_exporter
