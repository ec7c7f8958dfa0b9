// Helpers of the calibration tests that talk to the simulator: the numbers of a stored
// sweep text, and a value of the simulator's text store.
#pragma once

#include "tools/mira_sim/sim_client.h"

#include <boost/algorithm/string/split.hpp>

#include <string>
#include <vector>

namespace calibration_sim_support {

// "1.000000 -2.500000" -> {1.0, -2.5}.
inline std::vector<double> numbers(const std::string& text) {
    std::vector<std::string> words;
    boost::split(words, text, [](char c) { return c == ' '; });
    std::vector<double> values;
    for (const auto& w : words) values.push_back(std::stod(w));
    return values;
}

// The simulator's answer to "get <id> <key>" without its "ok "; empty when refused.
inline std::string sim_value(mira_sim::sim_client& sim, const std::string& id, const std::string& key) {
    const auto lines = sim.command("get " + id + " " + key);
    return lines.empty() || lines.front().rfind("ok ", 0) != 0 ? "" : lines.front().substr(3);
}

}  // namespace calibration_sim_support
