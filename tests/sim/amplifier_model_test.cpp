// The amplifier model that both simulators share: bound parameter words, pilot tones and
// their calibration, seen through the binary parameter space and through the Mira text
// commands of the same amplifier.
#include "tools/mira_sim/amplifier.h"
#include "tools/sim_amp/amplifier_model.h"
#include "tools/sim_amp/pilot.h"

#include <gtest/gtest.h>

namespace {

using sim_amp::amplifier_model;

std::vector<std::uint32_t> read(amplifier_model& amp, std::uint8_t block, std::uint16_t first, std::size_t count) {
    std::vector<std::uint32_t> words;
    EXPECT_EQ(amp.read_words(block, first, count, words), sim_amp::code_ok);
    return words;
}

TEST(AmplifierModel, MuteWordsOfBlockTwoAreTheChannelMutes) {
    amplifier_model amp;
    amp.mute[2] = 1;
    amp.write_words(2, 1, {200});  // attenuation of channel 1 stays a plain word
    const auto words = read(amp, 2, 0, 16);
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(words[1], 200u);
    EXPECT_EQ(words[10], 1u);
    amp.write_words(2, 15, {1});
    EXPECT_EQ(amp.mute[3], 1u);
}

TEST(AmplifierModel, ForcedReturnCodeRefusesWritesAndStillAnswersReads) {
    amplifier_model amp;
    amp.forced_return_code = 3;
    EXPECT_EQ(amp.write_words(0, 25, {7}), 3);
    EXPECT_EQ(amp.word(0, 25), 0u);
    std::vector<std::uint32_t> words;
    EXPECT_EQ(amp.read_words(0, 4, 2, words), 3);
    EXPECT_EQ(words.size(), 2u);
}

TEST(AmplifierModel, PilotWordsUseTheAmplifierScales) {
    amplifier_model amp;
    // Channel 2 (base 42): amplitudes, reference impedances and frequencies.
    amp.write_words(5, 42 + 1, {1500, 250});
    amp.write_words(5, 42 + 7, {8000, 12000});
    amp.write_words(5, 42 + 16, {20000000, 47000000});
    const auto& ch = amp.pilot.channels[2];
    EXPECT_FLOAT_EQ(ch.amplitude[0], 1.5f);
    EXPECT_FLOAT_EQ(ch.amplitude[1], 0.25f);
    EXPECT_NEAR(ch.ref_impedance[0], 8.0, 1e-5);
    EXPECT_NEAR(ch.ref_impedance[1], 12.0, 1e-5);
    EXPECT_FLOAT_EQ(ch.frequency[1], 47000.0f);
    EXPECT_EQ(read(amp, 5, 42 + 7, 2), (std::vector<std::uint32_t>{8000, 12000}));
    // Words outside the channel layout live in the plain store.
    amp.write_words(5, 42 + 18, {99});
    EXPECT_EQ(amp.word(5, 42 + 18), 99u);
}

TEST(AmplifierModel, CalibrationStartsAtIndex86AndFinishesOnTheConfiguredPoll) {
    amplifier_model amp;
    amp.pilot.calibration_polls = 2;
    amp.write_words(5, 21 + 7, {10000000, 11000000});  // channel 1 references written first
    amp.write_words(5, sim_amp::calibration_start_index, {sim_amp::all_steps(1)});
    // A read of a wider range shows the done bits without counting as a poll.
    EXPECT_EQ(read(amp, 5, 80, 10)[7], 0u);
    EXPECT_EQ(read(amp, 5, sim_amp::calibration_done_index, 1)[0], 0u);
    EXPECT_EQ(read(amp, 5, sim_amp::calibration_done_index, 1)[0], 0x222u);
    // The readings and references are the line as measured at the tones.
    const float z1 = sim_amp::tone_impedance(amp, 1, 0);
    const float z2 = sim_amp::tone_impedance(amp, 1, 1);
    EXPECT_EQ(read(amp, 5, 21 + 14, 2),
              (std::vector<std::uint32_t>{sim_amp::impedance_word(z1), sim_amp::impedance_word(z2)}));
    EXPECT_EQ(read(amp, 5, 21 + 7, 2),
              (std::vector<std::uint32_t>{sim_amp::impedance_word(z1), sim_amp::impedance_word(z2)}));
}

TEST(MiraView, TextCommandsAndParameterWordsShowOneAmplifier) {
    mira_sim::amplifier amp(1, 2, 20);
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.RefImp=2 10.00 12.00"), "OK");
    EXPECT_EQ(amp.word(5, 21 + 7), sim_amp::impedance_word(10.0f));
    amp.write_words(5, 21 + 16, {30000000, 31500000});
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.Signal?2"), "30000 31500 0.200 0.200");
    EXPECT_EQ(amp.text_command("Dev.Pwr.Mute=4 1"), "OK");
    EXPECT_EQ(amp.word(2, 15), 1u);
    amp.set_word(3, 4, 61);
    EXPECT_EQ(amp.text_command("Dev.Pwr.Temp?2"), "61");
    EXPECT_EQ(amp.text_command("Dev.Power=0"), "OK");
    EXPECT_FALSE(amp.power);
    EXPECT_EQ(amp.text_command("Dev.FrameLabel=Balcony"), "OK");
    EXPECT_EQ(amp.frame_name, "Balcony");
}

TEST(MiraView, BoundSettingsWithoutTheirNumbersAreRefused) {
    mira_sim::amplifier amp(1, 2, 20);
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.Factor=1 1.5"), "ERR");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.Factor=1 1.5 abc"), "ERR");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.Factor?1"), "1.410 1.520");
    // A channel outside 1..4 is no bound key: the text store keeps it.
    EXPECT_EQ(amp.text_command("Dev.Pwr.Mute=7 1"), "OK");
    EXPECT_EQ(amp.text_command("Dev.Pwr.Mute?7"), "1");
}

}  // namespace
