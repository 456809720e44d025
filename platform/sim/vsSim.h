#pragma once
#include <cstdint>

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
  // The guest operating-system id the worker detects for Windows.
  static constexpr int kGuestOSWindows = 21;
  // Records the guest operating system detected for a backed-up VM's client (the lab keeps the guest
  // id as "simOSId" of vmclients/<client id>.conf). Returns the simulator's id of it (kOSWindows for
  // 21), which isOK accepts; kOSUnknown when the id is not one it knows or could not be kept (no
  // client id, fault "sim.SetOperatingSystemIdForVMClient").
  int SetOperatingSystemIdForVMClient(int64_t clientId, int guestOSId);
};
