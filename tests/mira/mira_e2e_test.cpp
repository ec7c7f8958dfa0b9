// A Mira device talking to the simulator over the sandbox network: every mapped
// parameter read and written, routing names and labels, calibration, monitor and
// binary parameters.
#include "backend/amp/converters.h"
#include "backend/amp/mira_device.h"
#include "backend/amp/mira_family.h"
#include "backend/amp/mira_parameters.h"
#include "backend/amp/network_interfaces.h"
#include "common/log/log.h"
#include "tools/mira_sim/sim_client.h"
#include "tools/sim_amp/load_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

using namespace nox::amp;

const char* const amp_id = "00000001:00000001";

class MiraEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        nox::log::instance().set_log_path(::testing::TempDir() + "mira_e2e_test." + std::to_string(::getpid()) + ".log");
        sim = std::make_unique<mira_sim::sim_client>(mira_sim::sim_client::default_program(),
                                                     std::vector<std::string>{"--amp", amp_id});
        set_mira_interface("10.99.0.1");
        dev = std::make_unique<mira_device>(device_address{1, 1, 2});
    }
    void TearDown() override { set_mira_interface(""); }

    std::string sim_set(const std::string& key, const std::string& value) {
        return sim->expect_ok("set " + std::string(amp_id) + " " + key + "|" + value);
    }

    std::unique_ptr<mira_sim::sim_client> sim;
    std::unique_ptr<mira_device> dev;
};

double number(const param_value& v) {
    return v.index() == 0 ? double(std::get<float>(v)) : double(std::get<std::int32_t>(v));
}

TEST_F(MiraEndToEnd, ReadsEveryListZeroParameter) {
    std::vector<param_entry> rows;
    ASSERT_EQ(dev->parameter_list(0, rows), 0);
    ASSERT_EQ(rows.size(), 143u);
    dev->cache_on();
    std::map<std::string, double> first_channel;
    for (const auto& row : rows) {
        param_value value;
        ASSERT_EQ(dev->read_param(row, value), 0) << row.key << "@" << row.channel;
        if (row.channel <= 0) first_channel[row.key] = number(value);
    }
    dev->cache_off();
    EXPECT_EQ(first_channel["power_status"], 1);
    EXPECT_NEAR(first_channel["threshold"], 141.4, 1e-3);
    EXPECT_NEAR(first_channel["actual_vpl_threshold"], 141.4, 1e-3);
    EXPECT_EQ(first_channel["temperature_slot"], 38);
    EXPECT_EQ(first_channel["serial_number"], 100001);
    EXPECT_NEAR(first_channel["amp_max_out_current"], 28.0, 1e-3);
    EXPECT_EQ(first_channel["profile"], 0);
    const auto profile = std::find_if(rows.begin(), rows.end(), [](const param_entry& r) { return r.key == "profile"; });
    EXPECT_EQ(nox::to_project_text(profile->converter, 0), "2");  // the project's profile 2
    EXPECT_TRUE(dev->connected());
}

TEST_F(MiraEndToEnd, FamilyMakesTheDeviceFromTheFrameIdentity) {
    auto made = mira_family().make_device({{"id", "3"}, {"device_id", amp_id}, {"module_class", " 5 "}});
    auto* mira = dynamic_cast<mira_device*>(made.get());
    ASSERT_NE(mira, nullptr);
    EXPECT_EQ(mira->address(), (device_address{1, 1, 5}));
    std::vector<param_entry> rows;
    EXPECT_EQ(made->parameter_list(1, rows), 0);  // it answered its model read

    made = mira_family().make_device({{"device_id", amp_id}, {"module_class", "70000"}});
    EXPECT_EQ(dynamic_cast<mira_device*>(made.get())->address().kind, 1);  // not 16 bits: the default
    EXPECT_EQ(mira_family().make_device({{"device_id", "not-an-address"}}), nullptr);
}

