#include "backend/api/prometheus_metrics.h"

#include "backend/model/project_store.h"

#include <prometheus/text_serializer.h>

#include <charconv>
#include <optional>
#include <sstream>

namespace nox {

namespace pm = prometheus;

namespace {

using labels = std::vector<pm::ClientMetric::Label>;

const pm::Histogram::BucketBoundaries request_buckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                          1,     2.5,  5,     10,   30,  60};
const pm::Histogram::BucketBoundaries cycle_buckets = {0.1, 0.25, 0.5, 1, 1.5, 2, 3, 5, 10, 20, 30, 60};
const pm::Histogram::BucketBoundaries save_buckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,   0.25,   0.5,   1,    2.5,   5};

double seconds(metrics_sink::duration d) { return std::chrono::duration<double>(d).count(); }

// The attribute as a number; nothing when it is missing or not wholly a number.
std::optional<double> number(const model& m, const std::string& key) {
    auto it = m.attributes().find(key);
    if (it == m.attributes().end() || it->second.empty()) return std::nullopt;
    const std::string& text = it->second;
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A gauge family built at scrape time.
class gauge_family {
public:
    gauge_family(std::string name, std::string help) {
        family_.name = std::move(name);
        family_.help = std::move(help);
        family_.type = pm::MetricType::Gauge;
    }
    void add(labels l, double value) {
        pm::ClientMetric m;
        m.label = std::move(l);
        m.gauge.value = value;
        family_.metric.push_back(std::move(m));
    }
    pm::MetricFamily take() { return std::move(family_); }

private:
    pm::MetricFamily family_;
};

// The channel ids of a frame's `channels` attribute, in order (the position is the
// channel's index on its amplifier).
std::vector<std::int32_t> channel_ids(const model& frame) {
    std::vector<std::int32_t> ids;
    const std::string text = frame.get("channels");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(" \t", pos);
        if (end == std::string::npos) end = text.size();
        std::int32_t id = 0;
        auto [at, error] = std::from_chars(text.data() + pos, text.data() + end, id);
        if (end > pos && error == std::errc() && at == text.data() + end) ids.push_back(id);
        pos = end + 1;
    }
    return ids;
}

// The frame's worst monitoring code among its own and its channels' summaries: 2 (fault)
// above 1 (warning); 0 when neither occurs.
int worst_code(const model& frame) {
    int worst = 0;
    for (const char* key : {"mon_frame_status", "mon_chs_amp_status", "mon_chs_load_status", "mon_chs_signal_status"}) {
        auto code = number(frame, key);
        if (code && *code == 2) return 2;
        if (code && *code == 1) worst = 1;
    }
    return worst;
}

}  // namespace

prometheus_metrics::prometheus_metrics(project_store& store, sources sources)
    : store_(store),
      sources_(std::move(sources)),
      started_(sources_.now()),
      exchanges_(pm::BuildCounter()
                     .Name("orva_amplifier_exchanges_total")
                     .Help("Exchanges with amplifiers, by amplifier family")
                     .Register(registry_)),
      exchange_failures_(pm::BuildCounter()
                             .Name("orva_amplifier_exchange_failures_total")
                             .Help("Exchanges with amplifiers that failed (no answer, negative answer), by family")
                             .Register(registry_)),
      requests_(pm::BuildCounter()
                    .Name("orva_requests_total")
                    .Help("Requests that left the request queue, by method and outcome (done, fail, other)")
                    .Register(registry_)),
      request_seconds_(pm::BuildHistogram()
                           .Name("orva_request_duration_seconds")
                           .Help("Time from posting a request to its end, by method")
                           .Register(registry_)),
      cycle_last_seconds_(pm::BuildGauge()
                              .Name("orva_monitoring_cycle_last_seconds")
                              .Help("Duration of the last completed monitoring cycle")
                              .Register(registry_)
                              .Add({})),
      cycle_seconds_(pm::BuildHistogram()
                         .Name("orva_monitoring_cycle_seconds")
                         .Help("Durations of monitoring cycles")
                         .Register(registry_)
                         .Add({}, cycle_buckets)),
      save_seconds_(pm::BuildHistogram()
                        .Name("orva_project_save_seconds")
                        .Help("Durations of project saves (written or failed)")
                        .Register(registry_)
                        .Add({}, save_buckets)),
      save_failures_(pm::BuildCounter()
                         .Name("orva_project_save_failures_total")
                         .Help("Project saves that failed")
                         .Register(registry_)
                         .Add({})),
      credentials_refused_(pm::BuildCounter()
                               .Name("orva_http_credentials_refused_total")
                               .Help("Requests from other hosts whose credentials did not match")
                               .Register(registry_)
                               .Add({})),
      uptime_(pm::BuildGauge()
                  .Name("orva_uptime_seconds")
                  .Help("Time since the backend started")
                  .Register(registry_)
                  .Add({})) {
    for (const auto& family : sources_.families) {
        exchanges_.Add({{"family", family}});
        exchange_failures_.Add({{"family", family}});
    }
    pm::BuildGauge()
        .Name("orva_build_info")
        .Help("The backend's version (always 1)")
        .Register(registry_)
        .Add({{"version", sources_.version}, {"revision", sources_.revision}})
        .Set(1);
}

