// orva_backend monitoring Tesira-hosted amplifiers: AMPS amplifier blocks on one simulated
// Tesira server, a project with one frame per block, the backend left to monitor them.
// Prints the monitoring cycle period and the backend's processor use over SECONDS, then
// the time from the server refusing connections until every frame shows "offline", and
// from its return until every frame shows "online" again.
//
//   scripts/sandbox.sh env ORVA_BIN_DIR=build/bin build/bench/tesira_backend_bench [amps] [seconds]
//
// Must run inside the network sandbox (the server listens on 10.99.0.2:23).
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tools/sim_amp/sim_client.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

std::string tag(int i) { return "Amp" + std::to_string(i); }

std::string project(int amps) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><frames>";
    for (int i = 1; i <= amps; ++i) {
        const int c = (i - 1) * 4 + 1;
        xml += "<frame><id>" + std::to_string(i) + "</id><frame_type>tesira</frame_type><name>" + tag(i) +
               "</name><device_id>" + tag(i) + "</device_id><server_address>10.99.0.2</server_address><channels>" +
               std::to_string(c) + " " + std::to_string(c + 1) + " " + std::to_string(c + 2) + " " +
               std::to_string(c + 3) + "</channels></frame>";
    }
    xml += "</frames><channels>";
    for (int i = 1; i <= amps; ++i) {
        for (int k = 0; k < 4; ++k) {
            xml += "<channel><id>" + std::to_string((i - 1) * 4 + k + 1) + "</id><frame_id>" + std::to_string(i) +
                   "</frame_id><frame_type>tesira</frame_type><device_id>" + tag(i) + "</device_id></channel>";
        }
    }
    return xml + "</channels></configuration>";
}

double processor_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::atoll(field.c_str());
        if (i == 15) stime = std::atoll(field.c_str());
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Seconds until every frame shows `state` (polled every 100 ms, at most `limit`).
double until_all(int amps, const std::string& state, std::chrono::seconds limit) {
    const auto start = steady::now();
    while (steady::now() - start < limit) {
        const auto frames = orva_test::http_get("/frames").body;
        if (count(frames, "\"mon_network_status\":\"" + state + "\"") == static_cast<std::size_t>(amps)) {
            return std::chrono::duration<double>(steady::now() - start).count();
        }
        std::this_thread::sleep_for(100ms);
    }
    return -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int amps = argc > 1 ? std::atoi(argv[1]) : 16;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    std::vector<std::string> args{"--bind", "10.99.0.2"};
    for (int i = 1; i <= amps; ++i) {
        args.push_back("--block");
        args.push_back(tag(i));
    }
    sim_amp::sim_client sim(sim_amp::sim_client::program("orva_tesira_sim"), args);
    orva_test::backend_process::options options;
    options.configuration = project(amps);
    orva_test::backend_process backend(options);
    if (!backend.ready()) {
        std::fprintf(stderr, "the backend did not start\n");
        return 1;
    }
    if (until_all(amps, "online", 60s) < 0) {
        std::fprintf(stderr, "the frames did not come online\n%s", backend.log().c_str());
        return 1;
    }
    std::this_thread::sleep_for(5s);  // warm-up

    const auto reads = [&] { return count(backend.log(), "Fetching monitor data"); };
    const std::size_t reads0 = reads();
    const double cpu0 = processor_seconds(backend.pid());
    const auto t0 = steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const std::size_t reads1 = reads();
    const double cpu1 = processor_seconds(backend.pid());
    const double wall = std::chrono::duration<double>(steady::now() - t0).count();
    const double cycles = double(reads1 - reads0) / amps;
    std::printf("orva_backend monitoring %d Tesira-hosted amplifiers on one server for %.1f s\n", amps, wall);
    std::printf("  cycles: %.0f, period %.3f s\n", cycles, cycles > 0 ? wall / cycles : 0.0);
    std::printf("  processor use: %.2f%% of one core (%.2f s)\n", 100.0 * (cpu1 - cpu0) / wall, cpu1 - cpu0);

    sim.expect_ok("fault refuse");
    const double detect = until_all(amps, "offline", 60s);
    sim.expect_ok("fault none");
    const double recover = until_all(amps, "online", 90s);
    std::printf("  server dropped: every frame offline after %.2f s\n", detect);
    std::printf("  server back: every frame online after %.2f s\n", recover);
    backend.stop();
    return 0;
}
