#include "backend/requests/sync_handlers.h"

#include "backend/model/exceptions.h"
#include "backend/model/project_store.h"
#include "backend/requests/differences.h"
#include "backend/requests/model_json.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "common/platform/platform.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <system_error>

namespace nox {

namespace {

const std::string requests_name = "requests";

// Calls the service when a sub-request's handler ends, also when it throws.
class finish_notice {
public:
    finish_notice(sync_service& service, const model& request) : service_(service), request_(request) {}
    ~finish_notice() {
        const std::string tid = request_.get("transaction_id");
        if (!tid.empty()) service_.sub_request_finished(tid);
    }
    finish_notice(const finish_notice&) = delete;
    finish_notice& operator=(const finish_notice&) = delete;

private:
    sync_service& service_;
    const model& request_;
};

}  // namespace

std::string new_transaction_id() {
    // The generator is not thread-safe; one per thread avoids a lock.
    thread_local boost::uuids::random_generator generator;
    return boost::uuids::to_string(generator());
}

sync_service::sync_service(sync_options options) : options_(std::move(options)) {}

void sync_service::register_handlers(method_table& table) {
    table.set_handler("sync", "start", [this](model& r, request_engine& e) { start(r, e); });
    table.set_handler("sync", "wait", [this](model& r, request_engine& e) { wait(r, e); });
    table.set_handler("sync", "rollback", [this](model& r, request_engine& e) { undo(r, e); });
    table.set_handler("sync", "cancel", [this](model& r, request_engine& e) { undo(r, e); });
    for (const char* method : {"get", "put", "get_monitor"}) {
        const request_handler* installed = table.find(method, "wait");
        if (!installed) continue;
        table.set_handler(method, "wait", [this, inner = *installed](model& r, request_engine& e) {
            finish_notice notice(*this, r);
            inner(r, e);
        });
    }
}

void sync_service::start(model& request, request_engine& engine) {
    project_store& store = engine.store();
    nox::lock_guard lock(store.model_mutex());
    request.set("transaction_id", new_transaction_id());
    request.set("status", "wait");
    request.set("timestamp", std::to_string(static_cast<long long>(options_.now())));
    if (request.get("direction") == "get") {
        store.save();
        if (auto copy = make_copy(store, request.id())) {
            log_line("Making copy of current config before downloading amp " + *copy);
            request.set("current_config", *copy);
        }
    }
    request.set("requeue", "true");

    auto& frames = store.collection("frames");
    if (request.has("frame_id")) {
        const long long id = parse_int(request.at("frame_id"));
        if (id < INT32_MIN || id > INT32_MAX) throw model_not_found();
        schedule(frames.get_locked(static_cast<int32_t>(id)), request, engine);
    } else {
        for (const auto& frame : frames.get_all()) schedule(frame, request, engine);
    }
}

void sync_service::schedule(const model& frame, const model& request, request_engine& engine) {
    if (frame.has("frame_excluded", "1")) return;
    const std::string device_id = frame.get("device_id");
    if (device_id.empty()) {
        if (frame.has("__origin__") && frame.at("__origin__") != "esp")
            log_line("model id: " + std::to_string(frame.id()) + " has origin:" + frame.at("__origin__") +
                     " but no device-id?");
        return;
    }
    const std::string direction = request.get("direction");
    if (direction != "get" && direction != "get_monitor" && options_.lookup_device) {
        auto device = options_.lookup_device(device_id);
        if (device && device->unreachable()) return;
    }
    model sub;
    sub.set("frame_id", std::to_string(frame.id()));
    sub.set("device_id", device_id);
    sub.set("channels", frame.get("channels"));
    sub.set("method", direction);
    sub.set("transaction_id", request.get("transaction_id"));
    engine.post_request(std::move(sub));
}

void sync_service::wait(model& request, request_engine& engine) {
    std::uint64_t seen = 0;
    {
        lock_guard lock(wake_mutex_);
        seen = finished_;
        ++wait_looks_;
    }
    const std::string tid = request.get("transaction_id");
    bool pending = false;
    bool any_failed = false;
    engine.store().collection(requests_name).for_each([&](const model& m) {
        if (m.get("transaction_id") != tid || !m.has("transaction_id") || m.get("method") == "sync") return true;
        if (m.has("status", "wait")) pending = true;
        if (m.has("status", "fail")) any_failed = true;
        return true;
    });
    if (pending) {
        // Block instead of spinning through the queue: a finished sub-request wakes us
        // early; the pause bounds how long a processing thread is held.
        unique_lock lock(wake_mutex_);
        wake_.wait_for(lock, options_.wait_pause,
                       [&]() REQUIRES(wake_mutex_) { return finished_ != seen || engine.closed(); });
        request.set("requeue", "true");
        return;
    }

    const std::string direction = request.get("direction");
    if (direction == "get_monitor") {
        request.set("status", any_failed ? "fail" : "done");
    } else if (direction == "get") {
        request.set("status", "done");
        request.set("any_disconnected", any_failed ? "true" : "false");
        log_line("detect diffs");
        if (!request.has("current_config")) {
            log_line("no copy of the project to compare the download with");
        } else {
            nox::lock_guard lock(engine.store().model_mutex());
            std::string report;
            int count = 0;
            if (detect_differences(engine.store(), request.at("current_config"), report, count)) {
                log_line("diff results: " + report);
                request.set("diff_result", storable_text(report));
            }
        }
    } else if (direction == "put") {
        request.set("status", any_failed ? "fail" : "done");
    } else {
        std::string text;
        append_json(text, request);
        log_line("unknown sync request: \n" + text);
        throw std::runtime_error("unknown sync direction \"" + direction + "\"");
    }
    long long started = 0;
    try {
        started = parse_int(request.get("timestamp"));
    } catch (const std::invalid_argument&) {
        started = options_.now();
    }
    const long long elapsed = static_cast<long long>(options_.now()) - started;
    request.set("transaction_time", std::to_string(elapsed < 0 ? 0 : elapsed));
    if (options_.on_completed) options_.on_completed(direction);
}

void sync_service::undo(model& request, request_engine& engine) {
    const std::string path = request.at("current_config");
    const long long undone = parse_int(request.at("sync_request_id"));
    if (undone < INT32_MIN || undone > INT32_MAX) throw std::out_of_range("sync_request_id out of range");
    log_line("replacing the current config with: " + path);
    project_store& store = engine.store();
    {
        nox::lock_guard lock(store.model_mutex());
        // Check the copy before touching the project: a missing or broken copy must not
        // leave the project emptied or the project file replaced by something unreadable.
        auto text = platform::read_file(path);
        if (!text) {
            log_line("cannot read the copy " + path + "; the project is left as it is");
            request.set("status", "fail");
            return;
        }
        try {
            read_project_copy(*text);
        } catch (const std::exception& e) {
            log_line("the copy " + path + " is not a project file (" + e.what() + "); the project is left as it is");
            request.set("status", "fail");
            return;
        }
        std::string error;
        if (!platform::write_file_atomically(store.configuration_path(), *text, &error)) {
            log_line("cannot replace the configuration: " + error);
            request.set("status", "fail");
            return;
        }
        // The load replaces every collection but `requests` as a whole (a collection
        // missing from the file comes back empty), which empties them first.
        try {
            store.load(false, true);
        } catch (const std::exception& e) {
            log_line(std::string("cannot load the copy: ") + e.what());
            store.save();  // the file again matches the project in memory
            request.set("status", "fail");
            return;
        }
    }
    model done(static_cast<int32_t>(undone));
    done.set("status", "done");
    engine.enqueue_write(requests_name, std::move(done));
    if (request.get("status") == "cancel") {
        request.set("status", "done");
    } else {
        request.set("status", "start");
        request.set("direction", "put");
        request.set("requeue", "true");
    }
}

void sync_service::sub_request_finished(const std::string&) {
    {
        lock_guard lock(wake_mutex_);
        ++finished_;
    }
    wake_.notify_all();
}

std::uint64_t sync_service::wait_looks() const {
    lock_guard lock(wake_mutex_);
    return wait_looks_;
}

std::optional<std::string> sync_service::make_copy(project_store& store, int32_t owner) {
    sweep_copies(store);
    // Created and registered under the copies' mutex, so that a sweep running meanwhile
    // (the monitor thread's) sees a new copy either not at all or as registered.
    lock_guard lock(copies_mutex_);
    const std::string folder = platform::folder_of(store.configuration_path());
    auto path = platform::make_temp_file(folder, download_copy_prefix);
    if (!path) {
        log_line("cannot create a copy of the configuration in " + folder);
        return std::nullopt;
    }
    std::string error;
    if (!platform::copy_file(store.configuration_path(), *path, &error)) {
        log_line("cannot copy the configuration: " + error);
        std::remove(path->c_str());
        return std::nullopt;
    }
    copies_[std::filesystem::path(*path).filename().string()] = owner;
    return path;
}

void sync_service::sweep_copies(project_store& store) { remove_copies(store, true); }

void sync_service::remove_all_copies(project_store& store) { remove_copies(store, false); }

void sync_service::remove_copies(project_store& store, bool keep_needed) {
    if (store.configuration_path().empty()) return;
    const std::string folder = platform::folder_of(store.configuration_path());
    // The requests are looked at under the copies' mutex: a copy registered before that
    // look belongs to a download request that was stored before it.
    lock_guard lock(copies_mutex_);
    // What the stored requests still need: the copies they name, and the ids of the
    // stored sync requests (a download's own request may not carry its copy's name yet
    // while its start is being committed).
    std::set<std::string> named;
    std::set<int32_t> sync_ids;
    if (keep_needed) {
        store.collection(requests_name).for_each([&](const model& m) {
            if (m.has("current_config"))
                named.insert(std::filesystem::path(m.at("current_config")).filename().string());
            if (m.has("method", "sync")) sync_ids.insert(m.id());
            return true;
        });
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(download_copy_prefix, 0) != 0) continue;
        if (named.count(name)) continue;
        auto own = copies_.find(name);
        if (own != copies_.end() && sync_ids.count(own->second)) continue;
        std::error_code remove_error;
        std::filesystem::remove(entry.path(), remove_error);
        if (own != copies_.end()) copies_.erase(own);
    }
    for (auto it = copies_.begin(); it != copies_.end();) {
        if (!platform::path_exists((std::filesystem::path(folder) / it->first).string())) {
            it = copies_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace nox
