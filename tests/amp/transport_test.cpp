// The Mira transport against orva_mira_sim, inside the network sandbox: the simulator
// listens on 0.0.0.0:6016, the port binds 10.99.0.1 and broadcasts to 255.255.255.255.
#include "backend/amp/mira_discovery.h"
#include "backend/amp/velto_eth_port.h"
#include "backend/p20spi/commands.h"
#include "common/log/log.h"
#include "tools/mira_sim/sim_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using P20SPI::CDeviceAddress;
using P20SPI::CVeltoEthPort;
using steady = std::chrono::steady_clock;

const std::string interface_address = "10.99.0.1";
const std::string first_id = "0000abcd:00000001";
const std::string second_id = "0000abcd:00000002";
const CDeviceAddress first{0x0000abcd, 1, 2};
const CDeviceAddress second{0x0000abcd, 2, 5};

// One record of the simulator: "<ms> <from> <size> <type> <destination> <sequence> <payload>".
struct seen {
    long ms = 0;
    std::string from;
    int type = 0;
    std::string destination;
    unsigned long sequence = 0;
    std::string payload;
};

std::vector<seen> parse_records(const std::vector<std::string>& lines) {
    std::vector<seen> out;
    for (const auto& line : lines) {
        std::istringstream in(line);
        seen s;
        std::size_t size;
        in >> s.ms >> s.from >> size >> s.type >> s.destination >> s.sequence;
        std::getline(in, s.payload);
        if (!s.payload.empty()) s.payload.erase(0, 1);
        out.push_back(s);
    }
    return out;
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_path = ::testing::TempDir() + "amp_transport_test." + std::to_string(::getpid()) + ".log";
        std::remove(log_path.c_str());
        nox::log::instance().set_log_path(log_path);
        sim = std::make_unique<mira_sim::sim_client>(
            mira_sim::sim_client::default_program(),
            std::vector<std::string>{"--amp", first_id + ",kind=2,product=20", "--amp", second_id + ",kind=5,product=22"});
    }

    std::vector<seen> records() { return parse_records(sim->received()); }

    std::string log_text() {
        std::ifstream in(log_path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    static long count_of(const std::string& text, const std::string& what) {
        long n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    // A text exchange with `target` on a fresh port; returns the result and the seconds it took.
    int text(const CDeviceAddress& target, const std::string& command, std::string& reply, double* seconds = nullptr) {
        CVeltoEthPort port(interface_address);
        port.open_target(target);
        const auto start = steady::now();
        const int result = port.transact_text(command, reply);
        if (seconds) *seconds = std::chrono::duration<double>(steady::now() - start).count();
        return result;
    }

    // Asserts four sends of one frame, `gap_ms` apart.
    void expect_four_sends(const std::vector<seen>& frames, long gap_ms) {
        ASSERT_EQ(frames.size(), 4u);
        for (std::size_t i = 1; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].sequence, frames[0].sequence);
            const long gap = frames[i].ms - frames[i - 1].ms;
            EXPECT_GE(gap, gap_ms - 30) << i;
            EXPECT_LE(gap, gap_ms + 150) << i;
        }
    }

    std::string log_path;
    std::unique_ptr<mira_sim::sim_client> sim;
};

TEST_F(TransportTest, DiscoveryListsEachAmplifierOnceFirstReplyWins) {
    sim->expect_ok("heartbeats " + second_id + " 2");
    CVeltoEthPort port(interface_address);
    std::vector<CDeviceAddress> found;
    const auto start = steady::now();
    port.discover(found);
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_TRUE((found[0] == first && found[1] == second) || (found[0] == second && found[1] == first));
    EXPECT_GE(seconds, 2.09);
    EXPECT_LT(seconds, 2.5);
    EXPECT_EQ(count_of(log_text(), "Amplifier product: "), 3);

    const auto frames = records();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, 4);
    EXPECT_EQ(frames[0].destination, "fffffffe:fffffffd");
    EXPECT_EQ(frames[0].payload, "hash_ok");
    EXPECT_EQ(frames[0].from.rfind("10.99.0.1:", 0), 0u);
}

TEST_F(TransportTest, DiscoveryIgnoresForeignProductsAndKinds) {
    sim->expect_ok("add 00000bad:00000012 kind=2 product=18");
    sim->expect_ok("add 00000bad:0000001c kind=2 product=28");
    sim->expect_ok("add 00000bad:00000003 kind=3 product=20");
    sim->expect_ok("remove " + second_id);
    CVeltoEthPort port(interface_address);
    std::vector<CDeviceAddress> found;
    port.discover(found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], first);
}

