// The parameter tables: list order with its interleaved groups, list 1 membership,
// read-only flags and the converters' constants.
#include "backend/amp/converters.h"
#include "backend/amp/mira_parameters.h"
#include "backend/amp/tesira_parameters.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace nox::amp;

const mira_parameter* mira(const param_entry& e) { return e.address_as<mira_parameter>(); }
const tesira_parameter* tesira(const param_entry& e) { return e.address_as<tesira_parameter>(); }

std::string label(const param_entry& e) { return e.key + "@" + std::to_string(e.channel); }

std::vector<std::string> labels(const std::vector<param_entry>& list, std::size_t from, std::size_t count) {
    std::vector<std::string> out;
    for (std::size_t i = from; i < from + count && i < list.size(); ++i) out.push_back(label(list[i]));
    return out;
}

std::size_t index_of(const std::vector<param_entry>& list, const std::string& key, int channel) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].key == key && list[i].channel == channel) return i;
    }
    return list.size();
}

const param_entry& find(const std::vector<param_entry>& list, const std::string& key, int channel) {
    const std::size_t i = index_of(list, key, channel);
    if (i == list.size()) throw std::runtime_error("no row " + key);
    return list[i];
}

TEST(MiraTable, ListZeroStartsInTableOrderWithChannelRowsTogether) {
    const auto& list = mira_parameter_rows().list0;
    EXPECT_EQ(list.size(), 143u);  // 11 frame rows, 33 channel keys x 4
    const std::vector<std::string> head{
        "power_status@-1", "mute@0", "mute@1", "mute@2", "mute@3", "attenuation@0", "attenuation@1",
        "attenuation@2", "attenuation@3", "fuse_current_limit@-1", "fuse_actual_limit@-1", "fuse_type@-1", "gain@0"};
    EXPECT_EQ(labels(list, 0, head.size()), head);
    EXPECT_EQ(label(list.back()), "serial_number@-1");
    // Cable resistance is not interleaved; the signal keys that follow are.
    const std::size_t cable = index_of(list, "t1_cable_resistance", 0);
    const std::vector<std::string> pilot{
        "t1_cable_resistance@0", "t1_cable_resistance@1", "t1_cable_resistance@2", "t1_cable_resistance@3",
        "t2_cable_resistance@0", "t2_cable_resistance@1", "t2_cable_resistance@2", "t2_cable_resistance@3",
        "t1_frequency@0",        "t2_frequency@0",        "t1_amplitude@0",        "t2_amplitude@0",
        "t1_frequency@1"};
    EXPECT_EQ(labels(list, cable, pilot.size()), pilot);
    const std::size_t enable = index_of(list, "enabled_tones", 0);
    const std::vector<std::string> enables{"enabled_tones@0", "enabled_analyser@0", "enabled_tones@1",
                                           "enabled_analyser@1", "enabled_tones@2"};
    EXPECT_EQ(labels(list, enable, enables.size()), enables);
    EXPECT_EQ(label(list[index_of(list, "t1_lower_threshold", 3) + 4]), "t1_factor@0");
}

TEST(MiraTable, CapabilityFrameRowsComeBeforeItsInterleavedChannelRows) {
    const auto& list = mira_parameter_rows().list0;
    const std::size_t start = index_of(list, "amp_max_out_voltage", -1);
    const std::vector<std::string> expected{
        "flexi_enabled@-1",
        "amp_max_out_voltage@-1", "amp_max_out_current@-1",
        "amp_max_out_voltage@0", "amp_max_out_current@0", "flexi_max_no_protected_channels@0",
        "flexi_amp_max_out_voltage@0", "amp_max_out_voltage@1"};
    EXPECT_EQ(labels(list, start - 1, expected.size()), expected);
    const auto& frame_row = list[start];
    EXPECT_EQ(frame_row.per_channel, 0);
    EXPECT_EQ(mira(frame_row)->argument, "");
    const auto& channel_row = list[start + 2];
    EXPECT_EQ(channel_row.per_channel, 1);
    EXPECT_EQ(mira(channel_row)->argument, "");  // the same reply for every channel
    EXPECT_EQ(mira(channel_row)->field_position, 2);
    EXPECT_EQ(label(list[index_of(list, "flexi_amp_max_out_voltage", 3) + 1]), "flexi_protected@0");
}

TEST(MiraTable, ListOneHoldsTheMonitoredKeysInListZeroOrder) {
    const auto& lists = mira_parameter_rows();
    const std::set<std::string> monitored{"attenuation", "fuse_actual_limit", "gain", "threshold",
                                          "actual_vpl_threshold", "profile", "temperature_psm",
                                          "temperature_slot", "temperature", "t1_read_impedance",
                                          "t2_read_impedance"};
    EXPECT_EQ(lists.list1.size(), 35u);
    std::set<std::string> keys;
    std::size_t last = 0;
    for (const auto& e : lists.list1) {
        keys.insert(e.key);
        const std::size_t at = index_of(lists.list0, e.key, e.channel);
        EXPECT_GE(at, last) << label(e);
        last = at;
    }
    EXPECT_EQ(keys, monitored);
    EXPECT_EQ(labels(lists.list1, 31, 4), (std::vector<std::string>{"t1_read_impedance@2", "t2_read_impedance@2",
                                                                   "t1_read_impedance@3", "t2_read_impedance@3"}));
}

