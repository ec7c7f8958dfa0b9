// The frame codec over plain bytes, cross-checked against the simulator's independent
// reading and writing of the same format.
#include "backend/amp/mira_frame.h"
#include "tools/mira_sim/sim_wire.h"

#include <gtest/gtest.h>

#include <random>

namespace {

namespace mira = nox::amp::mira;
using bytes = std::vector<std::uint8_t>;

const nox::amp::device_address amp{0x00010002, 0x00030004, 5};
constexpr std::uint64_t source = 0x0123456789abcdefull;
constexpr std::uint32_t sequence = 7;

// A reply to our request (source, sequence) in the given type and size.
bytes reply_frame(std::uint16_t type, std::size_t size, std::uint16_t length) {
    bytes f(size, 0);
    mira::frame_header h;
    h.source = amp.id();
    h.destination = source;
    h.route = 1;
    h.kind = amp.kind;
    h.length = length;
    h.type = type;
    h.sequence = sequence;
    if (size >= mira::header_size) mira::write_header(f, h);
    return f;
}

mira::exchange_reply decode(const bytes& f) { return mira::decode_reply(f, source, sequence); }

TEST(HeartbeatHash, MatchesReferenceValues) {
    bytes frame(100, 0);
    EXPECT_EQ(mira::heartbeat_hash(frame), 0u);
    frame[0] = 1;
    EXPECT_EQ(mira::heartbeat_hash(frame), 0x10008200u);
    for (std::size_t i = 0; i < 48; ++i) mira::put_le16(frame, 2 * i, static_cast<std::uint16_t>(i * 0x0101));
    EXPECT_EQ(mira::heartbeat_hash(frame), 0xf1e6ce25u);
}

TEST(HeartbeatHash, AgreesWithTheSimulatorOnRandomFrames) {
    std::mt19937 random(42);
    for (int round = 0; round < 100; ++round) {
        bytes frame(100);
        for (auto& b : frame) b = static_cast<std::uint8_t>(random());
        EXPECT_EQ(mira::heartbeat_hash(frame), mira_sim::heartbeat_check(frame));
    }
}

TEST(Heartbeat, IsBuiltWithDestinationRouteAndHash) {
    const auto frame = mira::build_heartbeat(source, sequence);
    const auto header = mira::read_header(frame);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->destination, mira::heartbeat_destination);
    EXPECT_EQ(mira::get_le32(frame, 16), 6u);
    EXPECT_EQ(header->length, 100);
    EXPECT_EQ(header->type, 4);
    EXPECT_EQ(header->sequence, sequence);
    EXPECT_EQ(mira::get_le32(frame, 96), 0xb4d866b8u);
    const auto seen = mira_sim::parse_request(frame);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(seen->hash_ok);
}

TEST(TextFrame, CarriesTheCommandNulPadded) {
    const auto frame = mira::build_text_frame(amp, source, sequence, "Dev.Power?");
    ASSERT_TRUE(frame);
    const auto seen = mira_sim::parse_request(*frame);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->source, source);
    EXPECT_EQ(seen->destination, amp.id());
    EXPECT_EQ(seen->route, 1);
    EXPECT_EQ(seen->kind, 5);
    EXPECT_EQ(seen->length, 152);
    EXPECT_EQ(seen->type, 701);
    EXPECT_EQ(seen->text, "Dev.Power?");
    for (std::size_t i = 28 + 10; i < 152; ++i) EXPECT_EQ((*frame)[i], 0) << i;
}

TEST(TextFrame, RefusesCommandsThatDoNotFit) {
    EXPECT_TRUE(mira::build_text_frame(amp, source, sequence, std::string(119, 'x')));
    EXPECT_FALSE(mira::build_text_frame(amp, source, sequence, std::string(120, 'x')));
    EXPECT_FALSE(mira::build_text_frame(amp, source, sequence, std::string("Dev\0X", 5)));
}

