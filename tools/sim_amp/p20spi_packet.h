// The simulated amplifier's own reading and writing of P20SPI packets, written from the
// protocol description independently of the backend's codec, so that a misunderstanding
// shared by both sides cannot hide.
//
// A packet is a list of 32-bit words in host order; byte k of the packet is byte (k % 4)
// of word k / 4, least significant first. Header bytes: 0 command code, 2 length in
// words, 3 checksum, 5 block, 6..7 first index (big-endian), 10 return code, 11 count;
// parameter words from byte 12, each big-endian.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim_amp {

class amplifier_model;

std::uint8_t packet_byte(const std::vector<std::uint32_t>& words, std::size_t index);
void set_packet_byte(std::vector<std::uint32_t>& words, std::size_t index, std::uint8_t value);
// Fletcher (mod 255) second sum over the first `length` words with byte 3 as 0.
std::uint8_t packet_checksum(const std::vector<std::uint32_t>& words, std::size_t length);

// Answers one P20SPI packet from the amplifier's model: parameter read (16) and write (18)
// through `amplifier_model::read_words` / `write_words`, monitor read (34) from the
// monitor block; any other command answers a fault packet (15).
std::vector<std::uint32_t> answer_packet(amplifier_model& amp, const std::vector<std::uint32_t>& words);

}  // namespace sim_amp