TEST(MiraTable, RowsCarryTheirCommandShapeAndReadOnlyFlag) {
    const auto& list = mira_parameter_rows().list0;
    const auto& threshold = find(list, "threshold", 0);
    const auto& actual = find(list, "actual_vpl_threshold", 0);
    EXPECT_EQ(mira(threshold)->stem, "Mod.Out.AmpVPL");
    EXPECT_EQ(mira(threshold)->argument, "#%d");
    EXPECT_EQ(mira(threshold)->field_position, 0);
    EXPECT_EQ(mira(actual)->field_position, 3);
    EXPECT_EQ(mira(actual)->field_count, 4);
    EXPECT_EQ(mira(threshold)->value_type, value_type_float);
    EXPECT_TRUE(find(list, "profile", 2).read_only);
    EXPECT_TRUE(find(list, "power_status", -1).read_only);
    EXPECT_FALSE(find(list, "mute", 1).read_only);
    EXPECT_FALSE(find(list, "fuse_current_limit", -1).read_only);
    EXPECT_TRUE(find(list, "fuse_actual_limit", -1).read_only);
    EXPECT_FALSE(find(list, "enabled_analyser", 3).read_only);
    EXPECT_EQ(mira(find(list, "enabled_analyser", 3))->stem, "Dev.LoadPilot.Enable");
    int writable = 0;
    for (const auto& e : list) writable += e.read_only ? 0 : 1;
    // mute 4, fuse 2, cable 8, signal 16, threshold 16, factor 8, ref 8, enable 8, kvx 2 + 16
    EXPECT_EQ(writable, 88);
}

TEST(MiraTable, ProfileLookupBothWaysAndMissingKeyThrows) {
    const auto& profile = find(mira_parameter_rows().list0, "profile", 0);
    EXPECT_EQ(nox::to_device_word(profile.converter, "9"), 2u);
    EXPECT_EQ(nox::to_device_word(profile.converter, "2"), 0u);
    EXPECT_EQ(nox::to_project_text(profile.converter, 5), "12");
    EXPECT_EQ(nox::to_project_text(profile.converter, 1), "6");
    EXPECT_THROW(nox::to_device_word(profile.converter, "7"), std::exception);
    EXPECT_THROW(nox::to_project_text(profile.converter, 6), std::exception);
}

TEST(MiraTable, RowsAreBuiltOnceAndCopiedIntoEachDevice) {
    EXPECT_EQ(&mira_parameter_rows(), &mira_parameter_rows());
    const auto again = expand_mira_table(mira_table());
    ASSERT_EQ(again.list0.size(), mira_parameter_rows().list0.size());
    for (std::size_t i = 0; i < again.list0.size(); ++i) EXPECT_EQ(label(again.list0[i]), label(mira_parameter_rows().list0[i]));
}

TEST(TesiraTable, AttenuationOfChannelTwoIsBlockTwoIndexElevenWord200) {
    const auto& row = find(tesira_parameter_rows().list0, "attenuation", 2);
    ASSERT_NE(tesira(row), nullptr);
    EXPECT_EQ(tesira(row)->kind, 1);
    EXPECT_EQ(tesira(row)->block, 2);
    EXPECT_EQ(tesira(row)->index, 11);
    EXPECT_EQ(nox::to_device_word(row.converter, "-50"), 200u);
    EXPECT_EQ(nox::to_device_word(row.converter, "0"), 0u);
    EXPECT_EQ(nox::to_device_word(row.converter, "-100"), 400u);
    EXPECT_EQ(nox::to_project_text(row.converter, 200), "-50.000000");
}

TEST(TesiraTable, IndicesScalesAndLists) {
    const auto& lists = tesira_parameter_rows();
    EXPECT_EQ(tesira(find(lists.list0, "t2_cable_resistance", 3))->index, 21 * 3 + 20);
    EXPECT_EQ(tesira(find(lists.list0, "flexi_protected", 1))->index, 32);
    EXPECT_EQ(tesira(find(lists.list0, "flexi_desired_vpl", 3))->index, 67);
    EXPECT_EQ(tesira(find(lists.list0, "flexi_max_no_protected_channels", 3))->index, 1);
    EXPECT_EQ(tesira(find(lists.list0, "temperature", 2))->index, 5);
    EXPECT_EQ(tesira(find(lists.list0, "serial_number", -1))->index, 14);
    // Scaled values: VPL floor, fuse, frequency.
    EXPECT_EQ(nox::to_device_word(find(lists.list0, "threshold", 0).converter, "17.8"), 0u);
    EXPECT_EQ(nox::to_device_word(find(lists.list0, "fuse_current_limit", -1).converter, "32"), 320u);
    EXPECT_EQ(nox::to_device_word(find(lists.list0, "t1_frequency", 0).converter, "20000"), 20000000u);
    EXPECT_EQ(nox::to_device_word(find(lists.list0, "flexi_z_nominal_load", 0).converter, "1"), 0x3F800000u);
    std::set<std::string> monitored;
    for (const auto& e : lists.list1) monitored.insert(e.key);
    EXPECT_EQ(monitored, (std::set<std::string>{"temperature_psm", "temperature_slot", "temperature",
                                                "actual_vpl_threshold", "fuse_actual_limit", "t1_read_impedance",
                                                "t2_read_impedance"}));
    EXPECT_TRUE(find(lists.list0, "mute", 0).read_only);
    EXPECT_FALSE(find(lists.list0, "profile", 0).read_only);
}

}  // namespace
