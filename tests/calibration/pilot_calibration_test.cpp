// The pilot-tone calibration on a scripted amplifier: the order and arguments of its
// device operations, its pauses, the completion-poll limit, the restore of the channel's
// own signal, and the channel record it leaves.
#include "tests/calibration/calibration_fixture.h"

namespace calibration_test {
namespace {

using strings = std::vector<std::string>;

class PilotCalibration : public calibration_fixture {
protected:
    PilotCalibration() {
        set_channel(2, {{"t1_frequency", "20000"}, {"t2_frequency", "22000.7"},
                        {"t1_amplitude", "0.2"}, {"t2_amplitude", "0"}});
    }
    int calibrate_index(int index) { return run_procedure(&nox::load_monitor::calibrate_pilot_tones, index); }
};

TEST_F(PilotCalibration, SecondGenerationRunsEveryStepAndStoresTheResult) {
    dev_->done_on_poll = 3;
    EXPECT_EQ(calibrate_index(2), 0);
    EXPECT_EQ(dev_->ops(), (strings{
                               "write_ref_impedance 2 10000.00 10000.00",
                               "write_pilot_factor 2 1.410 1.520",
                               "write_pilot_signal 2 20000 22000 0.200 0.060",  // 0 sent as 0.06
                               "read_model",
                               "enable_pilot 8 2 1",
                               "start_calibration 0x444",
                               "calibration_done 0x444",
                               "calibration_done 0x444",
                               "calibration_done 0x444",
                               "read_pilot 2",
                               "read_model",
                               "enable_pilot 8 2 0",
                               "write_pilot_signal 2 20000 22000 0.200 0.000",  // the channel's own, as stored
                           }));
    EXPECT_EQ(sleeps(), (std::vector<int>{2000, 4000, 2000, 2000}));

    const nox::model ch = channel_at(2);
    EXPECT_EQ(ch.get("t1_lower_threshold"), "6.400000");
    EXPECT_EQ(ch.get("t2_lower_threshold"), "6.600000");
    EXPECT_EQ(ch.get("t1_upper_threshold"), "9.600000");
    EXPECT_EQ(ch.get("t2_upper_threshold"), "9.900000");
    EXPECT_EQ(ch.get("t1_ref_impedance"), "8.000000");
    EXPECT_EQ(ch.get("t2_ref_impedance"), "8.250000");
    EXPECT_EQ(ch.get("t1_read_impedance"), "8.010000");
    EXPECT_EQ(ch.get("t2_read_impedance"), "8.240000");
    EXPECT_EQ(ch.get("t1_factor"), "1.405000");
    EXPECT_EQ(ch.get("t2_factor"), "1.515000");
    EXPECT_EQ(ch.get("last_calibrated"), "2024-05-06T07:08:09");
    EXPECT_EQ(ch.get("enabled_tones"), "0");
    EXPECT_EQ(ch.get("enabled_analyser"), "0");
    EXPECT_FALSE(channel_at(1).has("last_calibrated"));

    const std::string log = log_text();
    for (const char* line : {"calibrating pilot tones", "\tfreqs: 20000 22000.7", "\tampls: 0.2 0", "\tset ref imps",
                             "\tenable ptg2", "\tstart ptg2 calib", "calibration done!", "ptg2 calibration result (raw)",
                             "t1_ref_threshold: 8.000000", "t2_upper_threshold: 9.900000", "t2_factor: 1.515000",
                             "ptg2 calibration result"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_LT(log.find("t2_ref_threshold: "), log.find("t1_upper_threshold: "));
}

TEST_F(PilotCalibration, MissingSettingsUseTheDefaultsAndLogADash) {
    EXPECT_EQ(calibrate_index(0), 0);
    EXPECT_EQ(dev_->ops().at(2), "write_pilot_signal 0 10 24000 0.060 0.060");
    EXPECT_EQ(dev_->ops().back(), "write_pilot_signal 0 10 24000 0.060 0.060");
    EXPECT_NE(log_text().find("\tfreqs: - -"), std::string::npos);
    EXPECT_NE(log_text().find("\tampls: - -"), std::string::npos);
    EXPECT_EQ(dev_->ops().at(5), "start_calibration 0x111");
}

TEST_F(PilotCalibration, FirstGenerationWritesAllChannelsAndRestoresNothing) {
    dev_->set_pilot_support(false, false);
    EXPECT_EQ(calibrate_index(2), 0);
    EXPECT_EQ(dev_->ops(), (strings{
                               "write_ref_impedance 2 10000.00 10000.00",
                               "write_pilot_signal_all 10 24000 0.200 0.200",
                               "read_model",
                               "enable_pilot 8 2 1",
                               "start_calibration 0x400",
                               "calibration_done 0x400",
                               "read_pilot 2",
                               "read_model",
                               "enable_pilot 8 2 0",
                           }));
}

TEST_F(PilotCalibration, FirstGenerationFrequencyOverride) {
    dev_->set_pilot_support(false, false);
    nox::model settings = store_.get_settings();
    nox::model change(settings.id());
    change.set("ptg2_freqs", "20\t 22000 99");
    c("settings").update(change);
    EXPECT_EQ(calibrate_index(1), 0);
    EXPECT_EQ(dev_->ops().at(1), "write_pilot_signal_all 20 22000 0.200 0.200");
    EXPECT_NE(log_text().find("Found override of ptg2 frequencies"), std::string::npos);

    // An override without two frequencies fails before anything is sent.
    for (const char* bad : {"20", "20 kHz", "-5 300", ""}) {
        change.set("ptg2_freqs", bad);
        c("settings").update(change);
        dev_->clear_ops();
        EXPECT_THROW(calibrate_index(1), std::invalid_argument) << bad;
        EXPECT_TRUE(dev_->ops().empty()) << bad;
    }
}

TEST_F(PilotCalibration, FirstGenerationFrequenciesFunction) {
    nox::model settings;
    EXPECT_EQ(nox::first_generation_frequencies(settings), (std::array<int, 2>{10, 24000}));
    settings.set("ptg2_freqs", "20 22000");
    EXPECT_EQ(nox::first_generation_frequencies(settings), (std::array<int, 2>{20, 22000}));
    settings.set("ptg2_freqs", "  7   9  ");
    EXPECT_EQ(nox::first_generation_frequencies(settings), (std::array<int, 2>{7, 9}));
}

TEST_F(PilotCalibration, SelectorsOfBothGenerations) {
    EXPECT_EQ(nox::pilot::selector(true, 0), 0x111);
    EXPECT_EQ(nox::pilot::selector(true, 2), 0x444);
    EXPECT_EQ(nox::pilot::selector(true, 3), 0x888);
    EXPECT_EQ(nox::pilot::selector(false, 0), 0x100);
    EXPECT_EQ(nox::pilot::selector(false, 2), 0x400);
}

TEST_F(PilotCalibration, DoneOnTheThirtiethPollSucceeds) {
    dev_->done_on_poll = 30;
    EXPECT_EQ(calibrate_index(2), 0);
    EXPECT_EQ(dev_->polls(), 30);
    EXPECT_EQ(sleeps().size(), 2u + 29u);
    EXPECT_EQ(channel_at(2).get("last_calibrated"), "2024-05-06T07:08:09");
}

TEST_F(PilotCalibration, TheThirtyFirstPollFailsWhateverItReports) {
    for (int done_on : {31, 0}) {
        dev_->clear_ops();
        dev_->done_on_poll = done_on;
        EXPECT_EQ(calibrate_index(2), 1);
        EXPECT_EQ(dev_->ops().back(), "enable_pilot 8 2 0");  // tones off, no restore
        EXPECT_EQ(dev_->count("calibration_done 0x444"), 31u);
        EXPECT_EQ(reason_, "calibration not completed after 31 polls");
        EXPECT_FALSE(channel_at(2).has("last_calibrated"));
    }
    EXPECT_NE(log_text().find("ptg2 - bailing out due to max retries"), std::string::npos);
}

TEST_F(PilotCalibration, AChannelOfAnotherFrameSendsNothing) {
    const int32_t other = add_frame("mira", "8");
    nox::model r = request_for(0);
    r.set("channel_id", std::to_string(channels_of(other)[0]));
    auto m = monitor();
    EXPECT_EQ(m.calibrate_pilot_tones(r), 1);
    EXPECT_NE(m.failure_reason().find("is not a channel of frame"), std::string::npos);
    EXPECT_TRUE(dev_->ops().empty());
}

TEST_F(PilotCalibration, UnusableSettingsFailBeforeAnythingIsSent) {
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"t1_frequency", "loud"}, {"t2_frequency", "-1"}, {"t1_amplitude", "nan"}, {"t2_frequency", "inf"}}) {
        set_channel(3, {{key, value}});
        EXPECT_THROW(calibrate_index(3), std::invalid_argument) << key << "=" << value;
        set_channel(3, {{key, "100"}});
    }
    EXPECT_TRUE(dev_->ops().empty());
}

// A device failure ends the procedure with its result; the channel's own signal is
// written back exactly when the calibration signal had been written.
struct failure_case {
    std::string op;
    bool restores;
    size_t ops_before_restore;
};

class PilotCalibrationFailure : public PilotCalibration, public ::testing::WithParamInterface<failure_case> {};

TEST_P(PilotCalibrationFailure, EndsWithTheResultAndRestoresWhenTheSignalWasWritten) {
    const failure_case& f = GetParam();
    if (f.op == "final enable_pilot") {
        // Only the switching off fails.
        dev_->on_operation = [this] {
            const auto ops = dev_->ops();
            if (!ops.empty() && ops.back() == "read_pilot 2") dev_->fail["enable_pilot"] = 13;
        };
    } else {
        dev_->fail[f.op] = 13;
    }
    EXPECT_EQ(calibrate_index(2), 13);
    const auto ops = dev_->ops();
    if (f.restores) {
        ASSERT_EQ(ops.size(), f.ops_before_restore + 1);
        EXPECT_EQ(ops.back(), "write_pilot_signal 2 20000 22000 0.200 0.000");
    } else {
        EXPECT_EQ(ops.size(), f.ops_before_restore);
    }
    EXPECT_NE(reason_.find("failed with result 13 (time-out)"), std::string::npos) << reason_;
    EXPECT_FALSE(channel_at(2).has("last_calibrated"));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PilotCalibrationFailure,
    ::testing::Values(failure_case{"write_ref_impedance", false, 1}, failure_case{"write_pilot_factor", false, 2},
                      failure_case{"write_pilot_signal", false, 3},  // nothing written to undo
                      failure_case{"read_model", true, 4}, failure_case{"enable_pilot", true, 5},
                      failure_case{"start_calibration", true, 6}, failure_case{"calibration_done", true, 7},
                      failure_case{"read_pilot", true, 8}, failure_case{"final enable_pilot", true, 10}),
    [](const auto& info) {
        std::string name = info.param.op;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(PilotCalibration, OldFirmwareEndsAtTheReferenceImpedances) {
    dev_->set_old_firmware(true);
    EXPECT_EQ(calibrate_index(2), 1);
    EXPECT_EQ(dev_->ops(), (strings{"write_ref_impedance 2 10000.00 10000.00"}));
}

TEST_F(PilotCalibration, TesiraReadingsLeaveTheFactorsAtZero) {
    dev_->fill_factors = false;
    EXPECT_EQ(calibrate_index(1), 0);
    EXPECT_EQ(channel_at(1).get("t1_factor"), "0.000000");
    EXPECT_EQ(channel_at(1).get("t2_factor"), "0.000000");
    EXPECT_EQ(channel_at(1).get("t1_read_impedance"), "8.010000");
}

TEST_F(PilotCalibration, AStoppedPauseEndsTheCalibrationAndRestores) {
    stop_sleeping_ = true;
    EXPECT_EQ(calibrate_index(2), 1);
    EXPECT_EQ(dev_->ops().back(), "write_pilot_signal 2 20000 22000 0.200 0.000");
    EXPECT_EQ(dev_->ops().size(), 6u);  // ... enable_pilot, then the restore
    EXPECT_NE(reason_.find("shutting down"), std::string::npos);
}

TEST_F(PilotCalibration, HoldsTheOperationLockThroughout) {
    std::vector<bool> locked;
    dev_->on_operation = [&] {
        const bool free = dev_->try_lock_operations().owns_lock();
        locked.push_back(!free);
    };
    EXPECT_EQ(calibrate_index(2), 0);
    ASSERT_FALSE(locked.empty());
    EXPECT_EQ(std::count(locked.begin(), locked.end(), false), 0);
    EXPECT_TRUE(dev_->try_lock_operations().owns_lock());
}

}  // namespace
}  // namespace calibration_test
