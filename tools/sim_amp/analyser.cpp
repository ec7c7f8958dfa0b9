#include "tools/sim_amp/analyser.h"

#include "tools/sim_amp/amplifier_model.h"
#include "tools/sim_amp/load_line.h"

#include <bit>

namespace sim_amp {

namespace {

constexpr float default_cable_ohms = 0.5f;

int selected_channel(amplifier_model& amp) {
    for (int c = 0; c < channel_count; ++c)
        if (amp.params[{analyser_control_block, std::uint16_t(1 + c)}] == 1) return c;
    return -1;
}

void measure_sweep(amplifier_model& amp) {
    const int c = selected_channel(amp);
    if (c < 0) return;
    const bool switched_on = word_float(amp.params[{analyser_data_block, analyser_switch_index(c)}]) == 1.0f;
    const double cable = analyser_cable_ohms(amp, c);
    for (int i = 0; i < sweep_points; ++i) {
        const std::complex<double> z =
            switched_on ? line_impedance(amp.lines[c], cable, sweep_frequency(i)) : std::complex<double>{};
        amp.params[{analyser_data_block, sweep_real_index(c, i)}] = float_word(float(z.real()));
        amp.params[{analyser_data_block, sweep_imag_index(c, i)}] = float_word(float(z.imag()));
    }
}

void measure_dc(amplifier_model& amp) {
    for (int c = 0; c < channel_count; ++c) {
        const double ohms = line_dc_resistance(amp.lines[c], analyser_cable_ohms(amp, c));
        amp.params[{analyser_data_block, dc_resistance_index(c)}] = float_word(float(ohms));
    }
}

// A poll: counts down and, on the last one, measures.
std::uint32_t poll(amplifier_model& amp) {
    analyser_state& a = amp.analyser;
    if (a.running && a.polls_left > 0) --a.polls_left;
    if (a.running && !a.never_completes && a.polls_left <= 0) {
        if (a.command == analyser_sweep) measure_sweep(amp);
        if (a.command == analyser_dc_resistance) measure_dc(amp);
        a.running = false;
    }
    return a.running ? 0 : 1;
}

std::uint32_t read_control(amplifier_model& amp, std::uint16_t index, bool alone) {
    if (index == analyser_command_index) return amp.analyser.command;
    if (index == analyser_completion_index) return alone ? poll(amp) : (amp.analyser.running ? 0 : 1);
    return amp.params[{analyser_control_block, index}];
}

void write_control(amplifier_model& amp, std::uint16_t index, std::uint32_t word) {
    if (index == analyser_command_index) {
        analyser_state& a = amp.analyser;
        a.command = word;
        a.running = true;
        a.polls_left = a.polls;
        return;
    }
    if (index != analyser_completion_index) amp.params[{analyser_control_block, index}] = word;
}

}  // namespace

std::uint32_t float_word(float value) { return std::bit_cast<std::uint32_t>(value); }
float word_float(std::uint32_t word) { return std::bit_cast<float>(word); }

float analyser_cable_ohms(amplifier_model& amp, int channel) {
    return word_float(amp.params[{analyser_data_block, analyser_cable_index(channel)}]);
}

void bind_analyser_parameters(amplifier_model& amp) {
    amp.bind({analyser_control_block, analyser_command_index, analyser_completion_index, read_control, write_control});
    for (int c = 0; c < channel_count; ++c)
        amp.params[{analyser_data_block, analyser_cable_index(c)}] = float_word(default_cable_ohms);
}

}  // namespace sim_amp
