#pragma once

// The software-installation manager's view of this client: which operating system it runs and
// whether the job process can run there. Fault table operation: "sim.queryClientOSId" (the id then
// reads as unknown).
class vsSim {
 public:
  enum OSId : int {
    kOSUnknown = 0,
    kOSLinux = 1,
    kOSWindows = 2,
  };

  // The operating system of this client: its lab machine's, else the running system's.
  int queryClientOSId();
  // True for an operating system the installation knows.
  bool isOK(int osId) const { return osId == kOSLinux || osId == kOSWindows; }
};
