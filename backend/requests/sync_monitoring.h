// `nox::sync_monitoring`: the synchronisation handlers, the monitoring read and the
// monitor thread as the backend composes them. One object per backend: it registers the
// `get_monitor` handler and the four `sync` pairs, and gives the monitor thread the sweep
// of old project copies as its housekeeping. (The monitor thread wakes itself on the
// commit of a finished cycle.)
//
// Register after the frame handlers (`get`, `put`): the sync service wraps the handlers
// installed before it, so that a finished sub-request wakes its waiting transaction.
//
// Thread safety: `register_handlers` and `start_monitor` before and at the backend's
// start; `stop_monitor` from any thread.
#pragma once

#include "backend/requests/monitor_thread.h"
#include "backend/requests/monitoring.h"
#include "backend/requests/sync_handlers.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace nox {

class request_engine;

struct sync_monitoring_options {
    // The device registered under a `device_id`; null when none.
    std::function<std::shared_ptr<amp::device>(const std::string& device_id)> lookup_device;
    // The backend's quit flag, and what the monitor thread calls when its loop fails.
    const std::atomic<bool>* quit_flag = nullptr;
    std::function<void()> fatal;
    // How often the monitor thread starts a cycle.
    std::chrono::milliseconds monitor_period = default_monitor_period;
};

class sync_monitoring {
public:
    sync_monitoring(request_engine& engine, sync_monitoring_options options);
    sync_monitoring(const sync_monitoring&) = delete;
    sync_monitoring& operator=(const sync_monitoring&) = delete;

    // Installs `get_monitor` and the `sync` pairs into the engine's method table.
    void register_handlers();
    // Starts the monitor thread; the caller joins it after `stop_monitor` (or once the
    // engine is closed, within one period).
    std::thread start_monitor();
    void stop_monitor();

    sync_service& sync() { return *sync_; }
    monitor_thread& monitor() { return *monitor_; }

private:
    request_engine& engine_;
    const sync_monitoring_options options_;
    std::unique_ptr<sync_service> sync_;
    std::unique_ptr<monitor_thread> monitor_;
};

}  // namespace nox
