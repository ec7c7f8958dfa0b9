#include "backend/requests/device_wiring.h"

#include "backend/amp/family.h"
#include "backend/requests/request_engine.h"

namespace nox {

namespace {

std::function<std::vector<amp::discovered_amplifier>(const std::string&)> discovery_of(
    const device_wiring_options& options) {
    if (options.discover) return options.discover;
    return [](const std::string& address) { return amp::discover_all(address); };
}

}  // namespace

amp::device_services device_services_for(project_store& store) {
    amp::device_services services;
    services.stored_login = [&store](const std::string& system, std::string& user, std::string& password) {
        const auto found = store.logins().find_where("name", system);
        if (found.empty()) return false;
        user = found.front().get("login");
        password = found.front().get("pass");
        return true;
    };
    services.login_needed = [&store] { store.broadcast("login_required"); };
    return services;
}

device_registry::device_ptr make_frame_device(const model& frame, const amp::device_services& services) {
    return amp::family_for(frame.get("frame_type")).make_device(frame.attributes(), services);
}

device_registry::hooks production_registry_hooks(request_engine& engine, device_wiring_options options) {
    device_registry::hooks hooks;
    hooks.make_device = [services = device_services_for(engine.store())](const model& frame) {
        return make_frame_device(frame, services);
    };
    hooks.discover = [options] {
        return discovery_of(options)(amp::get_mira_interface(options.adapters));
    };
    hooks.refresh_interface_settings = [options](model::attribute_map& settings, const std::string& preferred) {
        amp::refresh_interface_settings(settings, preferred, options.adapters);
    };
    hooks.use_interface = [](const amp::family& family, const std::string& address) {
        family.use_interface(address);
    };
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
