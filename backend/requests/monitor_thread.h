// `nox::monitor_thread`: starts a monitoring cycle about once a second. A cycle is one
// `sync` request with `direction` "get_monitor" (posted in status "start"), which the sync
// handlers fan out into one `get_monitor` request per frame.
//
// On every tick: when no cycle is pending (no stored request with `direction`
// "get_monitor" in status "start" or "wait"), the finished cycles are removed from
// `requests` together with their per-frame requests (matched by `transaction_id`; a
// finished cycle that never got one is removed by itself), and a new cycle is posted.
// Every `housekeeping_ticks` ticks the housekeeping hook runs (the sync service's sweep of
// project copies).
//
// A tick that finds a cycle still running does not wait for the following tick: the
// monitor observes the request engine's commits, and once the transactor has stored the
// cycle's final status (`cycle_finished`) the next one is posted at once, so a cycle
// slowed down by an amplifier that does not answer delays the next by its own overrun
// only, never by a whole period.
//
// The thread never talks to an amplifier. It waits on a condition variable, so `stop`
// ends it at once; it also ends at its next tick once the quit flag is set or the
// request engine is closed.
//
// Thread safety: `start` once; `stop`, `tick` and the counters from any thread.
#pragma once

#include "common/platform/mutex.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>

namespace nox {

class request_engine;

inline constexpr std::chrono::milliseconds default_monitor_period{1000};

// The monitoring period of the setting ORVA_MONITOR_PERIOD_MS: a whole number of
// milliseconds from 10 to 60000; nothing for any other text.
std::optional<std::chrono::milliseconds> parse_monitor_period(std::string_view text);

struct monitor_options {
    std::chrono::milliseconds period = default_monitor_period;
    // The backend's quit flag (may be null).
    const std::atomic<bool>* quit_flag = nullptr;
    // Called when the loop fails beyond a single tick (the backend's quit).
    std::function<void()> fatal;
    std::function<void()> housekeeping;
    int housekeeping_ticks = 30;
};

class monitor_thread {
public:
    monitor_thread(request_engine& engine, monitor_options options = {});
    ~monitor_thread();
    monitor_thread(const monitor_thread&) = delete;
    monitor_thread& operator=(const monitor_thread&) = delete;

    // Starts the loop on a new thread; the caller joins it after `stop` (or after the
    // quit flag was set or the engine closed).
    std::thread start();
    // Ends the loop at once.
    void stop() EXCLUDES(mutex_);
    // Reports that a monitoring cycle's final status has been stored; its duration since
    // the post goes to the metrics.
    void cycle_finished() EXCLUDES(mutex_);

    // One tick of the loop: clean-up and posting when no cycle is pending. True when a
    // cycle was posted.
    bool tick();

    std::uint64_t cycles_posted() const { return posted_.load(); }

private:
    void run();
    bool should_end() const;

    request_engine& engine_;
    const monitor_options options_;
    mutex mutex_;
    std::condition_variable_any wake_;
    bool stop_ GUARDED_BY(mutex_) = false;
    bool finished_ GUARDED_BY(mutex_) = false;  // a cycle completed since the last post
    std::chrono::steady_clock::time_point posted_at_ GUARDED_BY(mutex_){};  // the last post
    std::atomic<std::uint64_t> posted_{0};
    std::uint64_t ticks_ = 0;  // loop thread only
    std::uint64_t observer_ = 0;  // constant after construction
};

}  // namespace nox
