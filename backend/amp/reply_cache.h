// The read cache of a Mira device: text replies keyed by "<address text>-<command>".
//
// Between `enable` and `disable` a `query` answers a command it has seen succeed before
// from memory, without sending anything; misses go to the amplifier and only successful
// replies are kept. Both `enable` and `disable` empty the cache, so stale replies never
// outlive one read pass.
//
// Thread safety: all operations may be called from any thread. The map is guarded by its
// own mutex, held only for a lookup or an insertion, never across the exchange itself.
#pragma once

#include "backend/amp/device_types.h"
#include "common/platform/mutex.h"

#include <atomic>
#include <functional>
#include <string>
#include <unordered_map>

namespace nox::amp {

class reply_cache {
public:
    reply_cache();

    // Sets the enabled flag and empties the map.
    void enable();
    // Clears the enabled flag and empties the map.
    void disable();
    bool enabled() const { return enabled_.load(); }

    static std::string key(const device_address& address, const std::string& command);

    // With the cache enabled and `key` present, copies the reply and returns true.
    bool lookup(const std::string& key, std::string& reply) const;
    // Stores `reply` under `key` (replacing an older one) when the cache is enabled.
    void store(const std::string& key, const std::string& reply);

    // The cached exchange: a hit copies the stored reply and returns 0 without calling
    // `exchange`; a miss calls it and stores the reply when it returns 0 and the cache is
    // still enabled. Returns the exchange's result.
    int query(const std::string& key, std::string& reply,
              const std::function<int(std::string& reply)>& exchange);

    std::size_t size() const;
    std::size_t bucket_count() const;

private:
    void reset() REQUIRES(mutex_);

    std::atomic<bool> enabled_{false};
    mutable mutex mutex_;
    std::unordered_map<std::string, std::string> map_ GUARDED_BY(mutex_);
};

}  // namespace nox::amp
