#include "backend/requests/differences.h"

#include "backend/amp/family.h"
#include "backend/model/model_collection.h"
#include "backend/model/project_store.h"
#include "backend/requests/model_json.h"
#include "common/platform/platform.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

namespace nox {

namespace {

// Keys compared for every frame type. The second thresholds of tone 2 are left out on
// purpose: the amplifiers derive them.
constexpr std::array<std::string_view, 18> common_keys = {
    "fuse_type",          "fuse_current_limit",   "t1_cable_resistance", "t2_cable_resistance",
    "flexi_desired_vpl",  "flexi_crest_factor",   "flexi_z_nominal_load", "actual_vpl_threshold",
    "t1_upper_threshold", "t1_lower_threshold",   "t1_ref_impedance",    "t2_ref_impedance",
    "t1_frequency",       "t2_frequency",         "t1_amplitude",        "t2_amplitude",
    "t1_factor",          "t2_factor"};

constexpr float minimum_tolerance = 0.005f;

// The attribute keys of a model in a fixed order, so that a report does not depend on the
// hash map's iteration order.
std::vector<std::string> sorted_keys(const model& m) {
    std::vector<std::string> keys;
    keys.reserve(m.attributes().size());
    for (const auto& [key, value] : m.attributes()) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    return keys;
}

// The value compared for `key`: a channel's name is its routed name when it has one.
std::string compared_value(const model& m, const std::string& key, bool channel) {
    if (channel && key == "name" && m.has("routed_name")) return m.at("routed_name");
    return m.get(key);
}

void append_entry(std::string& report, const std::array<std::string, 9>& values) {
    if (!report.empty()) report += ',';
    report += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) report += ',';
        append_json_string(report, values[i]);
    }
    report += "] ";
}

void compare_collection(const std::vector<model>& copy, const std::vector<model>& current,
                        bool& count_changed, difference_report& out) {
    if (copy.size() != current.size()) {
        count_changed = true;
        return;
    }
    std::unordered_map<int32_t, const model*> by_id;
    by_id.reserve(current.size());
    for (const auto& m : current) by_id.emplace(m.id(), &m);

    static const model absent;
    for (size_t i = 0; i < copy.size(); ++i) {
        const model& before = copy[i];
        auto found = by_id.find(before.id());
        // A model that the store no longer holds is different in every compared key.
        const model& after = found != by_id.end() ? *found->second : absent;
        const bool channel = before.has("frame_id");
        const amp::family& family = amp::family_for(before.get("frame_type"));
        const char* label_key = channel ? "frame_name" : "name";
        for (const auto& key : sorted_keys(before)) {
            if (!compared_key(key, family)) continue;
            const std::string a = compared_value(before, key, channel);
            const std::string b = compared_value(after, key, channel);
            const bool missing = !after.has(key) && !(channel && key == "name" && after.has("routed_name"));
            if (!missing && equal_within_tolerance(key, a, b)) continue;
            const bool name_key = channel && key == "name";
            append_entry(out.text, {before.get("device_id"), channel ? std::to_string(i) : "frame", key, a, b,
                                    before.get(label_key), after.get(label_key),
                                    name_key ? a : before.get("name"), name_key ? b : after.get("name")});
            ++out.entries;
        }
    }
}

}  // namespace

float difference_tolerance(std::string_view key) {
    if (key == "attenuation") return 0.125f;
    if (key == "fuse_current_limit" || key == "fuse_actual_limit" || key == "threshold" ||
        key == "actual_vpl_threshold" || key == "flexi_desired_vpl")
        return 0.05f;
    // The pilot-tone and cable values have a finer table value (0.0005) that the common
    // floor raises; all other keys use the floor itself.
    return minimum_tolerance;
}

bool equal_within_tolerance(std::string_view key, const std::string& a, const std::string& b) {
    if (a == b) return true;
    float x = 0, y = 0;
    try {
        x = parse_float(a);
        y = parse_float(b);
    } catch (const std::invalid_argument&) {
        return false;
    }
    return std::fabs(x - y) < difference_tolerance(key);
}

bool compared_key(std::string_view key, const amp::family& family) {
    if (std::find(common_keys.begin(), common_keys.end(), key) != common_keys.end()) return true;
    return family.compared_key(key);
}

project_copy read_project_copy(const std::string& xml_text) {
    auto parsed = parse_project_text(xml_text, {"frames", "channels"});
    return {std::move(parsed[0]), std::move(parsed[1])};
}

difference_report compare_with_copy(const project_copy& copy, const std::vector<model>& frames,
                                    const std::vector<model>& channels) {
    difference_report out;
    compare_collection(copy.frames, frames, out.frames_count_changed, out);
    compare_collection(copy.channels, channels, out.channels_count_changed, out);
    if (!out.text.empty()) out.text = "[" + out.text + "]";
    return out;
}

bool detect_differences(project_store& store, const std::string& copy_path, std::string& report, int& count) {
    auto text = platform::read_file(copy_path);
    if (!text) throw std::runtime_error("cannot read the copy " + copy_path);
    const project_copy copy = read_project_copy(*text);
    const difference_report result =
        compare_with_copy(copy, store.collection("frames").get_all(), store.collection("channels").get_all());
    report = result.text;
    count = result.entries;
    return result.any();
}

}  // namespace nox
