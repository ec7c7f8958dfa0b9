// Full parameter reads of one simulated Mira amplifier: list 0 (every mapped parameter)
// and list 1 (the monitor's subset), read with the reply cache on (as the full reader
// does) and, for comparison, off. Prints the exchanges that went on the wire and the wall
// time per read.
//
// Runs the simulator as a child and talks to it on the sandbox network, so run it as
//   scripts/sandbox.sh build/bench/mira_bench [rounds]
#include "bench/common/counting_transport.h"
#include "backend/amp/mira_device.h"
#include "backend/amp/network_interfaces.h"
#include "common/log/log.h"
#include "tools/mira_sim/sim_client.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

using orva_bench::counting_transport;

using namespace nox::amp;

struct figures {
    long exchanges = 0;
    double seconds = 0;
    int rows = 0;
    int failed = 0;
};

figures read_list(mira_device& dev, counting_transport& transport, int which, bool cache) {
    std::vector<param_entry> rows;
    if (dev.parameter_list(which, rows) != 0) {
        std::fprintf(stderr, "mira_bench: no parameter list\n");
        std::exit(1);
    }
    figures f;
    const long before = transport.exchanges.load();
    const auto start = std::chrono::steady_clock::now();
    if (cache) dev.cache_on();
    for (const auto& row : rows) {
        param_value value;
        if (dev.read_param(row, value) != 0) ++f.failed;
        ++f.rows;
    }
    if (cache) dev.cache_off();
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.exchanges = transport.exchanges.load() - before;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    // Quiet log: the transport logs every exchange.
    nox::log::instance().set_log_path("/tmp/orva_mira_bench.log");
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), {"--amp", "00000001:00000001"});
    set_mira_interface("10.99.0.1");
    auto transport = std::make_shared<counting_transport>();
    mira_device dev(device_address{1, 1, 2}, transport);
    for (const bool cache : {true, false}) {
        for (const int which : {0, 1}) {
            figures total;
            for (int i = 0; i < rounds; ++i) {
                const figures f = read_list(dev, *transport, which, cache);
                total.exchanges += f.exchanges;
                total.seconds += f.seconds;
                total.rows = f.rows;
                total.failed += f.failed;
            }
            std::printf("list %d, cache %s: %d rows, %.1f exchanges per read, %.2f ms per read, "
                        "%.3f ms per exchange, %d failed reads over %d rounds\n",
                        which, cache ? "on " : "off", total.rows, double(total.exchanges) / rounds,
                        1000.0 * total.seconds / rounds, 1000.0 * total.seconds / double(total.exchanges),
                        total.failed, rounds);
        }
    }
    return 0;
}
