// `nox::project_store`: the backend's project data. It owns the registered collections
// (in registration order), the separate "logins" collection, the model mutex, the
// model-changed flag with the time of the last save, and the persistence of the project
// as XML (`configuration_orva.xml`).
//
// File layout (see docs/project_file.md): a root element `configuration`; inside it one
// element per non-empty collection (`requests` is never saved); inside that one element per
// model named after the collection without its last character ("frames" -> "frame");
// inside each model one element per attribute holding its text.
//
// Saving is atomic (temporary file, fsync, rename) and never writes what cannot be read
// back. Loading parses and checks the whole file before any collection is replaced.
//
// Thread safety: `collection()` and the settings helpers may be used from any thread (the
// collections lock themselves). `save()`, `load()` and `install()` expect the caller to
// hold `model_mutex()`; `save_locked()` and `load_working_copy()` take it (`_locked`
// always means "takes the lock itself"). The model mutex is taken before any collection
// lock, never while one is held. The hooks are set once before threads start.
#pragma once

#include "backend/model/model_collection.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace nox {

// The model mutex. Work that talks to amplifiers must not run under it (a silent
// amplifier takes seconds), yet a load that replaces the project under it must rebuild
// the devices: such work is handed to `after_unlock` and runs on the same thread right
// after the mutex is released.
class CAPABILITY("mutex") model_mutex_type {
public:
    void lock() ACQUIRE();
    bool try_lock() TRY_ACQUIRE(true);
    // Releases the mutex, then runs the work handed over while it was held (in order; an
    // exception is logged and ends only that piece of work).
    void unlock() RELEASE();
    // True when the calling thread holds the mutex.
    bool held_by_this_thread() const;
    // Runs `work` once the calling thread, which holds the mutex, releases it.
    void after_unlock(std::function<void()> work) REQUIRES(this);

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    std::vector<std::function<void()>> after_unlock_;  // guarded by mutex_
};

class project_store {
public:
    using clock = std::chrono::steady_clock;

    project_store();
    project_store(const project_store&) = delete;
    project_store& operator=(const project_store&) = delete;

    // The names registered at start-up, in order.
    static const std::vector<std::string>& default_collection_names();
    // Registers one collection (appended to the order); registering a name twice is a no-op.
    void register_collection(const std::string& name);
    void register_default_collections();

    // The registered collection `name`; throws nox::generic_model_not_found.
    model_collection& collection(const std::string& name);
    const std::vector<std::unique_ptr<model_collection>>& collections() const { return collections_; }
    // The server logins: not part of the project file and not found by name. They are kept
    // in a file of their own beside it (`logins.xml`, readable by its owner only), so they
    // survive a restart of the backend: loaded at start, saved after every change.
    model_collection& logins() { return logins_; }
    // Replaces the logins with those of the logins file (none when it is missing; an
    // unreadable file is logged and leaves none).
    void load_logins();
    // Writes the logins file; false (logged) when it cannot be written.
    bool save_logins();
    std::string logins_path() const;

    model_mutex_type& model_mutex() RETURN_CAPABILITY(model_mutex_) { return model_mutex_; }

    void set_paths(std::string configuration_path, std::string template_path);
    const std::string& configuration_path() const { return configuration_path_; }
    const std::string& template_path() const { return template_path_; }

    // Hooks: `broadcast` sends an event word to every WebSocket client; `rebuild_devices`
    // rebuilds the amplifier device registry after a load (argument: keep_devices);
    // `installed` is told when a load has replaced the collections, before the devices
    // are rebuilt.
    void set_broadcast(std::function<void(const std::string&)> broadcast);
    void set_rebuild_devices(std::function<void(bool)> rebuild);
    void set_installed(std::function<void()> installed);
    void broadcast(const std::string& event) const;

    // Models written in place of the stored models with the same collection and id.
    using replacements = std::vector<std::pair<std::string, model>>;

    // The project as XML text (the declaration line, then the element tree). Attributes
    // that could not be read back are left out and logged. A stored model that has an
    // entry in `instead` is written as that entry (an export writes the settings it is
    // about to adopt before adopting them).
    std::string serialise(const replacements& instead = {}) const;
    // Writes the project file; caller holds the model mutex. On success clears the
    // model-changed flag. On failure logs the reason and leaves the flag set so that a
    // later save retries. The save time is advanced in both cases.
    bool save() REQUIRES(model_mutex_);
    bool save_locked() EXCLUDES(model_mutex_);

