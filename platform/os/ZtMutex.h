#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtTime.h"

// A plain mutex that clang's thread-safety analysis understands (the standard one carries no
// capability annotation), its scoped holder, and the condition variable whose timed waits run on the
// platform clock. The stand-ins use them where they must not depend on the system's own lock wrappers.
class CAPABILITY("mutex") ZtMutex {
 public:
  ZtMutex() = default;
  ZtMutex(const ZtMutex&) = delete;
  ZtMutex& operator=(const ZtMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
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
  ZtCondition() = default;
  ZtCondition(const ZtCondition&) = delete;
  ZtCondition& operator=(const ZtCondition&) = delete;

  void notify_one();
  void notify_all();

  template <class Lock>
  void wait(Lock& lock) NO_THREAD_SAFETY_ANALYSIS {
    ZtClock::Registration registration(ZtClock::kNoDeadline, this);
    std::unique_lock<std::mutex> inner(inner_);
    const uint64_t epoch = epoch_;
    lock.unlock();
    WaitForNotify(inner, epoch);
    inner.unlock();
    lock.lock();
  }

  // Until a notification or the deadline (ZtClock::MonotonicTicks; kNoDeadline for none); with a real
  // slice above 0, also after that many real milliseconds (no_timeout then), for callers that look at
  // something the clock cannot see between waits.
  template <class Lock>
  std::cv_status wait_until(Lock& lock, long long deadline, int realSliceMs = 0) NO_THREAD_SAFETY_ANALYSIS {
    if (ZtClock::MonotonicTicks() >= deadline) return std::cv_status::timeout;
    // Registered before the clock is read under inner_, so an advance in between still wakes us; let go
    // only once the lock is held again, so the clock moves on after the waiter has resumed.
    ZtClock::Registration registration(deadline, this);
    std::unique_lock<std::mutex> inner(inner_);
    const uint64_t epoch = epoch_;
    lock.unlock();
    const std::cv_status status = WaitForNotifyOrClock(inner, epoch, deadline, realSliceMs);
    inner.unlock();
    lock.lock();
    return status;
  }

  template <class Lock>
  std::cv_status wait_for(Lock& lock, CTimeInterval interval) {
    return wait_until(lock, ZtClock::DeadlineAfter(interval));
  }

 private:
  void WakeForClock() override;
  // REQUIRES: inner held (by the lock given).
  void WaitForNotify(std::unique_lock<std::mutex>& inner, uint64_t epoch);
  std::cv_status WaitForNotifyOrClock(std::unique_lock<std::mutex>& inner, uint64_t epoch, long long deadline,
                                      int realSliceMs);

  std::mutex inner_;
  std::condition_variable cv_;
  uint64_t epoch_ = 0;  // guarded by inner_; counts notifications
};
