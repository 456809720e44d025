// Which agents may take which VM (the distribution over the selection methods of
// QuarnCoordinator_select.cpp), in which order the VMs are handed out, the static VM lists and the
// per-datastore volume activity.
#include <strings.h>

#include <algorithm>

#include "app/QuarnUtils.h"
#include "coordinator/QuarnCoordinator.h"

namespace {

const char* const kSigDistribute = "void QuarnCoordinator::DistributeVMsToAgents(bool)";
const char* const kSigOrder = "void QuarnCoordinator::OrderVMPriorityList(bool)";
const char* const kSigDispatchVMLists = "void QuarnCoordinator::DispatchVMLists()";
const char* const kSigHoldBack =
    "void QuarnCoordinator::HoldBackUnrecordedVM(const std::string&, vm_params&, VSCoordinator::DispatchRecord, "
    "const std::string&)";

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
  std::map<std::string, std::set<std::string>> previous;  // by GUID: candidates before a rebalance
  if (redistribute) {
    for (auto& entry : m_vmMap) {
      if (entry.second.vmPhase != PHASE_NOT_STARTED) continue;
      previous[entry.second.vmGuid].swap(entry.second.candidateAgents);
    }
  }
  const std::set<std::string> none;
  auto previousOf = [&](const vm_params& vm) -> const std::set<std::string>& {
    auto it = previous.find(vm.vmGuid);
    return it == previous.end() ? none : it->second;
  };

