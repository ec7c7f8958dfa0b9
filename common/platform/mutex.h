// Lock types that clang's thread-safety analysis understands (thread_annotations.h). The
// standard library of this platform does not annotate std::mutex, so these thin types
// wrap the standard ones and carry the annotations; they add no state and no cost.
//
//   nox::mutex            std::mutex
//   nox::shared_mutex     std::shared_mutex (reader/writer)
//   nox::lock_guard       exclusive lock for a scope (also for nox::shared_mutex)
//   nox::shared_guard     shared lock of a nox::shared_mutex for a scope
//   nox::unique_lock      exclusive lock for a scope that can be given up and taken again,
//                         and that a std::condition_variable_any can wait with
//
// Thread safety: as the standard types they wrap.
#pragma once

#include "common/platform/thread_annotations.h"

#include <mutex>
#include <shared_mutex>

namespace nox {

class CAPABILITY("mutex") mutex {
public:
    mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

private:
    std::mutex m_;
};

class CAPABILITY("mutex") shared_mutex {
public:
    shared_mutex() = default;
    shared_mutex(const shared_mutex&) = delete;
    shared_mutex& operator=(const shared_mutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
    void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }
    bool try_lock_shared() TRY_ACQUIRE_SHARED(true) { return m_.try_lock_shared(); }

private:
    std::shared_mutex m_;
};

template <class M>
class SCOPED_CAPABILITY lock_guard {
public:
    explicit lock_guard(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~lock_guard() RELEASE() { m_.unlock(); }
    lock_guard(const lock_guard&) = delete;
    lock_guard& operator=(const lock_guard&) = delete;

private:
    M& m_;
};

class SCOPED_CAPABILITY shared_guard {
public:
    explicit shared_guard(shared_mutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
    ~shared_guard() RELEASE() { m_.unlock_shared(); }
    shared_guard(const shared_guard&) = delete;
    shared_guard& operator=(const shared_guard&) = delete;

private:
    shared_mutex& m_;
};

template <class M>
class SCOPED_CAPABILITY unique_lock {
public:
    explicit unique_lock(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~unique_lock() RELEASE() {
        if (owns_) m_.unlock();
    }
    unique_lock(const unique_lock&) = delete;
    unique_lock& operator=(const unique_lock&) = delete;

    void lock() ACQUIRE() {
        m_.lock();
        owns_ = true;
    }
    void unlock() RELEASE() {
        owns_ = false;
        m_.unlock();
    }

private:
    M& m_;
    bool owns_ = true;
};

}  // namespace nox
