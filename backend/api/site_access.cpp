#include "backend/api/site_access.h"

#include "backend/api/tls_support.h"
#include "backend/api/websocket_handshake.h"
#include "common/log/log.h"
#include "common/metrics/metrics.h"
#include "common/platform/platform.h"

#include <civetweb.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nox {

namespace {

constexpr std::size_t max_password_file = 1024 * 1024;

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A value from the environment quoted for a message: control and non-ASCII bytes become
// "?", and it is cut after 80 characters.
std::string shown(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < 80; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out += c < 0x20 || c >= 0x7f ? '?' : static_cast<char>(c);
    }
    if (text.size() > 80) out += "...";
    return out + "\"";
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool ipv4_address(const std::string& text) {
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool ipv6_address(const std::string& text) {
    in6_addr address{};
    return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// A DNS host name: labels of 1 to 63 letters, digits and "-" (not at either end),
// separated by ".", 253 characters at most, and a last label that is not all digits (so
// that a mistyped address is not taken for a name).
bool host_name(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    const auto labels = split(text, '.');
    for (const auto& label : labels) {
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (char c : label)
            if (!is_alnum(c) && c != '-') return false;
    }
    const std::string& last = labels.back();
    return !std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string set_password_hint() { return "create it with: orva_backend --set-password NAME"; }

}  // namespace

site_settings site_settings_from_environment(const std::string& data_folder) {
    site_settings settings;
    settings.password_file = data_folder + "/" + password_file_name;
    if (const char* hosts = std::getenv("ORVA_ALLOWED_HOSTS"); hosts && *hosts)
        settings.allowed_hosts = parse_allowed_hosts(hosts);
    if (const char* token = std::getenv("ORVA_METRICS_TOKEN"); token && *token) {
        for (const char* c = token; *c; ++c) {
            const auto u = static_cast<unsigned char>(*c);
            if (u <= 0x20 || u >= 0x7f)
                throw site_settings_error("ORVA_METRICS_TOKEN holds a blank, control or non-ASCII character; "
                                          "use visible ASCII characters only");
        }
        settings.metrics_token = token;
    }
    if (const char* certificate = std::getenv("ORVA_TLS_CERT"); certificate && *certificate) {
        std::error_code error;
        auto absolute = std::filesystem::absolute(certificate, error);
        settings.tls_certificate = error ? std::string(certificate) : absolute.string();
    }
    return settings;
}

void check_site_settings(const site_settings& settings, const std::string& listen_address) {
    if (!loopback_address(listen_address)) {
        if (auto fault = password_file_fault(settings.password_file))
            throw site_settings_error("ORVA_LISTEN_ADDRESS " + shown(listen_address) +
                                      " opens the backend to other hosts, which need a password: " + *fault);
    }
    if (!settings.tls_certificate.empty()) {
        if (auto fault = certificate_fault(settings.tls_certificate))
            throw site_settings_error("ORVA_TLS_CERT: " + *fault);
    }
}

bool loopback_address(std::string_view address) {
    std::string text(address);
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (lower(text) == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

std::optional<std::string> password_file_fault(const std::string& path) {
    if (!platform::path_exists(path))
        return "there is no password file " + path + " (" + set_password_hint() + ")";
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return "the password file " + path + " cannot be read: " + std::strerror(errno);
    std::string text;
    char buffer[4096];
    bool failed = false;
    for (;;) {
        size_t n = std::fread(buffer, 1, sizeof buffer, file);
        text.append(buffer, n);
        if (n < sizeof buffer) {
            failed = std::ferror(file) != 0;
            break;
        }
        if (text.size() > max_password_file) break;
    }
    const int error = errno;
    std::fclose(file);
    if (failed) return "the password file " + path + " cannot be read: " + std::strerror(error);
    if (text.size() > max_password_file) return "the password file " + path + " is larger than 1 MiB";

    int users = 0;
    int number = 0;
    for (std::string line : split(text, '\n')) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const auto fields = split(line, ':');
        const bool well_formed = fields.size() == 3 && valid_user_name(fields[0]) && !fields[1].empty() &&
                                 fields[2].size() == 32 && std::all_of(fields[2].begin(), fields[2].end(), is_hex);
        if (!well_formed)
            return "line " + std::to_string(number) + " of the password file " + path +
                   " is not \"user:realm:hash\" (32 hexadecimal digits)";
        if (fields[1] == password_realm) ++users;
    }
    if (users == 0)
        return "the password file " + path + " holds no user of the realm \"" + password_realm + "\" (" +
               set_password_hint() + ")";
    return std::nullopt;
}

std::vector<std::string> parse_allowed_hosts(const std::string& text) {
    std::vector<std::string> hosts;
    for (const auto& part : split(text, ',')) {
        const std::string entry(trimmed(part));
        bool valid = false;
        if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') {
            valid = ipv6_address(entry.substr(1, entry.size() - 2));
        } else {
            valid = ipv4_address(entry) || host_name(entry);
        }
        if (!valid)
            throw site_settings_error("ORVA_ALLOWED_HOSTS: " + shown(entry) +
                                      " is not a host name or an address (a comma-separated list of "
                                      "names, IPv4 addresses and [IPv6] addresses, without ports)");
        hosts.push_back(lower(entry));
    }
    return hosts;
}

std::vector<std::string> machine_host_names() {
    std::vector<std::string> names;
    auto add = [&names](std::string name) {
        name = lower(std::move(name));
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) add(host);
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr) continue;
            char text[INET6_ADDRSTRLEN] = {};
            if (i->ifa_addr->sa_family == AF_INET) {
                auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
                if (::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text)) add(text);
            } else if (i->ifa_addr->sa_family == AF_INET6) {
                auto* a = reinterpret_cast<sockaddr_in6*>(i->ifa_addr);
                if (::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text)) add("[" + std::string(text) + "]");
            }
        }
        ::freeifaddrs(list);
    }
    return names;
}