TEST(BinaryFrame, CarriesWordsBigEndian) {
    const std::vector<std::uint32_t> words{0x01020304, 0xA0B0C0D0};
    const auto frame = mira::build_binary_frame(amp, source, sequence, words);
    ASSERT_TRUE(frame);
    EXPECT_EQ((*frame)[28], 0x01);
    EXPECT_EQ((*frame)[31], 0x04);
    EXPECT_EQ((*frame)[32], 0xA0);
    EXPECT_EQ(mira::get_le16(*frame, 20), 280);
    EXPECT_EQ(mira::get_le16(*frame, 22), 702);
    EXPECT_TRUE(mira::build_binary_frame(amp, source, sequence, std::vector<std::uint32_t>(62)));
    EXPECT_FALSE(mira::build_binary_frame(amp, source, sequence, std::vector<std::uint32_t>(63)));
}

TEST(DecodeReply, MatchesOnSequenceAndDestination) {
    bytes f = reply_frame(701, 152, 152);
    EXPECT_EQ(decode(f).kind, mira::reply_kind::text);
    EXPECT_EQ(mira::decode_reply(f, source, sequence + 1).kind, mira::reply_kind::not_ours);
    EXPECT_EQ(mira::decode_reply(f, source + 1, sequence).kind, mira::reply_kind::not_ours);
}

TEST(DecodeReply, FrameShorterThanItsHeaderIsNotRead) {
    for (std::size_t size : {0u, 1u, 20u, 27u}) {
        EXPECT_EQ(decode(bytes(size, 0xFF)).kind, mira::reply_kind::not_ours) << size;
    }
}

TEST(DecodeReply, AcknowledgeIsPositiveOnlyForFFFFFFFE) {
    bytes f = reply_frame(2, 32, 32);
    mira::put_le32(f, 28, 0xFFFFFFFE);
    EXPECT_EQ(decode(f).kind, mira::reply_kind::ack);
    mira::put_le32(f, 28, 0xFFFFFFFF);
    EXPECT_EQ(decode(f).kind, mira::reply_kind::nak);
    EXPECT_EQ(decode(bytes(f.begin(), f.begin() + 30)).kind, mira::reply_kind::damaged);
}

TEST(DecodeReply, TextPayloadStopsAtTheLengthField) {
    bytes f = reply_frame(701, 152, 40);
    const std::string text = "VR45:4M!";  // fills bytes 28..35 exactly, no NUL
    std::copy(text.begin(), text.end(), f.begin() + 28);
    f[36] = 'Z';  // check word area: not payload
    const auto reply = decode(f);
    ASSERT_EQ(reply.kind, mira::reply_kind::text);
    EXPECT_EQ(mira::payload_text(reply.payload), "VR45:4M!");
}

TEST(DecodeReply, TextPayloadIsClampedToTheCallersBuffer) {
    bytes f = reply_frame(701, 400, 400);
    std::fill(f.begin() + 28, f.end(), 'X');
    const auto reply = decode(f);
    ASSERT_EQ(reply.kind, mira::reply_kind::text);
    EXPECT_EQ(reply.payload.size(), mira::text_payload_size);
    EXPECT_EQ(mira::payload_text(reply.payload), std::string(120, 'X'));
}

TEST(DecodeReply, LengthFieldMustFitTheDatagram) {
    EXPECT_EQ(decode(reply_frame(701, 152, 153)).kind, mira::reply_kind::damaged);
    EXPECT_EQ(decode(reply_frame(701, 60, 152)).kind, mira::reply_kind::damaged);
    EXPECT_EQ(decode(reply_frame(701, 152, 31)).kind, mira::reply_kind::damaged);
    EXPECT_EQ(decode(reply_frame(702, 280, 0xFFFF)).kind, mira::reply_kind::damaged);
}

TEST(DecodeReply, DirtyFlagIsSeenInAStatusReply) {
    bytes f = reply_frame(701, 152, 152);
    mira::put_le32(f, 28, 0x00002001);
    EXPECT_TRUE(decode(f).dirty);
    mira::put_le32(f, 28, 0x00004002);  // byte 28 is not 1
    EXPECT_FALSE(decode(f).dirty);
}

TEST(DecodeReply, BinaryWordsCountedByByte29) {
    bytes f = reply_frame(702, 280, 280);
    mira::put_be32(f, 28, 0x11020304);  // header word: byte 29 = 2 words
    mira::put_be32(f, 32, 0xCAFEBABE);
    const auto reply = decode(f);
    ASSERT_EQ(reply.kind, mira::reply_kind::binary);
    EXPECT_EQ(reply.words, (std::vector<std::uint32_t>{0x11020304, 0xCAFEBABE}));
}

