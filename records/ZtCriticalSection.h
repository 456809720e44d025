#pragma once
#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtHandles.h"

// The system's recursive lock. Construction throws the text "Not enough memory to initialize
// ZtCriticalSection" when no handle can be made; nothing catches it, so the process ends.
class CAPABILITY("mutex") ZtCriticalSection {
 public:
  ZtCriticalSection();
  ~ZtCriticalSection();
  ZtCriticalSection(const ZtCriticalSection&) = delete;
  ZtCriticalSection& operator=(const ZtCriticalSection&) = delete;

  // enter(true) waits until the lock is taken, which is how the system always calls it; the
  // result is false only for enter(false) when another thread holds the lock.
  bool enter(bool wait = true) ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  void leave() RELEASE() NO_THREAD_SAFETY_ANALYSIS;

 private:
  ZtCriticalSectionH* m_handle;  // owned; null after destruction
};

// Holds a ZtCriticalSection for a scope. A null pointer makes a holder that does nothing.
class SCOPED_CAPABILITY ZtCriticalSectionLock {
 public:
  explicit ZtCriticalSectionLock(ZtCriticalSection* cs) ACQUIRE(cs) NO_THREAD_SAFETY_ANALYSIS;
  ~ZtCriticalSectionLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS;
  ZtCriticalSectionLock(const ZtCriticalSectionLock&) = delete;
  ZtCriticalSectionLock& operator=(const ZtCriticalSectionLock&) = delete;

 private:
  ZtCriticalSection* const m_cs;
};
