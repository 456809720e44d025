// The coordinator's side of the agent protocol: dispatch of every message an agent sends, and the
// handlers of start-up, shutdown, status, per-VM results, progress, requests for work and snapshot
// metadata.
#include <algorithm>

#include "coordinator/QuarnCoordinator.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxPath.h"

namespace {

const char* const kSigOnMsgReceived = "virtual void QuarnCoordinator::OnMsgReceived(const std::string&, CNMessageBase*)";
const char* const kSigStartup =
    "virtual bool QuarnCoordinator::OnMsgVMAgentStartup(const std::string&, VirtualServer::VMAgentStartup*)";
const char* const kSigShutdown =
    "virtual bool QuarnCoordinator::OnMsgVMAgentShutdown(const std::string&, VirtualServer::VMAgentShutdown*)";
const char* const kSigStatus =
    "virtual bool QuarnCoordinator::OnMsgVMAgentStatus(const std::string&, VirtualServer::VMAgentStatus*)";
const char* const kSigResult =
    "virtual bool QuarnCoordinator::OnMsgVMBackupResult(const std::string&, VirtualServer::VMBackupResult*)";
const char* const kSigProgress =
    "virtual bool QuarnCoordinator::OnMsgVMBackupProgress(const std::string&, VirtualServer::VMBackupProgress*)";
const char* const kSigGetNextVM =
    "virtual bool QuarnCoordinator::OnMsgVMBackupGetNextVM(const std::string&, VirtualServer::VMBackupGetNextVM*)";
const char* const kSigProcessGetNextVM = "bool QuarnCoordinator::ProcessGetNextVMForAgent(const std::string&)";
const char* const kSigGiveVMs = "bool QuarnCoordinator::GiveVMsToAgent(const std::string&, const std::set<std::string>&)";
const char* const kSigSnapMetaData =
    "virtual bool QuarnCoordinator::OnMsgVMSnapMetaData(const std::string&, VirtualServer::VMSnapBackup*)";
const char* const kSigAddSnapDS =
    "bool QuarnCoordinator::AddSnapDSListToMetaData(const CNMessageList&, CNMessageList&)";

// Per-VM status of a VMBackupResult.
constexpr int64_t kResultSuccess = 1;
constexpr int64_t kResultFailed = 2;
constexpr int64_t kResultStopped = 3;
constexpr int64_t kResultSkipped = 4;

// Job-manager status of a VM whose log-archiver run is still open.
constexpr int64_t kStatusInProgress = 2;

// The first number of a result that is outside what its field can hold, described; empty when every
// one is inside.
std::string RefusedResultField(const VirtualServer::VMBackupResult& message) {
  using Result = VirtualServer::VMBackupResult;
  struct Range {
    const CNField& field;
    const char* name;
    int64_t min, max;
  };
  static const Range kRanges[] = {
      {Result::F_statusCode, "status", 0, kResultSkipped},
      {Result::F_errorCount, "error count", 0, INT32_MAX},
      {Result::F_fatalError, "fatal error flag", 0, 1},
      {Result::F_archivingStatus, "archiving status", 0, INT32_MAX},
  };
  for (const Range& range : kRanges) {
    const int64_t value = message.getint64(range.field);
    if (value < range.min || value > range.max)
      return std::string("its ") + range.name + " [" + std::to_string(value) + "] is not from " +
             std::to_string(range.min) + " to " + std::to_string(range.max);
  }
  return std::string();
}

std::string Join(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

}  // namespace

void QuarnCoordinator::OnMsgReceived(const std::string& name, CNMessageBase* message) {
  m_event.DebugLvl(2, kSigOnMsgReceived, "Message [%s] received from Agent [%s]", message->getTagName().c_str(),
                   name.c_str());
  bool ok = true;
  switch (message->getTagID()) {
    case VirtualServer::VMBackupGetNextVM::TAG:
      ok = OnMsgVMBackupGetNextVM(name, static_cast<VirtualServer::VMBackupGetNextVM*>(message));
      break;
    case VirtualServer::VMBackupStream::TAG:
      ok = OnMsgVMBackupStream(name, static_cast<VirtualServer::VMBackupStream*>(message));
      break;
    case VirtualServer::VMAgentStatus::TAG:
      ok = OnMsgVMAgentStatus(name, static_cast<VirtualServer::VMAgentStatus*>(message));
      break;
    case VirtualServer::VMAgentStartup::TAG:
      ok = OnMsgVMAgentStartup(name, static_cast<VirtualServer::VMAgentStartup*>(message));
      break;
    case VirtualServer::VMBackupResult::TAG:
      ok = OnMsgVMBackupResult(name, static_cast<VirtualServer::VMBackupResult*>(message));
      break;
    case VirtualServer::VMAgentShutdown::TAG:
      ok = OnMsgVMAgentShutdown(name, static_cast<VirtualServer::VMAgentShutdown*>(message));
      break;
    case VirtualServer::VMBackupProgress::TAG:
      ok = OnMsgVMBackupProgress(name, static_cast<VirtualServer::VMBackupProgress*>(message));
      break;
    case VirtualServer::VMSnapBackup::TAG:
      ok = OnMsgVMSnapMetaData(name, static_cast<VirtualServer::VMSnapBackup*>(message));
      break;
    default:
      break;
  }
  if (!ok) SetQuitFlag();
}

bool QuarnCoordinator::OnMsgVMAgentStartup(const std::string& agentName, VirtualServer::VMAgentStartup* message) {
  using Startup = VirtualServer::VMAgentStartup;
  const char* name = agentName.c_str();
  m_event.Debug(kSigStartup, "Agent [%s] has initialized", name);

  const int64_t version = message->getint64(Startup::F_protocolVersion);
  if (version != GetProtocolVersion()) {
    m_event.Debug(kSigStartup, "Agent [%s] is running protocol version [%d], version [%d] is expected.", name,
                  static_cast<int>(version), GetProtocolVersion());
    m_event << agentName;
    if (version < GetProtocolVersion())
      m_event.MajorEvent(0x5B0000BB);
    else
      m_event.MajorEvent(0x5B0000BC);
    QuarnAgentInfo* agent = FindAgent(agentName);
    if (agent != nullptr) {
      agent->restartPending = true;
      agent->noRestart = true;
      agent->state = AgentFailed;
    }
    SendMsgToAgent(agentName, VirtualServer::VMAgentQuit());
    return true;
  }

  QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent == nullptr) {
    m_event.Error(kSigStartup, "Agent [%s] is not recognized", name);
    return false;
  }
  // An agent told to quit before it announced itself has its quit already: taking it up now would
  // make it a running agent again, dropped when it leaves, and send it the job's files after the end.
  if (agent->state == AgentStopped) {
    m_event.Debug(kSigStartup, "Agent [%s] was told to quit before it initialized; it is not taken up", name);
    return true;
  }

