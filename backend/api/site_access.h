// Access from the site network.
//
// By default the backend listens on 127.0.0.1 and only this machine reaches it. A listen
// address that opens it to other hosts (ORVA_LISTEN_ADDRESS, e.g. 0.0.0.0) makes every
// request that comes from another host (REST, WebSocket upgrades, static files) prove
// who sends it:
//   - HTTP digest authentication as civetweb implements it (MD5, qop "auth"), realm
//     "Orva", against the password file `passwords` in the data folder: one line
//     "user:Orva:<md5 of user:Orva:password>" per user, written by
//     `orva_backend --set-password NAME` (civetweb's mg_modify_passwords_file);
//   - GET /metrics may instead carry "Authorization: Bearer <ORVA_METRICS_TOKEN>" (a
//     monitoring system cannot answer a digest challenge); the token opens nothing else.
// Requests from loopback addresses (127.0.0.0/8, ::1) stay open, as the launcher and a
// local browser need. Anything else is answered 401 with a digest challenge and changes
// nothing. An opened backend does not start without a readable, well-formed password file
// that holds at least one user of the realm.
//
// Further settings of the site network, all read at start:
//   ORVA_ALLOWED_HOSTS   comma-separated host names or addresses that the Host and Origin
//                        checks accept besides 127.0.0.1, localhost, the listen address,
//                        this machine's host name and its interface addresses
//   ORVA_TLS_CERT        a PEM file with the certificate and its private key: the port
//                        serves HTTPS and WSS only
//   ORVA_METRICS_TOKEN   the bearer token of GET /metrics from other hosts
// A value that cannot be right (an allowed host that is no host name or address, a token
// with blanks or control characters) stops the start with its reason.
//
// Thread safety: the free functions keep no state. `site_gate::admit` may be called by
// every web server thread at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct mg_connection;

namespace nox {

inline constexpr const char* password_realm = "Orva";
inline constexpr const char* password_file_name = "passwords";

// A site-network setting that stops the start; the text says which and why.
class site_settings_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct site_settings {
    std::string password_file;              // <data folder>/passwords
    std::string metrics_token;              // empty: no bearer token
    std::vector<std::string> allowed_hosts;  // from ORVA_ALLOWED_HOSTS
    std::string tls_certificate;            // empty: plain HTTP
};

// The settings from the environment (ORVA_ALLOWED_HOSTS, ORVA_TLS_CERT,
// ORVA_METRICS_TOKEN) and the password file of `data_folder`. Throws site_settings_error
// for a value that cannot be right.
site_settings site_settings_from_environment(const std::string& data_folder);

// Checks what the listen address needs before anything starts: when it opens the backend,
// a usable password file; with a certificate, a readable certificate and matching key.
// Throws site_settings_error with the reason.
void check_site_settings(const site_settings& settings, const std::string& listen_address);

// True for addresses that only this machine reaches: 127.0.0.0/8, ::1, ::ffff:127.x.x.x,
// "localhost". The listen address "0.0.0.0" (or any other) opens the backend.
bool loopback_address(std::string_view address);

// Why the password file cannot be used (missing, unreadable, a line that is not
// "user:realm:32 hex digits", no user of the realm), or nothing when it can.
std::optional<std::string> password_file_fault(const std::string& path);

// The entries of ORVA_ALLOWED_HOSTS: names (letters, digits, "-" and "." in labels of at
// most 63 characters, 253 in all), IPv4 addresses and bracketed IPv6 addresses, separated
// by commas, blanks around them ignored. Throws site_settings_error naming the first entry
// that is none of these (an empty entry included).
std::vector<std::string> parse_allowed_hosts(const std::string& text);

// This machine's host name and the addresses of its interfaces (IPv6 in brackets), as a
// browser names them in Host and Origin.
std::vector<std::string> machine_host_names();

// Compares a secret in time that depends only on the expected secret's length.
bool same_secret(std::string_view given, std::string_view expected);

// True when `authorization` (a header value, may be null) is "Bearer <token>" with the
// token, compared with same_secret; never true for an empty token.
bool bearer_token_matches(const char* authorization, const std::string& token);

// A user name that the password file can hold: 1 to 64 printable ASCII characters,
// without ":".
bool valid_user_name(const std::string& name);

// Creates or changes the entry of `user` in the password file (civetweb's
// mg_modify_passwords_file; the file and its temporary copy are created readable by the
// owner only); an empty password removes the entry. False when the file cannot be written.
bool store_password(const std::string& file, const std::string& user, const std::string& password);

// Decides for every request whether it may go on (see the top of this file).
class site_gate {
public:
    using clock = std::chrono::steady_clock;

    // `open`: the listen address reaches other hosts.
    site_gate(bool open, site_settings settings);

    bool open() const { return open_; }

    // True when the request may go on. Otherwise it has been answered (401 with a digest
    // challenge) and the refusal of wrong credentials is counted and logged (at most one
    // line per 10 s, with the number of refusals since the last line).
    bool admit(mg_connection* conn);

private:
    void refused(const std::string& remote, const std::string& uri);

    const bool open_;
    const site_settings settings_;
    std::mutex log_mutex_;
    clock::time_point last_log_{};  // guarded by log_mutex_
    std::uint64_t unlogged_ = 0;    // guarded by log_mutex_
};

}  // namespace nox
