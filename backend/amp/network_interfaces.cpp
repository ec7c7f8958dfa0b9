#include "backend/amp/network_interfaces.h"

#include "backend/amp/mira_discovery.h"
#include "common/log/log.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace nox::amp {

namespace {

std::mutex& enumeration_mutex() {
    static std::mutex mutex;
    return mutex;
}

struct interface_in_force {
    std::mutex mutex;  // guards address
    std::string address;
};

interface_in_force& in_force() {
    static interface_in_force value;
    return value;
}

std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += ' ';
        text += part;
    }
    return text;
}

std::string lookup_setting(const settings_map& settings, const char* key) {
    const auto found = settings.find(key);
    return found == settings.end() ? std::string{} : found->second;
}

// getifaddrs once; false when it fails.
bool enumerate(std::vector<adapter>& adapters) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    // Interface names in the order they first appear, with their first IPv4 address.
    std::vector<std::string> names;
    std::vector<std::uint32_t> addresses;
    std::vector<bool> skipped;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) continue;
        const std::string name = entry->ifa_name;
        auto at = std::find(names.begin(), names.end(), name);
        if (at == names.end()) {
            names.push_back(name);
            addresses.push_back(0);
            skipped.push_back(false);
            at = names.end() - 1;
        }
        const std::size_t index = static_cast<std::size_t>(at - names.begin());
        if ((entry->ifa_flags & IFF_LOOPBACK) != 0) skipped[index] = true;
        if (addresses[index] == 0 && entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            addresses[index] = ntohl(in->sin_addr.s_addr);
        }
    }
    ::freeifaddrs(list);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (skipped[i] || addresses[i] == 0) continue;
        adapters.push_back(adapter{names[i], addresses[i]});
    }
    return true;
}

std::vector<std::string> split_addresses(const std::string& text) {
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(" \t"), boost::algorithm::token_compress_on);
    pieces.erase(std::remove(pieces.begin(), pieces.end(), std::string{}), pieces.end());
    return pieces;
}

void json_string(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

// Names and addresses of the stored lists, as the settings document reads them.
void stored_lists(const settings_map& settings, std::vector<std::string>& names,
                  std::vector<std::string>& addresses) {
    std::vector<std::string> pieces;
    const std::string name_text = lookup_setting(settings, key_network_interface_names);
    boost::algorithm::split(pieces, name_text, boost::algorithm::is_any_of("\""));
    for (const auto& piece : pieces) {
        if (boost::algorithm::trim_copy(piece).empty()) continue;
        names.push_back(piece);
    }
    const std::string address_text = lookup_setting(settings, key_network_interface);
    if (!address_text.empty()) {
        boost::algorithm::split(pieces, address_text, boost::algorithm::is_any_of(" "));
        for (auto piece : pieces) {
            piece.erase(std::remove(piece.begin(), piece.end(), '"'), piece.end());
            addresses.push_back(piece);
        }
    }
    if (names.size() != addresses.size()) {
        log_line("expected #interface-names to be the same as #interface-ip:s");
        throw std::runtime_error("expected #interface-names to be the same as #interface-ip:s");
    }
}

}  // namespace

std::string dotted_address(std::uint32_t ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFFu, (ip >> 8) & 0xFFu, ip & 0xFFu);
    return text;
}

std::vector<adapter> list_adapters() {
    std::lock_guard lock(enumeration_mutex());
    std::vector<adapter> adapters;
    // A failed enumeration is asked once more, as a transient failure may pass.
    if (!enumerate(adapters)) {
        adapters.clear();
        if (!enumerate(adapters)) adapters.clear();
    }
    return adapters;
}

void refresh_interface_settings(settings_map& settings, const std::string& preferred, const adapter_source& adapters) {
    const std::vector<adapter> list = adapters();
    std::vector<std::string> addresses;
    std::vector<std::string> names;
    for (const auto& a : list) {
        addresses.push_back(dotted_address(a.ip));
        names.push_back("\"" + a.description + "\"");
    }
    if (!addresses.empty()) {
        std::string current = lookup_setting(settings, key_selected_interface);
        if (current.empty()) current = addresses.back();
        settings[key_selected_interface] = preferred.empty() ? current : closest_interface(addresses, preferred);
    }
    settings[key_network_interface] = join(addresses);
    settings[key_network_interface_names] = join(names);
}

