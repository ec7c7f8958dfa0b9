// The load-pilot tones of a simulated amplifier: per channel two tones with frequency,
// amplitude, thresholds, reference impedance, correction factor, the line's cable
// resistance, the enable pair and the last impedance readings, and the calibration that
// measures them.
//
// Calibration steps are bits of one mask, as the amplifier's calibration selector has
// them: for channel c, 0x1 << c and 0x10 << c are the two tone steps and 0x100 << c the
// analyser step. A start makes its steps pending; they finish together on the
// `calibration_polls`-th poll (never while `calibration_never_completes` is set), and
// `calibrate_channel` then measures each channel they touch.
//
// Binary view (block 5, the parameter layout of the amplifier), channel c at base 21·c:
//   +1, +2 tone amplitudes        word = value · 1000 (0..2000 <-> 0.0..2.0)
//   +3, +4 upper thresholds       impedance words (0..6000000 <-> 0..6000.00048828125 Ω)
//   +5, +6 lower thresholds       impedance words
//   +7, +8 reference impedances   impedance words
//   +9, +10 correction factors    word = value · 1000
//   +11, +20 cable resistances    word = value · 1000 (0..500000 <-> 0..500 Ω)
//   +12, +13 enable pair          raw words
//   +14, +15 readings             impedance words
//   +16, +17 frequencies          word = Hz · 1000
//   index 86                      write: start a calibration with the selector word
//   index 87                      read: the mask of finished steps; a read of index 87
//                                 alone is a calibration poll
// Other words of block 5 live in the plain word store.
//
// Thread safety: none; the owning simulator's loop drives it.
#pragma once

#include <array>
#include <cstdint>

namespace sim_amp {

class amplifier_model;

struct pilot_channel {
    std::array<float, 2> frequency{20000.0f, 22000.0f};  // Hz
    std::array<float, 2> amplitude{0.2f, 0.2f};
    std::array<float, 2> lower_threshold{4.0f, 4.0f};    // Ω
    std::array<float, 2> upper_threshold{16.0f, 16.0f};  // Ω
    std::array<float, 2> ref_impedance{8.0f, 8.0f};      // Ω
    std::array<float, 2> factor{1.41f, 1.52f};
    std::array<float, 2> reading{0.0f, 0.0f};            // Ω
    std::array<float, 2> cable_resistance{0.5f, 0.5f};   // Ω
    std::array<std::uint32_t, 2> enable{0, 0};
};

struct pilot_state {
    std::array<pilot_channel, 4> channels;
    // Steps started and not yet finished, steps finished, and after how many polls a
    // start finishes.
    std::uint32_t calibration_pending = 0;
    std::uint32_t calibration_done = 0;
    int calibration_polls = 1;
    int calibration_polls_left = 0;
    bool calibration_never_completes = false;
};

// Calibration steps of channel c.
inline constexpr std::uint32_t tone_steps(int channel) { return 0x11u << channel; }
inline constexpr std::uint32_t analyser_step(int channel) { return 0x100u << channel; }
inline constexpr std::uint32_t all_steps(int channel) { return 0x111u << channel; }

// Starts the steps of `selector` (the finished mask is cleared).
void start_calibration(amplifier_model& amp, std::uint32_t selector);
// One poll: counts down and, on the last one, finishes the pending steps. Returns the
// mask of finished steps.
std::uint32_t poll_calibration(amplifier_model& amp);
// The measurement at the end of a calibration of channel c with `steps` (its bits of the
// selector): both tones measure the channel's line (load_line.h, with the tone's cable
// resistance, at the tone's frequency; at most 6000 Ω); readings and reference impedances
// take the measured value, the thresholds 0.8 and 1.25 times it; with the tone steps the
// correction factors are trimmed for the output filter: factor · (1 + (f / 100 kHz)²).
void calibrate_channel(amplifier_model& amp, int channel, std::uint32_t steps);
// The line as tone 0 or 1 of channel c measures it now.
float tone_impedance(amplifier_model& amp, int channel, int tone);
// Updates the channel's readings to the line as it is now (after a change of its load).
void measure_tones(amplifier_model& amp, int channel);
float calibrated_factor(float factor, float hz);

inline constexpr float lower_threshold_share = 0.8f;
inline constexpr float upper_threshold_share = 1.25f;
inline constexpr double filter_corner_hz = 100000.0;

// The block-5 view above, bound into the model's parameter space.
void bind_pilot_parameters(amplifier_model& amp);

// The scales of the binary view.
std::uint32_t milli_word(float value);
float milli_value(std::uint32_t word);
std::uint32_t impedance_word(float ohms);
float impedance_value(std::uint32_t word);

inline constexpr std::uint8_t pilot_block = 5;
inline constexpr std::uint16_t pilot_channel_stride = 21;
inline constexpr std::uint16_t calibration_start_index = 86;
inline constexpr std::uint16_t calibration_done_index = 87;

}  // namespace sim_amp
