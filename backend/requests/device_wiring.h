// How the backend connects its device registry to real amplifiers and to the request
// pipeline: the device made for each associated frame, Mira discovery on the interface in
// force, the interface settings, the commit of association changes, and the operations
// behind the `refresh` request, the interface refresh after a load and the network
// settings resource.
//
// Mira frames get a `nox::amp::mira_device` on the shared UDP transport, addressed by
// the frame's `device_id` ("hhhhhhhh:llllllll") and `module_class` (default 1). Tesira
// frames get a `nox::amp::tesira_device` for the block `device_id` (its instance tag) on
// the server `server_address`, with the stored logins of the project store.
//
// Thread safety: the functions may be called from any thread; they lock what they touch
// through the registry and the store.
#pragma once

#include "backend/amp/network_interfaces.h"
#include "backend/amp/tesira_device.h"
#include "backend/model/device_registry.h"

#include <optional>
#include <string>

namespace nox {

class request_engine;

struct device_wiring_options {
    // The machine's adapters and the discovery on one interface (tests hand in their own).
    amp::adapter_source adapters = amp::list_adapters;
    amp::discovery_function discover;  // empty: amp::get_devices
};

// The Mira address of a `device_id` text; nothing when it is malformed.
std::optional<amp::device_address> parse_device_id(const std::string& text, std::uint16_t kind);

// The device for an associated frame, or null (a malformed Mira identity). Tesira-hosted
// devices get `tesira` (stored logins, the login notice).
device_registry::device_ptr make_frame_device(const model& frame, const amp::tesira_device_options& tesira = {});

// Options of the backend's Tesira-hosted devices: a server that asks for a login gets the
// login stored in `store` for its system name, and when none satisfies it "login_required"
// is broadcast.
amp::tesira_device_options tesira_device_options_for(project_store& store);

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
