#include "tools/mira_sim/mira_commands.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace mira_sim {

namespace {

const char* const modules[] = {"A", "B", "C", "D"};

std::string value_or(const amplifier& amp, const std::string& key, const std::string& fallback) {
    const auto found = amp.values.find(key);
    return found == amp.values.end() ? fallback : found->second;
}

std::vector<std::string> tokens(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    std::string word;
    while (in >> word) out.push_back(word);
    return out;
}

// "#3" -> 3; 0 when not a channel reference.
int channel_reference(const std::string& word) {
    if (word.size() != 2 || word[0] != '#' || word[1] < '1' || word[1] > '4') return 0;
    return word[1] - '0';
}

// The text after the first `count` blank-separated words.
std::string after_words(const std::string& text, int count) {
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
        at = text.find_first_not_of(' ', at);
        if (at == std::string::npos) return {};
        at = text.find(' ', at);
        if (at == std::string::npos) return {};
    }
    return text.substr(at + 1);
}

// Module and output labels, addressed by channel ("#2") or by module (and output).
std::string label_command(amplifier& amp, char op, const std::string& rest, bool output_label) {
    const std::string stem = output_label ? "Mod.Out.Label" : "Mod.Mod.Label";
    const auto words = tokens(rest);
    if (words.empty()) return "ERR";
    std::string key;
    int address_words = 1;
    if (const int channel = channel_reference(words[0])) {
        if (const auto driver = channel_driver(amp, channel)) {
            key = output_label ? stem + "?" + driver->first + " " + std::to_string(driver->second)
                               : stem + "?" + driver->first;
        } else {
            key = stem + "?#" + std::to_string(channel);  // an unrouted channel keeps its own
        }
    } else if (output_label) {
        if (words.size() < 2) return "ERR";
        key = stem + "?" + words[0] + " " + words[1];
        address_words = 2;
    } else {
        key = stem + "?" + words[0];
    }
    if (op == '?') return value_or(amp, key, "");
    if (op != '=') return "ERR";
    amp.values[key] = after_words(rest, address_words);
    return "OK";
}

std::string calibration_start(amplifier& amp, char op, const std::string& rest) {
    if (op != '=') return "ERR";
    const auto digits = tokens(rest);
    std::uint32_t steps = 0;
    for (std::size_t c = 0; c < digits.size() && c < 4; ++c) {
        const std::string& d = digits[c];
        if (d == "1") steps |= 0x100u << c;
        else if (d == "2") steps |= 0x11u << c;
        else if (d == "3") steps |= 0x111u << c;
        else if (d != "0") return "ERR";
    }
    amp.calibration_pending = steps;
    amp.calibration_done = 0;
    amp.calibration_polls_left = amp.calibration_polls;
    return "OK";
}

std::string calibration_done(amplifier& amp, char op, const std::string&) {
    if (op != '?') return "ERR";
    if (amp.calibration_pending != 0 && --amp.calibration_polls_left <= 0) {
        for (int c = 0; c < 4; ++c) {
            if ((amp.calibration_pending & (0x111u << c)) == 0) continue;
            const std::string k = std::to_string(c + 1);
            const auto ref = tokens(value_or(amp, "Dev.LoadPilot.RefImp?" + k, "8.00 8.00"));
            if (ref.size() >= 2) amp.values["Dev.LoadPilot.Readings?" + k] = ref[0] + " " + ref[1] + " 0.00 0.00";
        }
        amp.calibration_done |= amp.calibration_pending;
        amp.calibration_pending = 0;
    }
    return std::to_string(amp.calibration_done);
}

}  // namespace

std::optional<std::pair<std::string, int>> channel_driver(const amplifier& amp, int channel) {
    const std::size_t column = static_cast<std::size_t>(2 * (channel - 1));
    for (const char* m : modules) {
        for (int o = 1; o <= 6; ++o) {
            const std::string route = value_or(amp, std::string("Dev.Route?") + m + " " + std::to_string(o), "");
            if (column < route.size() && route[column] == 'X') return std::make_pair(std::string(m), o);
        }
    }
    return std::nullopt;
}

