#pragma once

// Capability annotations for clang's thread-safety analysis (-Wthread-safety): which lock guards
// which member, and which functions take, release or expect a lock. Other compilers see nothing.
// scripts/thread_safety_check.sh runs the analysis over the module and its tools.

#if defined(__clang__)
#define QL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QL_THREAD_ANNOTATION(x)
#endif

// A lock type.
#define QL_CAPABILITY(name) QL_THREAD_ANNOTATION(capability(name))
// An RAII guard that holds a lock for its lifetime.
#define QL_SCOPED_CAPABILITY QL_THREAD_ANNOTATION(scoped_lockable)
// A member that is read or written only with the lock held.
#define QL_GUARDED_BY(lock) QL_THREAD_ANNOTATION(guarded_by(lock))
// A pointer member whose pointee is read or written only with the lock held.
#define QL_PT_GUARDED_BY(lock) QL_THREAD_ANNOTATION(pt_guarded_by(lock))
// The caller must hold the lock(s).
#define QL_REQUIRES(...) QL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes the lock(s) and returns holding them.
#define QL_ACQUIRE(...) QL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases the lock(s) the caller held.
#define QL_RELEASE(...) QL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock(s) when it returns the given value.
#define QL_TRY_ACQUIRE(...) QL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the lock(s): the function takes them itself.
#define QL_EXCLUDES(...) QL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Tells the analysis that the lock is held from here on (checked by the caller's logic).
#define QL_ASSERT_CAPABILITY(x) QL_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the lock.
#define QL_RETURN_CAPABILITY(x) QL_THREAD_ANNOTATION(lock_returned(x))
// The analysis cannot follow this function's correct locking; say why where it is used.
#define QL_NO_THREAD_SAFETY_ANALYSIS QL_THREAD_ANNOTATION(no_thread_safety_analysis)
