// Load and soak: a backend monitoring simulated Mira amplifiers, 50 WebSocket clients and
// a steady rate of REST requests, for a bounded time. Run inside the network sandbox (it
// starts the simulator and the backend itself, and talks to loopback only):
//
//   scripts/sandbox.sh env ORVA_BIN_DIR=build/bin build/bench/orva_load
//       [--seconds 300] [--amps 32] [--clients 50] [--rate 200] [--interval 60] [--check]
//
// The requests are scheduled at a fixed rate (open loop: a slow answer does not slow the
// schedule): one in twenty is a PUT of a subscribed zone name carrying a sequence number
// (a broadcast every client must receive), the others read frames, channels, the frame
// list, the project state and the start page. Every interval it prints the requests done
// and failed, the latency p50/p99 of that interval, and the backend's resident memory; at
// the end the broadcasts every client should have received and those missing, the whole
// run's latency, and the memory growth after the warm-up (the first interval, at most
// 30 s). Goals: no failed request, no missed broadcast, p99 <= 20 ms, growth <= 5 MB.
// --check makes the exit status 1 when a request failed or a broadcast was missed (the
// time and memory figures are measurements: they are reported, not enforced).
#include "bench/api/bench_util.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/support/ws_client.h"
#include "tools/mira_sim/sim_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

struct settings {
    int seconds = 300;
    int amps = 32;
    int clients = 50;
    int rate = 200;
    int interval = 60;
    bool check = false;
};

std::string amp_id(int n) {
    char text[24];
    std::snprintf(text, sizeof text, "0000abcd:%08x", n);
    return text;
}

std::string project(int amps) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>"
                      "<settings><setting><id>1</id><selected_interface>10.99.0.1</selected_interface></setting>"
                      "</settings><zones><zone><id>1</id><name>seq-0</name></zone></zones><frames>";
    std::string channels;
    for (int f = 1; f <= amps; ++f) {
        const int first = (f - 1) * 4 + 1;
        xml += "<frame><id>" + std::to_string(f) + "</id><frame_type>mira</frame_type><name>Amp " + std::to_string(f) +
               "</name><device_id>" + amp_id(f) + "</device_id><module_class>2</module_class><channels>" +
               std::to_string(first) + " " + std::to_string(first + 1) + " " + std::to_string(first + 2) + " " +
               std::to_string(first + 3) + "</channels></frame>";
        for (int k = 0; k < 4; ++k)
            channels += "<channel><id>" + std::to_string(first + k) + "</id><frame_id>" + std::to_string(f) +
                        "</frame_id><frame_type>mira</frame_type><device_id>" + amp_id(f) + "</device_id><name>Ch" +
                        std::to_string(k + 1) + "</name></channel>";
    }
    return xml + "</frames><channels>" + channels + "</channels></configuration>";
}

// What the request workers record, by interval.
struct tally {
    std::mutex mutex;
    std::vector<double> latencies;  // this interval
    std::vector<double> all;        // the whole run
    long done = 0;
    long failed = 0;
    long failed_total = 0;
    std::set<long> acknowledged;    // sequence numbers of the PUTs answered 200
};

// One WebSocket client reading every message until told to stop; records the sequence
// numbers of the zone-name notifications it receives.
struct listener {
    std::unique_ptr<orva_test::ws_client> socket;
    std::set<long> seen;
    std::thread thread;
};

}  // namespace

