// The backend's start and its REST service while the device registry is rebuilt, with a
// project of 64 associated Mira frames of which 8 name silent amplifiers (simulated on
// the sandbox network):
//   - time from the start of orva_backend to the first answer on GET / and on GET /frames
//     (median of the runs);
//   - in the last run, a load of the project (POST /requests "load_working_copy") rebuilds
//     the registry, which waits seconds for each silent amplifier; meanwhile one client
//     sends GETs of frames, channels, settings and the load's request back to back, each on
//     a new connection: their latency p50/p99/max;
//   - SIGINT to exit: in the runs before the last one, sent as soon as GET /frames has
//     answered (while the start's own rebuild waits for the silent amplifiers), in the
//     last one after the rebuild.
//
//   scripts/sandbox.sh env ORVA_BIN_DIR=build/bin build/bench/bench_start_rebuild [runs]
#include "bench_util.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tools/mira_sim/sim_client.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int frames = 64;
constexpr int silent_every = 8;  // every eighth amplifier is silent: 8 of 64

std::string amp_id(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "00000000:%08x", i);
    return text;
}

// Frames 1..64 with four channels each, associated with the amplifiers 1..64, and the
// sandbox's interface chosen for the Mira devices.
std::string project() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><settings><setting><id>1</id>"
                      "<selected_interface>10.99.0.1</selected_interface></setting></settings><frames>";
    for (int i = 1; i <= frames; ++i) {
        const int c = (i - 1) * 4 + 1;
        xml += "<frame><id>" + std::to_string(i) + "</id><frame_type>mira</frame_type><name>Amp " +
               std::to_string(i) + "</name><device_id>" + amp_id(i) + "</device_id><module_class>2</module_class>"
               "<channels>" + std::to_string(c) + " " + std::to_string(c + 1) + " " + std::to_string(c + 2) + " " +
               std::to_string(c + 3) + "</channels></frame>";
    }
    xml += "</frames><channels>";
    for (int i = 1; i <= frames; ++i)
        for (int k = 0; k < 4; ++k)
            xml += "<channel><id>" + std::to_string((i - 1) * 4 + k + 1) + "</id><frame_id>" + std::to_string(i) +
                   "</frame_id><frame_type>mira</frame_type><device_id>" + amp_id(i) + "</device_id><name>Ch" +
                   std::to_string(k + 1) + "</name></channel>";
    return xml + "</channels></configuration>\n";
}

// Milliseconds from `start` until GET `target` answers 200: polled every 2 ms while
// nothing listens; an answer that is held back (the project still loading) is waited for.
double first_answer(const std::string& target, steady::time_point start) {
    orva_test::http_options options;
    options.timeout = 60s;
    while (steady::now() - start < 90s) {
        if (orva_test::http_get(target, options).status == 200) return orva_bench::ms_since(start);
        std::this_thread::sleep_for(2ms);
    }
    return -1;
}

double median(std::vector<double> v) { return orva_bench::percentile(std::move(v), 50); }

struct rebuild_figures {
    double seconds = 0;
    std::vector<double> latencies;
    int failed = 0;
    bool finished = false;
};

