// Mira transport figures against orva_mira_sim on the sandbox network:
//   - text exchange round trip (fresh port per exchange, as the device layer does it, and
//     one port reused), p50 / p99 / mean over N exchanges;
//   - processor time (getrusage) of one exchange with a silent amplifier.
// Run inside the network sandbox:  scripts/sandbox.sh build/bench/amp_transport_bench [N]
#include "backend/amp/velto_eth_port.h"
#include "common/log/log.h"
#include "tools/mira_sim/sim_client.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
const std::string interface_address = "10.99.0.1";
const P20SPI::CDeviceAddress target{0x00000001, 0x00000001, 2};

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void report(const char* what, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) sum += m;
    const auto at = [&](double q) { return micros[std::min(micros.size() - 1, std::size_t(q * micros.size()))]; };
    std::printf("%-36s n=%zu  p50=%.1f us  p99=%.1f us  mean=%.1f us  max=%.1f us\n", what, micros.size(), at(0.50),
                at(0.99), sum / micros.size(), micros.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (count <= 0) return 2;
    nox::log::instance().set_log_path("/tmp/amp_transport_bench.log");
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), {"--amp", "00000001:00000001"});

    std::vector<double> micros;
    micros.reserve(count);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = steady::now();
        P20SPI::CVeltoEthPort port(interface_address);
        port.open_target(target);
        std::string reply;
        if (port.transact_text("Dev.ModelName?", reply) != 0) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count());
    }
    report("text exchange, port per exchange", micros);

    micros.clear();
    {
        P20SPI::CVeltoEthPort port(interface_address);
        port.open_target(target);
        for (int i = 0; i < count; ++i) {
            const auto start = steady::now();
            std::string reply;
            if (port.transact_text("Dev.ModelName?", reply) != 0) ++failures;
            micros.push_back(std::chrono::duration<double, std::micro>(steady::now() - start).count());
        }
    }
    report("text exchange, one port reused", micros);

    sim.expect_ok("fault 00000001:00000001 silent");
    constexpr int silent_rounds = 3;
    for (const char* command : {"Dev.Power?", "Dev.Reset.Soft!"}) {
        const double cpu_before = cpu_seconds();
        const auto wall_before = steady::now();
        for (int i = 0; i < silent_rounds; ++i) {
            P20SPI::CVeltoEthPort port(interface_address);
            port.open_target(target);
            std::string reply;
            if (port.transact_text(command, reply) != 13) ++failures;
        }
        const double cpu = (cpu_seconds() - cpu_before) / silent_rounds;
        const double wall = std::chrono::duration<double>(steady::now() - wall_before).count() / silent_rounds;
        std::printf("silent amplifier, %-17s wall=%.3f s  cpu=%.3f ms per exchange\n", command, wall, cpu * 1e3);
    }
    if (failures) std::printf("unexpected results: %d\n", failures);
    return failures ? 1 : 0;
}
