// Monitoring and synchronisation against simulated Mira amplifiers, with the backend's own
// request machinery in this process: project store, request engine (eight processing
// threads and the transactor), device registry with Mira devices on the UDP transport,
// the frame reader and writer, the sync handlers, the monitoring read and the monitor
// thread. The amplifiers live in one simulator process (a child), so the processor time
// and memory measured here are the backend side's alone.
//
//   scripts/sandbox.sh build/bench/monitor_bench monitor [amps] [seconds] [silent]
//       monitoring cycles: period, processor use, resident memory, exchanges per cycle;
//       with `silent` of the amplifiers not answering: how old the live amplifiers'
//       monitoring data gets (time between two completed reads of a frame)
//   scripts/sandbox.sh build/bench/monitor_bench silent_download
//       a download whose only amplifier is silent: processor use while it waits
//       (MONITOR_BENCH_WAIT_PAUSE_MS=0 shows a wait step that requeues without pause)
//   scripts/sandbox.sh build/bench/monitor_bench download [amps]
//       a download of every amplifier: total time, exchanges and processor time
//   scripts/sandbox.sh build/bench/monitor_bench upload [amps]
//       after a download, an upload to every amplifier: the same figures
//   scripts/sandbox.sh build/bench/monitor_bench memory [amps] [downloads]
//       resident memory after many downloads against after the first ten: the records
//       of finished downloads and the project copies they make must not accumulate
#include "bench/common/monitor_rig.h"
#include "tools/mira_sim/sim_client.h"

#include <cstdio>

namespace {

using namespace orva_bench;
using namespace std::chrono_literals;

int monitor(int amps, int seconds, int silent) {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments(amps));
    for (int i = 0; i < silent; ++i) sim.expect_ok("fault " + amp_id(i) + " silent");
    rig r(amps);
    r.start_monitor();
    // Let the first cycles (and the silent amplifiers' first time-outs) pass.
    std::this_thread::sleep_for(5s);
    const double cpu0 = cpu_seconds();
    const long exchanges0 = r.transport().exchanges.load();
    const auto t0 = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    const long exchanges = r.transport().exchanges.load() - exchanges0;

    std::vector<double> periods;
    auto cycles = r.cycles();
    for (size_t i = 1; i < cycles.size(); ++i)
        if (cycles[i] >= t0) periods.push_back(std::chrono::duration<double>(cycles[i] - cycles[i - 1]).count());
    std::vector<double> ages;
    for (const auto& [device, times] : r.reads()) {
        bool is_silent = false;
        for (int i = 0; i < silent; ++i) is_silent |= device == amp_id(i);
        if (is_silent) continue;
        for (size_t i = 1; i < times.size(); ++i)
            if (times[i] >= t0) ages.push_back(std::chrono::duration<double>(times[i] - times[i - 1]).count());
    }
    std::printf("monitoring %d amplifiers (%d silent) for %.1f s\n", amps, silent, wall);
    std::printf("  cycles completed: %zu, period mean %.3f s, p50 %.3f s, max %.3f s\n", periods.size(),
                periods.empty() ? 0.0 : wall / double(periods.size()), percentile(periods, 0.5),
                percentile(periods, 1.0));
    std::printf("  backend processor use: %.2f%% of one core (%.3f s in %.1f s)\n", 100.0 * cpu / wall, cpu, wall);
    std::printf("  resident memory: %ld KiB\n", rss_kib());
    std::printf("  exchanges: %.1f per second, %.1f per amplifier and cycle\n", double(exchanges) / wall,
                periods.empty() ? 0.0 : double(exchanges) / double(periods.size()) / double(amps));
    std::printf("  age of live amplifiers' monitoring data between reads: p50 %.3f s, max %.3f s (%zu reads)\n",
                percentile(ages, 0.5), percentile(ages, 1.0), ages.size());
    return 0;
}

