// The impedance sweep of one channel (load_monitor.h, layout in analyser_data.h):
//
//   1. the analyser prepared: channel selection (block 6), analyser switch and cable
//      resistance of the channel (block 4)
//   2. command 3 (sweep) run to completion; the 296 words of the channel's sweep data read
//      in chunks of 50
//   3. command 2 (DC resistance) run to completion; the four DC resistances read
//   4. one new `impedance_sweeps` record with reals, imaginary parts, magnitudes, time
//      stamp, channel id and the channel's DC resistance
//
// An analyser that does not report completion is given the environment's limit (two
// minutes) and then fails the sweep with 13, instead of holding a processing thread for
// ever.
#include "backend/calibration/analyser_data.h"
#include "backend/calibration/load_monitor.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"

#include <cmath>
#include <stdexcept>

namespace nox {

namespace {

float cable_resistance(const model& channel) {
    const std::string key = "t1_cable_resistance";
    if (!channel.has(key)) throw std::invalid_argument("the channel has no " + key);
    float value = NAN;
    try {
        value = parse_float(channel.at(key));
    } catch (const std::invalid_argument&) {
    }
    if (!std::isfinite(value)) throw std::invalid_argument(key + " is not a number: \"" + channel.at(key) + "\"");
    return value;
}

}  // namespace

int load_monitor::read_words(const amp::param_range& range, std::vector<std::uint32_t>& words) {
    words.clear();
    for (const auto& chunk : analyser::chunks(range)) {
        std::vector<std::uint32_t> part;
        const int result = dev_.read_params(chunk, part);
        if (result != amp::result_ok) return device_failure("read_params", result);
        const std::size_t expected = static_cast<std::size_t>(chunk.last - chunk.first + 1);
        if (part.size() != expected) {
            return fail(amp::result_refused, "read_params of " + std::to_string(chunk.block) + ":" +
                                                 std::to_string(chunk.first) + " answered " +
                                                 std::to_string(part.size()) + " of " + std::to_string(expected) +
                                                 " words");
        }
        words.insert(words.end(), part.begin(), part.end());
    }
    return amp::result_ok;
}

int load_monitor::run_analyser_command(std::uint32_t command) {
    int result = dev_.write_params({analyser::control_block, analyser::command_index, analyser::command_index},
                                   {command});
    if (result != amp::result_ok) return device_failure("write_params", result);
    const auto deadline = env_.now() + env_.analyser_limit;
    const amp::param_range completion{analyser::control_block, analyser::completion_index,
                                      analyser::completion_index};
    for (;;) {
        if (!pause(analyser_poll_pause_ms)) return 1;
        std::vector<std::uint32_t> word;
        result = dev_.read_params(completion, word);
        if (result != amp::result_ok) return device_failure("read_params", result);
        if (word.empty()) return fail(amp::result_refused, "the analyser's completion word was not answered");
        if (word.front() != 0) return amp::result_ok;
        if (env_.now() >= deadline) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(env_.analyser_limit).count();
            const std::string reason = "the analyser did not complete command " + std::to_string(command) +
                                       " within " + std::to_string(seconds) + " s";
            log_line(reason);
            return fail(amp::result_timeout, reason);
        }
    }
}

int load_monitor::impedance_sweep(const model& request) {
    reason_.clear();
    log_line("performing impedance sweep");
    const located_channel at = locate(request);
    if (at.index < 0) return 1;
    const int k = at.index;

    step("selecting the channel");
    int result = dev_.write_params({analyser::control_block, analyser::selection_first, analyser::selection_first},
                                   analyser::channel_selection(k));
    if (result != amp::result_ok) return device_failure("write_params", result);
    // Checked before block 4 is touched: a channel without a usable cable resistance
    // leaves the analyser's channel settings as they were.
    const float resistance = cable_resistance(at.channel());
    result = dev_.write_params(analyser::switch_range(k), {analyser::float_bits(1.0f)});
    if (result != amp::result_ok) return device_failure("write_params", result);
    log_line("Initializing impedance sweep w/ cable resistance: " + format_float(resistance));
    result = dev_.write_params(analyser::cable_resistance_range(k), {analyser::float_bits(resistance)});
    if (result != amp::result_ok) return device_failure("write_params", result);

    step("sweeping");
    if ((result = run_analyser_command(analyser::command_sweep)) != amp::result_ok) return result;
    step("reading the sweep");
    std::vector<std::uint32_t> words;
    if ((result = read_words(analyser::sweep_range(k), words)) != amp::result_ok) return result;
    const std::vector<float> values = analyser::bits_floats(words);
    log_payload(values);
    const analyser::sweep_texts texts = analyser::sweep_record_texts(values);
    model record;
    record.set("reals", texts.reals);
    record.set("imags", texts.imags);
    record.set("abs", texts.abs);

    step("measuring the DC resistance");
    if ((result = run_analyser_command(analyser::command_dc_resistance)) != amp::result_ok) return result;
    if ((result = read_words(analyser::dc_resistance_range(), words)) != amp::result_ok) return result;
    const std::vector<float> dc = analyser::bits_floats(words);
    log_payload(dc);

    record.set("timestamp", env_.local_time());
    record.set("channel_id", request.at("channel_id"));
    record.set("dc_resistance", format_float(dc.at(static_cast<std::size_t>(k))));
    engine_.enqueue_write("impedance_sweeps", record);
    return amp::result_ok;
}

}  // namespace nox
