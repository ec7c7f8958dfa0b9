// The Tesira client's round trip against orva_tesira_sim on the sandbox network: a `get`
// of an attribute and a `peek` of a 56-word cache line, each p50/p99 over the given number
// of exchanges on one connection, and the time to connect and log in.
//
//   scripts/sandbox.sh build/bench/tesira_bench [exchanges]
//
// Must run inside the network sandbox (the server listens on 10.99.0.2:23).
#include "backend/amp/tesira_basic.h"
#include "common/log/log.h"
#include "tools/sim_amp/sim_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

void report(const char* what, std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) { return micros[static_cast<std::size_t>(q * double(micros.size() - 1))]; };
    std::printf("%-28s p50 %8.1f us   p99 %8.1f us   max %8.1f us   (%zu exchanges)\n", what, at(0.5), at(0.99),
                micros.back(), micros.size());
}

template <class F>
std::vector<double> timed(int count, F exchange) {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = steady::now();
        if (exchange() != 0) {
            std::fprintf(stderr, "exchange %d failed\n", i);
            std::exit(1);
        }
        micros.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count());
    }
    return micros;
}

}  // namespace

int main(int argc, char** argv) {
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 5000;
    // The client logs every command line: keep that file out of the measurement's way.
    nox::log::instance().set_log_path("/tmp/tesira_bench.log");
    nox::log::instance().log_truncate();
    sim_amp::sim_client sim(sim_amp::sim_client::program("orva_tesira_sim"),
                            {"--bind", "10.99.0.2", "--block", "Amp1=Bench", "--login", "admin:orva"});
    nox::tesira_basic client("10.99.0.2");
    client.set_credentials("admin", "orva");
    const auto started = steady::now();
    client.connect();
    const double connect_ms = std::chrono::duration<double, std::milli>(steady::now() - started).count();
    if (!client.connected()) {
        std::fprintf(stderr, "cannot connect to the simulated server\n");
        return 1;
    }
    std::printf("connect, negotiate and log in: %.2f ms\n", connect_ms);
    std::string reply;
    report("get ampName", timed(exchanges, [&] {
               reply.clear();
               return client.get("Amp1", "ampName", reply);
           }));
    report("peek 56 words (block 5)", timed(exchanges, [&] {
               reply.clear();
               return client.peek("Amp1", 0x50000, 56, reply);
           }));
    return 0;
}
