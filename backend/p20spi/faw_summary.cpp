#include "backend/p20spi/faw_summary.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "backend/p20spi/commands.h"

namespace P20SPI {

namespace {

// A rule's result packs everything into one word:
//   bits 0..7    priority (0xFF: nothing to report; lower is more important)
//   bits 8..13   reason value
//   bit 15       must be 0
//   bits 16..19, 20..23, 24..27   entries for categories 0 (load), 1 (amplifier), 2 (signal)
//   bits 28..31  amplifier entry
// A category entry e != 0 writes status (e & 7) - 1 into the rule's channel, or into all
// four channels when bit 3 is set (12: all channels, status 3; 4: this channel, status 3;
// 1: this channel, status 0). An amplifier entry a != 0 writes status a - 1.
constexpr std::uint32_t result(std::uint32_t priority, std::uint32_t reason, std::uint32_t load,
                               std::uint32_t amp, std::uint32_t signal, std::uint32_t frame) {
    return priority | (reason << 8) | (load << 16) | (amp << 20) | (signal << 24) | (frame << 28);
}
constexpr std::uint32_t kNone = 0xFF;

constexpr std::size_t kMaxResults = 9;

// One rule before it is bound to a status word and a channel.
struct SRuleSpec {
    std::uint8_t shift;
    std::uint8_t width;
    std::uint8_t count;
    std::array<std::uint32_t, kMaxResults> results;
};

template <typename... R>
constexpr SRuleSpec spec(unsigned shift, unsigned width, R... results) {
    static_assert(sizeof...(R) >= 1 && sizeof...(R) <= kMaxResults);
    return SRuleSpec{static_cast<std::uint8_t>(shift), static_cast<std::uint8_t>(width),
                     static_cast<std::uint8_t>(sizeof...(R)),
                     {static_cast<std::uint32_t>(results)...}};
}

// Amplifier status word 0 (results refer to channel 1).
constexpr SRuleSpec kWord0Rules[] = {
    spec(0, 1, result(18, 0, 12, 12, 12, 0)),
    spec(1, 1, kNone, result(30, 17, 12, 12, 12, 3)),
    spec(2, 1, kNone, result(47, 29, 0, 0, 0, 2)),
    spec(3, 1, kNone, result(5, 3, 12, 12, 12, 3)),
    spec(4, 2, kNone, result(51, 36, 0, 0, 0, 2), result(17, 12, 12, 12, 12, 3)),
    spec(6, 1, kNone, result(64, 0, 0, 0, 0, 0)),
    spec(8, 2, kNone, kNone, result(18, 13, 0, 0, 0, 3)),
    spec(12, 1, kNone, result(3, 2, 12, 0, 0, 3)),
    spec(13, 2, kNone, result(29, 43, 12, 12, 4, 3), result(29, 44, 0, 0, 0, 2)),
    spec(15, 1, kNone, result(60, 45, 0, 0, 0, 2)),
};

// Channel status words 1, 3, 5, 7 (channels 1..4) share these rules.
constexpr SRuleSpec kChannelRules[] = {
    spec(8, 1, result(62, 0, 0, 0, 1, 0), result(61, 0, 0, 0, 4, 0)),
    spec(9, 1, result(62, 0, 4, 0, 0, 0), result(61, 0, 1, 0, 0, 0)),
    spec(10, 1, kNone, result(31, 26, 0, 0, 3, 0)),
    spec(11, 1, kNone, result(59, 42, 2, 0, 0, 0)),
    spec(12, 1, kNone, result(66, 0, 0, 0, 0, 0)),
    spec(13, 1, kNone, result(56, 39, 2, 0, 0, 0)),
    spec(14, 1, kNone, result(54, 38, 2, 0, 0, 0)),
    spec(15, 1, kNone, result(57, 40, 2, 0, 0, 0)),
    spec(17, 1, kNone, result(58, 41, 2, 0, 0, 0)),
    spec(19, 1, kNone, result(62, 0, 0, 0, 0, 0)),
    spec(20, 1, kNone, result(63, 0, 0, 0, 0, 0)),
    spec(21, 1, kNone, result(65, 0, 0, 0, 0, 0)),
    spec(22, 1, kNone, result(29, 25, 3, 0, 0, 0)),
    spec(23, 1, kNone, result(53, 0, 1, 0, 0, 0)),
    spec(24, 1, kNone, result(34, 27, 0, 0, 3, 0)),
    spec(25, 1, kNone, result(36, 30, 0, 0, 3, 0)),
    spec(26, 1, kNone, result(25, 22, 3, 0, 0, 0)),
    spec(27, 2, kNone, result(52, 37, 0, 2, 0, 0), result(19, 21, 4, 3, 4, 0)),
    spec(29, 1, kNone, result(26, 23, 3, 0, 4, 0)),
    spec(30, 1, kNone, result(34, 28, 0, 0, 3, 0)),
    spec(31, 1, kNone, result(28, 24, 4, 3, 4, 0)),
};

// Power-supply status word 12 (results refer to channel 1). The rule on bit 2 lists its
// result under x = 2, which a one-bit field never yields; it is kept as the amplifier
// family defines it.
constexpr SRuleSpec kWord12Rules[] = {
    spec(0, 1, kNone, result(22, 16, 12, 12, 12, 3)),
    spec(1, 1, kNone, result(21, 15, 12, 12, 12, 3)),
    spec(2, 1, kNone, kNone, result(20, 14, 12, 12, 12, 3)),
    spec(3, 1, kNone, result(33, 20, 12, 12, 12, 3)),
    spec(4, 1, kNone, result(45, 19, 0, 0, 0, 2)),
    spec(5, 1, kNone, result(46, 31, 0, 0, 0, 2)),
    spec(6, 1, kNone, result(49, 34, 0, 0, 0, 2)),
    spec(7, 1, kNone, result(48, 33, 0, 0, 0, 2)),
    spec(8, 1, kNone, result(47, 32, 0, 0, 0, 2)),
    spec(9, 1, kNone, result(32, 18, 12, 12, 12, 3)),
    spec(10, 1, kNone, result(2, 1, 12, 12, 12, 3)),
    spec(11, 1, kNone, result(50, 35, 0, 0, 0, 2)),
    spec(12, 4, kNone, result(7, 4, 12, 12, 12, 3), result(8, 5, 12, 12, 12, 3),
         result(9, 6, 12, 12, 12, 3), result(10, 7, 12, 12, 12, 3), result(11, 8, 12, 12, 12, 3),
         result(12, 9, 12, 12, 12, 3), result(13, 10, 12, 12, 12, 3),
         result(14, 11, 12, 12, 12, 3)),
};

// A rule bound to its status word and channel; `next` is the index of the first rule
// after the run of rules on the same word, where the walk continues when the word is 0.
struct SRule {
    std::uint8_t word;
    std::uint8_t channel;
    std::uint8_t shift;
    std::uint8_t width;
    std::uint8_t count;
    std::uint8_t next;
    const std::array<std::uint32_t, kMaxResults>* results;
};

template <std::size_t N>
constexpr void bind(std::array<SRule, kFawRuleCount>& rules, std::size_t& at,
                    const SRuleSpec (&specs)[N], unsigned word, unsigned channel) {
    const std::size_t end = at + N;
    for (const SRuleSpec& s : specs) {
        rules[at++] = SRule{static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(channel),
                            s.shift, s.width, s.count, static_cast<std::uint8_t>(end),
                            &s.results};
    }
}

constexpr std::array<SRule, kFawRuleCount> build_rules() {
    std::array<SRule, kFawRuleCount> rules{};
    std::size_t at = 0;
    bind(rules, at, kWord0Rules, 0, 0);
    bind(rules, at, kChannelRules, 1, 0);
    bind(rules, at, kChannelRules, 3, 1);
    bind(rules, at, kChannelRules, 5, 2);
    bind(rules, at, kChannelRules, 7, 3);
    bind(rules, at, kWord12Rules, 12, 0);
    return rules;
}

constexpr std::size_t kBoundRules = std::size(kWord0Rules) + 4 * std::size(kChannelRules) +
                                    std::size(kWord12Rules);
static_assert(kBoundRules == kFawRuleCount, "the summariser walks 107 rules");

constexpr std::array<SRule, kFawRuleCount> kRules = build_rules();

// The tables are checked while compiling: a result never has bit 15 set, every entry
// gives a status in 0..3, and every field lies inside its 32-bit word. The run-time
// checks in `apply` below can therefore only fire if these tables are damaged.
constexpr bool tables_are_sound() {
    for (const SRule& r : kRules) {
        if (r.word >= kMonitorStatusWords || r.channel > 3 || r.width == 0 ||
            r.shift + r.width > 32 || r.count == 0) {
            return false;
        }
        for (std::size_t i = 0; i < r.count; ++i) {
            const std::uint32_t v = (*r.results)[i];
            if (v & 0x8000) {
                return false;
            }
            for (unsigned j = 0; j < 3; ++j) {
                const std::uint32_t e = (v >> (16 + 4 * j)) & 0xF;
                if (e != 0 && ((e & 7) == 0 || (e & 7) > 4)) {
                    return false;
                }
            }
            const std::uint32_t a = v >> 28;
            if (a > 4) {
                return false;
            }
        }
    }
    return true;
}
static_assert(tables_are_sound(), "fault-and-warning tables are malformed");

[[noreturn]] void assertion_failed(int line) {
    std::printf("\nAssertion failed: %s(%d)\n", "P20FawSummarize", line);
    std::fflush(stdout);
    std::abort();
}

// Bit positions of (status, reason) per category inside a channel word.
constexpr unsigned kStatusShift[3] = {30, 22, 14};
constexpr unsigned kReasonShift[3] = {24, 16, 8};

void set_category(std::uint32_t& word, unsigned category, std::uint32_t status,
                  std::uint32_t reason) {
    if (category > 2) {
        assertion_failed(46);
    }
    const std::uint32_t mask = (std::uint32_t{3} << kStatusShift[category]) |
                               (std::uint32_t{0x3F} << kReasonShift[category]);
    word = (word & ~mask) | ((status & 3) << kStatusShift[category]) |
           ((reason & 0x3F) << kReasonShift[category]);
}

struct SState {
    CFawSummary out{};
    std::uint32_t frame_priority = 0xFF;
    std::uint8_t priority[3][4] = {{0xFF, 0xFF, 0xFF, 0xFF},
                                   {0xFF, 0xFF, 0xFF, 0xFF},
                                   {0xFF, 0xFF, 0xFF, 0xFF}};
};

void apply(SState& s, std::uint32_t r, unsigned channel) {
    if (r & 0x8000) {
        assertion_failed(131);
    }
    const std::uint32_t priority = r & 0xFF;
    const std::uint32_t reason = (r >> 8) & 0x3F;

    const std::uint32_t frame = r >> 28;
    if (frame != 0 && priority < s.frame_priority) {
        s.frame_priority = priority;
        s.out[0] = (s.out[0] & 0x00FFFFFF) | (((frame - 1) & 3) << 30) | (reason << 24);
    }

    for (unsigned j = 0; j < 3; ++j) {
        const std::uint32_t e = (r >> (16 + 4 * j)) & 0xF;
        if (e == 0) {
            continue;
        }
        const unsigned first = (e & 8) ? 0 : channel;
        const unsigned last = (e & 8) ? 3 : channel;
        for (unsigned k = first; k <= last; ++k) {
            if (s.priority[j][k] >= priority) {
                s.priority[j][k] = static_cast<std::uint8_t>(priority);
                set_category(s.out[1 + k], j, (e & 7) - 1, reason);
            }
        }
    }
}

constexpr const char* kReasonTexts[] = {
    "",               "PSU SAFEMODE",   "SENS FLT:DSP",   "AUDIO FAULT",
    "NEED SERVICE:1", "NEED SERVICE:2", "NEED SERVICE:3", "NEED SERVICE:4",
    "NEED SERVICE:5", "NEED SERVICE:6", "NEED SERVICE:7", "NEED SERVICE:8",
    "TEMP FLT:PSU",   "TEMP FLT:DSP",   "MAINS >400 VPK", "MAINS >270 V",
    "MAINS <65 V",    "PSU FAULT",      "CHECK MAINS",    "UVL ACTIVE",
    "PSU RAIL PROT",  "TEMP FAULT",     "NO LOAD",        "SHORT CIRCUIT",
    "SERVICE CH.",    "WRONG LOAD",     "CAL ACTIVE",     "CURRENT CLIP",
    "VHF FAULT",      "PAL ACTIVE",     "VOLTAGE CLIP",   "BEL ACTIVE",
    "PAL ACT. WARN",  "PTL ACTIVE",     "ATL ACTIVE",     "MAINS GLITCH",
    "TEMP WARN: PSU", "TEMP WARN",      "UNDER SPKR CNT", "OVER SPKR CNT",
    "SPKR SHORT",     "SPKR DAMAGED",   "UNCERTAIN LOAD", "SELFTEST ERR",
    "SELFTEST WARN",  "UPGRADE PSU",    "",
};
static_assert(std::size(kReasonTexts) == 47);

}  // namespace

CFawSummary summarize_faults(const CMonitorStatusBlock& block) {
    SState s;
    std::size_t i = 0;
    while (i < kRules.size()) {
        const SRule& rule = kRules[i];
        const std::uint32_t word = block[rule.word];
        if (word == 0) {
            // Nothing to report on this word: none of its rules can fire.
            i = rule.next;
            continue;
        }
        ++i;
        const std::uint32_t mask =
            rule.width >= 32 ? 0xFFFFFFFFu : ((std::uint32_t{1} << rule.width) - 1);
        const std::uint32_t x = (word >> rule.shift) & mask;
        if (x >= rule.count) {
            continue;
        }
        apply(s, (*rule.results)[x], rule.channel);
    }
    return s.out;
}

CFlatSummary flatten_summary(const CFawSummary& summary) {
    CFlatSummary flat{};
    flat[0] = summary[0] >> 30;
    flat[1] = (summary[0] >> 24) & 0x3F;
    // Per channel: amplifier category (1), load (0), signal (2).
    constexpr unsigned kOrder[3] = {1, 0, 2};
    for (std::size_t k = 0; k < 4; ++k) {
        const std::uint32_t w = summary[1 + k];
        for (std::size_t n = 0; n < 3; ++n) {
            const unsigned j = kOrder[n];
            flat[2 + 6 * k + 2 * n] = (w >> kStatusShift[j]) & 3;
            flat[3 + 6 * k + 2 * n] = (w >> kReasonShift[j]) & 0x3F;
        }
    }
    return flat;
}

int summarize_monitor(std::span<const std::uint32_t> block, std::vector<std::uint32_t>& out) {
    out.clear();
    if (block.size() < kMonitorStatusWords) {
        return 1;
    }
    CMonitorStatusBlock words{};
    std::copy_n(block.begin(), kMonitorStatusWords, words.begin());
    const CFlatSummary flat = flatten_summary(summarize_faults(words));
    out.assign(flat.begin(), flat.end());
    return 0;
}

int summarize_monitor(const CCmdMonitorRdResponse& response, std::vector<std::uint32_t>& out) {
    return summarize_monitor(response.data().status_block(), out);
}

std::string reason_text(std::uint32_t reason) {
    if (reason < std::size(kReasonTexts)) {
        return kReasonTexts[reason];
    }
    return "Unknown: " + std::to_string(reason);
}

}  // namespace P20SPI
