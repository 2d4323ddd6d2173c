// The command line, with the flag names of Prometheus's own exporters.
#pragma once

#include <string>

namespace ryx_exporter {

inline constexpr const char *kDefaultListenAddress = ":9258";
inline constexpr const char *kDefaultTelemetryPath = "/metrics";

struct Options {
    std::string listen_address = kDefaultListenAddress;
    std::string telemetry_path = kDefaultTelemetryPath;
    std::string web_config_file; // empty: plain HTTP, no authentication
    bool once = false;
    std::string output; // with once: the file to replace; empty: standard output
    bool help = false;
    bool version = false;
};

// False, with error, when the command line is not usable.
bool parse_options(int argc, char **argv, Options &opts, std::string &error);
const char *usage_text();

} // namespace ryx_exporter
