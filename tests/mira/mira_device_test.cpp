// Command texts and reply parsing of the Mira device, through a scripted transport.
#include "backend/amp/mira_device.h"
#include "backend/amp/mira_parameters.h"
#include "common/log/log.h"
#include "tests/amp/write_operations.h"
#include "tests/mira/fake_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <variant>

namespace {

using namespace nox::amp;
using mira_test::fake_transport;

const device_address address{0x0001a2b3, 0x0c0d0e0f, 2};

// Every test logs into its own file so that log texts can be checked.
class MiraDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_path_ = "/tmp/orva_mira_test_" + std::to_string(::getpid()) + ".log";
        std::remove(log_path_.c_str());
        nox::log::instance().set_log_path(log_path_);
        transport_ = std::make_shared<fake_transport>();
        transport_->replies["Dev.ModelName?"] = "VR45:4M";
        transport_->replies["Amp.Version.SWFID?"] = "7.20";
        clock_ = std::make_shared<manual_clock>();
    }
    void TearDown() override { std::remove(log_path_.c_str()); }

    std::unique_ptr<mira_device> make(std::string interface = "10.99.0.1") {
        return std::make_unique<mira_device>(address, transport_, [interface] { return interface; }, clock_);
    }
    std::string log_text() const {
        std::ifstream in(log_path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Routes: every module output drives nothing, unless set.
    void no_routes() {
        for (const char* m : {"A", "B", "C", "D"}) {
            for (int o = 1; o <= 6; ++o) transport_->replies[std::string("Dev.Route?") + m + " " + std::to_string(o)] = "- - - -";
            transport_->replies[std::string("Mod.Mod.Label?") + m] = std::string("Mod") + m;
        }
        transport_->replies["Dev.BridgeMode?1"] = "0";
        transport_->replies["Dev.BridgeMode?2"] = "0";
    }

    std::string log_path_;
    std::shared_ptr<fake_transport> transport_;
    std::shared_ptr<manual_clock> clock_;
};

// ---------------------------------------------------------------- model, firmware, lists

TEST_F(MiraDeviceTest, ModelTableGivesCodeNameAndMiraFrameType) {
    auto dev = make();
    const std::pair<const char*, std::pair<int, const char*>> cases[] = {
        {"VR45:4M", {8, "VR 45:4M"}},   {"VR205:4M", {3, "VR 205:4M"}}, {"9K66", {5, "QXN 9K66"}},
        {"13K66", {4, "QXN 13K66"}},    {"21000R", {3, "QXN 21000R"}},  {"VR15:4M", {6, "VR 15:4M"}},
        {"VR45:4", {0, ""}},            {"", {0, ""}},
    };
    for (const auto& [reply, expected] : cases) {
        transport_->replies["Dev.ModelName?"] = reply;
        int code = -1;
        std::string name = "x", type;
        EXPECT_EQ(dev->read_model(code, name, type), 0) << reply;
        EXPECT_EQ(code, expected.first) << reply;
        EXPECT_EQ(name, expected.second) << reply;
        EXPECT_EQ(type, "mira");
    }
}

TEST_F(MiraDeviceTest, ConstructionReadsModelAndFirmwareAndBuildsLists) {
    transport_->replies["Dev.ModelName?"] = "VR85:4M";
    auto dev = make();
    EXPECT_TRUE(dev->high_power_model());
    EXPECT_FLOAT_EQ(dev->firmware(), 7.2f);
    EXPECT_TRUE(dev->ptg2_support());
    EXPECT_TRUE(dev->ptg2_sequential_support());
    std::vector<param_entry> list0, list1;
    ASSERT_EQ(dev->parameter_list(0, list0), 0);
    ASSERT_EQ(dev->parameter_list(1, list1), 0);
    EXPECT_EQ(list0.size(), mira_parameter_rows().list0.size());
    EXPECT_EQ(list1.size(), mira_parameter_rows().list1.size());
    EXPECT_EQ(dev->min_firmware_version(), 7.0f);

    transport_->replies["Dev.ModelName?"] = "VR45:4M";
    EXPECT_FALSE(make()->high_power_model());
}

TEST_F(MiraDeviceTest, FirmwareFallsBackToParameterThenZero) {
    transport_->replies.erase("Amp.Version.SWFID?");
    transport_->failures["Amp.Version.SWFID?"] = 13;
    transport_->on_packet = [](std::span<const std::uint32_t>, std::vector<std::uint32_t>& reply) {
        reply = mira_test::read_response(0, 4, 0, {5});
        return 0;
    };
    auto dev = make();
    EXPECT_FLOAT_EQ(dev->firmware_version(), 5.0f);
    EXPECT_FALSE(dev->ptg2_support());
    ASSERT_FALSE(transport_->packets.empty());
    // A read of block 0, index 4, count 1.
    EXPECT_EQ(transport_->packets.back().size(), 3u);

    transport_->on_packet = nullptr;
    EXPECT_FLOAT_EQ(dev->firmware_version(), 0.0f);
    EXPECT_FLOAT_EQ(dev->firmware(), 0.0f);
}

TEST_F(MiraDeviceTest, SilentDeviceHasNoListsAndIsHeldOffFor15Seconds) {
    transport_->replies.erase("Dev.ModelName?");
    auto dev = make();
    // One time-out counted by the query and one by the builder.
    EXPECT_EQ(dev->timeout_streak(), 2);
    std::vector<param_entry> list;
    EXPECT_EQ(dev->parameter_list(0, list), -1);
    EXPECT_TRUE(dev->unreachable());
    EXPECT_FALSE(dev->connected());
    const int asked = transport_->count("Dev.ModelName?");
    EXPECT_EQ(dev->parameter_list(0, list), -1);
    clock_->advance(14999);
    EXPECT_EQ(dev->parameter_list(1, list), -1);
    EXPECT_EQ(transport_->count("Dev.ModelName?"), asked);  // held off: nothing sent

    clock_->advance(1);
    transport_->replies["Dev.ModelName?"] = "VR45:4M";
    EXPECT_EQ(dev->parameter_list(1, list), 0);
    EXPECT_EQ(transport_->count("Dev.ModelName?"), asked + 1);
    EXPECT_EQ(list.size(), mira_parameter_rows().list1.size());
    EXPECT_EQ(dev->timeout_streak(), 0);
    EXPECT_FALSE(dev->unreachable());
}

TEST_F(MiraDeviceTest, NoInterfaceAnswersOneAndSendsNothing) {
    auto dev = make("");
    const std::size_t mark = transport_->sent.size();
    int value = 0;
    std::string text, other;
    std::vector<std::string> names;
    std::vector<std::uint32_t> words;
    pilot_readings readings;
    EXPECT_EQ(dev->read_power(value), 1);
    EXPECT_EQ(dev->write_power(1), 1);
    EXPECT_EQ(dev->read_mute(0, value), 1);
    EXPECT_EQ(dev->read_frame_name(text), 1);
    EXPECT_EQ(dev->read_routing(names), 1);
    EXPECT_EQ(dev->read_channel_labels(0, text, other), 1);
    EXPECT_EQ(dev->read_params(param_range{1, 0, 3}, words), 1);
    EXPECT_EQ(dev->write_params(param_range{1, 0, 0}, {1}), 1);
    EXPECT_EQ(dev->read_monitor(words), 1);
    EXPECT_EQ(dev->read_pilot(0, readings), 1);
    EXPECT_EQ(dev->soft_reset(), 1);
    std::vector<param_entry> list;
    EXPECT_EQ(dev->parameter_list(0, list), -1);
    bool selected = false;
    EXPECT_FALSE(dev->is_selected(selected));
    EXPECT_EQ(transport_->since(mark).size(), 0u);
    EXPECT_TRUE(transport_->packets.empty());
    EXPECT_EQ(dev->timeout_streak(), 0);
}

// ---------------------------------------------------------------- simple commands

TEST_F(MiraDeviceTest, CommandTextsOfSimpleOperations) {
    auto dev = make();
    const std::size_t mark = transport_->sent.size();
    EXPECT_EQ(dev->write_mute(2, 1), 0);
    EXPECT_EQ(dev->write_power(0), 0);
    EXPECT_EQ(dev->write_frame_name("Stage left"), 0);
    EXPECT_EQ(dev->soft_reset(), 0);
    EXPECT_EQ(dev->write_ref_impedance(1, {10000.0f, 8.126f}), 0);
    EXPECT_EQ(dev->write_pilot_factor(0, {1.41f, 1.52f}), 0);
    EXPECT_EQ(dev->write_pilot_signal(3, {20, 22000}, {0.06f, 0.2f}), 0);
    EXPECT_EQ(dev->enable_pilot(8, 1, 1), 0);
    EXPECT_EQ(dev->start_calibration(0x111), 0);
    EXPECT_EQ(dev->start_calibration(0x3), 0);
    const std::vector<std::string> expected{
        "Dev.Pwr.Mute=3 1",
        "Dev.Power=0",
        "Dev.FrameLabel=Stage left",
        "Dev.Reset.Soft!",
        "Dev.LoadPilot.RefImp=2 10000.00 8.13",
        "Dev.LoadPilot.Factor=1 1.410 1.520",
        "Dev.LoadPilot.Signal=4 20 22000 0.060 0.200",
        "Dev.LoadPilot.Enable=2 1",
        "Dev.LoadPilot.CalibStart=3 0 0 0",
        "Dev.LoadPilot.CalibStart=",
    };
    EXPECT_EQ(transport_->since(mark), expected);
}

TEST_F(MiraDeviceTest, PilotSignalAllStopsAtFirstFailure) {
    auto dev = make();
    transport_->failures["Dev.LoadPilot.Signal=3 20 22000 0.200 0.200"] = 13;
    const std::size_t mark = transport_->sent.size();
    EXPECT_EQ(dev->write_pilot_signal_all({20, 22000}, {0.2f, 0.2f}), 13);
    const std::vector<std::string> expected{
        "Dev.LoadPilot.Signal=1 20 22000 0.200 0.200",
        "Dev.LoadPilot.Signal=2 20 22000 0.200 0.200",
        "Dev.LoadPilot.Signal=3 20 22000 0.200 0.200",
    };
    EXPECT_EQ(transport_->since(mark), expected);
}

TEST_F(MiraDeviceTest, SelectorTable) {
    const std::pair<int, const char*> table[] = {
        {0x11, "2 0 0 0"},  {0x22, "0 2 0 0"},  {0x44, "0 0 2 0"},  {0x88, "0 0 0 2"},
        {0x100, "1 0 0 0"}, {0x200, "0 1 0 0"}, {0x400, "0 0 1 0"}, {0x800, "0 0 0 1"},
        {0x111, "3 0 0 0"}, {0x222, "0 3 0 0"}, {0x444, "0 0 3 0"}, {0x888, "0 0 0 3"},
        {0x1, ""},          {0x10, ""},         {0x333, ""},        {0, ""},
    };
    for (const auto& [selector, argument] : table) EXPECT_EQ(calibration_selector_argument(selector), argument) << selector;
}

TEST_F(MiraDeviceTest, OldFirmwareRefusesEveryWriteAndStillReads) {
    auto dev = make();
    dev->set_old_firmware(true);
    const std::size_t mark = transport_->sent.size();
    for (const auto& [name, operation] : amp_test::every_write_operation()) {
        EXPECT_EQ(operation(*dev), result_refused) << name;
    }
    EXPECT_TRUE(transport_->since(mark).empty());
    EXPECT_TRUE(transport_->packets.empty());
    transport_->replies["Dev.Power?"] = "1";
    int on = 0;
    EXPECT_EQ(dev->read_power(on), 0);
    EXPECT_EQ(on, 1);
}

TEST_F(MiraDeviceTest, CurrentFirmwareSendsEveryWrite) {
    auto dev = make();
    no_routes();
    for (const auto& [name, operation] : amp_test::every_write_operation()) {
        const std::size_t texts = transport_->sent.size();
        const std::size_t packets = transport_->packets.size();
        operation(*dev);
        EXPECT_GT(transport_->sent.size() + transport_->packets.size(), texts + packets) << name;
    }
}

TEST_F(MiraDeviceTest, ReadPowerResetsStreakAndZeroesOnFailure) {
    auto dev = make();
    dev->set_unreachable();
    transport_->replies["Dev.Power?"] = "1";
    int on = 0;
    clock_->advance(500);
    EXPECT_EQ(dev->read_power(on), 0);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(dev->timeout_streak(), 0);
    EXPECT_EQ(dev->last_contact(), clock_->now_ms());
    transport_->replies.erase("Dev.Power?");
    EXPECT_EQ(dev->read_power(on), 13);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(dev->timeout_streak(), 1);
}

TEST_F(MiraDeviceTest, BridgePairAndPrimaryFlag) {
    auto dev = make();
    transport_->replies["Dev.BridgeMode?1"] = "1";
    transport_->replies["Dev.BridgeMode?2"] = "0";
    int mode = -1;
    bool primary = false;
    const std::pair<unsigned, std::pair<int, bool>> cases[] = {
        {0, {1, true}}, {1, {1, false}}, {2, {0, true}}, {3, {0, false}}};
    for (const auto& [channel, expected] : cases) {
        const std::size_t mark = transport_->sent.size();
        EXPECT_EQ(dev->read_bridge_mode(channel, mode, primary), 0);
        EXPECT_EQ(transport_->since(mark), std::vector<std::string>{"Dev.BridgeMode?" + std::to_string(channel / 2 + 1)});
        EXPECT_EQ(mode, expected.first);
        EXPECT_EQ(primary, expected.second);
    }
}

TEST_F(MiraDeviceTest, ChannelLabelsUseOneBasedChannelAndStopAtFailure) {
    auto dev = make();
    transport_->replies["Mod.Mod.Label?#3"] = "Sub";
    transport_->replies["Mod.Out.Label?#3"] = "Left";
    std::string module, output;
    EXPECT_EQ(dev->read_channel_labels(2, module, output), 0);
    EXPECT_EQ(module, "Sub");
    EXPECT_EQ(output, "Left");
    const std::size_t mark = transport_->sent.size();
    EXPECT_EQ(dev->read_channel_labels(0, module, output), 13);
    EXPECT_EQ(transport_->since(mark), std::vector<std::string>{"Mod.Mod.Label?#1"});
}

// ---------------------------------------------------------------- parsing and cache

TEST_F(MiraDeviceTest, NonNumericReplyTokensFailTheOperationWithoutThrowing) {
    auto dev = make();
    transport_->replies["Dev.Pwr.Mute?1"] = "muted";
    transport_->replies["Dev.Power?"] = "1 x";
    transport_->replies["Dev.LoadPilot.CalibDone?"] = "ready";
    transport_->replies["Dev.LoadPilot.Threshold?1"] = "1 2 three 4";
    transport_->replies["Mod.Out.AmpVPL?#1"] = "1.5 2.5 nan? 4";
    int value = 7;
    EXPECT_EQ(dev->read_mute(0, value), 1);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(dev->read_power(value), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(dev->calibration_done(0x11, value), 1);
    pilot_readings readings;
    EXPECT_EQ(dev->read_pilot(0, readings), 1);
    param_value pv;
    EXPECT_EQ(dev->read_param(mira_parameter_rows().list0.at(0), pv), 1);  // power_status: "1 x"
    std::vector<int> ints;
    EXPECT_EQ(dev->query_integers("Dev.Power?", ints), 1);
    EXPECT_TRUE(ints.empty());
    std::vector<float> floats{9.0f};
    EXPECT_EQ(dev->query_floats("Mod.Out.AmpVPL?#1", floats), 1);
    EXPECT_EQ(floats, std::vector<float>{9.0f});
    EXPECT_NE(log_text().find("OK: muted"), std::string::npos);
}

TEST_F(MiraDeviceTest, QueryHelpersSplitAtTabsAndSpacesAndLogResults) {
    auto dev = make();
    transport_->replies["Dev.Frame.Temp?"] = " 41\t\t38  ";
    std::vector<int> ints;
    EXPECT_EQ(dev->query_integers("Dev.Frame.Temp?", ints), 0);
    EXPECT_EQ(ints, (std::vector<int>{41, 38}));
    std::vector<std::string> words;
    EXPECT_EQ(dev->query_strings("Dev.Frame.Temp?", words), 0);
    EXPECT_EQ(words, (std::vector<std::string>{"41", "38"}));
    transport_->failures["Dev.Fuse.Type?"] = 8;
    EXPECT_EQ(dev->query_integers("Dev.Fuse.Type?", ints), 8);
    const std::string log = log_text();
    EXPECT_NE(log.find("OK:  41\t\t38  "), std::string::npos);
    EXPECT_NE(log.find("ERR:8 "), std::string::npos);
}

TEST_F(MiraDeviceTest, CacheAnswersRepeatsAndNeverKeepsFailures) {
    auto dev = make();
    transport_->replies["Dev.FrameLabel?"] = "Rack 1";
    std::string name;
    dev->cache_on();
    const std::int64_t contact = dev->last_contact();
    clock_->advance(10);
    EXPECT_EQ(dev->read_frame_name(name), 0);
    clock_->advance(10);
    EXPECT_EQ(dev->read_frame_name(name), 0);
    EXPECT_EQ(name, "Rack 1");
    EXPECT_EQ(transport_->count("Dev.FrameLabel?"), 1);
    EXPECT_EQ(dev->last_contact(), contact + 10);  // a hit does not touch
    EXPECT_EQ(dev->query("Dev.Power?", name), 13);
    EXPECT_EQ(dev->query("Dev.Power?", name), 13);
    EXPECT_EQ(transport_->count("Dev.Power?"), 2);
    // Settings always go on the wire.
    EXPECT_EQ(dev->write_mute(0, 1), 0);
    EXPECT_EQ(dev->write_mute(0, 1), 0);
    EXPECT_EQ(transport_->count("Dev.Pwr.Mute=1 1"), 2);
    dev->cache_off();
    EXPECT_EQ(dev->read_frame_name(name), 0);
    EXPECT_EQ(transport_->count("Dev.FrameLabel?"), 2);
}

TEST_F(MiraDeviceTest, PilotReadingsInWireOrderAndPartialOnFailure) {
    auto dev = make();
    transport_->replies["Dev.LoadPilot.Threshold?2"] = "1 2 3 4";
    transport_->replies["Dev.LoadPilot.RefImp?2"] = "5 6";
    transport_->replies["Dev.LoadPilot.Readings?2"] = "7 8 99 100";
    transport_->replies["Dev.LoadPilot.Factor?2"] = "1.41 1.52";
    pilot_readings r;
    EXPECT_EQ(dev->read_pilot(1, r), 0);
    EXPECT_EQ(r.thresholds, (std::array<float, 4>{1, 2, 3, 4}));
    EXPECT_EQ(r.ref_impedances, (std::array<float, 2>{5, 6}));
    EXPECT_EQ(r.readings, (std::array<float, 2>{7, 8}));
    EXPECT_EQ(r.factors, (std::array<float, 2>{1.41f, 1.52f}));

    transport_->replies.erase("Dev.LoadPilot.Readings?2");
    pilot_readings partial;
    EXPECT_EQ(dev->read_pilot(1, partial), 13);
    EXPECT_EQ(partial.ref_impedances, (std::array<float, 2>{5, 6}));
    EXPECT_EQ(partial.readings, (std::array<float, 2>{0, 0}));
    EXPECT_EQ(transport_->count("Dev.LoadPilot.Factor?2"), 1);  // not asked after the failure
}

TEST_F(MiraDeviceTest, CalibrationDoneMasksTheReplyAndLogsIt) {
    auto dev = make();
    transport_->replies["Dev.LoadPilot.CalibDone?"] = "17";
    int done = -1;
    EXPECT_EQ(dev->calibration_done(0x11, done), 0);
    EXPECT_EQ(done, 0x11);
    EXPECT_EQ(dev->calibration_done(0x22, done), 0);
    EXPECT_EQ(done, 0);
    EXPECT_NE(log_text().find("Calibration status: 17"), std::string::npos);
}

// ---------------------------------------------------------------- routing and names

TEST_F(MiraDeviceTest, RoutingNamesSharedModulesAndUnrouted) {
    auto dev = make();
    no_routes();
    transport_->replies["Dev.Route?A 1"] = "X - - -";
    transport_->replies["Dev.Route?A 2"] = "- X - -";
    transport_->replies["Dev.Route?B 3"] = "- - X -";
    transport_->replies["Mod.Mod.Label?A"] = "Sub";
    transport_->replies["Mod.Mod.Label?B"] = "Main";
    transport_->replies["Mod.Out.Label?A 1"] = "Left";
    transport_->replies["Mod.Out.Label?A 2"] = "Left";
    transport_->replies["Mod.Out.Label?B 3"] = "Right";
    std::vector<std::string> names;
    ASSERT_EQ(dev->read_routing(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"Sub.Left1", "Sub.Left2", "Main.Right", "Unrouted"}));
    EXPECT_EQ(transport_->count("Mod.Out.Label?A 1"), 1);
    EXPECT_FALSE(transport_->sent_prefix("Mod.Out.Label?D"));
}

TEST_F(MiraDeviceTest, BridgedSecondaryChannelIsNotTakenFromTheMatrix) {
    auto dev = make();
    no_routes();
    transport_->replies["Dev.BridgeMode?1"] = "1";
    transport_->replies["Dev.Route?A 1"] = "X X - -";
    transport_->replies["Dev.Route?C 1"] = "- - X X";
    transport_->replies["Mod.Out.Label?A 1"] = "Out";
    transport_->replies["Mod.Out.Label?C 1"] = "Out";
    std::vector<std::string> names;
    ASSERT_EQ(dev->read_routing(names), 0);
    // Pair 1 bridged: channel 2 unrouted, channel 1 alone in module A. Pair 2 not bridged:
    // channels 3 and 4 share module C and output 1.
    EXPECT_EQ(names, (std::vector<std::string>{"ModA.Out", "Unrouted", "ModC.Out1", "ModC.Out2"}));
}

TEST_F(MiraDeviceTest, RoutingStopsAtFirstFailedQuery) {
    auto dev = make();
    no_routes();
    transport_->failures["Dev.Route?B 2"] = 13;
    std::vector<std::string> names{"old"};
    EXPECT_EQ(dev->read_routing(names), 13);
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(transport_->sent_prefix("Dev.Route?B 3"));
    EXPECT_FALSE(transport_->sent_prefix("Mod.Mod.Label?"));
}

TEST_F(MiraDeviceTest, RouteMatrixIsTheTwentyFourRouteRepliesInOrder) {
    auto dev = make();
    no_routes();
    transport_->replies["Dev.Route?A 1"] = "X - - -";
    transport_->replies["Dev.Route?D 6"] = "- - - X";
    const std::size_t mark = transport_->sent.size();
    std::vector<std::string> replies;
    ASSERT_EQ(dev->read_route_matrix(replies), 0);
    ASSERT_EQ(replies.size(), 24u);
    EXPECT_EQ(replies.front(), "X - - -");
    EXPECT_EQ(replies.back(), "- - - X");
    const auto sent = transport_->since(mark);
    ASSERT_EQ(sent.size(), 24u);
    EXPECT_EQ(sent[1], "Dev.Route?A 2");
    EXPECT_EQ(sent[6], "Dev.Route?B 1");

    transport_->failures["Dev.Route?C 1"] = 13;
    EXPECT_EQ(dev->read_route_matrix(replies), 13);
}

TEST_F(MiraDeviceTest, SelectKeyIsTheSelectedBitOfTheStatusWord) {
    auto dev = make();
    transport_->raw_reply = {0x00, 0x40, 0, 0};  // bit 14
    bool pressed = false;
    EXPECT_EQ(dev->read_select_key(pressed), 0);
    EXPECT_TRUE(pressed);
    transport_->raw_reply = {0x00, 0x20, 0, 0};  // bit 13 only
    EXPECT_EQ(dev->read_select_key(pressed), 0);
    EXPECT_FALSE(pressed);
    transport_->raw_result = 13;
    EXPECT_EQ(dev->read_select_key(pressed), result_refused);
}

TEST_F(MiraDeviceTest, ChannelNamesNeedAnInnerDot) {
    auto dev = make();
    no_routes();
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"Sub.Left", "NoDot", "A.b", "A.c"}, {"Sub.Left", "Trailing.", "A.b", "A.c"}, {"A.b", "A.c"}}) {
        EXPECT_EQ(dev->write_channel_names(bad), 1);
    }
    EXPECT_FALSE(transport_->sent_prefix("Mod.Mod.Label="));
    EXPECT_FALSE(transport_->sent_prefix("Mod.Out.Label="));
    EXPECT_NE(log_text().find("ORVA channel names not compatible with Mira. Must have at least one dot in name, "
                              "and must not end with a dot"),
              std::string::npos);
}

