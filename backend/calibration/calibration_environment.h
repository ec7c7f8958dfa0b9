// What the load-monitoring procedures need besides an amplifier and the request engine:
// a way to pause, a steady clock for the analyser's deadline and the local time for
// their records. Tests hand in a fake clock whose sleep moves it forward, so a calibration
// with its 6 to 68 seconds of pauses runs in milliseconds.
//
// `stoppable_sleep` is the production pause: a wait on a condition variable with a
// deadline on the steady clock that `stop` cuts short, so a backend that shuts down does
// not wait for a calibration's remaining minute.
//
// Thread safety: `stoppable_sleep` may be used from any number of threads at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace nox {

struct calibration_environment {
    using clock = std::chrono::steady_clock;

    // Pauses the calling thread; false when the pause was cut short because the backend
    // is stopping (the procedure then ends as failed).
    std::function<bool(std::chrono::milliseconds)> sleep;
    // The steady clock, for the analyser's deadline.
    std::function<clock::time_point()> now;
    // The local time as "%Y-%m-%dT%X", for `last_calibrated` and sweep time stamps.
    std::function<std::string()> local_time;
    // How long the analyser may take to report a finished command.
    std::chrono::milliseconds analyser_limit{std::chrono::minutes(2)};
    // How long a request waits for its amplifier's running calibration or sweep before it
    // gives its processing thread back and is queued again.
    std::chrono::milliseconds busy_wait{std::chrono::seconds(1)};
};

class stoppable_sleep {
public:
    // Waits `pause` unless stopped; false when stopped (before or during the wait).
    bool sleep(std::chrono::milliseconds pause);
    // Wakes every sleeper; later sleeps return false at once until `reset`.
    void stop();
    void reset();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;  // guarded by mutex_
};

// The production environment: `sleeper`'s sleep (it must outlive the environment), the
// steady clock, the log's local time stamp, two minutes for the analyser.
calibration_environment production_calibration_environment(stoppable_sleep& sleeper);

}  // namespace nox
