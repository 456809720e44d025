#pragma once
// Clang thread-safety annotations; empty under other compilers.
#if defined(__clang__)
#define QUARN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUARN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUARN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUARN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUARN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QUARN_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QUARN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QUARN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define EXCLUSIVE_LOCKS_REQUIRED(...) QUARN_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define LOCKS_EXCLUDED(...) QUARN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QUARN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUARN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QUARN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS QUARN_THREAD_ANNOTATION(no_thread_safety_analysis)
