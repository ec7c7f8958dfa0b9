#include "backend/requests/client_edits.h"

#include "backend/model/project_store.h"
#include "backend/requests/request_engine.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace nox {

std::optional<model> amplifier_update(const std::string& collection, const model& stored, const model& merged) {
    const bool frame = collection == "frames";
    if ((!frame && collection != "channels") || merged.get("device_id").empty()) return std::nullopt;
    model diffs;
    for (const auto& [key, value] : merged.attributes()) {
        if (key == "id") continue;
        auto old = stored.attributes().find(key);
        if (old == stored.attributes().end() || old->second != value) diffs.set(key, value);
    }
    if (diffs.empty()) return std::nullopt;
    if (frame) {
        diffs.set("frame_id", std::to_string(merged.id()));
    } else {
        if (merged.has("frame_id")) diffs.set("frame_id", merged.at("frame_id"));
        diffs.set("channel_id", std::to_string(merged.id()));
    }
    diffs.set("device_id", merged.at("device_id"));
    // Updates may be carried out out of order by the processing threads: the number tells
    // the handler which of two updates of the same value is the later edit.
    static std::atomic<std::uint64_t> edits{0};
    diffs.set("edit", std::to_string(++edits));
    diffs.set("method", "put_diffs");
    diffs.erase("status");
    diffs.erase("__type__");
    return diffs;
}

model apply_client_edit(request_engine& engine, const std::string& collection, const model& stored,
                        const model& body) {
    // Everything that refuses a body is checked before anything changes.
    check_attributes(body);
    model merged = stored;
    for (const auto& [key, value] : body.attributes()) merged.set(key, value);
    normalise_merged(merged, body);
    merged.set_id(stored.id());
    // The amplifier update is stored before the edit: a monitoring pass that finds the
    // edit in the store also finds the update waiting, and leaves its values alone
    // instead of writing back what it read from the amplifier before they got there.
    if (auto update = amplifier_update(collection, stored, merged)) engine.post_request(std::move(*update));
    engine.commit(collection, body, false);
    return merged;
}

model create_offline_frame(project_store& store, model frame) {
    auto& frames = store.collection("frames");
    auto& channels = store.collection("channels");
    std::string name = frame.get("name");
    if (name.empty()) name = "unnamed";
    std::string channel_names = frame.get("channel_names");
    if (channel_names.empty()) channel_names = "1 2 3 4";
    frame.set("name", name);
    frame.set("channel_names", channel_names);
    // Check before anything is added, so that a refused frame leaves no channels behind.
    check_attributes(frame);
    normalise_merged(frame, frame);
    frame.set_id(frames.reserve_id());

    std::vector<std::string> names;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = channel_names.find(' ', start);
        std::string part = channel_names.substr(start, end - start);
        if (!part.empty()) names.push_back(std::move(part));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::string ids;
    for (size_t i = 0; i < 4; ++i) {
        model channel(channels.reserve_id());
        channel.set("frame_id", std::to_string(frame.id()));
        channel.set("frame_name", name);
        channel.set("name", i < names.size() ? names[i] : std::to_string(i + 1));
        for (const char* key : {"frame_type", "model"})
            if (frame.has(key)) channel.set(key, frame.at(key));
        channels.add_locked(channel);
        if (!ids.empty()) ids += ' ';
        ids += std::to_string(channel.id());
    }
    frame.set("channels", ids);
    frames.add_locked(frame);
    store.on_collection_changed("channels");
    store.on_collection_changed("frames");
    return frame;
}

}  // namespace nox
