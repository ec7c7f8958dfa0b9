// The simulator's Mira command set, driven without sockets.
#include "tools/mira_sim/amplifier.h"
#include "tools/mira_sim/mira_commands.h"
#include "tools/mira_sim/simulator.h"
#include "tools/sim_amp/pilot.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using mira_sim::amplifier;

TEST(SimCommands, DefaultsAnswerEveryMappedQuery) {
    amplifier amp(0x0000000100000002ull, 2, 20);
    for (const char* query : {"Dev.Power?", "Dev.Fuse.NominalCurrent?", "Dev.Frame.Temp?", "Dev.KVX.Capability?",
                              "Mod.Out.AmpVPL?#4", "Dev.LoadPilot.Signal?4", "Dev.KVX.DesiredVpl?1",
                              "Dev.SerialNumber?", "Dev.Route?D 6", "Mod.Out.Label?C 3"}) {
        EXPECT_NE(amp.text_command(query), "ERR") << query;
    }
    EXPECT_EQ(amp.text_command("Dev.SerialNumber?"), "100002");
    EXPECT_EQ(amp.text_command("Dev.Route?B 1"), "- X - -");
}

TEST(SimCommands, FrameSettingsDropTheBlankAfterTheEqualsSign) {
    amplifier amp(1, 2, 20);
    EXPECT_EQ(amp.text_command("Dev.Fuse.NominalCurrent= 12.50 16.0"), "OK");
    EXPECT_EQ(amp.text_command("Dev.Fuse.NominalCurrent?"), "12.50 16.0");
    EXPECT_EQ(amp.text_command("Dev.Route=A 2 - X - -"), "OK");
    EXPECT_EQ(amp.text_command("Dev.Route?A 2"), "- X - -");
}

TEST(SimCommands, LabelsByChannelFollowTheRoute) {
    amplifier amp(1, 2, 20);
    EXPECT_EQ(amp.text_command("Mod.Mod.Label=#2 Sub"), "OK");
    EXPECT_EQ(amp.text_command("Mod.Mod.Label?B"), "Sub");
    EXPECT_EQ(amp.text_command("Mod.Out.Label=#2 Left"), "OK");
    EXPECT_EQ(amp.text_command("Mod.Out.Label?B 1"), "Left");
    EXPECT_EQ(amp.text_command("Mod.Out.Label?#2"), "Left");
    // An unrouted channel keeps labels of its own.
    amp.text_command("Dev.Route=D 1 - - - -");
    EXPECT_FALSE(mira_sim::channel_driver(amp, 4).has_value());
    EXPECT_EQ(amp.text_command("Mod.Mod.Label=#4 Spare box"), "OK");
    EXPECT_EQ(amp.text_command("Mod.Mod.Label?#4"), "Spare box");
    EXPECT_EQ(amp.text_command("Mod.Mod.Label?D"), "ModD");
    EXPECT_EQ(amp.text_command("Mod.Out.Label=C 2 Aux"), "OK");
    EXPECT_EQ(amp.text_command("Mod.Out.Label?C 2"), "Aux");
}

TEST(SimCommands, CalibrationFinishesAfterTheConfiguredPolls) {
    amplifier amp(1, 2, 20);
    amp.pilot.calibration_polls = 3;
    amp.text_command("Dev.LoadPilot.RefImp=3 10.00 12.00");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibStart=0 0 3 0"), "OK");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibDone?"), "0");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibDone?"), "0");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibDone?"), std::to_string(0x444));
    // The readings are the channel's line as its tones measure it.
    char readings[64];
    std::snprintf(readings, sizeof readings, "%.2f %.2f 0.00 0.00", double(sim_amp::tone_impedance(amp, 2, 0)),
                  double(sim_amp::tone_impedance(amp, 2, 1)));
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.Readings?3"), readings);
    amp.pilot.calibration_polls = 2;
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibStart=1 2 0 0"), "OK");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibDone?"), "0");
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibDone?"), std::to_string(0x100 | 0x22));
    EXPECT_EQ(amp.text_command("Dev.LoadPilot.CalibStart=4 0 0 0"), "ERR");
}

TEST(SimCommands, SelectKeyAndCalibrationControls) {
    mira_sim::host sim;
    sim.add(1, 2, 20);
    bool quit = false;
    EXPECT_EQ(sim.control("select 00000000:00000001 1", quit).front(), "ok");
    EXPECT_EQ(sim.find(1)->amp->status_word, 1u << 14);
    EXPECT_EQ(sim.control("select 00000000:00000001 0", quit).front(), "ok");
    EXPECT_EQ(sim.find(1)->amp->status_word, 0u);
    EXPECT_EQ(sim.control("calibration 00000000:00000001 4", quit).front(), "ok");
    EXPECT_EQ(sim.find(1)->amp->pilot.calibration_polls, 4);
    EXPECT_EQ(sim.control("calibration 00000000:00000001 0", quit).front().rfind("error", 0), 0u);
}

}  // namespace
