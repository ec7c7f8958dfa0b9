#include "backend/calibration/calibration_handlers.h"

#include "backend/calibration/load_monitor.h"
#include "backend/requests/request_engine.h"

namespace nox {

namespace {

// Writes each step into the request and, through the transaction queue, into its stored
// record, where pollers and subscribers see it while the handler still runs.
load_monitor::progress_fn progress_of(model& request, request_engine& engine) {
    return [&request, &engine](const std::string& step) {
        request.set("progress", step);
        if (request.id() == 0) return;
        model change(request.id());
        change.set("progress", step);
        engine.enqueue_write("requests", change);
    };
}

void finish(model& request, int result, const std::string& reason) {
    request.set("status", result == 0 ? "done" : "fail");
    if (result != 0) request.set("error", storable_text(reason.empty() ? "result " + std::to_string(result) : reason));
}

}  // namespace

calibration_service::calibration_service(device_registry& registry, std::optional<calibration_environment> environment)
    : registry_(registry),
      environment_(environment ? std::move(*environment) : production_calibration_environment(sleeper_)) {}

void calibration_service::register_handlers(method_table& table) {
    table.set_handler("calibrate", "wait", [this](model& q, request_engine& e) { calibrate(q, e); });
    table.set_handler("put_lms", "wait", [this](model& q, request_engine& e) { put_lms(q, e); });
}

std::shared_ptr<std::timed_mutex> calibration_service::job_lock(const std::string& device_id) {
    std::lock_guard lock(locks_mutex_);
    auto& slot = job_locks_[device_id];
    if (!slot) slot = std::make_shared<std::timed_mutex>();
    return slot;
}

device_registry::device_ptr calibration_service::device_of(model& request) {
    const std::string& device_id = request.at("device_id");
    auto dev = registry_.lookup(device_id);
    if (!dev) finish(request, 1, "no amplifier is registered as " + device_id);
    return dev;
}

void calibration_service::calibrate(model& request, request_engine& engine) {
    const auto dev = device_of(request);
    if (!dev) return;
    const auto progress = progress_of(request, engine);
    const auto lock = job_lock(request.at("device_id"));
    std::unique_lock job(*lock, std::try_to_lock);
    if (!job.owns_lock()) {
        const std::string waiting = "waiting for the amplifier's calibration or sweep in progress";
        if (request.get("progress") != waiting) progress(waiting);
        if (!job.try_lock_for(environment_.busy_wait)) {
            request.set("requeue", "true");
            return;
        }
    }
    load_monitor monitor(*dev, engine, environment_, progress);
    const std::string type = request.get("calibration_type", "ptg2");
    const int result = type == "ptg2" ? monitor.calibrate_pilot_tones(request) : monitor.impedance_sweep(request);
    finish(request, result, monitor.failure_reason());
}

void calibration_service::put_lms(model& request, request_engine& engine) {
    const auto dev = device_of(request);
    if (!dev) return;
    load_monitor monitor(*dev, engine, environment_, progress_of(request, engine));
    finish(request, monitor.put_load_monitoring(request), monitor.failure_reason());
}

}  // namespace nox
