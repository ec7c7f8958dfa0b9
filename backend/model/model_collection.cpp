#include "backend/model/model_collection.h"

#include "backend/amp/family.h"
#include "backend/model/exceptions.h"

#include <climits>
#include <cmath>
#include <stdexcept>

namespace nox {

int32_t model_collection::add(model m) {
    check_attributes(m);
    if (models_.size() == models_.capacity()) {
        if (models_.size() >= max_models) throw std::length_error("vector<T> too long");
        models_.reserve(std::min(max_models, 2 * models_.size() + 2));
    }
    int32_t id = m.id();
    if (id == 0) {
        // Taken atomically, as `reserve_id` does, so that the two never hand out one id twice.
        id = next_id_.load();
        while (id < INT32_MAX && !next_id_.compare_exchange_weak(id, id + 1)) {
        }
    }
    // Checked after the automatic choice too: once the largest id is taken, the next
    // automatic id stays on it (see below) and a further model is refused.
    if (position_.count(id)) throw std::invalid_argument("duplicate id " + std::to_string(id) + " in " + name_);
    // Raise the next id past this one so later automatic ids never collide; it stops at
    // the largest id instead of wrapping to negative ones.
    const int32_t after = id == INT32_MAX ? INT32_MAX : id + 1;
    int32_t current = next_id_.load();
    while (current < after && !next_id_.compare_exchange_weak(current, after)) {
    }
    m.set_id(id);
    position_[id] = models_.size();
    models_.push_back(std::move(m));
    return id;
}

int32_t model_collection::add_locked(model m) {
    lock_guard lock(mutex_);
    return add(std::move(m));
}

model model_collection::get(int32_t id) const {
    auto it = position_.find(id);
    if (it == position_.end()) throw model_not_found();
    return models_[it->second];
}

model model_collection::get_locked(int32_t id) const {
    shared_guard lock(mutex_);
    return get(id);
}

bool model_collection::exists(int32_t id) const { return position_.count(id) != 0; }

bool model_collection::exists_locked(int32_t id) const {
    shared_guard lock(mutex_);
    return exists(id);
}

size_t model_collection::size_locked() const {
    shared_guard lock(mutex_);
    return models_.size();
}

std::vector<model> model_collection::get_all() const {
    shared_guard lock(mutex_);
    return models_;
}

std::vector<model> model_collection::get_many(const std::vector<int32_t>& ids) const {
    shared_guard lock(mutex_);
    std::vector<model> result;
    result.reserve(ids.size());
    for (int32_t id : ids) {
        auto it = position_.find(id);
        if (it != position_.end()) result.push_back(models_[it->second]);
    }
    return result;
}

std::vector<model> model_collection::find_where(const std::string& key,
                                                const std::string& value) const {
    shared_guard lock(mutex_);
    std::vector<model> result;
    for (const auto& m : models_)
        if (m.has(key, value)) result.push_back(m);
    return result;
}

model model_collection::find_first(const std::string& key, const std::string& value) const {
    shared_guard lock(mutex_);
    for (const auto& m : models_)
        if (m.has(key, value)) return m;
    throw model_not_found();
}

void model_collection::for_each(const std::function<bool(const model&)>& visitor) const {
    shared_guard lock(mutex_);
    for (const auto& m : models_)
        if (!visitor(m)) break;
}

bool model_collection::put(model m) {
    auto it = position_.find(m.id());
    if (it == position_.end()) return false;
    check_attributes(m);
    m.set_id(m.id());
    models_[it->second] = std::move(m);
    return true;
}

void model_collection::merge_at(size_t index, const model& incoming, std::vector<std::string>* changed_keys) {
    // Merge into a copy so that a value that fails normalisation changes nothing.
    model merged = models_[index];
    std::vector<std::string> changed;
    for (const auto& [key, value] : incoming.attributes()) {
        if (changed_keys) {
            auto stored = merged.attributes().find(key);
            if (stored == merged.attributes().end() || stored->second != value) changed.push_back(key);
        }
        merged.set(key, value);
    }
    normalise_merged(merged, incoming);
    merged.set_id(incoming.id());
    models_[index] = std::move(merged);
    if (changed_keys) *changed_keys = std::move(changed);
}

bool model_collection::update(const model& incoming, std::vector<std::string>* changed_keys) {
    check_attributes(incoming);
    lock_guard lock(mutex_);
    auto it = position_.find(incoming.id());
    if (it == position_.end()) return false;
    merge_at(it->second, incoming, changed_keys);
    return true;
}

bool model_collection::update_unless_changed(const model& incoming, const model& seen,
                                             std::vector<std::string>* changed_keys) {
    check_attributes(incoming);
    lock_guard lock(mutex_);
    auto it = position_.find(incoming.id());
    if (it == position_.end()) return false;
    const model& stored = models_[it->second];
    model still(incoming.id());
    for (const auto& [key, value] : incoming.attributes()) {
        if (key == "id") continue;
        const auto now = stored.attributes().find(key);
        const auto then = seen.attributes().find(key);
        const bool now_present = now != stored.attributes().end();
        const bool then_present = then != seen.attributes().end();
        if (now_present != then_present || (now_present && now->second != then->second)) continue;
        still.set(key, value);
    }
    if (still.attributes().size() <= 1) {
        if (changed_keys) changed_keys->clear();
        return true;
    }
    merge_at(it->second, still, changed_keys);
    return true;
}

bool model_collection::remove(int32_t id) {
    auto it = position_.find(id);
    if (it == position_.end()) return false;
    if (models_.size() == 1) {
        clear();
        return true;
    }
    size_t index = it->second;
    position_.erase(it);
    if (index != models_.size() - 1) {
        models_[index] = std::move(models_.back());
        position_[models_[index].id()] = index;
    }
    models_.pop_back();
    return true;
}

bool model_collection::remove_locked(int32_t id) {
    lock_guard lock(mutex_);
    return remove(id);
}

size_t model_collection::remove_where(const std::string& key, const std::string& value) {
    lock_guard lock(mutex_);
    std::vector<int32_t> ids;
    for (const auto& m : models_)
        if (m.has(key, value)) ids.push_back(m.id());
    for (int32_t id : ids) remove(id);
    return ids.size();
}

void model_collection::clear() {
    models_.clear();
    models_.shrink_to_fit();
    position_.clear();
    next_id_.store(1);
}

void model_collection::clear_locked() {
    lock_guard lock(mutex_);
    clear();
}

void model_collection::replace_all(const std::vector<model>& models) {
    lock_guard lock(mutex_);
    clear();
    for (const auto& m : models) add(m);
}

void normalise_merged(model& merged, const model& incoming) {
    static const std::string vpl_key = "flexi_desired_vpl";
    if (merged.has(vpl_key) && merged.get_float(vpl_key) < 17.8f)
        merged.set(vpl_key, format_float(17.8));  // "17.800000"

    if (!merged.has("frame_type") || !(merged.has("gain") || merged.has("sensitivity"))) return;
    const bool incoming_gain = incoming.has("gain");
    const bool incoming_sensitivity = incoming.has("sensitivity");
    if (!incoming_gain && !incoming_sensitivity) return;

    const float base = amp::family_for(merged.get("frame_type")).gain_base();
    const float full_scale = 20.0f * std::log10(100.0f / std::sqrt(2.0f) / 0.775f);
    const float lo = full_scale - base - 15.0f;
    const float hi = full_scale - base + 36.1f;
    if (incoming_sensitivity && !incoming_gain) {
        const float sensitivity = merged.get_float("sensitivity");
        if (!std::isfinite(sensitivity) || std::fabs(sensitivity) > 1e9f)
            throw std::invalid_argument("sensitivity out of range: \"" + merged.get("sensitivity") + "\"");
        merged.set("gain", format_float(lo + (hi - lo) * sensitivity / 511.0f));
    }
    // The sensitivity always follows the stored gain text, also when it came in alone:
    // then a model read back from its own file is the same model. A sensitivity of "3.7"
    // would otherwise be kept as sent and become "4" at the next load, and one too large
    // would give a gain that the next load refuses, losing the saved project.
    const float gain = merged.has("gain") ? merged.get_float("gain") : lo;
    const float sensitivity = (gain - lo) / (hi - lo) * 511.0f + 0.5f;
    // A gain far outside the amplifier's range must not overflow the integer.
    if (!std::isfinite(sensitivity) || std::fabs(sensitivity) > 1e9f)
        throw std::invalid_argument("gain out of range: \"" + merged.get("gain") + "\"");
    merged.set("sensitivity", std::to_string(static_cast<long long>(sensitivity)));
}

}  // namespace nox