  int dropPrevious = 0;
  m_registry.GetEntry(REG_UseDifferentProxyOnNextAttempt, dropPrevious, 0);
  const bool scaleEnabled = IsScaleAgentMgmtEnabled();
  const bool stubPhase = m_jobMgr->isVMStubPhase();
  for (QuarnSelectAgentForVMMethod method : methods) {
    for (auto& entry : m_vmMap) {
      vm_params& vm = entry.second;
      if (vm.vmPhase != PHASE_NOT_STARTED && !stubPhase) continue;
      if (!vm.candidateAgents.empty()) continue;
      std::set<std::string> candidates;
      std::string note;
      if (!SelectAgentsForVM(method, vm, candidates, note) || candidates.empty()) continue;

      std::string dropNote;
      if (dropPrevious != 0 && !vm.previousAgent.empty() && candidates.size() > 1 &&
          candidates.erase(vm.previousAgent) != 0)
        dropNote = "Dropped previous agent [" + vm.previousAgent + "]";
      if (!m_dynamicVMAssignment) {
        // No initialised candidate: an empty name is no agent, so the VM is left to a later method
        // (or, when none places it, to a later attempt of the job) rather than given to nobody.
        const std::string single = SelectAgentFromList(candidates);
        if (single.empty()) {
          m_event.Debug(kSigDistribute, "No initialized agent among [%s] for VM [%s] (%s)", Join(candidates).c_str(),
                        vm.vmName.c_str(), note.c_str());
          continue;
        }
        candidates = {single};
      }
      const bool isStatic = candidates.size() == 1 && !redistribute && m_staticVMAssignment && !scaleEnabled;

      const std::set<std::string>& before = previousOf(vm);
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
      for (const std::string& name : before)
        if (candidates.count(name) == 0) ForgetCandidate(name, vm);
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
  // A VM that no method places any more is no longer any agent's work: left in its former agents'
  // sets it would keep streams coming to them for a VM they will never be given.
  for (const auto& entry : previous) {
    const vm_params* vm = m_vmMap.Find(entry.first);
    if (vm == nullptr || !vm->candidateAgents.empty()) continue;
    for (const std::string& name : entry.second) ForgetCandidate(name, *vm);
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

void QuarnCoordinator::ForgetCandidate(const std::string& agentName, const vm_params& vm) {
  QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent == nullptr) return;
  if (agent->staticVMs.erase(vm.vmGuid) + agent->distributedVMs.erase(vm.vmGuid) != 0)
    agent->diskLoad -= DiskWeight(vm);
}

bool QuarnCoordinator::OrderVMPriorityListCompare(const std::string& a, const std::string& b) {
  std::string ignored;
  return _OrderVMPriorityListCompare(a, b, ignored);
}

bool QuarnCoordinator::_OrderVMPriorityListCompare(const std::string& a, const std::string& b, std::string& reason) {
  const vm_params* vmA = m_vmMap.Find(a);
  const vm_params* vmB = m_vmMap.Find(b);
  if (vmA == nullptr || vmB == nullptr) {
    reason.clear();
    return false;
  }
  return CompareVMs(*vmA, *vmB, reason);
}

void QuarnCoordinator::OrderVMPriorityList(bool redistribute) {
  // Sorted on the records themselves: the list holds GUIDs, and a lookup per comparison would
  // cost more than the comparison.
  std::vector<const vm_params*> list;
  list.reserve(m_vmPriorityList.size());
  for (const std::string& guid : m_vmPriorityList) {
    const vm_params* vm = m_vmMap.Find(guid);
    if (vm != nullptr) list.push_back(vm);
  }
  std::string ignored;
  // Merge sort: an element of the later run moves ahead whenever it goes before the earlier one, so
  // VMs equal on every key end in the reverse of their order before the sort.
  std::vector<const vm_params*> buffer(list.size());
  for (size_t width = 1; width < list.size(); width *= 2) {
    for (size_t left = 0; left < list.size(); left += 2 * width) {
      const size_t mid = std::min(left + width, list.size());
      const size_t right = std::min(left + 2 * width, list.size());
      size_t i = left, j = mid, k = left;
      while (i < mid && j < right) buffer[k++] = CompareVMs(*list[j], *list[i], ignored) ? list[j++] : list[i++];
      while (i < mid) buffer[k++] = list[i++];
      while (j < right) buffer[k++] = list[j++];
    }
    list.swap(buffer);
  }
  m_vmPriorityList.clear();
  for (const vm_params* vm : list) m_vmPriorityList.push_back(vm->vmGuid);

  if (redistribute) return;
  m_event.Debug(kSigOrder, "-= VM Priority List =-");
  for (size_t i = 0; i < list.size(); ++i) {
    const vm_params* vm = list[i];
    std::string reason;
    if (i + 1 < list.size()) CompareVMs(*vm, *list[i + 1], reason);
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
    const std::set<std::string> vms = RecordVMDispatches(entry.first, agent.staticVMs);
    if (!vms.empty() && !GiveVMsToAgent(entry.first, vms))
      m_event.Error(kSigDispatchVMLists, "Failed to send VM List to Agent [%s]", entry.first.c_str());
  }
}

// ---- Records of dispatches ----

std::set<std::string> QuarnCoordinator::RecordVMDispatches(const std::string& agent, std::set<std::string> vms) {
  std::set<std::string> recorded;
  for (const std::string& guid : vms) {
    vm_params* vm = m_vmMap.Find(guid);
    if (vm == nullptr) continue;
    std::string error;
    const DispatchRecord record = RecordVMDispatch(agent, guid, error);
    if (record == DispatchRecord::kRecorded)
      recorded.insert(guid);
    else
      HoldBackUnrecordedVM(agent, *vm, record, error);
  }
  return recorded;
}

void QuarnCoordinator::HoldBackUnrecordedVM(const std::string& agentName, vm_params& vm, DispatchRecord record,
                                            const std::string& error) {
  UnrecordedDispatch& unrecorded = m_unrecordedDispatches[vm.vmGuid];
  ++unrecorded.failedTries;
  if (record == DispatchRecord::kNotWritten && unrecorded.failedTries < kDispatchRecordTries) {
    m_event.Error(kSigHoldBack,
                  "VM [%s] is not sent to agent [%s]: its dispatch could not be recorded (%s); try [%d] of [%d] "
                  "follows in [%d] seconds",
                  vm.vmName.c_str(), agentName.c_str(), error.c_str(), unrecorded.failedTries + 1, kDispatchRecordTries,
                  static_cast<int>(kDispatchRetrySeconds));
    unrecorded.retryAt = ClockSeconds() + kDispatchRetrySeconds;
    // Back to the queue, for any of its candidates: a VM the agent had been given alone is one it now
    // asks for like any other.
    QuarnAgentInfo* agent = FindAgent(agentName);
    if (agent != nullptr && agent->staticVMs.erase(vm.vmGuid) != 0) agent->distributedVMs.insert(vm.vmGuid);
    ZtCriticalSectionLock lock(&m_priorityListLock);
    if (std::find(m_vmPriorityList.begin(), m_vmPriorityList.end(), vm.vmGuid) == m_vmPriorityList.end())
      m_vmPriorityList.push_back(vm.vmGuid);
    return;
  }
  const std::string reason =
      record == DispatchRecord::kRefused
          ? "The VM was not sent to proxy [" + agentName + "]: its dispatch can never be recorded (" + error + ")"
          : "The VM was not sent to proxy [" + agentName + "]: its dispatch could not be recorded in [" +
                std::to_string(kDispatchRecordTries) + "] tries (" + error + ")";
  m_event.Error(kSigHoldBack, "VM [%s]: %s", vm.vmName.c_str(), reason.c_str());
  // No agent backs the VM up in this attempt: left in its candidates' sets, it would keep streams
  // coming to an agent that has nothing else to do while the agents with VMs wait for them.
  for (const std::string& name : vm.candidateAgents) ForgetCandidate(name, vm);
  if (record == DispatchRecord::kRefused) {
    FailVMWithReason(vm, reason);
    m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
    WriteBackupDotOut(vm.vmName, "", reason, true, false);
  } else {
    // Left for the job's next attempt, which the job manager resumes: the job goes pending for it.
    vm.vmPhase = PHASE_PENDING;
    vm.failureReason = reason;
    ++m_vmsNotDispatched;
  }
  m_jobMgr->addPendingCauseArgument(vm.vmName);
  m_jobMgr->addPendingCauseArgument(reason);
  m_jobMgr->setPendingCauseAndEvent(QuarnUtils::kEventVMNotBackedUpWithReason, QuarnUtils::kVMNotBackedUpSeverity);
}

bool QuarnCoordinator::WaitsForDispatchRetry(const std::string& guid, time_t now) const {
  const auto it = m_unrecordedDispatches.find(guid);
  return it != m_unrecordedDispatches.end() && it->second.retryAt > now;
}

void QuarnCoordinator::RetryDueDispatches() {
  const time_t now = ClockSeconds();
  bool due = false;
  for (auto& entry : m_unrecordedDispatches) {
    if (entry.second.retryAt == 0 || entry.second.retryAt > now) continue;
    entry.second.retryAt = 0;
    due = true;
  }
  if (due) ProcessGetNextVMAgentQueue();
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
