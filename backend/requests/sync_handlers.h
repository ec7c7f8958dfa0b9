// Synchronisation transactions: the handlers of the `sync` request in its statuses
// "start", "wait", "rollback" and "cancel".
//
// A `sync` request with `direction` "get" (download), "put" (upload) or "get_monitor"
// (monitoring read) fans out into one sub-request per frame, carrying the transaction's
// `transaction_id` (which keeps it stored after it is done), and then waits in status
// "wait" until none of them waits any more. A download first saves the project and keeps
// a copy of the file; at its end it reports the differences against that copy
// (`diff_result`, see differences.h) and whether a frame could not be read
// (`any_disconnected`). A later "rollback" or "cancel" request restores the copy; a
// rollback then runs again as an upload of the restored project.
//
// The wait step does not spin: when sub-requests still wait it blocks for a short pause
// (woken early when a sub-request of any transaction finishes) and then asks to be queued
// again. The handlers of the sub-request methods registered before `register_handlers`
// are wrapped to give that wake-up.
//
// Copies of the project file live in the data folder as
// "configuration_orva.xml.download-XXXXXX". A copy is kept while a stored request names
// it in `current_config` or the download that made it is still stored; `sweep_copies`
// removes the others (run at every download start, by the monitor thread and at the
// backend's start); `remove_all_copies` removes them all at the backend's shutdown.
//
// Thread safety: the handlers run on the processing threads; start, difference detection
// and undo hold the model mutex. `sweep_copies` may be called from any thread. Lock order:
// model mutex, copies' mutex, collection locks.
#pragma once

#include "backend/amp/device.h"
#include "backend/requests/method_table.h"
#include "common/platform/mutex.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace nox {

class project_store;
class request_engine;

struct sync_options {
    // The device registered for a frame's `device_id` (null when none): an upload skips
    // frames whose amplifier is unreachable.
    std::function<std::shared_ptr<amp::device>(const std::string& device_id)> lookup_device;
    // Longest time the wait step blocks before asking to be queued again.
    std::chrono::milliseconds wait_pause{20};
    // Calendar time in seconds (the `timestamp` and `transaction_time`); tests move it.
    std::function<std::time_t()> now = [] { return std::time(nullptr); };
    // Called when a transaction completes, with its direction (before its final status is
    // stored; benchmarks count cycles with it).
    std::function<void(const std::string& direction)> on_completed;
};

// The name prefix of the copies, inside the data folder.
inline constexpr const char* download_copy_prefix = "configuration_orva.xml.download-";

class sync_service {
public:
    explicit sync_service(sync_options options = {});
    sync_service(const sync_service&) = delete;
    sync_service& operator=(const sync_service&) = delete;

    // Installs the four `sync` pairs and wraps the handlers of `get`, `put` and
    // `get_monitor` already installed, so that a finished sub-request wakes waiting
    // transactions. The service must outlive the table's use.
    void register_handlers(method_table& table);

    void start(model& request, request_engine& engine);
    void wait(model& request, request_engine& engine);
    void undo(model& request, request_engine& engine);

    // Tells waiting transactions that a sub-request of `transaction_id` finished.
    void sub_request_finished(const std::string& transaction_id);

    // Removes the copies that no stored request needs any more.
    void sweep_copies(project_store& store);
    // Removes every copy (at shutdown: no request outlives the backend).
    void remove_all_copies(project_store& store);

    // How often the wait step has looked at its sub-requests (tests, benchmarks).
    std::uint64_t wait_looks() const;

private:
    void schedule(const model& frame, const model& request, request_engine& engine);
    std::optional<std::string> make_copy(project_store& store, int32_t owner);
    // Removes the copies; with `keep_needed` those that a stored request still needs stay.
    void remove_copies(project_store& store, bool keep_needed);

    const sync_options options_;

    mutable mutex wake_mutex_;
    std::condition_variable_any wake_;
    std::uint64_t finished_ GUARDED_BY(wake_mutex_) = 0;  // sub-requests finished so far
    std::uint64_t wait_looks_ GUARDED_BY(wake_mutex_) = 0;

    mutex copies_mutex_;
    std::map<std::string, int32_t> copies_ GUARDED_BY(copies_mutex_);  // file name -> download request id
};

// Random UUID in its 36-character text form.
std::string new_transaction_id();

}  // namespace nox