TEST_F(MiraDeviceTest, ChannelNamesWrittenBackWithoutModuleNumbering) {
    auto dev = make();
    no_routes();
    transport_->replies["Dev.Route?A 1"] = "X - - -";
    transport_->replies["Dev.Route?A 2"] = "- X - -";
    transport_->replies["Dev.Route?B 1"] = "- - X -";
    const std::size_t mark = transport_->sent.size();
    ASSERT_EQ(dev->write_channel_names({"Sub.Left1", "Sub.Left2", "Main.Right12", "Spare.x.y"}), 0);
    auto sent = transport_->since(mark);
    sent.erase(sent.begin(), sent.begin() + 26);  // 24 routes and 2 bridge modes
    const std::vector<std::string> expected{
        "Mod.Mod.Label=#1 Sub",  "Mod.Out.Label=#1 Left",    "Mod.Mod.Label=#2 Sub",
        "Mod.Out.Label=#2 Left", "Mod.Mod.Label=#3 Main",    "Mod.Out.Label=#3 Right12",
        "Mod.Mod.Label=#4 Spare.x", "Mod.Out.Label=#4 y",
    };
    EXPECT_EQ(sent, expected);
}

TEST_F(MiraDeviceTest, VeryLongChannelNamesAreWrittenWithoutExhaustingTheStack) {
    // A label of the project can be any length; undoing the module numbering once went
    // through a regular expression whose matcher recursed per character.
    auto dev = make();
    no_routes();
    transport_->replies["Dev.Route?A 1"] = "X - - -";
    transport_->replies["Dev.Route?A 2"] = "- X - -";
    const std::string long_label(200000, 'L');
    std::size_t mark = transport_->sent.size();
    ASSERT_EQ(dev->write_channel_names({"Sub." + long_label + "1", "Sub." + long_label + "2", "a.b", "c.d"}), 0);
    auto sent = transport_->since(mark);
    ASSERT_EQ(sent.size(), 26u + 8u);
    EXPECT_EQ(sent[26], "Mod.Mod.Label=#1 Sub");
    EXPECT_EQ(sent[27].rfind("Mod.Out.Label=#1 LLLL", 0), 0u);
    // A label with a line break keeps its digit, as the pattern had it.
    mark = transport_->sent.size();
    ASSERT_EQ(dev->write_channel_names({"Sub.Left\n1", "Sub.Left2", "a.b", "c.d"}), 0);
    sent = transport_->since(mark);
    EXPECT_EQ(sent[27], "Mod.Out.Label=#1 Left\n1");
    EXPECT_EQ(sent[29], "Mod.Out.Label=#2 Left");
}

