#pragma once
#include "platform/os/ZtHandles.h"

// The flag is the handle's manual-reset flag (every caller in the system passes false: one set()
// releases one wait). Construction throws the text "Not enough memory to initialize ZtEvent" when
// no handle can be made.
class ZtEvent {
 public:
  explicit ZtEvent(bool manualReset);
  ~ZtEvent();
  ZtEvent(const ZtEvent&) = delete;
  ZtEvent& operator=(const ZtEvent&) = delete;

  // Non-zero when the event was signalled within the time; a wait of 0 only tests.
  int wait(unsigned long milliseconds);
  void set();

 private:
  ZtEventH* m_handle;  // owned
};
