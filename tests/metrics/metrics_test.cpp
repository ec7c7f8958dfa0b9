// The metrics exposition on a project built in memory: frames by state, per-frame and
// per-channel series with escaped labels, reading under whole-project operations, and the
// counted metrics with a settable clock; the REST route; the reports of the request
// engine and the monitor thread.
#include "backend/api/prometheus_metrics.h"
#include "backend/api/rest_api.h"
#include "backend/model/project_store.h"
#include "backend/requests/monitor_thread.h"
#include "backend/requests/request_engine.h"
#include "tests/support/metrics_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nox::model;
using orva_test::metric_value;

model frame(int id, const std::string& name, const std::string& network, const std::string& channels) {
    model f(id);
    f.set("name", name);
    f.set("device_id", "0000abcd:0000000" + std::to_string(id));
    f.set("channels", channels);
    if (!network.empty()) f.set("mon_network_status", network);
    return f;
}

model channel(int id, int frame_id, const std::string& amp, const std::string& load, const std::string& signal) {
    model c(id);
    c.set("frame_id", std::to_string(frame_id));
    c.set("mon_amp_status", amp);
    c.set("mon_load_status", load);
    c.set("mon_signal_status", signal);
    return c;
}

class Metrics : public ::testing::Test {
protected:
    Metrics() { store_.register_default_collections(); }

    nox::prometheus_metrics::sources sources() {
        nox::prometheus_metrics::sources s;
        s.version = "1.3.3.3";
        s.revision = "1.3.3.10303003";
        s.websocket_clients = [this] { return clients_; };
        s.now = [this] { return now_; };
        return s;
    }
    void add(const std::string& collection, const model& m) { store_.collection(collection).add_locked(m); }

    nox::project_store store_;
    std::size_t clients_ = 0;
    nox::prometheus_metrics::clock::time_point now_{std::chrono::seconds(1000)};
    nox::prometheus_metrics metrics_{store_, sources()};
};

TEST_F(Metrics, FramesAreCountedByStateAndTheirChannelsSeriesFollowTheirPlaceInTheFrame) {
    // Frame 1 online with a load fault on its third channel; frame 2 offline; frame 3
    // online with an amplifier warning; frame 4 never monitored.
    model f1 = frame(1, "Stage", "online", "13 11 12 14");
    f1.set("mon_frame_status", "0");
    f1.set("mon_chs_load_status", "2");
    f1.set("temperature_psm", "41");
    f1.set("temperature_slot", "38.5");
    add("frames", f1);
    add("frames", frame(2, "Bar", "offline", "21 22 23 24"));
    model f3 = frame(3, "Hall", "online", "");
    f3.set("mon_chs_amp_status", "1");
    add("frames", f3);
    add("frames", frame(4, "Spare", "", "41"));
    add("channels", channel(11, 1, "0", "0", "0"));
    model c12 = channel(12, 1, "0", "2", "1");
    c12.set("temperature", "46");
    add("channels", c12);
    add("channels", channel(13, 1, "0", "0", "3"));
    add("channels", channel(41, 4, "0", "0", "0"));
    clients_ = 3;

    const std::string text = metrics_.scrape();
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"online\"}"), 2) << text;
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"offline\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"fault\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"warning\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_frame_online{frame=\"Stage\",frame_id=\"1\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_frame_online{frame=\"Bar\",frame_id=\"2\"}"), 0);
    EXPECT_FALSE(metric_value(text, "orva_frame_online{frame=\"Spare\",frame_id=\"4\"}"));
    EXPECT_EQ(metric_value(text, "orva_frame_status{frame=\"Stage\",frame_id=\"1\"}"), 0);
    EXPECT_EQ(metric_value(text, "orva_frame_temperature_celsius{frame=\"Stage\",frame_id=\"1\",sensor=\"psm\"}"), 41);
    EXPECT_EQ(metric_value(text, "orva_frame_temperature_celsius{frame=\"Stage\",frame_id=\"1\",sensor=\"slot\"}"), 38.5);
    // Channel 12 is the frame's third channel (index 2); 14 does not exist.
    const std::string third = "{frame=\"Stage\",frame_id=\"1\",channel=\"2\"";
    EXPECT_EQ(metric_value(text, "orva_channel_status" + third + ",kind=\"load\"}"), 2);
    EXPECT_EQ(metric_value(text, "orva_channel_status" + third + ",kind=\"signal\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_channel_temperature_celsius" + third + "}"), 46);
    EXPECT_EQ(metric_value(text, "orva_channel_status{frame=\"Stage\",frame_id=\"1\",channel=\"0\",kind=\"signal\"}"), 3);
    EXPECT_FALSE(metric_value(text, "orva_channel_status{frame=\"Stage\",frame_id=\"1\",channel=\"3\",kind=\"load\"}"));
    EXPECT_EQ(text.find("frame=\"Spare\""), std::string::npos);
    EXPECT_EQ(metric_value(text, "orva_websocket_clients"), 3);
}

