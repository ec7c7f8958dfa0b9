#include "backend/requests/monitoring.h"

#include "backend/amp/converters.h"
#include "backend/amp/family.h"
#include "backend/model/device_registry.h"
#include "backend/model/exceptions.h"
#include "backend/model/project_store.h"
#include "backend/p20spi/faw_summary.h"
#include "backend/requests/differences.h"
#include "backend/requests/model_json.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <set>
#include <unordered_set>

namespace nox {

namespace {

const char* const vanished_text =
    "model not found for monitor request (likely cause: monitor requests scheduled for existing frames before a "
    "new/open project request was processed, after processing it the frames/channels are gone, or associated frame";

const std::array<const char*, 3> channel_status_keys = {"mon_amp_status", "mon_load_status", "mon_signal_status"};
const std::array<const char*, 3> channel_reason_keys = {"mon_amp_reason", "mon_load_reason", "mon_signal_reason"};

const std::unordered_set<std::string>& live_keys() {
    static const std::unordered_set<std::string> keys = {
        "mon_amp_status",     "mon_amp_reason",      "mon_load_status",       "mon_load_reason",
        "mon_signal_status",  "mon_signal_reason",   "mon_frame_status",      "mon_frame_reason",
        "mon_dirty_status",   "mon_chs_amp_status",  "mon_chs_amp_reason",    "mon_chs_load_status",
        "mon_chs_load_reason", "mon_chs_signal_status", "mon_chs_signal_reason", "mon_network_status",
        "t1_read_impedance",  "t2_read_impedance",   "temperature_psm",       "temperature_slot",
        "temperature",        "power_status",        "mute",                  "actual_vpl_threshold",
        "fuse_actual_limit",  "frame_name",          "model_name",            "name",
        "channel_names"};
    return keys;
}

// The copies of one frame and its channels that a monitoring pass works on, with the keys
// the pass itself set on each (only those are compared and written back).
class monitor_pass {
public:
    monitor_pass(amp::device& dev, std::vector<model> models) : dev_(dev), models_(std::move(models)) {
        touched_.resize(models_.size());
    }

    amp::device& device() { return dev_; }
    std::vector<model>& models() { return models_; }
    const std::vector<std::set<std::string>>& touched() const { return touched_; }
    size_t channel_count() const { return models_.size() - 1; }
    model& frame() { return models_[0]; }

    void set(size_t index, const std::string& key, std::string value) {
        models_[index].set(key, std::move(value));
        touched_[index].insert(key);
    }
    void set_frame(const std::string& key, std::string value) { set(0, key, std::move(value)); }
    void set_all(const std::string& key, const std::string& value) {
        for (size_t i = 0; i < models_.size(); ++i) set(i, key, value);
    }
    // Model index of channel k (0-based), or 0 when the frame has no such channel.
    size_t channel_index(int k) const {
        return k >= 0 && static_cast<size_t>(k) < channel_count() ? static_cast<size_t>(k) + 1 : 0;
    }

