// REST throughput: GET /frames (100 frames) against a static file of the same size from
// the same server, each with several client threads on new connections (the server
// closes every connection after its answer) for a fixed time.
#include "bench_util.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

double requests_per_second(const std::string& target, size_t expected_size, int threads,
                           std::chrono::seconds duration, size_t& errors) {
    std::atomic<size_t> done{0}, failed{0};
    const std::string raw = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nConnection: close\r\n\r\n";
    auto end = std::chrono::steady_clock::now() + duration;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            while (std::chrono::steady_clock::now() < end) {
                auto answer = orva_test::http_exchange(raw);
                if (answer.status == 200 && answer.body.size() == expected_size) ++done;
                else ++failed;
            }
        });
    }
    for (auto& w : workers) w.join();
    errors = failed;
    return static_cast<double>(done) / static_cast<double>(duration.count());
}

}  // namespace

int main() {
    orva_test::backend_process::options options;
    options.configuration = orva_bench::project_with_frames(100);
    orva_test::backend_process backend(options);
    if (!backend.ready()) {
        std::fprintf(stderr, "backend did not start\n%s", backend.log().c_str());
        return 1;
    }
    // Wait for the working copy (100 frames) to be loaded.
    std::string frames;
    for (int i = 0; i < 500 && frames.size() < 1000; ++i) {
        frames = orva_test::http_get("/frames").body;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string static_name = "bench_static_frames.json";
    const std::string static_path = orva_test::backend_process::bin_dir() + "/html/" + static_name;
    std::ofstream(static_path, std::ios::binary) << frames;

    const int threads = 4;
    const auto duration = std::chrono::seconds(5);
    size_t api_errors = 0, static_errors = 0;
    // Warm-up of both paths.
    requests_per_second("/frames", frames.size(), threads, std::chrono::seconds(1), api_errors);
    double api = requests_per_second("/frames", frames.size(), threads, duration, api_errors);
    double file = requests_per_second("/" + static_name, frames.size(), threads, duration, static_errors);
    std::filesystem::remove(static_path);

    std::printf("body size                 %zu bytes (100 frames)\n", frames.size());
    std::printf("client threads            %d, %lld s each, new connection per request\n", threads,
                static_cast<long long>(duration.count()));
    std::printf("GET /frames               %.0f req/s (%zu errors)\n", api, api_errors);
    std::printf("GET /%s  %.0f req/s (%zu errors)\n", static_name.c_str(), file, static_errors);
    std::printf("API / static              %.2f (%.0f against %.0f req/s; target >= 0.50)\n", api / file, api, file);
    return backend.stop() == 0 ? 0 : 1;
}