TEST_F(MiraDeviceTest, ChannelNamesIncompatibleWithRouting) {
    auto dev = make();
    no_routes();
    transport_->replies["Dev.Route?A 1"] = "X - - -";
    transport_->replies["Dev.Route?A 2"] = "- X - -";
    // Two module labels for one module.
    EXPECT_EQ(dev->write_channel_names({"Sub.Left1", "Other.Left2", "a.b", "c.d"}), 1);
    // One module output driving two channels under two output labels.
    transport_->replies["Dev.Route?A 1"] = "X X - -";
    transport_->replies["Dev.Route?A 2"] = "- - - -";
    EXPECT_EQ(dev->write_channel_names({"Sub.Left1", "Sub.Right2", "a.b", "c.d"}), 1);
    EXPECT_FALSE(transport_->sent_prefix("Mod.Mod.Label="));
    EXPECT_NE(log_text().find("Mira routing not compatible with ORVA!"), std::string::npos);
    // The same output under one label (numbered on reading) is fine.
    EXPECT_EQ(dev->write_channel_names({"Sub.Left1", "Sub.Left2", "a.b", "c.d"}), 0);
}

// ---------------------------------------------------------------- mapped parameters

const param_entry& row(const std::string& key, int channel) {
    for (const auto& e : mira_parameter_rows().list0) {
        if (e.key == key && e.channel == channel) return e;
    }
    throw std::runtime_error("no row " + key);
}

