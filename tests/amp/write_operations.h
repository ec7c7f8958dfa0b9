// Every operation of nox::amp::device that changes the amplifier, each called with
// plausible arguments. Tests of device implementations use the list to check that a
// device flagged with old firmware refuses all of them and sends nothing. (The parameter
// row is a Mira row; a device of another family refuses it anyway.)
#pragma once

#include "backend/amp/device.h"
#include "backend/amp/mira_parameters.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace amp_test {

using write_operation = std::pair<std::string, std::function<int(nox::amp::device&)>>;

inline std::vector<write_operation> every_write_operation() {
    using nox::amp::device;
    nox::amp::param_entry entry;
    entry.set_address(nox::amp::mira_parameter{"Dev.Pwr.Mute", "%d", 1, 0, nox::amp::value_type_integer});
    entry.key = "mute";
    entry.per_channel = 1;
    return {
        {"write_params", [](device& d) { return d.write_params({2, 5, 5}, {1}); }},
        {"write_frame_name", [](device& d) { return d.write_frame_name("Rack 1"); }},
        {"soft_reset", [](device& d) { return d.soft_reset(); }},
        {"write_channel_names",
         [](device& d) { return d.write_channel_names({"A.Left", "A.Right", "B.Left", "B.Right"}); }},
        {"write_mute", [](device& d) { return d.write_mute(0, 1); }},
        {"write_power", [](device& d) { return d.write_power(1); }},
        {"write_ref_impedance", [](device& d) { return d.write_ref_impedance(0, {8.0f, 8.0f}); }},
        {"write_pilot_signal_all", [](device& d) { return d.write_pilot_signal_all({1, 2}, {0.5f, 0.5f}); }},
        {"write_pilot_signal", [](device& d) { return d.write_pilot_signal(1, {1, 2}, {0.5f, 0.5f}); }},
        {"write_pilot_factor", [](device& d) { return d.write_pilot_factor(2, {1.0f, 1.0f}); }},
        {"start_calibration", [](device& d) { return d.start_calibration(0x111); }},
        {"enable_pilot", [](device& d) { return d.enable_pilot(3, 0, 1); }},
        {"write_param", [entry](device& d) { return d.write_param(entry, "1"); }},
    };
}

}  // namespace amp_test
