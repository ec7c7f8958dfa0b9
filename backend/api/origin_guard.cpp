#include "backend/api/origin_guard.h"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <charconv>

namespace nox {

bool allowed_host(std::string_view host, const origin_policy& policy) {
    std::string_view name = host;
    int port = 80;
    if (auto colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        std::string_view digits = host.substr(colon + 1);
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
            return false;
    }
    if (port != policy.port || name.empty()) return false;
    if (boost::iequals(name, "127.0.0.1") || boost::iequals(name, "localhost") ||
        boost::iequals(name, policy.listen_address))
        return true;
    return std::any_of(policy.hosts.begin(), policy.hosts.end(),
                       [name](const std::string& host) { return boost::iequals(name, host); });
}

bool allowed_origin(std::string_view origin, const origin_policy& policy) {
    const std::string_view scheme = policy.tls ? "https://" : "http://";
    if (origin.size() <= scheme.size() || !boost::istarts_with(origin, scheme)) return false;
    return allowed_host(origin.substr(scheme.size()), policy);
}

bool allowed_request(const char* origin, const char* host, const origin_policy& policy) {
    if (host && !allowed_host(host, policy)) return false;
    if (origin && !allowed_origin(origin, policy)) return false;
    return true;
}

}  // namespace nox