TEST_F(MiraDeviceTest, MappedReadsTakeTheirFieldOfTheReply) {
    auto dev = make();
    transport_->replies["Mod.Out.AmpVPL?#1"] = "141.4 0 0 120.5";
    transport_->replies["Dev.Frame.Temp?"] = "41 38";
    transport_->replies["Dev.KVX.Capability?"] = "2 100 141.4 30";
    param_value value;
    ASSERT_EQ(dev->read_param(row("threshold", 0), value), 0);
    EXPECT_FLOAT_EQ(std::get<float>(value), 141.4f);
    ASSERT_EQ(dev->read_param(row("actual_vpl_threshold", 0), value), 0);
    EXPECT_FLOAT_EQ(std::get<float>(value), 120.5f);
    ASSERT_EQ(dev->read_param(row("temperature_slot", -1), value), 0);
    EXPECT_EQ(std::get<std::int32_t>(value), 38);
    ASSERT_EQ(dev->read_param(row("flexi_amp_max_out_voltage", 2), value), 0);
    EXPECT_FLOAT_EQ(std::get<float>(value), 100.0f);
    EXPECT_EQ(transport_->count("Mod.Out.AmpVPL?#1"), 2);
    // A reply with too few fields fails the read.
    transport_->replies["Dev.Frame.Temp?"] = "41";
    EXPECT_EQ(dev->read_param(row("temperature_slot", -1), value), 1);
}

