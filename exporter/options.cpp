// Parsing the command line.
#include "options.h"

#include <getopt.h>

#include "http-server.h"

namespace ryx_exporter {

namespace {

enum OptionCode { kListenAddress = 1, kTelemetryPath, kWebConfig, kOnce, kOutput, kHelp, kVersion };

const struct option kLongOptions[] = {
    {"web.listen-address", required_argument, nullptr, kListenAddress},
    {"web.telemetry-path", required_argument, nullptr, kTelemetryPath},
    {"web.config.file", required_argument, nullptr, kWebConfig},
    {"once", no_argument, nullptr, kOnce},
    {"output", required_argument, nullptr, kOutput},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
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

bool parse_options(int argc, char **argv, Options &opts, std::string &error) {
    opterr = 0; // the messages are ours, with the program's name
    optind = 1;
    int code;
    bool output_given = false;
    while ((code = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
        switch (code) {
        case kListenAddress:
            opts.listen_address = optarg;
            break;
        case kTelemetryPath:
            opts.telemetry_path = optarg;
            break;
        case kWebConfig:
            if (!*optarg) {
                error = "--web.config.file needs a file name";
                return false;
            }
            opts.web_config_file = optarg;
            break;
        case kOnce:
            opts.once = true;
            break;
        case kOutput:
            opts.output = optarg;
            output_given = true;
            break;
        case kHelp:
            opts.help = true;
            break;
        case kVersion:
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
