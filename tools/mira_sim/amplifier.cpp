#include "tools/mira_sim/amplifier.h"

#include "tools/mira_sim/mira_commands.h"
#include "tools/mira_sim/sim_wire.h"
#include "tools/sim_amp/p20spi_packet.h"

namespace mira_sim {

namespace {

std::string status_bytes(const amplifier& amp) {
    std::string reply(8, '\0');
    for (int i = 0; i < 4; ++i) reply[i] = char((amp.status_word >> (8 * i)) & 0xFF);
    return reply;
}

}  // namespace

std::map<std::string, command_handler>& command_set() {
    static std::map<std::string, command_handler> handlers = [] {
        std::map<std::string, command_handler> set = {
        {"Dev.Reset.Soft",
         [](amplifier& amp, char op, const std::string&) -> std::string {
             if (op != '!') return "ERR";
             amp.soft_reset();
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
    frame_name = "Mira " + id_text(id);
}

std::optional<std::string> amplifier::value(const std::string& key) const {
    if (auto bound = read_bound_value(*this, key)) return bound;
    const auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

bool amplifier::set_value(const std::string& key, const std::string& text) {
    if (const auto bound = write_bound_value(*this, key, text)) return *bound;
    values[key] = text;
    return true;
}

std::string amplifier::text_command(const std::string& command) {
    const auto at = command.find_first_of("?=!");
    if (at == std::string::npos) return "ERR";
    const std::string stem = command.substr(0, at);
    const char op = command[at];
    const std::string rest = command.substr(at + 1);

    auto& handlers = command_set();
    if (const auto handler = handlers.find(stem); handler != handlers.end()) return handler->second(*this, op, rest);

    if (op == '?') return value(stem + "?" + rest).value_or("ERR");
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
        const std::string trimmed = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        return set_value(stem + "?" + arguments, trimmed) ? "OK" : "ERR";
    }
    return "OK";
}

std::vector<std::uint32_t> amplifier::packet(const std::vector<std::uint32_t>& words) {
    return sim_amp::answer_packet(*this, words);
}

}  // namespace mira_sim
