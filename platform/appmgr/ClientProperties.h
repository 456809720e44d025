#pragma once
#include <cstdint>
#include <string>

// The properties of one client, here a backed-up VM's own client. In the lab they are the VM client
// record (platform/lab/LabVMClient.h). Fault table operation: "clientprops.setAppsDiscovered".
class ClientProperties {
 public:
  explicit ClientProperties(int64_t clientId) : clientId_(clientId) {}

  // Keeps the applications found inside the VM's guest; false when they cannot be kept.
  bool setAppsDiscovered(const std::string& text);
  // What setAppsDiscovered kept last; empty when nothing was.
  std::string getAppsDiscovered() const;

 private:
  const int64_t clientId_;
};
