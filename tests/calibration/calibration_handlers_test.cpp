// The `calibrate` and `put_lms` handlers: which procedure runs, the status and failure
// reason they leave, the progress in the stored request while they run, one procedure
// at a time per amplifier, and the stoppable pause of the production environment.
#include "tests/calibration/calibration_fixture.h"

#include <future>

namespace calibration_test {
namespace {

class CalibrationHandlers : public calibration_fixture {
protected:
    CalibrationHandlers() { set_channel(1, {{"t1_cable_resistance", "1.25"}}); }

    // Stores the request in `requests` (as posting would), dispatches it on this thread
    // and waits for the writes it enqueued.
    nox::model run_stored(std::map<std::string, std::string> attributes) {
        nox::model r = stored_request(std::move(attributes));
        engine_.dispatch(r);
        flush();
        return r;
    }
    nox::model stored_request(std::map<std::string, std::string> attributes) {
        nox::model r;
        r.set("status", "wait");
        r.set("__type__", "request");
        for (const auto& [k, v] : attributes) r.set(k, v);
        r.set_id(c("requests").add_locked(r));
        return r;
    }
    nox::model stored(const nox::model& r) { return c("requests").get_locked(r.id()); }
};

TEST_F(CalibrationHandlers, CalibrateRunsThePilotCalibrationByDefault) {
    auto r = run_stored(on_channel(1, {{"method", "calibrate"}}));
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_FALSE(r.has("error"));
    EXPECT_EQ(channel_at(1).get("last_calibrated"), "2024-05-06T07:08:09");
    EXPECT_TRUE(sweeps().empty());
    // The stored record followed the steps; the last one is the restore.
    EXPECT_EQ(stored(r).get("progress"), "restoring the channel's signal");

    r = run_stored(on_channel(1, {{"method", "calibrate"}, {"calibration_type", "ptg2"}}));
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_TRUE(sweeps().empty());
}

TEST_F(CalibrationHandlers, AnyOtherTypeRunsTheSweep) {
    auto r = run_stored(on_channel(1, {{"method", "calibrate"}, {"calibration_type", "impedance"}}));
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(stored(r).get("progress"), "measuring the DC resistance");
    ASSERT_EQ(sweeps().size(), 1u);
    EXPECT_EQ(sweeps()[0].get("channel_id"), std::to_string(channels_[1]));
    EXPECT_FALSE(channel_at(1).has("last_calibrated"));
}

TEST_F(CalibrationHandlers, FailuresCarryTheirReason) {
    auto r = calibrate(1, {{"device_id", "ffffffff:00000000"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "no amplifier is registered as ffffffff:00000000");
    EXPECT_TRUE(dev_->ops().empty());

    r = calibrate(1, {{"channel_id", "999999"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "channel 999999 is not a channel of frame " + std::to_string(frame_id_));

    r = calibrate(1, {{"channel_id", "one"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_NE(r.get("error"), "");

    dev_->fail["calibration_done"] = 13;
    r = calibrate(1);
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "calibration_done failed with result 13 (time-out)");

    r = calibrate(2, {{"calibration_type", "sweep"}});  // channel 2 has no cable resistance
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "the channel has no t1_cable_resistance");

    dev_->analyser_reads_to_complete = 0;
    r = calibrate(1, {{"calibration_type", "sweep"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "the analyser did not complete command 3 within 120 s");
    EXPECT_TRUE(sweeps().empty());

    r = run({{"method", "calibrate"}, {"frame_id", std::to_string(frame_id_)}, {"channel_id", "1"}});
    EXPECT_EQ(r.get("status"), "fail");  // no device_id
}

TEST_F(CalibrationHandlers, PutLmsSwitchesAndFailsForAForeignChannel) {
    auto r = run(on_channel(3, {{"method", "put_lms"}, {"enable", "1"}}));
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(channel_at(3).get("enabled_tones"), "1");
    EXPECT_EQ(dev_->ops().back(), "enable_pilot 8 3 1");

    r = run(on_channel(3, {{"method", "put_lms"}, {"enable", "0"}, {"channel_id", "999999"}}));
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_NE(r.get("error"), "");

    r = run(on_channel(3, {{"method", "put_lms"}}));
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "missing attribute \"enable\"");
}

TEST_F(CalibrationHandlers, OneProcedurePerAmplifierAtATime) {
    // The calibration's first pause blocks until released; meanwhile a sweep of the same
    // amplifier is posted from another thread.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> first_pause;
    std::atomic<bool> paused{false};
    on_sleep = [&] {
        if (!paused.exchange(true)) {
            first_pause.set_value();
            released.wait();
        }
    };
    nox::model calibration = stored_request(on_channel(1, {{"method", "calibrate"}}));
    nox::model sweep = stored_request(on_channel(1, {{"method", "calibrate"}, {"calibration_type", "sweep"}}));
    std::thread first([&] { engine_.dispatch(calibration); });
    first_pause.get_future().wait();
    // A pausing calibration keeps the amplifier's operation lock.
    EXPECT_FALSE(dev_->try_lock_operations().owns_lock());
    // The sweep waits a little at a time and is queued again meanwhile (the fixture has
    // no processing threads: this thread plays the queue).
    std::atomic<int> requeued{0};
    std::thread second([&] {
        for (;;) {
            engine_.dispatch(sweep);
            if (!sweep.has("requeue", "true")) break;
            EXPECT_EQ(sweep.get("status"), "wait");
            sweep.erase("requeue");
            ++requeued;
        }
    });

    // The sweep announces that it waits, and sends nothing yet.
    for (int i = 0; i < 500 && stored(sweep).get("progress").empty(); ++i) {
        flush();
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(stored(sweep).get("progress"), "waiting for the amplifier's calibration or sweep in progress");
    const auto ops_during = dev_->ops();
    EXPECT_EQ(std::count(ops_during.begin(), ops_during.end(), "write_params 6:1 [0 1 0 0]"), 0);

    for (int i = 0; i < 500 && requeued.load() < 2; ++i) std::this_thread::sleep_for(2ms);
    EXPECT_GE(requeued.load(), 2);
    release.set_value();
    first.join();
    second.join();
    EXPECT_EQ(calibration.get("status"), "done");
    EXPECT_EQ(sweep.get("status"), "done");
    // The whole calibration, restore included, came before the sweep's first write.
    const auto ops = dev_->ops();
    const auto select = std::find(ops.begin(), ops.end(), "write_params 6:1 [0 1 0 0]");
    ASSERT_NE(select, ops.end());
    EXPECT_EQ(select - ops.begin(), 11);
    EXPECT_EQ(std::count(ops.begin(), select, "write_pilot_signal 1 10 24000 0.060 0.060"), 2);
}

TEST_F(CalibrationHandlers, ASweepLeavesTheAmplifierToTheMonitor) {
    std::vector<bool> free_during_pauses;
    on_sleep = [&] {
        const bool free = dev_->try_lock_operations().owns_lock();
        free_during_pauses.push_back(free);
    };
    EXPECT_EQ(calibrate(1, {{"calibration_type", "sweep"}}).get("status"), "done");
    ASSERT_EQ(free_during_pauses.size(), 2u);
    EXPECT_TRUE(free_during_pauses[0] && free_during_pauses[1]);
}

TEST(StoppableSleep, StopWakesSleepersAndLaterSleepsUntilReset) {
    nox::stoppable_sleep sleeper;
    EXPECT_TRUE(sleeper.sleep(1ms));
    const auto start = std::chrono::steady_clock::now();
    auto sleeping = std::async(std::launch::async, [&] { return sleeper.sleep(60s); });
    std::this_thread::sleep_for(20ms);
    sleeper.stop();
    EXPECT_FALSE(sleeping.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(sleeper.sleep(60s));  // returns at once
    sleeper.reset();
    EXPECT_TRUE(sleeper.sleep(1ms));
}

}  // namespace
}  // namespace calibration_test