  std::string addresses;
  std::string subnets;
  for (const CNMessagePtr& entry : message->getlistobject(Startup::F_addresses, false)) {
    const std::string ip = entry->getstring(VirtualServer::VMAgentAddress::F_ipAddress);
    const std::string mask = entry->getstring(VirtualServer::VMAgentAddress::F_subnetMask);
    const std::string subnet = VSCoordinator::GetSubnet(ip, mask);
    if (subnet.empty()) {
      m_event.Error(kSigStartup, "Skipping address [%s]/[%s]", ip.c_str(), mask.c_str());
      continue;
    }
    addresses += (addresses.empty() ? "" : ", ") + ip;
    if (agent->subnets.insert(subnet).second) subnets += (subnets.empty() ? "" : ", ") + subnet;
  }

  CalculateStreamLimitForAgent(agentName, message);

  const std::string host = message->getstring(Startup::F_hypervisorHost);
  if (host.empty()) {
    m_event.Debug(kSigStartup, "Agent [%s] is running on a physical machine.   Agent Address: [%s] Subnets: [%s]",
                  name, addresses.c_str(), subnets.c_str());
    const std::vector<std::string>& san = message->getliststring(Startup::F_sanDatastores, false);
    if (!san.empty()) {
      m_event.Debug(kSigStartup, "Agent [%s] has access to [%d] san datastores", name, static_cast<int>(san.size()));
      agent->sanDatastores.insert(san.begin(), san.end());
    }
  } else {
    agent->hostName = host;
    agent->hostUuid = message->getstring(Startup::F_proxyGuid);
    m_event.Debug(kSigStartup, "Agent [%s] is running on host [%s] Datacenter [%s] Uuid [%s] Agent Address: [%s] "
                  "Subnets: [%s]",
                  name, host.c_str(), agent->datacenter.c_str(), agent->hostUuid.c_str(), addresses.c_str(),
                  subnets.c_str());
  }
  const std::string location = message->getstring(Startup::F_location);
  if (!location.empty()) {
    agent->datacenter = location;
    m_event.Debug(kSigStartup, "Updated the agent datacenter to: [%s]", location.c_str());
  }
  agent->osFlag = message->getint64(Startup::F_osFlag) != 0;

