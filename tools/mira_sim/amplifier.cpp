#include "tools/mira_sim/amplifier.h"

#include "tools/mira_sim/mira_commands.h"
#include "tools/mira_sim/sim_wire.h"

#include <cstring>
#include <sstream>

namespace mira_sim {

namespace {

std::string status_bytes(const amplifier& amp) {
    std::string reply(8, '\0');
    for (int i = 0; i < 4; ++i) reply[i] = char((amp.status_word >> (8 * i)) & 0xFF);
    return reply;
}

std::vector<std::uint32_t> finish_packet(std::vector<std::uint32_t> words, std::uint8_t code) {
    set_packet_byte(words, 0, code);
    set_packet_byte(words, 1, 0);
    set_packet_byte(words, 2, std::uint8_t(words.size()));
    set_packet_byte(words, 3, packet_checksum(words, words.size()));
    return words;
}

}  // namespace

std::map<std::string, command_handler>& command_set() {
    static std::map<std::string, command_handler> handlers = [] {
        std::map<std::string, command_handler> set = {
        {"Dev.Reset.Soft",
         [](amplifier& amp, char op, const std::string&) -> std::string {
             if (op != '!') return "ERR";
             ++amp.resets;
             return "OK";
         }},
        {"Dev.MD.FullBin",
         [](amplifier& amp, char op, const std::string&) -> std::string {
             return op == '?' ? status_bytes(amp) : std::string("ERR");
         }},
        };
        add_mira_commands(set);
        return set;
    }();
    return handlers;
}

const std::map<std::string, int>& argument_counts() {
    static const std::map<std::string, int> counts = {
        {"Dev.Pwr.Mute", 1},           {"Dev.Pwr.Attenuation", 1},     {"Dev.Pwr.Temp", 1},
        {"Dev.BridgeMode", 1},         {"Mod.Mod.Label", 1},           {"Mod.Out.Label", 1},
        {"Mod.Out.AmpGain", 1},        {"Mod.Out.AmpVPL", 1},          {"Mod.Out.VPLProfile", 1},
        {"Dev.LoadPilot.RefImp", 1},   {"Dev.LoadPilot.Signal", 1},    {"Dev.LoadPilot.Factor", 1},
        {"Dev.LoadPilot.Enable", 1},   {"Dev.LoadPilot.Threshold", 1}, {"Dev.LoadPilot.RCable", 1},
        {"Dev.LoadPilot.Readings", 1}, {"Dev.KVX.ProtDesired", 1},     {"Dev.KVX.ZNominalLoad", 1},
        {"Dev.KVX.CrestFactor", 1},    {"Dev.KVX.DesiredVpl", 1},      {"Dev.Route", 2},
    };
    return counts;
}

amplifier::amplifier(std::uint64_t id, std::uint8_t kind, std::uint8_t product)
    : id_(id), kind_(kind), product_(product) {
    load_mira_defaults(*this);
    values["Dev.FrameLabel?"] = "Mira " + id_text(id);
}

std::string amplifier::text_command(const std::string& command) {
    const auto at = command.find_first_of("?=!");
    if (at == std::string::npos) return "ERR";
    const std::string stem = command.substr(0, at);
    const char op = command[at];
    const std::string rest = command.substr(at + 1);

    auto& handlers = command_set();
    if (const auto handler = handlers.find(stem); handler != handlers.end()) return handler->second(*this, op, rest);

    if (op == '?') {
        const auto found = values.find(stem + "?" + rest);
        return found == values.end() ? std::string("ERR") : found->second;
    }
    if (op == '=') {
        std::string arguments, value = rest;
        const auto counted = argument_counts().find(stem);
        int count = counted == argument_counts().end() ? 0 : counted->second;
        while (count-- > 0) {
            const auto blank = value.find(' ');
            const std::string token = value.substr(0, blank);
            arguments += arguments.empty() ? token : " " + token;
            value = blank == std::string::npos ? std::string() : value.substr(blank + 1);
        }
        const auto first = value.find_first_not_of(' ');
        const auto last = value.find_last_not_of(' ');
        values[stem + "?" + arguments] = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        return "OK";
    }
    return "OK";
}

std::vector<std::uint32_t> amplifier::packet(const std::vector<std::uint32_t>& words) {
    const std::uint8_t code = packet_byte(words, 0);
    const std::uint8_t block = packet_byte(words, 5);
    const std::uint16_t index = std::uint16_t(packet_byte(words, 6) << 8 | packet_byte(words, 7));
    const std::uint8_t count = packet_byte(words, 11);

    if (code == 16 && words.size() >= 3) {
        std::vector<std::uint32_t> reply(3u + count, 0);
        set_packet_byte(reply, 5, block);
        set_packet_byte(reply, 6, std::uint8_t(index >> 8));
        set_packet_byte(reply, 7, std::uint8_t(index));
        set_packet_byte(reply, 10, std::uint8_t(forced_return_code.value_or(0)));
        set_packet_byte(reply, 11, count);
        for (unsigned i = 0; i < count; ++i) {
            const auto found = params.find({block, std::uint16_t(index + i)});
            const std::uint32_t value = found == params.end() ? 0 : found->second;
            for (unsigned k = 0; k < 4; ++k) {
                set_packet_byte(reply, 12 + 4 * i + k, std::uint8_t(value >> (8 * (3 - k))));
            }
        }
        return finish_packet(std::move(reply), 17);
    }
    if (code == 18 && words.size() >= 3) {
        if (!forced_return_code) {
            for (unsigned i = 0; i < count && 3 + i < words.size(); ++i) {
                std::uint32_t value = 0;
                for (unsigned k = 0; k < 4; ++k) value = value << 8 | packet_byte(words, 12 + 4 * i + k);
                params[{block, std::uint16_t(index + i)}] = value;
            }
        }
        std::vector<std::uint32_t> reply(3, 0);
        set_packet_byte(reply, 5, block);
        set_packet_byte(reply, 6, std::uint8_t(index >> 8));
        set_packet_byte(reply, 7, std::uint8_t(index));
        set_packet_byte(reply, 10, std::uint8_t(forced_return_code.value_or(0)));
        set_packet_byte(reply, 11, count);
        return finish_packet(std::move(reply), 19);
    }
    if (code == 34) {
        // The port hands words over in host order after reading them big-endian, and the
        // monitor block is read through byte-reversed words: store each reversed.
        std::vector<std::uint32_t> reply(61, 0);
        for (std::size_t i = 0; i < monitor.size(); ++i) reply[i + 1] = __builtin_bswap32(monitor[i]);
        return finish_packet(std::move(reply), 35);
    }
    std::vector<std::uint32_t> reply(2, 0);
    set_packet_byte(reply, 7, 1);
    return finish_packet(std::move(reply), 15);
}

}  // namespace mira_sim
