// The Mira frame format: pure functions that build the frames the backend sends and
// decode the datagrams that come back. No sockets here; docs/mira_transport.md has the
// same description with examples.
//
// Every frame is one UDP datagram to 255.255.255.255:6016. Multi-byte header fields are
// little-endian:
//
//   offset size field
//   0      4    source id, upper 32 bits
//   4      4    source id, lower 32 bits
//   8      4    destination id, upper 32 bits
//   12     4    destination id, lower 32 bits
//   16     2    route word (1 in text and binary frames; the heartbeat has the 32-bit
//               word 6 at offset 16)
//   18     2    destination kind (the target's kind)
//   20     2    frame length in bytes
//   22     2    frame type
//   24     4    sequence number
//   28     ...  payload, up to length - 4
//   len-4  4    check word (heartbeat: heartbeat hash; text and binary requests: 0)
//
// Types: 2 acknowledge (word at 28: 0xFFFFFFFE positive, anything else negative),
// 4 heartbeat (100 bytes, destination 0xFFFFFFFE:0xFFFFFFFD), 5 heartbeat reply (byte 16
// kind, byte 104 product code, offsets 0..7 the amplifier's id), 701 text (152 bytes,
// NUL-padded command text from 28), 702 binary (280 bytes, P20SPI words big-endian from
// 28; in a reply byte 29, the length byte of the packet header, counts the words).
//
// Untrusted input: decoders check every offset against the datagram's size and the
// frame's own length field before reading, and report a damaged frame instead.
//
// Thread safety: every function is pure and reentrant.
#pragma once

#include "backend/amp/device_types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nox::amp::mira {

inline constexpr std::uint16_t udp_port = 6016;

inline constexpr std::uint16_t type_ack = 2;
inline constexpr std::uint16_t type_heartbeat = 4;
inline constexpr std::uint16_t type_heartbeat_reply = 5;
inline constexpr std::uint16_t type_text = 701;
inline constexpr std::uint16_t type_binary = 702;

inline constexpr std::size_t header_size = 28;       // up to and including the sequence number
inline constexpr std::size_t check_size = 4;
inline constexpr std::size_t min_frame_size = header_size + check_size;
inline constexpr std::size_t heartbeat_size = 100;
inline constexpr std::size_t heartbeat_reply_min_size = 105;
inline constexpr std::size_t text_frame_size = 152;
inline constexpr std::size_t binary_frame_size = 280;
inline constexpr std::size_t receive_buffer_size = 560;
// Payload of a text frame: what a reply may hand back (bytes 28..147).
inline constexpr std::size_t text_payload_size = text_frame_size - min_frame_size;  // 120
// Longest command: one NUL must remain before the check word.
inline constexpr std::size_t max_command_length = text_payload_size - 1;           // 119
// P20SPI words that fit in a binary frame before the check word.
inline constexpr std::size_t max_binary_words = (binary_frame_size - min_frame_size) / 4;  // 62

inline constexpr std::uint32_t positive_ack = 0xFFFFFFFEu;
inline constexpr std::uint64_t heartbeat_destination = 0xFFFFFFFEFFFFFFFDull;
inline constexpr std::uint8_t min_product_code = 19;
inline constexpr std::uint8_t max_product_code = 27;

// The fields every frame starts with.
struct frame_header {
    std::uint64_t source = 0;
    std::uint64_t destination = 0;
    std::uint16_t route = 0;
    std::uint16_t kind = 0;
    std::uint16_t length = 0;
    std::uint16_t type = 0;
    std::uint32_t sequence = 0;
};

// Little-endian field access on a byte buffer (the caller guarantees the bounds).
std::uint16_t get_le16(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t get_le32(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t get_be32(std::span<const std::uint8_t> bytes, std::size_t offset);
void put_le16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value);
void put_le32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);
void put_be32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