TEST_F(MiraDeviceTest, MappedSingleValueWrites) {
    auto dev = make();
    const std::size_t mark = transport_->sent.size();
    EXPECT_EQ(dev->write_param(row("mute", 2), "1"), 0);
    EXPECT_EQ(dev->write_param(row("flexi_z_nominal_load", 0), "8"), 0);
    EXPECT_EQ(dev->write_param(row("profile", 0), "9"), 0);
    EXPECT_EQ(dev->write_param(row("fuse_type", -1), "2"), 0);
    const std::vector<std::string> expected{
        "Dev.Pwr.Mute=3 1", "Dev.KVX.ZNominalLoad=1 8.00", "Mod.Out.VPLProfile=#1 2", "Dev.Fuse.Type= 2"};
    EXPECT_EQ(transport_->since(mark), expected);
}

TEST_F(MiraDeviceTest, MappedWriteWithBadTextFailsOnlyThatWrite) {
    auto dev = make();
    const std::size_t mark = transport_->sent.size();
    EXPECT_EQ(dev->write_param(row("profile", 1), "7"), 1);  // no such lookup key
    EXPECT_EQ(dev->write_param(row("mute", 1), "on"), 1);
    EXPECT_EQ(dev->write_param(row("flexi_crest_factor", 1), "loud"), 1);
    EXPECT_EQ(dev->write_param(row("t1_frequency", 1), "20 30"), 1);
    EXPECT_TRUE(transport_->since(mark).empty());
}

