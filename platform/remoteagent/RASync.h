#pragma once
#include <condition_variable>
#include <mutex>

#include "platform/os/ThreadAnnotations.h"

// A mutex that clang's thread-safety analysis understands, usable with std::condition_variable_any,
// and its scoped holder (internal to the remote-agent framework).
namespace remoteagent {

class CAPABILITY("mutex") RAMutex {
 public:
  RAMutex() = default;
  RAMutex(const RAMutex&) = delete;
  RAMutex& operator=(const RAMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class SCOPED_CAPABILITY RALock {
 public:
  explicit RALock(RAMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~RALock() RELEASE() { mutex_.unlock(); }
  RALock(const RALock&) = delete;
  RALock& operator=(const RALock&) = delete;

  // For condition variables, which release and retake the mutex inside their waits.
  RAMutex& mutex() { return mutex_; }

 private:
  RAMutex& mutex_;
};

using RACondition = std::condition_variable_any;

}  // namespace remoteagent
