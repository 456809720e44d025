// Which agents may take which VM, in which order the VMs are handed out, the static VM lists and
// the per-datastore volume activity.
//
// The selection rules that look at hosts, datastores, datacenters, clusters, subnets and operating
// systems are not built yet: the method list holds First, Any, Coordinator and Last, so that every
// agent is a candidate for every VM (and snapshot jobs keep their single proxy).
#include <strings.h>

#include <algorithm>

#include "app/QuarnUtils.h"
#include "coordinator/QuarnCoordinator.h"

namespace {

const char* const kSigDistribute = "void QuarnCoordinator::DistributeVMsToAgents(bool)";
const char* const kSigSelect =
    "bool QuarnCoordinator::_SelectAgentsForVM(QuarnSelectAgentForVMMethod, const vm_params&, std::set<std::string>&, "
    "std::string&)";
const char* const kSigOrder = "void QuarnCoordinator::OrderVMPriorityList(bool)";
const char* const kSigDispatchVMLists = "void QuarnCoordinator::DispatchVMLists()";

std::string Join(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

int DiskWeight(const vm_params& vm) {
  return static_cast<int>(std::max<int64_t>(vm.collect.getint64(VirtualServer::VMCollect::F_diskCount), 1));
}

std::string IntToCommaString(int64_t value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return value < 0 ? "-" + text : text;
}

// Whether a goes before b in the priority list, and the key that decided it.
bool CompareVMs(const vm_params& a, const vm_params& b, std::string& reason) {
  if (a.priority != b.priority) {
    reason = "priority";
    return a.priority < b.priority;
  }
  if (a.lastBackupTime != b.lastBackupTime) {
    reason = "time";
    return a.lastBackupTime < b.lastBackupTime;
  }
  if (a.candidateAgents.size() != b.candidateAgents.size()) {
    reason = "agents";
    return a.candidateAgents.size() < b.candidateAgents.size();
  }
  const int64_t disksA = a.collect.getint64(VirtualServer::VMCollect::F_diskCount);
  const int64_t disksB = b.collect.getint64(VirtualServer::VMCollect::F_diskCount);
  if (disksA != disksB) {
    reason = "disks";
    return disksA > disksB;
  }
  const int64_t sizeA = a.collect.getint64(VirtualServer::VMCollect::F_vmSize);
  const int64_t sizeB = b.collect.getint64(VirtualServer::VMCollect::F_vmSize);
  if (sizeA != sizeB) {
    reason = "size";
    return sizeA > sizeB;
  }
  reason = "equal";
  return true;
}

}  // namespace

void QuarnCoordinator::ChooseVMSelectionMethods(std::vector<QuarnSelectAgentForVMMethod>& methods) {
  methods.push_back(SelectAgentsForVM_First);
  methods.push_back(SelectAgentsForVM_Any);
  methods.push_back(SelectAgentsForVM_Coordinator);
  methods.push_back(SelectAgentsForVM_Last);
}

bool QuarnCoordinator::SelectAgentsForVM(QuarnSelectAgentForVMMethod method, const vm_params& vm,
                                         std::set<std::string>& candidates, std::string& note) {
  candidates.clear();
  bool selected = false;
  switch (method) {
    case SelectAgentsForVM_First: {
      const int type = m_appMgr->getInstanceType();
      bool forceSingle = false;
      m_registry.GetEntry(REG_bForceSingleProxyBackup, forceSingle, false);
      if (m_jobMgr->isSnapCatalogMode()) {
        note = "Snap Catalog Phase";
      } else if (m_jobMgr->isSnapBackup() && type == kInstanceTypeVMware) {
        note = "Snap backup job for VMware";
      } else if (m_jobMgr->isSnapBackup() && type == kInstanceTypeAmazon) {
        note = "Snap backup job for Amazon";
      } else if (m_jobMgr->isSnapBackup() && type == kInstanceTypeGoogleCloud) {
        note = "Snap backup job for Google Cloud";
      } else if (m_jobMgr->isSnapBackup() && type == kInstanceTypeHyperV && forceSingle) {
        note = "Single proxy backup";
      } else {
        break;
      }
      candidates.insert(OwnClientName());
      selected = true;
      break;
    }
    case SelectAgentsForVM_Any:
      for (const auto& entry : m_agents) candidates.insert(entry.first);
      note = "Any";
      selected = true;
      break;
    case SelectAgentsForVM_Coordinator:
      candidates.insert(OwnClientName());
      note = "coordinator";
      selected = true;
      break;
    case SelectAgentsForVM_Last:
      note = "No agent selected";
      m_event.Error(kSigSelect, "No suitable agent for VM [%s]", vm.vmName.c_str());
      break;
    default:
      if (method < SelectAgentsForVM_First || method > SelectAgentsForVM_Last)
        m_event.Error(kSigSelect, "Unknown selection method [%d]", static_cast<int>(method));
      break;
  }

  // An agent that can take no stream cannot back a VM up.
  for (auto it = candidates.begin(); it != candidates.end();) {
    const QuarnAgentInfo* agent = FindAgent(*it);
    if (agent == nullptr || agent->streamLimit <= 0)
      it = candidates.erase(it);
    else
      ++it;
  }

  bool dataPathDispatch = false;
  m_registry.GetEntry(REG_bEnableDataPathDispatch, dataPathDispatch, false);
  if (selected && m_dataPathMAAmongAgents && dataPathDispatch && candidates.size() > 1) {
    std::set<std::string> dataPath;
    for (const std::string& name : candidates)
      if (FindAgent(name)->dataPathMediaAgent) dataPath.insert(name);
    if (!dataPath.empty() && dataPath.size() < candidates.size()) {
      candidates = dataPath;
      note += " (DataPath)";
    }
  }
  return selected;
}

std::string QuarnCoordinator::SelectAgentFromList(const std::set<std::string>& candidates) {
  std::string taken;
  size_t takenStatic = 0;
  for (const auto& entry : m_agents) {
    if (!candidates.empty() && candidates.count(entry.first) == 0) continue;
    if (entry.second.state != AgentInitialized) continue;
    if (taken.empty() || entry.second.staticVMs.size() < takenStatic) {
      taken = entry.first;
      takenStatic = entry.second.staticVMs.size();
    }
  }
  return taken;
}

void QuarnCoordinator::DistributeVMsToAgents(bool redistribute) {
  ZtCriticalSectionLock lock(&m_priorityListLock);
  std::vector<QuarnSelectAgentForVMMethod> methods;
  ChooseVMSelectionMethods(methods);
  if (m_jobMgr->isSnapBackup()) {
    m_event.Debug(kSigDistribute, "Disabling dynamic VM assignment for snap backup");
    m_dynamicVMAssignment = false;
    m_staticVMAssignment = true;
  }
  if (redistribute && !m_dynamicVMAssignment) {
    m_event.Debug(kSigDistribute, "Cannot redistribute VMs to agents when dynamic VM assignment is disabled");
    return;
  }

  m_vmPriorityList.clear();
  std::map<std::string, std::set<std::string>> previous;
  if (redistribute) {
    for (auto& entry : m_vmMap) {
      if (entry.second.vmPhase != PHASE_NOT_STARTED) continue;
      previous[entry.first] = entry.second.candidateAgents;
      entry.second.candidateAgents.clear();
    }
  }

  int dropPrevious = 0;
  m_registry.GetEntry(REG_UseDifferentProxyOnNextAttempt, dropPrevious, 0);
  const bool scaleEnabled = IsScaleAgentMgmtEnabled();
  for (QuarnSelectAgentForVMMethod method : methods) {
    for (auto& entry : m_vmMap) {
      vm_params& vm = entry.second;
      if (vm.vmPhase != PHASE_NOT_STARTED && !m_jobMgr->isVMStubPhase()) continue;
      if (!vm.candidateAgents.empty()) continue;
      std::set<std::string> candidates;
      std::string note;
      if (!SelectAgentsForVM(method, vm, candidates, note) || candidates.empty()) continue;

      std::string dropNote;
      if (dropPrevious != 0 && !vm.previousAgent.empty() && candidates.size() > 1 &&
          candidates.erase(vm.previousAgent) != 0)
        dropNote = "Dropped previous agent [" + vm.previousAgent + "]";
      if (!m_dynamicVMAssignment) {
        // With no initialised agent to take it the VM stays unplaced: an empty name is no agent.
        std::string single = SelectAgentFromList(candidates);
        candidates.clear();
        if (single.empty()) continue;
        candidates.insert(single);
      }
      const bool isStatic = candidates.size() == 1 && !redistribute && m_staticVMAssignment && !scaleEnabled;

      const std::set<std::string>& before = previous[entry.first];
      for (const std::string& name : candidates) {
        if (before.count(name) != 0) continue;
        QuarnAgentInfo* agent = FindAgent(name);
        if (agent == nullptr) continue;
        if (isStatic)
          agent->staticVMs.insert(vm.vmGuid);
        else
          agent->distributedVMs.insert(vm.vmGuid);
        agent->diskLoad += DiskWeight(vm);
      }
      for (const std::string& name : before) {
        if (candidates.count(name) != 0) continue;
        QuarnAgentInfo* agent = FindAgent(name);
        if (agent == nullptr) continue;
        agent->staticVMs.erase(vm.vmGuid);
        agent->distributedVMs.erase(vm.vmGuid);
        agent->diskLoad -= DiskWeight(vm);
      }
      vm.candidateAgents = candidates;
      if (!isStatic) m_vmPriorityList.push_back(vm.vmGuid);

      if (!redistribute) {
        m_event.Debug(kSigDistribute, "Adding VM [%s] on [%s] to Agent [%s] (%s)  %s", vm.vmName.c_str(),
                      vm.host.c_str(), Join(candidates).c_str(), note.c_str(), dropNote.c_str());
      } else if (candidates != before) {
        m_event.Debug(kSigDistribute, "Updating VM [%s] on [%s] to Agent [%s] (%s) was [%s]", vm.vmName.c_str(),
                      vm.host.c_str(), Join(candidates).c_str(), note.c_str(), Join(before).c_str());
      }
    }
  }

  for (const auto& entry : m_agents) {
    const QuarnAgentInfo& agent = entry.second;
    std::string staticText;
    if (!agent.staticVMs.empty()) staticText = "(" + std::to_string(agent.staticVMs.size()) + " static) ";
    m_event.Debug(kSigDistribute, "Agent [%s] has %zd VMs %s %d max streams", entry.first.c_str(),
                  static_cast<ssize_t>(agent.staticVMs.size() + agent.distributedVMs.size()), staticText.c_str(),
                  agent.diskLoad);
  }
  OrderVMPriorityList(redistribute);
  if (m_vmInfo != nullptr) m_vmInfo->FlushInventoryCache();
}

void QuarnCoordinator::OrderVMPriorityList(bool redistribute) {
  std::vector<std::string> list(m_vmPriorityList.begin(), m_vmPriorityList.end());
  std::string ignored;
  auto before = [&](const std::string& a, const std::string& b) {
    const vm_params* vmA = m_vmMap.Find(a);
    const vm_params* vmB = m_vmMap.Find(b);
    return vmA != nullptr && vmB != nullptr && CompareVMs(*vmA, *vmB, ignored);
  };
  // Merge sort: an element of the later run moves ahead whenever it goes before the earlier one, so
  // VMs equal on every key end in the reverse of their order before the sort.
  std::vector<std::string> buffer(list.size());
  for (size_t width = 1; width < list.size(); width *= 2) {
    for (size_t left = 0; left < list.size(); left += 2 * width) {
      size_t mid = std::min(left + width, list.size());
      size_t right = std::min(left + 2 * width, list.size());
      size_t i = left, j = mid, k = left;
      while (i < mid && j < right) buffer[k++] = before(list[j], list[i]) ? list[j++] : list[i++];
      while (i < mid) buffer[k++] = list[i++];
      while (j < right) buffer[k++] = list[j++];
    }
    list.swap(buffer);
  }
  m_vmPriorityList.assign(list.begin(), list.end());

  if (redistribute) return;
  m_event.Debug(kSigOrder, "-= VM Priority List =-");
  for (size_t i = 0; i < list.size(); ++i) {
    const vm_params* vm = m_vmMap.Find(list[i]);
    if (vm == nullptr) continue;
    std::string reason;
    if (i + 1 < list.size()) {
      const vm_params* next = m_vmMap.Find(list[i + 1]);
      if (next != nullptr) CompareVMs(*vm, *next, reason);
    }
    m_event.Debug(kSigOrder, " VM %-35s  Agents [%zd]  Disks [%d]  Size [%18s]  Priority [%d]  Time [%10zd] [%s]",
                  vm->vmName.c_str(), static_cast<ssize_t>(vm->candidateAgents.size()),
                  static_cast<int>(vm->collect.getint64(VirtualServer::VMCollect::F_diskCount)),
                  IntToCommaString(vm->collect.getint64(VirtualServer::VMCollect::F_vmSize)).c_str(), vm->priority,
                  static_cast<ssize_t>(vm->lastBackupTime), reason.c_str());
  }
}

bool QuarnCoordinator::RemoveVMFromVMPriorityList(const std::string& guid) {
  ZtCriticalSectionLock lock(&m_priorityListLock);
  for (auto it = m_vmPriorityList.begin(); it != m_vmPriorityList.end(); ++it) {
    const vm_params* vm = m_vmMap.Find(*it);
    if (vm != nullptr && vm->vmGuid == guid) {
      m_vmPriorityList.erase(it);
      return true;
    }
  }
  return false;
}

void QuarnCoordinator::DispatchVMLists() {
  for (const auto& entry : m_agents) {
    const QuarnAgentInfo& agent = entry.second;
    if (agent.staticVMs.empty()) continue;
    if (agent.state != AgentInitialized) {
      m_event.Error(kSigDispatchVMLists, "Agent [%s] is not initialized but has [%d] VMs statically assigned",
                    entry.first.c_str(), static_cast<int>(agent.staticVMs.size()));
      continue;
    }
    m_event.Debug(kSigDispatchVMLists, "Sending Static VM list to [%s] with [%d] VMs", entry.first.c_str(),
                  static_cast<int>(agent.staticVMs.size()));
    const std::set<std::string> vms = agent.staticVMs;
    if (!GiveVMsToAgent(entry.first, vms))
      m_event.Error(kSigDispatchVMLists, "Failed to send VM List to Agent [%s]", entry.first.c_str());
  }
}

// ---- Volume activity ----

uint32_t QuarnCoordinator::GetVolumeActivityForVM(const vm_params& vm) {
  ZtCriticalSectionLock lock(&m_volumeActivityLock);
  auto it = m_volumeActivity.find(vm.datastore);
  return it == m_volumeActivity.end() ? 0 : it->second;
}

void QuarnCoordinator::IncrementVolumeActivityForVM(const vm_params& vm) {
  ZtCriticalSectionLock lock(&m_volumeActivityLock);
  ++m_volumeActivity[vm.datastore];
}

void QuarnCoordinator::DecrementVolumeActivityForVM(const vm_params& vm) {
  ZtCriticalSectionLock lock(&m_volumeActivityLock);
  // Never below 0: the count is unsigned, and a wrapped count would keep the datastore busy for good.
  uint32_t& count = m_volumeActivity[vm.datastore];
  if (count > 0) --count;
}
