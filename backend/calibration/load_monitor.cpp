#include "backend/calibration/load_monitor.h"

#include "backend/calibration/analyser_data.h"
#include "backend/requests/frame_transfer.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <climits>
#include <stdexcept>

namespace nox {

namespace {

std::string result_text(int result) {
    std::string text = std::to_string(result);
    switch (result) {
    case amp::result_refused: return text + " (refused)";
    case amp::result_not_connected: return text + " (not connected)";
    case amp::result_nak: return text + " (negative acknowledge)";
    case amp::result_timeout: return text + " (time-out)";
    case -1: return text + " (no parameter list)";
    default: return text;
    }
}

int32_t required_id(const model& request, const std::string& key) {
    if (!request.has(key)) throw std::invalid_argument("missing attribute \"" + key + "\"");
    const long long value = parse_int(request.at(key));
    if (value < INT32_MIN || value > INT32_MAX) throw std::invalid_argument(key + " out of range");
    return static_cast<int32_t>(value);
}

}  // namespace

namespace pilot {

int selector(bool second_generation, int channel) {
    if (second_generation) return (1 << channel) | (1 << (4 + channel)) | (1 << (8 + channel));
    return 1 << (8 + channel);
}

}  // namespace pilot

std::array<int, 2> first_generation_frequencies(const model& settings) {
    if (!settings.has("ptg2_freqs")) return {static_cast<int>(pilot::default_frequency_1),
                                             static_cast<int>(pilot::default_frequency_2)};
    const std::string& text = settings.at("ptg2_freqs");
    log_line("Found override of ptg2 frequencies: " + text);
    std::vector<std::string> words;
    boost::split(words, text, boost::is_any_of(" \t"), boost::token_compress_on);
    std::array<int, 2> frequencies{};
    std::size_t found = 0;
    for (const auto& word : words) {
        if (word.empty()) continue;
        long long value = -1;
        try {
            value = parse_int(word);
        } catch (const std::invalid_argument&) {
        }
        if (value < 0 || value > INT_MAX)
            throw std::invalid_argument("ptg2_freqs is not a list of frequencies: \"" + text + "\"");
        frequencies[found++] = static_cast<int>(value);
        if (found == frequencies.size()) return frequencies;
    }
    throw std::invalid_argument("ptg2_freqs needs two frequencies: \"" + text + "\"");
}

void log_payload(const std::vector<float>& values) { log_line(analyser::payload_text(values)); }

load_monitor::load_monitor(amp::device& dev, request_engine& engine, const calibration_environment& env,
                           progress_fn progress)
    : dev_(dev), engine_(engine), env_(env), progress_(std::move(progress)) {}

load_monitor::located_channel load_monitor::locate(const model& request) {
    located_channel found;
    const int32_t frame_id = request_frame_id(request);
    const int32_t channel_id = required_id(request, "channel_id");
    found.frame_and_channels = frame_vector_from_store(engine_.store(), frame_id);
    const auto& fc = found.frame_and_channels;
    for (std::size_t i = 1; i < fc.size() && i <= analyser::channel_count; ++i) {
        if (fc[i].id() == channel_id) {
            found.index = static_cast<int>(i) - 1;
            return found;
        }
    }
    fail(1, "channel " + std::to_string(channel_id) + " is not a channel of frame " + std::to_string(frame_id));
    return found;
}

void load_monitor::step(const std::string& text) {
    if (progress_) progress_(text);
}

bool load_monitor::pause(int milliseconds) {
    if (env_.sleep(std::chrono::milliseconds(milliseconds))) return true;
    fail(1, "stopped: the backend is shutting down");
    return false;
}

int load_monitor::fail(int result, const std::string& reason) {
    reason_ = reason;
    return result;
}

int load_monitor::device_failure(const char* operation, int result) {
    return fail(result, std::string(operation) + " failed with result " + result_text(result));
}

int load_monitor::set_pilot_enable(int channel, int enable) {
    int code = 0;
    std::string name, type;
    int result = dev_.read_model(code, name, type);
    if (result != amp::result_ok) return device_failure("read_model", result);
    result = dev_.enable_pilot(code, channel, enable);
    if (result != amp::result_ok) return device_failure("enable_pilot", result);
    return amp::result_ok;
}

int load_monitor::put_load_monitoring(const model& request) {
    reason_.clear();
    const located_channel at = locate(request);
    if (at.index < 0) return -1;
    if (!request.has("enable")) throw std::invalid_argument("missing attribute \"enable\"");
    const long long value = parse_int(request.at("enable"));
    if (value < INT_MIN || value > INT_MAX) throw std::invalid_argument("enable out of range");
    const int enable = static_cast<int>(value);

    // Only the two switched attributes: writing back the whole channel as read here
    // would undo what monitoring or a PUT committed meanwhile.
    model change(at.channel().id());
    change.set("enabled_tones", std::to_string(enable));
    change.set("enabled_analyser", std::to_string(enable));
    log_line("writing lms data");
    engine_.enqueue_write("channels", change);

    step(enable ? "switching the pilot tones on" : "switching the pilot tones off");
    return set_pilot_enable(at.index, enable);
}

}  // namespace nox
