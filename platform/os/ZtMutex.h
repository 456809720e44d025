#pragma once
#include <pthread.h>

#include <condition_variable>
#include <cstdint>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtTime.h"

// A plain mutex that clang's thread-safety analysis understands (the standard one carries no
// capability annotation), its scoped holder, and the condition variable whose timed waits run on the
// platform clock. The stand-ins use them where they must not depend on the system's own lock wrappers.
// Both are destroyed explicitly, so that ThreadSanitizer forgets them: a later mutex at the same address
// (a stack frame of another thread) is then not taken for the same lock.
class CAPABILITY("mutex") ZtMutex {
 public:
  ZtMutex() = default;
  ~ZtMutex() { pthread_mutex_destroy(&mutex_); }
  ZtMutex(const ZtMutex&) = delete;
  ZtMutex& operator=(const ZtMutex&) = delete;

  void lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

class SCOPED_CAPABILITY ZtMutexLock {
 public:
  explicit ZtMutexLock(ZtMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~ZtMutexLock() RELEASE() { mutex_.unlock(); }
  ZtMutexLock(const ZtMutexLock&) = delete;
  ZtMutexLock& operator=(const ZtMutexLock&) = delete;

  // For condition variables, which release and retake the mutex inside their waits.
  ZtMutex& mutex() { return mutex_; }

 private:
  ZtMutex& mutex_;
};

// A condition variable whose timed waits count on ZtClock, so that they follow a virtual or scaled
// clock. It waits with any lock that has lock() and unlock() (ZtMutex held by the caller, a
// std::unique_lock). As with any condition variable a wait may end without a notification, so callers
// look at their state again.
class ZtCondition : private ZtClockWaiter {
 public:
  ZtCondition();
  ~ZtCondition();
  ZtCondition(const ZtCondition&) = delete;
  ZtCondition& operator=(const ZtCondition&) = delete;

  void notify_one();
  void notify_all();

  template <class Lock>
  void wait(Lock& lock) NO_THREAD_SAFETY_ANALYSIS {
    ZtClock::Registration registration(ZtClock::kNoDeadline, this);
    const uint64_t generation = LockInner();
    lock.unlock();
    WaitForNotify(generation);
    lock.lock();
  }

  // Until a notification or the deadline (ZtClock::MonotonicTicks; kNoDeadline for none); with a real
  // slice above 0, also after that many real milliseconds (no_timeout then), for callers that look at
  // something the clock cannot see between waits.
  template <class Lock>
  std::cv_status wait_until(Lock& lock, long long deadline, int realSliceMs = 0) NO_THREAD_SAFETY_ANALYSIS {
    if (ZtClock::MonotonicTicks() >= deadline) return std::cv_status::timeout;
    // Registered before the clock is read under the inner mutex, so an advance in between still wakes
    // us; let go only once the lock is held again, so the clock moves on after the waiter has resumed.
    ZtClock::Registration registration(deadline, this);
    const uint64_t generation = LockInner();
    lock.unlock();
    const std::cv_status status = WaitForNotifyOrClock(generation, deadline, realSliceMs, registration.Registered());
    lock.lock();
    return status;
  }

  template <class Lock>
  std::cv_status wait_for(Lock& lock, CTimeInterval interval) {
    return wait_until(lock, ZtClock::DeadlineAfter(interval));
  }

 private:
  void WakeForClock() override;
  // Takes the inner mutex and counts the caller among the waiters. The generation the caller waits in.
  uint64_t LockInner();
  // Each waits with the inner mutex held and lets go of it before returning.
  void WaitForNotify(uint64_t generation);
  std::cv_status WaitForNotifyOrClock(uint64_t generation, long long deadline, int realSliceMs, bool registered);
  // REQUIRES: inner_ held. Takes one notification given since the caller began to wait, if there is one.
  bool TakeReleaseLocked(uint64_t generation);
  // Counts the caller of `generation` out of the waiters and lets go of the inner mutex.
  void UnlockInner(uint64_t generation);
  // REQUIRES: inner_ held. A notification: the waiters so far may take its release.
  void BeginGenerationLocked();

  pthread_mutex_t inner_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cv_;  // on CLOCK_MONOTONIC
  // Guarded by inner_: threads inside a wait, how many of them notifications let return, how many
  // notifications were given, and the waiters that came in since the last one. A waiter takes a release
  // only of a notification given after it began to wait: one that comes in later must not take the
  // wake of a thread that waited before it.
  uint64_t waiters_ = 0;
  uint64_t released_ = 0;
  uint64_t generation_ = 0;
  uint64_t waitersOfThisGeneration_ = 0;
};
