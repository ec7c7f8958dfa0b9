// The simulators' measurement model: the loudspeaker line, what the pilot-tone
// calibration measures on it, the load analyser behind its parameter words, and the
// control commands that set loads and fault modes.
#include "tools/mira_sim/amplifier.h"
#include "tools/sim_amp/amplifier_model.h"
#include "tools/sim_amp/measurement_control.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

using sim_amp::amplifier_model;
using sim_amp::load_line;

std::vector<std::uint32_t> read(amplifier_model& amp, std::uint8_t block, std::uint16_t first, std::size_t count) {
    std::vector<std::uint32_t> words;
    EXPECT_EQ(amp.read_words(block, first, count, words), sim_amp::code_ok);
    return words;
}

std::string control(amplifier_model& amp, const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    return sim_amp::measurement_control(amp, command, in).value_or("not a measurement command");
}

TEST(LoadLine, ALoudspeakerPeaksAtResonanceAndRisesWithFrequency) {
    for (double nominal : {4.0, 8.0, 16.0}) {
        const load_line line{true, nominal};
        const double cable = 0.6;
        const double mid = std::abs(sim_amp::line_impedance(line, cable, 1000.0));
        EXPECT_GT(mid, 0.85 * nominal) << nominal;
        EXPECT_LT(mid, 1.3 * nominal + cable) << nominal;
        const double peak = std::abs(sim_amp::line_impedance(line, cable, 55.0));
        EXPECT_GT(peak, 2.5 * mid) << nominal;
        const double top = std::abs(sim_amp::line_impedance(line, cable, 20000.0));
        EXPECT_GT(top, 3.0 * mid) << nominal;
        EXPECT_GT(sim_amp::line_impedance(line, cable, 20000.0).imag(), 0.0);
        EXPECT_DOUBLE_EQ(sim_amp::line_dc_resistance(line, cable), cable + 0.85 * nominal);
    }
}

TEST(LoadLine, AnOpenLineIsTheCableAlone) {
    const load_line open{false, 8.0};
    const auto z = sim_amp::line_impedance(open, 0.5, 20.0);
    EXPECT_DOUBLE_EQ(z.real(), 0.5);
    EXPECT_LT(z.imag(), -100000.0);
    EXPECT_DOUBLE_EQ(sim_amp::line_dc_resistance(open, 0.5), 1.0e6);
}

TEST(LoadLine, SweepPointsRunFromTwentyHertzToTwentyKilohertz) {
    EXPECT_DOUBLE_EQ(sim_amp::sweep_frequency(0), 20.0);
    EXPECT_NEAR(sim_amp::sweep_frequency(147), 20000.0, 1e-6);
    for (int i = 1; i < sim_amp::sweep_points; ++i)
        EXPECT_GT(sim_amp::sweep_frequency(i), sim_amp::sweep_frequency(i - 1));
}

TEST(PilotMeasurement, CalibrationMeasuresTheLineAtTheTones) {
    amplifier_model amp;
    amp.set_line(2, {true, 4.0});
    auto& ch = amp.pilot.channels[2];
    ch.frequency = {10.0f, 24000.0f};
    ch.factor = {1.41f, 1.52f};
    sim_amp::start_calibration(amp, sim_amp::all_steps(2));
    EXPECT_EQ(sim_amp::poll_calibration(amp), 0x444u);
    const double expected = std::abs(sim_amp::line_impedance(amp.lines[2], ch.cable_resistance[1], 24000.0));
    EXPECT_FLOAT_EQ(ch.reading[1], float(expected));
    EXPECT_FLOAT_EQ(ch.ref_impedance[1], ch.reading[1]);
    EXPECT_FLOAT_EQ(ch.lower_threshold[1], 0.8f * ch.reading[1]);
    EXPECT_FLOAT_EQ(ch.upper_threshold[1], 1.25f * ch.reading[1]);
    EXPECT_FLOAT_EQ(ch.factor[1], float(1.52 * (1.0 + 0.24 * 0.24)));
    EXPECT_GT(ch.reading[0], 3.0f);  // 10 Hz: below the resonance, above the coil resistance

    // The analyser step alone (first generation) measures too but leaves the factors.
    ch.factor = {1.0f, 1.0f};
    sim_amp::start_calibration(amp, sim_amp::analyser_step(2));
    sim_amp::poll_calibration(amp);
    EXPECT_EQ(ch.factor, (std::array<float, 2>{1.0f, 1.0f}));
}

TEST(PilotMeasurement, AnOpenChannelReadsHighAndLoadChangesShowInTheReadings) {
    amplifier_model amp;
    amp.set_line(0, {true, 8.0});
    const float loaded = amp.pilot.channels[0].reading[0];
    amp.set_line(0, {false, 8.0});
    EXPECT_GT(amp.pilot.channels[0].reading[0], 5.0f * loaded);
    EXPECT_LE(amp.pilot.channels[0].reading[0], 6000.0005f);  // the impedance scale's top
    amp.pilot.channels[0].frequency[0] = 10.0f;
    EXPECT_FLOAT_EQ(sim_amp::tone_impedance(amp, 0, 0), 6000.00048828125f);
}

