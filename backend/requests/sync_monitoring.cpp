#include "backend/requests/sync_monitoring.h"

#include "backend/requests/request_engine.h"

namespace nox {

sync_monitoring::sync_monitoring(request_engine& engine, sync_monitoring_options options)
    : engine_(engine), options_(std::move(options)) {
    sync_options sync;
    sync.lookup_device = options_.lookup_device;
    sync_ = std::make_unique<sync_service>(std::move(sync));

    monitor_options monitor;
    monitor.quit_flag = options_.quit_flag;
    monitor.fatal = options_.fatal;
    monitor.period = options_.monitor_period;
    monitor.housekeeping = [this] { sync_->sweep_copies(engine_.store()); };
    monitor_ = std::make_unique<monitor_thread>(engine_, std::move(monitor));
}

void sync_monitoring::register_handlers() {
    register_monitoring_handlers(engine_.methods(), {options_.lookup_device});
    sync_->register_handlers(engine_.methods());
}

std::thread sync_monitoring::start_monitor() { return monitor_->start(); }

void sync_monitoring::stop_monitor() { monitor_->stop(); }

}  // namespace nox
