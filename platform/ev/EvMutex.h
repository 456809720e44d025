#pragma once
#include <mutex>

#include "platform/os/ThreadAnnotations.h"

// A plain mutex that clang's thread-safety analysis understands (the standard one carries no
// capability annotation), with its scoped holder. The logging and frame stand-ins use it so that they
// need nothing from the utility layer, which itself logs through them.
class CAPABILITY("mutex") EvMutex {
 public:
  EvMutex() = default;
  EvMutex(const EvMutex&) = delete;
  EvMutex& operator=(const EvMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class SCOPED_CAPABILITY EvMutexLock {
 public:
  explicit EvMutexLock(EvMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~EvMutexLock() RELEASE() { mutex_.Unlock(); }
  EvMutexLock(const EvMutexLock&) = delete;
  EvMutexLock& operator=(const EvMutexLock&) = delete;

 private:
  EvMutex& mutex_;
};
