#include "backend/requests/device_handlers.h"

#include "backend/requests/frame_transfer.h"
#include "backend/requests/model_json.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "common/platform/mutex.h"

#include <boost/algorithm/string/split.hpp>

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

namespace nox {

namespace {

int to_int(const std::string& text) {
    const long long value = parse_int(text);
    if (value < INT_MIN || value > INT_MAX) throw std::out_of_range("stoi argument out of range");
    return static_cast<int>(value);
}

void finish(model& request, int result) { request.set("status", result == 0 ? "done" : "fail"); }

// The registered device of the request's `device_id`; null (and the request failed) when
// none is registered.
device_registry::device_ptr device_of(device_registry& registry, model& request) {
    auto dev = registry.lookup(request.at("device_id"));
    if (!dev) request.set("status", "fail");
    return dev;
}

// 0-based position of channel `channel_id` among the frame's channels; -1 when absent.
int channel_position(const std::vector<model>& fc, int32_t channel_id) {
    for (size_t i = 1; i < fc.size(); ++i)
        if (fc[i].id() == channel_id) return static_cast<int>(i - 1);
    return -1;
}

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> parts;
    boost::split(parts, text, [](char c) { return c == ','; });
    return parts;
}

void factory_reset(device_registry& registry, model& request, request_engine& engine) {
    auto dev = device_of(registry, request);
    if (!dev) return;
    const int32_t frame_id = request_frame_id(request);
    if (dev->soft_reset() != amp::result_ok) {
        request.set("status", "fail");
        return;
    }
    model frame(frame_id);
    frame.set("synced", "false");
    for (const auto& channel : engine.store().collection("channels").find_where("frame_id", std::to_string(frame_id))) {
        model change(channel.id());
        change.set("last_calibrated", "none");
        engine.enqueue_write("channels", change);
    }
    engine.enqueue_write("frames", frame);
    request.set("status", "done");
}

// The latest client edit carried to each value of an amplifier: (device, frame or
// channel, key) -> the update's `edit` number.
class edit_order {
public:
    // Whether the update numbered `edit` may write `key` of `target`, i.e. no later edit's
    // update has written it; records it as the latest when it may.
    bool claim(const std::string& device_id, const std::string& target, const std::string& key, std::uint64_t edit)
        EXCLUDES(mutex_) {
        lock_guard lock(mutex_);
        std::uint64_t& latest = latest_[{device_id, target, key}];
        if (latest > edit) return false;
        latest = edit;
        return true;
    }

private:
    mutex mutex_;
    std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> latest_ GUARDED_BY(mutex_);
};

void put_diffs(device_registry& registry, edit_order& order, model& request, request_engine& engine) {
    auto dev = device_of(registry, request);
    if (!dev) return;
    // Never in the middle of a monitoring pass of the same amplifier: the pass would write
    // back what it read before these values arrived.
    const auto operations = dev->lock_operations();
    model values = request;
    for (const char* key : {"device_id", "id", "frame_id", "channel_id", "method", "status", "__type__", "edit"})
        values.erase(key);
    const std::vector<model> fc = frame_vector_from_store(engine.store(), request_frame_id(request));
    int position = -1;
    if (request.has("channel_id")) {
        position = channel_position(fc, to_int(request.at("channel_id")));
        if (position < 0) {
            finish(request, 1);
            return;
        }
    }
    // Two edits of one value may be carried out in either order by the processing
    // threads: the earlier one's value is left out once the later one has been written.
    const std::string target = request.has("channel_id") ? "channel " + request.at("channel_id")
                                                          : "frame " + request.get("frame_id");
    const long long edit = request.has("edit") ? parse_int(request.at("edit")) : -1;
    std::vector<std::string> superseded;
    if (edit > 0) {
        for (const auto& [key, value] : values.attributes())
            if (key != "id" && !order.claim(request.at("device_id"), target, key, static_cast<std::uint64_t>(edit)))
                superseded.push_back(key);
    }
    for (const auto& key : superseded) {
        log_line("later edit already written: " + key);
        values.erase(key);
    }
    log_line("writing diffs to amp: \n" + to_json(values));
    std::vector<amp::param_entry> entries;
    int result = dev->parameter_list(0, entries);
    for (const auto& [key, value] : values.attributes()) {
        if (result != amp::result_ok) break;
        for (const auto& entry : entries) {
            if (entry.read_only || entry.key != key) continue;
            if (position >= 0 && entry.channel != position) continue;
            result = dev->write_param(entry, value);
            if (result != amp::result_ok) {
                log_line(key + " ERR:" + std::to_string(result));
                break;
            }
        }
    }
    finish(request, result);
}

void set_mute(device_registry& registry, model& request, request_engine& engine) {
    const std::string& mute = request.at("mute");
    log_line("mute channel " + mute);
    auto dev = device_of(registry, request);
    if (!dev) return;
    const std::vector<model> fc = frame_vector_from_store(engine.store(), request_frame_id(request));
    const int32_t channel_id = to_int(request.at("channel_id"));
    const int position = channel_position(fc, channel_id);
    const int value = to_int(mute);
    const int result = position < 0 ? 1 : dev->write_mute(position, value);
    if (result == 0) {
        // Monitoring does not read mutes back (they are not in the monitored list), so the
        // project records what the amplifier accepted; every client sees it at once.
        model change(channel_id);
        change.set("mute", std::to_string(value));
        engine.enqueue_write("channels", change);
    }
    finish(request, result);
}

void set_power_status(device_registry& registry, model& request) {
    const std::string& power = request.at("power_status");
    log_line("setting power status: " + power);
    auto dev = device_of(registry, request);
    if (!dev) return;
    finish(request, dev->write_power(to_int(power)));
}

void assoc(device_registry& registry, model& request) {
    if (!request.has("frame_id") || !request.has("with")) {
        request.set("status", "fail");
        return;
    }
    finish(request, registry.associate(to_int(request.at("frame_id")), to_int(request.at("with"))));
}

void dissoc(device_registry& registry, model& request) {
    finish(request, registry.dissociate(to_int(request.at("frame_id"))));
}

void assoc_select(device_registry& registry, const device_handler_hooks& hooks, model& request) {
    const int32_t frame_id = to_int(request.at("frame_id"));
    const std::vector<std::string> device_ids = split_commas(request.at("device_id"));
    std::vector<int32_t> with;
    for (const auto& text : split_commas(request.at("with"))) with.push_back(to_int(text));
    if (device_ids.size() != with.size()) {
        request.set("status", "fail");
        return;
    }

    struct candidate {
        device_registry::device_ptr dev;
        int32_t with;
    };
    // Only devices with a select key take part. The first ask also reads away a press
    // from before the request, which would otherwise select at once.
    std::vector<candidate> kept;
    for (size_t i = 0; i < device_ids.size(); ++i) {
        auto dev = registry.lookup(device_ids[i]);
        bool selected = false;
        if (dev && dev->read_select_key(selected) != amp::result_unsupported) kept.push_back({dev, with[i]});
    }
    const int rounds = select_watch_ms / (static_cast<int>(device_ids.size()) * select_poll_pause_ms);
    for (int round = 0; round < rounds && !kept.empty(); ++round) {
        for (auto& c : kept) {
            bool selected = false;
            if (c.dev->read_select_key(selected) == amp::result_ok && selected &&
                registry.associate(frame_id, c.with) == 0) {
                request.set("status", "done");
                return;
            }
            hooks.sleep(std::chrono::milliseconds(select_poll_pause_ms));
        }
    }
    request.set("status", "fail");
}

void login(device_registry& registry, model& request, request_engine& engine) {
    int code = 0;
    if (!request.has("systemname")) {
        log_line("ERROR in server login: missing server or system name.");
        code = 1;
    } else if (!request.has("username")) {
        log_line("ERROR in server login: missing username in request.");
        code = 2;
    } else {
        const std::string system = request.at("systemname");
        const std::string user = request.at("username");
        const std::string password = request.at("password");
        if (registry.login_devices(system, user, password)) {
            auto& logins = engine.store().logins();
            model stored(logins.reserve_id());
            stored.set("name", system);
            stored.set("login", user);
            stored.set("pass", password);
            logins.remove_where("name", system);
            logins.add_locked(stored);
            engine.store().save_logins();
        } else {
            engine.broadcast("login_required");
            code = 3;
        }
    }
    request.set("login_result", std::to_string(code));
    finish(request, code);
    engine.broadcast("sigupdate");
}

void refresh(const device_handler_hooks& hooks, model& request) {
    if (!hooks.interface_and_discover) throw std::logic_error("refresh: no discovery available");
    if (hooks.interface_and_discover(request.get("network_interface"))) {
        // A new amplifier: read every frame, as a download synchronisation.
        request.set("method", "sync");
        request.set("status", "start");
        request.set("direction", "get");
        request.set("requeue", "true");
    } else {
        request.set("status", "done");
    }
}

}  // namespace

