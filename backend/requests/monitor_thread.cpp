#include "backend/requests/monitor_thread.h"

#include "backend/requests/request_engine.h"
#include "backend/requests/thread_tag.h"
#include "common/log/log.h"
#include "common/metrics/metrics.h"

#include <charconv>
#include <set>
#include <vector>

namespace nox {

namespace {

bool pending_cycle(const model& m) {
    return m.has("direction", "get_monitor") && (m.has("status", "start") || m.has("status", "wait"));
}

bool finished_cycle(const model& m) {
    return m.has("method", "sync") && m.has("direction", "get_monitor") &&
           (m.has("status", "done") || m.has("status", "fail"));
}

}  // namespace

std::optional<std::chrono::milliseconds> parse_monitor_period(std::string_view text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 10 || value > 60000)
        return std::nullopt;
    return std::chrono::milliseconds(value);
}

monitor_thread::monitor_thread(request_engine& engine, monitor_options options)
    : engine_(engine), options_(std::move(options)) {
    observer_ = engine_.add_commit_observer([this](const model& request) {
        if (finished_cycle(request)) cycle_finished();
    });
}

monitor_thread::~monitor_thread() {
    engine_.remove_commit_observer(observer_);
    stop();
}

std::thread monitor_thread::start() {
    {
        lock_guard lock(mutex_);
        stop_ = false;
    }
    return std::thread([this] { run(); });
}

void monitor_thread::stop() {
    {
        lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void monitor_thread::cycle_finished() {
    std::chrono::steady_clock::duration took{};
    {
        lock_guard lock(mutex_);
        finished_ = true;
        if (posted_at_ != std::chrono::steady_clock::time_point{})
            took = std::chrono::steady_clock::now() - posted_at_;
    }
    wake_.notify_all();
    metrics().monitoring_cycle(took);
}

bool monitor_thread::should_end() const {
    return (options_.quit_flag && options_.quit_flag->load()) || engine_.closed();
}

bool monitor_thread::tick() {
    auto& requests = engine_.store().collection("requests");
    int pending = 0;
    requests.for_each([&](const model& m) {
        if (pending_cycle(m)) ++pending;
        return pending < 2;  // one is enough to know; the count stops at the second
    });
    if (pending != 0) return false;

    // Finished cycles and their per-frame requests. A cycle that failed before it got a
    // transaction id has no per-frame requests and goes by itself.
    std::set<std::string> finished;
    std::vector<int32_t> lone;
    requests.for_each([&](const model& m) {
        if (!finished_cycle(m)) return true;
        const std::string tid = m.get("transaction_id");
        if (tid.empty()) {
            lone.push_back(m.id());
        } else {
            finished.insert(tid);
        }
        return true;
    });
    if (!finished.empty() || !lone.empty()) {
        std::vector<int32_t> doomed = lone;
        requests.for_each([&](const model& m) {
            if (m.has("transaction_id") && finished.count(m.at("transaction_id"))) doomed.push_back(m.id());
            return true;
        });
        nox::lock_guard lock(requests.mutex());
        for (int32_t id : doomed) requests.remove(id);
    }

    model cycle;
    cycle.set("method", "sync");
    cycle.set("status", "start");
    cycle.set("direction", "get_monitor");
    {
        // Before the post: the cycle may complete on a processing thread at once.
        lock_guard lock(mutex_);
        posted_at_ = std::chrono::steady_clock::now();
    }
    engine_.post_request(std::move(cycle));
    ++posted_;
    return true;
}

void monitor_thread::run() {
    const std::string tag = thread_tag();
    log_line(tag + "|> Starting monitor thread");
    try {
        using clock = std::chrono::steady_clock;
        unique_lock lock(mutex_);
        for (;;) {
            if (stop_ || should_end()) break;
            lock.unlock();
            const bool posted = tick();
            if (options_.housekeeping && options_.housekeeping_ticks > 0 &&
                ++ticks_ % static_cast<std::uint64_t>(options_.housekeeping_ticks) == 0)
                options_.housekeeping();
            lock.lock();
            if (posted) {
                finished_ = false;
                wake_.wait_until(lock, clock::now() + options_.period, [this]() REQUIRES(mutex_) { return stop_; });
                continue;
            }
            // A cycle is still running: the next is posted as soon as the transactor has
            // stored its end, or at the next tick.
            wake_.wait_until(lock, clock::now() + options_.period,
                             [this]() REQUIRES(mutex_) { return stop_ || finished_; });
            finished_ = false;
        }
        log_line(tag + "|> Quit signal received, exiting monitoring thread...");
    } catch (...) {
        log_line(tag + "|> Unhandled exception in monitor-thread! Exiting!");
        if (options_.fatal) options_.fatal();
    }
}

}  // namespace nox
