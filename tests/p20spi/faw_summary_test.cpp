// The fault-and-warning summary: hand-worked status blocks and their 26 published numbers.
#include <gtest/gtest.h>

#include <array>

#include "backend/p20spi/commands.h"
#include "backend/p20spi/faw_summary.h"
#include "tests/p20spi/wire_bytes.h"

using namespace P20SPI;
using namespace p20spi_test;

namespace {

using six_t = std::array<std::uint32_t, 6>;

// Status block with the given words set (index, value).
words_t block_with(std::initializer_list<std::pair<int, std::uint32_t>> set) {
    words_t block(15, 0);
    for (const auto& [w, v] : set) {
        block[w] = v;
    }
    return block;
}

words_t flat_of(const words_t& block) {
    words_t out;
    EXPECT_EQ(summarize_monitor(block, out), 0);
    EXPECT_EQ(out.size(), 26u);
    return out;
}

// Channel k (0..3): amplifier status, reason, load status, reason, signal status, reason.
six_t channel(const words_t& flat, int k) {
    six_t c{};
    for (int i = 0; i < 6; ++i) {
        c[i] = flat[2 + 6 * k + i];
    }
    return c;
}

const six_t kQuiet{0, 0, 0, 0, 0, 0};
const six_t kAllUnknown{3, 0, 3, 0, 3, 0};

}  // namespace

TEST(FawSummaryTest, AllZeroBlockReportsNothing) {
    EXPECT_EQ(flat_of(block_with({})), words_t(26, 0));
}

TEST(FawSummaryTest, AmplifierWordWithoutBit0MarksEverythingStatus3) {
    // Bit 6 alone has a rule with nothing to report, so only the bit-0 rule speaks.
    const words_t flat = flat_of(block_with({{0, 0x40}}));
    EXPECT_EQ(flat[0], 0u);
    EXPECT_EQ(flat[1], 0u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(channel(flat, k), kAllUnknown) << k;
    }
}

TEST(FawSummaryTest, LessImportantResultDoesNotOverrideChannels) {
    // Bit 1: PSU FAULT (17) at priority 30 sets the amplifier, but the channels keep the
    // status 3 of the bit-0 rule (priority 18).
    const words_t flat = flat_of(block_with({{0, 0x2}}));
    EXPECT_EQ(flat[0], 2u);
    EXPECT_EQ(flat[1], 17u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(channel(flat, k), kAllUnknown) << k;
    }
}

TEST(FawSummaryTest, ChannelWordBit8) {
    const words_t flat = flat_of(block_with({{1, 0x100}}));
    EXPECT_EQ(flat[0], 0u);
    EXPECT_EQ(flat[1], 0u);
    // Signal status 3 from bit 8 (priority 61); load status 3 from bit 9 clear (62).
    EXPECT_EQ(channel(flat, 0), (six_t{0, 0, 3, 0, 3, 0}));
    for (int k = 1; k < 4; ++k) {
        EXPECT_EQ(channel(flat, k), kQuiet) << k;
    }
}

TEST(FawSummaryTest, ZeroStatusWordSkipsItsRules) {
    // Word 3 (channel 2) non-zero with a bit that reports nothing: bit 9 clear still
    // marks the load 3. With word 3 zero, none of its rules runs.
    EXPECT_EQ(channel(flat_of(block_with({{3, 0x1000}})), 1), (six_t{0, 0, 3, 0, 0, 0}));
    EXPECT_EQ(channel(flat_of(block_with({})), 1), kQuiet);
}

TEST(FawSummaryTest, ChannelRulesReachTheirOwnChannel) {
    // Words 1, 3, 5, 7 are channels 1..4: WRONG LOAD (25) on the load, CAL ACTIVE (26)
    // on the signal, both more important than the defaults of bits 8 and 9.
    const std::uint32_t w = 0x200 | 0x400 | 0x400000;
    for (int k = 0; k < 4; ++k) {
        const words_t flat = flat_of(block_with({{1 + 2 * k, w}}));
        for (int other = 0; other < 4; ++other) {
            EXPECT_EQ(channel(flat, other), (other == k ? six_t{0, 0, 2, 25, 2, 26} : kQuiet))
                << "word " << 1 + 2 * k << " channel " << other;
        }
    }
}

TEST(FawSummaryTest, MostImportantChannelResultWins) {
    // Bits 27..28 = 2: TEMP FAULT (21) at priority 19 on all three categories; bit 31:
    // SERVICE CH. (24) at 28 comes later but is less important.
    const words_t flat = flat_of(block_with({{5, (2u << 27) | (1u << 31)}}));
    EXPECT_EQ(channel(flat, 2), (six_t{2, 21, 3, 21, 3, 21}));
    EXPECT_EQ(flat[0], 0u) << "channel rules never touch the amplifier";
}

TEST(FawSummaryTest, EqualPriorityLaterResultWinsOnChannels) {
    // Word 0 bits 13..14 = 1: SELFTEST ERR (43) at 29 on every load and amplifier
    // category and channel 1's signal; then word 1 bit 22: WRONG LOAD (25) at 29 too.
    const words_t flat = flat_of(block_with({{0, 1 | (1u << 13)}, {1, 1u << 22}}));
    EXPECT_EQ(flat[0], 2u);
    EXPECT_EQ(flat[1], 43u);
    EXPECT_EQ(channel(flat, 0), (six_t{3, 43, 2, 25, 3, 43}));
    EXPECT_EQ(channel(flat, 1), (six_t{3, 43, 3, 43, 0, 0}));
    EXPECT_EQ(channel(flat, 3), (six_t{3, 43, 3, 43, 0, 0}));
}

