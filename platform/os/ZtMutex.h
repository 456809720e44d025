#pragma once
#include <condition_variable>
#include <mutex>

#include "platform/os/ThreadAnnotations.h"

// A plain mutex that clang's thread-safety analysis understands (the standard one carries no
// capability annotation), its scoped holder, and the condition variable that waits on it. The
// stand-ins use it where they must not depend on the system's own lock wrappers.
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

using ZtCondition = std::condition_variable_any;
