#include "platform/sim/vsSim.h"

#include <sys/utsname.h>

#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabMachine.h"
#include "platform/lab/LabVMClient.h"

int vsSim::queryClientOSId() {
  lab::Fault fault;
  if (lab::CheckFault("sim.queryClientOSId", fault)) return kOSUnknown;
  if (!lab::Root().empty()) {
    lab::MachineRecord machine;
    std::string error;
    switch (lab::ReadMachineRecord(lab::FocusClient(), machine, error)) {
      case lab::RecordRead::kRead: return machine.os == "linux" ? kOSLinux : kOSWindows;
      case lab::RecordRead::kMissing: break;
      default: return kOSUnknown;  // a machine that cannot be read runs nothing known
    }
  }
  utsname name{};
  if (uname(&name) != 0) return kOSUnknown;
  return std::strcmp(name.sysname, "Linux") == 0 ? kOSLinux : kOSUnknown;
}

int vsSim::SetOperatingSystemIdForVMClient(int64_t clientId, int guestOSId) {
  lab::Fault fault;
  if (guestOSId != kGuestOSWindows || lab::CheckFault("sim.SetOperatingSystemIdForVMClient", fault)) return kOSUnknown;
  std::string error;
  if (clientId < 1 || !lab::SetVMClientValue(clientId, "simOSId", std::to_string(guestOSId), error)) return kOSUnknown;
  return kOSWindows;
}
