// `nox::backend`: the backend object, created once by the entry point and alive until the
// program exits. It owns the project store, the request machinery (request queue,
// processing threads, transactor), the WebSocket clients with the subscription tables,
// and the web server with the REST API, and brings them up and down in order:
//
//   start:    the stored server logins read, metrics installed, handlers registered
//             (project, frame transfer, device requests, load monitoring, Tesira
//             requests, then the synchronisation and monitoring, which wrap the frame
//             handlers), processing threads and transactor started, then the monitor
//             thread and the workers that other areas add, `load_working_copy` posted
//             and carried out (waited for, at most a minute), web server started on the
//             document root: a client's first change can no longer be replaced by the
//             load of the project. Copies of the project left by an earlier run for its
//             downloads are swept first.
//   shutdown: quit flag set and queues closed, calibration pauses cut short, worker
//             threads joined in creation order, "shutting_down" sent to every WebSocket
//             client (their sender loops end), web server stopped, project saved, the
//             download copies removed.
//
// Thread safety: `start` and `shutdown` run on the main thread. `request_quit` and
// `quitting` may be called from any thread: a worker that fails sets the quit flag through
// `request_quit`, which also wakes the main thread's quit-port wait. The hooks and worker
// starters are set before `start`.
#pragma once

#include "backend/api/notifier.h"
#include "backend/api/prometheus_metrics.h"
#include "backend/api/rest_api.h"
#include "backend/api/web_server.h"
#include "backend/api/websocket_hub.h"
#include "backend/calibration/calibration_handlers.h"
#include "backend/core/signals.h"
#include "backend/model/device_registry.h"
#include "backend/model/project_store.h"
#include "backend/requests/project_handlers.h"
#include "backend/requests/request_engine.h"
#include "backend/requests/sync_monitoring.h"
#include "backend/tesira/tesira_project.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nox {

class backend {
public:
    backend();
    ~backend();
    backend(const backend&) = delete;
    backend& operator=(const backend&) = delete;

    project_store& store() { return store_; }
    request_engine& requests() { return engine_; }
    notifier& subscriptions() { return notifier_; }
    websocket_hub& websockets() { return hub_; }
    device_registry& devices() { return registry_; }

    // Starts the worker threads and the web server serving `document_root`, and posts the
    // loading of the working copy. False (logged) when the web server could not start;
    // the caller then shuts down.
    bool start(const std::string& document_root);
    // Stops threads and web server in order and saves the project.
    void shutdown();

    // Sets the quit flag and wakes the main thread.
    void request_quit();
    bool quitting() const { return quit_flag_.load(); }
    const std::atomic<bool>& quit_flag() const { return quit_flag_; }
    const wake_pipe& wake() const { return wake_; }

    // A further worker thread (for example the monitor), started by `start` after the
    // transactor and joined by `shutdown` in creation order. The thread must end once
    // `quitting()` is true or the request engine is closed.
    void add_worker_starter(std::function<std::thread()> starter);

    std::string revision;
    std::string configuration_path;
    std::string template_path;
    std::string examples_path;

    // What other areas provide to the REST API and the project handlers (set before start).
    rest_hooks web_hooks;
    project_handler_hooks project_hooks;
    web_server_options web_options;  // document root and listen address are set by start

private:
    void register_handlers();
    void join_workers();
    // Blocks until the project of the `load_working_copy` request is in place (or the
    // load has failed), the quit flag is set, or `limit` has passed; false when the
    // project is not in place. The amplifier devices may still be in the making then.
    bool wait_for_working_copy(std::chrono::milliseconds limit);
    // Lets the routes waiting in `wait_for_working_copy` go on.
    void working_copy_in_place();

    project_store store_;
    websocket_hub hub_;
    notifier notifier_{hub_};
    request_engine engine_{store_, notifier_};
    device_registry registry_{store_};
    calibration_service calibration_{registry_};
    tesira_project tesira_;
    std::atomic<bool> quit_flag_{false};
    std::unique_ptr<sync_monitoring> sync_monitoring_;
    wake_pipe wake_;
    std::vector<std::function<std::thread()>> worker_starters_;
    std::vector<std::thread> workers_;  // main thread only
    std::unique_ptr<prometheus_metrics> metrics_;  // the process's metrics sink while set
    std::unique_ptr<rest_api> api_;
    std::unique_ptr<web_server> server_;
    std::mutex loaded_mutex_;
    std::condition_variable loaded_changed_;
    bool working_copy_loaded_ = false;  // guarded by loaded_mutex_
    std::once_flag late_load_logged_;
};

}  // namespace nox
