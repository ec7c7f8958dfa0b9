// Packet building and parsing, checked byte for byte against the test's own builders.
#include <gtest/gtest.h>

#include <stdexcept>

#include "backend/p20spi/commands.h"
#include "backend/p20spi/packet.h"
#include "backend/p20spi/return_code.h"
#include "tests/p20spi/wire_bytes.h"

using namespace P20SPI;
using namespace p20spi_test;

namespace {

bytes_t bytes_of(const CPacket& packet) { return to_bytes(packet.words()); }

CPacket packet_from(const bytes_t& bytes) { return CPacket(to_words(bytes)); }

}  // namespace

// --- checksum and packet -------------------------------------------------------------

TEST(PacketTest, MonitorReadRequestChecksumIs0x8A) {
    CCmdMonitorRd cmd;
    EXPECT_EQ(bytes_of(cmd.serialise()), (bytes_t{34, 0, 1, 0x8A}));
    EXPECT_EQ(fletcher_checksum(bytes_t{34, 0, 1, 0x55}), 0x8A) << "byte 3 counts as 0";
}

TEST(PacketTest, ChecksumAgreesWithClosedFormOnLongPackets) {
    bytes_t bytes;
    for (int i = 0; i < 244; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(255 - i * 7));
    }
    bytes[2] = 61;
    CPacket packet = packet_from(bytes);
    EXPECT_EQ(packet.compute_checksum(), reference_checksum(bytes));
    // A second sum of exactly 255 is stored as 0: all bytes 255 except the length.
    bytes_t full(8, 0);
    full[0] = 255;
    full[2] = 2;
    full[4] = 255;
    EXPECT_EQ(fletcher_checksum(full), reference_checksum(full));
}

TEST(PacketTest, BarePacketCarriesCode15) {
    CPacket packet;
    EXPECT_EQ(packet.code(), 15);
    EXPECT_EQ(packet.length(), 0);
    EXPECT_TRUE(packet.words().empty());
}

