// The sequence of operations that the device fuzz targets run on an amplifier device (a
// `mira_device` or a `tesira_device`). The seed capture runs the same sequence against
// the Mira simulator and records every reply: a seed then replays a real exchange, reply
// for reply.
//
// `project_text` hands out the project texts that the writes are given (one call per
// write, in order); `more` is false once the fuzz input (or the target's budget) is used
// up, which ends the parameter loop early.
#pragma once

#include "backend/amp/mira_device.h"

#include <functional>
#include <string>
#include <vector>

namespace orva_fuzz {

// Every read a device has, and the writes that read before they write. Returns the words
// of the last monitoring read (empty when it failed).
inline std::vector<std::uint32_t> exercise_device(nox::amp::device& device,
                                                   const std::function<std::string()>& project_text,
                                                   const std::function<bool()>& more) {
    int code = 0, mute = 0, on = 0, mode = 0, done = 0;
    bool primary = false;
    std::string name, type, module_label, output_label, message;
    std::vector<std::string> names;
    std::vector<std::uint32_t> words, monitor;
    nox::amp::pilot_readings pilot;
    device.read_model(code, name, type);
    device.firmware_version();
    device.login_required(message);
    device.read_frame_name(name);
    device.read_channel_names(names);
    device.read_routing(names);
    for (int channel = 0; channel < 4; ++channel) {
        device.read_mute(channel, mute);
        device.read_bridge_mode(static_cast<unsigned>(channel), mode, primary);
        device.read_channel_labels(channel, module_label, output_label);
        device.read_pilot(channel, pilot);
    }
    device.read_power(on);
    device.calibration_done(0xFFF, done);
    device.read_monitor(monitor);
    device.read_params({0, 4, 4}, words);
    device.read_params({5, 300, 357}, words);
    float version = 0;
    device.read_firmware_parameter(version);

    std::vector<nox::amp::param_entry> entries;
    for (int which = 0; which < 2; ++which) {
        if (device.parameter_list(which, entries) != 0) continue;
        for (const auto& entry : entries) {
            if (!more()) break;
            nox::amp::param_value value;
            device.read_param(entry, value);
            if (!entry.read_only) device.write_param(entry, project_text());
        }
    }
    std::vector<std::string> new_names;
    for (int channel = 0; channel < 4; ++channel) new_names.push_back(project_text());
    device.write_channel_names(new_names);
    device.write_frame_name(project_text());
    return monitor;
}

// exercise_device, and the selection query only a Mira amplifier answers.
inline std::vector<std::uint32_t> exercise_mira_device(nox::amp::mira_device& device,
                                                        const std::function<std::string()>& project_text,
                                                        const std::function<bool()>& more) {
    bool selected = false;
    device.is_selected(selected);
    return exercise_device(device, project_text, more);
}

}  // namespace orva_fuzz
