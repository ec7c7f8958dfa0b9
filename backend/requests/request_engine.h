// `nox::request_engine`: the request queue, the eight processing threads that carry out
// requests through the method table, the transaction queue and the transactor thread,
// which applies the writes that request handlers and the monitor produce.
//
// Road of a request: `post_request` stores it in `requests` (new id, `status` "wait",
// `__type__` "request") and queues a copy; a processing thread pops it, `dispatch` runs
// the handler of its (method, status) pair, and the request as the handler left it goes
// to the transaction queue; the transactor `commit`s it: merged into `requests`,
// subscribers notified, "sigupdate" broadcast, queued again when the handler asked for
// `requeue`, removed when "done" (unless it carries `transaction_id`; the records of a
// synchronisation leave once no undo needs them, see `retire_finished_transaction`). The
// transactor also saves the project at most once every 10 seconds while it has changed,
// and tells the commit observers of every request it stored.
//
// The write rule of the store (docs/architecture.md has the whole of it):
//   1. Any thread may write, but only through the collections' own operations, each under
//      its collection's exclusive lock, and never holding a collection lock while taking
//      the model mutex (lock order: model mutex, registry mutexes, one collection lock,
//      then the queue, notifier and log mutexes).
//   2. A write merges only the attributes its writer means to change (`update`), never a
//      whole copy read earlier.
//   3. A write-back of values computed from an earlier read (the monitor's, a transfer's)
//      is conditional: an attribute that another writer changed since that read is left
//      as that writer left it (`enqueue_write` with `seen`, applied with
//      `model_collection::update_unless_changed`).
//   4. Whole-project operations (load, import, new project, save) hold the model mutex.
// Request handlers and the monitor hand their writes to the transactor, so that a
// request's writes become visible in the order they were made; clients (REST), the device
// registry and whole-project operations write directly under the same rule.
//
// Failures: an exception out of a handler ends that request with `status` "fail" and the
// reason in `error`; an exception in a commit skips that commit (a request whose commit
// failed is marked "fail" in the store); neither stops a thread. Only an exception that
// escapes a thread's loop itself is fatal: it is logged and the fatal hook (the backend's
// quit) is called.
//
// Thread safety: `post_request`, `enqueue_write`, `commit`, `dispatch`, `broadcast` and
// `close` may be called from any thread, but not holding the model mutex (a commit may
// save). Commit observers come and go from any thread. `methods()` is filled before
// `start`. `start` and `close` are called by the backend's main thread.
#pragma once

#include "backend/model/project_store.h"
#include "backend/requests/blocking_queue.h"
#include "backend/requests/change_notifier.h"
#include "backend/requests/method_table.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace nox {

// A request that cannot be scheduled (it has no `method`).
class request_refused : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct request_engine_options {
    using clock = project_store::clock;
    int processing_threads = 8;
    // The autosave saves when more than this has passed since the last save.
    clock::duration autosave_interval = std::chrono::seconds(10);
    // The transactor's clock for the autosave; tests move it forward.
    std::function<clock::time_point()> now = [] { return clock::now(); };
};

class request_engine {
public:
    // One write for the transactor: `m` merged into `collection`; with `seen`, only the
    // attributes still stored as `seen` has them (rule 3 above).
    struct write {
        std::string collection;
        model m;
        std::optional<model> seen;
    };

    request_engine(project_store& store, change_notifier& notifier,
                   request_engine_options options = {});
    ~request_engine();
    request_engine(const request_engine&) = delete;
    request_engine& operator=(const request_engine&) = delete;

    project_store& store() { return store_; }
    change_notifier& notifier() { return notifier_; }
    method_table& methods() { return methods_; }

    // Called (from the failing thread) when a worker loop fails beyond a single request.
    void set_fatal_hook(std::function<void()> hook) { fatal_hook_ = std::move(hook); }
    // Observers of stored requests: called on the committing thread after a request
    // record has been stored (with the request as committed), before it is queued again
    // or removed. `remove_commit_observer` returns once no call of that observer runs.
    using commit_observer = std::function<void(const model& request)>;
    std::uint64_t add_commit_observer(commit_observer observer) EXCLUDES(observers_mutex_);
    void remove_commit_observer(std::uint64_t id) EXCLUDES(observers_mutex_);

    // Opens the queues and starts the processing threads and then the transactor thread,
    // appending their handles to `workers` in creation order (the caller joins them after
    // `close`).
    void start(std::vector<std::thread>& workers);
    // Closes both queues: every thread leaves its loop; requests still queued are dropped.
    void close();

    // Validates, completes, stores and queues a request; returns it as stored (with `id`,
    // `status` and `__type__`). Throws request_refused when it has no `method`, and the
    // store's errors (nox::invalid_attribute, a duplicate id) when it cannot be stored;
    // nothing is stored or queued then.
    model post_request(model request);

    // Hands a model write to the transactor. With `seen` (the stored model as the writer
    // read it), an attribute that changed in the store since is not written.
    void enqueue_write(std::string collection, model m, std::optional<model> seen = std::nullopt);

    // Writes `m` into `collection`: added when it has no id, else merged into the stored
    // model (an id no longer stored is ignored). A change marks the collection changed,
    // notifies subscribers and, for `requests` with `notify`, broadcasts "sigupdate".
    // Then the autosave, and for requests the requeue or the removal of a finished one.
    // Throws what the store throws (nothing is changed then).
    void commit(const std::string& collection, const model& m, bool notify,
                const model* seen = nullptr) EXCLUDES(store_.model_mutex());

    // Runs the handler of the request's (method, status) pair on `request`. A request
    // without `method`, or whose pair has no handler, is left unchanged; one whose
    // `frame_id` names no frame gets `status` "fail". A handler's exception becomes
    // `status` "fail" with `error`.
    void dispatch(model& request);

    // Sends an event word to every WebSocket client.
    void broadcast(const std::string& text) { notifier_.broadcast(text); }

    // Whether `close` has been called.
    bool closed() const { return requests_.closed(); }

    // Items waiting in the queues (for tests and diagnostics).
    size_t queued_requests() const { return requests_.size(); }
    size_t queued_writes() const { return transactions_.size(); }

private:
    void processing_loop();
    void transactor_loop();
    void commit_failed(const write& w, const std::string& reason);
    // The records of finished transactions leave `requests` once no undo needs them (see
    // docs/synchronisation.md, "Records of finished transactions"): when a download or
    // upload ends, the earlier finished transaction of the same direction (its `sync`
    // request and per-frame requests) goes; an undo (cancel or rollback), which marks the
    // download it restored "done", retires that download's transaction.
    void retire_finished_transaction(model_collection& requests, int32_t id);
    // Removes a request committed "done" without `transaction_id`, with its transaction's
    // records when the stored request was a `sync` request that had one.
    void retire_done_request(model_collection& requests, int32_t id);
    void observe(const model& request) EXCLUDES(observers_mutex_);
    void autosave();

    project_store& store_;
    change_notifier& notifier_;
    const request_engine_options options_;
    method_table methods_;  // filled before start, read-only after
    std::function<void()> fatal_hook_;
    mutex observers_mutex_;
    std::vector<std::pair<std::uint64_t, commit_observer>> observers_ GUARDED_BY(observers_mutex_);
    std::uint64_t next_observer_ GUARDED_BY(observers_mutex_) = 1;
    blocking_queue<model> requests_;
    blocking_queue<write> transactions_;
};

// Text that the store accepts as an attribute value: `text` itself when it is valid,
// otherwise `text` with every byte that XML cannot carry replaced by "?".
std::string storable_text(const std::string& text);

}  // namespace nox
