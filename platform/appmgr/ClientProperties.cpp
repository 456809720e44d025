#include "platform/appmgr/ClientProperties.h"

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabVMClient.h"

bool ClientProperties::setAppsDiscovered(const std::string& text) {
  return SetValue("clientprops.setAppsDiscovered", "appsDiscovered", text);
}

std::string ClientProperties::getAppsDiscovered() const { return getValue("appsDiscovered"); }

bool ClientProperties::SetValue(const char* op, const std::string& key, const std::string& value) {
  static const char* const sig = "bool ClientProperties::SetValue(const char*, const std::string&, const std::string&)";
  lab::Fault fault;
  std::string error;
  if (lab::CheckFault(op, fault)) {
    error = fault.text;
  } else if (lab::SetVMClientValue(clientId_, key, value, error)) {
    return true;
  }
  EvDebug::Error(sig, "Cannot keep [%s] of client [%lld]: %s", key.c_str(), static_cast<long long>(clientId_),
                 error.c_str());
  return false;
}

bool ClientProperties::setClientArchived(bool archived) {
  return SetValue("clientprops.setClientArchived", "archived", archived ? "1" : "0");
}

bool ClientProperties::setPowerOffTimeHours(int32_t hours) {
  return SetValue("clientprops.setPowerOffTimeHours", "powerOffHours", std::to_string(hours));
}

bool ClientProperties::setEligibleForArchiving(bool eligible) {
  return SetValue("clientprops.setEligibleForArchiving", "eligibleForArchiving", eligible ? "1" : "0");
}

std::string ClientProperties::getValue(const std::string& key) const {
  lab::VMClientRecord record;
  std::string error;
  if (lab::ReadVMClientRecord(clientId_, record, error) != lab::RecordRead::kRead) return std::string();
  auto found = record.values.find(key);
  return found == record.values.end() ? std::string() : found->second;
}