bool same_secret(std::string_view given, std::string_view expected) {
    // Every byte of the expected secret is looked at, whatever the given text holds.
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto g = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
        difference |= g ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0;
}

bool bearer_token_matches(const char* authorization, const std::string& token) {
    if (!authorization || token.empty()) return false;
    constexpr std::string_view scheme = "Bearer ";
    const std::string_view value(authorization);
    if (value.size() < scheme.size() || ::strncasecmp(value.data(), scheme.data(), scheme.size()) != 0)
        return false;
    return same_secret(trimmed(value.substr(scheme.size())), token);
}

bool valid_user_name(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7f && c != ':';
    });
}

bool store_password(const std::string& file, const std::string& user, const std::string& password) {
    // The hashes stand for the passwords with digest authentication: the file and the
    // temporary copy that civetweb renames over it are the owner's alone. (umask is
    // process-wide; this runs in the one-shot command, before any thread.)
    const mode_t previous = ::umask(077);
    const int ok = mg_modify_passwords_file(file.c_str(), password_realm, user.c_str(),
                                            password.empty() ? nullptr : password.c_str());
    ::umask(previous);
    if (ok != 1) return false;
    return ::chmod(file.c_str(), 0600) == 0 || errno == ENOENT;
}

site_gate::site_gate(bool open, site_settings settings) : open_(open), settings_(std::move(settings)) {}

bool site_gate::admit(mg_connection* conn) {
    if (!open_) return true;
    const mg_request_info* info = mg_get_request_info(conn);
    const std::string remote = info->remote_addr;
    if (loopback_address(remote)) return true;
    const char* authorization = mg_get_header(conn, "Authorization");
    const std::string uri = info->local_uri ? info->local_uri : "";
    const bool get = info->request_method && std::strcmp(info->request_method, "GET") == 0;
    if (uri == "/metrics" && get && bearer_token_matches(authorization, settings_.metrics_token)) return true;
    if (authorization) {
        if (::strncasecmp(authorization, "Digest ", 7) == 0 &&
            mg_check_digest_access_authentication(conn, password_realm, settings_.password_file.c_str()) > 0)
            return true;
        refused(remote, uri);
    }
    // civetweb writes no challenge on a WebSocket upgrade: that one gets a bare 401 (a
    // browser sends the credentials of its page along with the upgrade).
    const char* upgrade = mg_get_header(conn, "Upgrade");
    if (upgrade && header_has_token(upgrade, "websocket")) {
        static const char bare[] = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        mg_write(conn, bare, sizeof bare - 1);
    } else {
        mg_send_digest_access_authentication_request(conn, password_realm);
    }
    return false;
}

void site_gate::refused(const std::string& remote, const std::string& uri) {
    metrics().credentials_refused();
    std::lock_guard lock(log_mutex_);
    ++unlogged_;
    const auto now = clock::now();
    if (last_log_ != clock::time_point{} && now - last_log_ < std::chrono::seconds(10)) return;
    std::string line = "refused the credentials of a request from " + remote + " for " + shown(uri);
    if (unlogged_ > 1) line += " (" + std::to_string(unlogged_) + " refusals since the last report)";
    log_line(line);
    last_log_ = now;
    unlogged_ = 0;
}

}  // namespace nox
