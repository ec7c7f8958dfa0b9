#include "backend/requests/device_wiring.h"

#include "backend/amp/mira_device.h"
#include "backend/amp/mira_discovery.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"

#include <cctype>

namespace nox {

namespace {

bool parse_half(const std::string& text, std::uint32_t& out) {
    if (text.empty() || text.size() > 8) return false;
    std::uint32_t value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        value = value * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                            ? c - '0'
                                                            : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    out = value;
    return true;
}

std::uint16_t kind_of(const model& frame) {
    try {
        const long long kind = parse_int(frame.get("module_class", "1"));
        if (kind >= 0 && kind <= 0xFFFF) return static_cast<std::uint16_t>(kind);
    } catch (const std::invalid_argument&) {
    }
    return 1;
}

amp::discovery_function discovery_of(const device_wiring_options& options) {
    if (options.discover) return options.discover;
    return [](const std::string& address) { return amp::get_devices(address); };
}

}  // namespace

std::optional<amp::device_address> parse_device_id(const std::string& text, std::uint16_t kind) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    amp::device_address address;
    if (!parse_half(text.substr(0, colon), address.id_high) || !parse_half(text.substr(colon + 1), address.id_low))
        return std::nullopt;
    address.kind = kind;
    return address;
}

amp::tesira_device_options tesira_device_options_for(project_store& store) {
    amp::tesira_device_options options;
    options.client.stored_login = [&store](const std::string& system, std::string& user, std::string& password) {
        const auto found = store.logins().find_where("name", system);
        if (found.empty()) return false;
        user = found.front().get("login");
        password = found.front().get("pass");
        return true;
    };
    options.login_needed = [&store] { store.broadcast("login_required"); };
    return options;
}

device_registry::device_ptr make_frame_device(const model& frame, const amp::tesira_device_options& tesira) {
    if (frame.has("frame_type", "tesira")) {
        return std::make_shared<amp::tesira_device>(frame.get("server_address"), frame.get("device_id"), tesira);
    }
    const std::string device_id = frame.get("device_id");
    const auto address = parse_device_id(device_id, kind_of(frame));
    if (!address) {
        log_line("malformed device id \"" + device_id + "\" of frame " + std::to_string(frame.id()));
        return nullptr;
    }
    return std::make_shared<amp::mira_device>(*address);
}

device_registry::hooks production_registry_hooks(request_engine& engine, device_wiring_options options) {
    device_registry::hooks hooks;
    hooks.make_device = [tesira = tesira_device_options_for(engine.store())](const model& frame) {
        return make_frame_device(frame, tesira);
    };
    hooks.discover = [options] {
        return discovery_of(options)(amp::get_mira_interface(options.adapters));
    };
    hooks.refresh_interface_settings = [options](model::attribute_map& settings, const std::string& preferred) {
        amp::refresh_interface_settings(settings, preferred, options.adapters);
    };
    hooks.set_mira_interface = [](const std::string& address) { amp::set_mira_interface(address); };
    hooks.commit = [&engine](const std::string& collection, const model& m, bool notify) {
        engine.commit(collection, m, notify);
    };
    return hooks;
}

bool interface_and_discover(project_store& store, device_registry& registry, const std::string& requested,
                            const device_wiring_options& options) {
    const model stored = store.get_settings();
    model settings = stored;
    amp::apply_interface(settings.attributes(), requested, options.adapters);
    write_settings_changes(store, stored, settings);
    // Discovery runs through the registry's hook, on the interface just put in force.
    const bool created = registry.merge_discovered_devices();
    registry.rebuild_devices(false);
    return created;
}

void refresh_interface(project_store& store, const std::string& selected, const device_wiring_options& options) {
    const model stored = store.get_settings();
    model settings = stored;
    amp::refresh_interface_settings(settings.attributes(), selected, options.adapters);
    write_settings_changes(store, stored, settings);
}

std::string network_settings(project_store& store, device_registry& registry, const device_wiring_options& options) {
    registry.propagate_interface();
    const model stored = store.get_settings();
    model settings = stored;
    std::string document = amp::network_settings_json(settings.attributes(), options.adapters);
    write_settings_changes(store, stored, settings);
    return document;
}

}  // namespace nox
