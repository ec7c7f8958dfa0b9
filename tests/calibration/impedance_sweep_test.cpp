// The impedance sweep and the load-monitoring switch on a scripted amplifier, and the
// pure conversions of the analyser's data.
#include "tests/calibration/calibration_fixture.h"

#include <boost/algorithm/string/split.hpp>

namespace calibration_test {
namespace {

using strings = std::vector<std::string>;
using nox::analyser::float_bits;

std::string bits(float value) { return std::to_string(float_bits(value)); }

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    boost::split(words, text, [](char c) { return c == ' '; });
    return words;
}

class ImpedanceSweep : public calibration_fixture {
protected:
    ImpedanceSweep() {
        // Channel index 2 starts without a cable resistance.
        for (int k : {0, 1, 3}) set_channel(k, {{"t1_cable_resistance", "0.75"}});
    }
    int sweep(int index) { return run_procedure(&nox::load_monitor::impedance_sweep, index); }
};

TEST_F(ImpedanceSweep, ChannelThreeIsPreparedSweptAndReadInChunks) {
    EXPECT_EQ(sweep(3), 0);
    EXPECT_EQ(dev_->ops(), (strings{
                               "write_params 6:1 [0 0 0 1]",
                               "write_params 4:1494 [" + bits(1.0f) + "]",
                               "write_params 4:1128 [" + bits(0.75f) + "]",
                               "write_params 6:0 [3]",
                               "read_params 6:5-5",
                               "read_params 4:2428-2477",
                               "read_params 4:2478-2527",
                               "read_params 4:2528-2577",
                               "read_params 4:2578-2627",
                               "read_params 4:2628-2677",
                               "read_params 4:2678-2723",
                               "write_params 6:0 [2]",
                               "read_params 6:5-5",
                               "read_params 4:1536-1539",
                           }));
    EXPECT_EQ(sleeps(), (std::vector<int>{500, 500}));
    EXPECT_NE(log_text().find("Initializing impedance sweep w/ cable resistance: 0.750000"), std::string::npos);
    EXPECT_NE(log_text().find("Payload size: 296\n7 "), std::string::npos);
    EXPECT_NE(log_text().find("Payload size: 4\n3.5 4.5 5.5 6.5 \n***\n"), std::string::npos);
}

TEST_F(ImpedanceSweep, StoresOneRecordWithRealsImaginaryPartsAndMagnitudes) {
    dev_->point = [](int, int i) { return i == 0 ? std::pair{3.0f, 4.0f} : std::pair{8.0f + 0.5f * i, -0.25f}; };
    const std::string channel_text = std::to_string(channels_[1]);
    EXPECT_EQ(sweep(1), 0);
    const auto records = sweeps();
    ASSERT_EQ(records.size(), 1u);
    const nox::model& r = records[0];
    EXPECT_EQ(r.get("channel_id"), channel_text);
    EXPECT_EQ(r.get("timestamp"), "2024-05-06T07:08:09");
    EXPECT_EQ(r.get("dc_resistance"), "4.500000");
    const auto reals = words_of(r.get("reals"));
    const auto imags = words_of(r.get("imags"));
    const auto abs = words_of(r.get("abs"));
    ASSERT_EQ(reals.size(), 148u);
    ASSERT_EQ(imags.size(), 148u);
    ASSERT_EQ(abs.size(), 148u);
    EXPECT_EQ(reals[0], "3.000000");
    EXPECT_EQ(imags[0], "4.000000");
    EXPECT_EQ(abs[0], "5.000000");
    EXPECT_EQ(reals[147], "81.500000");
    EXPECT_EQ(imags[147], "-0.250000");
    EXPECT_EQ(abs[147], "81.500383");
}

TEST_F(ImpedanceSweep, AChannelWithoutUsableCableResistanceFailsBeforeBlockFour) {
    for (const char* value : {"", "thick", "nan"}) {
        dev_->clear_ops();
        if (*value) set_channel(2, {{"t1_cable_resistance", value}});
        EXPECT_THROW(sweep(2), std::invalid_argument) << value;
        EXPECT_EQ(dev_->ops(), (strings{"write_params 6:1 [0 0 1 0]"})) << value;
    }
    EXPECT_TRUE(sweeps().empty());
}

TEST_F(ImpedanceSweep, AnAnalyserThatNeverFinishesTimesOutAfterTwoMinutes) {
    dev_->analyser_reads_to_complete = 0;
    EXPECT_EQ(sweep(0), 13);
    const auto polls = dev_->count("read_params 6:5-5");
    EXPECT_EQ(polls, 240u);  // every 500 ms for 120 s
    EXPECT_EQ(reason_, "the analyser did not complete command 3 within 120 s");
    EXPECT_NE(log_text().find(reason_), std::string::npos);
    EXPECT_TRUE(sweeps().empty());
}

TEST_F(ImpedanceSweep, AnAnalyserThatTakesAWhileIsWaitedFor) {
    dev_->analyser_reads_to_complete = 7;
    EXPECT_EQ(sweep(0), 0);
    EXPECT_EQ(sleeps().size(), 14u);
    EXPECT_EQ(sweeps().size(), 1u);
}

TEST_F(ImpedanceSweep, DeviceFailuresEndTheSweepWithoutARecord) {
    dev_->fail["write_params"] = 1;
    EXPECT_EQ(sweep(0), 1);
    EXPECT_EQ(dev_->ops().size(), 1u);
    EXPECT_EQ(reason_, "write_params failed with result 1 (refused)");

    dev_->fail = {{"read_params", 13}};
    dev_->clear_ops();
    EXPECT_EQ(sweep(0), 13);
    EXPECT_EQ(dev_->ops().back(), "read_params 6:5-5");

    // A chunk answered short is a failure too, not a misaligned sweep.
    dev_->fail.clear();
    dev_->short_read_at = 1640;
    EXPECT_EQ(sweep(0), 1);
    EXPECT_NE(reason_.find("answered 49 of 50 words"), std::string::npos);
    EXPECT_TRUE(sweeps().empty());

    dev_->set_old_firmware(true);
    EXPECT_EQ(sweep(0), 1);
}

TEST_F(ImpedanceSweep, AStoppedPauseEndsTheSweep) {
    stop_sleeping_ = true;
    EXPECT_EQ(sweep(0), 1);
    EXPECT_EQ(dev_->ops().back(), "write_params 6:0 [3]");
    EXPECT_TRUE(sweeps().empty());
}

TEST_F(ImpedanceSweep, AChannelOfAnotherFrameSendsNothing) {
    nox::model r = request_for(0);
    r.set("channel_id", "999999");
    auto m = monitor();
    EXPECT_EQ(m.impedance_sweep(r), 1);
    EXPECT_TRUE(dev_->ops().empty());
}

TEST_F(ImpedanceSweep, TheSwitchRecordsTheStateAndSwitchesTheTones) {
    nox::model r = request_for(2);
    r.set("enable", "0");
    set_channel(2, {{"enabled_tones", "1"}, {"enabled_analyser", "1"}, {"name", "Hall"}});
    auto m = monitor();
    EXPECT_EQ(m.put_load_monitoring(r), 0);
    flush();
    EXPECT_EQ(dev_->ops(), (strings{"read_model", "enable_pilot 8 2 0"}));
    EXPECT_EQ(channel_at(2).get("enabled_tones"), "0");
    EXPECT_EQ(channel_at(2).get("enabled_analyser"), "0");
    EXPECT_EQ(channel_at(2).get("name"), "Hall");
    EXPECT_NE(log_text().find("writing lms data"), std::string::npos);

    // The record shows the requested state even when the amplifier refuses it.
    dev_->fail["enable_pilot"] = 8;
    r.set("enable", "1");
    EXPECT_EQ(m.put_load_monitoring(r), 8);
    flush();
    EXPECT_EQ(channel_at(2).get("enabled_tones"), "1");

    r.set("channel_id", "999999");
    dev_->clear_ops();
    EXPECT_EQ(m.put_load_monitoring(r), -1);
    EXPECT_TRUE(dev_->ops().empty());

    r = request_for(2);
    EXPECT_THROW(m.put_load_monitoring(r), std::invalid_argument);  // no `enable`
    r.set("enable", "on");
    EXPECT_THROW(m.put_load_monitoring(r), std::invalid_argument);
    EXPECT_TRUE(dev_->ops().empty());
}

TEST(AnalyserData, ChunksAndRanges) {
    using nox::amp::param_range;
    EXPECT_EQ(nox::analyser::sweep_range(0), (param_range{4, 1540, 1835}));
    EXPECT_EQ(nox::analyser::sweep_range(3), (param_range{4, 2428, 2723}));
    EXPECT_EQ(nox::analyser::cable_resistance_range(2), (param_range{4, 753, 753}));
    EXPECT_EQ(nox::analyser::switch_range(1), (param_range{4, 744, 744}));
    EXPECT_EQ(nox::analyser::chunks({4, 10, 59}), (std::vector<param_range>{{4, 10, 59}}));
    EXPECT_EQ(nox::analyser::chunks({4, 10, 60}), (std::vector<param_range>{{4, 10, 59}, {4, 60, 60}}));
    EXPECT_EQ(nox::analyser::chunks({6, 5, 5}), (std::vector<param_range>{{6, 5, 5}}));
    EXPECT_EQ(nox::analyser::channel_selection(0), (std::vector<std::uint32_t>{1, 0, 0, 0}));
}

TEST(AnalyserData, FloatBitsAndRecordTexts) {
    EXPECT_EQ(nox::analyser::float_bits(1.0f), 0x3f800000u);
    EXPECT_EQ(nox::analyser::bits_float(0x40400000u), 3.0f);
    const auto texts = nox::analyser::sweep_record_texts({3.0f, -6.0f, 4.0f, 8.0f});
    EXPECT_EQ(texts.reals, "3.000000 -6.000000");
    EXPECT_EQ(texts.imags, "4.000000 8.000000");
    EXPECT_EQ(texts.abs, "5.000000 10.000000");
    EXPECT_EQ(nox::analyser::payload_text({}), "Payload size: 0\n\n***\n");
    EXPECT_EQ(nox::analyser::payload_text({1.5f, 2.0f}), "Payload size: 2\n1.5 2 \n***\n");
}

}  // namespace
}  // namespace calibration_test
