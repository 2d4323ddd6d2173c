// The web configuration file. A strict reader of the little YAML such a file needs: comments,
// an optional "---", top-level keys whose values are blocks of "key: scalar" lines one level
// deeper (or {}), and plain, 'single' or "double" quoted scalars. Flow collections, anchors,
// tags, block scalars, sequences and deeper nesting are refused by name.
#include "web-config.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <fcntl.h>
#include <gnutls/gnutls.h>

#include "fsutil.h"

namespace ryx_exporter {

namespace {

// One "key: value" line.
struct Item {
    int line = 0;
    size_t indent = 0;
    std::string key, value;
    bool has_value = false; // a scalar after the colon
    bool empty_map = false; // {} after the colon
};

bool fail(std::string &error, int line, const std::string &what) {
    error = "line " + std::to_string(line) + ": " + what;
    return false;
}

bool is_indicator(char c) {
    return std::strchr("-?:,[]{}#&*!|>'\"%@`", c) != nullptr;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// Nothing but blanks and a comment, which must be set apart by a blank.
bool only_comment(std::string_view s) {
    if (s.empty()) return true;
    if (s[0] != ' ' && s[0] != '\t') return false;
    s = trim(s);
    return s.empty() || s[0] == '#';
}

char unescape(char c) {
    switch (c) {
    case '\\':
    case '"':
    case '/':
        return c;
    case 't':
        return '\t';
    case 'n':
        return '\n';
    default:
        return 0;
    }
}

// A quoted scalar at the start of s, which is left past its closing quote.
bool quoted(std::string_view &s, std::string &out, std::string &why) {
    char q = s[0];
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == q && q == '\'' && i + 1 < s.size() && s[i + 1] == '\'') {
            out += '\'';
            ++i;
        } else if (c == q) {
            s.remove_prefix(i + 1);
            return true;
        } else if (q == '"' && c == '\\') {
            if (i + 1 == s.size() || !(c = unescape(s[++i]))) {
                why = "unsupported escape in a double-quoted string";
                return false;
            }
            out += c;
        } else {
            out += c;
        }
    }
    why = "unterminated quoted string";
    return false;
}

// The value after a key's colon, blanks skipped.
bool scalar(std::string_view s, Item &it, std::string &why) {
    if (s.empty() || s[0] == '#') return true;
    if (s.substr(0, 2) == "{}" && only_comment(s.substr(2))) {
        it.empty_map = true;
        return true;
    }
    it.has_value = true;
    if (s[0] == '"' || s[0] == '\'') {
        if (!quoted(s, it.value, why)) return false;
        if (!only_comment(s)) why = "text after a quoted string";
        return why.empty();
    }
    if (is_indicator(s[0])) {
        why = std::string("unsupported YAML (a value starting with '") + s[0] + "')";
        return false;
    }
    size_t comment = s.find(" #");
    s = trim(s.substr(0, comment));
    if (s.find(": ") != s.npos || s.back() == ':') {
        why = "a mapping where a single value belongs";
        return false;
    }
    it.value = std::string(s);
    return true;
}

// "key: value" after the indentation.
bool key_value(std::string_view s, Item &it, std::string &why) {
    size_t colon;
    if (s[0] == '"' || s[0] == '\'') {
        if (!quoted(s, it.key, why)) return false;
        colon = 0;
        if (s.empty() || s[0] != ':') colon = s.npos;
    } else {
        colon = 0;
        while ((colon = s.find(':', colon)) != s.npos && colon + 1 < s.size() &&
               s[colon + 1] != ' ')
            ++colon;
        if (colon != s.npos) it.key = std::string(trim(s.substr(0, colon)));
        if (is_indicator(s[0])) {
            why = std::string("unsupported YAML (a line starting with '") + s[0] + "')";
            return false;
        }
    }
    if (colon == s.npos || it.key.empty()) {
        why = "expected \"key: value\"";
        return false;
    }
    return scalar(trim(s.substr(colon + 1)), it, why);
}

bool read_items(std::string_view text, std::vector<Item> &items, std::string &error) {
    int number = 0;
    bool started = false; // a "---" or a key seen
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == text.npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t indent = line.find_first_not_of(' ');
        if (indent == line.npos) continue;
        if (line[indent] == '\t') return fail(error, number, "a tab in the indentation");
        std::string_view rest = line.substr(indent);
        if (rest[0] == '#') continue;
        if (indent == 0 && rest.substr(0, 3) == "---" && only_comment(rest.substr(3))) {
            if (started) return fail(error, number, "more than one document");
            started = true;
            continue;
        }
        started = true;
        Item it;
        it.line = number;
        it.indent = indent;
        std::string why;
        if (!key_value(rest, it, why)) return fail(error, number, why);
        items.push_back(std::move(it));
    }
    return true;
}

