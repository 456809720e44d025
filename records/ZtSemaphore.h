#pragma once
#include "platform/os/ZtHandles.h"

// Construction throws the text "Not enough memory to initialize ZtSemaphore" when no handle can
// be made (also for a negative initial count).
class ZtSemaphore {
 public:
  explicit ZtSemaphore(int initialCount);
  ~ZtSemaphore();
  ZtSemaphore(const ZtSemaphore&) = delete;
  ZtSemaphore& operator=(const ZtSemaphore&) = delete;

  void wait();
  // Non-zero when a unit was taken within the time.
  int wait(unsigned long milliseconds);
  bool release(int count = 1);

 private:
  ZtSemaphoreH* m_handle;  // owned
};
