#include "platform/apps/CZTVSADiscoverApps.h"

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageTable.h"

namespace {

// The Ida messages this library reads and writes (records/messages/IdaMessages.def).
constexpr int kIdaGroup = 22;
constexpr uint32_t kRequestTag = CNTableTag(kIdaGroup, 666, CN_AUTO);
constexpr uint32_t kResponseTag = CNTableTag(kIdaGroup, 667, CN_AUTO);
constexpr uint32_t kDetailsTag = CNTableTag(kIdaGroup, 665, CN_AUTO);
constexpr uint32_t kDiscoveredTag = CNTableTag(kIdaGroup, 668, CN_AUTO);
constexpr uint32_t kCheckVMs = 0x7FFFF5;
constexpr uint32_t kCheckVMGuid = 0x7D69C0;
constexpr uint32_t kCheckDiscovered = CNCheckOf("discoveredApps");
constexpr uint32_t kCheckApplications = CNCheckOf("applications");
constexpr uint32_t kCheckCredentials = 0x760604;
constexpr int kCommonGroup = 20;
constexpr int kUserPasswordType = 0;
constexpr uint32_t kUserPasswordTag = CNTableTag(kCommonGroup, kUserPasswordType, CN_AUTO);
constexpr uint32_t kCheckUser = CNCheckOf("userName");

std::string Value(const lab::VMDescription& vm, const std::string& key) {
  auto found = vm.other.find(key);
  return found == vm.other.end() ? std::string() : found->second;
}

// The description of the VM with this GUID, from the first server that has it.
bool FindDescription(const std::string& guid, lab::VMDescription& vm) {
  for (const std::string& server : lab::ListServers()) {
    if (lab::FindVM(server, guid, vm)) return true;
  }
  return false;
}

}  // namespace

bool CZTVSADiscoverApps::ProcessMessage(const CNMessageBase& request, CNMessageBase& response) {
  static const char* const sig = "bool CZTVSADiscoverApps::ProcessMessage(const CNMessageBase&, CNMessageBase&)";
  if (request.getTagID() != kRequestTag || response.getTagID() != kResponseTag) {
    EvDebug::Error(sig, "Discovery request or response of an unexpected type");
    return false;
  }
  CNMessageBase& input = const_cast<CNMessageBase&>(request);
  CNMessageList& vms = input.getlistobject(1, 1, kRequestTag, kCheckVMs, false);
  lab::FaultCall call;
  call.op = "apps.DiscoverApps";
  if (!vms.empty() && vms.front() && vms.front()->getTagID() == kDetailsTag)
    call.vm = vms.front()->getstring(4, 10, kDetailsTag, kCheckVMGuid);
  lab::Fault fault;
  if (lab::CheckFault(call, fault)) {
    EvDebug::Error(sig, "Application discovery failed: %s", fault.text.c_str());
    return false;
  }
  CNMessageList found;
  for (const CNMessagePtr& vm : vms) {
    if (!vm || vm->getTagID() != kDetailsTag) continue;
    const std::string guid = vm->getstring(4, 10, kDetailsTag, kCheckVMGuid);
    lab::VMDescription description;
    if (!FindDescription(guid, description)) continue;
    const std::string account = Value(description, "guestUser");
    const CNMessageBase* credentials =
        vm->getObjectAccessor(false, false, 5, 14, kDetailsTag, kCheckCredentials, kCommonGroup, kUserPasswordType);
    const std::string user = credentials != nullptr ? credentials->getstring(1, 1, kUserPasswordTag, kCheckUser) : "";
    if (!account.empty() && user != account) {
      EvDebug::Error(sig, "Cannot log in to the guest of VM [%s] as [%s]", guid.c_str(), user.c_str());
      return false;
    }
    std::string sets = Value(description, "apps");
    for (size_t start = 0; start < sets.size();) {
      size_t end = sets.find(';', start);
      if (end == std::string::npos) end = sets.size();
      const std::vector<std::string> applications = labkv::SplitList(sets.substr(start, end - start));
      start = end + 1;
      if (applications.empty()) continue;
      std::unique_ptr<CNMessageBase> entry = CNMessageBase::Create(kDiscoveredTag);
      entry->setstring(1, 1, guid, kDiscoveredTag, kCheckVMGuid);
      entry->setliststring(2, 5, applications, kDiscoveredTag, kCheckApplications);
      found.emplace_back(std::move(entry));
    }
  }
  CNMessageList& listed = response.getlistobject(2, 2, kResponseTag, kCheckDiscovered, true);
  for (CNMessagePtr& entry : found) listed.push_back(std::move(entry));
  return true;
}