TEST_F(Metrics, LabelValuesFromFrameNamesAreEscaped) {
    add("frames", frame(1, "Hall \"A\" \\ left\nrow 2", "online", ""));
    const std::string text = metrics_.scrape();
    EXPECT_EQ(metric_value(text, "orva_frame_online{frame=\"Hall \\\"A\\\" \\\\ left\\nrow 2\",frame_id=\"1\"}"), 1) << text;
    // Every sample stays on one line.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.empty() || line[0] == '#' || line.rfind("orva_", 0) == 0) << line;
}

TEST_F(Metrics, AScrapeDuringAWholeProjectOperationAnswersAtOnceWithThePreviousProject) {
    add("frames", frame(1, "Old", "online", ""));
    ASSERT_EQ(metric_value(metrics_.scrape(), "orva_frames{state=\"online\"}"), 1);

    // Another thread holds the model mutex while it replaces the project part by part.
    std::mutex step_mutex;
    std::condition_variable step;
    int stage = 0;
    std::thread loader([&] {
        std::lock_guard whole(store_.model_mutex());
        store_.collection("frames").replace_all({frame(1, "New", "offline", ""), frame(2, "New2", "offline", "")});
        std::unique_lock lock(step_mutex);
        stage = 1;
        step.notify_all();
        step.wait(lock, [&] { return stage == 2; });
    });
    {
        std::unique_lock lock(step_mutex);
        step.wait(lock, [&] { return stage == 1; });
    }
    auto during = std::async(std::launch::async, [&] { return metrics_.scrape(); });
    ASSERT_EQ(during.wait_for(5s), std::future_status::ready);
    const std::string text = during.get();
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"online\"}"), 1) << text;
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"offline\"}"), 0);
    EXPECT_NE(text.find("frame=\"Old\""), std::string::npos);
    {
        std::lock_guard lock(step_mutex);
        stage = 2;
    }
    step.notify_all();
    loader.join();
    EXPECT_EQ(metric_value(metrics_.scrape(), "orva_frames{state=\"offline\"}"), 2);
}

TEST_F(Metrics, RequestsAreCountedByMethodAndOutcomeWithTheirTimeFromPosting) {
    metrics_.request_posted(7);
    now_ += 300ms;
    metrics_.request_processed(7, "sync", "wait", true);  // goes round again: not finished
    now_ += 900ms;
    metrics_.request_processed(7, "sync", "done", false);
    metrics_.request_posted(8);
    metrics_.request_processed(8, "refresh", "fail", false);
    metrics_.request_posted(9);
    metrics_.request_processed(9, "other", "wait", false);

    const std::string text = metrics_.scrape();
    EXPECT_EQ(metric_value(text, "orva_requests_total{method=\"sync\",outcome=\"done\"}"), 1) << text;
    EXPECT_FALSE(metric_value(text, "orva_requests_total{method=\"sync\",outcome=\"other\"}"));
    EXPECT_EQ(metric_value(text, "orva_requests_total{method=\"refresh\",outcome=\"fail\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_requests_total{method=\"other\",outcome=\"other\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_request_duration_seconds_count{method=\"sync\"}"), 1);
    EXPECT_NEAR(*metric_value(text, "orva_request_duration_seconds_sum{method=\"sync\"}"), 1.2, 1e-9);
    EXPECT_EQ(metric_value(text, "orva_request_duration_seconds_bucket{method=\"sync\",le=\"1\"}"), 0);
    EXPECT_EQ(metric_value(text, "orva_request_duration_seconds_bucket{method=\"sync\",le=\"2.5\"}"), 1);
}

TEST_F(Metrics, ExchangesCyclesSavesAndRefusalsAreCounted) {
    metrics_.exchange("mira", true);
    metrics_.exchange("mira", false);
    metrics_.exchange("tesira", false);
    metrics_.monitoring_cycle(1500ms);
    metrics_.monitoring_cycle(250ms);
    metrics_.project_saved(4ms, true);
    metrics_.project_saved(2ms, false);
    metrics_.credentials_refused();
    now_ += 90s;

    const std::string text = metrics_.scrape();
    EXPECT_EQ(metric_value(text, "orva_amplifier_exchanges_total{family=\"mira\"}"), 2) << text;
    EXPECT_EQ(metric_value(text, "orva_amplifier_exchange_failures_total{family=\"mira\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_amplifier_exchange_failures_total{family=\"tesira\"}"), 1);
    EXPECT_EQ(metric_value(text, "orva_monitoring_cycle_last_seconds"), 0.25);
    EXPECT_EQ(metric_value(text, "orva_monitoring_cycle_seconds_count"), 2);
    EXPECT_EQ(metric_value(text, "orva_project_save_seconds_count"), 2);
    EXPECT_EQ(metric_value(text, "orva_project_save_failures_total"), 1);
    EXPECT_EQ(metric_value(text, "orva_http_credentials_refused_total"), 1);
    EXPECT_EQ(metric_value(text, "orva_uptime_seconds"), 90);
    EXPECT_EQ(metric_value(text, "orva_build_info{revision=\"1.3.3.10303003\",version=\"1.3.3.3\"}"), 1);
}

