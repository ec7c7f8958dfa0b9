// Crash safety of the project file and the lock file: the backend is killed with SIGKILL
// at random moments while clients change the project and the backend saves it, over and
// over, on one data folder. Run inside the network sandbox (scripts/test.sh, stage crash):
//
//   crash_safety_test [--kills N (20)] [--seed S]
//
// Each round starts orva_backend on the data folder, streams PUTs of a counter (every
// value one more than the last), adds models, and (in most rounds) posts downloads, each
// of which saves the project before it is done; a few rounds run long enough for the
// autosave instead. Then SIGKILL, at a random moment (sometimes while the backend is still
// starting). After every kill:
//   - the project file parses and holds the counter of a PUT that was sent, at least the
//     value acknowledged before the last save that a finished download confirmed;
//   - the next start takes the lock file over (the new process's id is in it) and loads
//     that same counter;
//   - after that start no temporary file of an interrupted save is left.
// Prints one line per kill and a summary; exits 1 at the first broken promise.
#include "backend/model/project_store.h"
#include "common/log/log.h"
#include "tests/support/backend_process.h"
#include "tests/support/http_client.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The counter in a project text; nullopt (with the reason) when the text does not load.
std::optional<long long> counter_in(const std::string& text, std::string& fault) {
    try {
        auto parsed = nox::parse_project_text(text, {"zones"});
        for (const auto& zone : parsed[0])
            if (zone.id() == 1 && zone.has("counter")) return nox::parse_int(zone.at("counter"));
        fault = "no counter in zone 1";
    } catch (const std::exception& e) {
        fault = e.what();
    }
    return std::nullopt;
}

// A project of a few hundred kilobytes, so that a save takes long enough to be hit.
std::string initial_project() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration><zones>"
                      "<zone><id>1</id><name>Counter</name><counter>0</counter></zone></zones><cables>";
    for (int i = 1; i <= 400; ++i) {
        xml += "<cable><id>" + std::to_string(i) + "</id>";
        for (int k = 0; k < 12; ++k) xml += "<attr" + std::to_string(k) + ">value " + std::to_string(i * k) + " of a cable</attr" + std::to_string(k) + ">";
        xml += "</cable>";
    }
    return xml + "</cables></configuration>";
}

// Files of interrupted saves: "<file>.new.XXXXXX" next to the project file.
std::vector<std::string> temporary_files(const fs::path& data) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(data, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".new.") != std::string::npos) found.push_back(name);
    }
    return found;
}

struct round_state {
    std::atomic<long long> sent{0};        // the highest counter sent
    std::atomic<long long> confirmed{0};   // acknowledged before a save that was confirmed
    std::atomic<long long> acknowledged{0};
    std::atomic<int> saves{0};
    std::atomic<bool> stop{false};
};

void put_stream(round_state& state) {
    orva_test::http_options quick;
    quick.timeout = 3s;
    while (!state.stop) {
        const long long next = state.sent + 1;
        state.sent = next;
        const auto answer = orva_test::http_call(
            "PUT", "/zones/1", "{\"id\":\"1\",\"counter\":\"" + std::to_string(next) + "\"}", quick);
        if (answer.status != 200) return;  // killed
        state.acknowledged = next;
        // Models added alongside, so that collections grow and shrink between saves.
        if (next % 7 == 0) orva_test::http_call("POST", "/impedances", "{\"name\":\"sweep " + std::to_string(next) + "\"}", quick);
    }
}

void save_stream(round_state& state, std::mt19937& random) {
    orva_test::http_options quick;
    quick.timeout = 3s;
    while (!state.stop) {
        const long long before = state.acknowledged;
        const auto posted = orva_test::http_call("POST", "/requests",
                                                 R"({"method":"sync","status":"start","direction":"get"})", quick);
        if (posted.status != 200) return;
        const std::string id = orva_test::json_field(posted.body, "id");
        // The download saves the project at its start; once it is done, that save is on disk.
        for (;;) {
            if (state.stop) return;
            const auto answer = orva_test::http_get("/requests/" + id, quick);
            if (answer.status != 200) return;
            if (orva_test::json_field(answer.body, "status") == "done") break;
            std::this_thread::sleep_for(5ms);
        }
        state.confirmed = std::max<long long>(state.confirmed, before);
        ++state.saves;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 40)(random)));
    }
}

