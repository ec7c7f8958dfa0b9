#include "backend/api/notifier.h"

#include "backend/requests/model_json.h"
#include "common/log/log.h"

namespace nox {

namespace {

std::string subscription_text(const std::string& type, int32_t id, const std::string& attr,
                              int count) {
    return type + " id: " + std::to_string(id) + " attr: " + attr +
           " COUNT: " + std::to_string(count);
}

void append_member(std::string& out, const std::string& key, const std::string& value) {
    append_json_string(out, key);
    out += ':';
    append_json_string(out, value);
}

// "obj" of an event: "id" first, then the given attributes ("id" is not repeated).
void append_object(std::string& out, const model& m, const std::vector<std::string>& keys,
                   bool id_last) {
    out += '{';
    bool first = true;
    auto add = [&](const std::string& key, const std::string& value) {
        if (!first) out += ',';
        first = false;
        append_member(out, key, value);
    };
    const std::string id = std::to_string(m.id());
    if (!id_last) add("id", id);
    for (const auto& key : keys) {
        if (key == "id") continue;
        auto it = m.attributes().find(key);
        if (it != m.attributes().end()) add(key, it->second);
    }
    if (id_last) add("id", id);
    out += '}';
}

std::vector<std::string> all_keys(const model& m) {
    std::vector<std::string> keys;
    keys.reserve(m.attributes().size());
    for (const auto& [key, value] : m.attributes()) keys.push_back(key);
    return keys;
}

}  // namespace

void notifier::subscribe(const std::string& type, int32_t id, const std::string& attr) {
    lock_guard lock(mutex_);
    if (attr.empty()) {
        ++objects_[{type, id}];
        return;
    }
    int count = ++attributes_[{type, id, attr}];
    log_line("SUBSCRIBED AT: " + subscription_text(type, id, attr, count));
}

void notifier::unsubscribe(const std::string& type, int32_t id, const std::string& attr) {
    // An entry that never existed stays absent (its count would be 0 anyway), so that
    // unsubscribing cannot grow the tables.
    lock_guard lock(mutex_);
    if (attr.empty()) {
        auto it = objects_.find({type, id});
        if (it != objects_.end() && it->second > 0) --it->second;
        return;
    }
    int count = 0;
    auto it = attributes_.find({type, id, attr});
    if (it != attributes_.end()) {
        if (it->second > 0) --it->second;
        count = it->second;
    }
    log_line("UNSUBSCRIBED AT: " + subscription_text(type, id, attr, count));
}

int notifier::count(const std::string& type, int32_t id, const std::string& attr) const {
    lock_guard lock(mutex_);
    if (attr.empty()) {
        auto it = objects_.find({type, id});
        return it == objects_.end() ? 0 : it->second;
    }
    auto it = attributes_.find({type, id, attr});
    return it == attributes_.end() ? 0 : it->second;
}

std::string notifier::build_notification(const std::string& collection, const model& stored,
                                         const std::vector<std::string>& changed) {
    const bool is_request = collection == "requests";
    const std::string id = std::to_string(stored.id());
    std::string events;
    auto open_event = [&](const std::string* attr) {
        if (!events.empty()) events += ',';
        events += "{\"path\":{";
        append_member(events, "type", collection);
        events += ',';
        append_member(events, "id", id);
        if (attr) {
            events += ',';
            append_member(events, "attr", *attr);
        }
        events += "},\"obj\":";
    };

    lock_guard lock(mutex_);
    if (objects_.empty() && attributes_.empty()) return {};
    auto subscribed = [&](int32_t id) REQUIRES(mutex_) {
        auto object = objects_.find({collection, id});
        return object != objects_.end() && object->second > 0;
    };
    // Id 0 names no model: an object subscription with it covers every model of the
    // collection, so a client that shows a whole list needs one subscription, not one
    // per model (and hears of models added later).
    if (subscribed(stored.id()) || subscribed(0)) {
        open_event(nullptr);
        append_object(events, stored, is_request ? all_keys(stored) : changed, false);
        events += '}';
    }
    for (const auto& key : changed) {
        auto attribute = attributes_.find({collection, stored.id(), key});
        if (attribute == attributes_.end() || attribute->second <= 0) continue;
        open_event(&key);
        append_object(events, stored, is_request ? all_keys(stored) : std::vector<std::string>{key},
                      !is_request);
        events += '}';
    }
    if (events.empty()) return {};
    return "application/json{\"events\":[" + events + "]}\n";
}

}  // namespace nox