TEST(DecodeReply, BinaryWithLengthByteZeroHasNoWords) {
    const auto reply = decode(reply_frame(702, 280, 280));
    EXPECT_EQ(reply.kind, mira::reply_kind::binary);
    EXPECT_TRUE(reply.words.empty());
}

TEST(DecodeReply, BinaryPromisingMoreWordsThanArrivedIsDamaged) {
    bytes f = reply_frame(702, 48, 48);  // room for 4 words before the check word
    f[29] = 4;
    EXPECT_EQ(decode(f).kind, mira::reply_kind::binary);
    f[29] = 5;
    EXPECT_EQ(decode(f).kind, mira::reply_kind::damaged);
    f[29] = 255;
    EXPECT_EQ(decode(f).kind, mira::reply_kind::damaged);
    EXPECT_EQ(decode(reply_frame(702, 32, 32)).kind, mira::reply_kind::damaged);  // no room for byte 29

    // A longer datagram does not make room for more than a binary frame's 62 words.
    bytes big = reply_frame(702, 400, 400);
    big[29] = 62;
    EXPECT_EQ(decode(big).kind, mira::reply_kind::binary);
    big[29] = 63;
    EXPECT_EQ(decode(big).kind, mira::reply_kind::damaged);
}

TEST(DecodeReply, OtherTypesAreReportedAsUnknown) {
    const auto reply = decode(reply_frame(703, 152, 152));
    EXPECT_EQ(reply.kind, mira::reply_kind::unknown_type);
    EXPECT_EQ(reply.type, 703);
}

TEST(DecodeReply, ReadsTheSimulatorsReplies) {
    const mira_sim::reply_address to{amp.id(), amp.kind, source, sequence};
    auto text = decode(mira_sim::text_reply(to, "Stage left"));
    ASSERT_EQ(text.kind, mira::reply_kind::text);
    EXPECT_EQ(mira::payload_text(text.payload), "Stage left");
    auto binary = decode(mira_sim::binary_reply(to, {0x11030000, 1, 2}));
    ASSERT_EQ(binary.kind, mira::reply_kind::binary);
    EXPECT_EQ(binary.words, (std::vector<std::uint32_t>{0x11030000, 1, 2}));
    EXPECT_EQ(decode(mira_sim::ack_reply(to, 0xFFFFFFFE)).kind, mira::reply_kind::ack);
}

TEST(HeartbeatReply, AcceptsKinds2And5WithProducts19To27) {
    mira::heartbeat_reply reply;
    const auto frame = mira_sim::heartbeat_reply(amp.id(), 5, 19, sequence, source);
    ASSERT_EQ(mira::decode_heartbeat_reply(frame, reply), mira::heartbeat_verdict::accepted);
    EXPECT_EQ(reply.address, amp);
    EXPECT_EQ(reply.product, 19);
    EXPECT_EQ(mira::decode_heartbeat_reply(mira_sim::heartbeat_reply(1, 2, 27, 1, 1), reply),
              mira::heartbeat_verdict::accepted);
}

TEST(HeartbeatReply, FiltersProductKindTypeAndSize) {
    mira::heartbeat_reply reply;
    EXPECT_EQ(mira::decode_heartbeat_reply(mira_sim::heartbeat_reply(1, 2, 18, 1, 1), reply),
              mira::heartbeat_verdict::wrong_product);
    EXPECT_EQ(mira::decode_heartbeat_reply(mira_sim::heartbeat_reply(1, 2, 28, 1, 1), reply),
              mira::heartbeat_verdict::wrong_product);
    EXPECT_EQ(mira::decode_heartbeat_reply(mira_sim::heartbeat_reply(1, 3, 20, 1, 1), reply),
              mira::heartbeat_verdict::wrong_kind);
    auto frame = mira_sim::heartbeat_reply(1, 2, 20, 1, 1);
    mira::put_le16(frame, 22, 4);
    EXPECT_EQ(mira::decode_heartbeat_reply(frame, reply), mira::heartbeat_verdict::not_a_reply);
    frame.resize(104);
    EXPECT_EQ(mira::decode_heartbeat_reply(frame, reply), mira::heartbeat_verdict::too_short);
}

}  // namespace