TEST_F(TransportTest, DiscoveryEntryPointLogsWhatItFound) {
    const auto devices = nox::amp::get_devices(interface_address);
    ASSERT_EQ(devices.size(), 2u);
    const std::string log = log_text();
    EXPECT_NE(log.find("get devices..."), std::string::npos);
    EXPECT_NE(log.find("Number of devices found: 2"), std::string::npos);
    EXPECT_NE(log.find("Device name: 0000abcd:00000001"), std::string::npos);
    EXPECT_NE(log.find("Device name: 0000abcd:00000002"), std::string::npos);
}

TEST_F(TransportTest, DiscoveryWithoutInterfaceSendsNothing) {
    EXPECT_TRUE(nox::amp::get_devices("").empty());
    EXPECT_TRUE(records().empty());
}

TEST_F(TransportTest, TextExchangeReachesOnlyItsTarget) {
    std::string reply;
    EXPECT_EQ(text(second, "Dev.ModelName?", reply), 0);
    EXPECT_EQ(reply, "VR45:4M");
    EXPECT_EQ(text(first, "Dev.FrameLabel=Rack 7", reply), 0);
    EXPECT_EQ(reply, "OK");
    EXPECT_EQ(text(first, "Dev.FrameLabel?", reply), 0);
    EXPECT_EQ(reply, "Rack 7");

    const auto frames = records();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].type, 701);
    EXPECT_EQ(frames[0].destination, second_id);
    EXPECT_EQ(frames[0].payload, "Dev.ModelName?");
    EXPECT_EQ(frames[1].payload, "Dev.FrameLabel=Rack 7");
    EXPECT_LT(frames[0].sequence, frames[1].sequence);
    EXPECT_NE(log_text().find("transceive_vkt_raw: Dev.ModelName?"), std::string::npos);
}

TEST_F(TransportTest, SilentAmplifierTimesOutAfterFourSendsOneSecond) {
    sim->expect_ok("fault " + first_id + " silent");
    std::string reply = "stale";
    double seconds = 0;
    EXPECT_EQ(text(first, "Dev.Power?", reply, &seconds), 13);
    EXPECT_TRUE(reply.empty());
    EXPECT_GE(seconds, 0.99);
    EXPECT_LT(seconds, 1.4);
    expect_four_sends(records(), 250);
}

TEST_F(TransportTest, SoftResetWaitsOneSecondPerTry) {
    sim->expect_ok("fault " + first_id + " silent");
    std::string reply;
    double seconds = 0;
    EXPECT_EQ(text(first, "Dev.Reset.Soft!", reply, &seconds), 13);
    EXPECT_GE(seconds, 3.99);
    EXPECT_LT(seconds, 4.5);
    expect_four_sends(records(), 1000);

    sim->expect_ok("clear");
    EXPECT_EQ(text(first, "Dev.Reset.Soft", reply, &seconds), 13);
    EXPECT_GE(seconds, 0.99);
    EXPECT_LT(seconds, 1.4);
    expect_four_sends(records(), 250);
}

TEST_F(TransportTest, SoftResetIsAnswered) {
    std::string reply;
    EXPECT_EQ(text(first, "Dev.Reset.Soft!", reply), 0);
    EXPECT_EQ(sim->expect_ok("resets " + first_id), "ok 1");
}

TEST_F(TransportTest, ReplyWithAnotherDestinationIsIgnored) {
    sim->expect_ok("fault " + first_id + " wrong_destination");
    std::string reply;
    EXPECT_EQ(text(first, "Dev.Power?", reply), 13);
    expect_four_sends(records(), 250);
}

TEST_F(TransportTest, LateReplyWithinTheRetriesIsTaken) {
    sim->expect_ok("fault " + first_id + " late 300");
    std::string reply;
    EXPECT_EQ(text(first, "Dev.Power?", reply), 0);
    EXPECT_EQ(reply, "1");
    EXPECT_EQ(records().size(), 2u);  // the answer to the first send came during the second wait
}

TEST_F(TransportTest, ReplyLaterThanEveryTryTimesOut) {
    sim->expect_ok("fault " + first_id + " late 1500");
    std::string reply;
    EXPECT_EQ(text(first, "Dev.Power?", reply), 13);
}

