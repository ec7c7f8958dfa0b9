// orva_backend as a process with a simulated Tesira server hosting one amplifier block,
// inside the network sandbox (the server listens on 10.99.0.2:23): a pilot-tone
// calibration, an impedance sweep and the load-monitoring switch of a Tesira-hosted
// amplifier posted over REST, their results checked against the simulator's measurement
// model and the block's parameter words.
#include "tests/calibration/rest_requests.h"
#include "tests/calibration/sim_support.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/support/tesira_project.h"
#include "tools/sim_amp/load_line.h"
#include "tools/sim_amp/sim_client.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace std::chrono_literals;
using calibration_sim_support::numbers;
using orva_test::http_get;
using sim_amp::sim_client;

const std::string server = "10.99.0.2";

orva_test::backend_process::options with_project() {
    orva_test::backend_process::options o;
    // Frame 1 is the block AmpA of the server; its channel 2 has tone settings and a cable.
    o.configuration = orva_test::tesira_block_project(
        server, "AmpA",
        {{2, "<t1_frequency>20000</t1_frequency><t2_frequency>24000</t2_frequency><t1_amplitude>0.2</t1_amplitude>"
             "<t2_amplitude>0.1</t2_amplitude><t1_cable_resistance>1.0</t1_cable_resistance>"}});
    return o;
}

class CalibrationTesira : public ::testing::Test {
protected:
    CalibrationTesira() : sim_(sim_client::program("orva_tesira_sim"), {"--bind", server, "--block", "AmpA=Hall left"}) {
        rest_.frame_id = 1;
        rest_.channels = {1, 2, 3, 4};
    }

    // Waits until monitoring reaches the block (the device is made and knows its firmware).
    bool online() {
        const auto body = orva_test::get_body_when(
            "/frames/1", [](const std::string& b) { return b.find("\"mon_network_status\":\"online\"") != std::string::npos; },
            30s);
        return body.find("\"mon_network_status\":\"online\"") != std::string::npos;
    }
    // The words of the block at (block, index), as the server answers a peek.
    std::string peek(int block, int index, int count) {
        char address[32];
        std::snprintf(address, sizeof address, "0x%x", (block << 16) | index);
        return sim_.expect_ok("do AmpA peek " + std::string(address) + " " + std::to_string(count));
    }

    sim_client sim_;
    orva_test::backend_process backend_{with_project()};
    calibration_rest::request_follower rest_{"AmpA"};
};

TEST_F(CalibrationTesira, CalibrationSweepAndSwitchOverRest) {
    ASSERT_TRUE(backend_.ready());
    sim_.expect_ok("load AmpA 2 4");
    sim_.expect_ok("calibration AmpA 2");
    ASSERT_TRUE(online()) << backend_.log();

    // Second-generation calibration with the channel's own tones.
    auto r = rest_.follow(1, R"("method":"calibrate")");
    ASSERT_EQ(r.get("status"), "done") << r.get("error") << backend_.log();
    const sim_amp::load_line line{true, 4.0};
    const double z1 = std::abs(sim_amp::line_impedance(line, 0.5, 20000.0));
    const double z2 = std::abs(sim_amp::line_impedance(line, 0.5, 24000.0));
    EXPECT_NEAR(rest_.stored(1, "t1_read_impedance"), z1, 0.002);
    EXPECT_NEAR(rest_.stored(1, "t2_ref_impedance"), z2, 0.002);
    EXPECT_NEAR(rest_.stored(1, "t1_lower_threshold"), 0.8 * z1, 0.002);
    EXPECT_NEAR(rest_.stored(1, "t2_upper_threshold"), 1.25 * z2, 0.002);
    // A Tesira-hosted amplifier does not report its correction factors.
    EXPECT_EQ(rest_.channel_at(1).get("t1_factor"), "0.000000");
    EXPECT_EQ(rest_.channel_at(1).get("t2_factor"), "0.000000");
    EXPECT_NE(rest_.channel_at(1).get("last_calibrated", "none"), "none");
    // The channel's own amplitudes (words of 1/1000) are back, the tones are off.
    EXPECT_EQ(peek(5, 21 + 1, 2), "ok +OK \"value\":[200 100]");
    EXPECT_EQ(peek(5, 21 + 12, 2), "ok +OK \"value\":[0 0]");

    // Impedance sweep with the channel's cable resistance of 1 Ω.
    r = rest_.follow(1, R"("method":"calibrate","calibration_type":"sweep")");
    ASSERT_EQ(r.get("status"), "done") << r.get("error") << backend_.log();
    const auto sweeps = rest_.sweeps_of(1);
    ASSERT_EQ(sweeps.size(), 1u);
    const auto reals = numbers(sweeps[0].get("reals"));
    const auto abs = numbers(sweeps[0].get("abs"));
    ASSERT_EQ(reals.size(), 148u);
    ASSERT_EQ(abs.size(), 148u);
    for (int i : {0, 40, 100, 147}) {
        const auto z = sim_amp::line_impedance(line, 1.0, sim_amp::sweep_frequency(i));
        EXPECT_NEAR(reals[i], z.real(), 1e-5) << i;
        EXPECT_NEAR(abs[i], std::abs(z), 1e-4) << i;
    }
    EXPECT_NEAR(std::stod(sweeps[0].get("dc_resistance")), 1.0 + 0.85 * 4.0, 1e-5);

    // The switch: the enable pair of channel 2 is [1, 2] (tone on, channel number) and
    // then [0, 0].
    r = rest_.follow(1, R"("method":"put_lms","enable":"1")");
    EXPECT_EQ(r.get("status"), "done") << r.get("error");
    EXPECT_EQ(peek(5, 21 + 12, 2), "ok +OK \"value\":[1 2]");
    r = rest_.follow(1, R"("method":"put_lms","enable":"0")");
    EXPECT_EQ(r.get("status"), "done") << r.get("error");
    EXPECT_EQ(peek(5, 21 + 12, 2), "ok +OK \"value\":[0 0]");
    EXPECT_EQ(rest_.channel_at(1).get("enabled_tones"), "0");
    EXPECT_EQ(backend_.stop(), 0);
}

}  // namespace
