#include "backend/requests/request_engine.h"

#include "backend/model/exceptions.h"
#include "backend/requests/model_json.h"
#include "backend/requests/thread_tag.h"
#include "common/log/log.h"
#include "common/metrics/metrics.h"

#include <set>

namespace nox {

namespace {

const std::string requests_name = "requests";

std::string reason_of(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

bool finished(const model& m) { return m.has("status", "done") || m.has("status", "fail"); }

// Removes every record of the transactions named (the sync requests and their per-frame
// requests).
void remove_transactions(model_collection& requests, const std::set<std::string>& transactions) {
    if (transactions.empty()) return;
    std::vector<int32_t> ids;
    requests.for_each([&](const model& m) {
        if (m.has("transaction_id") && transactions.count(m.at("transaction_id"))) ids.push_back(m.id());
        return true;
    });
    for (int32_t id : ids) requests.remove_locked(id);
}

}  // namespace

std::string storable_text(const std::string& text) {
    if (valid_attribute_value(text)) return text;
    std::string out = text;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || (u < 0x20 && c != '\t' && c != '\n' && c != '\r')) c = '?';
    }
    return out;
}

request_engine::request_engine(project_store& store, change_notifier& notifier,
                               request_engine_options options)
    : store_(store), notifier_(notifier), options_(std::move(options)) {}

request_engine::~request_engine() { close(); }

void request_engine::start(std::vector<std::thread>& workers) {
    requests_.reopen();
    transactions_.reopen();
    for (int i = 0; i < options_.processing_threads; ++i)
        workers.emplace_back([this] { processing_loop(); });
    workers.emplace_back([this] { transactor_loop(); });
}

void request_engine::close() {
    requests_.close();
    transactions_.close();
}

model request_engine::post_request(model request) {
    if (!request.has("method")) {
        log_line("refuse scheduling request (did not have method attribute!");
        throw request_refused("request has no method");
    }
    request.set("__type__", "request");
    if (!request.has("status")) request.set("status", "wait");
    auto& c = store_.collection(requests_name);
    // The collection's lock, then the queue's mutex: the queued copy and the stored
    // record appear together, and a request is never queued before it is stored.
    nox::lock_guard lock(c.mutex());
    request.set_id(c.add(request));
    metrics().request_posted(request.id());
    requests_.push(request);
    return request;
}

void request_engine::enqueue_write(std::string collection, model m, std::optional<model> seen) {
    transactions_.push({std::move(collection), std::move(m), std::move(seen)});
}

void request_engine::dispatch(model& request) {
    if (!request.has("method")) return;
    if (request.has("frame_id")) {
        bool found = false;
        try {
            long long id = parse_int(request.at("frame_id"));
            found = id >= INT32_MIN && id <= INT32_MAX &&
                    store_.collection("frames").exists_locked(static_cast<int32_t>(id));
        } catch (const std::invalid_argument&) {
            found = false;
        }
        if (!found) {
            request.set("status", "fail");
            return;
        }
    }
    const request_handler* handler = methods_.find(request.at("method"), request.get("status"));
    if (!handler) return;
    try {
        (*handler)(request, *this);
    } catch (...) {
        const std::string reason = reason_of(std::current_exception());
        log_line("request " + std::to_string(request.id()) + " (" + request.get("method") +
                 ") failed: " + reason);
        request.set("status", "fail");
        request.set("error", storable_text(reason));
    }
}

void request_engine::commit(const std::string& collection_name, const model& m, bool notify, const model* seen) {
    model copy = m;
    bool requeue = false;
    if (copy.has("requeue", "true")) {
        copy.erase("requeue");
        requeue = true;
    }
    auto& c = store_.collection(collection_name);
    if (copy.id() == 0) {
        copy.set_id(c.add_locked(copy));
        store_.on_collection_changed(collection_name);
    } else {
        std::vector<std::string> changed;
        if (seen) {
            c.update_unless_changed(copy, *seen, &changed);
        } else {
            c.update(copy, &changed);
        }
        if (!changed.empty()) {
            store_.on_collection_changed(collection_name);
            model stored;
            try {
                stored = c.get_locked(copy.id());
            } catch (const model_not_found&) {
                stored = copy;  // removed meanwhile: announce what was written
            }
            std::string text = notifier_.build_notification(collection_name, stored, changed);
            if (!text.empty()) notifier_.broadcast(text);
            if (collection_name == requests_name && notify) notifier_.broadcast("sigupdate");
        }
    }
    autosave();
    if (collection_name == requests_name) observe(copy);
    if (requeue) {
        requests_.push(copy);
    } else if (collection_name == requests_name && copy.has("status", "done") &&
               !copy.has("transaction_id")) {
        retire_done_request(c, copy.id());
    } else if (collection_name == requests_name && copy.has("method", "sync") && finished(copy)) {
        retire_finished_transaction(c, copy.id());
    }
}

