// Reading a metrics scrape (Prometheus text format) in tests.
#pragma once

#include <optional>
#include <sstream>
#include <string>

namespace orva_test {

// The value of the series written exactly as `series` (name and labels), if present.
inline std::optional<double> metric_value(const std::string& text, const std::string& series) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 && line[series.size()] == ' ')
            return std::stod(line.substr(series.size() + 1));
    return std::nullopt;
}

}  // namespace orva_test