  if (!m_jobMgr->isSnapBackup() && IsRemoteAgent(agentName)) {
    std::string collectName;
    GetCollectFileName(collectName);
    CopyFileToRemoteNode(collectName, GetAgentHostName(agentName), m_subclientDir,
                         message->getstring(Startup::F_subclientDir));
  }

  auto* status = message->getObject<VirtualServer::VMAgentStatus>(Startup::F_agentStatus, false);
  if (status != nullptr) OnMsgVMAgentStatus(agentName, status);

  VirtualServer::VMAgentInit init;
  if (m_masterIndexFileNumber != 0) {
    init.setint64(VirtualServer::VMAgentInit::F_masterIndexFileId, m_masterIndexFileNumber);
    init.setint64(VirtualServer::VMAgentInit::F_masterIndexFileTime, static_cast<int64_t>(m_masterIndexFileTime));
  }
  SendMsgToAgent(agentName, init);

  agent->state = AgentInitialized;
  if (m_state == kRunning) m_rebalanceRequested = true;

  if (agent->lateMessagePending) {
    ZtCriticalSectionLock lock(&m_lateMessageLock);
    if (m_lateAgentMessage) SendMsgToAgent(agentName, *m_lateAgentMessage);
  }
  return true;
}

bool QuarnCoordinator::OnMsgVMAgentShutdown(const std::string& agent, VirtualServer::VMAgentShutdown* message) {
  if (message->getint64(VirtualServer::VMAgentShutdown::F_failJob) != 0) {
    m_event.Error(kSigShutdown, "Agent [%s] has reported that the entire job should be failed", agent.c_str());
    m_failJob = true;
  }
  if (message->getint64(VirtualServer::VMAgentShutdown::F_completedWithErrors) != 0) {
    m_event.Error(kSigShutdown, "Agent [%s] has reported that the entire job should be completed with errors",
                  agent.c_str());
    m_completedWithErrors = true;
  }
  return true;
}

bool QuarnCoordinator::OnMsgVMAgentStatus(const std::string& agentName, VirtualServer::VMAgentStatus* message) {
  // Only agents the coordinator registered are given a record; a status never makes one.
  QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent == nullptr) {
    m_event.Error(kSigStatus, "Agent [%s] is not recognized", agentName.c_str());
    return true;
  }
  agent->streamsOfOtherProcesses =
      static_cast<int32_t>(message->getint64(VirtualServer::VMAgentStatus::F_hostStreams));
  return true;
}

bool QuarnCoordinator::AcceptVMBackupResult(const std::string& agentName, const VirtualServer::VMBackupResult& message) {
  using Result = VirtualServer::VMBackupResult;
  const std::string guid = message.getstring(Result::F_vmGuid);
  // A result names its VM by GUID, and a GUID from a message must never add a record to the job; a
  // VM that is not being backed up (already finished, or back in the list) keeps what it has, so
  // that a repeated or stray result cannot count a VM twice.
  const vm_params* vm = m_vmMap.Find(guid);
  if (vm == nullptr || (vm->vmPhase != PHASE_STARTED && vm->vmPhase != PHASE_STOPPING)) {
    m_event.Error(kSigResult, "Ignoring status for VM [%s] from [%s]: the VM is %s", guid.c_str(), agentName.c_str(),
                  vm == nullptr ? "not part of this job" : "not being backed up");
    return false;
  }
  // Only the agent that was given the VM may end it, and only with numbers a result can hold, so that
  // no agent can end, fail or pend another's VM.
  const QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent == nullptr || agent->assignedVMs.count(guid) == 0) {
    m_event.Error(kSigResult, "Agent [%s] has reported status for a VM [%s] that wasn't assigned to it [%s]",
                  agentName.c_str(), guid.c_str(), agent != nullptr ? Join(agent->assignedVMs).c_str() : "");
    return false;
  }
  const std::string refused = RefusedResultField(message);
  if (!refused.empty()) {
    m_event.Error(kSigResult, "Ignoring status for VM [%s] from [%s]: %s", guid.c_str(), agentName.c_str(),
                  refused.c_str());
    return false;
  }
  return true;
}