TEST_F(TransportTest, DuplicateReplyDoesNotAnswerTheNextExchange) {
    sim->expect_ok("fault " + first_id + " duplicate");
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    std::string reply;
    EXPECT_EQ(port.transact_text("Dev.Power?", reply), 0);
    EXPECT_EQ(reply, "1");
    EXPECT_EQ(port.transact_text("Dev.ModelName?", reply), 0);
    EXPECT_EQ(reply, "VR45:4M");
}

TEST_F(TransportTest, AcknowledgeAnswersTextAndBinaryRequests) {
    P20SPI::CCmdMonitorRd monitor;
    const auto& packet = monitor.serialise();
    for (const char* mode : {"ack", "nak"}) {
        sim->expect_ok("fault " + first_id + " " + mode);
        const int expected = std::string(mode) == "ack" ? 0 : 8;
        std::string reply;
        EXPECT_EQ(text(first, "Dev.Power=1", reply), expected) << mode;
        CVeltoEthPort port(interface_address);
        port.open_target(first);
        std::vector<std::uint32_t> words{1, 2};
        EXPECT_EQ(port.transact_packet(packet.words(), words), expected) << mode;
        EXPECT_TRUE(words.empty());
    }
}

TEST_F(TransportTest, BinaryParameterWriteAndReadRoundTrip) {
    CVeltoEthPort port(interface_address);
    port.open_target(second);
    P20SPI::CCmdParamWr write(P20SPI::CParamAddress(2, 300, 0), {0x01020304, 42});
    std::vector<std::uint32_t> reply;
    ASSERT_EQ(port.transact_packet(write.serialise().words(), reply), 0);
    P20SPI::CCmdParamWrResponse written;
    ASSERT_TRUE(written.parse(P20SPI::CPacket(reply)));
    EXPECT_EQ(written.return_code().code(), 0);

    P20SPI::CCmdParamRd read(P20SPI::CParamAddress(2, 300, 2));
    ASSERT_EQ(port.transact_packet(read.serialise().words(), reply), 0);
    P20SPI::CCmdParamRdResponse values;
    ASSERT_TRUE(values.parse(P20SPI::CPacket(reply)));
    EXPECT_EQ(values.values(), (std::vector<std::uint32_t>{0x01020304, 42}));

    const auto frames = records();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].type, 702);
    EXPECT_EQ(frames[1].payload.size(), 3u * 8 + 2);  // three words on the wire
}

TEST_F(TransportTest, BinaryReplyWithLengthByteZeroSucceedsEmpty) {
    sim->expect_ok("fault " + first_id + " empty");
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    P20SPI::CCmdMonitorRd monitor;
    std::vector<std::uint32_t> reply{7};
    EXPECT_EQ(port.transact_packet(monitor.serialise().words(), reply), 0);
    EXPECT_TRUE(reply.empty());
}

TEST_F(TransportTest, DamagedRepliesAreRejected) {
    P20SPI::CCmdMonitorRd monitor;
    const auto& packet = monitor.serialise();
    for (const char* mode : {"short", "length", "tiny_length", "truncated", "words", "unknown_type"}) {
        sim->expect_ok("fault " + first_id + " " + mode);
        sim->expect_ok("clear");
        CVeltoEthPort port(interface_address);
        port.open_target(first);
        std::vector<std::uint32_t> words;
        EXPECT_EQ(port.transact_packet(packet.words(), words), 13) << mode;
        EXPECT_TRUE(words.empty()) << mode;
        EXPECT_EQ(records().size(), 4u) << mode;
    }
    sim->expect_ok("fault " + first_id + " truncated");
    std::string reply;
    EXPECT_EQ(text(first, "Dev.Power?", reply), 13);
    const std::string log = log_text();
    EXPECT_NE(log.find("Unknown packet type: 703"), std::string::npos);
    EXPECT_NE(log.find("MIRA: damaged frame"), std::string::npos);
}

TEST_F(TransportTest, TextReplyWithoutNulIsClamped) {
    sim->expect_ok("fault " + first_id + " no_nul");
    std::string reply;
    EXPECT_EQ(text(first, "Dev.Power?", reply), 0);
    EXPECT_EQ(reply, std::string(120, 'X'));
}

