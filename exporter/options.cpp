// Parsing the command line.
#include "options.h"

#include <getopt.h>

#include "http-server.h"

namespace ryx_exporter {

namespace {

enum option_code { LISTEN_ADDRESS = 1, TELEMETRY_PATH, WEB_CONFIG, ONCE, OUTPUT, HELP, VERSION };

const struct option long_options[] = {
    {"web.listen-address", required_argument, nullptr, LISTEN_ADDRESS},
    {"web.telemetry-path", required_argument, nullptr, TELEMETRY_PATH},
    {"web.config.file", required_argument, nullptr, WEB_CONFIG},
    {"once", no_argument, nullptr, ONCE},
    {"output", required_argument, nullptr, OUTPUT},
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

} // namespace

const char *usage_text() {
    return "usage: ryx_exporter [--web.listen-address=ADDR:PORT] [--web.telemetry-path=PATH]\n"
           "                    [--web.config.file=FILE]\n"
           "       ryx_exporter --once [--output=FILE]\n"
           "Serves the statistics of the host's RYX containers to Prometheus.\n"
           "  --web.listen-address=ADDR:PORT  where to serve (default \":9258\": every address)\n"
           "  --web.telemetry-path=PATH       the path of the metrics (default \"/metrics\")\n"
           "  --web.config.file=FILE          TLS and basic authentication: the web\n"
           "                                  configuration file of Prometheus's exporters\n"
           "  --once                          collect once, write the metrics, exit\n"
           "  --output=FILE                   with --once: replace FILE atomically instead of\n"
           "                                  writing to standard output\n"
           "  --version                       print the version and exit\n"
           "  --help                          print this text and exit\n";
}

bool parse_options(int argc, char **argv, options &opts, std::string &error) {
    opterr = 0; // the messages are ours, with the program's name
    optind = 1;
    int code;
    bool output_given = false;
    while ((code = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (code) {
        case LISTEN_ADDRESS:
            opts.listen_address = optarg;
            break;
        case TELEMETRY_PATH:
            opts.telemetry_path = optarg;
            break;
        case WEB_CONFIG:
            if (!*optarg) {
                error = "--web.config.file needs a file name";
                return false;
            }
            opts.web_config_file = optarg;
            break;
        case ONCE:
            opts.once = true;
            break;
        case OUTPUT:
            opts.output = optarg;
            output_given = true;
            break;
        case HELP:
            opts.help = true;
            break;
        case VERSION:
            opts.version = true;
            break;
        default:
            error = std::string("unknown option or missing value: ") + argv[optind - 1];
            return false;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument: ") + argv[optind];
        return false;
    }
    std::string host, port;
    if (!split_address(opts.listen_address, host, port)) {
        error = "invalid listen address \"" + opts.listen_address + "\" (expected ADDR:PORT)";
        return false;
    }
    if (opts.telemetry_path.empty() || opts.telemetry_path[0] != '/' ||
        opts.telemetry_path == "/") {
        error = "the telemetry path must begin with / and be more than /";
        return false;
    }
    if (output_given && !opts.once) {
        error = "--output needs --once";
        return false;
    }
    if (opts.once && !opts.web_config_file.empty()) {
        error = "--web.config.file is for serving, not --once";
        return false;
    }
    if (output_given && opts.output.empty()) {
        error = "--output needs a file name";
        return false;
    }
    return true;
}

} // namespace ryx_exporter
