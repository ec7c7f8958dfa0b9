// The load-monitoring handlers against a simulated Mira amplifier, inside the network
// sandbox: calibrations and sweeps reach the simulator's measurement model over UDP and
// the stored results are the model's values; the fault modes (an analyser that never
// completes, an amplifier that goes silent, a channel without load) end as they should.
// Pauses are skipped and the analyser's two minutes pass on a fake clock, so the tests
// take the time of their UDP exchanges only.
#include "backend/calibration/calibration_handlers.h"
#include "backend/requests/device_wiring.h"
#include "tests/handlers/handler_fixture.h"
#include "tests/calibration/sim_support.h"
#include "tools/mira_sim/sim_client.h"
#include "tools/sim_amp/load_line.h"


#include <cmath>

namespace calibration_sim_test {
namespace {

using namespace std::chrono_literals;
using calibration_sim_support::numbers;

const std::string amp_id = "0000abcd:00000001";


class CalibrationSim : public handlers_test::handler_fixture {
protected:
    CalibrationSim() {
        sim_ = std::make_unique<mira_sim::sim_client>(mira_sim::sim_client::default_program(),
                                                      std::vector<std::string>{"--amp", amp_id + ",kind=2"});
        registry_.set_hooks(nox::production_registry_hooks(engine_));
        service_.register_handlers(engine_.methods());
        nox::interface_and_discover(store_, registry_, "10.99.0.1");
        const auto frames = c("frames").find_where("device_id", amp_id);
        if (frames.size() == 1) {
            frame_id_ = frames.front().id();
            channels_ = nox::channel_ids_of(frames.front());
        }
        dev_ = registry_.lookup(amp_id);
    }
    ~CalibrationSim() override { nox::amp::set_mira_interface(""); }

    nox::calibration_environment environment() {
        nox::calibration_environment env;
        env.sleep = [this](std::chrono::milliseconds pause) {
            fake_ns_ += std::chrono::nanoseconds(pause).count();
            if (on_sleep) on_sleep(pause);
            return true;
        };
        env.now = [this] { return nox::calibration_environment::clock::time_point(std::chrono::nanoseconds(fake_ns_.load())); };
        env.local_time = [] { return nox::log_time_stamp(); };
        return env;
    }

    nox::model request(int index, std::map<std::string, std::string> extra) {
        extra["device_id"] = amp_id;
        extra["frame_id"] = std::to_string(frame_id_);
        extra["channel_id"] = std::to_string(channels_.at(static_cast<std::size_t>(index)));
        return run(extra);
    }
    void set_channel(int index, const std::map<std::string, std::string>& attributes) {
        nox::model change(channels_.at(static_cast<std::size_t>(index)));
        for (const auto& [k, v] : attributes) change.set(k, v);
        c("channels").update(change);
    }
    nox::model channel_at(int index) { return channel(channels_.at(static_cast<std::size_t>(index))); }
    std::string sim_value(const std::string& key) { return calibration_sim_support::sim_value(*sim_, amp_id, key); }
    double stored(int index, const std::string& key) { return std::stod(channel_at(index).get(key, "nan")); }

