// The amplifier's load analyser as seen through its binary parameters, and the pure
// conversions of what it measures into the texts of an `impedance_sweeps` record.
//
// Parameter layout (32-bit P20SPI words; channel k = 0..3):
//
//   block 6, index 0          command word: 3 = run the impedance sweep, 2 = measure the
//                             DC resistance
//   block 6, index 1..4       channel selection, one word per channel (1 = selected)
//   block 6, index 5          completion word: non-zero once the last command finished
//   block 4, 3 + 375k         cable resistance of channel k (float bits)
//   block 4, 369 + 375k       analyser switch of channel k (written with the float 1.0)
//   block 4, 1536..1539       DC resistance of channels 1..4 (float bits)
//   block 4, 1540 + 296k ..   sweep data of channel k: 296 words of float bits, the 148
//            1835 + 296k      real parts followed by the 148 imaginary parts
//
// Everything here is a pure function of its arguments; any thread may call it.
#pragma once

#include "backend/amp/device_types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nox::analyser {

inline constexpr std::uint8_t control_block = 6;
inline constexpr std::uint16_t command_index = 0;
inline constexpr std::uint16_t selection_first = 1;
inline constexpr std::uint16_t completion_index = 5;
inline constexpr std::uint32_t command_sweep = 3;
inline constexpr std::uint32_t command_dc_resistance = 2;

inline constexpr std::uint8_t data_block = 4;
inline constexpr int channel_stride = 375;
inline constexpr std::uint16_t cable_resistance_offset = 3;
inline constexpr std::uint16_t switch_offset = 369;
inline constexpr std::uint16_t dc_resistance_first = 1536;
inline constexpr std::uint16_t sweep_first = 1540;
inline constexpr int sweep_points = 148;
inline constexpr int sweep_words = 2 * sweep_points;  // reals, then imaginary parts
inline constexpr int read_chunk = 50;                 // words per parameter read
inline constexpr int channel_count = 4;

// Where channel k's values live.
amp::param_range cable_resistance_range(int channel);
amp::param_range switch_range(int channel);
amp::param_range sweep_range(int channel);
amp::param_range dc_resistance_range();

// The one-hot selection words of channel k (block 6, indices 1..4).
std::vector<std::uint32_t> channel_selection(int channel);

// `range` cut into consecutive reads of at most `chunk` words, the last one ending at the
// range's last index.
std::vector<amp::param_range> chunks(const amp::param_range& range, int chunk = read_chunk);

// IEEE-754 single-precision bit patterns.
std::uint32_t float_bits(float value);
float bits_float(std::uint32_t word);
std::vector<float> bits_floats(const std::vector<std::uint32_t>& words);

// The sweep texts: each value with six decimals ("%f"), separated by single blanks.
struct sweep_texts {
    std::string reals;
    std::string imags;
    std::string abs;
};
// Splits the measured values into their first half (real parts) and second half
// (imaginary parts) and adds the magnitudes sqrt(re² + im²).
sweep_texts sweep_record_texts(const std::vector<float>& values);

// "Payload size: <n>\n<v1> <v2> ... \n***\n", the log form of measured values.
std::string payload_text(const std::vector<float>& values);

}  // namespace nox::analyser
