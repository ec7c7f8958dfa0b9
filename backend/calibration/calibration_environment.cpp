#include "backend/calibration/calibration_environment.h"

#include "common/log/log.h"

namespace nox {

bool stoppable_sleep::sleep(std::chrono::milliseconds pause) {
    const auto deadline = std::chrono::steady_clock::now() + pause;
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [this] { return stopped_; });
    return !stopped_;
}

void stoppable_sleep::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

void stoppable_sleep::reset() {
    std::lock_guard lock(mutex_);
    stopped_ = false;
}

calibration_environment production_calibration_environment(stoppable_sleep& sleeper) {
    calibration_environment env;
    env.sleep = [&sleeper](std::chrono::milliseconds pause) { return sleeper.sleep(pause); };
    env.now = [] { return std::chrono::steady_clock::now(); };
    env.local_time = [] { return log_time_stamp(); };
    return env;
}

}  // namespace nox
