// Lock rules the compiler checks.
//
// These macros attach Clang's thread-safety attributes to lock types, to the data they guard
// and to the functions that take, release or need them; building with -Wthread-safety (the
// clang preset) then reports an access to guarded data without its lock, a function called
// without the lock it needs, a lock taken twice or not released, and a documented lock order
// broken. Other compilers see empty macros.
//
// A function the analysis cannot follow (a re-entrant hold, a lock taken in one function and
// released in another without an annotation that says so) opts out with
// VEL_NO_THREAD_SAFETY_ANALYSIS and a comment that says why.
//
// VEL_ASSERT_HELD(lock) checks, in debug builds only, that the calling thread holds `lock`; the
// lock type must offer IsLockedByCurrentThread().
#pragma once

#include <cassert>

#if defined(__clang__)
#define VEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VEL_THREAD_ANNOTATION(x)
#endif

// A type that is a lock; `x` names its kind in the diagnostics ("mutex").
#define VEL_CAPABILITY(x) VEL_THREAD_ANNOTATION(capability(x))
// A type whose objects take a lock for their lifetime (a guard).
#define VEL_SCOPED_CAPABILITY VEL_THREAD_ANNOTATION(scoped_lockable)
// A member read or written only with the given lock held.
#define VEL_GUARDED_BY(x) VEL_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is read or written only with the given lock held.
#define VEL_PT_GUARDED_BY(x) VEL_THREAD_ANNOTATION(pt_guarded_by(x))
// A function the caller calls with the given locks held (exclusively or at least shared).
#define VEL_REQUIRES(...) VEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VEL_REQUIRES_SHARED(...) VEL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// A function that returns with the given locks held (no argument: the object itself).
#define VEL_ACQUIRE(...) VEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VEL_ACQUIRE_SHARED(...) VEL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
// A function that releases the given locks (no argument: the object itself).
#define VEL_RELEASE(...) VEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VEL_RELEASE_SHARED(...) VEL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
// A function that takes the lock when it returns the given value.
#define VEL_TRY_ACQUIRE(...) VEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function the caller must not call with the given locks held (it takes them itself).
#define VEL_EXCLUDES(...) VEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Lock order: this lock is taken only after (or before) the given ones.
#define VEL_ACQUIRED_AFTER(...) VEL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define VEL_ACQUIRED_BEFORE(...) VEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// A function that checks at run time that the lock is held; the analysis trusts it afterwards.
#define VEL_ASSERT_CAPABILITY(x) VEL_THREAD_ANNOTATION(assert_capability(x))
// A function that returns (a reference to) the given lock.
#define VEL_RETURN_CAPABILITY(x) VEL_THREAD_ANNOTATION(lock_returned(x))
// A function the analysis does not check.
#define VEL_NO_THREAD_SAFETY_ANALYSIS VEL_THREAD_ANNOTATION(no_thread_safety_analysis)

#ifdef NDEBUG
#define VEL_ASSERT_HELD(lock) ((void)0)
#else
#define VEL_ASSERT_HELD(lock) assert((lock).IsLockedByCurrentThread() && "lock held by this thread")
#endif
