// The backend's request machinery for benchmarks against simulated Mira amplifiers, in
// the benchmark's own process: project store, request engine (eight processing threads
// and the transactor), device registry with Mira devices on a counting UDP transport,
// the frame reader and writer, the sync handlers, the monitoring read and, on request,
// the monitor thread. It records when each frame's monitoring read completes, so a
// benchmark can tell how old the monitoring data of each amplifier gets.
//
// Thread safety: construct and destroy on one thread; the recorders are guarded.
#pragma once

#include "bench/common/counting_transport.h"
#include "backend/amp/mira_device.h"
#include "backend/amp/mira_family.h"
#include "backend/amp/network_interfaces.h"
#include "backend/model/device_registry.h"
#include "backend/requests/device_wiring.h"
#include "backend/requests/frame_transfer.h"
#include "backend/requests/monitor_thread.h"
#include "backend/requests/monitoring.h"
#include "backend/requests/request_engine.h"
#include "backend/requests/sync_handlers.h"
#include "common/log/log.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orva_bench {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline const std::string interface_address = "10.99.0.1";

class quiet_notifier : public nox::change_notifier {
public:
    void broadcast(const std::string&) override {}
    std::string build_notification(const std::string&, const nox::model&, const std::vector<std::string>&) override {
        return {};
    }
};

inline double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

inline long rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

inline std::string amp_id(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "00000000:%08x", i + 1);
    return text;
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5))];
}

// The backend's request machinery for `amps` associated Mira frames.
class rig {
public:
    // `extra_handlers` installs further handlers (it sees the engine and the registry)
    // before the threads start.
    explicit rig(int amps,
                 const std::function<void(nox::request_engine&, nox::device_registry&)>& extra_handlers = {}) {
        folder_ = std::filesystem::temp_directory_path() / ("orva-monitor-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
        const char* log_path = std::getenv("MONITOR_BENCH_LOG");
        nox::log::instance().set_log_path(log_path ? log_path : (folder_ / "orva.log").string());
        store_.register_default_collections();
        store_.set_paths((folder_ / "configuration_orva.xml").string(), (folder_ / "template.xml").string());
        for (int i = 0; i < amps; ++i) add_frame(i);
        nox::amp::set_mira_interface(interface_address);

        nox::device_registry::hooks hooks;
        hooks.make_device = [this](const nox::model& frame) -> nox::device_registry::device_ptr {
            auto address = nox::amp::parse_device_id(frame.get("device_id"), 2);
            if (!address) return nullptr;
            return std::make_shared<nox::amp::mira_device>(*address, transport_);
        };
        hooks.commit = [this](const std::string& c, const nox::model& m, bool) { engine_.enqueue_write(c, m); };
        registry_.set_hooks(hooks);
        registry_.rebuild_devices(false);

        nox::register_frame_handlers(engine_.methods(), registry_);
        nox::register_monitoring_handlers(engine_.methods(),
                                          {[this](const std::string& id) { return registry_.lookup(id); }});
        // Record when each frame's monitoring read completes.
        const nox::request_handler read = *engine_.methods().find("get_monitor", "wait");
        engine_.methods().set_handler("get_monitor", "wait", [this, read](nox::model& r, nox::request_engine& e) {
            read(r, e);
            if (r.get("status") != "done") return;
            std::lock_guard lock(mutex_);
            reads_[r.get("device_id")].push_back(clock_type::now());
        });
        nox::sync_options options;
        // For comparison with a wait step that requeues itself without pause: 0.
        if (const char* pause = std::getenv("MONITOR_BENCH_WAIT_PAUSE_MS"))
            options.wait_pause = std::chrono::milliseconds(std::atoi(pause));
        options.on_completed = [this](const std::string& direction) {
            {
                std::lock_guard lock(mutex_);
                if (direction == "get_monitor") cycles_.push_back(clock_type::now());
                ++completed_;
            }
            done_.notify_all();
        };
        sync_ = std::make_unique<nox::sync_service>(options);
        sync_->register_handlers(engine_.methods());
        if (extra_handlers) extra_handlers(engine_, registry_);
        engine_.start(workers_);
    }
    ~rig() {
        if (monitor_) monitor_->stop();
        engine_.close();
        for (auto& t : workers_) t.join();
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    void start_monitor() {
        monitor_ = std::make_unique<nox::monitor_thread>(engine_);
        workers_.push_back(monitor_->start());
    }

    // Posts a sync in `direction` and waits for it; returns the request as stored.
    nox::model sync(const std::string& direction) {
        nox::model r;
        r.set("method", "sync");
        r.set("status", "start");
        r.set("direction", direction);
        const int before = completed();
        const auto id = engine_.post_request(r).id();
        std::unique_lock lock(mutex_);
        done_.wait_for(lock, 600s, [&] { return completed_ > before; });
        lock.unlock();
        // The completion is committed right after the handler returns.
        for (int i = 0; i < 100; ++i) {
            nox::model stored = store_.collection("requests").get_locked(id);
            if (stored.has("status", "done") || stored.has("status", "fail")) return stored;
            std::this_thread::sleep_for(5ms);
        }
        return store_.collection("requests").get_locked(id);
    }

    int completed() {
        std::lock_guard lock(mutex_);
        return completed_;
    }
    std::vector<clock_type::time_point> cycles() {
        std::lock_guard lock(mutex_);
        return cycles_;
    }
    std::map<std::string, std::vector<clock_type::time_point>> reads() {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    counting_transport& transport() { return *transport_; }
    nox::request_engine& engine() { return engine_; }
    nox::project_store& store() { return store_; }
    // The ids of frame `i`'s channels (frames are added in amplifier order, from id 1).
    std::vector<int32_t> channels_of(int i) {
        return nox::channel_ids_of(store_.collection("frames").get_locked(i + 1));
    }
    nox::sync_service& sync_service() { return *sync_; }

private:
    void add_frame(int i) {
        nox::model f;
        f.set("frame_type", "mira");
        f.set("name", "Amp " + std::to_string(i + 1));
        f.set("device_id", amp_id(i));
        f.set("module_class", "2");
        const int32_t id = store_.collection("frames").add_locked(f);
        std::string ids;
        for (int k = 0; k < 4; ++k) {
            nox::model ch;
            ch.set("frame_id", std::to_string(id));
            ch.set("frame_type", "mira");
            ch.set("device_id", amp_id(i));
            ch.set("name", "Ch" + std::to_string(k + 1));
            ids += (ids.empty() ? "" : " ") + std::to_string(store_.collection("channels").add_locked(ch));
        }
        nox::model change(id);
        change.set("channels", ids);
        store_.collection("frames").update(change);
    }

    std::filesystem::path folder_;
    nox::project_store store_;
    quiet_notifier notifier_;
    nox::request_engine engine_{store_, notifier_};
    nox::device_registry registry_{store_};
    std::shared_ptr<counting_transport> transport_ = std::make_shared<counting_transport>();
    std::unique_ptr<nox::sync_service> sync_;
    std::unique_ptr<nox::monitor_thread> monitor_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable done_;
    int completed_ = 0;
    std::vector<clock_type::time_point> cycles_;
    std::map<std::string, std::vector<clock_type::time_point>> reads_;
};

inline std::vector<std::string> sim_arguments(int amps) {
    std::vector<std::string> args;
    for (int i = 0; i < amps; ++i) {
        args.push_back("--amp");
        args.push_back(amp_id(i));
    }
    return args;
}

}  // namespace orva_bench
