// The simulator's host without sockets: what later command sets and tests build on.
#include "tools/mira_sim/simulator.h"

#include <gtest/gtest.h>

namespace {

using mira_sim::host;

constexpr std::uint64_t amp_id = 0x0000000100000002ull;
constexpr std::uint64_t requester = 0x1122334455667788ull;

mira_sim::bytes text_request(const std::string& command, std::uint32_t sequence = 9) {
    mira_sim::bytes f(152, 0);
    mira_sim::set32(f, 0, std::uint32_t(requester >> 32));
    mira_sim::set32(f, 4, std::uint32_t(requester));
    mira_sim::set32(f, 8, std::uint32_t(amp_id >> 32));
    mira_sim::set32(f, 12, std::uint32_t(amp_id));
    mira_sim::set16(f, 20, 152);
    mira_sim::set16(f, 22, 701);
    mira_sim::set32(f, 24, sequence);
    std::copy(command.begin(), command.end(), f.begin() + 28);
    return f;
}

std::string reply_text(const mira_sim::bytes& f) {
    std::string text;
    for (std::size_t i = 28; i < f.size() - 4 && f[i] != 0; ++i) text.push_back(char(f[i]));
    return text;
}

class SimHostTest : public ::testing::Test {
protected:
    SimHostTest() { sim.add(amp_id, 5, 21); }
    std::string ask(const std::string& command) {
        const auto out = sim.receive(text_request(command), "test", 0);
        return out.size() == 1 ? reply_text(out[0].datagram) : "<" + std::to_string(out.size()) + " replies>";
    }
    std::string control(const std::string& line) {
        bool quit = false;
        return sim.control(line, quit).front();
    }
    host sim;
};

TEST_F(SimHostTest, SettingsAreReadBackPerArgument) {
    EXPECT_EQ(ask("Dev.Pwr.Mute=2 1"), "OK");
    EXPECT_EQ(ask("Dev.Pwr.Mute?2"), "1");
    EXPECT_EQ(ask("Dev.Pwr.Mute?1"), "0");
    EXPECT_EQ(ask("Dev.FrameLabel=Front of house"), "OK");
    EXPECT_EQ(ask("Dev.FrameLabel?"), "Front of house");
    EXPECT_EQ(ask("Dev.Nothing?"), "ERR");
}

TEST_F(SimHostTest, ReplyIsAddressedBackToTheRequester) {
    const auto out = sim.receive(text_request("Dev.Power?", 77), "test", 0);
    ASSERT_EQ(out.size(), 1u);
    const auto reply = mira_sim::parse_request(out[0].datagram);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->source, amp_id);
    EXPECT_EQ(reply->destination, requester);
    EXPECT_EQ(reply->sequence, 77u);
    EXPECT_EQ(reply->kind, 5);
}

TEST_F(SimHostTest, FaultForACountOfRepliesThenNormal) {
    EXPECT_EQ(control("fault 00000001:00000002 silent count=2"), "ok");
    EXPECT_EQ(ask("Dev.Power?"), "<0 replies>");
    EXPECT_EQ(ask("Dev.Power?"), "<0 replies>");
    EXPECT_EQ(ask("Dev.Power?"), "1");
}

TEST_F(SimHostTest, LateRepliesCarryTheirDelay) {
    control("fault 00000001:00000002 late 300");
    const auto out = sim.receive(text_request("Dev.Power?"), "test", 0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].delay_ms, 300);
}

TEST_F(SimHostTest, BinaryParametersAreWordsOfBlockAndIndex) {
    mira_sim::amplifier& amp = *sim.find(amp_id)->amp;
    // Write block 3, index 0x0102, two values; then read them back.
    std::vector<std::uint32_t> write(5, 0);
    mira_sim::set_packet_byte(write, 0, 18);
    mira_sim::set_packet_byte(write, 2, 5);
    mira_sim::set_packet_byte(write, 5, 3);
    mira_sim::set_packet_byte(write, 6, 1);
    mira_sim::set_packet_byte(write, 7, 2);
    mira_sim::set_packet_byte(write, 11, 2);
    write[3] = 0x04030201;  // memory order 01 02 03 04: big-endian value 0x01020304
    write[4] = 0x2A000000;  // value 42
    const auto written = amp.packet(write);
    EXPECT_EQ(mira_sim::packet_byte(written, 0), 19);
    EXPECT_EQ((amp.params[{3, 0x0102}]), 0x01020304u);
    EXPECT_EQ((amp.params[{3, 0x0103}]), 42u);

    std::vector<std::uint32_t> read(3, 0);
    mira_sim::set_packet_byte(read, 0, 16);
    mira_sim::set_packet_byte(read, 2, 3);
    mira_sim::set_packet_byte(read, 5, 3);
    mira_sim::set_packet_byte(read, 6, 1);
    mira_sim::set_packet_byte(read, 7, 2);
    mira_sim::set_packet_byte(read, 11, 2);
    const auto answer = amp.packet(read);
    ASSERT_EQ(answer.size(), 5u);
    EXPECT_EQ(mira_sim::packet_byte(answer, 0), 17);
    EXPECT_EQ(mira_sim::packet_byte(answer, 2), 5);
    EXPECT_EQ(mira_sim::packet_byte(answer, 3), mira_sim::packet_checksum(answer, 5));
    EXPECT_EQ(answer[3], 0x04030201u);
}

TEST_F(SimHostTest, MonitorRequestChecksumMatchesTheReferenceExample) {
    std::vector<std::uint32_t> monitor{0};
    mira_sim::set_packet_byte(monitor, 0, 34);
    mira_sim::set_packet_byte(monitor, 2, 1);
    EXPECT_EQ(mira_sim::packet_checksum(monitor, 1), 0x8A);
    const auto answer = sim.find(amp_id)->amp->packet(monitor);
    EXPECT_EQ(answer.size(), 61u);
    EXPECT_EQ(mira_sim::packet_byte(answer, 0), 35);
}

TEST_F(SimHostTest, ControlRejectsBadInput) {
    EXPECT_EQ(control("fault 00000001:00000002 sideways").rfind("error", 0), 0u);
    EXPECT_EQ(control("fault nonsense silent").rfind("error", 0), 0u);
    EXPECT_EQ(control("heartbeats 00000001:00000009 2").rfind("error", 0), 0u);
    EXPECT_EQ(control("set 00000001:00000002 no separator").rfind("error", 0), 0u);
    EXPECT_EQ(control("dance").rfind("error", 0), 0u);
}

TEST_F(SimHostTest, DamagedDatagramsAreRecordedNotAnswered) {
    auto frame = text_request("Dev.Power?");
    mira_sim::set16(frame, 20, 400);
    EXPECT_TRUE(sim.receive(frame, "test", 5).empty());
    EXPECT_TRUE(sim.receive(mira_sim::bytes(10, 0), "test", 6).empty());
    ASSERT_EQ(sim.records().size(), 2u);
    EXPECT_FALSE(sim.records()[0].parsed);
}

}  // namespace