TEST_F(TransportTest, DirtyStatusIsLogged) {
    sim->expect_ok("status " + first_id + " " + std::to_string(0x2001));
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    std::vector<std::uint8_t> payload;
    EXPECT_EQ(port.transact_text_raw("Dev.MD.FullBin?3", payload), 0);
    ASSERT_GE(payload.size(), 4u);
    EXPECT_EQ(payload[0], 0x01);
    EXPECT_EQ(payload[1], 0x20);
    EXPECT_NE(log_text().find("MIRA: Dirty flag detected."), std::string::npos);
}

TEST_F(TransportTest, PortWithoutTargetSendsNothing) {
    CVeltoEthPort port(interface_address);
    std::string reply;
    EXPECT_EQ(port.transact_text("Dev.Power?", reply), 3);
    std::vector<std::uint32_t> words;
    EXPECT_EQ(port.transact_packet(std::vector<std::uint32_t>{0x22010000}, words), 3);
    EXPECT_EQ(port.close_target(), 3);
    port.open_target(first);
    EXPECT_EQ(port.close_target(), 0);
    EXPECT_EQ(port.transact_text("Dev.Power?", reply), 3);
    std::uint32_t value = 0;
    EXPECT_EQ(port.set_option(1, 1), 10);
    EXPECT_EQ(port.get_option(1, value), 10);
    EXPECT_TRUE(records().empty());
}

TEST_F(TransportTest, OverlongCommandIsRefusedUnsent) {
    std::string reply;
    EXPECT_EQ(text(first, std::string(120, 'A'), reply), 1);
    EXPECT_TRUE(records().empty());
}

TEST_F(TransportTest, PortOnAnAddressNotOfThisMachineTimesOut) {
    CVeltoEthPort port("10.99.0.77");
    EXPECT_FALSE(port.has_socket());
    port.open_target(first);
    std::string reply;
    EXPECT_EQ(port.transact_text("Dev.Power?", reply), 13);
    std::vector<CDeviceAddress> found;
    port.discover(found);
    EXPECT_TRUE(found.empty());
}

TEST_F(TransportTest, RawFrameExchangeIsStampedAndAnswered) {
    // A text request built by hand: only its destination, kind, type and command matter.
    std::vector<std::uint8_t> frame(152, 0);
    const auto put32 = [&](std::size_t o, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) frame[o + i] = std::uint8_t(v >> (8 * i));
    };
    put32(8, first.id_high);
    put32(12, first.id_low);
    put32(16, 1 | (2u << 16));
    put32(20, 152 | (701u << 16));
    const std::string command = "Dev.ModelName?";
    std::copy(command.begin(), command.end(), frame.begin() + 28);
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    std::vector<std::uint8_t> reply;
    EXPECT_EQ(port.transact_frame(frame, reply), 0);
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + 7), "VR45:4M");
    EXPECT_EQ(port.transact_frame(std::vector<std::uint8_t>(20), reply), 1);
}