TEST_F(MiraEndToEnd, WritesEveryWritableRowAndReadsItBack) {
    std::vector<param_entry> rows;
    ASSERT_EQ(dev->parameter_list(0, rows), 0);
    int written = 0;
    for (const auto& row : rows) {
        if (row.read_only) continue;
        const bool is_float = row.address_as<mira_parameter>()->value_type == value_type_float;
        const std::string text = is_float ? "12.5" : std::to_string(1 + written % 5);
        ASSERT_EQ(dev->write_param(row, text), 0) << row.key << "@" << row.channel;
        param_value value;
        ASSERT_EQ(dev->read_param(row, value), 0) << row.key << "@" << row.channel;
        EXPECT_NEAR(number(value), std::stod(text), 1e-4) << row.key << "@" << row.channel;
        ++written;
    }
    EXPECT_EQ(written, 88);
}

TEST_F(MiraEndToEnd, RoutingNamesAndLabelsRoundTrip) {
    std::vector<std::string> names;
    ASSERT_EQ(dev->read_routing(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"ModA.Out1", "ModB.Out1", "ModC.Out1", "ModD.Out1"}));

    // Channel 2 moves to module A, output 2; channel 4 loses its route.
    sim_set("Dev.Route?A 2", "- X - -");
    sim_set("Dev.Route?B 1", "- - - -");
    sim_set("Dev.Route?D 1", "- - - -");
    ASSERT_EQ(dev->read_routing(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"ModA.Out11", "ModA.Out22", "ModC.Out1", "Unrouted"}));

    ASSERT_EQ(dev->write_channel_names({"Sub.Left1", "Sub.Right2", "Main.Centre", "Spare.Out"}), 0);
    ASSERT_EQ(dev->read_routing(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"Sub.Left1", "Sub.Right2", "Main.Centre", "Unrouted"}));
    std::string module, output;
    ASSERT_EQ(dev->read_channel_labels(3, module, output), 0);
    EXPECT_EQ(module, "Spare");
    EXPECT_EQ(output, "Out");

    // Pair 2 bridged: channel 4 is not read from the matrix even when routed.
    sim_set("Dev.Route?D 1", "- - - X");
    sim_set("Dev.BridgeMode?2", "1");
    ASSERT_EQ(dev->read_routing(names), 0);
    EXPECT_EQ(names[3], "Unrouted");
    int mode = 0;
    bool primary = true;
    ASSERT_EQ(dev->read_bridge_mode(3, mode, primary), 0);
    EXPECT_EQ(mode, 1);
    EXPECT_FALSE(primary);
}

TEST_F(MiraEndToEnd, CalibrationCompletesAndReadingsFollow) {
    sim->expect_ok(std::string("calibration ") + amp_id + " 2");
    ASSERT_EQ(dev->enable_pilot(8, 1, 1), 0);
    ASSERT_EQ(dev->write_ref_impedance(1, {10.0f, 12.5f}), 0);
    ASSERT_EQ(dev->write_pilot_signal(1, {20000, 22000}, {0.06f, 0.2f}), 0);
    ASSERT_EQ(dev->write_pilot_factor(1, {1.41f, 1.52f}), 0);
    ASSERT_EQ(dev->start_calibration(0x222), 0);
    int done = -1;
    ASSERT_EQ(dev->calibration_done(0x222, done), 0);
    EXPECT_EQ(done, 0);
    ASSERT_EQ(dev->calibration_done(0x222, done), 0);
    EXPECT_EQ(done, 0x222);
    pilot_readings r;
    ASSERT_EQ(dev->read_pilot(1, r), 0);
    // The simulator measured its line (8 Ω, 0.5 Ω cable) at the tones: the readings and
    // the new references are that impedance, the factors trimmed for 20 and 22 kHz.
    const sim_amp::load_line line;
    const double z1 = std::abs(sim_amp::line_impedance(line, 0.5, 20000.0));
    const double z2 = std::abs(sim_amp::line_impedance(line, 0.5, 22000.0));
    EXPECT_NEAR(r.ref_impedances[0], z1, 0.006);
    EXPECT_NEAR(r.ref_impedances[1], z2, 0.006);
    EXPECT_NEAR(r.readings[0], z1, 0.006);
    EXPECT_NEAR(r.readings[1], z2, 0.006);
    EXPECT_NEAR(r.thresholds[0], 0.8 * z1, 0.006);
    EXPECT_NEAR(r.thresholds[3], 1.25 * z2, 0.006);
    EXPECT_NEAR(r.factors[0], 1.41 * 1.04, 0.0006);
    EXPECT_NEAR(r.factors[1], 1.52 * (1 + 0.22 * 0.22), 0.0006);
    std::vector<std::string> signal;
    ASSERT_EQ(dev->query_strings("Dev.LoadPilot.Signal?2", signal), 0);
    EXPECT_EQ(signal, (std::vector<std::string>{"20000", "22000", "0.060", "0.200"}));
    std::vector<int> enabled;
    ASSERT_EQ(dev->query_integers("Dev.LoadPilot.Enable?2", enabled), 0);
    EXPECT_EQ(enabled, std::vector<int>{1});
}

