// The process-wide stamp of outgoing Mira frames: a 64-bit source id per thread and a
// sequence number per frame.
//
// On first use `base` is the local time as a count of 100-ns units since 1601-01-01 and
// the sequence starts at 1. Each stamp is base + the calling thread's numeric id, with the
// next sequence number. Every thread thus has its own source id and every frame of the
// process its own sequence number, so replies of concurrent exchanges never mix.
//
// Thread safety: `next` may be called from any thread; the sequence number is atomic.
#pragma once

#include <cstdint>
#include <atomic>

namespace nox::amp {

struct frame_stamp {
    std::uint64_t source = 0;
    std::uint32_t sequence = 0;
};

class source_id_generator {
public:
    static source_id_generator& instance();

    frame_stamp next();
    std::uint64_t base() const { return base_; }

private:
    source_id_generator();

    const std::uint64_t base_;    // constant after construction
    std::atomic<std::uint32_t> sequence_{1};
};

// The local time now as 100-ns units since 1601-01-01.
std::uint64_t local_time_100ns_since_1601();

}  // namespace nox::amp
