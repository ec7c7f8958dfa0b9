// Import and export of a large project (500 frames, 2,000 channels, see
// bench/model/large_project.h) through a real backend process, as a user interface does
// them: `export_config` "save_as" and `import_config` with the file's text posted as JSON,
// each followed on the WebSocket until its final status. Prints the median time of
// several runs and the backend's peak resident memory during the runs of each operation
// against its resident memory before them (the peak is reset through
// /proc/<pid>/clear_refs).
//
//   scripts/sandbox.sh env ORVA_BIN_DIR=build/bin build/bench/bench_project_files [runs]
//
// With ORVA_BENCH_TRACE set, each run's time and the backend's resident memory after it
// are printed too (memory that stays after an import or export shows there).
#include "bench/model/large_project.h"
#include "backend/requests/model_json.h"
#include "bench_util.h"
#include "common/platform/platform.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"
#include "tests/support/jobs.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

namespace {

long status_kib(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

bool measure(const char* name, pid_t pid, int runs, const std::function<bool()>& operation) {
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
    const long before = status_kib(pid, "VmRSS");
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!operation()) {
            std::fprintf(stderr, "%s failed\n", name);
            return false;
        }
        ms.push_back(orva_bench::ms_since(start));
        if (std::getenv("ORVA_BENCH_TRACE"))
            std::printf("  run %d: %.1f ms, resident %.1f MiB\n", i + 1, ms.back(), status_kib(pid, "VmRSS") / 1024.0);
    }
    const long peak = status_kib(pid, "VmHWM");
    std::printf("%-7s median %7.1f ms over %d runs; backend resident before %6.1f MiB, peak %6.1f MiB (+%.1f MiB)\n",
                name, orva_bench::percentile(ms, 50), runs, before / 1024.0, peak / 1024.0,
                (peak - before) / 1024.0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    nox::project_store large;
    large.register_default_collections();
    orva_bench::fill_large_project(large);
    const std::string text = large.serialise();

    orva_test::backend_process::options options;
    options.configuration = text;
    orva_test::backend_process backend(options);
    if (!backend.ready()) return 1;
    orva_test::ws_client ws;
    if (!ws.connected()) return 1;
    // Measured once the project is loaded.
    orva_test::get_body_when("/frames/500", [](const std::string& body) { return body.find("\"id\":\"500\"") != std::string::npos; });

    bool ok = measure("export", backend.pid(), runs, [&] {
        auto done = orva_test::run_job(
            ws, R"({"method":"export_config","mode":"save_as","filename":"Large.xml","project":"Large","overwrite":"true"})",
            std::chrono::seconds(60));
        return done["export_result"] == "0";
    });
    // The file that the export wrote (with the settings that name it).
    const std::string saved = nox::platform::read_file(backend.projects_folder() + "/Large.xml").value_or("");
    std::string body = "{\"method\":\"import_config\",\"data\":";
    nox::append_json_string(body, saved);
    body += '}';
    ok = ok && measure("import", backend.pid(), runs, [&] {
        auto done = orva_test::run_job(ws, body, std::chrono::seconds(60));
        if (done["status"] != "done") {
            std::fprintf(stderr, "import did not end done:");
            for (const auto& [key, value] : done) std::fprintf(stderr, " %s=%s", key.c_str(), value.c_str());
            std::fprintf(stderr, "\n");
        }
        return done["status"] == "done";
    });
    std::printf("project: 500 frames, 2,000 channels, file %.1f KiB, import body %.1f KiB\n", saved.size() / 1024.0,
                body.size() / 1024.0);
    return backend.stop() == 0 && ok ? 0 : 1;
}
