#include "platform/config/ZTPI_CommClient.h"

#include "platform/config/ZTPI_Base.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/lab/Lab.h"
#include "platform/os/CPxDirectory.h"

std::string ZTPI_CommClient::getKeymasterHostName() const {
  if (lab::Root().empty()) return std::string();
  std::string name = "keymaster";
  getString("Base", "sKeymasterHostName", &name);
  return name;
}

std::string ZTPI_CommClient::getKeymasterClientName() const {
  if (lab::Root().empty()) return std::string();
  std::string name = "keymaster";
  getString("Base", "sKeymasterClientName", &name);
  return name;
}

std::string ZTPI_CommClient::getJobResultsDirectory(const std::string& machine) const {
  return ZTPI_Base::getJobResultsDir(machine);
}

bool ZTPI_PlatformBase::invalidZTPlatform() {
  const std::string client = ZTPI_Focus::getFocus();
  return lab::Root().empty() || !lab::IsSafeComponent(client) || !CPxDirectory::Exists(lab::ClientDir(client));
}