std::string closest_interface(const std::vector<std::string>& available, const std::string& target) {
    std::string best;
    std::size_t best_distance = 0;
    bool have = false;
    for (const auto& candidate : available) {
        const std::size_t length = std::min(candidate.size(), target.size());
        std::size_t distance = 0;
        for (std::size_t i = 0; i < length; ++i) {
            if (candidate[i] != target[i]) ++distance;
        }
        if (!have || distance < best_distance) {
            best = candidate;
            best_distance = distance;
            have = true;
        }
    }
    return best;
}

std::string select_interface(const std::string& requested, const std::string& stored,
                             const std::vector<std::string>& available) {
    const std::string& wanted = requested.empty() ? stored : requested;
    if (wanted.empty()) {
        log_line("Selected interface empty, picking an alternative!");
        return available.empty() ? std::string{} : available.back();
    }
    if (std::find(available.begin(), available.end(), wanted) != available.end()) return wanted;
    log_line("Selected interface did not match any of the available interfaces...");
    return closest_interface(available, wanted);
}

std::string apply_interface(settings_map& settings, const std::string& requested, const adapter_source& adapters) {
    refresh_interface_settings(settings, requested, adapters);
    NOX_LOG_FORMAT("Network interface selection override: %s", requested.c_str());
    const std::vector<std::string> available = split_addresses(lookup_setting(settings, key_network_interface));
    const std::string stored = lookup_setting(settings, key_selected_interface);
    const std::string chosen = select_interface(requested, stored, available);
    // Without any adapter nothing can be chosen: the user's stored choice stays for when
    // the adapter comes back.
    if (!chosen.empty()) settings[key_selected_interface] = chosen;
    set_mira_interface(chosen);
    log_line("Generating device list");
    log_line("using network interface: " + chosen);
    log_line("Available interfaces: " + join(available));
    return chosen;
}

interface_discovery apply_interface_and_discover(settings_map& settings, const std::string& requested,
                                                 const adapter_source& adapters,
                                                 const discovery_function& discover) {
    interface_discovery result;
    result.interface_address = apply_interface(settings, requested, adapters);
    result.devices = discover ? discover(result.interface_address) : get_devices(result.interface_address);
    return result;
}

std::string get_mira_interface(const adapter_source& adapters) {
    auto& value = in_force();
    std::lock_guard lock(value.mutex);
    if (!value.address.empty()) return value.address;
    const std::vector<adapter> list = adapters();
    if (list.empty()) return {};
    value.address = dotted_address(list.back().ip);
    log_line("Selected network interface: " + list.back().description + "-" + value.address);
    return value.address;
}

void set_mira_interface(const std::string& address) {
    auto& value = in_force();
    std::lock_guard lock(value.mutex);
    value.address = address;
}

boost::property_tree::ptree network_settings_document(settings_map& settings, const adapter_source& adapters) {
    refresh_interface_settings(settings, lookup_setting(settings, key_selected_interface), adapters);
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    stored_lists(settings, names, addresses);
    boost::property_tree::ptree networks;
    for (std::size_t i = 0; i < names.size(); ++i) {
        // push_back, not put: a description may contain the path separator '.'.
        networks.push_back({names[i], boost::property_tree::ptree(addresses[i])});
    }
    boost::property_tree::ptree document;
    document.push_back({"networks", networks});
    document.push_back({"selected_ip", boost::property_tree::ptree(lookup_setting(settings, key_selected_interface))});
    return document;
}

std::string network_settings_json(settings_map& settings, const adapter_source& adapters) {
    const boost::property_tree::ptree document = network_settings_document(settings, adapters);
    // Written by hand: the property tree's JSON writer would turn an empty "networks"
    // object into the empty string.
    std::string out = "{\"networks\":{";
    bool first = true;
    for (const auto& [name, value] : document.get_child("networks")) {
        if (!first) out += ',';
        first = false;
        json_string(out, name);
        out += ':';
        json_string(out, value.data());
    }
    out += "},\"selected_ip\":";
    json_string(out, document.get<std::string>("selected_ip"));
    out += '}';
    return out;
}

}  // namespace nox::amp