bool QuarnCoordinator::FailEndedSnapshotVM(const std::string& agentName, const VirtualServer::VMBackupResult& message) {
  using Result = VirtualServer::VMBackupResult;
  if (!m_jobMgr->isSnapBackup() || message.getint64(Result::F_statusCode) != kResultFailed) return false;
  const std::string guid = message.getstring(Result::F_vmGuid);
  vm_params* vm = m_vmMap.Find(guid);
  if (vm == nullptr || (vm->vmPhase != PHASE_DONE && vm->vmPhase != PHASE_DONE_WITH_ERRORS)) return false;
  const QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent == nullptr || agent->completedVMs.count(guid) == 0) return false;
  vm->failureReason = message.getstring(Result::F_failureReason);
  m_event.Error(kSigResult, "VM [%s] that agent [%s] reported backed up has failed: %s", vm->vmName.c_str(),
                agentName.c_str(), vm->failureReason.c_str());
  // A VM still waiting for its index logs was not counted yet; it is no longer waited for.
  size_t waiting = 0;
  {
    ZtCriticalSectionLock lock(&m_logArchiverLock);
    const size_t before = m_logArchiverBatch.size();
    m_logArchiverBatch.remove_if([&](const VMArchiveIndexParam& param) { return param.vmGuid == vm->vmGuid; });
    waiting = before - m_logArchiverBatch.size();
  }
  if (waiting == 0) {
    --m_vmSuccesses;
    m_jobMgr->addBackupFolderSuccesses(-1);
  }
  AddVMFailures(1);
  WriteBackupDotOut(vm->vmName, "", vm->failureReason, true, false);
  m_vmMap.UpdateVMPhase(guid, PHASE_FAILED);
  return true;
}

