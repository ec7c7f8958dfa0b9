#include "backend/model/device_registry.h"

#include "backend/model/exceptions.h"
#include "common/log/log.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <algorithm>
#include <optional>
#include <unordered_set>

namespace nox {

namespace {

const std::vector<std::string> frame_keys_cleared = {
    "device_id", "serial_number", "module_class", "synced", "server_address",
    "mon_network_status", "mon_dirty_status", "mon_frame_status", "mon_frame_reason",
    "mon_chs_signal_status", "mon_chs_signal_reason", "mon_chs_load_reason",
    "mon_chs_load_status", "mon_chs_amp_reason", "mon_chs_amp_status", "temperature_psm",
    "temperature_slot"};

const std::vector<std::string> channel_keys_cleared = {
    "device_id", "synced", "mon_network_status", "mon_frame_status", "mon_frame_reason",
    "mon_amp_reason", "mon_amp_status", "mon_signal_status", "mon_signal_reason",
    "mon_load_reason", "mon_load_status", "temperature"};

std::optional<model> find_frame(model_collection& frames, int32_t id) {
    try {
        return frames.get_locked(id);
    } catch (const model_not_found&) {
        return std::nullopt;
    }
}

std::string join_ids(const std::vector<int32_t>& ids) {
    std::string text;
    for (int32_t id : ids) text += (text.empty() ? "" : " ") + std::to_string(id);
    return text;
}

}  // namespace

std::vector<int32_t> channel_ids_of(const model& frame) {
    std::vector<std::string> parts;
    const std::string text = frame.get("channels");
    boost::split(parts, text, boost::is_any_of(" \t"), boost::token_compress_on);
    std::vector<int32_t> ids;
    for (const auto& part : parts) {
        if (part.empty()) continue;
        try {
            long long id = parse_int(part);
            if (id >= INT32_MIN && id <= INT32_MAX) ids.push_back(static_cast<int32_t>(id));
        } catch (const std::invalid_argument&) {
            // A damaged list entry names no channel.
        }
    }
    return ids;
}

void write_settings_changes(project_store& store, const model& before, const model& after) {
    model changes(store.get_settings().id());
    for (const auto& [key, value] : after.attributes()) {
        if (key == "id") continue;
        auto old = before.attributes().find(key);
        if (old == before.attributes().end() || old->second != value) changes.set(key, value);
    }
    if (changes.attributes().size() > 1) store.collection("settings").update(changes);
}

device_registry::device_ptr device_registry::lookup(const std::string& device_id) const {
    lock_guard lock(mutex_);
    auto it = devices_.find(device_id);
    return it == devices_.end() ? nullptr : it->second;
}

std::vector<std::pair<std::string, device_registry::device_ptr>> device_registry::devices() const {
    lock_guard lock(mutex_);
    return {devices_.begin(), devices_.end()};
}

void device_registry::commit(const std::string& collection, const model& m) {
    if (hooks_.commit) {
        hooks_.commit(collection, m, false);
    } else {
        store_.collection(collection).update(m);
    }
}

bool device_registry::merge_discovered_devices() {
    std::vector<amp::discovered_amplifier> found;
    if (hooks_.discover) found = hooks_.discover();
    return merge_discovered_devices(found);
}

bool device_registry::merge_discovered_devices(const std::vector<amp::discovered_amplifier>& found) {
    auto& frames = store_.collection("frames");
    auto& channels = store_.collection("channels");
    bool created = false;
    for (const auto& amplifier : found) {
        auto known = frames.find_where("device_id", amplifier.device_id);
        if (!known.empty()) {
            // Merge only the identity, so that a change committed meanwhile is not reverted.
            model change(known.front().id());
            for (const auto& [key, value] : amplifier.attributes) change.set(key, value);
            if (change.attributes().size() > 1) frames.update(change);
            continue;
        }
        model frame(frames.reserve_id());
        std::vector<int32_t> ids;
        for (int k = 0; k < 4; ++k) {
            model channel(channels.reserve_id());
            channel.set("frame_id", std::to_string(frame.id()));
            channel.set("device_id", amplifier.device_id);
            channel.set("frame_type", amplifier.frame_type);
            ids.push_back(channels.add_locked(channel));
        }
        frame.set("device_id", amplifier.device_id);
        frame.set("frame_type", amplifier.frame_type);
        frame.set("__origin__", "discovery");
        for (const auto& [key, value] : amplifier.attributes) frame.set(key, value);
        frame.set("channels", join_ids(ids));
        frames.add_locked(frame);
        created = true;
    }
    store_.save_locked();
    return created;
}

void device_registry::rebuild_devices(bool keep_devices) {
    // One rebuild at a time; lookups go on meanwhile and see the old devices until the
    // new ones are swapped in.
    lock_guard rebuilding(rebuild_mutex_);
    std::unordered_set<std::string> unreachable;
    if (keep_devices) {
        lock_guard lock(mutex_);
        for (const auto& [id, dev] : devices_)
            if (dev && dev->unreachable()) unreachable.insert(id);
    }

    // Making and checking a device talks to its amplifier (a silent one takes seconds), so
    // it happens outside the registry mutex.
    std::vector<std::pair<std::string, device_ptr>> built;
    bool old_firmware_found = false;
    const auto stopped = [this] {
        if (!stopping_.load()) return false;
        log_line("Device rebuild abandoned: the backend is stopping");
        return true;
    };
    for (const auto& frame : store_.collection("frames").get_all()) {
        const std::string device_id = frame.get("device_id");
        if (device_id.empty()) continue;
        if (frame.get("frame_type").empty())
            log_line("warn: associated frame did not have frame type, frame id: " + std::to_string(frame.id()));
        if (stopped()) return;
        device_ptr dev = hooks_.make_device ? hooks_.make_device(frame) : nullptr;
        if (!dev) continue;
        if (stopped()) return;
        built.emplace_back(device_id, dev);
        if (unreachable.count(device_id)) dev->set_unreachable();
        if (apply_stored_login(*dev) && dev->connected()) {
            if (dev->min_firmware_version() > dev->firmware_version() && !dev->unreachable()) {
                dev->set_old_firmware(true);
                old_firmware_found = true;
            }
        }
    }
    {
        lock_guard lock(mutex_);
        devices_.clear();
        // A later frame with the same identity replaces an earlier one's device.
        for (auto& [id, dev] : built) devices_[id] = std::move(dev);
    }
    if (old_firmware_found) store_.broadcast("old_fw_detected");
    propagate_interface();
}

void device_registry::propagate_interface() {
    lock_guard lock(mutex_);
    const model stored = store_.get_settings();
    if (hooks_.refresh_interface_settings) {
        model settings = stored;
        hooks_.refresh_interface_settings(settings.attributes(), settings.get("selected_interface"));
        write_settings_changes(store_, stored, settings);
    }
    const std::string address = store_.get_settings().get("selected_interface");
    log_line("Updating Mira devices interface to: \"" + address + "\"");
    // Each family with a registered device takes the interface once.
    std::vector<const amp::family*> used;
    for (const auto& frame : store_.collection("frames").get_all()) {
        if (frame.get("device_id").empty() || !devices_.count(frame.get("device_id"))) continue;
        const amp::family* f = &amp::family_for(frame.get("frame_type"));
        if (std::find(used.begin(), used.end(), f) == used.end()) used.push_back(f);
    }
    if (hooks_.use_interface)
        for (const amp::family* f : used) hooks_.use_interface(*f, address);
}

void device_registry::move_sweeps(const std::string& from, const std::string& to) {
    auto& sweeps = store_.collection("impedance_sweeps");
    auto moved = sweeps.find_where("channel_id", from);
    for (auto sweep : moved) {
        const int32_t old_id = sweep.id();
        sweep.set_id(0);
        sweep.erase("id");
        sweep.set("channel_id", to);
        sweeps.add_locked(sweep);
        sweeps.remove_locked(old_id);
    }
    if (!moved.empty()) store_.on_collection_changed("impedance_sweeps");
}

int device_registry::associate(int32_t frame_id, int32_t with) {
    // A frame cannot take over its own amplifier: the source removal would delete it.
    if (frame_id == with) return 1;
    auto& frames = store_.collection("frames");
    auto target = find_frame(frames, frame_id);
    auto source = find_frame(frames, with);
    if (!target || !source) return 1;
    if (target->get("frame_type") != source->get("frame_type") ||
        target->get("model") != source->get("model")) {
        log_line("Warning: Can not associate frames of different type and model...");
        return 1;
    }
    model frame_change(frame_id);
    frame_change.set("device_id", source->get("device_id"));
    if (const amp::family* f = amp::find_family(target->get("frame_type"))) {
        for (const std::string_view key : f->identity_keys()) {
            const std::string k(key);
            frame_change.set(k, source->get(k));
        }
    }
    frame_change.set("synced", "false");
    commit("frames", frame_change);

    auto& channels = store_.collection("channels");
    const auto target_channels = channel_ids_of(*target);
    const auto source_channels = channel_ids_of(*source);
    for (size_t k = 0; k < 4 && k < target_channels.size() && k < source_channels.size(); ++k) {
        std::string device_id;
        try {
            device_id = channels.get_locked(source_channels[k]).get("device_id");
        } catch (const model_not_found&) {
        }
        model change(target_channels[k]);
        change.set("device_id", device_id);
        change.set("synced", "false");
        commit("channels", change);
        move_sweeps(std::to_string(source_channels[k]), std::to_string(target_channels[k]));
    }
    frames.remove_locked(with);
    channels.remove_where("frame_id", std::to_string(with));
    store_.on_collection_changed("frames");
    store_.broadcast("sigupdate");
    return 0;
}

int device_registry::dissociate(int32_t frame_id) {
    auto& frames = store_.collection("frames");
    auto& channels = store_.collection("channels");
    auto frame = find_frame(frames, frame_id);
    if (!frame) return 1;
    // A frame without an amplifier has nothing to give back: a copy would be a discovered
    // frame that no amplifier answers for.
    if (frame->get("device_id").empty()) return 1;

    model discovered = *frame;
    discovered.set_id(frames.reserve_id());
    discovered.set("__origin__", "discovery");
    discovered.set("synced", "false");
    std::vector<int32_t> new_ids;
    const auto old_ids = channel_ids_of(*frame);
    for (int32_t old_id : old_ids) {
        model channel;
        try {
            channel = channels.get_locked(old_id);
        } catch (const model_not_found&) {
            continue;
        }
        channel.set_id(channels.reserve_id());
        channel.set("frame_id", std::to_string(discovered.id()));
        int32_t new_id = channels.add_locked(channel);
        move_sweeps(std::to_string(old_id), std::to_string(new_id));
        new_ids.push_back(new_id);
    }
    discovered.set("channels", join_ids(new_ids));
    frames.add_locked(discovered);

    model frame_change(frame_id);
    for (const auto& key : frame_keys_cleared) frame_change.set(key, "");
    commit("frames", frame_change);
    for (int32_t old_id : old_ids) {
        model change(old_id);
        for (const auto& key : channel_keys_cleared) change.set(key, "");
        commit("channels", change);
    }
    store_.broadcast("sigupdate");
    return 0;
}

bool device_registry::login_devices(const std::string& system, const std::string& user,
                                    const std::string& password) {
    lock_guard lock(mutex_);
    for (const auto& [id, dev] : devices_) {
        std::string name;
        if (!dev->login_required(name) || name != system) continue;
        dev->set_credentials(user, password);
        if (!dev->connected()) return false;
    }
    return true;
}

bool device_registry::apply_stored_login(amp::device& dev) {
    std::string system;
    if (!dev.login_required(system)) return true;
    auto stored = store_.logins().find_where("name", system);
    if (!stored.empty()) {
        dev.set_credentials(stored.front().get("login"), stored.front().get("pass"));
        if (dev.connected()) return true;
    }
    store_.broadcast("login_required");
    return false;
}

std::vector<std::string> device_registry::systems_needing_login() const {
    lock_guard lock(mutex_);
    std::vector<std::string> systems;
    for (const auto& [id, dev] : devices_) {
        std::string name;
        if (dev->login_required(name)) systems.push_back(name);
    }
    return systems;
}

}  // namespace nox