TEST_F(TransportTest, ConcurrentExchangesKeepTheirOwnReplies) {
    sim->expect_ok("set " + first_id + " Dev.FrameLabel?|one");
    sim->expect_ok("set " + second_id + " Dev.FrameLabel?|two");
    int wrong[2] = {0, 0};
    auto worker = [&](int which) {
        const CDeviceAddress& target = which == 0 ? first : second;
        const std::string expected = which == 0 ? "one" : "two";
        for (int i = 0; i < 50; ++i) {
            CVeltoEthPort port(interface_address);
            port.open_target(target);
            std::string reply;
            if (port.transact_text("Dev.FrameLabel?", reply) != 0 || reply != expected) ++wrong[which];
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}

// ---------------------------------------------------------------- batches

nox::amp::mira::batch_exchange text_item(const std::string& command) {
    nox::amp::mira::batch_exchange item;
    item.command = command;
    return item;
}

nox::amp::mira::batch_exchange packet_item(const P20SPI::CPacket& packet) {
    nox::amp::mira::batch_exchange item;
    item.binary = true;
    item.packet.assign(packet.words().begin(), packet.words().end());
    return item;
}

TEST_F(TransportTest, BatchSendsEveryFrameOnceAndMatchesEachReply) {
    sim->expect_ok("set " + first_id + " Dev.FrameLabel?|Rack 7");
    P20SPI::CCmdMonitorRd monitor;
    std::vector<nox::amp::mira::batch_exchange> batch{text_item("Dev.ModelName?"), text_item("Dev.Power?"),
                                                     packet_item(monitor.serialise()), text_item("Dev.FrameLabel?")};
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    const auto start = steady::now();
    port.transact_batch(batch);
    EXPECT_LT(steady::now() - start, std::chrono::milliseconds(200));
    for (const auto& item : batch) EXPECT_EQ(item.result, 0) << item.command;
    EXPECT_EQ(nox::amp::mira::payload_text(batch[0].payload), "VR45:4M");
    EXPECT_EQ(nox::amp::mira::payload_text(batch[1].payload), "1");
    EXPECT_EQ(batch[2].words.size(), 61u);
    EXPECT_EQ(nox::amp::mira::payload_text(batch[3].payload), "Rack 7");
    // The log lines are left to the caller, one per text exchange, none for a packet.
    EXPECT_EQ(batch[0].lines, std::vector<std::string>{"transceive_vkt_raw: Dev.ModelName?"});
    EXPECT_TRUE(batch[2].lines.empty());
    EXPECT_EQ(log_text().find("transceive_vkt_raw"), std::string::npos);

    const auto frames = records();
    ASSERT_EQ(frames.size(), 4u);
    for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_NE(frames[i].sequence, frames[i - 1].sequence);
}

TEST_F(TransportTest, BatchSendsAgainOnlyWhatWasNotAnswered) {
    sim->expect_ok("fault " + first_id + " silent count=2");
    std::vector<nox::amp::mira::batch_exchange> batch{text_item("Dev.ModelName?"), text_item("Dev.Power?"),
                                                     text_item("Dev.FrameLabel?")};
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    const auto start = steady::now();
    port.transact_batch(batch);
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    for (const auto& item : batch) EXPECT_EQ(item.result, 0) << item.command;
    EXPECT_EQ(nox::amp::mira::payload_text(batch[1].payload), "1");
    EXPECT_GE(seconds, 0.24);
    EXPECT_LT(seconds, 0.6);
    EXPECT_EQ(records().size(), 5u);  // three, then the two whose replies were dropped
}

TEST_F(TransportTest, SilentAmplifierTimesOutTheWholeBatchInOneSecond) {
    sim->expect_ok("fault " + first_id + " silent");
    std::vector<nox::amp::mira::batch_exchange> batch{text_item("Dev.ModelName?"), text_item("Dev.Power?")};
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    const auto start = steady::now();
    port.transact_batch(batch);
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    EXPECT_EQ(batch[0].result, 13);
    EXPECT_EQ(batch[1].result, 13);
    EXPECT_TRUE(batch[1].payload.empty());
    EXPECT_GE(seconds, 0.99);
    EXPECT_LT(seconds, 1.4);
    EXPECT_EQ(records().size(), 8u);
}

TEST_F(TransportTest, BatchKeepsTheNotesOfEachExchangeWithIt) {
    sim->expect_ok("fault " + first_id + " truncated count=1");
    sim->expect_ok("status " + first_id + " " + std::to_string(0x2001));
    std::vector<nox::amp::mira::batch_exchange> batch{text_item("Dev.Power?"), text_item("Dev.MD.FullBin?3"),
                                                     text_item(std::string(120, 'A'))};
    CVeltoEthPort port(interface_address);
    port.open_target(first);
    port.transact_batch(batch);
    EXPECT_EQ(batch[0].result, 0);
    ASSERT_EQ(batch[0].lines.size(), 2u);
    EXPECT_EQ(batch[0].lines[1].rfind("MIRA: damaged frame of type 701", 0), 0u) << batch[0].lines[1];
    EXPECT_EQ(batch[1].result, 0);
    EXPECT_EQ(batch[1].lines, (std::vector<std::string>{"transceive_vkt_raw: Dev.MD.FullBin?3",
                                                        "MIRA: Dirty flag detected."}));
    EXPECT_EQ(batch[2].result, 1);
    EXPECT_EQ(batch[2].lines.back(), "MIRA: command does not fit a frame, not sent.");
    EXPECT_EQ(records().size(), 3u);  // the overlong command never went out
}

TEST_F(TransportTest, BatchWithoutTargetSendsNothing) {
    CVeltoEthPort port(interface_address);
    std::vector<nox::amp::mira::batch_exchange> batch{text_item("Dev.Power?")};
    port.transact_batch(batch);
    EXPECT_EQ(batch[0].result, 3);
    EXPECT_TRUE(records().empty());
}

}  // namespace
