// `nox::model_collection`: a named set of models of one kind ("frames", "channels", ...),
// kept in a vector with an index from id to position.
//
// Ids: a model added with id 0 gets the next id; adding a model with an explicit id
// raises the next id past it, so automatic ids never collide with stored ones. Emptying
// the collection resets the next id to 1. Removal moves the last model into the gap, so
// the order of the remaining models changes (constant-time removal).
//
// Merge (`update`) applies the store's normalisation of channel values: the
// `flexi_desired_vpl` floor of 17.8 and the coupling of `gain` and `sensitivity` for
// models that carry a `frame_type`, with the gain base of the frame type's family
// (single-precision arithmetic).
//
// Every write refuses keys and values that cannot round-trip through the project file
// (nox::invalid_attribute), leaving the collection unchanged.
//
// Thread safety: each collection has a reader/writer lock. A name ending in `_locked`
// always means "takes the lock itself" (in the whole code base): the `_locked`
// operations, and `get_all`, `get_many`, `find_where`, `find_first`, `for_each`,
// `update`, `update_unless_changed`, `remove_where`, `replace_all`, take it themselves
// (shared for reads, exclusive for writes). The plain `add`, `get`, `exists`, `put`,
// `remove`, `clear` expect the caller to hold the lock (`mutex()`), exclusively for the
// writes; the thread-safety annotations let clang check both. The next id is atomic, so
// code outside the lock may reserve an id with `reserve_id`.
#pragma once

#include "backend/model/model.h"
#include "common/platform/mutex.h"

#include <atomic>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nox {

class model_collection {
public:
    explicit model_collection(std::string name) : name_(std::move(name)) {}
    model_collection(const model_collection&) = delete;
    model_collection& operator=(const model_collection&) = delete;

    const std::string& name() const { return name_; }
    shared_mutex& mutex() const RETURN_CAPABILITY(mutex_) { return mutex_; }

    // Adds a copy of `m` (id 0: the next id) and returns its id. Caller holds the lock.
    int32_t add(model m) REQUIRES(mutex_);
    int32_t add_locked(model m) EXCLUDES(mutex_);

    // Copy of the model with this id; throws nox::model_not_found. Caller holds the lock.
    model get(int32_t id) const REQUIRES_SHARED(mutex_);
    model get_locked(int32_t id) const EXCLUDES(mutex_);
    bool exists(int32_t id) const REQUIRES_SHARED(mutex_);
    bool exists_locked(int32_t id) const EXCLUDES(mutex_);
    size_t size_locked() const EXCLUDES(mutex_);

    std::vector<model> get_all() const EXCLUDES(mutex_);
    // Models whose ids exist, in the order of `ids`.
    std::vector<model> get_many(const std::vector<int32_t>& ids) const EXCLUDES(mutex_);
    // Models whose attribute `key` equals `value` exactly, in vector order.
    std::vector<model> find_where(const std::string& key, const std::string& value) const EXCLUDES(mutex_);
    // The first such model; throws nox::model_not_found.
    model find_first(const std::string& key, const std::string& value) const EXCLUDES(mutex_);
    // Visits models in vector order until the visitor returns false.
    void for_each(const std::function<bool(const model&)>& visitor) const EXCLUDES(mutex_);

    // Replaces id and attributes of the stored model with the same id; false when absent.
    // Caller holds the lock.
    bool put(model m) REQUIRES(mutex_);
    // Merges the attributes of `m` into the stored model with the same id and normalises
    // it. `changed_keys`, when given, receives the incoming keys whose value was new or
    // different. An id that is not stored is ignored (returns false, nothing changed).
    bool update(const model& m, std::vector<std::string>* changed_keys = nullptr) EXCLUDES(mutex_);
    // `update` with only those attributes of `m` whose stored value is still the one in
    // `seen` (a key absent from `seen` must still be absent): a write-back of values
    // computed from an earlier read leaves alone what another writer changed meanwhile.
    // The check and the merge happen under one hold of the lock.
    bool update_unless_changed(const model& m, const model& seen, std::vector<std::string>* changed_keys = nullptr)
        EXCLUDES(mutex_);

    // Removes the model with this id; false when absent. `remove` expects the lock held.
    bool remove(int32_t id) REQUIRES(mutex_);
    bool remove_locked(int32_t id) EXCLUDES(mutex_);
    // Removes every model whose `key` equals `value`; models lacking `key` are kept.
    // Returns the number removed.
    size_t remove_where(const std::string& key, const std::string& value) EXCLUDES(mutex_);

    // Removes all models and resets the next id to 1.
    void clear() REQUIRES(mutex_);
    void clear_locked() EXCLUDES(mutex_);
    // `clear`, then `add` each model in order (stored ids are kept).
    void replace_all(const std::vector<model>& models) EXCLUDES(mutex_);

    // Takes an id for a model that will be added later (atomic, no lock needed).
    int32_t reserve_id() { return next_id_.fetch_add(1); }
    int32_t next_id() const { return next_id_.load(); }

    // Largest number of models a collection may hold.
    static constexpr size_t max_models = 119304646;

private:
    // Merges the attributes of `incoming` into the stored model at `index`.
    void merge_at(size_t index, const model& incoming, std::vector<std::string>* changed_keys) REQUIRES(mutex_);

    const std::string name_;
    mutable shared_mutex mutex_;
    std::atomic<int32_t> next_id_{1};
    std::vector<model> models_ GUARDED_BY(mutex_);
    std::unordered_map<int32_t, size_t> position_ GUARDED_BY(mutex_);  // id -> index in models_
};

// Applies the store's normalisation to `merged` after the attributes of `incoming` were
// merged into it: the `flexi_desired_vpl` floor and the gain/sensitivity coupling.
// Throws std::invalid_argument when a value involved does not parse.
void normalise_merged(model& merged, const model& incoming);

}  // namespace nox
