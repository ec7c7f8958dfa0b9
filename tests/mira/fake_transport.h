// A scripted Mira transport for device tests: text replies by command, failures by
// command, a packet handler, and the record of everything the device sent.
#pragma once

#include "backend/amp/mira_transport.h"
#include "backend/p20spi/packet.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace mira_test {

class fake_transport : public nox::amp::mira_transport {
public:
    // Replies to queries; settings ("=") and actions ("!") not listed answer "OK";
    // queries not listed time out (13), like a silent amplifier.
    std::map<std::string, std::string> replies;
    std::map<std::string, int> failures;
    std::vector<std::uint8_t> raw_reply;  // answer of every raw text exchange
    int raw_result = 0;
    std::function<int(std::span<const std::uint32_t>, std::vector<std::uint32_t>&)> on_packet;

    std::vector<std::string> sent;          // text commands, in order
    std::vector<std::string> interfaces;    // interface of every exchange
    std::vector<std::vector<std::uint32_t>> packets;

    int text(const std::string& interface_address, const nox::amp::device_address&, const std::string& command,
             std::string& reply) override {
        sent.push_back(command);
        interfaces.push_back(interface_address);
        reply.clear();
        if (const auto f = failures.find(command); f != failures.end()) return f->second;
        if (const auto r = replies.find(command); r != replies.end()) {
            reply = r->second;
            return 0;
        }
        if (command.find('?') == std::string::npos) {
            reply = "OK";
            return 0;
        }
        return 13;
    }
    int text_raw(const std::string& interface_address, const nox::amp::device_address&, const std::string& command,
                 std::vector<std::uint8_t>& payload) override {
        sent.push_back(command);
        interfaces.push_back(interface_address);
        payload = raw_result == 0 ? raw_reply : std::vector<std::uint8_t>{};
        return raw_result;
    }
    int packet(const std::string& interface_address, const nox::amp::device_address&,
               std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) override {
        interfaces.push_back(interface_address);
        packets.emplace_back(words.begin(), words.end());
        reply.clear();
        if (!on_packet) return 13;
        return on_packet(words, reply);
    }

    int count(const std::string& command) const {
        return static_cast<int>(std::count(sent.begin(), sent.end(), command));
    }
    bool sent_prefix(const std::string& prefix) const {
        return std::any_of(sent.begin(), sent.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    }
    // Commands sent after `mark` (an index into `sent`).
    std::vector<std::string> since(std::size_t mark) const {
        return {sent.begin() + static_cast<std::ptrdiff_t>(std::min(mark, sent.size())), sent.end()};
    }
};

// A parameter read response (code 17) with a return code and values.
inline std::vector<std::uint32_t> read_response(unsigned block, unsigned index, int code,
                                                const std::vector<std::uint32_t>& values) {
    P20SPI::CPacket p;
    p.set_length(3 + values.size());
    p.set_code(17);
    p.set_byte(5, static_cast<std::uint8_t>(block));
    p.set_be16(6, static_cast<std::uint16_t>(index));
    p.set_byte(10, static_cast<std::uint8_t>(code));
    p.set_byte(11, static_cast<std::uint8_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) p.set_be32(12 + 4 * i, values[i]);
    p.seal();
    auto words = p.words();
    return {words.begin(), words.end()};
}

// A write response (code 19) with a return code.
inline std::vector<std::uint32_t> write_response(unsigned block, unsigned index, int code) {
    P20SPI::CPacket p;
    p.set_length(3);
    p.set_code(19);
    p.set_byte(5, static_cast<std::uint8_t>(block));
    p.set_be16(6, static_cast<std::uint16_t>(index));
    p.set_byte(10, static_cast<std::uint8_t>(code));
    p.seal();
    auto words = p.words();
    return {words.begin(), words.end()};
}

// A monitor response (code 35, 61 words) whose block is all zero.
inline std::vector<std::uint32_t> monitor_response() {
    P20SPI::CPacket p;
    p.set_length(61);
    p.set_code(35);
    p.seal();
    auto words = p.words();
    return {words.begin(), words.end()};
}

}  // namespace mira_test
