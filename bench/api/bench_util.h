// Small helpers shared by the API benchmarks: percentiles and a seeded project.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace orva_bench {

inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p / 100.0 * (values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// A project of `frames` frames with four channels each, with attributes of the size that
// amplifiers give them.
inline std::string project_with_frames(int frames) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><frames>";
    for (int f = 1; f <= frames; ++f) {
        int c0 = (f - 1) * 4 + 1;
        xml += "<frame><id>" + std::to_string(f) + "</id><name>Amplifier " + std::to_string(f) +
               "</name><frame_type>mira</frame_type><channels>" + std::to_string(c0) + " " +
               std::to_string(c0 + 1) + " " + std::to_string(c0 + 2) + " " + std::to_string(c0 + 3) +
               "</channels><channel_names>1 2 3 4</channel_names><model>4</model>"
               "<model_name>Q4-1200</model_name><power_status>1</power_status><synced>true</synced>"
               "<bridged>false</bridged><dico_version>3.140000</dico_version>"
               "<min_req_dico_version>3.000000</min_req_dico_version><ptg2_support>true</ptg2_support>"
               "<ptg2_sequential_support>false</ptg2_sequential_support><serial_number>SN" +
               std::to_string(100000 + f) +
               "</serial_number><mon_frame_status>ok</mon_frame_status><mon_frame_reason></mon_frame_reason>"
               "<temperature_psm>41.500000</temperature_psm><temperature_slot>38.250000</temperature_slot>"
               "<tags>hall,stage</tags></frame>";
    }
    xml += "</frames><zones><zone><id>1</id><name>Hall</name></zone></zones></configuration>";
    return xml;
}

inline double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace orva_bench
