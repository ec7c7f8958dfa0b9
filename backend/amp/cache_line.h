// The read cache of a Tesira-hosted device: lines of consecutive binary parameter words,
// each line one `param_range` (block, first, last) with the words read for it.
//
// A read pass between `enable` and `disable` reads a whole line on its first miss and
// answers later reads inside that line from memory. Only lines that were read
// successfully are appended. Both `enable` and `disable` empty the cache.
//
// Thread safety: all operations may be called from any thread; the line list is guarded
// by its own mutex, held only for a search or an append.
#pragma once

#include "backend/amp/device_types.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace nox::amp {

struct cache_line {
    param_range range;
    std::vector<std::uint32_t> words;

    // True when the line holds a word for (block, index): same block, first <= index <=
    // last, and the word actually arrived (a short reply covers fewer indices).
    bool contains(std::uint8_t block, std::uint16_t index) const;
    // The word of `index`; only valid when `contains` is true.
    std::uint32_t word(std::uint16_t index) const { return words[index - range.first]; }
};

class line_cache {
public:
    void enable();
    void disable();
    bool enabled() const { return enabled_.load(); }

    // With the cache enabled, the word of (block, index) from the first line holding it.
    std::optional<std::uint32_t> lookup(std::uint8_t block, std::uint16_t index) const;
    // Appends a line that was read successfully (only while the cache is enabled).
    void append(cache_line line);

    std::size_t size() const;

private:
    std::atomic<bool> enabled_{false};
    mutable std::mutex mutex_;  // guards lines_
    std::vector<cache_line> lines_;
};

}  // namespace nox::amp
