#include "backend/amp/reply_cache.h"

namespace nox::amp {

namespace {
constexpr std::size_t initial_buckets = 8;
}

reply_cache::reply_cache() { map_.rehash(initial_buckets); }

void reply_cache::reset() {
    std::unordered_map<std::string, std::string> fresh;
    fresh.rehash(initial_buckets);
    map_.swap(fresh);
}

void reply_cache::enable() {
    enabled_.store(true);
    lock_guard lock(mutex_);
    reset();
}

void reply_cache::disable() {
    enabled_.store(false);
    lock_guard lock(mutex_);
    reset();
}

std::string reply_cache::key(const device_address& address, const std::string& command) {
    return address.text() + "-" + command;
}

bool reply_cache::lookup(const std::string& key, std::string& reply) const {
    if (!enabled_.load()) return false;
    lock_guard lock(mutex_);
    const auto found = map_.find(key);
    if (found == map_.end()) return false;
    reply = found->second;
    return true;
}

void reply_cache::store(const std::string& key, const std::string& reply) {
    if (!enabled_.load()) return;
    lock_guard lock(mutex_);
    map_.insert_or_assign(key, reply);
}

int reply_cache::query(const std::string& key, std::string& reply,
                       const std::function<int(std::string& reply)>& exchange) {
    if (lookup(key, reply)) return 0;
    const int result = exchange(reply);
    if (result == 0) store(key, reply);
    return result;
}

std::size_t reply_cache::size() const {
    lock_guard lock(mutex_);
    return map_.size();
}

std::size_t reply_cache::bucket_count() const {
    lock_guard lock(mutex_);
    return map_.bucket_count();
}

}  // namespace nox::amp
