// The request handlers of load monitoring, in status "wait":
//
//   calibrate  `device_id`, `frame_id`, `channel_id`, `calibration_type` (default "ptg2"):
//              "ptg2" runs the pilot-tone calibration, any other type the impedance sweep
//   put_lms    `device_id`, `frame_id`, `channel_id`, `enable`: the load-monitoring switch
//
// While a handler runs, the request record in `requests` carries `progress`, a short text
// of the step under way ("calibrating: poll 3 of 31", "sweeping", ...), written through the
// transaction queue. A request ends "done" or "fail"; a failed one carries the reason in
// `error` (an amplifier that is not registered, a channel that is not the frame's, the
// failing device operation and its result, the analyser's time-out, a missing or unusable
// attribute).
//
// Calibrations and sweeps of one amplifier run one after the other: each holds the
// amplifier's load-monitoring lock (kept here, per `device_id`) for its run, so a second
// request for the same amplifier waits (its `progress` says so) instead of driving the
// analyser or the pilot tones in the middle of the first. It waits at most the
// environment's `busy_wait` at a time and is then queued again (`requeue`, status still
// "wait"): requests piling up for one busy amplifier never hold all processing threads.
// The switch takes no lock.
//
// Thread safety: handlers run on the processing threads, several at a time; `stop` may
// be called from any thread.
#pragma once

#include "backend/calibration/calibration_environment.h"
#include "backend/model/device_registry.h"
#include "backend/requests/method_table.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace nox {

class calibration_service {
public:
    // With an environment for tests; without one, the production environment (real
    // pauses that `stop` cuts short).
    explicit calibration_service(device_registry& registry,
                                 std::optional<calibration_environment> environment = std::nullopt);
    calibration_service(const calibration_service&) = delete;
    calibration_service& operator=(const calibration_service&) = delete;

    // Installs the `calibrate` and `put_lms` handlers.
    void register_handlers(method_table& table);

    // Ends the pauses of running procedures at once (they fail), and every later pause,
    // until `resume`. Called when the backend shuts down.
    void stop() { sleeper_.stop(); }
    void resume() { sleeper_.reset(); }

private:
    void calibrate(model& request, request_engine& engine);
    void put_lms(model& request, request_engine& engine);
    // The registered device of the request's `device_id`; null (and the request failed
    // with its reason) when there is none.
    device_registry::device_ptr device_of(model& request);
    std::shared_ptr<std::timed_mutex> job_lock(const std::string& device_id);

    device_registry& registry_;
    stoppable_sleep sleeper_;
    const calibration_environment environment_;  // constant after construction
    std::mutex locks_mutex_;
    std::map<std::string, std::shared_ptr<std::timed_mutex>> job_locks_;  // guarded by locks_mutex_
};

}  // namespace nox
