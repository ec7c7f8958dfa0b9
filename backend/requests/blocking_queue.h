// `nox::blocking_queue<T>`: a first-in first-out queue with a mutex, a condition variable
// and a closed flag. It carries the requests to the processing threads and the model
// writes to the transactor thread.
//
// `pop` waits while the queue is empty and open; once the queue is closed it reports that
// there is no item, even when items are left (they are dropped with the queue).
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include "common/platform/mutex.h"

#include <condition_variable>
#include <deque>
#include <optional>

namespace nox {

template <typename T>
class blocking_queue {
public:
    blocking_queue() = default;
    blocking_queue(const blocking_queue&) = delete;
    blocking_queue& operator=(const blocking_queue&) = delete;

    // Appends at the back and wakes one waiter. A push to a closed queue is dropped.
    void push(T item) {
        {
            lock_guard lock(mutex_);
            if (closed_) return;
            items_.push_back(std::move(item));
        }
        ready_.notify_one();
    }

    // Waits for the front item; empty once the queue is closed.
    std::optional<T> pop() {
        unique_lock lock(mutex_);
        // A while-loop in the predicate form: wake-ups may be spurious.
        ready_.wait(lock, [this]() REQUIRES(mutex_) { return closed_ || !items_.empty(); });
        if (closed_) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

    // Sets the closed flag and wakes every waiter.
    void close() {
        {
            lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

    // Opens a closed queue again, emptied (used when the backend starts anew).
    void reopen() {
        lock_guard lock(mutex_);
        items_.clear();
        closed_ = false;
    }

    bool closed() const {
        lock_guard lock(mutex_);
        return closed_;
    }

    size_t size() const {
        lock_guard lock(mutex_);
        return items_.size();
    }

private:
    mutable mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<T> items_ GUARDED_BY(mutex_);
    bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace nox
