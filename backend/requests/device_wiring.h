// How the backend connects its device registry to real amplifiers and to the request
// pipeline: the device made for each associated frame by the family of its `frame_type`
// (backend/amp/family.h), discovery by every family on the interface in force, the
// interface settings, the commit of association changes, and the operations behind the
// `refresh` request, the interface refresh after a load and the network settings
// resource.
//
// Thread safety: the functions may be called from any thread; they lock what they touch
// through the registry and the store.
#pragma once

#include "backend/amp/family.h"
#include "backend/amp/network_interfaces.h"
#include "backend/model/device_registry.h"

#include <functional>
#include <vector>
#include <string>

namespace nox {

class request_engine;

struct device_wiring_options {
    // The machine's adapters and the discovery on one interface (tests hand in their own).
    amp::adapter_source adapters = amp::list_adapters;
    // empty: amp::discover_all
    std::function<std::vector<amp::discovered_amplifier>(const std::string& interface_address)> discover;
};

// The device for an associated frame, made by its family with `services`; null when the
// family cannot make one (a malformed identity, for one).
device_registry::device_ptr make_frame_device(const model& frame, const amp::device_services& services = {});

// What the backend offers its devices: the logins kept in `store` by system name, and
// "login_required" broadcast when a host wants a login that none satisfies.
amp::device_services device_services_for(project_store& store);

// The registry's hooks in production: devices from make_frame_device, discovery on the
// interface in force, the interface settings from the machine's adapters, commits through
// `engine` (no "sigupdate").
device_registry::hooks production_registry_hooks(request_engine& engine, device_wiring_options options = {});

// The `refresh` work: applies `requested` (empty: the stored choice) as the interface,
// discovers on it, merges what answered into the project and rebuilds the registry. True
// when a new frame was created.
bool interface_and_discover(project_store& store, device_registry& registry, const std::string& requested,
                            const device_wiring_options& options = {});

// After a load: refreshes the interface settings with the stored choice.
void refresh_interface(project_store& store, const std::string& selected,
                       const device_wiring_options& options = {});

// "/api/mira_discovery_settings": hands the stored choice to the Mira devices and returns
// the network-settings document as JSON. Throws when the stored interface names and
// addresses differ in number.
std::string network_settings(project_store& store, device_registry& registry,
                             const device_wiring_options& options = {});

}  // namespace nox
