// Import and export of a large project (500 frames, 2,000 channels, see large_project.h)
// as the `import_config` and `export_config` handlers do them, without the web layer:
// the median time of several runs, and the peak resident memory of the process during
// the runs of each operation compared with the resident memory before them (the peak is
// reset between the operations through /proc/self/clear_refs).
//
//   build/bench/project_file_bench [runs]
#include "backend/model/project_files.h"
#include "bench/model/large_project.h"
#include "common/platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long status_kib(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Runs `operation` `runs` times; prints its median time and the memory figures.
bool measure(const char* name, int runs, const std::function<bool()>& operation) {
    reset_peak();
    const long before = status_kib("VmRSS");
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = clock_type::now();
        if (!operation()) return false;
        ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    const long peak = status_kib("VmHWM");
    std::printf("%-7s median %7.1f ms over %d runs; resident before %6.1f MiB, peak %6.1f MiB (+%.1f MiB)\n",
                name, ms[ms.size() / 2], runs, before / 1024.0, peak / 1024.0, (peak - before) / 1024.0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    char pattern[] = "/tmp/orva_project_file_bench.XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    const std::string projects = folder + "/Documents/Orva";

    nox::project_store store;
    store.register_default_collections();
    store.set_paths(folder + "/configuration_orva.xml", folder + "/template.xml");
    orva_bench::fill_large_project(store);
    if (!store.save_locked()) return 1;

    nox::model request;
    request.set("mode", "save_as");
    request.set("filename", "Large.xml");
    request.set("project", "Large");
    request.set("overwrite", "true");
    bool ok = measure("export", runs, [&] {
        return nox::export_configuration(store, request, projects).result == nox::export_written;
    });

    const std::string text = nox::platform::read_file(projects + "/Large.xml").value_or("");
    ok = ok && measure("import", runs, [&] { return nox::import_configuration(store, text).result == 0; });

    std::printf("project: %zu frames, %zu channels, file %.1f KiB\n",
                store.collection("frames").size_locked(), store.collection("channels").size_locked(),
                text.size() / 1024.0);
    std::system(("rm -rf " + folder).c_str());
    return ok ? 0 : 1;
}
