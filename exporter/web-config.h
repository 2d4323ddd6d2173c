// --web.config.file: the web configuration file of Prometheus's exporters (YAML), in the part
// ryx_exporter serves with: TLS with an optional verified client certificate, and basic
// authentication against bcrypt hashes. Anything else in the file is an error, so that a
// setting never silently does nothing.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace ryx_exporter {

enum class ClientAuth { none, verify_if_given, require_and_verify };

struct TlsSettings {
    std::string cert_file, key_file, client_ca_file; // as written; relative to the file's folder
    ClientAuth auth = ClientAuth::none;
    int min_version = 2, max_version = 3; // minor TLS 1.x versions, 1.2 and 1.3 by default
};

struct WebConfig {
    bool tls = false;
    TlsSettings tls_server;
    std::map<std::string, std::string> users; // name: bcrypt hash; none: no authentication
};

// What the server needs of a web configuration: the settings, the PEM texts read and checked,
// and the GnuTLS priority string of the TLS versions.
struct WebSecurity {
    WebConfig config;
    std::string cert_pem, key_pem, ca_pem, priorities;
};

// The text of a web configuration file. False, with error ("line N: ..."), on anything outside
// the supported part or a bad value.
bool parse_web_config(std::string_view text, WebConfig &config, std::string &error);
// Reads and checks the file at path and the certificate, key and authority files it names.
bool load_web_config(const std::string &path, WebSecurity &security, std::string &error);
// Whether hash is a bcrypt hash crypt(3) takes: $2a$, $2b$ or $2y$, a cost of 04 to 31, 53
// characters of salt and digest.
bool is_bcrypt_hash(std::string_view hash);

} // namespace ryx_exporter
