// `nox::prometheus_metrics`: the backend's metrics in the Prometheus text exposition
// format (version 0.0.4), written with prometheus-cpp's core library and served by the
// backend's own web server at GET /metrics. docs/metrics.md lists every metric.
//
// Two kinds of metric:
//   - counted: what the areas report through the metrics sink (amplifier exchanges,
//     requests with their latency, monitoring cycles, project saves, refused
//     credentials), kept in a prometheus-cpp registry;
//   - read at each scrape: frames by state and, per frame and channel, the monitoring
//     states and temperatures from the project's `frames` and `channels`, the number of
//     WebSocket clients, uptime and version.
//
// A scrape never waits for a whole-project operation (a load, an import, a save): it
// reads frames and channels together under the project's model mutex when that is free
// at once, and otherwise answers with the frames and channels of its previous reading,
// so frame and channel series always come from one and the same project state.
//
// Thread safety: the sink's reports and `scrape` may be called from any thread at once.
#pragma once

#include "backend/model/model.h"
#include "common/metrics/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace nox {

class project_store;

class prometheus_metrics final : public metrics_sink {
public:
    using clock = std::chrono::steady_clock;

    struct sources {
        std::string version;
        std::string revision;
        // The number of connected WebSocket clients.
        std::function<std::size_t()> websocket_clients;
        // The amplifier families whose exchange counters exist from the start.
        std::vector<std::string> families = {"mira", "tesira"};
        std::function<clock::time_point()> now = [] { return clock::now(); };
    };

    prometheus_metrics(project_store& store, sources sources);

    void exchange(const std::string& family, bool ok) override;
    void request_posted(std::int32_t id) override;
    void request_processed(std::int32_t id, const std::string& method, const std::string& status,
                           bool requeued) override;
    void monitoring_cycle(duration took) override;
    void project_saved(duration took, bool ok) override;
    void credentials_refused() override;

    // The whole exposition text.
    std::string scrape();

private:
    struct project_reading {
        std::vector<model> frames;
        std::vector<model> channels;
    };
    project_reading read_project();

    project_store& store_;
    const sources sources_;
    const clock::time_point started_;

    prometheus::Registry registry_;
    prometheus::Family<prometheus::Counter>& exchanges_;
    prometheus::Family<prometheus::Counter>& exchange_failures_;
    prometheus::Family<prometheus::Counter>& requests_;
    prometheus::Family<prometheus::Histogram>& request_seconds_;
    prometheus::Gauge& cycle_last_seconds_;
    prometheus::Histogram& cycle_seconds_;
    prometheus::Histogram& save_seconds_;
    prometheus::Counter& save_failures_;
    prometheus::Counter& credentials_refused_;
    prometheus::Gauge& uptime_;

    std::mutex posted_mutex_;
    std::unordered_map<std::int32_t, clock::time_point> posted_;  // guarded by posted_mutex_

    std::mutex reading_mutex_;
    project_reading last_reading_;  // guarded by reading_mutex_
};

}  // namespace nox