TEST(PacketTest, HeaderFieldsSitInTheirBytes) {
    CPacket packet;
    packet.set_code(16);
    packet.set_tag(0x1F);  // only bits 0..3 are the tag
    packet.set_length(3);
    EXPECT_EQ(packet.word(0), 0x0003'0F10u);
    EXPECT_EQ(packet.tag(), 0x0F);
    EXPECT_EQ(packet.size(), 3u);
    EXPECT_THROW(packet.set_length(62), std::length_error);
    EXPECT_THROW(packet.byte(244), std::out_of_range);
    EXPECT_THROW(packet.set_word(61, 0), std::out_of_range);
}

TEST(PacketTest, ByteSwappedViewReversesEveryWordButTheHeader) {
    CPacket packet(words_t{0x04030201, 0x11223344, 0xAABBCCDD});
    const auto view = packet.swapped();
    EXPECT_EQ(bytes_t(view.begin(), view.begin() + 12),
              (bytes_t{1, 2, 3, 4, 0x11, 0x22, 0x33, 0x44, 0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(packet.swapped_word(1), 0x44332211u);
    // The view follows later changes and is not shared by copies.
    CPacket copy = packet;
    packet.set_word(1, 0x01000000);
    EXPECT_EQ(packet.swapped_word(1), 1u);
    EXPECT_EQ(copy.swapped_word(1), 0x44332211u);
}

TEST(PacketTest, ReceivedWordsBeyond61AreDropped) {
    words_t words(70, 0xFFFFFFFF);
    CPacket packet;
    EXPECT_FALSE(packet.assign(words));
    EXPECT_EQ(packet.size(), 61u);
    EXPECT_TRUE(packet.assign(words_t(61, 1)));
}

TEST(PacketTest, AvailableWordsAreTheSmallerOfLengthAndReceived) {
    EXPECT_EQ(packet_from(packet_bytes(17, bytes_t(8, 0), 10)).available_words(), 3u);
    EXPECT_EQ(packet_from(packet_bytes(17, bytes_t(16, 0), 3)).available_words(), 3u);
    EXPECT_EQ(CPacket(words_t{}).available_words(), 0u);
}

// --- commands -------------------------------------------------------------------------

TEST(CommandTest, ReadOfBlock5Index300Count2) {
    CCmdParamRd cmd(CParamAddress(5, 300, 2));
    const bytes_t expected{16, 0, 3, 0xE6, 0, 5, 1, 44, 0, 0, 0, 2};
    EXPECT_EQ(reference_checksum(expected), 0xE6);
    EXPECT_EQ(bytes_of(cmd.serialise()), expected);
}

TEST(CommandTest, WriteCarriesValuesBigEndian) {
    CCmdParamWr cmd(CParamAddress(2, 7, 99), {16909060});
    const bytes_t got = bytes_of(cmd.serialise());
    EXPECT_EQ(got, packet_bytes(18, {0, 2, 0, 7, 0, 0, 0, 1, 1, 2, 3, 4}));
    EXPECT_EQ(got[2], 4) << "length";
    EXPECT_EQ(cmd.address().count(), 1u) << "count follows the values";
}

TEST(CommandTest, WriteOf58ValuesFillsThePacket) {
    std::vector<std::uint32_t> values(58);
    for (std::uint32_t i = 0; i < 58; ++i) {
        values[i] = 0x01010101u * i;
    }
    CCmdParamWr cmd(CParamAddress(4, 0x1234, 0), values);
    const CPacket& packet = cmd.serialise();
    EXPECT_EQ(packet.length(), 61);
    EXPECT_EQ(packet.be32(12 + 4 * 57), 0x01010101u * 57);
    EXPECT_TRUE(packet.checksum_valid());
}

TEST(CommandTest, AddressesThatDoNotFitTheWireAreRefused) {
    EXPECT_THROW(CCmdParamRd(CParamAddress(256, 0, 1)).serialise(), std::out_of_range);
    EXPECT_THROW(CCmdParamRd(CParamAddress(0, 65536, 1)).serialise(), std::out_of_range);
    EXPECT_THROW(CCmdParamRd(CParamAddress(0, 0, 59)).serialise(), std::out_of_range);
    EXPECT_NO_THROW(CCmdParamRd(CParamAddress(255, 65535, 58)).serialise());
    EXPECT_THROW(CCmdParamWr(CParamAddress(0, 0, 0), std::vector<std::uint32_t>(59)).serialise(),
                 std::out_of_range);
}

TEST(CommandTest, SerialisingAgainRebuildsFromTheFields) {
    CCmdParamWr cmd(CParamAddress(1, 1, 0), {1, 2, 3});
    cmd.serialise();
    cmd.set_values({9});
    const CPacket& packet = cmd.serialise();
    EXPECT_EQ(packet.length(), 4);
    EXPECT_EQ(packet.size(), 4u);
    EXPECT_EQ(packet.word(4), 0u) << "no stale value after the shorter write";
}

// --- read responses -------------------------------------------------------------------

TEST(ReadResponseTest, ParsesAddressReturnCodeAndValues) {
    CCmdParamRdResponse rsp;
    ASSERT_TRUE(rsp.parse(packet_from(param_response(17, 5, 300, 6, 2, {0x01020304, 0xFFFFFFFE}))));
    EXPECT_EQ(rsp.address(), CParamAddress(5, 300, 2));
    EXPECT_EQ(rsp.return_code().code(), 6);
    EXPECT_TRUE(rsp.return_code().is_success());
    EXPECT_EQ(rsp.values(), (words_t{0x01020304, 0xFFFFFFFE}));
}

TEST(ReadResponseTest, ReturnCodeByteIsSigned) {
    CCmdParamRdResponse rsp;
    ASSERT_TRUE(rsp.parse(packet_from(param_response(17, 5, 300, 0xF6, 0))));
    EXPECT_EQ(rsp.return_code().code(), -10);
    EXPECT_STREQ(rsp.return_code().text(), "Bad address");
    EXPECT_FALSE(rsp.return_code().is_success());
}

TEST(ReadResponseTest, OtherCommandBytesParseAsFalse) {
    CCmdParamRdResponse rsp;
    EXPECT_FALSE(rsp.parse(packet_from(param_response(19, 5, 300, 0, 0))));
    EXPECT_FALSE(rsp.parse(CPacket()));
    EXPECT_FALSE(rsp.parse(CPacket(words_t{})));
}

TEST(ReadResponseTest, TruncatedPacketsAreRejected) {
    CCmdParamRdResponse rsp;
    bytes_t whole = param_response(17, 1, 2, 0, 1, {7});
    // Two words received although the header says four.
    EXPECT_FALSE(rsp.parse(packet_from(bytes_t(whole.begin(), whole.begin() + 8))));
    // A length byte of 2 hides the address and count.
    whole[2] = 2;
    EXPECT_FALSE(rsp.parse(packet_from(whole)));
}

TEST(ReadResponseTest, CountLargerThanThePacketIsRejectedOnSuccess) {
    CCmdParamRdResponse rsp;
    // Count 200 with one value present; every other word is zero storage.
    EXPECT_FALSE(rsp.parse(packet_from(param_response(17, 1, 2, 0, 200, {7}))));
    EXPECT_TRUE(rsp.values().empty());
    // The length byte rules even when more words arrived: count 2 but length 4.
    bytes_t padded = param_response(17, 1, 2, 0, 2, {7, 8});
    padded[2] = 4;
    EXPECT_FALSE(rsp.parse(packet_from(padded)));
}

TEST(ReadResponseTest, ErrorReplyKeepsItsCodeWhenValuesAreMissing) {
    CCmdParamRdResponse rsp;
    ASSERT_TRUE(rsp.parse(packet_from(param_response(17, 5, 300, 0xF6, 2))));
    EXPECT_EQ(rsp.return_code().code(), -10);
    EXPECT_TRUE(rsp.values().empty());
    EXPECT_EQ(rsp.address().count(), 2u);
}

TEST(ReadResponseTest, FailedParseClearsEarlierResults) {
    CCmdParamRdResponse rsp;
    ASSERT_TRUE(rsp.parse(packet_from(param_response(17, 5, 300, 0, 1, {42}))));
    EXPECT_FALSE(rsp.parse(packet_from(param_response(35, 5, 300, 0, 1, {42}))));
    EXPECT_TRUE(rsp.values().empty());
}

// --- write, fault and monitor responses ----------------------------------------------

TEST(WriteResponseTest, ParsesAddressAndReturnCode) {
    CCmdParamWrResponse rsp;
    ASSERT_TRUE(rsp.parse(packet_from(param_response(19, 2, 7, 0xF8, 1))));
    EXPECT_EQ(rsp.address(), CParamAddress(2, 7, 1));
    EXPECT_EQ(rsp.return_code().code(), -8);
    EXPECT_FALSE(rsp.parse(packet_from(param_response(17, 2, 7, 0, 1, {1}))));
    EXPECT_FALSE(rsp.parse(CPacket(words_t{19 | (3u << 16)})));
}

TEST(FaultResponseTest, ReadsTheFaultCodeFromByte7) {
    CCmdFaultResponse rsp;
    ASSERT_TRUE(rsp.parse(packet_from(packet_bytes(15, {0, 0, 0, 0x5A}))));
    EXPECT_EQ(rsp.fault().code(), 0x5A);
    EXPECT_FALSE(rsp.parse(CPacket(words_t{15 | (2u << 16)})));
}

TEST(MonitorResponseTest, ReadingsComeFromTheByteSwappedView) {
    words_t block(60, 0);
    block[0] = 0x80000001;  // amplifier status
    block[3] = 0x00012345;  // channel 2 status
    block[15] = 1000;       // channel 1 power
    block[22] = 230;        // channel 4 voltage
    block[26] = 0xDEADBEEF; // channel 4 current
    block[27] = 6;          // channel 1 gain reduction
    CCmdMonitorRdResponse rsp;
    ASSERT_TRUE(rsp.parse(packet_from(monitor_response(block))));
    const CP20MonitorData& d = rsp.data();
    EXPECT_EQ(d.status_block()[0], 0x80000001u);
    EXPECT_EQ(d.amplifier.value(), 0x80000001u);
    EXPECT_EQ(d.channel_status[1].value(), 0x00012345u);
    EXPECT_EQ(d.power[0].value(), 1000u);
    EXPECT_EQ(d.voltage[3].value(), 230u);
    EXPECT_EQ(d.current[3].value(), 0xDEADBEEFu);
    EXPECT_EQ(d.gain_reduction[0].value(), 6u);
    EXPECT_STREQ(d.gain_reduction[0].name(), "channel gain reduction");
}

TEST(MonitorResponseTest, ShortMonitorReplyIsRejected) {
    bytes_t bytes = monitor_response(words_t(60, 1));
    CCmdMonitorRdResponse rsp;
    EXPECT_FALSE(rsp.parse(packet_from(bytes_t(bytes.begin(), bytes.begin() + 4 * 60))));
    bytes[2] = 16;
    EXPECT_FALSE(rsp.parse(packet_from(bytes)));
    EXPECT_EQ(rsp.data().status_block()[0], 0u);
}

// --- return codes ---------------------------------------------------------------------

TEST(ReturnCodeTest, TextsOfTheDefinedCodes) {
    const std::pair<int, const char*> cases[] = {
        {0, "Ok"},
        {4, "Receiver returned parameter not for me"},
        {6, "Parameter accepted"},
        {10, "Parameter read only"},
        {-4, "Buffer to small"},
        {-13, "Overflow"},
        {-21, "Not supprted tag"},
        {-30, "Message unknown"},
        {-102, "No such rm endpoint"},
        {11, "Unknown error code"},
        {-14, "Unknown error code"},
        {-128, "Unknown error code"},
    };
    for (const auto& [code, text] : cases) {
        EXPECT_STREQ(CParamReturnCode(code).text(), text) << code;
    }
    EXPECT_TRUE(CParamReturnCode(0).is_success());
    EXPECT_TRUE(CParamReturnCode(6).is_success());
    EXPECT_FALSE(CParamReturnCode(7).is_success());
}