    std::unique_ptr<mira_sim::sim_client> sim_;
    std::atomic<std::int64_t> fake_ns_{0};
    std::function<void(std::chrono::milliseconds)> on_sleep;
    nox::calibration_service service_{registry_, environment()};
    int32_t frame_id_ = 0;
    std::vector<int32_t> channels_;
    nox::device_registry::device_ptr dev_;
};

TEST_F(CalibrationSim, APilotCalibrationStoresTheMeasuredLine) {
    ASSERT_TRUE(dev_);
    ASSERT_TRUE(dev_->ptg2_support());
    sim_->expect_ok("load " + amp_id + " 3 4");
    sim_->expect_ok("calibration " + amp_id + " 3");
    set_channel(2, {{"t1_frequency", "20000"}, {"t2_frequency", "24000"}, {"t1_amplitude", "0.15"},
                    {"t2_amplitude", "0"}});
    const auto r = request(2, {{"method", "calibrate"}});
    ASSERT_EQ(r.get("status"), "done") << r.get("error") << log_text();

    // The model's measurement at the tones, as the amplifier reports it (two decimals).
    const sim_amp::load_line line{true, 4.0};
    const double z1 = std::abs(sim_amp::line_impedance(line, 0.5, 20000.0));
    const double z2 = std::abs(sim_amp::line_impedance(line, 0.5, 24000.0));
    EXPECT_NEAR(stored(2, "t1_read_impedance"), z1, 0.006);
    EXPECT_NEAR(stored(2, "t2_read_impedance"), z2, 0.006);
    EXPECT_NEAR(stored(2, "t1_ref_impedance"), z1, 0.006);
    EXPECT_NEAR(stored(2, "t1_lower_threshold"), 0.8 * z1, 0.006);
    EXPECT_NEAR(stored(2, "t2_upper_threshold"), 1.25 * z2, 0.006);
    EXPECT_NEAR(stored(2, "t1_factor"), 1.41 * (1 + 0.2 * 0.2), 0.0006);
    EXPECT_NEAR(stored(2, "t2_factor"), 1.52 * (1 + 0.24 * 0.24), 0.0006);
    EXPECT_EQ(channel_at(2).get("enabled_tones"), "0");
    EXPECT_NE(channel_at(2).get("last_calibrated", "none"), "none");
    // The channel's own signal is back on the amplifier, the tones are off.
    EXPECT_EQ(sim_value("Dev.LoadPilot.Signal?3"), "20000 24000 0.150 0.000");
    EXPECT_EQ(sim_value("Dev.LoadPilot.Enable?3"), "0");
}

TEST_F(CalibrationSim, ACalibrationThatNeverCompletesGivesUpAfterThirtyOnePolls) {
    ASSERT_TRUE(dev_);
    sim_->expect_ok("calibration " + amp_id + " never");
    const auto r = request(0, {{"method", "calibrate"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "calibration not completed after 31 polls");
    EXPECT_EQ(sim_value("Dev.LoadPilot.Enable?1"), "0");
    EXPECT_FALSE(channel_at(0).has("last_calibrated"));
}

TEST_F(CalibrationSim, ASweepStoresTheModelsCurveAndDcResistance) {
    ASSERT_TRUE(dev_);
    sim_->expect_ok("load " + amp_id + " 2 16");
    set_channel(1, {{"t1_cable_resistance", "1.25"}});
    const auto r = request(1, {{"method", "calibrate"}, {"calibration_type", "sweep"}});
    ASSERT_EQ(r.get("status"), "done") << r.get("error") << log_text();

    const auto sweeps = c("impedance_sweeps").find_where("channel_id", std::to_string(channels_[1]));
    ASSERT_EQ(sweeps.size(), 1u);
    const auto reals = numbers(sweeps[0].get("reals"));
    const auto imags = numbers(sweeps[0].get("imags"));
    const auto abs = numbers(sweeps[0].get("abs"));
    ASSERT_EQ(reals.size(), 148u);
    ASSERT_EQ(imags.size(), 148u);
    ASSERT_EQ(abs.size(), 148u);
    const sim_amp::load_line line{true, 16.0};
    for (int i = 0; i < 148; ++i) {
        const auto z = sim_amp::line_impedance(line, 1.25, sim_amp::sweep_frequency(i));
        EXPECT_NEAR(reals[i], float(z.real()), 1e-6) << i;
        EXPECT_NEAR(imags[i], float(z.imag()), 1e-6) << i;
        EXPECT_NEAR(abs[i], std::abs(z), 1e-5) << i;
    }
    EXPECT_NEAR(std::stod(sweeps[0].get("dc_resistance")), 1.25 + 0.85 * 16.0, 1e-5);
    EXPECT_NE(log_text().find("Payload size: 296"), std::string::npos);
}

TEST_F(CalibrationSim, AChannelWithoutLoadSweepsAsAnOpenLine) {
    ASSERT_TRUE(dev_);
    sim_->expect_ok("load " + amp_id + " 4 open");
    set_channel(3, {{"t1_cable_resistance", "0.5"}});
    const auto r = request(3, {{"method", "calibrate"}, {"calibration_type", "sweep"}});
    ASSERT_EQ(r.get("status"), "done") << r.get("error");
    const auto sweeps = c("impedance_sweeps").find_where("channel_id", std::to_string(channels_[3]));
    ASSERT_EQ(sweeps.size(), 1u);
    EXPECT_EQ(sweeps[0].get("dc_resistance"), "1000000.000000");
    EXPECT_GT(numbers(sweeps[0].get("abs")).front(), 100000.0);
    EXPECT_LT(numbers(sweeps[0].get("imags")).back(), 0.0);
}

TEST_F(CalibrationSim, AnAnalyserThatNeverCompletesFailsAfterItsLimit) {
    ASSERT_TRUE(dev_);
    sim_->expect_ok("analyser " + amp_id + " never");
    set_channel(0, {{"t1_cable_resistance", "0.5"}});
    const auto started = std::chrono::steady_clock::now();
    const auto r = request(0, {{"method", "calibrate"}, {"calibration_type", "sweep"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "the analyser did not complete command 3 within 120 s");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);  // 240 polls over UDP
    EXPECT_TRUE(c("impedance_sweeps").get_all().empty());
}

TEST_F(CalibrationSim, AnAmplifierThatFallsSilentFailsTheCalibrationAndGetsItsSignalBack) {
    ASSERT_TRUE(dev_);
    set_channel(1, {{"t1_frequency", "21000"}, {"t2_frequency", "23000"}, {"t1_amplitude", "0.1"},
                    {"t2_amplitude", "0.2"}});
    // During the pause after the start, the amplifier stops answering for one exchange
    // (four tries): the completion poll times out, the restore is answered again.
    on_sleep = [this](std::chrono::milliseconds pause) {
        if (pause == 4000ms) sim_->expect_ok("fault " + amp_id + " silent count=4");
    };
    const auto started = std::chrono::steady_clock::now();
    const auto r = request(1, {{"method", "calibrate"}});
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "calibration_done failed with result 13 (time-out)");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(sim_value("Dev.LoadPilot.Signal?2"), "21000 23000 0.100 0.200");
}

TEST_F(CalibrationSim, TheSwitchReachesTheAmplifier) {
    ASSERT_TRUE(dev_);
    auto r = request(2, {{"method", "put_lms"}, {"enable", "1"}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(sim_value("Dev.LoadPilot.Enable?3"), "1");
    EXPECT_EQ(channel_at(2).get("enabled_analyser"), "1");
    r = request(2, {{"method", "put_lms"}, {"enable", "0"}});
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(sim_value("Dev.LoadPilot.Enable?3"), "0");
    EXPECT_EQ(channel_at(2).get("enabled_tones"), "0");
}

}  // namespace
}  // namespace calibration_sim_test
