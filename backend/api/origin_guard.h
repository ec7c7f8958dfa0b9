// Refusal of cross-site use. The REST API can switch amplifiers off and write files, and
// a web page that a user visits can make the browser send requests to 127.0.0.1:8080.
// Browsers always name the page's origin in `Origin` on cross-site writes and WebSocket
// upgrades, and name the host they think they talk to in `Host` (which unmasks DNS
// rebinding). A request is served when
//   - it has no `Host` header, or its host is 127.0.0.1, localhost, the configured
//     listen address or one of the policy's further hosts (the machine's host name and
//     interface addresses, ORVA_ALLOWED_HOSTS), with the backend's port (default 80 when
//     no port is given), and
//   - it has no `Origin` header, or the origin is the server's scheme ("http://", or
//     "https://" with TLS) + such a host and port.
// Host names compare case-insensitively. Scripts and the launcher send no `Origin`.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nox {

struct origin_policy {
    origin_policy(std::string listen = "127.0.0.1", int port_number = 8080, bool with_tls = false,
                  std::vector<std::string> further_hosts = {})
        : listen_address(std::move(listen)), port(port_number), tls(with_tls), hosts(std::move(further_hosts)) {}

    std::string listen_address;
    int port;
    bool tls;                        // pages come from https://
    std::vector<std::string> hosts;  // further names and addresses, in lower case
};

bool allowed_host(std::string_view host, const origin_policy& policy);
bool allowed_origin(std::string_view origin, const origin_policy& policy);

// Both headers together; a null pointer is an absent header.
bool allowed_request(const char* origin, const char* host, const origin_policy& policy);

}  // namespace nox