int main(int argc, char** argv) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (option == "--seconds") s.seconds = value();
        else if (option == "--amps") s.amps = value();
        else if (option == "--clients") s.clients = value();
        else if (option == "--rate") s.rate = value();
        else if (option == "--interval") s.interval = value();
        else if (option == "--check") s.check = true;
        else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (s.seconds <= 0 || s.rate <= 0 || s.interval <= 0) return 2;

    std::vector<std::string> sim_arguments;
    for (int n = 1; n <= s.amps; ++n) {
        sim_arguments.push_back("--amp");
        sim_arguments.push_back(amp_id(n) + ",kind=2");
    }
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_arguments);
    orva_test::backend_process::options options;
    options.configuration = project(s.amps);
    orva_test::backend_process backend(options);
    if (!backend.ready()) {
        std::fprintf(stderr, "the backend did not start\n%s", backend.log().c_str());
        return 1;
    }
    // Every amplifier online before the clock starts.
    const auto online_deadline = steady::now() + 60s;
    for (int f = 1; f <= s.amps; ++f) {
        while (orva_test::http_get("/frames/" + std::to_string(f)).body.find("\"mon_network_status\":\"online\"") ==
               std::string::npos) {
            if (steady::now() > online_deadline) {
                std::fprintf(stderr, "amplifier %d did not come online\n", f);
                return 1;
            }
            std::this_thread::sleep_for(100ms);
        }
    }
    orva_test::http_call("POST", "/api/subscribe/", R"({"id":"1","type":"zones","attr":"name"})");

    std::atomic<bool> stop{false};
    std::mutex seen_mutex;  // guards every listener's `seen`
    std::vector<std::unique_ptr<listener>> listeners;
    for (int c = 0; c < s.clients; ++c) {
        auto l = std::make_unique<listener>();
        l->socket = std::make_unique<orva_test::ws_client>();
        if (!l->socket->connected()) {
            std::fprintf(stderr, "WebSocket client %d could not connect\n", c);
            return 1;
        }
        listeners.push_back(std::move(l));
    }
    for (auto& l : listeners) {
        l->thread = std::thread([&stop, &seen_mutex, raw = l.get()] {
            while (!stop) {
                const auto asked = steady::now();
                auto m = raw->socket->next(200ms);
                if (!m) {
                    // Nothing within the wait is normal; nothing at once means the
                    // connection ended: what it would have received counts as missed.
                    if (steady::now() - asked < 100ms) return;
                    continue;
                }
                const auto at = m->payload.find("\"name\":\"seq-");
                if (at != std::string::npos) {
                    std::lock_guard lock(seen_mutex);
                    raw->seen.insert(std::atol(m->payload.c_str() + at + 12));
                }
            }
        });
    }

    std::printf("load: %d s, %d amplifiers monitored, %d WebSocket clients, %d requests/s\n", s.seconds, s.amps,
                s.clients, s.rate);
    std::printf("%8s %8s %7s %9s %9s %10s\n", "second", "requests", "failed", "p50 ms", "p99 ms", "RSS KiB");
    std::fflush(stdout);

    tally t;
    std::atomic<long> next_ticket{0};
    std::atomic<long> sequence{0};
    const auto start = steady::now();
    const long total = static_cast<long>(s.seconds) * s.rate;
    const auto period = std::chrono::nanoseconds(1'000'000'000 / s.rate);
    // Enough workers that a slow answer never holds up the schedule.
    const int workers = std::max(8, s.rate / 10);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (;;) {
                const long ticket = next_ticket++;
                if (ticket >= total) return;
                std::this_thread::sleep_until(start + ticket * period);
                std::string method = "GET", target, body;
                long seq = -1;
                const long kind = ticket % 20;
                if (kind == 0) {
                    seq = ++sequence;
                    method = "PUT";
                    target = "/zones/1";
                    body = "{\"id\":\"1\",\"name\":\"seq-" + std::to_string(seq) + "\"}";
                } else if (kind < 9) {
                    target = "/frames/" + std::to_string(1 + ticket % s.amps);
                } else if (kind < 15) {
                    target = "/channels/" + std::to_string(1 + ticket % (4 * s.amps));
                } else if (kind < 17) {
                    target = "/frames";
                } else if (kind < 19) {
                    target = "/api/project_status";
                } else {
                    target = "/";
                }
                const auto sent = steady::now();
                const auto answer = orva_test::http_call(method, target, body);
                const double ms = orva_bench::ms_since(sent);
                std::lock_guard lock(t.mutex);
                ++t.done;
                if (answer.status != 200) {
                    ++t.failed;
                    ++t.failed_total;
                } else {
                    t.latencies.push_back(ms);
                    t.all.push_back(ms);
                    if (seq >= 0) t.acknowledged.insert(seq);
                }
            }
        });
    }

    // Reports, every interval.
    const int warm_up = std::min(s.interval, 30);
    long rss_after_warm_up = -1;
    long rss_peak = 0;
    for (int second = 1; second <= s.seconds; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        const long rss = backend.resident_kib();
        rss_peak = std::max(rss_peak, rss);
        if (second == warm_up) rss_after_warm_up = rss;
        if (second % s.interval != 0 && second != s.seconds) continue;
        std::lock_guard lock(t.mutex);
        std::printf("%8d %8ld %7ld %9.2f %9.2f %10ld\n", second, t.done, t.failed,
                    orva_bench::percentile(t.latencies, 50), orva_bench::percentile(t.latencies, 99), rss);
        std::fflush(stdout);
        t.latencies.clear();
        t.done = 0;
        t.failed = 0;
    }
    for (auto& thread : threads) thread.join();
    // Let the last notifications arrive (at most 10 s), then stop the listeners.
    const long last = t.acknowledged.empty() ? -1 : *t.acknowledged.rbegin();
    for (const auto until = steady::now() + 10s; last >= 0 && steady::now() < until;) {
        std::this_thread::sleep_for(100ms);
        std::lock_guard lock(seen_mutex);
        if (std::all_of(listeners.begin(), listeners.end(), [&](const auto& l) { return l->seen.count(last) != 0; }))
            break;
    }
    stop = true;
    for (auto& l : listeners) l->thread.join();
    const long rss_end = backend.resident_kib();

    long missed = 0;
    int clients_missing = 0;
    for (const auto& l : listeners) {
        long mine = 0;
        for (long seq : t.acknowledged) mine += l->seen.count(seq) ? 0 : 1;
        missed += mine;
        clients_missing += mine ? 1 : 0;
    }
    const double p50 = orva_bench::percentile(t.all, 50);
    const double p99 = orva_bench::percentile(t.all, 99);
    const long growth = rss_after_warm_up >= 0 ? rss_end - rss_after_warm_up : 0;
    std::printf("requests: %ld sent, %ld failed; latency p50 %.2f ms, p99 %.2f ms (goal <= 20 ms: %s)\n", total,
                t.failed_total, p50, p99, p99 <= 20 ? "met" : "missed");
    std::printf("broadcasts: %zu acknowledged PUTs x %d clients, %ld missed (%d clients missed some)\n",
                t.acknowledged.size(), s.clients, missed, clients_missing);
    std::printf("memory: %ld KiB after %d s of warm-up, %ld KiB at the end, peak %ld KiB; growth %ld KiB "
                "(goal <= 5120 KiB: %s)\n",
                rss_after_warm_up, warm_up, rss_end, rss_peak, growth, growth <= 5120 ? "met" : "missed");
    std::fflush(stdout);
    const int stopped = backend.stop();
    if (stopped != 0) std::printf("the backend stopped with status %d\n", stopped);
    if (s.check && (t.failed_total != 0 || missed != 0 || stopped != 0)) return 1;
    return 0;
}
