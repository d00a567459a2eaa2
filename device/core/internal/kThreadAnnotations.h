#pragma once
// Clang thread-safety annotations; empty elsewhere. Shared fields name the
// lock that guards them, so -Wthread-safety checks the locking rule.

#if defined(__clang__)
#define K_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define K_THREAD_ANNOTATION(x)
#endif

#define K_CAPABILITY(x) K_THREAD_ANNOTATION(capability(x))
#define K_GUARDED_BY(x) K_THREAD_ANNOTATION(guarded_by(x))
#define K_PT_GUARDED_BY(x) K_THREAD_ANNOTATION(pt_guarded_by(x))
#define K_ACQUIRE(...) K_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define K_RELEASE(...) K_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define K_TRY_ACQUIRE(...) K_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define K_REQUIRES(...) K_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define K_EXCLUDES(...) K_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define K_SCOPED_CAPABILITY K_THREAD_ANNOTATION(scoped_lockable)
#define K_NO_THREAD_SAFETY_ANALYSIS K_THREAD_ANNOTATION(no_thread_safety_analysis)
