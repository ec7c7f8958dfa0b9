// The monitor data block: a monitor response (61 words, read through the byte-swapped
// view) decoded into its readings and summarised into the 26 published fault-and-warning
// numbers, and the summariser on status blocks of any length (a truncated reply included),
// with the reason texts of every number it gives.
#include "backend/p20spi/commands.h"
#include "backend/p20spi/faw_summary.h"
#include "backend/p20spi/packet.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace P20SPI;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint32_t> words(std::min<std::size_t>(size / 4, 64));
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = std::uint32_t{data[4 * i]} | std::uint32_t{data[4 * i + 1]} << 8 |
                   std::uint32_t{data[4 * i + 2]} << 16 | std::uint32_t{data[4 * i + 3]} << 24;

    std::vector<std::uint32_t> flat;
    const int result = summarize_monitor(words, flat);
    FUZZ_CHECK(result == (words.size() < kMonitorStatusWords ? 1 : 0));
    FUZZ_CHECK(result != 0 ? flat.empty() : flat.size() == kFlatSummarySize);
    for (std::size_t i = 0; i < flat.size(); ++i) {
        // Statuses are 0..3; reasons are 6-bit fields.
        FUZZ_CHECK(i % 2 == 0 ? flat[i] <= 3 : flat[i] < 64);
        if (i % 2 == 1) (void)reason_text(flat[i]);
    }

    // The same words as a monitor response: header word forced to code 35, length 61.
    std::vector<std::uint32_t> response(words);
    response.resize(CPacket::kMaxWords);
    response[0] = (response[0] & 0xFF000000u) | (61u << 16) | kCodeMonitorRdResponse;
    CCmdMonitorRdResponse monitor;
    FUZZ_CHECK(monitor.parse(CPacket(response)));
    std::vector<std::uint32_t> from_response;
    FUZZ_CHECK(summarize_monitor(monitor, from_response) == 0);
    FUZZ_CHECK(from_response.size() == kFlatSummarySize);
    // The status block is the byte-swapped view of words 1..15.
    for (std::size_t w = 0; w < kMonitorStatusWords; ++w) {
        const std::uint32_t v = response[1 + w];
        const std::uint32_t swapped = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
        FUZZ_CHECK(monitor.data().status_block()[w] == swapped);
    }
    (void)reason_text(words.empty() ? 0 : words[0]);
    return 0;
}
