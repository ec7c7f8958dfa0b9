#include "backend/requests/monitor_thread.h"

#include "backend/requests/monitoring.h"
#include "backend/requests/sync_handlers.h"
#include "tests/monitor/monitored_device.h"

#include <map>
#include "tests/sync/sync_fixture.h"

#include <atomic>

namespace {

using namespace sync_test;
using nox::model;

// The monitor thread with the real sync handlers and monitoring read on scripted devices.
class MonitorThread : public engine_fixture {
protected:
    void start(std::chrono::milliseconds period) {
        sync_.register_handlers(engine_.methods());
        start_engine();
        nox::monitor_options options;
        options.period = period;
        options.housekeeping = [this] { ++housekeeping_; };
        options.housekeeping_ticks = 2;
        monitor_ = std::make_unique<nox::monitor_thread>(engine_, options);
        thread_ = monitor_->start();
    }
    ~MonitorThread() override { stop(); }
    // Stops the monitor and then the engine: a request still being processed calls back
    // into the monitor and into what the test body registered, which go before the engine.
    void stop() {
        if (monitor_) monitor_->stop();
        if (thread_.joinable()) thread_.join();
        stop_engine();
    }
    size_t stored_cycles() { return requests_where("direction", "get_monitor").size(); }

    nox::sync_service sync_;
    std::unique_ptr<nox::monitor_thread> monitor_;
    std::thread thread_;
    std::atomic<int> housekeeping_{0};
};

TEST_F(MonitorThread, CyclesWithoutFramesFinishAndAreCleanedUp) {
    start(20ms);
    ASSERT_TRUE(notifier_.wait_until([&] { return monitor_->cycles_posted() >= 5; }));
    // Finished cycles are removed before the next one is posted: at most the newest
    // finished one and the running one are stored.
    EXPECT_LE(stored_cycles(), 2u);
    EXPECT_GE(housekeeping_.load(), 1);
    EXPECT_GE(log_count("|> Starting monitor thread"), 1u);
}

TEST_F(MonitorThread, OneReadPerFramePerCycle) {
    // One device per frame, as the registry has them: the two reads run side by side.
    std::map<std::string, std::shared_ptr<monitor_test::monitored_device>> devices{
        {"a", std::make_shared<monitor_test::monitored_device>()},
        {"b", std::make_shared<monitor_test::monitored_device>()}};
    nox::register_monitoring_handlers(engine_.methods(), {[&](const std::string& id) {
                                          return std::shared_ptr<nox::amp::device>(devices.at(id));
                                      }});
    add_frame("a");
    add_frame("b");
    start(20ms);
    ASSERT_TRUE(notifier_.wait_until([&] { return monitor_->cycles_posted() >= 4; }));
    stop();
    EXPECT_EQ(get("frames", 1).get("mon_network_status"), "online");
    EXPECT_EQ(get("frames", 2).get("mon_network_status"), "online");
    // Per-frame requests of finished cycles go with their cycle.
    EXPECT_LE(requests_where("method", "get_monitor").size(), 4u);
}

TEST_F(MonitorThread, StopEndsTheThreadAtOnce) {
    start(std::chrono::seconds(30));
    ASSERT_TRUE(notifier_.wait_until([&] { return monitor_->cycles_posted() >= 1; }));
    const auto asked = std::chrono::steady_clock::now();
    stop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
    EXPECT_EQ(log_count("|> Quit signal received, exiting monitoring thread..."), 1u);
}

TEST_F(MonitorThread, SlowCycleIsFollowedAtOnceNotAtTheNextTick) {
    // The first read of the frame takes 1.3 periods; the next cycle must start when it
    // ends, not a whole period later.
    std::atomic<int> calls{0};
    engine_.methods().set_handler("get_monitor", "wait", [&](model& r, nox::request_engine&) {
        if (calls++ == 0) std::this_thread::sleep_for(1300ms);
        r.set("status", "done");
    });
    add_frame("a");
    nox::sync_service slow_sync;
    slow_sync.register_handlers(engine_.methods());
    start_engine();
    nox::monitor_options monitor_options;
    monitor_options.period = 1000ms;
    monitor_ = std::make_unique<nox::monitor_thread>(engine_, monitor_options);
    const auto started = std::chrono::steady_clock::now();
    thread_ = monitor_->start();
    ASSERT_TRUE(notifier_.wait_until([&] { return monitor_->cycles_posted() >= 2; }, 5s));
    const auto second = std::chrono::steady_clock::now() - started;
    stop();
    EXPECT_GE(second, 1300ms);
    EXPECT_LT(second, 1900ms);  // waiting for the next tick would give 2 s
}

class MonitorTick : public engine_fixture {
protected:
    nox::monitor_thread monitor_{engine_};
};

TEST_F(MonitorTick, PendingCycleHoldsBackTheNext) {
    post({{"method", "sync"}, {"status", "wait"}, {"direction", "get_monitor"}});
    EXPECT_FALSE(monitor_.tick());
    EXPECT_EQ(monitor_.cycles_posted(), 0u);
}

TEST_F(MonitorTick, CleanUpCopesWithRequestsWithoutTransactionId) {
    // A cycle that failed before it got a transaction id, one that finished with its
    // per-frame request, and unrelated requests without transaction id.
    const model lone = post({{"method", "sync"}, {"status", "fail"}, {"direction", "get_monitor"}});
    const model done = post({{"method", "sync"}, {"status", "done"}, {"direction", "get_monitor"},
                             {"transaction_id", "t-1"}});
    const model sub = post({{"method", "get_monitor"}, {"status", "done"}, {"transaction_id", "t-1"}});
    const model other = post({{"method", "export_config"}, {"status", "fail"}});
    const model download = post({{"method", "sync"}, {"status", "done"}, {"direction", "get"},
                                 {"transaction_id", "t-2"}});
    EXPECT_TRUE(monitor_.tick());
    EXPECT_FALSE(c("requests").exists_locked(lone.id()));
    EXPECT_FALSE(c("requests").exists_locked(done.id()));
    EXPECT_FALSE(c("requests").exists_locked(sub.id()));
    EXPECT_TRUE(c("requests").exists_locked(other.id()));
    EXPECT_TRUE(c("requests").exists_locked(download.id()));
    // The new cycle is stored in "start".
    auto cycles = requests_where("direction", "get_monitor");
    ASSERT_EQ(cycles.size(), 1u);
    EXPECT_EQ(cycles[0].get("status"), "start");
    EXPECT_EQ(cycles[0].get("method"), "sync");
}

// ORVA_MONITOR_PERIOD_MS: whole milliseconds from 10 to 60000, nothing else.
TEST(MonitorPeriod, AcceptsWholeMillisecondsInRangeOnly) {
    EXPECT_EQ(nox::parse_monitor_period("20"), std::chrono::milliseconds(20));
    EXPECT_EQ(nox::parse_monitor_period("10"), std::chrono::milliseconds(10));
    EXPECT_EQ(nox::parse_monitor_period("60000"), std::chrono::milliseconds(60000));
    for (const char* refused : {"", "9", "0", "-20", "60001", "20ms", " 20", "20 ", "2.5", "99999999999999999999"})
        EXPECT_FALSE(nox::parse_monitor_period(refused)) << refused;
}

}  // namespace
