// The pilot-tone calibration of one channel (load_monitor.h):
//
//   1. reference impedances 10000/10000
//   2. the calibration signal: second generation: correction factors 1.41/1.52 and the
//      channel's own frequencies with its amplitudes (an amplitude below 0.0001 sent as
//      0.06); first generation: 0.2/0.2 at the first-generation frequencies on all four
//      channels
//   3. tones on, 2 s; calibration started, 4 s
//   4. completion polled every 2 s; the 31st poll ends it as failed (tones off)
//   5. readings read, tones off, result stored in the channel
//   6. second generation: the channel's own signal written back
//
// The channel's own signal is written back after a success and whenever a step after a
// successful signal write fails, so a failed calibration does not leave the line driven
// with the calibration amplitudes; not after the poll limit, which already switched the
// tones off.
#include "backend/calibration/load_monitor.h"

#include "backend/requests/request_engine.h"
#include "common/log/log.h"

#include <cmath>
#include <mutex>
#include <stdexcept>

namespace nox {

namespace {

// The channel's own tone settings as stored, with the texts for the log ("-" when absent).
struct tone_settings {
    std::array<int, 2> frequencies{};
    std::array<float, 2> amplitudes{};
    std::string frequency_texts;
    std::string amplitude_texts;
};

std::string text_or_dash(const model& channel, const std::string& key) {
    return channel.has(key) ? channel.at(key) : std::string("-");
}

int read_frequency(const model& channel, const std::string& key, unsigned fallback) {
    if (!channel.has(key)) return static_cast<int>(fallback);
    const std::string& text = channel.at(key);
    float value = 0.0f;
    try {
        value = parse_float(text);
    } catch (const std::invalid_argument&) {
        value = NAN;
    }
    // Tones lie far below a megahertz; anything else (negative, not finite) is no setting.
    if (!std::isfinite(value) || value < 0.0f || value >= 1.0e6f)
        throw std::invalid_argument(key + " is not a frequency: \"" + text + "\"");
    return static_cast<int>(std::floor(value));
}

float read_amplitude(const model& channel, const std::string& key) {
    if (!channel.has(key)) return pilot::default_amplitude;
    const std::string& text = channel.at(key);
    float value = NAN;
    try {
        value = parse_float(text);
    } catch (const std::invalid_argument&) {
    }
    if (!std::isfinite(value)) throw std::invalid_argument(key + " is not an amplitude: \"" + text + "\"");
    return value;
}

tone_settings read_tone_settings(const model& channel) {
    tone_settings s;
    s.frequencies = {read_frequency(channel, "t1_frequency", pilot::default_frequency_1),
                     read_frequency(channel, "t2_frequency", pilot::default_frequency_2)};
    s.amplitudes = {read_amplitude(channel, "t1_amplitude"), read_amplitude(channel, "t2_amplitude")};
    s.frequency_texts = text_or_dash(channel, "t1_frequency") + " " + text_or_dash(channel, "t2_frequency");
    s.amplitude_texts = text_or_dash(channel, "t1_amplitude") + " " + text_or_dash(channel, "t2_amplitude");
    return s;
}

float calibration_amplitude(float amplitude) {
    return amplitude < pilot::amplitude_floor ? pilot::default_amplitude : amplitude;
}

// The result record's channel attributes, in the order of the readings' ten floats.
const char* const result_keys[] = {
    "t1_lower_threshold", "t2_lower_threshold", "t1_upper_threshold", "t2_upper_threshold",
    "t1_ref_impedance",   "t2_ref_impedance",   "t1_read_impedance",  "t2_read_impedance",
    "t1_factor",          "t2_factor",
};
// Their log labels (the reference impedances are logged as "threshold"), in log order,
// as indices into the ten floats.
const struct {
    const char* label;
    int field;
} result_log_lines[] = {
    {"t1_lower_threshold: ", 0}, {"t2_lower_threshold: ", 1}, {"t1_ref_threshold: ", 4},
    {"t2_ref_threshold: ", 5},   {"t1_upper_threshold: ", 2}, {"t2_upper_threshold: ", 3},
    {"t1_read_impedance: ", 6},  {"t2_read_impedance: ", 7},  {"t1_factor: ", 8},
    {"t2_factor: ", 9},
};

std::array<float, 10> result_fields(const amp::pilot_readings& r) {
    return {r.thresholds[0], r.thresholds[1], r.thresholds[2], r.thresholds[3], r.ref_impedances[0],
            r.ref_impedances[1], r.readings[0], r.readings[1], r.factors[0], r.factors[1]};
}

}  // namespace

int load_monitor::calibrate_pilot_tones(const model& request) {
    reason_.clear();
    log_line("calibrating pilot tones");
    const auto operations = dev_.lock_operations();

    const located_channel at = locate(request);
    if (at.index < 0) return 1;
    const int k = at.index;
    const tone_settings own = read_tone_settings(at.channel());
    log_line("\tfreqs: " + own.frequency_texts);
    log_line("\tampls: " + own.amplitude_texts);
    const bool second_generation = dev_.ptg2_support();
    // A first-generation signal override that cannot be used fails before anything is sent.
    const std::array<int, 2> all_channel_frequencies =
        second_generation ? std::array<int, 2>{} : first_generation_frequencies(engine_.store().get_settings());

    step("writing reference impedances");
    log_line("\tset ref imps");
    int result = dev_.write_ref_impedance(k, {pilot::reference_impedance, pilot::reference_impedance});
    if (result != amp::result_ok) return device_failure("write_ref_impedance", result);

    step("writing the calibration signal");
    if (second_generation) {
        result = dev_.write_pilot_factor(k, pilot::second_generation_factors);
        if (result != amp::result_ok) return device_failure("write_pilot_factor", result);
        result = dev_.write_pilot_signal(k, own.frequencies,
                                         {calibration_amplitude(own.amplitudes[0]),
                                          calibration_amplitude(own.amplitudes[1])});
        if (result != amp::result_ok) return device_failure("write_pilot_signal", result);
    } else {
        result = dev_.write_pilot_signal_all(all_channel_frequencies, pilot::first_generation_levels);
        if (result != amp::result_ok) return device_failure("write_pilot_signal_all", result);
    }

    // From here on a failure writes the channel's own signal back first.
    const auto restore = [&] {
        if (!second_generation) return;
        const int r = dev_.write_pilot_signal(k, own.frequencies, own.amplitudes);
        if (r != amp::result_ok)
            log_line("could not restore the pilot signal of channel index " + std::to_string(k) + ": " +
                     std::to_string(r));
    };
    const auto fail_restoring = [&](int failed) {
        restore();
        return failed;
    };

    step("switching the pilot tones on");
    log_line("\tenable ptg2");
    if ((result = set_pilot_enable(k, 1)) != amp::result_ok) return fail_restoring(result);
    if (!pause(pilot::enable_pause_ms)) return fail_restoring(1);

    const int selector = pilot::selector(second_generation, k);
    step("starting the calibration");
    result = dev_.start_calibration(selector);
    if (result != amp::result_ok) return fail_restoring(device_failure("start_calibration", result));
    log_line("\tstart ptg2 calib");
    if (!pause(pilot::start_pause_ms)) return fail_restoring(1);

    for (int poll = 1;; ++poll) {
        step("calibrating: poll " + std::to_string(poll) + " of " + std::to_string(pilot::max_polls));
        int done = 0;
        result = dev_.calibration_done(selector, done);
        if (result != amp::result_ok) return fail_restoring(device_failure("calibration_done", result));
        if (!done && !pause(pilot::poll_pause_ms)) return fail_restoring(1);
        if (poll == pilot::max_polls) {
            log_line("ptg2 - bailing out due to max retries");
            set_pilot_enable(k, 0);
            return fail(1, "calibration not completed after " + std::to_string(pilot::max_polls) + " polls");
        }
        if (done) break;
    }

    step("reading the results");
    amp::pilot_readings readings{};
    result = dev_.read_pilot(k, readings);
    if (result != amp::result_ok) return fail_restoring(device_failure("read_pilot", result));
    step("switching the pilot tones off");
    if ((result = set_pilot_enable(k, 0)) != amp::result_ok) return fail_restoring(result);
    log_line("calibration done!");

    const std::array<float, 10> fields = result_fields(readings);
    model update(at.channel().id());
    for (std::size_t i = 0; i < fields.size(); ++i) update.set(result_keys[i], format_float(fields[i]));
    log_line("ptg2 calibration result (raw)");
    for (const auto& line : result_log_lines) log_line(line.label + format_float(fields[line.field]));
    update.set("last_calibrated", env_.local_time());
    update.set("enabled_tones", "0");
    update.set("enabled_analyser", "0");
    engine_.enqueue_write("channels", update);
    log_line("ptg2 calibration result");

    step("restoring the channel's signal");
    restore();
    return amp::result_ok;
}

}  // namespace nox
