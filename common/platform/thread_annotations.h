// Clang's thread-safety attributes as macros, so that the compiler can check which lock
// guards which member and which functions expect, take or must not hold a lock
// (-Wthread-safety; the `tsa` stage of scripts/test.sh builds with it as an error).
// Other compilers see nothing: every macro expands to nothing.
//
//   GUARDED_BY(m)      the member is read and written only with m held
//   PT_GUARDED_BY(m)   what the pointer member points to is guarded by m
//   REQUIRES(m...)     the caller holds m (exclusively); REQUIRES_SHARED: at least shared
//   EXCLUDES(m...)     the caller must not hold m (the function takes it itself)
//   ACQUIRE / RELEASE  the function takes / gives back the lock (lock types only)
//   ACQUIRED_BEFORE(m) lock order: this lock is taken before m
//
// The annotated lock types that go with them are in common/platform/mutex.h.
#pragma once

#if defined(__clang__)
#define NOX_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define NOX_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) NOX_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY NOX_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) NOX_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) NOX_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) NOX_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) NOX_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) NOX_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) NOX_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) NOX_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) NOX_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) NOX_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) NOX_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) NOX_THREAD_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) NOX_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) NOX_THREAD_ATTRIBUTE(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) NOX_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) NOX_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) NOX_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS NOX_THREAD_ATTRIBUTE(no_thread_safety_analysis)
