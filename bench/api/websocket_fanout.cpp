// WebSocket fan-out: 50 clients, 1,000 change notifications (PUTs of a subscribed
// attribute whose value carries its sequence number and send time). Every client must
// receive every notification, in order; reports the delivery latency from the PUT's
// start to the client's receipt.
#include "bench_util.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/support/ws_client.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace {

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main() {
    constexpr int clients = 50;
    constexpr int notifications = 1000;
    orva_test::backend_process::options options;
    options.configuration = orva_bench::project_with_frames(1);
    orva_test::backend_process backend(options);
    if (!backend.ready()) return 1;
    for (int i = 0; i < 500 && orva_test::http_get("/zones/1").status != 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    orva_test::http_call("POST", "/api/subscribe/", R"({"id":"1","type":"zones","attr":"name"})");

    std::vector<std::unique_ptr<orva_test::ws_client>> sockets;
    for (int c = 0; c < clients; ++c) {
        sockets.push_back(std::make_unique<orva_test::ws_client>());
        if (!sockets.back()->connected()) {
            std::fprintf(stderr, "client %d could not connect\n", c);
            return 1;
        }
    }
    std::mutex latencies_mutex;
    std::vector<double> latencies;
    std::atomic<int> complete{0}, out_of_order{0};
    std::vector<std::thread> readers;
    for (int c = 0; c < clients; ++c) {
        readers.emplace_back([&, c] {
            std::vector<double> mine;
            int expected = 0;
            while (expected < notifications) {
                auto m = sockets[c]->next(std::chrono::seconds(30));
                if (!m) break;
                int64_t received = now_ns();
                size_t at = m->payload.find("\"name\":\"seq-");
                if (at == std::string::npos) continue;
                int seq = 0;
                long long sent = 0;
                std::sscanf(m->payload.c_str() + at + 12, "%d-%lld", &seq, &sent);
                if (seq != expected) ++out_of_order;
                expected = seq + 1;
                mine.push_back((received - sent) / 1e6);
            }
            if (static_cast<int>(mine.size()) == notifications) ++complete;
            std::lock_guard lock(latencies_mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < notifications; ++i) {
        std::string value = "seq-" + std::to_string(i) + "-" + std::to_string(now_ns());
        orva_test::http_call("PUT", "/zones/1", "{\"id\":\"1\",\"name\":\"" + value + "\"}");
    }
    double sending_ms = orva_bench::ms_since(start);
    for (auto& r : readers) r.join();
    double total_ms = orva_bench::ms_since(start);

    std::printf("clients x notifications   %d x %d (plus one \"project_dirty\" per change)\n", clients, notifications);
    std::printf("clients that got all      %d of %d, out of order %d\n", complete.load(), clients, out_of_order.load());
    std::printf("deliveries                %zu of %d\n", latencies.size(), clients * notifications);
    std::printf("PUTs                      %.0f ms (%.0f changes/s); all delivered after %.0f ms\n", sending_ms,
                notifications / (sending_ms / 1000.0), total_ms);
    std::printf("delivery latency          p50 %.2f ms  p99 %.2f ms  max %.2f ms\n",
                orva_bench::percentile(latencies, 50), orva_bench::percentile(latencies, 99),
                orva_bench::percentile(latencies, 100));
    sockets.clear();
    return backend.stop() == 0 && complete == clients ? 0 : 1;
}
