#include "backend/requests/frame_transfer.h"

#include "backend/amp/converters.h"
#include "backend/model/exceptions.h"
#include "backend/p20spi/faw_summary.h"
#include "backend/requests/monitoring.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <array>
#include <climits>
#include <mutex>
#include <optional>
#include <unordered_set>

namespace nox {

namespace {

constexpr int channel_slots = 4;

// Pilot-tone settings that a frame may lack without the writer warning about it.
const std::unordered_set<std::string> pilot_keys = {
    "t1_amplitude",       "t2_amplitude",       "t1_upper_threshold", "t2_upper_threshold",
    "t1_lower_threshold", "t2_lower_threshold", "t1_ref_impedance",   "t2_ref_impedance",
    "t1_factor",          "t2_factor",          "enabled_tones",      "enabled_analyser",
    "t1_read_impedance",  "t2_read_impedance",  "t1_frequency",       "t2_frequency"};

int32_t to_id(const std::string& text) {
    const long long value = parse_int(text);
    if (value < INT32_MIN || value > INT32_MAX) throw std::out_of_range("stoi argument out of range");
    return static_cast<int32_t>(value);
}

std::vector<int32_t> split_ids(const std::string& text) {
    std::vector<std::string> parts;
    boost::split(parts, text, boost::is_any_of(" \t"), boost::token_compress_on);
    std::vector<int32_t> ids;
    for (const auto& part : parts)
        if (!part.empty()) ids.push_back(to_id(part));
    return ids;
}

std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : " ") + part;
    return text;
}

const char* truth(bool value) { return value ? "true" : "false"; }

// The channel model at `position` (0-based among the channels), or null.
model* channel_at(std::vector<model>& fc, size_t position) {
    return position + 1 < fc.size() ? &fc[position + 1] : nullptr;
}

// The model an entry of the parameter list belongs to, or null when the frame has no
// channel at its position.
model* model_of(const amp::param_entry& entry, std::vector<model>& fc) {
    if (entry.per_channel == 0) return &fc[0];
    if (entry.channel < 0) return nullptr;
    return channel_at(fc, static_cast<size_t>(entry.channel));
}

// The project text of a parameter value; false when the converter refuses the value.
bool project_text_of(const amp::param_entry& entry, const amp::param_value& value, std::string& text) {
    try {
        text = parameter_text(entry, value);
        return true;
    } catch (const std::exception& e) {
        log_line("parameter " + entry.key + ": value not convertible: " + e.what());
        return false;
    }
}

// A failed operation after which the device counts as unreachable: the rest of the pass
// could only time out exchange by exchange.
bool gone_silent(const amp::device& dev, int result) { return result != amp::result_ok && dev.unreachable(); }

void enqueue_all(request_engine& engine, const std::vector<model>& fc) {
    engine.enqueue_write("frames", fc[0]);
    for (size_t i = 1; i < fc.size(); ++i) engine.enqueue_write("channels", fc[i]);
}

// The writer's copies were read from the store before the upload, which takes seconds:
// only what the upload itself changed (`synced`, the labels read back) is written, and
// only where the store still holds what the writer read, so that an edit made meanwhile
// stays.
void enqueue_changes(request_engine& engine, const std::vector<model>& before, const std::vector<model>& after) {
    for (size_t i = 0; i < after.size(); ++i) {
        model change(after[i].id());
        for (const auto& [key, value] : after[i].attributes()) {
            if (key == "id") continue;
            const auto old = before[i].attributes().find(key);
            if (old == before[i].attributes().end() || old->second != value) change.set(key, value);
        }
        if (change.attributes().size() > 1) engine.enqueue_write(i == 0 ? "frames" : "channels", change, before[i]);
    }
}

// The channels' `routing` from the amplifier's route matrix; nothing is set when the
// matrix cannot be read (or the family has none).
int read_routing_codes(amp::device& dev, std::vector<model>& fc) {
    std::vector<std::string> replies;
    const int result = dev.read_route_matrix(replies);
    if (result != amp::result_ok) return result;
    const auto codes = route_codes(replies, fc.size() - 1);
    for (size_t c = 0; c < codes.size(); ++c) fc[c + 1].set("routing", route_code_text(codes[c]));
    return amp::result_ok;
}

// Routed names and module/output labels into the channel models; nothing is set for a
// family whose amplifiers have no routing (unsupported).
int read_labels(amp::device& dev, std::vector<model>& fc) {
    std::vector<std::string> routed;
    int result = dev.read_routing(routed);
    if (result != amp::result_ok) return result;
    for (int k = 0; k < channel_slots; ++k) {
        std::string module_label, output_label;
        result = dev.read_channel_labels(k, module_label, output_label);
        if (result != amp::result_ok) return result;
        if (model* channel = channel_at(fc, static_cast<size_t>(k))) {
            channel->set("mod_label", storable_text(module_label));
            channel->set("dsp_label", storable_text(output_label));
            if (static_cast<size_t>(k) < routed.size())
                channel->set("routed_name", storable_text(routed[static_cast<size_t>(k)]));
        }
    }
    return amp::result_ok;
}

