#pragma once
#include <string>

#include "platform/config/ZTPlatformInfo.h"

// The view of the platform a communicating client (an agent) takes: its focus, the management
// server it reports to and its job-results folder.
class ZTPI_CommClient : public ZTPlatformInfo {
 public:
  // The host name of the management server: the setting "sKeymasterHostName" of the section "Base",
  // "keymaster" when the key is absent; empty when the key is set empty or there is no lab.
  std::string getKeymasterHostName() const;
  // The client name of the management server: the setting "sKeymasterClientName" of the section
  // "Base", "keymaster" when the key is absent; empty when the key is set empty or there is no lab.
  std::string getKeymasterClientName() const;
  // The job-results folder of a machine (a client of the lab); empty when there is none.
  std::string getJobResultsDirectory(const std::string& machine) const;
};

class ZTPI_PlatformBase {
 public:
  // True when this process has no usable platform: no lab, or no folder for its focus client.
  static bool invalidZTPlatform();
};