TEST_F(MiraEndToEnd, PowerMuteModelFirmwareMonitorAndBinaryParameters) {
    int code = 0;
    std::string name, type;
    ASSERT_EQ(dev->read_model(code, name, type), 0);
    EXPECT_EQ(code, 8);
    EXPECT_FLOAT_EQ(dev->firmware_version(), 7.2f);
    ASSERT_EQ(dev->write_power(0), 0);
    int on = 1;
    ASSERT_EQ(dev->read_power(on), 0);
    EXPECT_EQ(on, 0);
    ASSERT_EQ(dev->write_mute(3, 1), 0);
    int mute = 0;
    ASSERT_EQ(dev->read_mute(3, mute), 0);
    EXPECT_EQ(mute, 1);
    ASSERT_EQ(dev->write_frame_name("Stage left"), 0);
    ASSERT_EQ(dev->read_frame_name(name), 0);
    EXPECT_EQ(name, "Stage left");

    std::vector<std::uint32_t> words;
    ASSERT_EQ(dev->read_monitor(words), 0);
    ASSERT_EQ(words.size(), 27u);
    EXPECT_EQ(words.back(), 0u);
    bool selected = true;
    ASSERT_TRUE(dev->is_selected(selected));
    EXPECT_FALSE(selected);
    sim->expect_ok(std::string("select ") + amp_id + " 1");
    sim->expect_ok(std::string("status ") + amp_id + " " + std::to_string((1 << 13) | (1 << 14)));
    ASSERT_TRUE(dev->is_selected(selected));
    EXPECT_TRUE(selected);
    ASSERT_EQ(dev->read_monitor(words), 0);
    EXPECT_EQ(words.back(), 1u);

    std::vector<std::uint32_t> values;
    ASSERT_EQ(dev->write_params(param_range{6, 1, 0}, {1, 0, 0, 1}), 0);
    ASSERT_EQ(dev->read_params(param_range{6, 1, 4}, values), 0);
    EXPECT_EQ(values, (std::vector<std::uint32_t>{1, 0, 0, 1}));
    float version = 0;
    ASSERT_EQ(dev->read_firmware_parameter(version), 0);
    EXPECT_EQ(version, 7.0f);
    ASSERT_EQ(dev->soft_reset(), 0);
    EXPECT_EQ(sim->expect_ok(std::string("resets ") + amp_id), "ok 1");
}

TEST_F(MiraEndToEnd, SilentAmplifierTimesOutAndBecomesUnreachable) {
    sim->expect_ok(std::string("fault ") + amp_id + " silent");
    int on = 1;
    EXPECT_EQ(dev->read_power(on), 13);
    EXPECT_EQ(on, 0);
    // A device made now cannot read the model: its time-out counts twice.
    mira_device silent(device_address{1, 1, 2});
    EXPECT_EQ(silent.timeout_streak(), 2);
    std::vector<param_entry> rows;
    EXPECT_EQ(silent.parameter_list(0, rows), -1);
    EXPECT_TRUE(silent.unreachable());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(silent.parameter_list(0, rows), -1);  // held off: nothing sent, no wait
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

}  // namespace
