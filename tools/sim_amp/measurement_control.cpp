#include "tools/sim_amp/measurement_control.h"

#include "tools/sim_amp/amplifier_model.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace sim_amp {

namespace {

// A poll count of at least 1, or "never" (nullopt in `polls`); false when neither.
bool parse_polls(const std::string& word, std::optional<int>& polls) {
    if (word == "never") {
        polls.reset();
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != 0 || errno != 0 || value < 1 || value > INT_MAX) return false;
    polls = int(value);
    return true;
}

}  // namespace

std::optional<std::string> measurement_control(amplifier_model& amp, const std::string& command,
                                               std::istream& arguments) {
    if (command == "calibration" || command == "analyser") {
        std::string word;
        arguments >> word;
        std::optional<int> polls;
        if (!parse_polls(word, polls)) return "error polls must be a number of at least 1 or never: " + word;
        if (command == "calibration") {
            amp.pilot.calibration_never_completes = !polls;
            if (polls) amp.pilot.calibration_polls = *polls;
        } else {
            amp.analyser.never_completes = !polls;
            if (polls) amp.analyser.polls = *polls;
        }
        return "ok";
    }
    if (command == "load") {
        std::string channel_word, load_word;
        arguments >> channel_word >> load_word;
        if (channel_word.size() != 1 || channel_word[0] < '1' || channel_word[0] > '4')
            return "error channel must be 1..4: " + channel_word;
        load_line line;
        if (load_word == "open") {
            line.connected = false;
        } else {
            char* end = nullptr;
            const double ohms = std::strtod(load_word.c_str(), &end);
            if (load_word.empty() || *end != 0 || !std::isfinite(ohms) || ohms <= 0.0 || ohms > 1000.0)
                return "error load must be ohms or open: " + load_word;
            line.nominal_ohms = ohms;
        }
        amp.set_line(channel_word[0] - '1', line);
        return "ok";
    }
    return std::nullopt;
}

}  // namespace sim_amp
