// The Tesira server simulator's protocol and controls, driven without sockets.
#include "tools/tesira_sim/server.h"

#include <gtest/gtest.h>

namespace {

using tesira_sim::host;

class TesiraServerTest : public ::testing::Test {
protected:
    TesiraServerTest() {
        sim.add("Amp1", "Hall");
        sim.add("Stage Amp");
    }
    std::string control(const std::string& line) {
        bool quit = false;
        return sim.control(line, quit).front();
    }
    host sim;
};

TEST_F(TesiraServerTest, AttributesReadAndWriteTheHostedAmplifier) {
    EXPECT_EQ(sim.answer("Amp1 get ampName "), "+OK \"value\":\"Hall\"\r\n");
    EXPECT_EQ(sim.answer("\"Stage Amp\" get ampName "), "+OK \"value\":\"Stage Amp\"\r\n");
    EXPECT_EQ(sim.answer("Amp1 set mute 3 true"), "+OK\r\n");
    EXPECT_EQ(sim.answer("Amp1 get mute 3 "), "+OK \"value\":true\r\n");
    EXPECT_EQ(sim.find("Amp1")->word(2, 10), 1u);  // the amplifier's own mute word
    EXPECT_EQ(sim.answer("Amp1 set ampPower false"), "+OK\r\n");
    EXPECT_EQ(sim.answer("Amp1 get ampPower"), "+OK \"value\":false\r\n");
    EXPECT_EQ(sim.answer("Amp1 set channelName 2 \"Sub left\""), "+OK\r\n");
    EXPECT_EQ(sim.answer("Amp1 get channelName 2 "), "+OK \"value\":\"Sub left\"\r\n");
}

TEST_F(TesiraServerTest, PeekAndPokeRelayTheParameterWords) {
    EXPECT_EQ(sim.answer("Amp1 poke 0x20001 [-1294967296 7]"), "+OK\r\n");
    EXPECT_EQ(sim.answer("Amp1 peek 0x20001 2"), "+OK \"value\":[3000000000 7]\r\n");
    EXPECT_EQ(sim.answer("Amp1 peek 0x3 2"), "+OK \"value\":[8 19]\r\n");
    sim.find("Amp1")->forced_return_code = 3;
    EXPECT_EQ(sim.answer("Amp1 peek 0x3 1").rfind("-ERR", 0), 0u);
    EXPECT_EQ(sim.answer("Amp1 poke 0x3 [1]").rfind("-ERR", 0), 0u);
}

TEST_F(TesiraServerTest, MalformedCommandsAreRefused) {
    for (const char* line : {"Nobody get ampName", "Amp1 get volume", "Amp1 get mute 5", "Amp1 set mute 1 maybe",
                             "Amp1 peek 50015 1", "Amp1 peek 0x5 0", "Amp1 peek 0x5 9999", "Amp1 poke 0x5 7",
                             "Amp1 poke 0x5 [x]", "Amp1 dance", "\"Amp1 get ampName"}) {
        EXPECT_EQ(sim.answer(line).rfind("-ERR", 0), 0u) << line;
    }
}

TEST_F(TesiraServerTest, LimitedFaultsEndByThemselves) {
    EXPECT_EQ(control("fault error count=2"), "ok");
    EXPECT_EQ(sim.take_reply_fault(), tesira_sim::fault_mode::error);
    EXPECT_EQ(sim.take_reply_fault(), tesira_sim::fault_mode::error);
    EXPECT_EQ(sim.take_reply_fault(), tesira_sim::fault_mode::none);
    EXPECT_EQ(control("fault login"), "ok");
    EXPECT_TRUE(sim.login_required());
    EXPECT_TRUE(sim.drop_sessions);
    EXPECT_EQ(control("fault none"), "ok");
    EXPECT_FALSE(sim.login_required());
    EXPECT_EQ(control("fault sideways").rfind("error", 0), 0u);
}

TEST_F(TesiraServerTest, ControlsReachBlocksByTag) {
    EXPECT_EQ(control("monitor \"Stage Amp\" 1 1073741824"), "ok");
    EXPECT_EQ(sim.find("Stage Amp")->monitor[1], 1073741824u);
    EXPECT_EQ(control("param Amp1 0 4 17"), "ok");
    EXPECT_EQ(control("do Amp1 peek 0x4 1"), "ok +OK \"value\":[17]");
    EXPECT_EQ(control("list"), "ok 2 Amp1 \"Stage Amp\"");
    EXPECT_EQ(control("remove Amp1"), "ok");
    EXPECT_EQ(control("param Amp1 0 4 17").rfind("error", 0), 0u);
}

}  // namespace