TEST_F(Metrics, FamiliesExistBeforeTheirFirstReport) {
    const std::string text = metrics_.scrape();
    EXPECT_EQ(metric_value(text, "orva_amplifier_exchanges_total{family=\"mira\"}"), 0) << text;
    EXPECT_EQ(metric_value(text, "orva_frames{state=\"fault\"}"), 0);
    EXPECT_EQ(metric_value(text, "orva_monitoring_cycle_seconds_count"), 0);
    EXPECT_NE(text.find("# TYPE orva_channel_status gauge"), std::string::npos);
}

// Records the reports of the areas.
class recording_sink : public nox::metrics_sink {
public:
    void request_posted(std::int32_t id) override {
        std::lock_guard lock(mutex_);
        posted.push_back(id);
    }
    void request_processed(std::int32_t id, const std::string& method, const std::string& status,
                           bool requeued) override {
        std::lock_guard lock(mutex_);
        processed.push_back(std::to_string(id) + " " + method + " " + status + (requeued ? " requeued" : ""));
        changed_.notify_all();
    }
    void monitoring_cycle(duration took) override {
        std::lock_guard lock(mutex_);
        cycles.push_back(took);
    }
    bool wait_for_processed(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return processed.size() >= count; });
    }

    std::vector<std::int32_t> posted;
    std::vector<std::string> processed;
    std::vector<duration> cycles;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

struct quiet_notifier : nox::change_notifier {
    void broadcast(const std::string&) override {}
    std::string build_notification(const std::string&, const model&, const std::vector<std::string>&) override {
        return {};
    }
};

class Reports : public ::testing::Test {
protected:
    Reports() {
        store_.register_default_collections();
        nox::set_metrics(&sink_);
    }
    ~Reports() override {
        engine_.close();
        for (auto& t : threads_) t.join();
        nox::set_metrics(nullptr);
    }
    static model request(const std::string& method) {
        model m;
        m.set("method", method);
        return m;
    }

    recording_sink sink_;
    nox::project_store store_;
    quiet_notifier notifier_;
    nox::request_engine engine_{store_, notifier_};
    std::vector<std::thread> threads_;
};

TEST_F(Reports, TheEngineReportsEachRequestWithItsMethodOrOtherForMethodsItDoesNotKnow) {
    engine_.methods().set_handler("refresh", "wait", [](model& r, nox::request_engine&) { r.set("status", "done"); });
    engine_.methods().set_handler("sync", "start", [](model& r, nox::request_engine&) {
        r.set("status", "fail");
    });
    engine_.start(threads_);
    const auto a = engine_.post_request(request("refresh"));
    const auto b = engine_.post_request(request("no_such_method"));
    model sync = request("sync");
    sync.set("status", "start");
    const auto c = engine_.post_request(sync);
    ASSERT_TRUE(sink_.wait_for_processed(3));
    engine_.close();
    for (auto& t : threads_) t.join();
    threads_.clear();
    EXPECT_EQ(sink_.posted, (std::vector<std::int32_t>{a.id(), b.id(), c.id()}));
    // The workers may finish them in any order. A request that is done leaves the
    // collection, and an emptied collection gives its ids again: `b` may share `a`'s id.
    std::vector<std::string> processed = sink_.processed;
    std::vector<std::string> expected{std::to_string(a.id()) + " refresh done", std::to_string(b.id()) + " other wait",
                                      std::to_string(c.id()) + " sync fail"};
    std::sort(processed.begin(), processed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(processed, expected);
}

TEST_F(Reports, TheMonitorThreadReportsACompletedCycleWithItsDuration) {
    nox::monitor_thread monitor(engine_);
    ASSERT_TRUE(monitor.tick());
    std::this_thread::sleep_for(20ms);
    monitor.cycle_finished();
    ASSERT_EQ(sink_.cycles.size(), 1u);
    EXPECT_GE(sink_.cycles[0], 20ms);
    EXPECT_LT(sink_.cycles[0], 10s);
}

}  // namespace