// The reader's steps; the caller holds the device's operation lock.
int read_frame_steps(amp::device& dev, std::vector<model>& fc) {
    model& frame = fc[0];
    const size_t channels = fc.size() - 1;

    // Without its names the frame cannot be shown: a failure ends the download.
    std::string name = "n/a";
    int result = dev.read_frame_name(name);
    if (result != amp::result_ok) return result;
    // Texts from the amplifier are made storable, so that one odd byte in a label cannot
    // make the whole download unstorable while the request reports success.
    name = storable_text(name);
    frame.set("name", name);
    for (size_t i = 1; i < fc.size(); ++i) fc[i].set("frame_name", name);
    std::vector<std::string> names;
    if ((result = dev.read_channel_names(names)) != amp::result_ok) return result;
    if (!names.empty()) {
        for (auto& n : names) n = storable_text(n);
        for (size_t i = 0; i < names.size() && i < channels; ++i) fc[i + 1].set("name", names[i]);
        frame.set("channel_names", join(names));
    }

    // The model decides the frame type and which settings apply, so the download needs it.
    int code = 0;
    std::string model_name, frame_type;
    if ((result = dev.read_model(code, model_name, frame_type)) != amp::result_ok) return result;
    frame.set("model_name", storable_text(model_name));
    for (auto& m : fc) {
        m.set("model", std::to_string(code));
        m.set("frame_type", storable_text(frame_type));
    }

    // The power state decides below whether the monitor block is worth reading; without
    // it the download ends.
    int power = 0;
    if ((result = dev.read_power(power)) != amp::result_ok) return result;
    frame.set("power_status", std::to_string(power));

    // Mutes: after a failure the remaining channels are not asked; the next download or
    // monitoring cycle reads them, and the download goes on.
    for (int k = 0; k < channel_slots; ++k) {
        int mute = 0;
        result = dev.read_mute(k, mute);
        if (gone_silent(dev, result)) return result;
        if (result != amp::result_ok) break;
        if (model* channel = channel_at(fc, static_cast<size_t>(k))) channel->set("mute", std::to_string(mute));
    }

    // Bridging: the frame's flag summarises all channels, so it is set only when every
    // channel answered. The bridging, routing and label steps read the bridge modes and
    // the route matrix more than once: with the read cache on each query goes out once.
    std::optional<amp::read_cache_scope> cache(std::in_place, dev);
    {
        bool any_bridged = false;
        bool complete = true;
        for (int k = 0; k < channel_slots; ++k) {
            int mode = 0;
            bool controls = false;
            result = dev.read_bridge_mode(static_cast<unsigned>(k), mode, controls);
            if (gone_silent(dev, result)) return result;
            if (result != amp::result_ok) {
                complete = false;
                break;
            }
            any_bridged = any_bridged || mode != 0;
            if (model* channel = channel_at(fc, static_cast<size_t>(k))) {
                channel->set("bridged", truth(mode != 0));
                channel->set("controls_bridge", truth(controls));
            }
        }
        if (complete) frame.set("bridged", truth(any_bridged));
    }

    // Routing and labels, where the family has them; results ignored.
    result = read_routing_codes(dev, fc);
    if (gone_silent(dev, result)) return result;
    result = read_labels(dev, fc);
    if (gone_silent(dev, result)) return result;
    cache.reset();

    // Versions and pilot-tone capabilities come from what the device read on its way.
    frame.set("dico_version", format_float(dev.firmware_version()));
    frame.set("min_req_dico_version", format_float(dev.min_firmware_version()));
    for (auto& m : fc) {
        m.set("ptg2_support", truth(dev.ptg2_support()));
        m.set("ptg2_sequential_support", truth(dev.ptg2_sequential_support()));
    }

    // The monitor block of a powered amplifier; the next monitoring cycle reads it anyway,
    // so its failure does not spoil the download.
    if (power != 0) {
        std::vector<std::uint32_t> words;
        result = dev.read_monitor(words);
        if (result == amp::result_ok) apply_monitor_words(words, fc);
        if (gone_silent(dev, result)) return result;
    }

    // Every mapped parameter. The cache lets the rows that share one multi-field reply
    // take it from one exchange; a row that fails is skipped.
    std::vector<amp::param_entry> entries;
    if ((result = dev.parameter_list(0, entries)) != amp::result_ok) return result;
    cache.emplace(dev);
    for (const auto& entry : entries) {
        amp::param_value value;
        result = dev.read_param(entry, value);
        if (gone_silent(dev, result)) return result;
        if (result != amp::result_ok) continue;
        std::string text;
        model* target = model_of(entry, fc);
        if (target && project_text_of(entry, value, text)) target->set(entry.key, storable_text(text));
    }
    cache.reset();

    for (auto& m : fc) m.set("synced", "true");
    return amp::result_ok;
}