int tls_version(const std::string &name) {
    static const char *const kNames[] = {"TLS10", "TLS11", "TLS12", "TLS13"};
    for (int v = 0; v < 4; ++v)
        if (name == kNames[v]) return v;
    return -1;
}

bool set_tls(const Item &it, TlsSettings &tls, std::string &error) {
    const std::string &k = it.key, &v = it.value;
    if (k == "cert_file" || k == "key_file" || k == "client_ca_file") {
        if (v.empty()) return fail(error, it.line, k + " is empty");
        (k == "cert_file"  ? tls.cert_file
         : k == "key_file" ? tls.key_file
                           : tls.client_ca_file) = v;
    } else if (k == "client_auth_type") {
        if (v == "NoClientCert")
            tls.auth = ClientAuth::none;
        else if (v == "VerifyClientCertIfGiven")
            tls.auth = ClientAuth::verify_if_given;
        else if (v == "RequireAndVerifyClientCert")
            tls.auth = ClientAuth::require_and_verify;
        else
            return fail(error, it.line,
                        "client_auth_type \"" + v +
                            "\" is not one of NoClientCert, VerifyClientCertIfGiven, "
                            "RequireAndVerifyClientCert");
    } else if (k == "min_version" || k == "max_version") {
        int version = tls_version(v);
        if (version < 0) return fail(error, it.line, k + " \"" + v + "\" is not TLS10 to TLS13");
        (k == "min_version" ? tls.min_version : tls.max_version) = version;
    } else {
        return fail(error, it.line, "unsupported key \"" + k + "\" in tls_server_config");
    }
    return true;
}

bool add_user(const Item &it, WebConfig &config, std::string &error) {
    if (it.key.find(':') != std::string::npos)
        return fail(error, it.line, "a user name with a colon cannot log in");
    if (!is_bcrypt_hash(it.value))
        return fail(error, it.line,
                    "the password of \"" + it.key + "\" is not a bcrypt hash ($2a$, $2b$, $2y$)");
    config.users[it.key] = it.value;
    return true;
}

bool check_tls(const TlsSettings &tls, int line, std::string &error) {
    if (tls.cert_file.empty() || tls.key_file.empty())
        return fail(error, line, "tls_server_config needs cert_file and key_file");
    if (tls.auth == ClientAuth::none && !tls.client_ca_file.empty())
        return fail(error, line,
                    "client_ca_file needs a client_auth_type that verifies: "
                    "VerifyClientCertIfGiven or RequireAndVerifyClientCert");
    if (tls.auth != ClientAuth::none && tls.client_ca_file.empty())
        return fail(error, line, "client_auth_type verifies against client_ca_file, not given");
    if (tls.min_version > tls.max_version)
        return fail(error, line, "min_version is above max_version");
    return true;
}

// One top-level key and the block under it, from items[i]; i is left past the block.
bool section(const std::vector<Item> &items, size_t &i, WebConfig &config, std::string &error) {
    const Item &head = items[i++];
    bool tls = head.key == "tls_server_config";
    if (!tls && head.key != "basic_auth_users")
        return fail(error, head.line, "unsupported key \"" + head.key + "\"");
    if (head.has_value) return fail(error, head.line, head.key + " takes a block of settings");
    config.tls |= tls;
    std::set<std::string> seen;
    size_t indent = i < items.size() ? items[i].indent : 0;
    for (; i < items.size() && items[i].indent > 0; ++i) {
        const Item &it = items[i];
        if (it.indent != indent) return fail(error, it.line, "inconsistent indentation");
        if (head.empty_map) return fail(error, it.line, "a block after {}");
        if (!it.has_value) return fail(error, it.line, "\"" + it.key + "\" needs a value");
        if (!seen.insert(it.key).second)
            return fail(error, it.line, "\"" + it.key + "\" given twice");
        if (!(tls ? set_tls(it, config.tls_server, error) : add_user(it, config, error)))
            return false;
    }
    return !tls || check_tls(config.tls_server, head.line, error);
}

struct CredentialsDeleter {
    void operator()(gnutls_certificate_credentials_st *c) const {
        gnutls_certificate_free_credentials(c);
    }
};