bool QuarnCoordinator::OnMsgVMBackupResult(const std::string& agentName, VirtualServer::VMBackupResult* message) {
  using Result = VirtualServer::VMBackupResult;
  const std::string guid = message->getstring(Result::F_vmGuid);
  const int64_t status = message->getint64(Result::F_statusCode);
  m_event.Debug(kSigResult, "Received Status [%d] for VM [%s] from [%s]", static_cast<int>(status),
                message->getstring(Result::F_vmName).c_str(), agentName.c_str());

  if (FailEndedSnapshotVM(agentName, *message)) return true;
  if (!AcceptVMBackupResult(agentName, *message)) return true;
  vm_params* vm = m_vmMap.Find(guid);
  QuarnAgentInfo* agent = FindAgent(agentName);

  if (message->getint64(Result::F_fatalError) != 0) {
    m_event.Debug(kSigResult, "Detected fatal VM error");
    m_fatalVMError = true;
  }
  if (message->isSet(Result::F_failureReason)) vm->failureReason = message->getstring(Result::F_failureReason);

  phase newPhase = PHASE_PENDING;
  if (status == kResultSuccess) {
    newPhase = PHASE_DONE;
    const int errors = static_cast<int>(message->getint64(Result::F_errorCount));
    const std::vector<std::string>& lines = message->getliststring(Result::F_messages, false);
    if (errors > 0) {
      newPhase = PHASE_DONE_WITH_ERRORS;
      m_event.Debug(kSigResult, "VM [%s] completed with [%d] errors (%d messages)", vm->vmName.c_str(), errors,
                    static_cast<int>(lines.size()));
      AddVMFileFailures(errors);
    }
    for (const std::string& line : lines) WriteBackupDotOut(line);

    int added = 0;
    for (const CNMessagePtr& record : message->getlistobject(Result::F_contentRecords, false)) {
      if (insertContentMapTable(static_cast<VirtualServer::VMContentRecord&>(*record)) != 0) {
        m_event.Error(kSigResult, "Failed to update VMContentMap for VM [%s]", vm->vmName.c_str());
        return false;
      }
      ++added;
    }
    m_event.Debug(kSigResult, "Added [%d] VMContentMap entries for VM [%s]", added, vm->vmName.c_str());

    if (m_jobMgr->isSnapBackup() && m_appMgr->isUseIndexingV2Enabled()) {
      m_event.DebugLvl(2, kSigResult, "Adding VM[%s] to archiveIndex batch", vm->vmName.c_str());
      VMArchiveIndexParam param;
      param.vmGuid = vm->vmGuid;
      param.childJobId = vm->collect.getint64(VirtualServer::VMCollect::F_vmJobId);
      param.subclientId = vm->collect.getint64(VirtualServer::VMCollect::F_subclientId);
      param.lastNumber = 0;
      vm->updateInfo.setint64(JobManager::VMUpdateInfo::F_vmStatus, kStatusInProgress);
      ZtCriticalSectionLock lock(&m_logArchiverLock);
      m_logArchiverBatch.push_back(param);
    } else {
      AddVMSuccesses(1);
    }

    if (m_jobMgr->isSnapBackup() || m_jobMgr->isSnapToTape() || m_jobMgr->isSnapCatalogMode()) {
      m_event.DebugLvl(6, kSigResult,
                       "Commit operation is applicable only for streaming backup. Skip setting the job to Committable.");
    } else if (m_jobMgr->isVMContentIndexMode()) {
      m_event.DebugLvl(6, kSigResult, "Commit operation is not applicable for content index job");
    } else if (!m_jobMgr->isJobCommittable()) {
      m_event.Debug(kSigResult, "Set the job state to committable.");
      if (!m_jobMgr->setJobCommittable()) m_event.Debug(kSigResult, "Failed to set the job to Committable.");
    }
  } else if (status == kResultFailed) {
    newPhase = PHASE_FAILED;
    AddVMFailures(1);
    WriteBackupDotOut(vm->vmName, "", vm->failureReason, true, false);
  } else if (status == kResultStopped) {
    newPhase = PHASE_STOPPED;
  } else if (status == kResultSkipped) {
    newPhase = PHASE_SKIPPED;
  }

  if (!m_vmMap.UpdateVMPhase(guid, newPhase))
    m_event.Debug(kSigResult, "Failed to update VMPhase for [%s]", vm->vmName.c_str());
  DecrementVolumeActivityForVM(*vm);
  ++agent->completedCount;
  agent->assignedVMs.erase(guid);
  agent->completedVMs.insert(guid);
  vm->archivingStatus = static_cast<int32_t>(message->getint64(Result::F_archivingStatus));
  if ((newPhase == PHASE_DONE || newPhase == PHASE_DONE_WITH_ERRORS || newPhase == PHASE_FAILED) &&
      !m_jobMgr->isSnapBackup())
    m_jobMgr->updateProgressBar(guid);

  ProcessGetNextVMAgentQueue();
  return true;
}

bool QuarnCoordinator::OnMsgVMBackupProgress(const std::string& agent, VirtualServer::VMBackupProgress* message) {
  m_event.DebugLvl(2, kSigProgress, "Received Progress Report from [%s]", agent.c_str());
  for (const CNMessagePtr& entry : message->getlistobject(VirtualServer::VMBackupProgress::F_vmProgress, false)) {
    m_jobMgr->updatePerVMSubProgress(entry->getstring(VirtualServer::VMProgressPercent::F_guid),
                                     static_cast<int>(entry->getint64(VirtualServer::VMProgressPercent::F_percentComplete)));
  }
  m_jobMgr->updateProgressBar();
  return true;
}

bool QuarnCoordinator::OnMsgVMBackupGetNextVM(const std::string& agent, VirtualServer::VMBackupGetNextVM* message) {
  m_event.Debug(kSigGetNextVM, "GetNextVM Request from [%s]", agent.c_str());
  auto* status =
      message->getObject<VirtualServer::VMAgentStatus>(VirtualServer::VMBackupGetNextVM::F_currentStatus, false);
  if (status != nullptr) OnMsgVMAgentStatus(agent, status);
  if (!ProcessGetNextVMForAgent(agent)) m_heldGetNextVMRequests.push_back(agent);
  return true;
}

