// The fault-and-warning summariser: turns the fifteen status words of a monitor block into
// one status and reason for the amplifier and, per channel, for each of the three
// categories load (0), amplifier (1) and signal (2); and the texts of the reason values.
//
// Summary words (five 32-bit words, all fields start at 0):
//   word 0        amplifier: status in bits 30..31, reason in bits 24..29
//   words 1..4    channels 1..4: load status 30..31, reason 24..29;
//                 amplifier-category status 22..23, reason 16..21;
//                 signal status 14..15, reason 8..13
//
// Statuses are 0..3; a lower rule priority wins (for the amplifier only a strictly more
// important result replaces the current one, for channels an equally important one does
// too). The 107 rules are data (faw_summary.cpp), walked in order.
//
// Flattened form (what the monitor publishes), 26 numbers:
//   0, 1                amplifier status, reason
//   2 + 6k .. 7 + 6k    channel k+1: amplifier-category status, reason; load status,
//                       reason; signal status, reason
//
// Thread safety: pure functions over constant tables; callable from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "backend/p20spi/monitor_data.h"

namespace P20SPI {

class CCmdMonitorRdResponse;

inline constexpr std::size_t kSummaryWords = 5;
inline constexpr std::size_t kFlatSummarySize = 26;
// Number of rules the summariser walks.
inline constexpr std::size_t kFawRuleCount = 107;

using CFawSummary = std::array<std::uint32_t, kSummaryWords>;
using CFlatSummary = std::array<std::uint32_t, kFlatSummarySize>;

// The five summary words of a status block.
CFawSummary summarize_faults(const CMonitorStatusBlock& block);

// The 26 published numbers of a summary.
CFlatSummary flatten_summary(const CFawSummary& summary);

// Summarises the first 15 words of `block` and writes the 26 numbers into `out`
// (replacing its contents). Returns 0, or 1 (with `out` empty) when fewer than 15 words
// were given, as happens with a truncated reply.
int summarize_monitor(std::span<const std::uint32_t> block, std::vector<std::uint32_t>& out);
// The same for a parsed monitor response.
int summarize_monitor(const CCmdMonitorRdResponse& response, std::vector<std::uint32_t>& out);

// Text of a reason value: rows 0..46 of the reason table (0 and 46 are empty), any larger
// value "Unknown: " followed by the value in decimal.
std::string reason_text(std::uint32_t reason);

}  // namespace P20SPI