    // Reads the project file (copying the template first when the file is missing and
    // `use_template`); caller holds the model mutex. The whole file is parsed and checked
    // before any collection is replaced: on any fault it throws std::runtime_error and
    // every collection keeps its content. A collection node missing from the file loads
    // as an empty collection. Then rebuilds the devices, announces the dirty state, sets
    // the save time and clears the model-changed flag.
    void load(bool use_template, bool keep_devices) REQUIRES(model_mutex_);
    // Loads the working copy under the model mutex. A project file that cannot be loaded
    // is renamed aside ("configuration_orva.xml.unreadable-<time>"), never deleted, the
    // reason is logged and the template is loaded instead. Returns false when the
    // file had to be set aside.
    bool load_working_copy(bool keep_devices) EXCLUDES(model_mutex_);
    // The tail of a load for project text parsed already (`parse_project_text` over
    // `saved_collection_names()`): replaces those collections, then rebuilds the devices,
    // announces the dirty state, sets the save time and clears the model-changed flag.
    // Caller holds the model mutex. The rebuild talks to the amplifiers: it runs once the
    // caller releases the model mutex (`after_unlock`), or at once when the caller does
    // not hold it.
    void install(std::vector<std::vector<model>> parsed, bool keep_devices) REQUIRES(model_mutex_);
    // The registered collections that the project file holds (all but `requests`), in order.
    std::vector<std::string> saved_collection_names() const;

    // Change marking after a collection has actually changed.
    void on_collection_changed(const std::string& collection_name);
    bool model_changed() const { return model_changed_.load(); }
    void set_model_changed(bool changed) { model_changed_.store(changed); }
    clock::time_point save_time() const;

    void mark_project_clean();
    bool is_project_dirty();
    void set_project_dirty(bool dirty);

    // Model 1 of `settings`, created empty when absent / added or replaced.
    model get_settings();
    void put_settings(const model& settings);

    // Every frame and then every channel whose `synced` is "true" becomes "false".
    void mark_all_unsynced();

private:
    void set_save_time(clock::time_point t);

    model_mutex_type model_mutex_;
    std::vector<std::unique_ptr<model_collection>> collections_;  // fixed after start-up
    model_collection logins_{"logins"};
    std::string configuration_path_;
    std::string template_path_;
    std::function<void(const std::string&)> broadcast_;
    std::function<void(bool)> rebuild_devices_;
    std::function<void()> installed_;
    std::atomic<bool> model_changed_{false};
    mutable mutex save_time_mutex_;
    clock::time_point save_time_ GUARDED_BY(save_time_mutex_);
};

// Limits of a project text, checked before the XML parser runs: the parser recurses once
// per nesting level and keeps every element and XML attribute as a node, so a hostile
// text (nesting by the million, millions of empty elements) would otherwise exhaust the
// stack or gigabytes of memory. A project file nests four levels deep, and a project of
// 10,000 channels (2,500 frames) holds under half a million elements.
inline constexpr int max_project_depth = 32;
inline constexpr size_t max_project_nodes = 1000000;

// Throws std::runtime_error when `xml_text` nests elements deeper than `max_depth` or
// holds more elements and XML attributes together than `max_nodes`. Comments, CDATA
// sections, processing instructions and quoted attribute values are skipped as the parser
// skips them; unbalanced end tags never lower the count below zero. For every XML text
// from outside, before the (recursive) XML parser sees it.
void check_xml_shape(std::string_view xml_text, int max_depth, size_t max_nodes);

// check_xml_shape with the limits of a project text.
void check_project_text_shape(std::string_view xml_text);

// Parses the text of a project file into the models of the collections `names`, in that
// order, checked and normalised as a load does (a missing collection gives no models).
// Pure: touches no store and no file. Throws std::runtime_error naming the fault (the
// shape limits above included).
std::vector<std::vector<model>> parse_project_text(const std::string& xml_text,
                                                   const std::vector<std::string>& names);

// Element name of a collection's models: the collection name without its last character.
std::string element_name_of(const std::string& collection_name);

}  // namespace nox
