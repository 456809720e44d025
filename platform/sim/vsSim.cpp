#include "platform/sim/vsSim.h"

#include <sys/utsname.h>

#include <cstring>

int vsSim::queryClientOSId() {
  utsname name{};
  if (uname(&name) != 0) return kOSUnknown;
  return std::strcmp(name.sysname, "Linux") == 0 ? kOSLinux : kOSUnknown;
}
