#pragma once
#include <cstdint>
#include <string>

// The properties of one client, here a backed-up VM's own client. In the lab they are the VM client
// record (platform/lab/LabVMClient.h). Fault table operations: "clientprops.setAppsDiscovered",
// "clientprops.setClientArchived", "clientprops.setPowerOffTimeHours",
// "clientprops.setEligibleForArchiving".
class ClientProperties {
 public:
  explicit ClientProperties(int64_t clientId) : clientId_(clientId) {}

  // Keeps the applications found inside the VM's guest; false when they cannot be kept.
  bool setAppsDiscovered(const std::string& text);
  // What setAppsDiscovered kept last; empty when nothing was.
  std::string getAppsDiscovered() const;

  // VM archiving and power management (keys archived, powerOffHours, eligibleForArchiving); each false
  // when the value cannot be kept (logged).
  bool setClientArchived(bool archived);
  bool setPowerOffTimeHours(int32_t hours);
  bool setEligibleForArchiving(bool eligible);
  // A kept value by key; empty when none is.
  std::string getValue(const std::string& key) const;

 private:
  // Keeps one value, the fault table's operation first; false (logged) when it cannot.
  bool SetValue(const char* op, const std::string& key, const std::string& value);

  const int64_t clientId_;
};
