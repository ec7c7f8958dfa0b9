// GET /metrics of a backend with 500 monitored frames (2,000 channels): scrape latency
// p50/p99 over 200 scrapes, and the size of the exposition.
#include "bench_util.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"

#include <cstdio>
#include <thread>

int main() {
    // Frames that monitoring has reached, with channels carrying monitoring states.
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><frames>";
    const int frames = 500;
    for (int f = 1; f <= frames; ++f) {
        const int c = (f - 1) * 4 + 1;
        xml += "<frame><id>" + std::to_string(f) + "</id><name>Amplifier " + std::to_string(f) +
               "</name><frame_type>mira</frame_type><channels>" + std::to_string(c) + " " + std::to_string(c + 1) +
               " " + std::to_string(c + 2) + " " + std::to_string(c + 3) +
               "</channels><mon_network_status>online</mon_network_status><mon_frame_status>0</mon_frame_status>"
               "<temperature_psm>41</temperature_psm><temperature_slot>38</temperature_slot></frame>";
    }
    xml += "</frames><channels>";
    for (int c = 1; c <= frames * 4; ++c)
        xml += "<channel><id>" + std::to_string(c) + "</id><frame_id>" + std::to_string((c - 1) / 4 + 1) +
               "</frame_id><mon_amp_status>0</mon_amp_status><mon_load_status>0</mon_load_status>"
               "<mon_signal_status>1</mon_signal_status><temperature>46</temperature></channel>";
    xml += "</channels></configuration>";

    orva_test::backend_process::options options;
    options.configuration = xml;
    orva_test::backend_process backend(options);
    if (!backend.ready()) {
        std::fprintf(stderr, "backend did not start\n%s", backend.log().c_str());
        return 1;
    }
    std::vector<double> times;
    size_t size = 0;
    for (int i = 0; i < 220; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto answer = orva_test::http_get("/metrics");
        if (i >= 20 && answer.status == 200) times.push_back(orva_bench::ms_since(start));
        size = answer.body.size();
    }
    std::printf("frames, channels          %d, %d\n", frames, frames * 4);
    std::printf("exposition size           %zu bytes\n", size);
    std::printf("GET /metrics              p50 %.2f ms, p99 %.2f ms (%zu scrapes)\n", orva_bench::percentile(times, 50),
                orva_bench::percentile(times, 99), times.size());
    return backend.stop() == 0 ? 0 : 1;
}