void prometheus_metrics::exchange(const std::string& family, bool ok) {
    exchanges_.Add({{"family", family}}).Increment();
    if (!ok) exchange_failures_.Add({{"family", family}}).Increment();
}

void prometheus_metrics::request_posted(std::int32_t id) {
    const auto now = sources_.now();
    std::lock_guard lock(posted_mutex_);
    posted_[id] = now;
}

void prometheus_metrics::request_processed(std::int32_t id, const std::string& method, const std::string& status,
                                           bool requeued) {
    if (requeued) return;
    std::optional<clock::time_point> posted;
    {
        std::lock_guard lock(posted_mutex_);
        if (auto it = posted_.find(id); it != posted_.end()) {
            posted = it->second;
            posted_.erase(it);
        }
    }
    const std::string outcome = status == "done" || status == "fail" ? status : "other";
    requests_.Add({{"method", method}, {"outcome", outcome}}).Increment();
    if (posted) request_seconds_.Add({{"method", method}}, request_buckets).Observe(seconds(sources_.now() - *posted));
}

void prometheus_metrics::monitoring_cycle(duration took) {
    cycle_last_seconds_.Set(seconds(took));
    cycle_seconds_.Observe(seconds(took));
}

void prometheus_metrics::project_saved(duration took, bool ok) {
    save_seconds_.Observe(seconds(took));
    if (!ok) save_failures_.Increment();
}

void prometheus_metrics::credentials_refused() { credentials_refused_.Increment(); }

prometheus_metrics::project_reading prometheus_metrics::read_project() {
    std::unique_lock whole(store_.model_mutex(), std::try_to_lock);
    std::lock_guard lock(reading_mutex_);
    if (whole.owns_lock()) {
        // Nothing replaces the project while the model mutex is held.
        last_reading_.frames = store_.collection("frames").get_all();
        last_reading_.channels = store_.collection("channels").get_all();
    }
    return last_reading_;
}

std::string prometheus_metrics::scrape() {
    const project_reading project = read_project();
    std::unordered_map<std::int32_t, const model*> channels;
    for (const auto& c : project.channels) channels[c.id()] = &c;

    gauge_family frames("orva_frames", "Frames by state: online, offline (network), fault, warning (online frames)");
    gauge_family online("orva_frame_online", "1 while the frame's amplifier answers, 0 while it is offline");
    gauge_family frame_status("orva_frame_status", "Monitoring state of the whole amplifier: 0, 1 warning, 2 fault, 3 unknown");
    gauge_family frame_temperature("orva_frame_temperature_celsius", "Amplifier temperatures by sensor (psm, slot)");
    gauge_family channel_status("orva_channel_status",
                                "Monitoring state of a channel by kind (amp, load, signal): 0, 1 warning, 2 fault, 3 unknown");
    gauge_family channel_temperature("orva_channel_temperature_celsius", "Channel temperature");

    int counts[4] = {0, 0, 0, 0};  // online, offline, fault, warning
    for (const auto& frame : project.frames) {
        const std::string network = frame.get("mon_network_status");
        if (network != "online" && network != "offline") continue;  // never monitored
        const labels base = {{"frame", frame.get("name")}, {"frame_id", std::to_string(frame.id())}};
        const bool is_online = network == "online";
        ++counts[is_online ? 0 : 1];
        if (is_online) {
            const int worst = worst_code(frame);
            if (worst == 2) ++counts[2];
            if (worst == 1) ++counts[3];
        }
        online.add(base, is_online ? 1 : 0);
        if (auto code = number(frame, "mon_frame_status")) frame_status.add(base, *code);
        for (const auto& [sensor, key] : {std::pair{"psm", "temperature_psm"}, std::pair{"slot", "temperature_slot"}}) {
            if (auto value = number(frame, key)) {
                labels l = base;
                l.push_back({"sensor", sensor});
                frame_temperature.add(std::move(l), *value);
            }
        }
        const auto ids = channel_ids(frame);
        for (size_t index = 0; index < ids.size(); ++index) {
            auto it = channels.find(ids[index]);
            if (it == channels.end()) continue;
            const model& channel = *it->second;
            labels l = base;
            l.push_back({"channel", std::to_string(index)});
            for (const auto& [kind, key] : {std::pair{"amp", "mon_amp_status"}, std::pair{"load", "mon_load_status"},
                                            std::pair{"signal", "mon_signal_status"}}) {
                if (auto code = number(channel, key)) {
                    labels k = l;
                    k.push_back({"kind", kind});
                    channel_status.add(std::move(k), *code);
                }
            }
            if (auto value = number(channel, "temperature")) channel_temperature.add(l, *value);
        }
    }
    const char* states[4] = {"online", "offline", "fault", "warning"};
    for (int i = 0; i < 4; ++i) frames.add({{"state", states[i]}}, counts[i]);

    gauge_family clients("orva_websocket_clients", "Connected WebSocket clients");
    clients.add({}, sources_.websocket_clients ? static_cast<double>(sources_.websocket_clients()) : 0);

    uptime_.Set(seconds(sources_.now() - started_));

    std::vector<pm::MetricFamily> families = registry_.Collect();
    for (auto* f : {&frames, &online, &frame_status, &frame_temperature, &channel_status, &channel_temperature, &clients})
        families.push_back(f->take());
    std::ostringstream out;
    pm::TextSerializer().Serialize(out, families);
    return out.str();
}

}  // namespace nox