// Writes the header fields into the first 28 bytes of `frame` (at least 28 bytes).
void write_header(std::span<std::uint8_t> frame, const frame_header& header);
// Reads the header; nullopt when the datagram is shorter than 28 bytes.
std::optional<frame_header> read_header(std::span<const std::uint8_t> datagram);

// The heartbeat hash over bytes 0..95: for each little-endian 16-bit word w in order,
// b = bit 31 of h XOR bit 18 of h; h = (h << 1) | b; h ^= w. Needs at least 96 bytes.
std::uint32_t heartbeat_hash(std::span<const std::uint8_t> frame);

// The 100-byte heartbeat from `source` with `sequence`, hash in place.
std::array<std::uint8_t, heartbeat_size> build_heartbeat(std::uint64_t source, std::uint32_t sequence);

// A 152-byte text request to `target`; nullopt when `command` is longer than 119 bytes
// or holds a NUL (it would not reach the amplifier as sent).
std::optional<std::array<std::uint8_t, text_frame_size>> build_text_frame(
    const device_address& target, std::uint64_t source, std::uint32_t sequence, const std::string& command);

// A 280-byte binary request carrying `words` (host order) big-endian from offset 28;
// nullopt with more than 62 words.
std::optional<std::array<std::uint8_t, binary_frame_size>> build_binary_frame(
    const device_address& target, std::uint64_t source, std::uint32_t sequence,
    std::span<const std::uint32_t> words);

// A heartbeat reply that passes discovery's checks.
struct heartbeat_reply {
    device_address address;      // id from offsets 0..7, kind from byte 16
    std::uint8_t product = 0;    // byte 104
};

// Why a heartbeat reply was not taken.
enum class heartbeat_verdict { accepted, too_short, not_a_reply, wrong_product, wrong_kind };

heartbeat_verdict decode_heartbeat_reply(std::span<const std::uint8_t> datagram, heartbeat_reply& reply);

// What a datagram means to one exchange (identified by the request's source id and
// sequence number).
enum class reply_kind {
    not_ours,      // too short to tell, or another sequence number or destination
    damaged,       // ours, but its length field or word count does not fit what arrived
    ack,           // type 2, positive
    nak,           // type 2, negative
    text,          // type 701; payload holds the bytes from offset 28
    binary,        // type 702; words holds the reply words in host order
    unknown_type,  // ours, of another type: logged and ignored
};

struct exchange_reply {
    reply_kind kind = reply_kind::not_ours;
    std::uint16_t type = 0;
    // Text replies: bytes 28 .. length-5, at most 120 (the caller's buffer).
    std::vector<std::uint8_t> payload;
    // Binary replies: the words counted by byte 29, converted from big-endian.
    std::vector<std::uint32_t> words;
    // Text reply whose status word has a dirty flag (bit 13 or 14) set.
    bool dirty = false;
};

exchange_reply decode_reply(std::span<const std::uint8_t> datagram, std::uint64_t request_source,
                            std::uint32_t request_sequence);

// One exchange of a batch (CVeltoEthPort::transact_batch): what goes out and what came
// back, as a single exchange would have given it.
struct batch_exchange {
    // A text command, or with `binary` the P20SPI packet in `packet` (host order, header
    // first, as many words as its length byte says).
    bool binary = false;
    std::string command;
    std::vector<std::uint32_t> packet;

    // The port's result (0, 1, 3, 8, 13), the raw text payload (at most 120 bytes) or the
    // binary reply's words.
    int result = 13;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint32_t> words;
    // The log lines a single exchange would have written ("transceive_vkt_raw: " and the
    // command for a text exchange, then any damaged, unknown or dirty-flag notes of its
    // replies), in order, left for the caller to log when it uses the reply.
    std::vector<std::string> lines;
};

// The reply text of a text payload: the bytes up to the first NUL, or all of them.
std::string payload_text(std::span<const std::uint8_t> payload);

}  // namespace nox::amp::mira
