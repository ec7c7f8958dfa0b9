// The large project of the store and project-file benchmarks: 500 frames and 2,000
// channels with about 40 attributes each, as downloads from amplifiers leave them.
#pragma once

#include "backend/model/project_store.h"

#include <string>

namespace orva_bench {

inline void fill_large_project(nox::project_store& store) {
    auto& frames = store.collection("frames");
    auto& channels = store.collection("channels");
    for (int f = 1; f <= 500; ++f) {
        nox::model frame;
        frame.set("device_id", "10.0." + std::to_string(f / 256) + "." + std::to_string(f % 256));
        frame.set("frame_type", "mira");
        frame.set("name", "Amplifier rack " + std::to_string(f));
        frame.set("model", "28");
        frame.set("model_name", "M-4 4000");
        frame.set("power_status", "1");
        frame.set("synced", "true");
        frame.set("bridged", "false");
        frame.set("dico_version", "2.150000");
        frame.set("serial_number", "SN" + std::to_string(100000 + f));
        frame.set("temperature", "41.500000");
        frame.set("mon_frame_status", "0");
        std::string ids;
        for (int k = 0; k < 4; ++k) ids += (k ? " " : "") + std::to_string((f - 1) * 4 + k + 1);
        frame.set("channels", ids);
        frames.add_locked(frame);
        for (int k = 0; k < 4; ++k) {
            nox::model ch;
            ch.set("frame_id", std::to_string(f));
            ch.set("frame_type", "mira");
            ch.set("frame_name", "Amplifier rack " + std::to_string(f));
            ch.set("name", "Zone " + std::to_string(f) + "." + std::to_string(k + 1));
            ch.set("gain", "32.000000");
            ch.set("attenuation", "-6.250000");
            ch.set("threshold", "0.000000");
            ch.set("profile", "2");
            ch.set("flexi_desired_vpl", "70.000000");
            ch.set("flexi_crest_factor", "12.000000");
            ch.set("flexi_z_nominal_load", "8.000000");
            ch.set("flexi_enabled", "true");
            ch.set("flexi_mode", "1");
            ch.set("flexi_protected", "false");
            ch.set("actual_vpl_threshold", "70.000000");
            ch.set("fuse_type", "2");
            ch.set("fuse_current_limit", "10.000000");
            ch.set("fuse_actual_limit", "10.000000");
            ch.set("mute", "0");
            ch.set("synced", "true");
            ch.set("mod_label", "Out" + std::to_string(k + 1));
            ch.set("dsp_label", "Ch" + std::to_string(k + 1));
            ch.set("routed_name", "Out" + std::to_string(k + 1));
            ch.set("routing", "primary");
            ch.set("bridged", "false");
            ch.set("controls_bridge", "false");
            ch.set("enabled_tones", "3");
            ch.set("enabled_analyser", "true");
            ch.set("last_calibrated", "2026-11-30T10:00:00");
            ch.set("t1_frequency", "19000.000000");
            ch.set("t1_level", "-30.000000");
            ch.set("t1_impedance", "8.120000");
            ch.set("t1_tolerance", "20.000000");
            ch.set("t2_frequency", "21000.000000");
            ch.set("t2_level", "-30.000000");
            ch.set("t2_impedance", "8.340000");
            ch.set("t2_tolerance", "20.000000");
            ch.set("ptg2_support", "true");
            ch.set("ptg2_sequential_support", "true");
            ch.set("model", "28");
            channels.add_locked(ch);
        }
    }
    for (const auto& ch : channels.get_all()) {
        nox::model change(ch.id());
        change.set("gain", "32.000000");
        channels.update(change);
    }
}

}  // namespace orva_bench