TEST(FawSummaryTest, EqualPriorityDoesNotReplaceTheAmplifierResult) {
    // PAL ACTIVE (29) and PAL ACT. WARN (32) both at priority 47: the first stays.
    const words_t flat = flat_of(block_with({{0, 1 | 4}, {12, 1u << 8}}));
    EXPECT_EQ(flat[0], 1u);
    EXPECT_EQ(flat[1], 29u);
    // A more important one replaces it: PSU SAFEMODE (1) at priority 2.
    const words_t worse = flat_of(block_with({{0, 1 | 4}, {12, 1u << 10}}));
    EXPECT_EQ(worse[0], 2u);
    EXPECT_EQ(worse[1], 1u);
    EXPECT_EQ(channel(worse, 2), (six_t{3, 1, 3, 1, 3, 1}));
}

TEST(FawSummaryTest, ServiceCodesOfTheFourBitField) {
    for (std::uint32_t x = 1; x <= 8; ++x) {
        const words_t flat = flat_of(block_with({{12, x << 12}}));
        EXPECT_EQ(flat[0], 2u) << x;
        EXPECT_EQ(flat[1], 3 + x) << x;  // NEED SERVICE:1 .. :8 are reasons 4 .. 11
        EXPECT_EQ(reason_text(flat[1]), "NEED SERVICE:" + std::to_string(x));
    }
    // Field values without a result report nothing.
    for (std::uint32_t x = 9; x <= 15; ++x) {
        EXPECT_EQ(flat_of(block_with({{12, x << 12}})), words_t(26, 0)) << x;
    }
}

TEST(FawSummaryTest, ResultListedBeyondAOneBitFieldNeverFires) {
    // Word 12 bit 2 lists MAINS >400 VPK under x = 2, out of reach of one bit.
    EXPECT_EQ(flat_of(block_with({{12, 1u << 2}})), words_t(26, 0));
}

TEST(FawSummaryTest, WordsWithoutRulesAreIgnored) {
    EXPECT_EQ(flat_of(block_with({{2, ~0u}, {4, ~0u}, {9, ~0u}, {13, ~0u}, {14, ~0u}})),
              words_t(26, 0));
}

TEST(FawSummaryTest, SummaryWordLayout) {
    const CFawSummary s = summarize_faults(CMonitorStatusBlock{0, 0, 0, 0, 0, (2u << 27)});
    // Channel 3: load 3/21 in bits 30..31/24..29, amplifier 2/21 in 22..23/16..21,
    // signal 3/21 in 14..15/8..13.
    EXPECT_EQ(s[3], (3u << 30) | (21u << 24) | (2u << 22) | (21u << 16) | (3u << 14) | (21u << 8));
    EXPECT_EQ(s[0], 0u);
}

TEST(FawSummaryTest, FlattenOrder) {
    CFawSummary s{};
    s[0] = (2u << 30) | (45u << 24);
    s[4] = (1u << 30) | (2u << 24) | (2u << 22) | (3u << 16) | (3u << 14) | (4u << 8);
    const CFlatSummary flat = flatten_summary(s);
    EXPECT_EQ(flat[0], 2u);
    EXPECT_EQ(flat[1], 45u);
    EXPECT_EQ((six_t{flat[20], flat[21], flat[22], flat[23], flat[24], flat[25]}),
              (six_t{2, 3, 1, 2, 3, 4}));
}

TEST(FawSummaryTest, ShortBlockIsRefused) {
    words_t out{1, 2, 3};
    EXPECT_EQ(summarize_monitor(words_t(14, 1), out), 1);
    EXPECT_TRUE(out.empty());
    // Extra words after the fifteenth are ignored.
    words_t longer(40, 0);
    longer[20] = ~0u;
    EXPECT_EQ(summarize_monitor(longer, out), 0);
    EXPECT_EQ(out, words_t(26, 0));
}

TEST(FawSummaryTest, MonitorResponseFeedsTheSummary) {
    CCmdMonitorRdResponse rsp;
    ASSERT_TRUE(rsp.parse(CPacket(to_words(monitor_response({0, 0x100})))));
    words_t out;
    EXPECT_EQ(summarize_monitor(rsp, out), 0);
    EXPECT_EQ(channel(out, 0), (six_t{0, 0, 3, 0, 3, 0}));
}

TEST(FawSummaryTest, ReasonTexts) {
    EXPECT_EQ(reason_text(0), "");
    EXPECT_EQ(reason_text(1), "PSU SAFEMODE");
    EXPECT_EQ(reason_text(14), "MAINS >400 VPK");
    EXPECT_EQ(reason_text(36), "TEMP WARN: PSU");
    EXPECT_EQ(reason_text(45), "UPGRADE PSU");
    EXPECT_EQ(reason_text(46), "");
    EXPECT_EQ(reason_text(47), "Unknown: 47");
    EXPECT_EQ(reason_text(63), "Unknown: 63");
}
