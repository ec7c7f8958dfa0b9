// orva_backend as a process with a simulated Mira amplifier, inside the network sandbox:
// a pilot-tone calibration, an impedance sweep and the load-monitoring switch posted over
// REST, followed at /requests/<id> while they run, their results read back from
// /channels and /impedances and checked against the simulator's measurement model.
#include "backend/model/device_registry.h"
#include "backend/model/model.h"
#include "backend/requests/model_json.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/calibration/rest_requests.h"
#include "tests/calibration/sim_support.h"
#include "tools/mira_sim/sim_client.h"
#include "tools/sim_amp/load_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using calibration_sim_support::numbers;
using orva_test::http_call;
using orva_test::http_get;
using calibration_rest::models_of;

const std::string amp_id = "0000abcd:00000001";

class CalibrationProcess : public ::testing::Test {
protected:
    CalibrationProcess()
        : sim_(mira_sim::sim_client::default_program(), std::vector<std::string>{"--amp", amp_id + ",kind=2"}) {}

    // Discovers the amplifier and waits until its frame and channels are stored.
    bool discover() {
        if (!backend_.ready()) return false;
        http_call("POST", "/requests", R"({"method":"refresh","network_interface":"10.99.0.1"})");
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& f : models_of(http_get("/frames").body)) {
                if (f.get("device_id") != amp_id || f.get("synced") != "true") continue;
                rest_.frame_id = f.id();
                rest_.channels = nox::channel_ids_of(f);
                return rest_.channels.size() == 4;
            }
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }

    std::string sim_value(const std::string& key) { return calibration_sim_support::sim_value(sim_, amp_id, key); }

    mira_sim::sim_client sim_;
    orva_test::backend_process backend_;
    calibration_rest::request_follower rest_{amp_id};
};

TEST_F(CalibrationProcess, CalibrationSweepAndSwitchOverRest) {
    ASSERT_TRUE(discover()) << backend_.log();
    sim_.expect_ok("load " + amp_id + " 2 6");
    sim_.expect_ok("calibration " + amp_id + " 2");

    // Pilot-tone calibration of channel 2 with the amplifier's own tones (20000/22000 Hz,
    // read by the download), and a sweep of channel 4 posted right after it, which waits
    // for the calibration.
    const nox::model calibration = rest_.post(1, R"("method":"calibrate","calibration_type":"ptg2")");
    const nox::model waiting = rest_.post(3, R"("method":"calibrate","calibration_type":"sweep")");
    std::this_thread::sleep_for(1500ms);
    const nox::model queued = nox::parse_model(http_get("/requests/" + std::to_string(waiting.id())).body);
    EXPECT_EQ(queued.get("progress"), "waiting for the amplifier's calibration or sweep in progress");
    EXPECT_EQ(queued.get("status"), "wait");
    auto r = rest_.follow(calibration);
    ASSERT_EQ(r.get("status"), "done") << r.get("error") << backend_.log();
    EXPECT_TRUE(rest_.progress.count("calibrating: poll 1 of 31")) << backend_.log();
    r = rest_.follow(waiting);
    EXPECT_EQ(r.get("status"), "done") << r.get("error");
    const sim_amp::load_line line{true, 6.0};
    const double z1 = std::abs(sim_amp::line_impedance(line, 0.5, 20000.0));
    const double z2 = std::abs(sim_amp::line_impedance(line, 0.5, 22000.0));
    EXPECT_NEAR(rest_.stored(1, "t1_ref_impedance"), z1, 0.006);
    EXPECT_NEAR(rest_.stored(1, "t2_read_impedance"), z2, 0.006);
    EXPECT_NEAR(rest_.stored(1, "t1_upper_threshold"), 1.25 * z1, 0.006);
    EXPECT_NE(rest_.channel_at(1).get("last_calibrated", "none"), "none");
    EXPECT_EQ(sim_value("Dev.LoadPilot.Enable?2"), "0");

    // Impedance sweep of the same channel with its stored cable resistance.
    const double cable = rest_.stored(1, "t1_cable_resistance");
    r = rest_.follow(1, R"("method":"calibrate","calibration_type":"sweep")");
    ASSERT_EQ(r.get("status"), "done") << r.get("error");
    EXPECT_TRUE(rest_.progress.count("sweeping"));
    const auto sweeps = rest_.sweeps_of(1);
    ASSERT_EQ(sweeps.size(), 1u);
    EXPECT_EQ(models_of(http_get("/impedances").body).size(), 2u);
    const nox::model sweep = nox::parse_model(http_get("/impedances/" + std::to_string(sweeps[0].id())).body);
    EXPECT_EQ(sweep.get("channel_id"), std::to_string(rest_.channels[1]));
    const auto abs = numbers(sweep.get("abs"));
    ASSERT_EQ(abs.size(), 148u);
    for (int i : {0, 20, 147}) {
        EXPECT_NEAR(abs[i], std::abs(sim_amp::line_impedance(line, cable, sim_amp::sweep_frequency(i))), 1e-4) << i;
    }
    EXPECT_NEAR(std::stod(sweep.get("dc_resistance")), cable + 0.85 * 6.0, 1e-5);

    // The switch, on and off.
    r = rest_.follow(3, R"("method":"put_lms","enable":"1")");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(sim_value("Dev.LoadPilot.Enable?4"), "1");
    EXPECT_EQ(rest_.channel_at(3).get("enabled_tones"), "1");
    r = rest_.follow(3, R"("method":"put_lms","enable":"0")");
    EXPECT_EQ(r.get("status"), "done");
    EXPECT_EQ(sim_value("Dev.LoadPilot.Enable?4"), "0");
    EXPECT_EQ(rest_.channel_at(3).get("enabled_analyser"), "0");

    // A failure stays in /requests with its reason.
    r = rest_.follow(1, R"("method":"calibrate","calibration_type":"sweep","channel_id":"999")");
    EXPECT_EQ(r.get("status"), "fail");
    EXPECT_EQ(r.get("error"), "channel 999 is not a channel of frame " + std::to_string(rest_.frame_id));
    EXPECT_EQ(backend_.stop(), 0);
}

}  // namespace
