#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/os/ZtMutex.h"

// Waits given in milliseconds treat this value as "no time limit".
constexpr unsigned long kZtWaitForever = 0xFFFFFFFFUL;

// The platform clock's deadline of a wait of ms milliseconds from now; kZtWaitForever has none.
long long ZtDeadlineAfterMs(unsigned long ms);

// A recursive mutex. The enter flag says whether to wait: enter(true) blocks until the lock is
// taken; enter(false) makes one attempt. leave() by a thread that does not hold it is refused.
class ZtCriticalSectionH {
 public:
  ZtCriticalSectionH();
  ~ZtCriticalSectionH();
  ZtCriticalSectionH(const ZtCriticalSectionH&) = delete;
  ZtCriticalSectionH& operator=(const ZtCriticalSectionH&) = delete;

  // False when the mutex could not be initialised; such a handle must not be used.
  bool valid() const { return m_valid; }
  bool enter(bool wait);
  bool tryEnter() { return enter(false); }
  bool leave();

 private:
  pthread_mutex_t m_mutex;
  bool m_valid = false;
  // The holder, so that a stray leave() is refused before it reaches the mutex. Written by the
  // holder only; read by anyone (a non-holder can never see its own identity there).
  std::atomic<pthread_t> m_owner{0};
  int m_depth = 0;  // guarded by m_mutex
};

// Timed waits of the handles below count on the platform clock (ZtClock).

// A counting semaphore. A negative initial count makes an invalid handle.
class ZtSemaphoreH {
 public:
  explicit ZtSemaphoreH(int initialCount);
  ZtSemaphoreH(const ZtSemaphoreH&) = delete;
  ZtSemaphoreH& operator=(const ZtSemaphoreH&) = delete;

  bool valid() const { return m_valid; }
  void wait();
  // Non-zero when a unit was taken within the time; 0 only tests.
  int wait(unsigned long milliseconds);
  // Adds count units; a count below 1 is refused (false).
  bool release(int count = 1);

 private:
  const bool m_valid;
  ZtMutex m_mutex;
  ZtCondition m_cond;
  long long m_count GUARDED_BY(m_mutex);
};

// An event. Manual reset: stays signalled until reset() and releases every waiter. Auto reset:
// a successful wait consumes the signal (also a wait of 0), so one set() releases one waiter.
class ZtEventH {
 public:
  explicit ZtEventH(bool manualReset);
  ZtEventH(const ZtEventH&) = delete;
  ZtEventH& operator=(const ZtEventH&) = delete;

  bool valid() const { return true; }
  void set();
  void reset();
  void wait();
  // Non-zero when the event was signalled within the time; a wait of 0 does not block.
  int wait(unsigned long milliseconds);

 private:
  const bool m_manualReset;
  ZtMutex m_mutex;
  ZtCondition m_cond;
  bool m_signalled GUARDED_BY(m_mutex) = false;
};

// A recursive mutex shared by name between the threads of this process and between processes.
// Between processes it is an exclusive flock() on a lock file in the focus client's Temp folder
// (or /tmp/quarn-locks without a lab), so the kernel releases it when the holding process dies.
// Within the process one state per lock file says which thread holds it and how often.
class ZtNamedMutex {
 public:
  explicit ZtNamedMutex(const std::string& name);
  ~ZtNamedMutex();
  ZtNamedMutex(const ZtNamedMutex&) = delete;
  ZtNamedMutex& operator=(const ZtNamedMutex&) = delete;

  // False when the name is unsafe as a file name or the lock folder cannot be made.
  bool valid() const { return m_state != nullptr; }
  const std::string& name() const { return m_name; }
  const std::string& path() const { return m_path; }

  bool lock() { return lock(kZtWaitForever); }
  // True when the lock is held on return (taken now or held already by this thread).
  bool lock(unsigned long timeoutMs);
  // False when the calling thread does not hold the lock.
  bool unlock();
  // Recursion count of the current holder; 0 when nobody in this process holds it.
  int getLockCnt() const;

  struct State;

 private:
  std::string m_name;
  std::string m_path;
  std::shared_ptr<State> m_state;
};