TEST(PilotMeasurement, ACalibrationThatNeverCompletes) {
    amplifier_model amp;
    EXPECT_EQ(control(amp, "calibration never"), "ok");
    sim_amp::start_calibration(amp, sim_amp::all_steps(0));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(sim_amp::poll_calibration(amp), 0u);
    EXPECT_EQ(control(amp, "calibration 3"), "ok");
    sim_amp::poll_calibration(amp);
    sim_amp::poll_calibration(amp);
    EXPECT_EQ(sim_amp::poll_calibration(amp), 0x111u);
}

class Analyser : public ::testing::Test {
protected:
    Analyser() {
        amp.set_line(2, {true, 16.0});
        amp.write_words(6, 1, {0, 0, 1, 0});
        amp.write_words(4, sim_amp::analyser_switch_index(2), {sim_amp::float_word(1.0f)});
        amp.write_words(4, sim_amp::analyser_cable_index(2), {sim_amp::float_word(1.5f)});
    }
    std::uint32_t poll() { return read(amp, 6, 5, 1)[0]; }
    amplifier_model amp;
};

TEST_F(Analyser, ASweepFinishesOnTheConfiguredPollWithTheLineCurve) {
    EXPECT_EQ(control(amp, "analyser 3"), "ok");
    amp.write_words(6, 0, {3});
    EXPECT_EQ(poll(), 0u);
    EXPECT_EQ(read(amp, 6, 0, 6)[5], 0u);  // a wider read does not count as a poll
    EXPECT_EQ(poll(), 0u);
    EXPECT_EQ(poll(), 1u);
    const auto words = read(amp, 4, sim_amp::sweep_real_index(2, 0), 296);
    for (int i = 0; i < sim_amp::sweep_points; ++i) {
        const auto z = sim_amp::line_impedance(amp.lines[2], 1.5, sim_amp::sweep_frequency(i));
        EXPECT_EQ(sim_amp::word_float(words[i]), float(z.real())) << i;
        EXPECT_EQ(sim_amp::word_float(words[148 + i]), float(z.imag())) << i;
    }
    // Other channels' data stayed untouched.
    EXPECT_EQ(read(amp, 4, sim_amp::sweep_real_index(1, 0), 1)[0], 0u);
}

TEST_F(Analyser, DcResistanceOfEveryChannel) {
    amp.set_line(3, {false, 8.0});
    amp.write_words(6, 0, {2});
    poll();
    EXPECT_EQ(poll(), 1u);
    const auto words = read(amp, 4, 1536, 4);
    EXPECT_EQ(sim_amp::word_float(words[0]), float(0.5 + 0.85 * 8.0));
    EXPECT_EQ(sim_amp::word_float(words[2]), float(1.5 + 0.85 * 16.0));
    EXPECT_EQ(sim_amp::word_float(words[3]), 1.0e6f);
}

TEST_F(Analyser, WithoutItsSwitchTheSweepReadsZeros) {
    amp.write_words(4, sim_amp::analyser_switch_index(2), {0});
    amp.write_words(6, 0, {3});
    poll();
    EXPECT_EQ(poll(), 1u);
    EXPECT_EQ(read(amp, 4, sim_amp::sweep_real_index(2, 0), 50), std::vector<std::uint32_t>(50, 0));
}

TEST_F(Analyser, AnAnalyserThatNeverCompletes) {
    EXPECT_EQ(control(amp, "analyser never"), "ok");
    amp.write_words(6, 0, {3});
    for (int i = 0; i < 300; ++i) ASSERT_EQ(poll(), 0u);
    EXPECT_EQ(control(amp, "analyser 1"), "ok");
    EXPECT_EQ(poll(), 1u);
}

TEST(MeasurementControl, LoadsAndRefusals) {
    amplifier_model amp;
    EXPECT_EQ(control(amp, "load 4 4.5"), "ok");
    EXPECT_TRUE(amp.lines[3].connected);
    EXPECT_DOUBLE_EQ(amp.lines[3].nominal_ohms, 4.5);
    EXPECT_EQ(control(amp, "load 1 open"), "ok");
    EXPECT_FALSE(amp.lines[0].connected);
    for (const char* bad : {"load 5 8", "load 0 8", "load 1 -2", "load 1 nan", "load 1", "analyser 0",
                            "analyser soon", "calibration -1"}) {
        EXPECT_EQ(control(amp, bad).rfind("error", 0), 0u) << bad;
    }
    EXPECT_EQ(control(amp, "select 1"), "not a measurement command");
}

TEST(MiraView, TheAnalyserAndTheCalibrationThroughTheMiraAmplifier) {
    mira_sim::amplifier amp(1, 2, 20);
    amp.set_line(0, {true, 8.0});
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.Signal=1 20000 22000 0.200 0.200"), "OK");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibStart=3 0 0 0"), "OK");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibDone?"), "273");  // 0x111
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.2f %.2f 0.00 0.00", double(sim_amp::tone_impedance(amp, 0, 0)),
                  double(sim_amp::tone_impedance(amp, 0, 1)));
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.Readings?1"), expected);
}

}  // namespace
