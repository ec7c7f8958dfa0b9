// The simulator's own reading and writing of Mira frames and P20SPI packets, written from
// the protocol description independently of the backend's codec, so that a
// misunderstanding shared by both sides cannot hide.
//
// Frame header (little-endian fields): source id high/low (0, 4), destination id
// high/low (8, 12), route (16), kind (18), length (20), type (22), sequence (24); payload
// from 28; check word in the last 4 bytes. Types: 2 ack, 4 heartbeat, 5 heartbeat reply,
// 701 text, 702 binary (P20SPI words, each big-endian).
//
// Thread safety: pure functions.
#pragma once

#include "tools/sim_amp/p20spi_packet.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mira_sim {

using bytes = std::vector<std::uint8_t>;

struct request {
    std::uint64_t source = 0;
    std::uint64_t destination = 0;
    std::uint16_t route = 0;
    std::uint16_t kind = 0;
    std::uint16_t length = 0;
    std::uint16_t type = 0;
    std::uint32_t sequence = 0;
    std::string text;                   // 701: command up to the first NUL
    std::vector<std::uint32_t> words;   // 702: packet words in host order
    bool hash_ok = false;               // 4: the heartbeat hash matches
};

// Parses an incoming datagram; nullopt when it is shorter than a header or its length
// field does not fit what arrived.
std::optional<request> parse_request(std::span<const std::uint8_t> datagram);

// The hash of a heartbeat over bytes 0..95.
std::uint32_t heartbeat_check(std::span<const std::uint8_t> frame);

struct reply_address {
    std::uint64_t amplifier = 0;   // our id, written as the source
    std::uint16_t kind = 0;
    std::uint64_t requester = 0;   // the request's source id, written as the destination
    std::uint32_t sequence = 0;
};

bytes heartbeat_reply(std::uint64_t amplifier, std::uint8_t kind, std::uint8_t product, std::uint32_t sequence,
                      std::uint64_t requester);
bytes text_reply(const reply_address& to, const std::string& payload);
bytes binary_reply(const reply_address& to, const std::vector<std::uint32_t>& words);
bytes ack_reply(const reply_address& to, std::uint32_t word);

// Frame field helpers.
void set16(bytes& frame, std::size_t offset, std::uint16_t value);
void set32(bytes& frame, std::size_t offset, std::uint32_t value);
std::uint32_t get32(std::span<const std::uint8_t> frame, std::size_t offset);

// P20SPI packets as words in host order (the amplifier model's codec).
using sim_amp::packet_byte;
using sim_amp::packet_checksum;
using sim_amp::set_packet_byte;

std::string id_text(std::uint64_t id);
std::optional<std::uint64_t> parse_id(const std::string& text);

}  // namespace mira_sim
