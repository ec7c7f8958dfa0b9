// Refused passwords against the other clients: a backend opened to the sandbox's network
// (ORVA_LISTEN_ADDRESS=0.0.0.0, one user) answers GET /api/version/ to a client with the
// right password from 10.99.0.2 and to a loopback client; their latency (p50/p99) is
// measured alone and again while four threads send wrong passwords from 10.99.0.2 as fast
// as the server answers them.
#include "bench_util.h"
#include "tests/support/backend_process.h"
#include "tests/support/digest_auth.h"
#include "tests/support/http_client.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

orva_test::http_options from_other_host() {
    orva_test::http_options o;
    o.host = "10.99.0.1";
    o.source = "10.99.0.2";
    return o;
}

struct latencies {
    std::vector<double> remote, local;
};

latencies measure(std::chrono::seconds duration, const std::string& challenge) {
    latencies result;
    auto options = from_other_host();
    options.headers["Authorization"] =
        orva_test::digest_authorization(challenge, {"alice", "right"}, "GET", "/api/version/");
    const auto end = clock_type::now() + duration;
    while (clock_type::now() < end) {
        auto start = clock_type::now();
        if (orva_test::http_get("/api/version/", options).status == 200) result.remote.push_back(orva_bench::ms_since(start));
        start = clock_type::now();
        if (orva_test::http_get("/api/version/").status == 200) result.local.push_back(orva_bench::ms_since(start));
    }
    return result;
}

void report(const char* what, const latencies& l) {
    std::printf("%-28s remote p50 %.2f ms p99 %.2f ms (%zu) | loopback p50 %.2f ms p99 %.2f ms (%zu)\n", what,
                orva_bench::percentile(l.remote, 50), orva_bench::percentile(l.remote, 99), l.remote.size(),
                orva_bench::percentile(l.local, 50), orva_bench::percentile(l.local, 99), l.local.size());
}

}  // namespace

int main() {
    orva_test::backend_process::options options;
    options.environment["ORVA_LISTEN_ADDRESS"] = "0.0.0.0";
    options.users["alice"] = "right";
    orva_test::backend_process backend(options);
    if (!backend.ready()) {
        std::fprintf(stderr, "backend did not start\n%s", backend.log().c_str());
        return 1;
    }
    const auto challenge = orva_test::http_get("/", from_other_host()).headers["www-authenticate"];
    const auto duration = std::chrono::seconds(3);
    measure(std::chrono::seconds(1), challenge);  // warm-up
    report("alone", measure(duration, challenge));

    std::atomic<bool> stop{false};
    std::atomic<long> refused{0};
    std::vector<std::thread> guessers;
    for (int t = 0; t < 4; ++t) {
        guessers.emplace_back([&, t] {
            auto o = from_other_host();
            for (long i = 0; !stop; ++i) {
                o.headers["Authorization"] = orva_test::digest_authorization(
                    challenge, {"alice", "guess" + std::to_string(t) + "-" + std::to_string(i)}, "GET", "/frames");
                if (orva_test::http_get("/frames", o).status == 401) ++refused;
            }
        });
    }
    const auto started = clock_type::now();
    const latencies during = measure(duration, challenge);
    stop = true;
    for (auto& g : guessers) g.join();
    const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    report("with 4 guessing threads", during);
    std::printf("wrong passwords refused      %ld (%.0f per second)\n", refused.load(), refused / seconds);
    return backend.stop() == 0 ? 0 : 1;
}
