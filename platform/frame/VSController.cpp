#include "platform/frame/VSController.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <climits>

#include "platform/lab/Lab.h"
#include "platform/lab/LabMachine.h"

namespace {

// The machine record of the client this process is; false when there is a lab but no usable record.
bool ReadOwnMachine(lab::MachineRecord& machine) {
  std::string error;
  return lab::ReadMachineRecord(lab::FocusClient(), machine, error) == lab::RecordRead::kRead;
}

}  // namespace

VSController::VSController(bool isCoordinator) : isCoordinator_(isCoordinator) {}

VSController::~VSController() = default;

void VSController::OnServiceShutdown() {
  serviceShutdown_ = true;
  SetQuitFlag();
}

bool VSController::CheckServiceShutdown() const { return serviceShutdown_.load(); }

bool VSController::FillLocalComputerInfo(int64_t& cpuCount, int64_t& memoryMB, int64_t& osFlag) const {
  cpuCount = 0;
  memoryMB = 0;
  osFlag = 0;
  if (!lab::Root().empty()) {
    lab::MachineRecord machine;
    if (!ReadOwnMachine(machine)) return false;
    cpuCount = machine.cpus;
    memoryMB = machine.memoryMB;
    osFlag = machine.OsFlag() ? 1 : 0;
    return true;
  }
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (cpus <= 0 || pages <= 0 || pageSize <= 0) return false;
  cpuCount = cpus;
  memoryMB = static_cast<int64_t>((static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize)) >>
                                  20);
  osFlag = 1;
  return true;
}

bool VSController::FillLocalIPAddressInfo(std::vector<std::pair<std::string, std::string>>& addresses) const {
  addresses.clear();
  if (!lab::Root().empty()) {
    lab::MachineRecord machine;
    if (!ReadOwnMachine(machine)) return false;
    addresses = machine.addresses;
    return true;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr || item->ifa_netmask == nullptr) continue;
    if (!(item->ifa_flags & IFF_UP) || (item->ifa_flags & IFF_LOOPBACK)) continue;
    const int family = item->ifa_addr->sa_family;
    char ip[INET6_ADDRSTRLEN] = {};
    char mask[INET6_ADDRSTRLEN] = {};
    if (family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(item->ifa_addr);
      auto* m = reinterpret_cast<sockaddr_in*>(item->ifa_netmask);
      if (!inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip) || !inet_ntop(AF_INET, &m->sin_addr, mask, sizeof mask))
        continue;
    } else if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(item->ifa_addr);
      auto* m = reinterpret_cast<sockaddr_in6*>(item->ifa_netmask);
      if (!inet_ntop(AF_INET6, &a->sin6_addr, ip, sizeof ip) ||
          !inet_ntop(AF_INET6, &m->sin6_addr, mask, sizeof mask))
        continue;
    } else {
      continue;
    }
    addresses.emplace_back(ip, mask);
  }
  freeifaddrs(list);
  return true;
}

std::string VSController::GetLocalComputerName() {
  if (lab::Root().empty()) {
    char name[HOST_NAME_MAX + 1] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
  }
  lab::MachineRecord machine;
  return ReadOwnMachine(machine) && !machine.hostName.empty() ? machine.hostName : lab::FocusClient();
}