    // Whether the amplifier now counts as unreachable; once it does, the frame and its
    // channels are marked offline and the remaining reads are skipped.
    bool lost() {
        if (offline_) return true;
        if (!dev_.unreachable()) return false;
        offline_ = true;
        set_all("mon_network_status", "offline");
        return true;
    }
    bool offline() const { return offline_; }

private:
    amp::device& dev_;
    std::vector<model> models_;
    std::vector<std::set<std::string>> touched_;
    bool offline_ = false;
};

void reset_statuses(monitor_pass& pass) {
    pass.set_frame("mon_frame_status", "3");
    pass.set_frame("mon_frame_reason", "");
    for (size_t i = 1; i < pass.models().size(); ++i) {
        for (const char* key : channel_status_keys) pass.set(i, key, "3");
        for (const char* key : channel_reason_keys) pass.set(i, key, "");
    }
}

void apply_monitor_words(monitor_pass& pass, const std::vector<std::uint32_t>& words) {
    for (const auto& row : monitor_block_map()) {
        if (row.word >= words.size()) continue;
        size_t index = 0;
        if (row.channel >= 0) {
            index = pass.channel_index(row.channel);
            if (index == 0) continue;  // the frame lists fewer channels
        }
        const std::uint32_t w = words[row.word];
        pass.set(index, row.key, row.reason ? P20SPI::reason_text(w) : std::to_string(w));
    }
}

int status_code(const model& m, const char* key) {
    try {
        return static_cast<int>(parse_int(m.get(key, "3")));
    } catch (const std::invalid_argument&) {
        return 3;
    }
}

void write_summaries(monitor_pass& pass) {
    static const std::array<std::array<const char*, 4>, 3> kinds = {{
        {"mon_amp_status", "mon_amp_reason", "mon_chs_amp_status", "mon_chs_amp_reason"},
        {"mon_load_status", "mon_load_reason", "mon_chs_load_status", "mon_chs_load_reason"},
        {"mon_signal_status", "mon_signal_reason", "mon_chs_signal_status", "mon_chs_signal_reason"},
    }};
    for (size_t kind = 0; kind < kinds.size(); ++kind) {
        const auto& keys = kinds[kind];
        std::vector<monitor_pick> channels;
        for (size_t i = 1; i < pass.models().size(); ++i)
            channels.push_back({status_code(pass.models()[i], keys[0]), pass.models()[i].get(keys[1])});
        const monitor_pick pick = kind == 1 ? summarise_load(channels) : summarise_amp_or_signal(channels);
        pass.set_frame(keys[2], std::to_string(pick.status));
        pass.set_frame(keys[3], pick.reason);
    }
}

// Firmware and pilot-tone capabilities; 1 when the firmware version could not be read.
int read_capabilities(monitor_pass& pass) {
    amp::device& dev = pass.device();
    const float version = dev.firmware_version();
    if (pass.lost()) return 0;
    if (!(version > 0.0f)) return amp::result_refused;
    pass.set_frame("dico_version", format_float(version));
    pass.set_frame("min_req_dico_version", format_float(dev.min_firmware_version()));
    pass.set_frame("ptg2_support", dev.ptg2_support() ? "true" : "false");
    pass.set_frame("ptg2_sequential_support", dev.ptg2_sequential_support() ? "true" : "false");
    return 0;
}

void read_power_status(monitor_pass& pass) {
    int on = 0;
    if (pass.device().read_power(on) == 0) pass.set_frame("power_status", std::to_string(on));
}

// Reads every parameter of list `which` that answers; a failing row is skipped.
void read_parameters(monitor_pass& pass, int which) {
    std::vector<amp::param_entry> entries;
    if (pass.device().parameter_list(which, entries) != 0) {
        pass.lost();
        return;
    }
    for (const auto& entry : entries) {
        amp::param_value value;
        if (pass.device().read_param(entry, value) != 0) {
            if (pass.lost()) return;
            continue;
        }
        std::string text;
        try {
            text = parameter_text(entry, value);
        } catch (const std::exception& e) {
            log_line("monitor: cannot convert " + entry.key + ": " + e.what());
            continue;
        }
        const size_t index = entry.per_channel == 1 ? pass.channel_index(entry.channel) : 0;
        if (entry.per_channel == 1 && index == 0) continue;
        pass.set(index, entry.key, std::move(text));
    }
}

void read_identity(monitor_pass& pass) {
    int code = 0;
    std::string name, type;
    if (pass.device().read_model(code, name, type) != 0) return;
    pass.set_frame("model_name", name);
    pass.set_all("model", std::to_string(code));
    pass.set_all("frame_type", type);
}

// The models of the frame named by the request and of its channels, in the order of the
// frame's `channels`. Throws nox::model_not_found when one of them is not stored.
std::vector<model> load_models(project_store& store, const model& request) {
    const long long id = parse_int(request.at("frame_id"));
    if (id < INT32_MIN || id > INT32_MAX) throw model_not_found();
    std::vector<model> models;
    models.push_back(store.collection("frames").get_locked(static_cast<int32_t>(id)));
    // The frame id may have been given to another amplifier's frame by a new project.
    if (request.has("device_id") && models[0].get("device_id") != request.at("device_id")) throw model_not_found();
    auto& channels = store.collection("channels");
    for (int32_t channel : channel_ids_of(models[0])) models.push_back(channels.get_locked(channel));
    return models;
}

// For each of `models` (a frame, then its channels), the keys that an amplifier update
// still waiting in `requests` carries for it: the user's values are on their way to the
// amplifier, so what a pass read of those keys is older than what the store holds.
std::vector<std::set<std::string>> pending_update_keys(project_store& store, const std::vector<model>& models) {
    std::vector<std::set<std::string>> keys(models.size());
    static const std::set<std::string> request_keys = {"id",       "method",     "status",    "__type__",
                                                       "frame_id", "channel_id", "device_id", "edit"};
    store.collection("requests").for_each([&](const model& r) {
        if (!r.has("method", "put_diffs") || !r.has("status", "wait")) return true;
        const bool channel = r.has("channel_id");
        const std::string& target = channel ? r.at("channel_id") : r.get("frame_id");
        for (size_t i = channel ? 1 : 0; i < (channel ? models.size() : 1); ++i) {
            if (std::to_string(models[i].id()) != target) continue;
            for (const auto& [key, value] : r.attributes())
                if (!request_keys.count(key)) keys[i].insert(key);
        }
        return true;
    });
    return keys;
}

}  // namespace

const std::vector<monitor_word>& monitor_block_map() {
    static const std::vector<monitor_word> map = [] {
        std::vector<monitor_word> rows{{0, "mon_frame_status", -1, false}, {1, "mon_frame_reason", -1, true}};
        for (int k = 0; k < 4; ++k) {
            const std::size_t base = 2 + 6 * static_cast<std::size_t>(k);
            rows.push_back({base + 0, "mon_amp_status", k, false});
            rows.push_back({base + 1, "mon_amp_reason", k, true});
            rows.push_back({base + 2, "mon_load_status", k, false});
            rows.push_back({base + 3, "mon_load_reason", k, true});
            rows.push_back({base + 4, "mon_signal_status", k, false});
            rows.push_back({base + 5, "mon_signal_reason", k, true});
        }
        rows.push_back({26, "mon_dirty_status", -1, false});
        return rows;
    }();
    return map;
}

bool live_key(std::string_view key, const amp::family& family) {
    return live_keys().count(std::string(key)) != 0 || family.live_key(key);
}

monitor_pick summarise_amp_or_signal(const std::vector<monitor_pick>& channels) {
    monitor_pick pick{0, ""};
    for (const auto& c : channels) {
        if (pick.status == 0 || c.status == 2 || (pick.status == 3 && c.status == 1)) pick = c;
    }
    return pick;
}

monitor_pick summarise_load(const std::vector<monitor_pick>& channels) {
    monitor_pick pick{3, ""};
    for (const auto& c : channels) {
        if (c.status == 2 || (pick.status == 0 && c.status == 1) ||
            (pick.status == 3 && (c.status == 1 || c.status == 0)))
            pick = c;
    }
    return pick;
}

std::string parameter_text(const amp::param_entry& entry, const amp::param_value& value) {
    if (const float* f = std::get_if<float>(&value)) return float_text(*f);
    return to_project_text(entry.converter, static_cast<std::uint32_t>(std::get<std::int32_t>(value)));
}

int read_monitoring(amp::device& dev, const model& request, request_engine& engine) {
    // The pass's lines, about fifty for an answering amplifier, go to the file together
    // when it ends (common/log/log.h).
    const log_batch pass_lines;
    log_line("Fetching monitor data");
    project_store& store = engine.store();
    std::vector<model> start;
    try {
        start = load_models(store, request);
    } catch (const model_not_found&) {
        log_line(vanished_text);
        return 1;
    }
    // The store as this pass found it: what changes there while the amplifier is read is
    // another writer's, and the write-back leaves it alone.
    const std::vector<model> seen = start;
    monitor_pass pass(dev, std::move(start));
    pass.set_all("mon_network_status", "online");
    reset_statuses(pass);

    if (amp::in_unreachable_hold_off(dev)) return -1;

    // Within one pass the same reply serves every repeat: the power state (read three
    // times), the firmware version (twice) and the rows that share a multi-field reply.
    // The monitor block itself is never cached.
    const amp::read_cache_scope cache(dev);
    std::vector<std::uint32_t> words;
    if (dev.read_monitor(words) == 0) apply_monitor_words(pass, words);
    pass.lost();

    if (!pass.offline()) {
        // The reads below in one round trip where the link allows it.
        dev.prefetch_monitoring();
        int on = 0;
        if (dev.read_power(on) == 0 && on == 0) reset_statuses(pass);
        pass.lost();
    }
    for (size_t i = 1; i < pass.models().size(); ++i) {
        pass.set(i, "mon_frame_status", pass.frame().get("mon_frame_status"));
        pass.set(i, "mon_frame_reason", pass.frame().get("mon_frame_reason"));
    }
    write_summaries(pass);

    const bool dirty = pass.frame().has("mon_dirty_status", "1");
    if (!pass.offline()) {
        const int result = read_capabilities(pass);
        if (result != 0) return result;
        if (!pass.offline()) {
            read_power_status(pass);
            if (!pass.lost()) read_parameters(pass, 1);
        }
        if (dirty && !pass.offline()) {
            read_identity(pass);
            if (!pass.lost()) read_power_status(pass);
            if (!pass.lost()) read_capabilities(pass);
            if (!pass.offline()) {
                words.clear();
                if (dev.read_monitor(words) == 0) apply_monitor_words(pass, words);
            }
            if (!pass.lost()) read_parameters(pass, 0);
        }
    }

    // Compare what this pass found with the store as it is now.
    std::vector<model> stored;
    try {
        stored = load_models(store, request);
    } catch (const model_not_found&) {
        log_line(vanished_text);
        return 1;
    }
    bool same_models = stored.size() == pass.models().size();
    for (size_t i = 0; same_models && i < stored.size(); ++i) same_models = stored[i].id() == seen[i].id();
    if (!same_models) {
        log_line(vanished_text);
        return 1;
    }
    const amp::family& family = amp::family_for(pass.frame().get("frame_type"));
    const auto pending = pending_update_keys(store, stored);
    std::vector<model> writes;
    bool any_diff = false;
    bool out_of_step = false;
    for (size_t i = 0; i < stored.size(); ++i) {
        const model& copy = pass.models()[i];
        model write(copy.id());
        for (const auto& key : pass.touched()[i]) {
            if (key == "mon_dirty_status") continue;
            if (stored[i].get(key) != seen[i].get(key) || stored[i].has(key) != seen[i].has(key)) continue;
            if (pending[i].count(key)) continue;
            const std::string& value = copy.at(key);
            if (stored[i].has(key) && equal_within_tolerance(key, value, stored[i].at(key))) continue;
            NOX_LOG_FORMAT("DIFF: %s (%s, %s)", key.c_str(), value.c_str(), stored[i].get(key).c_str());
            write.set(key, value);
            if (!live_key(key, family)) {
                log_line("non-live param: " + key);
                out_of_step = true;
            }
        }
        if (write.attributes().size() > 1) any_diff = true;
        writes.push_back(std::move(write));
    }
    if (any_diff) {
        log_line("**DETECTED DIFF");
        log_line("** Monitoring detected changes. Writing to data model **");
        if (dirty && out_of_step) {
            log_line("**NOT IN SYNC**");
            std::string text = "[";
            for (size_t i = 0; i < writes.size(); ++i) {
                if (i) text += ',';
                append_json(text, writes[i]);
            }
            log_line(text + "]");
            for (auto& w : writes) w.set("synced", "false");
        }
        for (size_t i = 0; i < writes.size(); ++i) {
            if (writes[i].attributes().size() <= 1) continue;  // only its id
            engine.enqueue_write(i == 0 ? "frames" : "channels", std::move(writes[i]), seen[i]);
        }
    }

    if (!pass.offline() && amp::check_firmware(dev)) engine.broadcast("old_fw_detected");
    return 0;
}

void register_monitoring_handlers(method_table& table, monitoring_options options) {
    monitor_block_map();
    live_key("", amp::family_for(""));
    table.set_handler("get_monitor", "wait", [options](model& request, request_engine& engine) {
        auto device = options.lookup_device ? options.lookup_device(request.at("device_id")) : nullptr;
        if (!device) {
            request.set("status", "fail");
            return;
        }
        // An amplifier that another request drives for a long time (a pilot-tone
        // calibration holds it for up to about a minute) is skipped for this cycle instead
        // of waited for: the cycle would otherwise hold back every other frame's
        // monitoring for as long.
        auto lock = device->try_lock_operations();
        if (!lock.owns_lock()) {
            log_line("monitoring skipped, amplifier busy: " + request.at("device_id"));
            request.set("status", "fail");
            return;
        }
        const int result = read_monitoring(*device, request, engine);
        lock.unlock();
        request.set("status", result == 0 ? "done" : "fail");
    });
}

}  // namespace nox