int silent_download() {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments(1));
    sim.expect_ok("fault " + amp_id(0) + " silent");
    rig r(1);
    const double cpu0 = cpu_seconds();
    const auto looks0 = r.sync_service().wait_looks();
    const auto t0 = clock_type::now();
    const nox::model result = r.sync("get");
    const double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    std::printf("download of one silent amplifier: %s, any_disconnected %s, %.2f s\n", result.get("status").c_str(),
                result.get("any_disconnected").c_str(), wall);
    std::printf("  backend processor use while waiting: %.2f%% of one core (%.4f s), %llu looks of the wait step\n",
                100.0 * cpu / wall, cpu, static_cast<unsigned long long>(r.sync_service().wait_looks() - looks0));
    return 0;
}

// One synchronisation of every amplifier in `direction`, timed; false when it did not end
// "done" or an amplifier did not answer.
bool timed_sync(rig& r, int amps, const std::string& direction, const char* what) {
    const long exchanges0 = r.transport().exchanges.load();
    const double cpu0 = cpu_seconds();
    const auto t0 = clock_type::now();
    const nox::model result = r.sync(direction);
    const double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
    const long exchanges = r.transport().exchanges.load() - exchanges0;
    std::printf("%s of %d amplifiers: %s, any_disconnected %s, %.2f s, %ld exchanges (%.1f per amplifier), "
                "processor %.3f s\n",
                what, amps, result.get("status").c_str(), result.get("any_disconnected").c_str(), wall, exchanges,
                double(exchanges) / amps, cpu_seconds() - cpu0);
    return result.get("status") == "done" && result.get("any_disconnected") != "true";
}

int download(int amps) {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments(amps));
    rig r(amps);
    return timed_sync(r, amps, "get", "download") ? 0 : 1;
}

int upload(int amps) {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments(amps));
    rig r(amps);
    // The upload writes what a download read, as after a user's first download.
    if (!r.sync("get").has("status", "done")) {
        std::printf("the download before the upload failed\n");
        return 1;
    }
    return timed_sync(r, amps, "put", "upload") ? 0 : 1;
}

int memory(int amps, int downloads) {
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments(amps));
    rig r(amps);
    const int first = std::min(10, downloads);
    const long exchanges0 = r.transport().exchanges.load();
    const auto t0 = clock_type::now();
    long rss_first = 0;
    int failed = 0;
    for (int i = 1; i <= downloads; ++i) {
        if (!r.sync("get").has("status", "done")) ++failed;
        if (i == first) rss_first = rss_kib();
        if (i == first || i % 100 == 0 || i == downloads) {
            std::printf("  after %4d downloads: resident memory %ld KiB, %zu stored requests, %.1f s\n", i, rss_kib(),
                        r.store().collection("requests").size_locked(),
                        std::chrono::duration<double>(clock_type::now() - t0).count());
            std::fflush(stdout);
        }
    }
    const long rss_last = rss_kib();
    const long exchanges = r.transport().exchanges.load() - exchanges0;
    std::printf("%d downloads of %d amplifiers (%d failed, %.1f exchanges per amplifier and download): resident "
                "memory %ld KiB after %d, %ld KiB after %d, growth %+ld KiB (target within 2048 KiB)\n",
                downloads, amps, failed, double(exchanges) / downloads / amps, rss_first, first, rss_last, downloads,
                rss_last - rss_first);
    return failed == 0 && rss_last - rss_first <= 2048 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "monitor";
    const auto arg = [&](int i, int fallback) { return argc > i ? std::max(0, std::atoi(argv[i])) : fallback; };
    if (what == "monitor") return monitor(std::max(1, arg(2, 64)), std::max(1, arg(3, 20)), arg(4, 0));
    if (what == "silent_download") return silent_download();
    if (what == "download") return download(std::max(1, arg(2, 64)));
    if (what == "upload") return upload(std::max(1, arg(2, 64)));
    if (what == "memory") return memory(std::max(1, arg(2, 8)), std::max(1, arg(3, 1000)));
    std::fprintf(stderr,
                 "usage: monitor_bench monitor [amps] [seconds] [silent] | silent_download | download [amps] | "
                 "upload [amps] | memory [amps] [downloads]\n");
    return 2;
}