// A small file, whole, of any kind and owner, through links (a pipe serves too); errno's text
// in error when it cannot be read.
bool read_file(const std::string &path, std::string &text, std::string &error) {
    // 1 MiB and over is too much for a configuration or a PEM file.
    constexpr size_t kMaxSize = (size_t{1} << 20) - 1;
    int rc = ryx::read_file(AT_FDCWD, path.c_str(), text, kMaxSize,
                            ryx::kFollow | ryx::kAnyOwner | ryx::kAnyKind);
    if (rc == -EFBIG) {
        error = path + " is over 1 MiB";
        return false;
    }
    if (rc < 0) {
        error = "cannot read " + path + ": " + std::strerror(-rc);
        return false;
    }
    return true;
}

gnutls_datum_t datum(const std::string &s) {
    return {reinterpret_cast<unsigned char *>(const_cast<char *>(s.data())),
            static_cast<unsigned>(s.size())};
}

std::string beside(const std::string &config_path, const std::string &name) {
    if (name[0] == '/') return name;
    size_t slash = config_path.rfind('/');
    return slash == std::string::npos ? name : config_path.substr(0, slash + 1) + name;
}

// The PEM files the TLS settings name, read and tried as GnuTLS will take them.
bool load_tls(const std::string &path, WebSecurity &sec, std::string &error) {
    const TlsSettings &tls = sec.config.tls_server;
    std::string cert = beside(path, tls.cert_file), key = beside(path, tls.key_file);
    if (!read_file(cert, sec.cert_pem, error) || !read_file(key, sec.key_pem, error)) return false;
    gnutls_certificate_credentials_t raw = nullptr;
    if (gnutls_certificate_allocate_credentials(&raw) < 0) {
        error = "cannot set up TLS";
        return false;
    }
    std::unique_ptr<gnutls_certificate_credentials_st, CredentialsDeleter> cred(raw);
    gnutls_datum_t c = datum(sec.cert_pem), k = datum(sec.key_pem);
    int rc =
        gnutls_certificate_set_x509_key_mem2(cred.get(), &c, &k, GNUTLS_X509_FMT_PEM, nullptr, 0);
    if (rc < 0) {
        error = cert + " and " + key + ": " + gnutls_strerror(rc);
        return false;
    }
    if (!tls.client_ca_file.empty()) {
        std::string ca = beside(path, tls.client_ca_file);
        if (!read_file(ca, sec.ca_pem, error)) return false;
        gnutls_datum_t a = datum(sec.ca_pem);
        if (gnutls_certificate_set_x509_trust_mem(cred.get(), &a, GNUTLS_X509_FMT_PEM) <= 0) {
            error = ca + ": no certificate in PEM form";
            return false;
        }
    }
    sec.priorities = "NORMAL:-VERS-ALL";
    for (int v = tls.min_version; v <= tls.max_version; ++v)
        sec.priorities += ":+VERS-TLS1." + std::to_string(v);
    return true;
}

} // namespace

bool is_bcrypt_hash(std::string_view hash) {
    static const char kDigits[] =
        "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    if (hash.size() != 60 || hash.substr(0, 2) != "$2" || !std::strchr("aby", hash[2]) ||
        hash[3] != '$' || hash[6] != '$')
        return false;
    int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (!std::isdigit(static_cast<unsigned char>(hash[4])) ||
        !std::isdigit(static_cast<unsigned char>(hash[5])) || cost < 4 || cost > 31)
        return false;
    return hash.find_first_not_of(kDigits, 7) == std::string_view::npos;
}

bool parse_web_config(std::string_view text, WebConfig &config, std::string &error) {
    config = WebConfig{};
    std::vector<Item> items;
    if (!read_items(text, items, error)) return false;
    std::set<std::string> seen;
    for (size_t i = 0; i < items.size();) {
        if (items[i].indent != 0) return fail(error, items[i].line, "unexpected indentation");
        if (!seen.insert(items[i].key).second)
            return fail(error, items[i].line, "\"" + items[i].key + "\" given twice");
        if (!section(items, i, config, error)) return false;
    }
    return true;
}

bool load_web_config(const std::string &path, WebSecurity &sec, std::string &error) {
    std::string text;
    if (!read_file(path, text, error)) return false;
    if (!parse_web_config(text, sec.config, error)) {
        error = path + ": " + error;
        return false;
    }
    return !sec.config.tls || load_tls(path, sec, error);
}

} // namespace ryx_exporter
