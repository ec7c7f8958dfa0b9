#include "backend/amp/mira_frame.h"

#include <algorithm>

namespace nox::amp::mira {

std::uint16_t get_le16(std::span<const std::uint8_t> b, std::size_t o) {
    return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8));
}

std::uint32_t get_le32(std::span<const std::uint8_t> b, std::size_t o) {
    return std::uint32_t{b[o]} | (std::uint32_t{b[o + 1]} << 8) | (std::uint32_t{b[o + 2]} << 16) |
           (std::uint32_t{b[o + 3]} << 24);
}

std::uint32_t get_be32(std::span<const std::uint8_t> b, std::size_t o) {
    return (std::uint32_t{b[o]} << 24) | (std::uint32_t{b[o + 1]} << 16) | (std::uint32_t{b[o + 2]} << 8) |
           std::uint32_t{b[o + 3]};
}

void put_le16(std::span<std::uint8_t> b, std::size_t o, std::uint16_t v) {
    b[o] = static_cast<std::uint8_t>(v);
    b[o + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put_le32(std::span<std::uint8_t> b, std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_be32(std::span<std::uint8_t> b, std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

void write_header(std::span<std::uint8_t> frame, const frame_header& h) {
    put_le32(frame, 0, static_cast<std::uint32_t>(h.source >> 32));
    put_le32(frame, 4, static_cast<std::uint32_t>(h.source));
    put_le32(frame, 8, static_cast<std::uint32_t>(h.destination >> 32));
    put_le32(frame, 12, static_cast<std::uint32_t>(h.destination));
    put_le16(frame, 16, h.route);
    put_le16(frame, 18, h.kind);
    put_le16(frame, 20, h.length);
    put_le16(frame, 22, h.type);
    put_le32(frame, 24, h.sequence);
}

std::optional<frame_header> read_header(std::span<const std::uint8_t> d) {
    if (d.size() < header_size) return std::nullopt;
    frame_header h;
    h.source = (std::uint64_t{get_le32(d, 0)} << 32) | get_le32(d, 4);
    h.destination = (std::uint64_t{get_le32(d, 8)} << 32) | get_le32(d, 12);
    h.route = get_le16(d, 16);
    h.kind = get_le16(d, 18);
    h.length = get_le16(d, 20);
    h.type = get_le16(d, 22);
    h.sequence = get_le32(d, 24);
    return h;
}

std::uint32_t heartbeat_hash(std::span<const std::uint8_t> frame) {
    std::uint32_t h = 0;
    for (std::size_t offset = 0; offset < 96; offset += 2) {
        const std::uint32_t feedback = ((h >> 31) ^ (h >> 18)) & 1u;
        h = (h << 1) | feedback;
        h ^= get_le16(frame, offset);
    }
    return h;
}

std::array<std::uint8_t, heartbeat_size> build_heartbeat(std::uint64_t source, std::uint32_t sequence) {
    std::array<std::uint8_t, heartbeat_size> frame{};
    frame_header h;
    h.source = source;
    h.destination = heartbeat_destination;
    h.length = heartbeat_size;
    h.type = type_heartbeat;
    h.sequence = sequence;
    write_header(frame, h);
    put_le32(frame, 16, 6);  // route 6, kind 0
    put_le32(frame, 96, heartbeat_hash(frame));
    return frame;
}

namespace {

// The header of a request to one amplifier: route 1, the target's id and kind.
frame_header request_header(const device_address& target, std::uint64_t source, std::uint32_t sequence,
                            std::uint16_t length, std::uint16_t type) {
    frame_header h;
    h.source = source;
    h.destination = target.id();
    h.route = 1;
    h.kind = target.kind;
    h.length = length;
    h.type = type;
    h.sequence = sequence;
    return h;
}

}  // namespace

std::optional<std::array<std::uint8_t, text_frame_size>> build_text_frame(const device_address& target,
                                                                          std::uint64_t source,
                                                                          std::uint32_t sequence,
                                                                          const std::string& command) {
    if (command.size() > max_command_length || command.find('\0') != std::string::npos) return std::nullopt;
    std::array<std::uint8_t, text_frame_size> frame{};
    write_header(frame, request_header(target, source, sequence, text_frame_size, type_text));
    std::copy(command.begin(), command.end(), frame.begin() + header_size);
    return frame;
}

std::optional<std::array<std::uint8_t, binary_frame_size>> build_binary_frame(
    const device_address& target, std::uint64_t source, std::uint32_t sequence,
    std::span<const std::uint32_t> words) {
    if (words.size() > max_binary_words) return std::nullopt;
    std::array<std::uint8_t, binary_frame_size> frame{};
    write_header(frame, request_header(target, source, sequence, binary_frame_size, type_binary));
    for (std::size_t i = 0; i < words.size(); ++i) put_be32(frame, header_size + 4 * i, words[i]);
    return frame;
}

heartbeat_verdict decode_heartbeat_reply(std::span<const std::uint8_t> d, heartbeat_reply& reply) {
    if (d.size() < heartbeat_reply_min_size) return heartbeat_verdict::too_short;
    if (get_le16(d, 22) != type_heartbeat_reply) return heartbeat_verdict::not_a_reply;
    const std::uint8_t product = d[104];
    if (product < min_product_code || product > max_product_code) return heartbeat_verdict::wrong_product;
    const std::uint8_t kind = d[16];
    if (kind != 2 && kind != 5) return heartbeat_verdict::wrong_kind;
    reply.address.id_high = get_le32(d, 0);
    reply.address.id_low = get_le32(d, 4);
    reply.address.kind = kind;
    reply.product = product;
    return heartbeat_verdict::accepted;
}

exchange_reply decode_reply(std::span<const std::uint8_t> d, std::uint64_t request_source,
                            std::uint32_t request_sequence) {
    exchange_reply reply;
    const auto header = read_header(d);
    if (!header || header->sequence != request_sequence || header->destination != request_source) return reply;
    reply.type = header->type;

    if (header->type == type_ack) {
        if (d.size() < min_frame_size) {
            reply.kind = reply_kind::damaged;
            return reply;
        }
        reply.kind = get_le32(d, header_size) == positive_ack ? reply_kind::ack : reply_kind::nak;
        return reply;
    }
    if (header->type != type_text && header->type != type_binary) {
        reply.kind = reply_kind::unknown_type;
        return reply;
    }
    // Text and binary replies are read up to their length field, so it must describe
    // a whole frame that actually arrived.
    const std::size_t length = header->length;
    if (length < min_frame_size || length > d.size()) {
        reply.kind = reply_kind::damaged;
        return reply;
    }
    const std::size_t payload_end = length - check_size;

    if (header->type == type_text) {
        const std::size_t count = std::min(payload_end - header_size, text_payload_size);
        reply.payload.assign(d.begin() + header_size, d.begin() + header_size + count);
        if (count >= 4 && reply.payload[0] == 1 && (get_le32(d, header_size) & 0x6000u) != 0) reply.dirty = true;
        reply.kind = reply_kind::text;
        return reply;
    }

    // Binary: byte 29 is the length byte of the P20SPI header (the word is big-endian).
    if (payload_end < header_size + 2) {
        reply.kind = reply_kind::damaged;
        return reply;
    }
    // More words than a 280-byte binary frame holds is no reply of the protocol, even in a
    // longer datagram.
    const std::size_t count = d[header_size + 1];
    if (count > max_binary_words || header_size + 4 * count > payload_end) {
        reply.kind = reply_kind::damaged;
        return reply;
    }
    reply.words.reserve(count);
    for (std::size_t i = 0; i < count; ++i) reply.words.push_back(get_be32(d, header_size + 4 * i));
    reply.kind = reply_kind::binary;
    return reply;
}

std::string payload_text(std::span<const std::uint8_t> payload) {
    const auto end = std::find(payload.begin(), payload.end(), std::uint8_t{0});
    return std::string(payload.begin(), end);
}

}  // namespace nox::amp::mira