device_handler_hooks default_device_handler_hooks() {
    device_handler_hooks hooks;
    hooks.sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
    return hooks;
}

void register_device_handlers(method_table& table, device_registry& registry, device_handler_hooks hooks) {
    const device_handler_hooks defaults = default_device_handler_hooks();
    if (!hooks.sleep) hooks.sleep = defaults.sleep;
    device_registry* r = &registry;

    table.set_handler("factory_reset", "wait", [r](model& q, request_engine& e) { factory_reset(*r, q, e); });
    auto order = std::make_shared<edit_order>();
    table.set_handler("put_diffs", "wait", [r, order](model& q, request_engine& e) { put_diffs(*r, *order, q, e); });
    table.set_handler("set_mute", "wait", [r](model& q, request_engine& e) { set_mute(*r, q, e); });
    table.set_handler("set_power_status", "wait", [r](model& q, request_engine&) { set_power_status(*r, q); });
    table.set_handler("assoc", "wait", [r](model& q, request_engine&) { assoc(*r, q); });
    table.set_handler("dissoc", "wait", [r](model& q, request_engine&) { dissoc(*r, q); });
    table.set_handler("assoc_select", "wait", [r, hooks](model& q, request_engine&) { assoc_select(*r, hooks, q); });
    table.set_handler("login", "wait", [r](model& q, request_engine& e) { login(*r, q, e); });
    table.set_handler("refresh", "wait", [hooks](model& q, request_engine&) { refresh(hooks, q); });
}

}  // namespace nox