TEST_F(MiraDeviceTest, MappedFieldWriteReplacesOneFieldOfTheCurrentValue) {
    auto dev = make();
    transport_->replies["Dev.LoadPilot.Signal?2"] = "20 22000 0.2\t0.2";
    transport_->replies["Dev.Fuse.NominalCurrent?"] = "10 16";
    const std::size_t mark = transport_->sent.size();
    EXPECT_EQ(dev->write_param(row("t2_frequency", 1), "25000.000000"), 0);
    EXPECT_EQ(dev->write_param(row("fuse_current_limit", -1), "12.5"), 0);
    const std::vector<std::string> expected{
        "Dev.LoadPilot.Signal?2", "Dev.LoadPilot.Signal=2 20 25000.000000 0.2 0.2",
        "Dev.Fuse.NominalCurrent?", "Dev.Fuse.NominalCurrent= 12.5 16"};
    EXPECT_EQ(transport_->since(mark), expected);
    // Too few fields in the current value: nothing is written.
    transport_->replies["Dev.LoadPilot.Signal?2"] = "20";
    EXPECT_EQ(dev->write_param(row("t2_amplitude", 1), "0.1"), 1);
    EXPECT_EQ(transport_->count("Dev.LoadPilot.Signal=2 20 25000.000000 0.2 0.2"), 1);
}

// ---------------------------------------------------------------- binary operations

TEST_F(MiraDeviceTest, ReadParamsDeliversValuesOnCodesZeroAndSix) {
    auto dev = make();
    int code = 6;
    transport_->on_packet = [&](std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) {
        EXPECT_EQ(words.size(), 3u);
        EXPECT_EQ(words[0] & 0xFF, 16u);
        reply = mira_test::read_response(5, 300, code, {11, 22});
        return 0;
    };
    std::vector<std::uint32_t> values;
    EXPECT_EQ(dev->read_params(param_range{5, 300, 301}, values), 6);
    EXPECT_EQ(values, (std::vector<std::uint32_t>{11, 22}));
    code = 0;
    EXPECT_EQ(dev->read_params(param_range{5, 300, 301}, values), 0);
    code = 3;
    values.clear();
    EXPECT_EQ(dev->read_params(param_range{5, 300, 301}, values), 3);
    EXPECT_TRUE(values.empty());
    // A reply that is no read response, and a range that does not fit one packet.
    transport_->on_packet = [](std::span<const std::uint32_t>, std::vector<std::uint32_t>& reply) {
        reply = mira_test::write_response(5, 300, 0);
        return 0;
    };
    EXPECT_EQ(dev->read_params(param_range{5, 300, 301}, values), 1);
    EXPECT_EQ(dev->read_params(param_range{5, 0, 200}, values), 1);
    EXPECT_EQ(dev->read_params(param_range{5, 10, 9}, values), 1);
}

