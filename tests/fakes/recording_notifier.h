// A change notifier for tests: records every broadcast word, and lets a test wait for a
// word, for a condition on the store, or for a flush mark written to `settings`.
//
// By default it builds no change notifications (nothing subscribes); with
// `notify_all_changes` every change is announced as "changed <collection> <id> <keys...>"
// (a text only tests read). Every broadcast and every change wakes the waiters.
//
// Thread safety: every operation may be called from any thread; set `notify_all_changes`
// before the engine starts.
#pragma once

#include "backend/requests/change_notifier.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nox::testing {

class recording_notifier : public nox::change_notifier {
public:
    void broadcast(const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            sent_.push_back(text);
        }
        changed_.notify_all();
    }

    std::string build_notification(const std::string& collection, const nox::model& stored,
                                   const std::vector<std::string>& changed) override {
        {
            std::lock_guard lock(mutex_);
            if (collection == "settings" && stored.has("flush_mark")) flushed_ = stored.get("flush_mark");
        }
        changed_.notify_all();
        if (!notify_all_changes) return {};
        std::string text = "changed " + collection + " " + std::to_string(stored.id());
        for (const auto& key : changed) text += " " + key;
        return text;
    }

    std::vector<std::string> sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    size_t count(const std::string& text) {
        auto all = sent();
        return static_cast<size_t>(std::count(all.begin(), all.end(), text));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }

    // Waits (at most 10 s) until `text` was broadcast `times` times.
    bool wait_for(const std::string& text, size_t times = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return static_cast<size_t>(std::count(sent_.begin(), sent_.end(), text)) >= times;
        });
    }
    // Waits (at most 10 s) until a `settings` change carried the flush mark `mark`.
    bool wait_flushed(const std::string& mark) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return flushed_ == mark; });
    }
    // Waits (at most `timeout`) until `done` holds; re-checked on every notification and
    // at least every 50 ms (a change that announces nothing, such as a removal).
    bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        while (!done()) {
            const auto next = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
            if (changed_.wait_until(lock, next) == std::cv_status::timeout && std::chrono::steady_clock::now() >= deadline)
                return done();
        }
        return true;
    }

    bool notify_all_changes = false;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> sent_;
    std::string flushed_;
};

}  // namespace nox::testing
