#include "backend/amp/cache_line.h"

namespace nox::amp {

bool cache_line::contains(std::uint8_t block, std::uint16_t index) const {
    if (block != range.block || index < range.first || index > range.last) return false;
    return static_cast<std::size_t>(index - range.first) < words.size();
}

void line_cache::enable() {
    enabled_.store(true);
    std::lock_guard lock(mutex_);
    lines_.clear();
}

void line_cache::disable() {
    enabled_.store(false);
    std::lock_guard lock(mutex_);
    lines_.clear();
}

std::optional<std::uint32_t> line_cache::lookup(std::uint8_t block, std::uint16_t index) const {
    if (!enabled_.load()) return std::nullopt;
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_) {
        if (line.contains(block, index)) return line.word(index);
    }
    return std::nullopt;
}

void line_cache::append(cache_line line) {
    if (!enabled_.load()) return;
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

std::size_t line_cache::size() const {
    std::lock_guard lock(mutex_);
    return lines_.size();
}

}  // namespace nox::amp
