// Request round trip: POST /requests, then GET /requests/<id> until the request has its
// final status, 1,000 times. The request names a frame that does not exist, so it travels
// the whole road (queue, processing thread, transaction queue, commit) and ends "fail"
// without an amplifier.
#include "bench_util.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"

#include <cstdio>
#include <thread>

int main() {
    orva_test::backend_process backend;
    if (!backend.ready()) return 1;
    std::vector<double> round_trips;
    std::vector<double> posts;
    size_t polls = 0, errors = 0;
    for (int i = 0; i < 1000; ++i) {
        auto start = std::chrono::steady_clock::now();
        auto posted = orva_test::http_call("POST", "/requests", R"({"method":"get","frame_id":"999999"})");
        posts.push_back(orva_bench::ms_since(start));
        size_t at = posted.body.find("\"id\":\"");
        if (posted.status != 200 || at == std::string::npos) {
            ++errors;
            continue;
        }
        const std::string id = posted.body.substr(at + 6, posted.body.find('"', at + 6) - at - 6);
        for (;;) {
            auto answer = orva_test::http_get("/requests/" + id);
            ++polls;
            if (answer.body.find("\"status\":\"fail\"") != std::string::npos) break;
            if (answer.status != 200 || orva_bench::ms_since(start) > 10000) {
                ++errors;
                break;
            }
        }
        round_trips.push_back(orva_bench::ms_since(start));
    }
    std::printf("requests                  %zu (%zu errors), %.2f GETs per request\n",
                round_trips.size(), errors, static_cast<double>(polls) / round_trips.size());
    std::printf("POST answer               p50 %.3f ms  p99 %.3f ms\n", orva_bench::percentile(posts, 50),
                orva_bench::percentile(posts, 99));
    std::printf("POST to final status      p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
                orva_bench::percentile(round_trips, 50), orva_bench::percentile(round_trips, 99),
                orva_bench::percentile(round_trips, 100));
    return backend.stop() == 0 && errors == 0 ? 0 : 1;
}
