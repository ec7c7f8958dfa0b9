// Differences between a saved copy of the project and the project in the store: which
// frame and channel settings an amplifier download changed.
//
// The report is a JSON array with one entry per differing attribute, each entry an array
// of nine strings followed by one blank:
//   ["<device_id>","<frame|channel position>","<key>","<copy value>","<store value>",
//    "<copy label>","<store label>","<copy name>","<store name>"]
// The label of a frame is its `name`, of a channel its `frame_name`. The channel position
// is its 0-based place among the channels of the copy. For a channel's `name` the values
// compared are the `routed_name` texts when present, and entries 8 and 9 repeat them.
// Entries are joined with "," and wrapped in "[" ... "]"; values are JSON-escaped (plain
// names come out unchanged).
//
// Only the keys of `compared_key` are compared, each within its tolerance
// (`equal_within_tolerance`). A collection whose number of models changed counts as
// different without producing entries. A model of the copy that the store no longer
// holds, or that lacks a compared key there, gives entries with an empty store value.
//
// The same tolerance rule serves the monitor's change detection.
//
// Thread safety: pure functions, except `detect_differences`, which reads the store's
// collections under their own locks (the caller holds the model mutex so that no load
// replaces them meanwhile).
#pragma once

#include "backend/amp/family.h"
#include "backend/model/model.h"
#include "backend/model/project_store.h"

#include <string>
#include <string_view>
#include <vector>

namespace nox {

// The tolerance within which two numeric values of `key` count as equal: attenuation
// 0.125; fuse limits, threshold, actual_vpl_threshold and flexi_desired_vpl 0.05; every
// other key (the pilot-tone and cable values included) 0.005.
float difference_tolerance(std::string_view key);

// Identical texts, or both parse as single-precision floats that differ by less than the
// key's tolerance.
bool equal_within_tolerance(std::string_view key, const std::string& a, const std::string& b);

// Whether a download comparison looks at `key` of a model of `family` (the family of its
// `frame_type`, Mira when it has none): the keys compared for every family and the
// family's own (amp::family::compared_key).
bool compared_key(std::string_view key, const amp::family& family);

struct difference_report {
    std::string text;  // "[...]" when there are entries, else empty
    int entries = 0;
    bool frames_count_changed = false;
    bool channels_count_changed = false;

    // True when any collection differed (count or entries).
    bool any() const { return entries > 0 || frames_count_changed || channels_count_changed; }
};

// The frames and channels of a project file text, as the store's load builds them (ids,
// direct child elements, normalisation). Throws std::runtime_error on malformed text.
struct project_copy {
    std::vector<model> frames;
    std::vector<model> channels;
};
project_copy read_project_copy(const std::string& xml_text);

// Compares a copy with the current models (frames, then channels).
difference_report compare_with_copy(const project_copy& copy, const std::vector<model>& frames,
                                    const std::vector<model>& channels);

// Reads the copy at `copy_path` and compares it with the store. `report` receives the
// report text, `count` the number of entries; returns whether anything differed. Throws
// std::runtime_error when the copy cannot be read.
bool detect_differences(project_store& store, const std::string& copy_path, std::string& report,
                        int& count);

}  // namespace nox