// Posts a load of the project and sends GETs until the load's request has finished.
rebuild_figures rest_during_rebuild() {
    rebuild_figures f;
    const auto start = steady::now();
    const auto posted = orva_test::http_call("POST", "/requests", R"({"method":"load_working_copy"})");
    const std::string id = orva_test::json_field(posted.body, "id");
    if (posted.status != 200 || id.empty()) {
        std::printf("POST /requests load_working_copy answered %d: %s\n", posted.status, posted.body.c_str());
        return f;
    }
    const std::vector<std::string> targets = {"/frames", "/channels", "/settings", "/requests/" + id};
    orva_test::http_options options;
    options.timeout = 5s;
    for (size_t i = 0; steady::now() - start < 120s; ++i) {
        const std::string& target = targets[i % targets.size()];
        const auto sent = steady::now();
        const auto answer = orva_test::http_get(target, options);
        f.latencies.push_back(orva_bench::ms_since(sent));
        if (target == targets.back()) {
            // A finished request of its own leaves the list: 404 then.
            const std::string status = orva_test::json_field(answer.body, "status");
            if (answer.status == 404 || status == "done" || status == "fail") {
                f.finished = answer.status == 404 || status == "done";
                break;
            }
        }
        if (answer.status != 200) ++f.failed;
    }
    f.seconds = orva_bench::ms_since(start) / 1000.0;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::vector<std::string> sim_args;
    for (int i = 1; i <= frames; ++i) {
        sim_args.push_back("--amp");
        sim_args.push_back(amp_id(i));
    }
    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), sim_args);
    int silent = 0;
    for (int i = silent_every; i <= frames; i += silent_every, ++silent) sim.expect_ok("fault " + amp_id(i) + " silent");

    std::vector<double> roots, frame_lists, stops_during, stops_after;
    bool ok = true;
    rebuild_figures rebuild;
    for (int run = 1; run <= runs; ++run) {
        orva_test::backend_process::options options;
        options.configuration = project();
        options.start_timeout = 60s;
        // The clock starts just before the process is spawned; the poller runs beside the
        // constructor, which waits until the server listens.
        std::thread poller;
        double root = -1, frame_list = -1;
        options.before_start = [&](const std::string&) {
            const auto start = steady::now();
            poller = std::thread([&, start] {
                root = first_answer("/", start);
                frame_list = first_answer("/frames", start);
            });
        };
        orva_test::backend_process backend(options);
        if (poller.joinable()) poller.join();
        if (!backend.ready() || root < 0 || frame_list < 0) {
            std::printf("run %d: the backend did not answer (GET / %.0f ms, GET /frames %.0f ms)\n", run, root,
                        frame_list);
            ok = false;
            break;
        }
        std::printf("run %d: GET / after %.0f ms, GET /frames after %.0f ms\n", run, root, frame_list);
        roots.push_back(root);
        frame_lists.push_back(frame_list);
        if (run == runs) {
            // The start's own rebuild ends with the interface handed to the devices.
            backend.wait_for_log("Updating Mira devices interface", 60s);
            rebuild = rest_during_rebuild();
        }
        const auto stopping = steady::now();
        const int status = backend.stop();
        const double stop_ms = orva_bench::ms_since(stopping);
        (run == runs ? stops_after : stops_during).push_back(stop_ms);
        std::printf("run %d: SIGINT to exit %.0f ms (exit status %d)\n", run, stop_ms, status);
        ok = ok && status == 0;
    }
    if (roots.empty()) return 1;
    std::printf("%d frames, %d of them silent amplifiers, %zu runs\n", frames, silent, roots.size());
    std::printf("start to first answer on GET /:       median %.0f ms (target <= 300 ms)\n", median(roots));
    std::printf("start to first answer on GET /frames: median %.0f ms (target <= 300 ms)\n", median(frame_lists));
    if (!stops_during.empty())
        std::printf("SIGINT to exit during the start's rebuild: median %.0f ms (target <= 1000 ms)\n",
                    median(stops_during));
    std::printf("SIGINT to exit after the rebuild: median %.0f ms\n", median(stops_after));
    if (rebuild.latencies.empty()) return 1;
    std::printf("rebuild of the device registry (load of the project): %.1f s, %s\n", rebuild.seconds,
                rebuild.finished ? "done" : "not finished");
    std::printf("REST GETs during it: %zu (%d not 200), latency p50 %.2f ms, p99 %.2f ms, max %.2f ms "
                "(target p99 <= 20 ms)\n",
                rebuild.latencies.size(), rebuild.failed, orva_bench::percentile(rebuild.latencies, 50),
                orva_bench::percentile(rebuild.latencies, 99), orva_bench::percentile(rebuild.latencies, 100));
    return ok && rebuild.finished && rebuild.failed == 0 ? 0 : 1;
}
