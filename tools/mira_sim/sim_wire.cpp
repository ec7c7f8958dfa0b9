#include "tools/mira_sim/sim_wire.h"

#include <cstdio>
#include <cstdlib>

namespace mira_sim {

namespace {

std::uint16_t get16(std::span<const std::uint8_t> f, std::size_t o) { return std::uint16_t(f[o] | f[o + 1] << 8); }

bytes frame_of(std::size_t size, std::uint64_t source, std::uint64_t destination, std::uint16_t route,
               std::uint16_t kind, std::uint16_t type, std::uint32_t sequence) {
    bytes frame(size, 0);
    set32(frame, 0, std::uint32_t(source >> 32));
    set32(frame, 4, std::uint32_t(source));
    set32(frame, 8, std::uint32_t(destination >> 32));
    set32(frame, 12, std::uint32_t(destination));
    set16(frame, 16, route);
    set16(frame, 18, kind);
    set16(frame, 20, std::uint16_t(size));
    set16(frame, 22, type);
    set32(frame, 24, sequence);
    return frame;
}

}  // namespace

void set16(bytes& f, std::size_t o, std::uint16_t v) {
    f[o] = std::uint8_t(v & 0xFF);
    f[o + 1] = std::uint8_t(v >> 8);
}

void set32(bytes& f, std::size_t o, std::uint32_t v) {
    set16(f, o, std::uint16_t(v & 0xFFFF));
    set16(f, o + 2, std::uint16_t(v >> 16));
}

std::uint32_t get32(std::span<const std::uint8_t> f, std::size_t o) {
    return std::uint32_t(get16(f, o)) | (std::uint32_t(get16(f, o + 2)) << 16);
}

std::uint32_t heartbeat_check(std::span<const std::uint8_t> frame) {
    std::uint32_t h = 0;
    for (std::size_t i = 0; i < 48; ++i) {
        const bool b31 = (h & 0x80000000u) != 0;
        const bool b18 = (h & 0x00040000u) != 0;
        h = (h << 1) | ((b31 != b18) ? 1u : 0u);
        h ^= get16(frame, 2 * i);
    }
    return h;
}

std::optional<request> parse_request(std::span<const std::uint8_t> d) {
    if (d.size() < 32) return std::nullopt;
    request r;
    r.source = (std::uint64_t(get32(d, 0)) << 32) | get32(d, 4);
    r.destination = (std::uint64_t(get32(d, 8)) << 32) | get32(d, 12);
    r.route = get16(d, 16);
    r.kind = get16(d, 18);
    r.length = get16(d, 20);
    r.type = get16(d, 22);
    r.sequence = get32(d, 24);
    if (r.length < 32 || r.length > d.size()) return std::nullopt;
    const std::size_t end = r.length - 4;
    if (r.type == 4) {
        r.hash_ok = d.size() >= 100 && heartbeat_check(d) == get32(d, 96);
    } else if (r.type == 701) {
        for (std::size_t i = 28; i < end && d[i] != 0; ++i) r.text.push_back(char(d[i]));
    } else if (r.type == 702) {
        // The first word's length byte (its third byte in memory order; big-endian on the
        // wire, so offset 29) says how many words the packet has.
        const std::size_t count = end > 29 ? d[29] : 0;
        for (std::size_t i = 0; i < count && 28 + 4 * i + 4 <= end; ++i) {
            const std::size_t o = 28 + 4 * i;
            r.words.push_back((std::uint32_t(d[o]) << 24) | (std::uint32_t(d[o + 1]) << 16) |
                              (std::uint32_t(d[o + 2]) << 8) | d[o + 3]);
        }
    }
    return r;
}

bytes heartbeat_reply(std::uint64_t amplifier, std::uint8_t kind, std::uint8_t product, std::uint32_t sequence,
                      std::uint64_t requester) {
    bytes frame = frame_of(112, amplifier, requester, 0, 0, 5, sequence);
    frame[16] = kind;
    frame[104] = product;
    return frame;
}

bytes text_reply(const reply_address& to, const std::string& payload) {
    bytes frame = frame_of(152, to.amplifier, to.requester, 1, to.kind, 701, to.sequence);
    for (std::size_t i = 0; i < payload.size() && i < 120; ++i) frame[28 + i] = std::uint8_t(payload[i]);
    return frame;
}

bytes binary_reply(const reply_address& to, const std::vector<std::uint32_t>& words) {
    bytes frame = frame_of(280, to.amplifier, to.requester, 1, to.kind, 702, to.sequence);
    for (std::size_t i = 0; i < words.size() && i < 62; ++i) {
        const std::size_t o = 28 + 4 * i;
        frame[o] = std::uint8_t(words[i] >> 24);
        frame[o + 1] = std::uint8_t(words[i] >> 16);
        frame[o + 2] = std::uint8_t(words[i] >> 8);
        frame[o + 3] = std::uint8_t(words[i]);
    }
    return frame;
}

bytes ack_reply(const reply_address& to, std::uint32_t word) {
    bytes frame = frame_of(32, to.amplifier, to.requester, 1, to.kind, 2, to.sequence);
    set32(frame, 28, word);
    return frame;
}

std::string id_text(std::uint64_t id) {
    char text[24];
    std::snprintf(text, sizeof text, "%08x:%08x", unsigned(id >> 32), unsigned(id & 0xFFFFFFFFu));
    return text;
}

std::optional<std::uint64_t> parse_id(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return std::nullopt;
    char* end = nullptr;
    const std::string high = text.substr(0, colon), low = text.substr(colon + 1);
    const unsigned long h = std::strtoul(high.c_str(), &end, 16);
    if (*end != 0 || h > 0xFFFFFFFFul) return std::nullopt;
    const unsigned long l = std::strtoul(low.c_str(), &end, 16);
    if (*end != 0 || l > 0xFFFFFFFFul) return std::nullopt;
    return (std::uint64_t(h) << 32) | l;
}

}  // namespace mira_sim
