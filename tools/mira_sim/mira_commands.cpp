#include "tools/mira_sim/mira_commands.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

std::string calibration_start_command(amplifier& amp, char op, const std::string& rest) {
    if (op != '=') return "ERR";
    const auto digits = tokens(rest);
    std::uint32_t steps = 0;
    for (std::size_t c = 0; c < digits.size() && c < 4; ++c) {
        const std::string& d = digits[c];
        const int channel = static_cast<int>(c);
        if (d == "1") steps |= sim_amp::analyser_step(channel);
        else if (d == "2") steps |= sim_amp::tone_steps(channel);
        else if (d == "3") steps |= sim_amp::all_steps(channel);
        else if (d != "0") return "ERR";
    }
    sim_amp::start_calibration(amp, steps);
    return "OK";
}

std::string calibration_done_query(amplifier& amp, char op, const std::string&) {
    if (op != '?') return "ERR";
    return std::to_string(sim_amp::poll_calibration(amp));
}

// ---------------------------------------------------------------- keys bound to the model

std::string format(const char* pattern, double a, double b) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

std::string format(const char* pattern, double a, double b, double c, double d) {
    char text[96];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

// A frequency: whole hertz without decimals, anything else with three.
std::string hertz(float value) {
    char text[48];
    std::snprintf(text, sizeof text, value == std::floor(value) ? "%.0f" : "%.3f", double(value));
    return text;
}

// Exactly `count` leading numbers of `text` (more may follow); false when there are fewer
// or one is not a number.
bool leading_numbers(const std::string& text, std::size_t count, std::vector<double>& out) {
    out.clear();
    for (const auto& word : tokens(text)) {
        if (out.size() == count) break;
        char* end = nullptr;
        const double value = std::strtod(word.c_str(), &end);
        if (end == word.c_str() || *end != 0 || !std::isfinite(value)) return false;
        out.push_back(value);
    }
    return out.size() == count;
}

// A bound key: reads the model as text, and writes text into it (false: the text does not
// fit, nothing changed). `channel` is 0..3 for keys with a channel argument, else -1.
struct bound_key {
    bool per_channel;
    std::function<std::string(const amplifier&, int channel)> read;
    std::function<bool(amplifier&, int channel, const std::string& text)> write;
};

template <std::size_t N>
bool write_pairs(const std::string& text, std::array<std::array<float, 2>*, N> pairs) {
    std::vector<double> v;
    if (!leading_numbers(text, 2 * N, v)) return false;
    for (std::size_t i = 0; i < N; ++i) *pairs[i] = {float(v[2 * i]), float(v[2 * i + 1])};
    return true;
}

const std::map<std::string, bound_key>& bound_keys() {
    using sim_amp::pilot_channel;
    static const std::map<std::string, bound_key> keys = {
        {"Dev.FrameLabel", {false, [](const amplifier& a, int) { return a.frame_name; },
                            [](amplifier& a, int, const std::string& t) { a.frame_name = t; return true; }}},
        {"Dev.Power", {false, [](const amplifier& a, int) { return std::string(a.power ? "1" : "0"); },
                       [](amplifier& a, int, const std::string& t) {
                           std::vector<double> v;
                           if (!leading_numbers(t, 1, v)) return false;
                           a.power = v[0] != 0;
                           return true;
                       }}},
        {"Dev.Pwr.Mute", {true, [](const amplifier& a, int c) { return std::to_string(a.mute[c]); },
                          [](amplifier& a, int c, const std::string& t) {
                              std::vector<double> v;
                              if (!leading_numbers(t, 1, v) || v[0] < 0) return false;
                              a.mute[c] = std::uint32_t(v[0]);
                              return true;
                          }}},
        {"Dev.Frame.Temp", {false, [](const amplifier& a, int) {
                                auto& m = const_cast<amplifier&>(a);
                                return std::to_string(m.word(3, 1)) + " " + std::to_string(m.word(3, 2));
                            },
                            [](amplifier& a, int, const std::string& t) {
                                std::vector<double> v;
                                if (!leading_numbers(t, 2, v)) return false;
                                a.set_word(3, 1, std::uint32_t(v[0]));
                                a.set_word(3, 2, std::uint32_t(v[1]));
                                return true;
                            }}},
        {"Dev.Pwr.Temp", {true, [](const amplifier& a, int c) {
                              return std::to_string(const_cast<amplifier&>(a).word(3, std::uint16_t(3 + c)));
                          },
                          [](amplifier& a, int c, const std::string& t) {
                              std::vector<double> v;
                              if (!leading_numbers(t, 1, v)) return false;
                              a.set_word(3, std::uint16_t(3 + c), std::uint32_t(v[0]));
                              return true;
                          }}},
        {"Dev.SerialNumber", {false, [](const amplifier& a, int) {
                                  return std::to_string(const_cast<amplifier&>(a).word(0, 14));
                              },
                              [](amplifier& a, int, const std::string& t) {
                                  std::vector<double> v;
                                  if (!leading_numbers(t, 1, v)) return false;
                                  a.set_word(0, 14, std::uint32_t(v[0]));
                                  return true;
                              }}},
        {"Dev.LoadPilot.Signal", {true, [](const amplifier& a, int c) {
                                      const pilot_channel& p = a.pilot.channels[c];
                                      return hertz(p.frequency[0]) + " " + hertz(p.frequency[1]) +
                                             format(" %.3f %.3f", p.amplitude[0], p.amplitude[1]);
                                  },
                                  [](amplifier& a, int c, const std::string& t) {
                                      pilot_channel& p = a.pilot.channels[c];
                                      return write_pairs<2>(t, {&p.frequency, &p.amplitude});
                                  }}},
        {"Dev.LoadPilot.Threshold", {true, [](const amplifier& a, int c) {
                                         const pilot_channel& p = a.pilot.channels[c];
                                         return format("%.2f %.2f %.2f %.2f", p.lower_threshold[0],
                                                       p.lower_threshold[1], p.upper_threshold[0],
                                                       p.upper_threshold[1]);
                                     },
                                     [](amplifier& a, int c, const std::string& t) {
                                         pilot_channel& p = a.pilot.channels[c];
                                         return write_pairs<2>(t, {&p.lower_threshold, &p.upper_threshold});
                                     }}},
        {"Dev.LoadPilot.Factor", {true, [](const amplifier& a, int c) {
                                      const pilot_channel& p = a.pilot.channels[c];
                                      return format("%.3f %.3f", p.factor[0], p.factor[1]);
                                  },
                                  [](amplifier& a, int c, const std::string& t) {
                                      return write_pairs<1>(t, {&a.pilot.channels[c].factor});
                                  }}},
        {"Dev.LoadPilot.RefImp", {true, [](const amplifier& a, int c) {
                                      const pilot_channel& p = a.pilot.channels[c];
                                      return format("%.2f %.2f", p.ref_impedance[0], p.ref_impedance[1]);
                                  },
                                  [](amplifier& a, int c, const std::string& t) {
                                      return write_pairs<1>(t, {&a.pilot.channels[c].ref_impedance});
                                  }}},
        {"Dev.LoadPilot.RCable", {true, [](const amplifier& a, int c) {
                                      const pilot_channel& p = a.pilot.channels[c];
                                      return format("%.2f %.2f", p.cable_resistance[0], p.cable_resistance[1]);
                                  },
                                  [](amplifier& a, int c, const std::string& t) {
                                      return write_pairs<1>(t, {&a.pilot.channels[c].cable_resistance});
                                  }}},
        {"Dev.LoadPilot.Readings", {true, [](const amplifier& a, int c) {
                                        const pilot_channel& p = a.pilot.channels[c];
                                        return format("%.2f %.2f 0.00 0.00", p.reading[0], p.reading[1]);
                                    },
                                    [](amplifier& a, int c, const std::string& t) {
                                        return write_pairs<1>(t, {&a.pilot.channels[c].reading});
                                    }}},
        {"Dev.LoadPilot.Enable", {true, [](const amplifier& a, int c) {
                                      return std::to_string(a.pilot.channels[c].enable[0]);
                                  },
                                  [](amplifier& a, int c, const std::string& t) {
                                      std::vector<double> v;
                                      if (!leading_numbers(t, 1, v) || v[0] < 0) return false;
                                      a.pilot.channels[c].enable[0] = std::uint32_t(v[0]);
                                      return true;
                                  }}},
    };
    return keys;
}

// The bound key of a store key and its channel (0..3, or -1); null when not bound.
const bound_key* find_bound(const std::string& key, int& channel) {
    const auto mark = key.find('?');
    if (mark == std::string::npos) return nullptr;
    const auto found = bound_keys().find(key.substr(0, mark));
    if (found == bound_keys().end()) return nullptr;
    const std::string argument = key.substr(mark + 1);
    if (!found->second.per_channel) {
        channel = -1;
        return argument.empty() ? &found->second : nullptr;
    }
    if (argument.size() != 1 || argument[0] < '1' || argument[0] > '4') return nullptr;
    channel = argument[0] - '1';
    return &found->second;
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
    handlers["Dev.LoadPilot.CalibStart"] = calibration_start_command;
    handlers["Dev.LoadPilot.CalibDone"] = calibration_done_query;
}

std::optional<std::string> read_bound_value(const amplifier& amp, const std::string& key) {
    int channel = -1;
    const bound_key* bound = find_bound(key, channel);
    if (!bound) return std::nullopt;
    return bound->read(amp, channel);
}

std::optional<bool> write_bound_value(amplifier& amp, const std::string& key, const std::string& text) {
    int channel = -1;
    const bound_key* bound = find_bound(key, channel);
    if (!bound) return std::nullopt;
    return bound->write(amp, channel, text);
}

void load_mira_defaults(amplifier& amp) {
    auto& v = amp.values;
    v["Dev.ModelName?"] = "VR45:4M";
    v["Amp.Version.SWFID?"] = "7.2";
    v["Dev.Fuse.NominalCurrent?"] = "16.0 16.0";
    v["Dev.Fuse.Type?"] = "1";
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
        v["Dev.Pwr.Attenuation?" + k] = "0.0";
        v["Mod.Out.AmpGain?#" + k] = "32.0 0.0 0.0";
        v["Mod.Out.AmpVPL?#" + k] = "141.4 0.0 0.0 141.4";
        v["Mod.Out.VPLProfile?#" + k] = "0";
        v["Dev.KVX.ProtDesired?" + k] = "0";
        v["Dev.KVX.ZNominalLoad?" + k] = "8.0";
        v["Dev.KVX.CrestFactor?" + k] = "4.0";
        v["Dev.KVX.DesiredVpl?" + k] = "100.0";
    }
    // Binary parameters: firmware, serial number and output capability (block 0),
    // temperatures (block 3); the text keys of temperatures and serial number read them.
    const std::uint32_t serial = 100000u + static_cast<std::uint32_t>(amp.id() & 0xFFFF);
    amp.params[{0, 4}] = 7;
    amp.params[{0, 14}] = serial;
    amp.params[{0, 15}] = 141;
    amp.params[{0, 16}] = 28;
    amp.params[{3, 1}] = 41;
    amp.params[{3, 2}] = 38;
    for (std::uint16_t c = 0; c < 4; ++c) amp.params[{3, static_cast<std::uint16_t>(3 + c)}] = 45u + c;
}

}  // namespace mira_sim