TEST_F(MiraDeviceTest, BinaryTimeOutsAreCountedOnReadsOnly) {
    auto dev = make();
    std::vector<std::uint32_t> values;
    EXPECT_EQ(dev->read_params(param_range{1, 0, 0}, values), 13);
    EXPECT_EQ(dev->timeout_streak(), 1);
    EXPECT_EQ(dev->write_params(param_range{1, 0, 0}, {1}), 1);
    EXPECT_EQ(dev->timeout_streak(), 1);
    EXPECT_EQ(dev->read_monitor(values), 13);
    EXPECT_EQ(dev->timeout_streak(), 2);
    EXPECT_NE(log_text().find("timed out streak: 2"), std::string::npos);
}

TEST_F(MiraDeviceTest, WriteParamsSendsValuesAndTakesCodeSixAsSuccess) {
    auto dev = make();
    int code = 6;
    transport_->on_packet = [&](std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) {
        EXPECT_EQ(words.size(), 5u);
        EXPECT_EQ(words[0] & 0xFF, 18u);
        reply = mira_test::write_response(6, 1, code);
        return 0;
    };
    EXPECT_EQ(dev->write_params(param_range{6, 1, 0}, {1, 0}), 0);
    code = -3;
    EXPECT_EQ(dev->write_params(param_range{6, 1, 0}, {1, 0}), -3);
    EXPECT_NE(log_text().find("put_params..."), std::string::npos);
}

TEST_F(MiraDeviceTest, MonitorAppendsTheDirtyBitOfTheStatusWord) {
    auto dev = make();
    transport_->on_packet = [](std::span<const std::uint32_t> words, std::vector<std::uint32_t>& reply) {
        EXPECT_EQ(words.size(), 1u);
        reply = mira_test::monitor_response();
        return 0;
    };
    dev->set_unreachable();
    transport_->raw_reply = {0x00, 0x20, 0, 0};  // bit 13
    std::vector<std::uint32_t> words;
    ASSERT_EQ(dev->read_monitor(words), 0);
    EXPECT_EQ(dev->timeout_streak(), 0);
    ASSERT_EQ(words.size(), 27u);
    EXPECT_EQ(words.back(), 1u);
    EXPECT_EQ(transport_->sent.back(), "Dev.MD.FullBin?3");

    transport_->raw_reply = {0x00, 0x40, 0, 0};  // bit 14 only
    ASSERT_EQ(dev->read_monitor(words), 0);
    EXPECT_EQ(words.back(), 0u);
    bool selected = false;
    EXPECT_TRUE(dev->is_selected(selected));
    EXPECT_TRUE(selected);

    transport_->raw_result = 8;
    EXPECT_EQ(dev->read_monitor(words), 8);
    EXPECT_FALSE(dev->is_selected(selected));

    // A reply that is no monitor block is not a monitoring result.
    transport_->raw_result = 0;
    transport_->on_packet = [](std::span<const std::uint32_t>, std::vector<std::uint32_t>& reply) {
        reply = mira_test::write_response(0, 0, 0);
        return 0;
    };
    EXPECT_EQ(dev->read_monitor(words), 1);
    EXPECT_TRUE(words.empty());
}

