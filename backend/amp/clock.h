// The millisecond clock that devices read for their last-contact time and hold-offs.
//
// Production code uses `steady_clock_source()`, the monotonic clock of the machine; tests
// hand a device a `manual_clock` and move it forward instead of waiting real seconds.
//
// Thread safety: `now_ms` may be called from any thread. `manual_clock::set` and `advance`
// are atomic, so a test may move the clock while a device reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace nox::amp {

class clock {
public:
    virtual ~clock() = default;
    // Milliseconds of a monotonic clock; only differences between two readings matter.
    virtual std::int64_t now_ms() const = 0;
};

// The machine's steady clock (std::chrono::steady_clock), shared by every device.
std::shared_ptr<const clock> steady_clock_source();

// A clock that stands still until it is told to move.
class manual_clock : public clock {
public:
    explicit manual_clock(std::int64_t start_ms = 1000000) : now_(start_ms) {}
    std::int64_t now_ms() const override { return now_.load(); }
    void set(std::int64_t ms) { now_.store(ms); }
    void advance(std::int64_t ms) { now_.fetch_add(ms); }

private:
    std::atomic<std::int64_t> now_;
};

}  // namespace nox::amp