void request_engine::retire_finished_transaction(model_collection& requests, int32_t id) {
    model sync;
    try {
        sync = requests.get_locked(id);
    } catch (const model_not_found&) {
        return;
    }
    if (!sync.has("method", "sync") || !sync.has("transaction_id") || !finished(sync)) return;
    const std::string direction = sync.get("direction");
    if (direction != "get" && direction != "put") return;  // monitoring: the monitor thread's
    // An earlier finished transaction of the same direction has been superseded: only the
    // latest download's copy and report are offered for an undo, and only the latest
    // upload's outcome is of interest.
    std::set<std::string> superseded;
    requests.for_each([&](const model& m) {
        if (m.id() != id && m.has("method", "sync") && m.has("direction", direction) && finished(m) &&
            m.has("transaction_id") && m.at("transaction_id") != sync.at("transaction_id"))
            superseded.insert(m.at("transaction_id"));
        return true;
    });
    remove_transactions(requests, superseded);
}

void request_engine::retire_done_request(model_collection& requests, int32_t id) {
    // A write without `transaction_id` may still end a stored transaction's request: an
    // undo marks the download it restored "done" so. The download is settled then, and
    // the records of its transaction leave with it.
    std::string transaction;
    try {
        const model stored = requests.get_locked(id);
        if (stored.has("method", "sync") && stored.has("transaction_id")) transaction = stored.at("transaction_id");
    } catch (const model_not_found&) {
    }
    requests.remove_locked(id);
    if (!transaction.empty()) remove_transactions(requests, {transaction});
}

std::uint64_t request_engine::add_commit_observer(commit_observer observer) {
    lock_guard lock(observers_mutex_);
    const std::uint64_t id = next_observer_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void request_engine::remove_commit_observer(std::uint64_t id) {
    lock_guard lock(observers_mutex_);
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void request_engine::observe(const model& request) {
    // Held during the calls, so that an observer that is being removed is not called after.
    lock_guard lock(observers_mutex_);
    for (const auto& [id, observer] : observers_) observer(request);
}

void request_engine::autosave() {
    if (!store_.model_changed()) return;
    if (options_.now() - store_.save_time() <= options_.autosave_interval) return;
    log_line("Writing configuration to disk...");
    store_.save_locked();
}

void request_engine::processing_loop() {
    const std::string tag = thread_tag();
    log_line(tag + "|> Starting processing thread");
    try {
        while (auto request = requests_.pop()) {
            dispatch(*request);
            const std::string method = request->get("method");
            metrics().request_processed(request->id(), methods_.knows(method) ? method : "other",
                                        request->get("status"), request->has("requeue", "true"));
            transactions_.push({requests_name, std::move(*request), std::nullopt});
        }
        log_line(tag + "|> Quit signal received, exiting processing thread...");
    } catch (...) {
        log_line(tag + "|> Unhandled exception in processing thread! Exiting!");
        if (fatal_hook_) fatal_hook_();
    }
}

void request_engine::transactor_loop() {
    const std::string tag = thread_tag();
    log_line(tag + "|> Starting transactor thread");
    try {
        while (auto w = transactions_.pop()) {
            try {
                commit(w->collection, w->m, true, w->seen ? &*w->seen : nullptr);
            } catch (...) {
                commit_failed(*w, reason_of(std::current_exception()));
            }
        }
        log_line(tag + "|> Quit signal received, exiting transactor...");
    } catch (...) {
        log_line(tag + "|> Unhandled exception in transactor thread! Exiting!");
        if (fatal_hook_) fatal_hook_();
    }
}

void request_engine::commit_failed(const write& w, const std::string& reason) {
    log_line("commit to " + w.collection + " of model " + std::to_string(w.m.id()) +
             " failed, skipped: " + reason);
    // A request whose final write was refused would otherwise wait for ever: record the
    // failure in its stored record so that a poller learns of it.
    if (w.collection != requests_name || w.m.id() == 0) return;
    try {
        model failed(w.m.id());
        failed.set("status", "fail");
        failed.set("error", storable_text("could not store the request: " + reason));
        commit(requests_name, failed, true);
    } catch (...) {
        log_line("could not mark request " + std::to_string(w.m.id()) + " as failed");
    }
}

}  // namespace nox
