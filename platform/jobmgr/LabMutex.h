#pragma once
#include <mutex>

#include "platform/os/ThreadAnnotations.h"

// A plain mutex that clang's thread-safety analysis understands, for the lab-backed clients.
class CAPABILITY("mutex") LabMutex {
 public:
  LabMutex() = default;
  LabMutex(const LabMutex&) = delete;
  LabMutex& operator=(const LabMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class SCOPED_CAPABILITY LabMutexLock {
 public:
  explicit LabMutexLock(LabMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~LabMutexLock() RELEASE() { mutex_.Unlock(); }
  LabMutexLock(const LabMutexLock&) = delete;
  LabMutexLock& operator=(const LabMutexLock&) = delete;

 private:
  LabMutex& mutex_;
};