void QuarnCoordinator::ProcessGetNextVMAgentQueue() {
  while (!m_heldGetNextVMRequests.empty()) {
    if (!ProcessGetNextVMForAgent(m_heldGetNextVMRequests.front())) return;
    m_heldGetNextVMRequests.pop_front();
  }
}

bool QuarnCoordinator::ProcessGetNextVMForAgent(const std::string& agent) {
  // A VM whose dispatch could not be recorded is not given: the walk goes again, and the VM is either
  // waiting for its next try or no longer on the list.
  for (;;) {
    std::set<std::string> selection;
    bool found = false;
    if (!SelectVMForAgent(agent, selection, found)) return false;
    if (!selection.empty()) {
      selection = RecordVMDispatches(agent, selection);
      if (selection.empty()) continue;
    } else if (found) {
      return false;
    }
    GiveVMsToAgent(agent, selection);
    return true;
  }
}

bool QuarnCoordinator::SelectVMForAgent(const std::string& agent, std::set<std::string>& selection, bool& found) {
  ZtCriticalSectionLock lock(&m_priorityListLock);
  if (m_state != kRunning) return false;
  const time_t now = ClockSeconds();
  int64_t lowestActivity = 0;
  do {
    int64_t bestActivity = -1;
    for (auto it = m_vmPriorityList.begin(); it != m_vmPriorityList.end(); ++it) {
      vm_params* vm = m_vmMap.Find(*it);
      if (vm == nullptr) continue;
      if (vm->vmPhase != PHASE_NOT_STARTED) {
        m_event.Debug(kSigProcessGetNextVM, "Removing VM [%s] from priority list as it is in state [%s]",
                      vm->vmName.c_str(), GetVMPhaseString(vm->vmPhase));
        m_vmPriorityList.erase(it);
        return false;
      }
      if (vm->candidateAgents.count(agent) == 0) continue;
      found = true;
      if (WaitsForDispatchRetry(vm->vmGuid, now)) continue;
      int64_t activity = 0;
      if (m_getNextVMMethod == 1) {
        activity = GetVolumeActivityForVM(*vm);
        if (activity > lowestActivity) {
          if (bestActivity < 0 || activity < bestActivity) bestActivity = activity;
          continue;
        }
      }
      m_event.Debug(kSigProcessGetNextVM, "Selected VM [%s] for agent [%s] with volume activity of [%d]",
                    vm->vmName.c_str(), agent.c_str(), static_cast<int>(activity));
      selection.insert(vm->vmGuid);
      m_vmPriorityList.erase(it);
      return true;
    }
    lowestActivity = bestActivity;
    if (m_getNextVMMethod == 1 && m_volumeActivityLimit != 0 && lowestActivity >= m_volumeActivityLimit) {
      m_event.Debug(kSigProcessGetNextVM, "Cannot select a VM because the volume activity limit [%d] is exceeded",
                    static_cast<int>(m_volumeActivityLimit));
      return true;
    }
  } while (found && lowestActivity >= 0);
  return true;
}

bool QuarnCoordinator::GiveVMsToAgent(const std::string& agentName, const std::set<std::string>& vms) {
  m_event.Debug(kSigGiveVMs, "Sending [%d] VMs to agent [%s]", static_cast<int>(vms.size()), agentName.c_str());
  QuarnAgentInfo* agent = FindAgent(agentName);
  VirtualServer::VMCollectList list;
  CNMessageList& entries = list.getlistobject(VirtualServer::VMCollectList::F_vms, true);
  for (const std::string& guid : vms) {
    vm_params* vm = m_vmMap.Find(guid);
    if (vm == nullptr) continue;
    vm->assignedAgent = agentName;
    vm->vmPhase = PHASE_STARTED;
    if (agent != nullptr) agent->assignedVMs.insert(guid);
    IncrementVolumeActivityForVM(*vm);
    entries.emplace_back(vm->collect);
    m_event.Debug(kSigGiveVMs, "Sending VM [%s] to agent [%s]", vm->vmName.c_str(), agentName.c_str());
  }
  if (!SendMsgToAgent(agentName, list)) {
    m_event.Error(kSigGiveVMs, "Failed to send Streams to Agent [%s]", agentName.c_str());
    return false;
  }
  return true;
}

