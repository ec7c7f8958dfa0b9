// Throughput of the monitor path: summarising status blocks, and decoding whole monitor
// responses (packet from received words, parse through the byte-swapped view, summary and
// flattening), as the monitor does once a second per amplifier.
//
//   build/bench/p20spi_bench [--benchmark_min_time=1]
//
// Items per second is status blocks summarised, or monitor blocks decoded, per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "backend/p20spi/commands.h"
#include "backend/p20spi/faw_summary.h"
#include "backend/p20spi/packet.h"
#include "backend/p20spi/transaction.h"

namespace {

// A spread of status blocks: quiet ones, ones with a few faults, and noisy ones.
std::vector<P20SPI::CMonitorStatusBlock> make_blocks() {
    std::mt19937 rng(20);
    std::vector<P20SPI::CMonitorStatusBlock> blocks(256);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        for (auto& w : blocks[i]) {
            const std::uint32_t r = rng();
            switch (i % 4) {
            case 0: w = 0; break;                         // all quiet
            case 1: w = r & (1u << (r % 32)); break;      // at most one bit
            case 2: w = r & rng() & rng(); break;         // sparse
            default: w = r; break;                        // noisy
            }
        }
    }
    return blocks;
}

// Received words of a monitor response carrying `block` (big-endian words in the
// packet bytes, as the amplifier sends them).
std::vector<std::uint32_t> monitor_reply(const P20SPI::CMonitorStatusBlock& block) {
    P20SPI::CPacket packet;
    packet.set_code(P20SPI::kCodeMonitorRdResponse);
    packet.set_length(P20SPI::CPacket::kMaxWords);
    for (std::size_t w = 0; w < block.size(); ++w) {
        packet.set_be32(4 * (w + 1), block[w]);
    }
    packet.seal();
    const auto words = packet.words();
    return {words.begin(), words.end()};
}

void BM_Summarise(benchmark::State& state) {
    const auto blocks = make_blocks();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto flat = P20SPI::flatten_summary(P20SPI::summarize_faults(blocks[i++ % blocks.size()]));
        benchmark::DoNotOptimize(flat);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Summarise);

void BM_DecodeMonitorBlock(benchmark::State& state) {
    const auto blocks = make_blocks();
    std::vector<std::vector<std::uint32_t>> replies;
    for (const auto& b : blocks) {
        replies.push_back(monitor_reply(b));
    }
    std::vector<std::uint32_t> out;
    std::size_t i = 0;
    for (auto _ : state) {
        const P20SPI::CPacket packet(replies[i++ % replies.size()]);
        P20SPI::CCmdMonitorRdResponse rsp;
        if (!rsp.parse(packet) || P20SPI::summarize_monitor(rsp, out) != 0) {
            state.SkipWithError("monitor reply did not decode");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DecodeMonitorBlock);

void BM_SerialiseRead(benchmark::State& state) {
    for (auto _ : state) {
        P20SPI::CCmdParamRd cmd(P20SPI::CParamAddress(5, 300, 50));
        benchmark::DoNotOptimize(cmd.serialise().checksum());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_SerialiseRead);

void BM_ParseRead50(benchmark::State& state) {
    P20SPI::CPacket reply;
    reply.set_code(P20SPI::kCodeParamRdResponse);
    reply.set_length(53);
    reply.set_byte(11, 50);
    for (std::size_t i = 0; i < 50; ++i) {
        reply.set_be32(12 + 4 * i, static_cast<std::uint32_t>(i * 2654435761u));
    }
    const auto span = reply.words();
    const std::vector<std::uint32_t> words(span.begin(), span.end());
    for (auto _ : state) {
        P20SPI::CCmdParamRdResponse rsp;
        benchmark::DoNotOptimize(rsp.parse(P20SPI::CPacket(words)));
        benchmark::DoNotOptimize(rsp.values().data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ParseRead50);

}  // namespace

BENCHMARK_MAIN();
