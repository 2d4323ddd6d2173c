// ryx_exporter: the statistics of the host's RYX containers for Prometheus, served over HTTP or
// written once.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <pthread.h>

#include "host-collector.h"
#include "http-server.h"
#include "options.h"
#include "output-file.h"
#include "scraper.h"
#include "shared-collection.h"
#include "web-config.h"

#ifndef RYX_EXPORTER_VERSION
#define RYX_EXPORTER_VERSION "unknown"
#endif

using namespace ryx_exporter;

namespace {

enum : int {
    EXIT_OK = 0,
    EXIT_FAILED = 1, // cannot serve, cannot write the output, or --once could not read the lists
    EXIT_USAGE = 2,  // the command line or the web configuration file
};

int fail(const std::string &message) {
    std::fprintf(stderr, "ryx_exporter: %s\n", message.c_str());
    return EXIT_FAILED;
}

int run_once(const Options &opts, const HostCollector &host) {
    ExporterStats stats;
    if (!opts.output.empty()) stats.collect_errors_total = previous_errors_total(opts.output);
    Scraper scrape([&host] { return host.collect(); }, stats);
    std::string text = scrape.scrape();
    if (opts.output.empty()) {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0)
            return fail(std::string("cannot write the metrics: ") + std::strerror(errno));
    } else if (int rc = write_atomically(opts.output, text); rc < 0) {
        return fail("cannot write " + opts.output + ": " + std::strerror(-rc));
    }
    return scrape.failed() ? EXIT_FAILED : EXIT_OK;
}

int serve(const Options &opts, const HostCollector &host, WebSecurity security) {
    // Every thread started from here on leaves these signals to the sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::string error;
    int fd = listen_on(opts.listen_address, error);
    if (fd < 0) return fail(error);
    std::string where = bound_address(fd);

    Scraper scrape([&host] { return host.collect(); });
    SharedCollection collection([&scrape] { return scrape.scrape(); });
    const char *tls = security.config.tls ? " over TLS" : "";
    const char *auth = security.config.users.empty() ? "" : ", basic authentication";
    HttpServer server(collection, opts.telemetry_path, {}, std::move(security));
    if (!server.start(fd, error)) return fail(error);
    std::fprintf(stderr, "ryx_exporter: listening on %s%s, metrics at %s%s\n", where.c_str(), tls,
                 opts.telemetry_path.c_str(), auth);

    int sig = 0;
    sigwait(&stop_signals, &sig);
    // Scrapes waiting for a pass get its result before the server goes.
    collection.stop();
    server.stop();
    return EXIT_OK;
}

} // namespace

int main(int argc, char **argv) {
    Options opts;
    std::string error;
    if (!parse_options(argc, argv, opts, error)) {
        std::fprintf(stderr, "ryx_exporter: %s\n%s", error.c_str(), usage_text());
        return EXIT_USAGE;
    }
    if (opts.help) {
        std::fputs(usage_text(), stdout);
        return EXIT_OK;
    }
    if (opts.version) {
        std::printf("ryx_exporter version %s\n", RYX_EXPORTER_VERSION);
        return EXIT_OK;
    }
    // Read before anything else, so that a mistake in it is told like one on the command line.
    WebSecurity security;
    if (!opts.web_config_file.empty() && !load_web_config(opts.web_config_file, security, error)) {
        std::fprintf(stderr, "ryx_exporter: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (!security.config.users.empty() && !security.config.tls)
        std::fputs("ryx_exporter: basic authentication without TLS: passwords cross the "
                   "network in the clear\n",
                   stderr);
    // A scrape client that goes away must cost a failed write, never the process.
    std::signal(SIGPIPE, SIG_IGN);

    HostCollector host;
    if (!host.init(error)) return fail(error);
    return opts.once ? run_once(opts, host) : serve(opts, host, std::move(security));
}