// ---- Snapshot metadata ----

bool QuarnCoordinator::LookupSnapMetaDataForJobId(int64_t jobId, size_t& position) {
  CNMessageList& backups = m_snapMetadata.getlistobject(VirtualServer::VMSnapBackup::F_backups, false);
  for (size_t i = 0; i < backups.size(); ++i) {
    if (backups[i]->getint64(VirtualServer::Backup::F_backupJobId) == jobId) {
      position = i;
      return true;
    }
  }
  return false;
}

bool QuarnCoordinator::AddSnapDSListToMetaData(const CNMessageList& source, CNMessageList& destination) {
  using Datastore = VirtualServer::VMDatastoreInfo;
  if (source.empty()) m_event.Debug(kSigAddSnapDS, "No datastore(s) found in source list");
  // Proxies whose VMs share a datastore each name it: the job's snapshot holds it once.
  for (const CNMessagePtr& entry : source) {
    const bool listed = entry && std::any_of(destination.begin(), destination.end(), [&](const CNMessagePtr& kept) {
                          return kept && kept->getstring(Datastore::F_datastore) == entry->getstring(Datastore::F_datastore);
                        });
    if (!listed) destination.push_back(entry);
  }
  return true;
}

bool QuarnCoordinator::OnMsgVMSnapMetaData(const std::string& agent, VirtualServer::VMSnapBackup* message) {
  using Snap = VirtualServer::VMSnapBackup;
  const CNMessageList& received = message->getlistobject(Snap::F_backups, false);
  if (received.empty()) {
    m_event.Error(kSigSnapMetaData, "Snap metadata received from agent [%s] is empty", agent.c_str());
    return true;
  }
  for (const CNMessagePtr& entry : received) {
    size_t position = 0;
    if (!LookupSnapMetaDataForJobId(entry->getint64(VirtualServer::Backup::F_backupJobId), position)) {
      m_snapMetadata.getlistobject(Snap::F_backups, true).push_back(entry);
      continue;
    }
    CNMessageBase& stored = *m_snapMetadata.getlistobject(Snap::F_backups, true)[position];
    auto* source = entry->getObject<VirtualServer::VMDatastoreList>(VirtualServer::Backup::F_backupDatastores, false);
    auto* target = stored.getObject<VirtualServer::VMDatastoreList>(VirtualServer::Backup::F_backupDatastores, true);
    const CNMessageList empty;
    const CNMessageList& from =
        source == nullptr ? empty : source->getlistobject(VirtualServer::VMDatastoreList::F_datastores, false);
    if (target == nullptr ||
        !AddSnapDSListToMetaData(from, target->getlistobject(VirtualServer::VMDatastoreList::F_datastores, true))) {
      m_event.Error(kSigSnapMetaData, "Failure in adding datastore list to snap metadata list on coordinator");
      return false;
    }
  }

  const std::string folder = CPxPath::Append(m_subclientDir, "CatalogXML", false);
  if (!CPxDirectory::Exists(folder)) {
    CPxError error = CPxDirectory::Create(folder, true);
    if (error.IsError()) {
      m_event.Error(kSigSnapMetaData, "Error creating folder [%s] Err=[0x%x]", folder.c_str(),
                    static_cast<unsigned>(-error.GetErrorCode()));
      return false;
    }
  }
  char name[64];
  std::snprintf(name, sizeof(name), "backup_%lld.xml", static_cast<long long>(m_jobMgr->getJobId()));
  const std::string path = CPxPath::Append(folder, name, false);
  vsXMLFile file(path);
  if (!file.Save(m_snapMetadata)) {
    m_event.Error(kSigSnapMetaData, "Failed to save snap metadata file [%s]", path.c_str());
    return false;
  }
  if (!m_snapMetadataRegistered) {
    m_snapMetadataRegistered = true;
    if (m_appMgr->isUseIndexingV2Enabled()) m_metadataFilesToUpload.push_back(path);
    m_indexClient->AddMetadataFile(path);
  }
  return true;
}