TEST_F(MiraDeviceTest, RawQueryUsesAGivenInterfaceAndBypassesTheCache) {
    auto dev = make();
    dev->cache_on();
    transport_->raw_reply = {1, 2, 3};
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(dev->raw_query("Dev.MD.FullBin?3", payload), 0);
    EXPECT_EQ(dev->raw_query("Dev.MD.FullBin?3", payload, "10.99.0.2"), 0);
    EXPECT_EQ(payload, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(transport_->count("Dev.MD.FullBin?3"), 2);
    EXPECT_EQ(transport_->interfaces[transport_->interfaces.size() - 2], "10.99.0.1");
    EXPECT_EQ(transport_->interfaces.back(), "10.99.0.2");
    EXPECT_NE(log_text().find("vkt_param_bin: Dev.MD.FullBin?3"), std::string::npos);
}

// ---------------------------------------------------------------- prefetched monitoring reads

// Carries a batch as the UDP link does: every item answered at once, its log lines handed
// back for the device to write when it uses the reply.
class batching_transport : public fake_transport {
public:
    std::vector<std::vector<std::string>> batches;

    void exchange_all(const std::string& interface_address, const device_address& target,
                      std::span<mira::batch_exchange> items) override {
        std::vector<std::string>& batch = batches.emplace_back();
        for (auto& item : items) {
            batch.push_back(item.command);
            std::string reply;
            const std::size_t before = sent.size();
            item.result = text(interface_address, target, item.command, reply);
            sent.resize(before);  // the batch is recorded in `batches`, not as single exchanges
            item.payload.assign(reply.begin(), reply.end());
            item.lines = {"transceive_vkt_raw: " + item.command};
        }
    }
};

class MiraPrefetchTest : public MiraDeviceTest {
protected:
    void SetUp() override {
        MiraDeviceTest::SetUp();
        batching_ = std::make_shared<batching_transport>();
        batching_->replies = transport_->replies;
        batching_->replies["Dev.Power?"] = "1";
        batching_->replies["Dev.Frame.Temp?"] = "41 38";
        batching_->replies["Dev.Fuse.NominalCurrent?"] = "16.0 12.5";
        for (int c = 1; c <= 4; ++c) {
            const std::string n = std::to_string(c);
            batching_->replies["Dev.Pwr.Attenuation?" + n] = "-" + n + ".5";
            batching_->replies["Mod.Out.AmpGain?#" + n] = "32 0 0";
            batching_->replies["Mod.Out.AmpVPL?#" + n] = "100 0 0 9" + n;
            batching_->replies["Mod.Out.VPLProfile?#" + n] = "2";
            batching_->replies["Dev.Pwr.Temp?" + n] = "5" + n;
            batching_->replies["Dev.LoadPilot.Readings?" + n] = "8.1 7.9 0 0";
        }
    }
    std::unique_ptr<mira_device> make_batching() {
        return std::make_unique<mira_device>(address, batching_, [] { return std::string("10.99.0.1"); }, clock_);
    }
    // The values of list 1 as the monitor reads them.
    static std::vector<std::string> read_list1(mira_device& dev) {
        std::vector<param_entry> entries;
        EXPECT_EQ(dev.parameter_list(1, entries), 0);
        std::vector<std::string> values;
        for (const auto& entry : entries) {
            param_value value;
            const int result = dev.read_param(entry, value);
            if (result != 0) {
                values.push_back("error " + std::to_string(result));
            } else if (const float* f = std::get_if<float>(&value)) {
                values.push_back(std::to_string(*f));
            } else {
                values.push_back(std::to_string(std::get<std::int32_t>(value)));
            }
        }
        return values;
    }

    std::shared_ptr<batching_transport> batching_;
};

TEST_F(MiraPrefetchTest, OneRoundTripServesThePassWithTheSameValuesAndLogLines) {
    // The same pass exchanged one by one, for comparison.
    auto single = make_batching();
    single->cache_on();
    int on = 0;
    ASSERT_EQ(single->read_power(on), 0);
    const float version = single->firmware_version();
    const auto expected = read_list1(*single);
    single->cache_off();
    EXPECT_TRUE(batching_->batches.empty());

    auto dev = make_batching();
    std::remove(log_path_.c_str());
    const std::size_t mark = batching_->sent.size();
    dev->cache_on();
    dev->prefetch_monitoring();
    ASSERT_EQ(batching_->batches.size(), 1u);
    const auto& batch = batching_->batches[0];
    // Power, firmware and each distinct query of list 1 once: 26 for a four-channel frame.
    EXPECT_EQ(batch.size(), 28u);
    EXPECT_EQ(batch[0], "Dev.Power?");
    EXPECT_EQ(batch[1], "Amp.Version.SWFID?");
    EXPECT_EQ(std::count(batch.begin(), batch.end(), "Mod.Out.AmpVPL?#2"), 1);

    on = 0;
    ASSERT_EQ(dev->read_power(on), 0);
    EXPECT_EQ(on, 1);
    EXPECT_FLOAT_EQ(dev->firmware_version(), version);
    EXPECT_EQ(read_list1(*dev), expected);
    EXPECT_EQ(batching_->sent.size(), mark) << "nothing exchanged after the batch";
    dev->cache_off();

    // Each exchange's line comes just before the line about its reply, in reading order.
    const std::string log = log_text();
    const auto power = log.find("transceive_vkt_raw: Dev.Power?\n");
    const auto power_ok = log.find("OK: 1\n");
    const auto gain = log.find("transceive_vkt_raw: Mod.Out.AmpGain?#1\n");
    const auto gain_ok = log.find("OK: 32 0 0\n");
    ASSERT_NE(power, std::string::npos);
    ASSERT_NE(gain, std::string::npos);
    EXPECT_LT(power, power_ok);
    EXPECT_LT(power_ok, gain);
    EXPECT_LT(gain, gain_ok);
    EXPECT_EQ(log.find("transceive_vkt_raw: Mod.Out.AmpGain?#1\n", gain + 1), std::string::npos);
}

TEST_F(MiraPrefetchTest, FailuresCountWhenReadAndOnlyWhileTheCacheIsOn) {
    batching_->failures["Dev.Pwr.Temp?2"] = 13;
    auto dev = make_batching();
    ASSERT_EQ(dev->timeout_streak(), 0);

    // Without the cache nothing is fetched ahead.
    dev->prefetch_monitoring();
    EXPECT_TRUE(batching_->batches.empty());

    dev->cache_on();
    dev->prefetch_monitoring();
    ASSERT_EQ(batching_->batches.size(), 1u);
    EXPECT_EQ(dev->timeout_streak(), 0) << "counted when read, not when fetched";
    const std::size_t mark = batching_->sent.size();
    std::string reply;
    EXPECT_EQ(dev->query("Dev.Pwr.Temp?2", reply), 13);
    EXPECT_EQ(dev->timeout_streak(), 1);
    EXPECT_EQ(batching_->sent.size(), mark);
    // A failed reply is not cached: asked again, the command goes out again.
    EXPECT_EQ(dev->query("Dev.Pwr.Temp?2", reply), 13);
    EXPECT_EQ(batching_->sent.size(), mark + 1);
    EXPECT_EQ(dev->timeout_streak(), 2);

    // Outcomes not taken are gone with the pass.
    dev->cache_off();
    dev->cache_on();
    EXPECT_EQ(dev->query("Dev.Pwr.Temp?3", reply), 0);
    EXPECT_EQ(batching_->sent.size(), mark + 2);
    dev->cache_off();
}

}  // namespace
