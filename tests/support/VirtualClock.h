#pragma once
#include "platform/os/ZtTime.h"

namespace testsupport {

// Virtual time for one test (see ZtClock): real time again however the test ends.
class VirtualClock {
 public:
  VirtualClock() { ZtClock::UseVirtualTimeForTest(); }
  ~VirtualClock() { ZtClock::UseRealTime(); }
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;
};

}  // namespace testsupport