int fail(int round, const std::string& message, const fs::path& data) {
    std::fprintf(stderr, "round %d: %s\n(data kept in %s)\n", round, message.c_str(), data.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int kills = 20;
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--kills") kills = std::atoi(argv[i + 1]);
        else if (option == "--seed") seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    nox::log::instance().set_log_path("");
    std::printf("crash safety: %d kills, seed %u\n", kills, seed);
    std::mt19937 random(seed);

    char pattern[] = "/tmp/orva-crash-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path home = pattern;
    const fs::path data = home / "Orva";
    fs::create_directories(data);
    const fs::path project = data / "configuration_orva.xml";
    std::ofstream(project, std::ios::binary) << initial_project();

    long long in_file = 0;  // the counter the project file held after the last kill
    int interrupted_saves = 0, during_start = 0, long_rounds = 0, confirmed_saves = 0;
    const auto started = steady::now();
    for (int round = 1; round <= kills; ++round) {
        const double kind = std::uniform_real_distribution<double>(0, 1)(random);
        const bool kill_in_start = kind < 0.1;
        const bool long_round = !kill_in_start && kind > 0.9;
        orva_test::backend_process::options options;
        options.home = home.string();
        if (kill_in_start) options.start_timeout = 0ms;
        orva_test::backend_process backend(options);
        if (kill_in_start) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 400)(random)));
            backend.kill();
            ++during_start;
        } else {
            if (!backend.ready()) return fail(round, "the backend did not start:\n" + backend.log(), data);
            // The lock file was taken over, and the start left no temporary file behind.
            const std::string pid = read_text(data / "main.pid");
            if (pid != std::to_string(backend.pid()))
                return fail(round, "main.pid holds \"" + pid + "\", not " + std::to_string(backend.pid()), data);
            if (const auto left = temporary_files(data); !left.empty())
                return fail(round, "temporary file left after the start: " + left.front(), data);
            // The backend loaded what the file held (the load runs as the first request).
            auto zone = orva_test::http_get("/zones/1");
            for (const auto until = steady::now() + 10s; zone.status == 404 && steady::now() < until;) {
                std::this_thread::sleep_for(10ms);
                zone = orva_test::http_get("/zones/1");
            }
            if (orva_test::json_field(zone.body, "counter") != std::to_string(in_file))
                return fail(round, "loaded counter " + orva_test::json_field(zone.body, "counter") + ", the file held " + std::to_string(in_file), data);

            round_state state;
            state.sent = state.confirmed = state.acknowledged = in_file;
            std::thread puts(put_stream, std::ref(state));
            std::mt19937 save_random(random());
            std::thread saves;
            if (!long_round) saves = std::thread(save_stream, std::ref(state), std::ref(save_random));
            // Long rounds outlast the 10-second autosave; the others end within 4 s.
            const int wait_ms = long_round ? std::uniform_int_distribution<int>(10000, 12000)(random)
                                           : std::uniform_int_distribution<int>(50, 4000)(random);
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            backend.kill();
            state.stop = true;
            puts.join();
            if (saves.joinable()) saves.join();
            long_rounds += long_round ? 1 : 0;
            confirmed_saves += state.saves;

            const std::string text = read_text(project);
            std::string fault;
            const auto counter = counter_in(text, fault);
            if (!counter) return fail(round, "the project file does not load: " + fault, data);
            if (*counter < state.confirmed || *counter > state.sent)
                return fail(round, "the file holds counter " + std::to_string(*counter) + "; confirmed saved " +
                                       std::to_string(state.confirmed) + ", highest sent " + std::to_string(state.sent),
                            data);
            if (*counter < in_file) return fail(round, "the file went back to an older counter", data);
            in_file = *counter;
        }
        const bool interrupted = !temporary_files(data).empty();
        interrupted_saves += interrupted ? 1 : 0;
        // Whatever the moment, the file still loads.
        std::string fault;
        const auto counter = counter_in(read_text(project), fault);
        if (!counter) return fail(round, "the project file does not load: " + fault, data);
        in_file = *counter;
        std::printf("kill %3d: %-13s counter in file %lld%s\n", round,
                    kill_in_start ? "while starting" : (long_round ? "after autosave" : "during writes"), in_file,
                    interrupted ? ", a save was interrupted" : "");
        std::fflush(stdout);
    }
    // One more start: it takes the lock over and cleans up after the last kill.
    {
        orva_test::backend_process::options options;
        options.home = home.string();
        orva_test::backend_process backend(options);
        if (!backend.ready()) return fail(kills + 1, "the backend did not start after the last kill", data);
        if (const auto left = temporary_files(data); !left.empty())
            return fail(kills + 1, "temporary file left after the start: " + left.front(), data);
        if (backend.stop() != 0) return fail(kills + 1, "the backend did not stop cleanly", data);
    }
    const double seconds = std::chrono::duration<double>(steady::now() - started).count();
    std::printf("crash safety: %d kills in %.0f s (%d while starting, %d after an autosave, %d interrupting a save; "
                "%d saves confirmed by downloads): the project file always loaded with an acknowledged counter, "
                "the lock file was always taken over, no temporary file outlived a start\n",
                kills, seconds, during_start, long_rounds, interrupted_saves, confirmed_saves);
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return 0;
}
