// The workstation's network interfaces and the choice of the one that Mira amplifiers
// are found and reached on.
//
// The adapter list comes from getifaddrs: one adapter per interface name, in enumeration
// order, with the interface's first IPv4 address; interfaces flagged loopback and the
// address 0.0.0.0 are left out; the description is the interface name.
//
// The choice is kept in the project's settings map, which the caller hands in (the same
// map type as the data model's attribute map, so this library needs no data-model code):
//   selected_interface       dotted address chosen for Mira devices
//   network_interface        dotted addresses of all adapters, list order, one space apart
//   network_interface_names  the adapters' descriptions, each in double quotes, one space apart
// The interface in force for the transport (`get_mira_interface`) is one process-wide
// value, not persisted.
//
// When the machine has no usable adapter the choice is empty: the stored choice is kept,
// the interface in force stays empty, discovery finds nothing and every Mira operation
// answers 1 without sending.
//
// Thread safety: every function may be called from any thread. Adapter enumeration is
// serialised by one process-wide mutex, the interface in force by another; each is held
// only for the enumeration or for reading or writing the value. The settings map is the
// caller's to guard.
#pragma once

#include "backend/amp/device_types.h"

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nox::amp {

struct adapter {
    std::string description;
    std::uint32_t ip = 0;  // a.b.c.d = a*2^24 + b*2^16 + c*2^8 + d
};

using settings_map = std::unordered_map<std::string, std::string>;
using adapter_source = std::function<std::vector<adapter>()>;
// Discovery on one interface (production: get_devices of mira_discovery.h).
using discovery_function = std::function<std::vector<device_address>(const std::string& interface_address)>;

inline constexpr const char* key_selected_interface = "selected_interface";
inline constexpr const char* key_network_interface = "network_interface";
inline constexpr const char* key_network_interface_names = "network_interface_names";

// "a.b.c.d" of a numeric address.
std::string dotted_address(std::uint32_t ip);

// The machine's adapters (possibly none).
std::vector<adapter> list_adapters();

// Rewrites the three settings entries from a fresh adapter list. With adapters present,
// `selected_interface` becomes the adapter nearest to `preferred` when that is given, else
// the stored choice (or the last adapter when none is stored). With no adapters the
// stored choice is kept and the two lists become empty.
void refresh_interface_settings(settings_map& settings, const std::string& preferred,
                                const adapter_source& adapters = list_adapters);

// The interface to use: `requested` if given, else `stored`; an exact match among
// `available` is taken as is, anything else is replaced by the nearest available address
// (logged), an empty wish by the last available address (logged). Empty when nothing is
// available.
std::string select_interface(const std::string& requested, const std::string& stored,
                             const std::vector<std::string>& available);

// The element of `available` nearest to `target`: fewest differing characters over the
// length of the shorter text; the first of equally near ones. Empty for an empty list.
std::string closest_interface(const std::vector<std::string>& available, const std::string& target);

struct interface_discovery {
    std::string interface_address;      // the interface chosen (empty: none available)
    std::vector<device_address> devices; // what discovery found on it
};

// Refreshes the settings with `requested` as the preference, chooses the interface
// (select_interface), stores it as `selected_interface` (unless nothing could be chosen)
// and makes it the interface in force; logs the choice. Returns the chosen address (empty
// when the machine has no adapter). A caller that discovers through its own code (the
// device registry's merge) calls this, then discovers.
std::string apply_interface(settings_map& settings, const std::string& requested,
                            const adapter_source& adapters = list_adapters);

// The `refresh` request's first half: refreshes the settings with `requested` as the
// preference, chooses the interface (select_interface), stores it as
// `selected_interface` (unless nothing could be chosen), makes it the interface in force
// and runs discovery on it. The caller merges the devices into the project and rebuilds
// its device registry.
interface_discovery apply_interface_and_discover(settings_map& settings, const std::string& requested,
                                                 const adapter_source& adapters = list_adapters,
                                                 const discovery_function& discover = {});

// The interface in force; when none is set yet, the last adapter's address (logged
// "Selected network interface: <description>-<address>"). Empty when the machine has no
// adapter (the next call tries again).
std::string get_mira_interface(const adapter_source& adapters = list_adapters);
void set_mira_interface(const std::string& address);

// The document of "/api/mira_discovery_settings": refreshes the settings with the stored
// choice, then {"networks": {<description>: <address>, ...}, "selected_ip": <choice>}.
// Throws std::runtime_error (after logging "expected #interface-names to be the same as
// #interface-ip:s") when the stored names and addresses differ in number.
boost::property_tree::ptree network_settings_document(settings_map& settings,
                                                      const adapter_source& adapters = list_adapters);
// The same document as compact JSON text.
std::string network_settings_json(settings_map& settings, const adapter_source& adapters = list_adapters);

}  // namespace nox::amp
