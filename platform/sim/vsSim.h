#pragma once

// The software-installation manager's view of this client: which operating system it runs and
// whether the job process can run there.
class vsSim {
 public:
  enum OSId : int {
    kOSUnknown = 0,
    kOSLinux = 1,
    kOSWindows = 2,
  };

  // The operating system of this client (the lab machine's, else the running system's).
  int queryClientOSId();
  // True when the job process is supported on the operating system with that id: Linux.
  bool isOK(int osId) const { return osId == kOSLinux; }
};
