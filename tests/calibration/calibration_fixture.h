// Test bed for the load-monitoring procedures: the handler test bed (store, transactor,
// registry) with one scripted amplifier registered on a frame of four channels, the
// calibration handlers installed, and a fake clock whose sleep moves it forward, so the
// minute of pauses of a calibration passes at once.
#pragma once

#include "backend/calibration/calibration_handlers.h"
#include "backend/calibration/load_monitor.h"
#include "tests/calibration/load_device.h"
#include "tests/handlers/handler_fixture.h"

#include <atomic>

namespace calibration_test {

using namespace std::chrono_literals;

inline const std::string amp_id = "0000abcd:00000001";

class calibration_fixture : public handlers_test::handler_fixture {
protected:
    calibration_fixture() {
        nox::device_registry::hooks hooks;
        hooks.make_device = [this](const nox::model& f) -> std::shared_ptr<nox::amp::device> {
            return f.get("device_id") == amp_id ? dev_ : nullptr;
        };
        hooks.commit = [this](const std::string& collection, const nox::model& m, bool notify) {
            engine_.commit(collection, m, notify);
        };
        registry_.set_hooks(hooks);
        dev_->set_pilot_support(true, true);
        dev_->model_code = 8;
        frame_id_ = add_frame("mira", "8", amp_id);
        channels_ = channels_of(frame_id_);
        registry_.rebuild_devices(false);
        service_.register_handlers(engine_.methods());
    }

    nox::calibration_environment environment() {
        nox::calibration_environment env;
        env.sleep = [this](std::chrono::milliseconds pause) {
            {
                std::lock_guard lock(sleep_mutex_);
                sleeps_.push_back(static_cast<int>(pause.count()));
            }
            now_ns_ += std::chrono::nanoseconds(pause).count();
            if (on_sleep) on_sleep();
            return !stop_sleeping_.load();
        };
        env.now = [this] {
            return nox::calibration_environment::clock::time_point(std::chrono::nanoseconds(now_ns_.load()));
        };
        env.local_time = [] { return std::string("2024-05-06T07:08:09"); };
        env.busy_wait = 20ms;
        return env;
    }

    // Sets channel attributes in the store.
    void set_channel(int index, const std::map<std::string, std::string>& attributes) {
        nox::model change(channels_.at(static_cast<std::size_t>(index)));
        for (const auto& [k, v] : attributes) change.set(k, v);
        c("channels").update(change);
    }
    nox::model channel_at(int index) { return channel(channels_.at(static_cast<std::size_t>(index))); }

    // A request on channel `index` (attributes in `extra` take precedence).
    std::map<std::string, std::string> on_channel(int index, std::map<std::string, std::string> extra = {}) {
        extra.try_emplace("device_id", amp_id);
        extra.try_emplace("frame_id", std::to_string(frame_id_));
        extra.try_emplace("channel_id", std::to_string(channels_.at(static_cast<std::size_t>(index))));
        return extra;
    }
    nox::model calibrate(int index, std::map<std::string, std::string> extra = {}) {
        extra["method"] = "calibrate";
        return run(on_channel(index, std::move(extra)));
    }

    // The procedures themselves, outside a handler: `run_procedure` runs one on channel
    // `index`, keeps its failure reason and waits for the writes it enqueued.
    nox::load_monitor monitor() { return nox::load_monitor(*dev_, engine_, env_); }
    int run_procedure(int (nox::load_monitor::*procedure)(const nox::model&), int index) {
        auto m = monitor();
        const int result = (m.*procedure)(request_for(index));
        reason_ = m.failure_reason();
        flush();
        return result;
    }
    std::string reason_;
    nox::model request_for(int index) {
        nox::model r;
        for (const auto& [k, v] : on_channel(index)) r.set(k, v);
        return r;
    }

    std::vector<int> sleeps() {
        std::lock_guard lock(sleep_mutex_);
        return sleeps_;
    }
    std::vector<nox::model> sweeps() { return c("impedance_sweeps").get_all(); }

    std::shared_ptr<load_device> dev_ = std::make_shared<load_device>();
    int32_t frame_id_ = 0;
    std::vector<int32_t> channels_;
    std::atomic<std::int64_t> now_ns_{3600'000'000'000};  // the fake steady clock
    std::atomic<bool> stop_sleeping_{false};
    std::function<void()> on_sleep;  // runs inside every pause (set before the procedure starts)
    std::mutex sleep_mutex_;
    std::vector<int> sleeps_;
    nox::calibration_environment env_ = environment();
    nox::calibration_service service_{registry_, environment()};
};

}  // namespace calibration_test