// The writer's steps; the caller holds the device's operation lock.
int write_frame_steps(amp::device& dev, std::vector<model>& fc) {
    model& frame = fc[0];
    log_line("writing frame data to amp");

    // Names first, results ignored: names the amplifier cannot carry (a Mira channel name
    // needs a dot) must not keep the settings from being written.
    int result = amp::result_ok;
    if (frame.has("channel_names")) {
        std::vector<std::string> names;
        const std::string text = frame.get("channel_names");
        boost::split(names, text, boost::is_any_of(" "));
        result = dev.write_channel_names(names);
        if (gone_silent(dev, result)) return result;
    }
    if (frame.has("name")) {
        result = dev.write_frame_name(frame.get("name"));
        if (gone_silent(dev, result)) return result;
    }

    std::vector<amp::param_entry> entries;
    if ((result = dev.parameter_list(0, entries)) != amp::result_ok) return result;

    // Every writable parameter, in list order. The first refusal ends the upload with its
    // result, so that a partly written amplifier is not marked synced.
    for (const auto& entry : entries) {
        if (entry.read_only) continue;
        model* source = model_of(entry, fc);
        if (source == nullptr || !source->has(entry.key)) {
            if (!pilot_keys.count(entry.key))
                NOX_LOG_FORMAT("Warning: Parameter %s missing from data model. Should add default value?",
                               entry.key.c_str());
            continue;
        }
        result = dev.write_param(entry, source->get(entry.key));
        if (result != amp::result_ok) {
            log_line("ERR:" + std::to_string(result));
            return result;
        }
    }

    // Labels read back (where the family has them), then synced.
    result = read_labels(dev, fc);
    if (gone_silent(dev, result)) return result;
    for (auto& m : fc) m.set("synced", "true");
    return amp::result_ok;
}

}  // namespace

int32_t request_frame_id(const model& request) { return to_id(request.at("frame_id")); }

std::vector<model> frame_vector_from_request(const model& request) {
    std::vector<model> fc;
    fc.emplace_back(request_frame_id(request));
    for (int32_t id : split_ids(request.get("channels"))) fc.emplace_back(id);
    return fc;
}

std::vector<model> frame_vector_from_store(project_store& store, int32_t frame_id) {
    std::vector<model> fc;
    fc.push_back(store.collection("frames").get_locked(frame_id));
    const std::string list = fc[0].get("channels");
    log_line("plucking params channels:" + list);
    auto& channels = store.collection("channels");
    for (int32_t id : split_ids(list)) fc.push_back(channels.get_locked(id));
    return fc;
}

std::vector<int> route_codes(const std::vector<std::string>& replies, size_t channel_count) {
    std::vector<int> codes(channel_count, 0);
    for (const auto& reply : replies) {
        bool first = true;
        for (size_t c = 0; c < channel_count; ++c) {
            const size_t column = 2 * c;
            if (column >= reply.size() || reply[column] != 'X') continue;
            codes[c] = first ? 1 : 2;
            first = false;
        }
    }
    return codes;
}

std::string route_code_text(int code) {
    switch (code) {
    case 1: return "primary";
    case 2: return "secondary";
    default: return "unrouted";
    }
}

void apply_monitor_words(const std::vector<std::uint32_t>& words, std::vector<model>& fc) {
    for (const auto& row : monitor_block_map()) {
        if (row.word >= words.size()) continue;
        model* target = row.channel < 0 ? &fc[0] : channel_at(fc, static_cast<size_t>(row.channel));
        if (target == nullptr) continue;
        const std::uint32_t w = words[row.word];
        target->set(row.key, row.reason ? P20SPI::reason_text(w) : std::to_string(w));
    }
}

int read_frame(amp::device& dev, const model& request, request_engine& engine) {
    const auto operations = dev.lock_operations();
    std::vector<model> fc = frame_vector_from_request(request);
    const int result = read_frame_steps(dev, fc);
    if (result == amp::result_ok) enqueue_all(engine, fc);
    return result;
}

int write_frame(amp::device& dev, int32_t frame_id, request_engine& engine) {
    const auto operations = dev.lock_operations();
    const std::vector<model> before = frame_vector_from_store(engine.store(), frame_id);
    std::vector<model> fc = before;
    const int result = write_frame_steps(dev, fc);
    if (result == amp::result_ok) enqueue_changes(engine, before, fc);
    return result;
}

void register_frame_handlers(method_table& table, device_registry& registry) {
    auto transfer = [&registry](model& request, request_engine& engine) {
        auto dev = registry.lookup(request.at("device_id"));
        if (!dev) {
            request.set("status", "fail");
            return;
        }
        int result;
        if (request.has("method", "get")) {
            result = read_frame(*dev, request, engine);
            if (result == amp::result_ok) engine.broadcast("sigupdate");
        } else {
            result = write_frame(*dev, request_frame_id(request), engine);
        }
        request.set("status", result == amp::result_ok ? "done" : "fail");
    };
    table.set_handler("get", "wait", transfer);
    table.set_handler("put", "wait", transfer);
}

}  // namespace nox
