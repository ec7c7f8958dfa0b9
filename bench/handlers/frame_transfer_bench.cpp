// A full frame download (`get`: the frame reader) and upload (`put`: the frame writer)
// against one simulated Mira amplifier. Prints, per transfer, the exchanges the device
// sent, the datagrams the simulator received (retries included) and the wall time.
//
// Runs the simulator as a child and talks to it on the sandbox network, so run it as
//   scripts/sandbox.sh build/bench/frame_transfer_bench [rounds]
#include "bench/common/counting_transport.h"
#include "backend/amp/mira_device.h"
#include "backend/requests/frame_transfer.h"
#include "backend/requests/request_engine.h"
#include "common/log/log.h"
#include "tools/mira_sim/sim_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using orva_bench::counting_transport;

using namespace nox::amp;

const std::string interface_address = "10.99.0.1";
const std::string amp_id = "0000abcd:00000001";

// Announces nothing; tells when the transactor has committed the settings marker, so
// that everything enqueued before it has been applied.
class marker_notifier : public nox::change_notifier {
public:
    void broadcast(const std::string&) override {}
    std::string build_notification(const std::string& collection, const nox::model& stored,
                                   const std::vector<std::string>&) override {
        if (collection == "settings" && stored.has("bench_mark")) {
            std::lock_guard lock(mutex_);
            marked_ = true;
            changed_.notify_all();
        }
        return {};
    }
    bool wait_marked() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return marked_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool marked_ = false;
};

struct series {
    std::vector<double> ms;
    long exchanges = 0;
    long datagrams = 0;
    int failures = 0;
};

void print(const char* name, const series& s, int rounds) {
    auto sorted = s.ms;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double v : sorted) sum += v;
    std::printf("%-9s rounds %d  exchanges/transfer %.1f  datagrams/transfer %.1f  ms: mean %.1f  min %.1f  "
                "median %.1f  max %.1f  failures %d\n",
                name, rounds, double(s.exchanges) / rounds, double(s.datagrams) / rounds, sum / rounds,
                sorted.front(), sorted[sorted.size() / 2], sorted.back(), s.failures);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const auto folder = std::filesystem::temp_directory_path() / ("orva-frame-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    nox::log::instance().set_log_path((folder / "orva.log").string());

    mira_sim::sim_client sim(mira_sim::sim_client::default_program(), {"--amp", amp_id + ",kind=2"});
    auto transport = std::make_shared<counting_transport>();
    mira_device dev(device_address{0x0000abcd, 1, 2}, transport, [] { return interface_address; });

    nox::project_store store;
    store.register_default_collections();
    store.set_paths((folder / "configuration_orva.xml").string(), (folder / "template.xml").string());
    marker_notifier notifier;
    nox::request_engine_options options;
    options.processing_threads = 0;
    nox::request_engine engine(store, notifier, options);
    std::vector<std::thread> workers;
    engine.start(workers);

    nox::model frame;
    frame.set("device_id", amp_id);
    frame.set("frame_type", "mira");
    const int32_t frame_id = store.collection("frames").add_locked(frame);
    std::string ids;
    for (int k = 0; k < 4; ++k) {
        nox::model channel;
        channel.set("frame_id", std::to_string(frame_id));
        ids += (k ? " " : "") + std::to_string(store.collection("channels").add_locked(channel));
    }
    nox::model list(frame_id);
    list.set("channels", ids);
    store.collection("frames").update(list);
    nox::model request;
    request.set("method", "get");
    request.set("device_id", amp_id);
    request.set("frame_id", std::to_string(frame_id));
    request.set("channels", ids);

    // One download first, so that the upload has every parameter to write.
    if (nox::read_frame(dev, request, engine) != 0) {
        std::fprintf(stderr, "frame_transfer_bench: first download failed\n");
        return 1;
    }
    nox::model mark(store.get_settings().id());
    mark.set("bench_mark", "1");
    engine.enqueue_write("settings", mark);
    if (!notifier.wait_marked()) {
        std::fprintf(stderr, "frame_transfer_bench: the download was not stored\n");
        return 1;
    }

    series get, put;
    for (int round = 0; round < rounds; ++round) {
        for (int pass = 0; pass < 2; ++pass) {
            series& s = pass == 0 ? get : put;
            sim.command("clear");
            const long before = transport->exchanges.load();
            const auto start = std::chrono::steady_clock::now();
            const int result = pass == 0 ? nox::read_frame(dev, request, engine) : nox::write_frame(dev, frame_id, engine);
            const auto end = std::chrono::steady_clock::now();
            s.ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            s.exchanges += transport->exchanges.load() - before;
            s.datagrams += static_cast<long>(sim.received().size());
            if (result != 0) ++s.failures;
        }
    }
    print("download", get, rounds);
    print("upload", put, rounds);

    engine.close();
    for (auto& t : workers) t.join();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