void add_mira_commands(std::map<std::string, command_handler>& handlers) {
    handlers["Mod.Mod.Label"] = [](amplifier& amp, char op, const std::string& rest) {
        return label_command(amp, op, rest, false);
    };
    handlers["Mod.Out.Label"] = [](amplifier& amp, char op, const std::string& rest) {
        return label_command(amp, op, rest, true);
    };
    handlers["Dev.LoadPilot.CalibStart"] = calibration_start;
    handlers["Dev.LoadPilot.CalibDone"] = calibration_done;
}

void load_mira_defaults(amplifier& amp) {
    auto& v = amp.values;
    v["Dev.ModelName?"] = "VR45:4M";
    v["Dev.Power?"] = "1";
    v["Amp.Version.SWFID?"] = "7.2";
    v["Dev.Fuse.NominalCurrent?"] = "16.0 16.0";
    v["Dev.Fuse.Type?"] = "1";
    v["Dev.Frame.Temp?"] = "41 38";
    v["Dev.KVX.Mode?"] = "0";
    v["Dev.KVX.Enable?"] = "0";
    v["Dev.KVX.Capability?"] = "2 100.0 141.4 28.0";
    v["Dev.BridgeMode?1"] = "0";
    v["Dev.BridgeMode?2"] = "0";
    for (int m = 0; m < 4; ++m) {
        v[std::string("Mod.Mod.Label?") + modules[m]] = std::string("Mod") + modules[m];
        for (int o = 1; o <= 6; ++o) {
            const std::string at = std::string(modules[m]) + " " + std::to_string(o);
            // Output 1 of module A drives channel 1, of B channel 2, and so on.
            std::string route = "- - - -";
            if (o == 1) route[static_cast<std::size_t>(2 * m)] = 'X';
            v["Dev.Route?" + at] = route;
            v["Mod.Out.Label?" + at] = "Out" + std::to_string(o);
        }
    }
    for (int c = 1; c <= 4; ++c) {
        const std::string k = std::to_string(c);
        v["Dev.Pwr.Mute?" + k] = "0";
        v["Dev.Pwr.Attenuation?" + k] = "0.0";
        v["Dev.Pwr.Temp?" + k] = std::to_string(44 + c);
        v["Mod.Out.AmpGain?#" + k] = "32.0 0.0 0.0";
        v["Mod.Out.AmpVPL?#" + k] = "141.4 0.0 0.0 141.4";
        v["Mod.Out.VPLProfile?#" + k] = "0";
        v["Dev.LoadPilot.RCable?" + k] = "0.50 0.50";
        v["Dev.LoadPilot.Signal?" + k] = "20000 22000 0.200 0.200";
        v["Dev.LoadPilot.Threshold?" + k] = "4.00 4.00 16.00 16.00";
        v["Dev.LoadPilot.Factor?" + k] = "1.410 1.520";
        v["Dev.LoadPilot.RefImp?" + k] = "8.00 8.00";
        v["Dev.LoadPilot.Enable?" + k] = "0";
        v["Dev.LoadPilot.Readings?" + k] = "0.00 0.00 0.00 0.00";
        v["Dev.KVX.ProtDesired?" + k] = "0";
        v["Dev.KVX.ZNominalLoad?" + k] = "8.0";
        v["Dev.KVX.CrestFactor?" + k] = "4.0";
        v["Dev.KVX.DesiredVpl?" + k] = "100.0";
    }
    // Binary parameters: firmware, serial number and output capability (block 0),
    // temperatures (block 3).
    const std::uint32_t serial = 100000u + static_cast<std::uint32_t>(amp.id() & 0xFFFF);
    v["Dev.SerialNumber?"] = std::to_string(serial);
    amp.params[{0, 4}] = 7;
    amp.params[{0, 14}] = serial;
    amp.params[{0, 15}] = 141;
    amp.params[{0, 16}] = 28;
    amp.params[{3, 1}] = 41;
    amp.params[{3, 2}] = 38;
    for (std::uint16_t c = 0; c < 4; ++c) amp.params[{3, static_cast<std::uint16_t>(3 + c)}] = 45u + c;
}

}  // namespace mira_sim
