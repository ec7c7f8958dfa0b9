#include "tools/sim_amp/pilot.h"

#include "tools/sim_amp/amplifier_model.h"
#include "tools/sim_amp/load_line.h"

#include <algorithm>

#include <cmath>

namespace sim_amp {

namespace {

// The impedance scale: words 0..6000000 for 0..6000.00048828125 Ω.
constexpr double impedance_words = 6000000.0;
constexpr double impedance_ohms = 6000.00048828125;

std::uint32_t clamp_word(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 4294967295.0) return 0xFFFFFFFFu;
    return std::uint32_t(std::llround(value));
}

// Where a block-5 offset of a channel lives, as a pointer to one float of a pair.
enum class pilot_field { none, amplitude, upper, lower, ref, factor, cable1, cable2, enable, reading, frequency };

struct field_at {
    pilot_field field = pilot_field::none;
    int tone = 0;
};

field_at field_of(std::uint16_t offset) {
    switch (offset) {
    case 1: case 2: return {pilot_field::amplitude, offset - 1};
    case 3: case 4: return {pilot_field::upper, offset - 3};
    case 5: case 6: return {pilot_field::lower, offset - 5};
    case 7: case 8: return {pilot_field::ref, offset - 7};
    case 9: case 10: return {pilot_field::factor, offset - 9};
    case 11: return {pilot_field::cable1, 0};
    case 12: case 13: return {pilot_field::enable, offset - 12};
    case 14: case 15: return {pilot_field::reading, offset - 14};
    case 16: case 17: return {pilot_field::frequency, offset - 16};
    case 20: return {pilot_field::cable2, 1};
    default: return {};
    }
}

std::uint32_t read_pilot_word(amplifier_model& amp, std::uint16_t index, bool alone) {
    if (index == calibration_done_index) return alone ? poll_calibration(amp) : amp.pilot.calibration_done;
    if (index >= 4 * pilot_channel_stride) return amp.params[{pilot_block, index}];
    const pilot_channel& ch = amp.pilot.channels[index / pilot_channel_stride];
    const field_at at = field_of(index % pilot_channel_stride);
    switch (at.field) {
    case pilot_field::amplitude: return milli_word(ch.amplitude[at.tone]);
    case pilot_field::upper: return impedance_word(ch.upper_threshold[at.tone]);
    case pilot_field::lower: return impedance_word(ch.lower_threshold[at.tone]);
    case pilot_field::ref: return impedance_word(ch.ref_impedance[at.tone]);
    case pilot_field::factor: return milli_word(ch.factor[at.tone]);
    case pilot_field::cable1:
    case pilot_field::cable2: return milli_word(ch.cable_resistance[at.tone]);
    case pilot_field::enable: return ch.enable[at.tone];
    case pilot_field::reading: return impedance_word(ch.reading[at.tone]);
    case pilot_field::frequency: return milli_word(ch.frequency[at.tone]);
    case pilot_field::none: break;
    }
    return amp.params[{pilot_block, index}];
}

void write_pilot_word(amplifier_model& amp, std::uint16_t index, std::uint32_t word) {
    if (index == calibration_start_index) {
        start_calibration(amp, word);
        return;
    }
    if (index >= 4 * pilot_channel_stride) {
        amp.params[{pilot_block, index}] = word;
        return;
    }
    pilot_channel& ch = amp.pilot.channels[index / pilot_channel_stride];
    const field_at at = field_of(index % pilot_channel_stride);
    switch (at.field) {
    case pilot_field::amplitude: ch.amplitude[at.tone] = milli_value(word); return;
    case pilot_field::upper: ch.upper_threshold[at.tone] = impedance_value(word); return;
    case pilot_field::lower: ch.lower_threshold[at.tone] = impedance_value(word); return;
    case pilot_field::ref: ch.ref_impedance[at.tone] = impedance_value(word); return;
    case pilot_field::factor: ch.factor[at.tone] = milli_value(word); return;
    case pilot_field::cable1:
    case pilot_field::cable2: ch.cable_resistance[at.tone] = milli_value(word); return;
    case pilot_field::enable: ch.enable[at.tone] = word; return;
    case pilot_field::reading: ch.reading[at.tone] = impedance_value(word); return;
    case pilot_field::frequency: ch.frequency[at.tone] = milli_value(word); return;
    case pilot_field::none: break;
    }
    amp.params[{pilot_block, index}] = word;
}

}  // namespace

std::uint32_t milli_word(float value) { return clamp_word(double(value) * 1000.0); }
float milli_value(std::uint32_t word) { return float(double(word) / 1000.0); }
std::uint32_t impedance_word(float ohms) { return clamp_word(double(ohms) * impedance_words / impedance_ohms); }
float impedance_value(std::uint32_t word) { return float(double(word) * impedance_ohms / impedance_words); }

void start_calibration(amplifier_model& amp, std::uint32_t selector) {
    amp.pilot.calibration_pending = selector & 0xFFFu;
    amp.pilot.calibration_done = 0;
    amp.pilot.calibration_polls_left = amp.pilot.calibration_polls;
}

std::uint32_t poll_calibration(amplifier_model& amp) {
    pilot_state& p = amp.pilot;
    if (p.calibration_pending != 0 && !p.calibration_never_completes && --p.calibration_polls_left <= 0) {
        for (int c = 0; c < channel_count; ++c) {
            const std::uint32_t steps = p.calibration_pending & all_steps(c);
            if (steps != 0) calibrate_channel(amp, c, steps);
        }
        p.calibration_done |= p.calibration_pending;
        p.calibration_pending = 0;
    }
    return p.calibration_done;
}

float tone_impedance(amplifier_model& amp, int channel, int tone) {
    const pilot_channel& ch = amp.pilot.channels[channel];
    const double ohms = std::abs(line_impedance(amp.lines[channel], ch.cable_resistance[tone], ch.frequency[tone]));
    return float(std::min(ohms, impedance_ohms));
}

void measure_tones(amplifier_model& amp, int channel) {
    pilot_channel& ch = amp.pilot.channels[channel];
    for (int t = 0; t < 2; ++t) ch.reading[t] = tone_impedance(amp, channel, t);
}

float calibrated_factor(float factor, float hz) {
    const double f = double(hz) / filter_corner_hz;
    return float(double(factor) * (1.0 + f * f));
}

void calibrate_channel(amplifier_model& amp, int channel, std::uint32_t steps) {
    pilot_channel& ch = amp.pilot.channels[channel];
    measure_tones(amp, channel);
    for (int t = 0; t < 2; ++t) {
        const float z = ch.reading[t];
        ch.ref_impedance[t] = z;
        ch.lower_threshold[t] = lower_threshold_share * z;
        ch.upper_threshold[t] = upper_threshold_share * z;
        if (steps & tone_steps(channel)) ch.factor[t] = calibrated_factor(ch.factor[t], ch.frequency[t]);
    }
}

void bind_pilot_parameters(amplifier_model& amp) {
    amp.bind({pilot_block, 0, calibration_done_index, read_pilot_word, write_pilot_word});
}

}  // namespace sim_amp
