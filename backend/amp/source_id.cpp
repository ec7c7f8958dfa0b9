#include "backend/amp/source_id.h"

#include <chrono>
#include <ctime>
#include <unistd.h>

namespace nox::amp {

std::uint64_t local_time_100ns_since_1601() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    constexpr std::int64_t unix_epoch_in_1601_units = 116444736000000000LL;
    const std::int64_t since_unix = duration_cast<nanoseconds>(now.time_since_epoch()).count() / 100;
    return static_cast<std::uint64_t>(since_unix + unix_epoch_in_1601_units +
                                      static_cast<std::int64_t>(local.tm_gmtoff) * 10000000LL);
}

source_id_generator& source_id_generator::instance() {
    static source_id_generator generator;
    return generator;
}

source_id_generator::source_id_generator() : base_(local_time_100ns_since_1601()) {}

frame_stamp source_id_generator::next() {
    // The thread id is asked once per thread: a system call per frame was a noticeable
    // share of an exchange's cost.
    thread_local const auto thread = static_cast<std::uint64_t>(::gettid());
    return frame_stamp{base_ + thread, sequence_.fetch_add(1, std::memory_order_relaxed)};
}

}  // namespace nox::amp
