#include "platform/jobclient/ZTClient.h"

#include <climits>
#include <cstdint>
#include <vector>

#include "platform/config/ZTPlatformInfo.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabMachine.h"
#include "platform/os/CPxDirectory.h"

bool ZTClient::getName(int64_t clientId, std::string& name) {
  if (clientId <= 0 || lab::Root().empty()) return false;
  std::vector<std::string> clients;
  CPxDirectory::List(lab::ClientsDir(), clients);
  for (const std::string& client : clients) {
    ZTPlatformInfo info;
    unsigned long long id = 0;
    if (!info.setFocus(client) || !info.getNumber("Base", "nClientId", &id)) continue;
    if (static_cast<int64_t>(id) == clientId) {
      name = client;
      return true;
    }
  }
  return false;
}

bool ZTClient::getId(const std::string& name, int64_t& clientId) {
  if (lab::Root().empty() || !lab::IsSafeComponent(name) || !CPxDirectory::Exists(lab::ClientDir(name))) return false;
  ZTPlatformInfo info;
  unsigned long long id = 0;
  if (!info.setFocus(name) || !info.getNumber("Base", "nClientId", &id) || id == 0 || id > INT32_MAX) return false;
  clientId = static_cast<int64_t>(id);
  return true;
}

std::string ZTClient::getNetworkHostname(const std::string& name) {
  lab::MachineRecord machine;
  std::string error;
  if (lab::IsSafeComponent(name) && lab::ReadMachineRecord(name, machine, error) == lab::RecordRead::kRead &&
      !machine.hostName.empty())
    return machine.hostName;
  return name;
}
