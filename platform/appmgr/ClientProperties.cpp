#include "platform/appmgr/ClientProperties.h"

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabVMClient.h"

bool ClientProperties::setAppsDiscovered(const std::string& text) {
  static const char* const sig = "bool ClientProperties::setAppsDiscovered(const std::string&)";
  lab::Fault fault;
  std::string error;
  if (lab::CheckFault("clientprops.setAppsDiscovered", fault)) {
    error = fault.text;
  } else if (lab::SetVMClientValue(clientId_, "appsDiscovered", text, error)) {
    return true;
  }
  EvDebug::Error(sig, "Cannot keep the applications of client [%lld]: %s", static_cast<long long>(clientId_),
                 error.c_str());
  return false;
}

std::string ClientProperties::getAppsDiscovered() const {
  lab::VMClientRecord record;
  std::string error;
  if (lab::ReadVMClientRecord(clientId_, record, error) != lab::RecordRead::kRead) return std::string();
  auto found = record.values.find("appsDiscovered");
  return found == record.values.end() ? std::string() : found->second;
}
