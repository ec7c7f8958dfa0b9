// Mira datagrams as the transport receives them: the reply decoder and the heartbeat-reply
// decoder on arbitrary bytes. The exchange is taken to be the one the datagram names, so
// that the decoder's "ours" paths are reached and not only the "not ours" exit.
//
// Round trips against the simulator's own codec (tools/mira_sim/sim_wire.h): a decoded
// text or binary reply written again by the simulator decodes to the same payload; and the
// requests the backend builds from the same bytes (a text command, P20SPI words) are read
// back by the simulator unchanged.
#include "backend/amp/mira_frame.h"
#include "tests/fuzz/fuzz_check.h"
#include "tools/mira_sim/sim_wire.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mira = nox::amp::mira;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);
    const auto header = mira::read_header(datagram);
    FUZZ_CHECK(header.has_value() == (size >= mira::header_size));
    const std::uint64_t source = header ? header->destination : 0;
    const std::uint32_t sequence = header ? header->sequence : 0;

    const mira::exchange_reply reply = mira::decode_reply(datagram, source, sequence);
    FUZZ_CHECK(reply.payload.size() <= mira::text_payload_size);
    FUZZ_CHECK(reply.words.size() * 4 + mira::min_frame_size <= std::max(size, mira::min_frame_size));
    const mira_sim::reply_address back{header ? header->source : 0, header ? header->kind : std::uint16_t{0},
                                       source, sequence};
    if (reply.kind == mira::reply_kind::text) {
        const std::string text = mira::payload_text(reply.payload);
        const mira_sim::bytes again = mira_sim::text_reply(back, text);
        const auto decoded = mira::decode_reply(again, source, sequence);
        FUZZ_CHECK(decoded.kind == mira::reply_kind::text);
        FUZZ_CHECK(mira::payload_text(decoded.payload) == text);
    } else if (reply.kind == mira::reply_kind::binary) {
        const mira_sim::bytes again = mira_sim::binary_reply(back, reply.words);
        const auto decoded = mira::decode_reply(again, source, sequence);
        FUZZ_CHECK(decoded.kind == mira::reply_kind::binary);
        FUZZ_CHECK(decoded.words == reply.words);
    }

    mira::heartbeat_reply found;
    if (mira::decode_heartbeat_reply(datagram, found) == mira::heartbeat_verdict::accepted) {
        FUZZ_CHECK(found.product >= mira::min_product_code && found.product <= mira::max_product_code);
        FUZZ_CHECK(found.address.kind == 2 || found.address.kind == 5);
    }

    // Requests built from the same bytes reach the simulator unchanged.
    const nox::amp::device_address target{header ? static_cast<std::uint32_t>(header->source >> 32) : 0,
                                          header ? static_cast<std::uint32_t>(header->source) : 0,
                                          header ? header->kind : std::uint16_t{0}};
    const std::string command(reinterpret_cast<const char*>(data), std::min(size, mira::max_command_length + 8));
    const auto text_frame = mira::build_text_frame(target, source, sequence, command);
    FUZZ_CHECK(text_frame.has_value() ==
               (command.size() <= mira::max_command_length && command.find('\0') == std::string::npos));
    if (text_frame) {
        const auto parsed = mira_sim::parse_request(*text_frame);
        FUZZ_CHECK(parsed && parsed->type == mira::type_text && parsed->text == command);
        FUZZ_CHECK(parsed->source == source && parsed->destination == target.id() && parsed->sequence == sequence);
    }
    std::vector<std::uint32_t> words(std::min<std::size_t>(size / 4, mira::max_binary_words));
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = mira::get_le32(datagram, 4 * i);
    if (!words.empty()) {
        // The packet's length byte (byte 2 of word 0) counts the words, as P20SPI has it.
        words[0] = (words[0] & 0xFF00FFFFu) | (static_cast<std::uint32_t>(words.size()) << 16);
        const auto binary_frame = mira::build_binary_frame(target, source, sequence, words);
        FUZZ_CHECK(binary_frame.has_value());
        const auto parsed = mira_sim::parse_request(*binary_frame);
        FUZZ_CHECK(parsed && parsed->type == mira::type_binary && parsed->words == words);
    }
    const auto heartbeat = mira::build_heartbeat(source, sequence);
    const auto parsed = mira_sim::parse_request(heartbeat);
    FUZZ_CHECK(parsed && parsed->hash_ok && parsed->source == source);
    return 0;
}
