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

// The applications of the VM with this GUID, from the first server that has it.
std::vector<std::string> ApplicationsOf(const std::string& guid) {
  for (const std::string& server : lab::ListServers()) {
    lab::VMDescription vm;
    if (!lab::FindVM(server, guid, vm)) continue;
    auto apps = vm.other.find("apps");
    return apps == vm.other.end() ? std::vector<std::string>() : labkv::SplitList(apps->second);
  }
  return {};
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
  CNMessageList& found = response.getlistobject(2, 2, kResponseTag, kCheckDiscovered, true);
  for (const CNMessagePtr& vm : vms) {
    if (!vm || vm->getTagID() != kDetailsTag) continue;
    const std::string guid = vm->getstring(4, 10, kDetailsTag, kCheckVMGuid);
    const std::vector<std::string> applications = ApplicationsOf(guid);
    if (applications.empty()) continue;
    std::unique_ptr<CNMessageBase> entry = CNMessageBase::Create(kDiscoveredTag);
    entry->setstring(1, 1, guid, kDiscoveredTag, kCheckVMGuid);
    entry->setliststring(2, 5, applications, kDiscoveredTag, kCheckApplications);
    found.emplace_back(std::move(entry));
  }
  return true;
}
