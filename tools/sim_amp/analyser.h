// The load analyser of a simulated amplifier: a command written to block 6 runs on the
// selected channel's loudspeaker line (load_line.h) and finishes after a settable number
// of polls of its completion word, leaving its measurement in block 4.
//
// Parameter words (channel k = 0..3):
//   block 6, index 0          command: 3 sweeps the selected channel, 2 measures the DC
//                             resistance of every channel; any write starts it anew
//   block 6, index 1..4       channel selection (1 = selected); the first selected runs
//   block 6, index 5          completion: 0 while a command runs, 1 when it finished; a
//                             read of this word alone is a poll
//   block 4, 3 + 375k         the channel's cable resistance (float bits; 0.5 Ω at start)
//   block 4, 369 + 375k       the channel's analyser switch (float bits; a sweep measures
//                             only while it holds 1.0, and reads zeros otherwise)
//   block 4, 1536..1539       DC resistances of channels 1..4 (float bits)
//   block 4, 1540 + 296k ..   the sweep of channel k: the 148 real parts, then the 148
//            1835 + 296k      imaginary parts (float bits)
// Every other word of these blocks lives in the plain word store.
//
// Faults: `never_completes` keeps the completion word at 0 for ever; a channel whose
// line is not connected measures as an open line.
//
// Thread safety: none; the owning simulator's loop drives it.
#pragma once

#include <cstdint>

namespace sim_amp {

class amplifier_model;

struct analyser_state {
    std::uint32_t command = 0;  // the command running or last finished
    bool running = false;
    int polls = 2;              // polls until a command finishes
    int polls_left = 0;
    bool never_completes = false;
};

inline constexpr std::uint8_t analyser_control_block = 6;
inline constexpr std::uint16_t analyser_command_index = 0;
inline constexpr std::uint16_t analyser_completion_index = 5;
inline constexpr std::uint8_t analyser_data_block = 4;
inline constexpr std::uint32_t analyser_sweep = 3;
inline constexpr std::uint32_t analyser_dc_resistance = 2;

inline constexpr std::uint16_t analyser_cable_index(int channel) { return std::uint16_t(3 + 375 * channel); }
inline constexpr std::uint16_t analyser_switch_index(int channel) { return std::uint16_t(369 + 375 * channel); }
inline constexpr std::uint16_t dc_resistance_index(int channel) { return std::uint16_t(1536 + channel); }
inline constexpr std::uint16_t sweep_real_index(int channel, int point) {
    return std::uint16_t(1540 + 296 * channel + point);
}
inline constexpr std::uint16_t sweep_imag_index(int channel, int point) {
    return std::uint16_t(1540 + 296 * channel + 148 + point);
}

// The analyser's words above, bound into the model's parameter space, with the cable
// resistances at their starting value.
void bind_analyser_parameters(amplifier_model& amp);

// The cable resistance the analyser uses for channel k (its block-4 word).
float analyser_cable_ohms(amplifier_model& amp, int channel);

std::uint32_t float_word(float value);
float word_float(std::uint32_t word);

}  // namespace sim_amp
