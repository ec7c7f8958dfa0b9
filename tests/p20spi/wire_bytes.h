// Test-side builders for P20SPI packets, written from the wire layout and deliberately
// independent of the production codec: packets are lists of bytes in memory order, turned
// into host words (byte k of a word is bits 8k..8k+7), with a closed-form checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace p20spi_test {

using bytes_t = std::vector<std::uint8_t>;
using words_t = std::vector<std::uint32_t>;

// Fletcher (mod 255) second sum in closed form: sum over i of (n - i) * b[i], byte 3 as 0.
inline std::uint8_t reference_checksum(const bytes_t& bytes) {
    std::uint64_t sum = 0;
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n; ++i) {
        sum += (i == 3 ? 0 : bytes[i]) * static_cast<std::uint64_t>(n - i);
    }
    return static_cast<std::uint8_t>(sum % 255);
}

// Pads to whole words with zeros and packs little-endian per word.
inline words_t to_words(const bytes_t& bytes) {
    words_t words((bytes.size() + 3) / 4, 0);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        words[i / 4] |= std::uint32_t{bytes[i]} << (8 * (i % 4));
    }
    return words;
}

inline bytes_t to_bytes(std::span<const std::uint32_t> words) {
    bytes_t bytes;
    for (std::uint32_t w : words) {
        for (unsigned k = 0; k < 4; ++k) {
            bytes.push_back(static_cast<std::uint8_t>(w >> (8 * k)));
        }
    }
    return bytes;
}

inline void append_be32(bytes_t& bytes, std::uint32_t v) {
    bytes.push_back(static_cast<std::uint8_t>(v >> 24));
    bytes.push_back(static_cast<std::uint8_t>(v >> 16));
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes.push_back(static_cast<std::uint8_t>(v));
}

// A whole packet: header (code, tag 0, length = words in the result unless overridden,
// checksum), then `body` (bytes 4.. in order), padded to whole words, then sealed.
inline bytes_t packet_bytes(std::uint8_t code, const bytes_t& body, int length_override = -1) {
    bytes_t bytes(4 + body.size(), 0);
    bytes[0] = code;
    for (std::size_t i = 0; i < body.size(); ++i) {
        bytes[4 + i] = body[i];
    }
    while (bytes.size() % 4 != 0) {
        bytes.push_back(0);
    }
    bytes[2] = static_cast<std::uint8_t>(length_override >= 0 ? length_override
                                                              : static_cast<int>(bytes.size() / 4));
    bytes[3] = reference_checksum(bytes);
    return bytes;
}

// Read (17) or write (19) response: block, index, return code byte, count, values.
inline bytes_t param_response(std::uint8_t code, std::uint8_t block, std::uint16_t index,
                              std::uint8_t return_code, std::uint8_t count,
                              std::initializer_list<std::uint32_t> values = {}) {
    bytes_t body{0, block, static_cast<std::uint8_t>(index >> 8),
                 static_cast<std::uint8_t>(index), 0, 0, return_code, count};
    for (std::uint32_t v : values) {
        append_be32(body, v);
    }
    return packet_bytes(code, body);
}

// Monitor response (35, 61 words) whose block words 0..59 are given; each sits big-endian
// in the packet bytes, which is how the amplifier's own byte order comes out of a port.
inline bytes_t monitor_response(const words_t& block) {
    bytes_t body;
    for (std::size_t w = 0; w < 60; ++w) {
        append_be32(body, w < block.size() ? block[w] : 0);
    }
    return packet_bytes(35, body);
}

}  // namespace p20spi_test
