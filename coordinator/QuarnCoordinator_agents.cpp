// The job's agents: choosing and registering them, their command line, the framework's agent
// callbacks, restarts, messages to agents and the copy of the collect file to an agent's host.
#include <strings.h>

#include <cstring>

#include "controller/QuarnController.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/os/CPxFile.h"
#include "records/messages/AppMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/ZtEntitiesMessages.h"

namespace {

const char* const kSigInitAgents = "virtual bool QuarnCoordinator::InitAgents()";
const char* const kSigAddAgent = "bool QuarnCoordinator::AddAgent(const std::string&)";
const char* const kSigStopAllAgents = "void QuarnCoordinator::StopAllAgents()";
const char* const kSigOnAgentStarted = "virtual void QuarnCoordinator::OnAgentStarted(const std::string&)";
const char* const kSigOnAgentFailed = "virtual void QuarnCoordinator::OnAgentFailed(const std::string&)";
const char* const kSigOnAgentStopped = "virtual void QuarnCoordinator::OnAgentStopped(const std::string&)";
const char* const kSigCopyFile =
    "bool QuarnCoordinator::CopyFileToRemoteNode(const std::string&, const std::string&, const std::string&, const "
    "std::string&)";

constexpr size_t kMaxCopyText = 1023;

// Copies at most kMaxCopyText characters and always terminates.
void CopyText(char (&target)[1024], const std::string& text) {
  size_t length = std::min(text.size(), kMaxCopyText);
  std::memcpy(target, text.data(), length);
  target[length] = '\0';
}

}  // namespace

bool QuarnCoordinator::InitAgents() {
  SetAgentCommandName(GetApplicationName(), "-client");
  SetSelectTimeout(10);

  const int type = m_appMgr->getInstanceType();
  const bool snapCloudOrVMware = vsAppMgr::isServerTypeVMWare(type) || vsAppMgr::isServerTypeNutanix(type) ||
                                 vsAppMgr::isServerTypeGoogleCloud(type) || vsAppMgr::isServerTypeAzure(type) ||
                                 vsAppMgr::isServerTypeAmazon(type);
  const bool localOnly =
      !m_jobMgr->isVMContentIndexMode() &&
      (m_jobMgr->isSnapCatalogMode() || (m_jobMgr->isSnapBackup() && snapCloudOrVMware) ||
       (m_jobMgr->isSnapToTape() && (m_appMgr->isServerTypeMS() || m_appMgr->IsSeperateBackupProxySet())));
  if (localOnly) {
    const std::string own = OwnClientName();
    if (AddLocalAgent(own, m_localController)) m_agents[own] = QuarnAgentInfo();
    StartAgents();
    return true;
  }

  std::vector<std::string> proxies;
  TMMsg::BackupOption options;
  bool fromJobOptions = false;
  if (m_jobMgr->GetJobOptions(options)) {
    auto* vsOption = options.getObject<TMMsg::VirtualServerOption>(TMMsg::BackupOption::F_virtualServerOption, false);
    auto* list = vsOption == nullptr ? nullptr
                                     : vsOption->getObject<App::MemberServerList>(
                                           TMMsg::VirtualServerOption::F_memberServerList, false);
    if (list != nullptr) {
      fromJobOptions = true;
      for (const CNMessagePtr& entity : list->getlistobject(App::MemberServerList::F_memberServers, false)) {
        int64_t clientId = entity->getint64(ZtEntities::GenericEntity::F_clientId);
        std::string name;
        if (clientId <= 0 || !ZTClient::getName(clientId, name)) continue;
        m_event.Debug(kSigInitAgents, "Found member server in jobOptions [%s]", name.c_str());
        proxies.push_back(name);
      }
    }
  }
  if (!fromJobOptions) {
    int code = vsAppMgr::kRetOk;
    if (m_jobMgr->isSnapToTape() && m_appMgr->isServerTypeVMWare() && m_appMgr->IsProxyServerDetailsSet())
      code = m_appMgr->queryBackupCopyMemberServers();
    if (!vsAppMgr::isRetCodeError(code)) code = m_appMgr->getMemberServers(proxies);
    if (vsAppMgr::isRetCodeError(code)) {
      m_event.Error(kSigInitAgents, "Failed to get member server list, %d", code);
      return false;
    }
  }

  m_appMgr->queryDataPathMediaAgents();
  for (const std::string& name : proxies) AddAgent(name);

  if (m_agents.empty()) {
    const std::string own = OwnClientName();
    m_event.Debug(kSigInitAgents, "Adding [%s] as a local agent, because no agents were found", own.c_str());
    if (AddLocalAgent(own, m_localController)) m_agents[own] = QuarnAgentInfo();
  }
  StartAgents();
  return true;
}

bool QuarnCoordinator::AddAgent(const std::string& name) {
  if (name.empty()) return false;
  if (m_agents.count(name) != 0) return true;
  bool added = false;
  if (!IsRemoteAgent(name)) {
    m_event.Debug(kSigAddAgent, "Adding [%s] as a local agent", name.c_str());
    added = AddLocalAgent(name, m_localController);
  } else {
    m_event.Debug(kSigAddAgent, "Adding [%s] as a remote agent", name.c_str());
    added = ZTRemoteAgentServer::AddAgent(name, GetCommandArgsToAddRemoteAgent(), std::string());
  }
  if (!added) {
    // The framework refuses names it cannot use safely (a proxy list is outside input).
    m_event.Error(kSigAddAgent, "Agent [%s] could not be registered", name.c_str());
    return false;
  }
  QuarnAgentInfo record;
  if (m_appMgr->IsDataPathMediaAgent(name)) {
    record.dataPathMediaAgent = true;
    m_dataPathMAAmongAgents = true;
  }
  m_agents[name] = record;
  return true;
}

std::string QuarnCoordinator::GetCommandArgsToAddRemoteAgent() {
  std::string args;
  args += " -j " + std::to_string(m_jobMgr->getJobId());
  args += " -jt " + m_jobMgr->getJobToken();
  args += " -a " + m_appMgr->getAppIdStr();
  args += " -t " + std::to_string(m_jobMgr->getBkpLevel());
  args += " -d " + m_jobMgr->getMediaAgent();
  if (m_jobMgr->isSnapBackup()) args += " -snap ";
  if (m_jobMgr->isSnapToTape()) args += " -snaptape -snapJID " + std::to_string(m_jobMgr->getSnapBkpJobId());
  if (m_jobMgr->isTurboEnabled()) args += " -stub ";
  if (m_jobMgr->isVMStubPhase()) args += " -stubPhase ";
  if (m_jobMgr->isLastAttempt()) args += " -lastAttempt ";
  if (m_jobMgr->isVMContentIndexMode()) {
    args += " -ci -srcJob " + std::to_string(m_jobMgr->getSourceParentBackupJobToProcess());
    if (m_jobMgr->getSnapBkpJobId() != 0) args += " -snapJID " + std::to_string(m_jobMgr->getSnapBkpJobId());
  }
  return args;
}

void QuarnCoordinator::StartAgents() {
  const time_t now = ClockSeconds();
  for (auto& entry : m_agents) {
    entry.second.state = AgentStarting;
    entry.second.startTime = now;
  }
  int threads = 4;
  m_registry.GetEntry(REG_nStartAgentThreads, threads, 4);
  SetAgentStartupThreads(threads);
  int timeout = 0;
  m_registry.GetEntry(REG_nStartAgentTimeout, timeout, 0);
  if (timeout > 0) SetAgentStartupTimeout(timeout);
}

void QuarnCoordinator::StopAllAgents() {
  if (m_jobMgr->isSnapToTape() && m_snapMountedOnCoordinator && m_localController != nullptr) {
    m_event.Debug(kSigStopAllAgents, "Unmounting on the coordinator first");
    m_localController->UnmountSnap();
  }
  for (auto& entry : m_agents) {
    QuarnAgentInfo& agent = entry.second;
    if (agent.state == AgentStopped || agent.state == AgentFailed) continue;
    VirtualServer::VMAgentQuit quit;
    if (m_jobMgr->isJobCommitted()) quit.setint64(VirtualServer::VMAgentQuit::F_commit, 1);
    SendMsgToAgent(entry.first, quit);
    agent.state = AgentStopped;
  }
}

QuarnAgentInfo* QuarnCoordinator::FindAgent(const std::string& name) {
  auto it = m_agents.find(name);
  return it == m_agents.end() ? nullptr : &it->second;
}

// ---- Framework callbacks ----

void QuarnCoordinator::OnAgentStarted(const std::string& name) {
  m_event.Debug(kSigOnAgentStarted, "Agent [%s] has started", name.c_str());
  QuarnAgentInfo* agent = FindAgent(name);
  if (agent == nullptr) {
    m_event.Error(kSigOnAgentStarted, "Agent [%s] is not recognized", name.c_str());
    return;
  }
  agent->state = AgentStarted;
  agent->restartPending = false;
  agent->sendFailed = false;
  agent->dropped = false;
}

void QuarnCoordinator::OnAgentFailed(const std::string& name) {
  m_event.Debug(kSigOnAgentFailed, "Agent [%s] has failed to start", name.c_str());
  QuarnAgentInfo* agent = FindAgent(name);
  if (agent == nullptr) {
    m_event.Debug(kSigOnAgentFailed, "Agent [%s] is not recognized", name.c_str());
    return;
  }
  agent->restartPending = true;
  agent->state = AgentFailed;
  if (++agent->startFailures == 1) {
    m_event << name << OwnClientName() << name;
    m_event.MajorEvent(0x5B000079);
  }
}

void QuarnCoordinator::OnAgentStopped(const std::string& name) {
  m_event.Debug(kSigOnAgentStopped, "Agent [%s] has stopped", name.c_str());
  QuarnAgentInfo* agent = FindAgent(name);
  if (agent == nullptr) {
    m_event.Error(kSigOnAgentStopped, "Agent [%s] is not recognized", name.c_str());
    return;
  }
  const bool quitting = CheckQuitFlag();
  if (agent->state != AgentStopped && agent->state != AgentFailed && !quitting) {
    agent->dropped = true;
    m_event << name << OwnClientName() << name;
    m_event.MajorEvent(0x5B00007A);
  }
  agent->state = AgentFailed;

  if (agent->streamsAssigned > 0) {
    m_event.Error(kSigOnAgentStopped, "Agent [%s] stopped with %d streams still assigned", name.c_str(),
                  agent->streamsAssigned);
    ReclaimStreamsOfAgent(name, *agent);
  }

  const std::set<std::string> assigned = agent->assignedVMs;
  for (const std::string& guid : assigned) {
    vm_params* vm = m_vmMap.Find(guid);
    m_event.Debug(kSigOnAgentStopped, "VM [%s] is still assigned to Agent [%s] phase [%s]",
                  vm != nullptr ? vm->vmName.c_str() : guid.c_str(), name.c_str(),
                  vm != nullptr ? GetVMPhaseString(vm->vmPhase) : "UNKNOWN");
    TakeBackVM(name, guid, agent->staticVMs.count(guid) != 0);
  }
}

void QuarnCoordinator::TakeBackVM(const std::string& agentName, const std::string& guid, bool staticallyAssigned) {
  QuarnAgentInfo* agent = FindAgent(agentName);
  if (agent != nullptr) agent->assignedVMs.erase(guid);
  vm_params* vm = m_vmMap.Find(guid);
  if (vm == nullptr) return;
  // The activity was taken when the VM was given out; an agent that stops never reports it, so it is
  // given back here or the datastore would look busy for the rest of the job.
  if (vm->vmPhase == PHASE_STARTED || vm->vmPhase == PHASE_STOPPING) DecrementVolumeActivityForVM(*vm);
  // A VM whose stop was asked for is not backed up by another agent behind the user's back.
  if (vm->vmPhase == PHASE_STOPPING) {
    vm->vmPhase = PHASE_STOPPED;
    return;
  }
  if (!staticallyAssigned) {
    ZtCriticalSectionLock lock(&m_priorityListLock);
    vm->vmPhase = PHASE_NOT_STARTED;
    vm->assignedAgent.clear();
    m_vmPriorityList.push_back(guid);
    return;
  }
  vm->vmPhase = PHASE_PENDING;
  if (!CheckQuitFlag()) vm->failureReason = "Agent Failure";
}

// ---- Restarts ----

void QuarnCoordinator::QueueAgentForRestart(const std::string& name) {
  {
    ZtCriticalSectionLock lock(&m_restartLock);
    m_restartQueue.push_back(name);
  }
  SubmitToThreadPool([this] { RestartAgentThreadStatic(this); });
}

void QuarnCoordinator::RestartAgentThreadStatic(void* context) {
  static_cast<QuarnCoordinator*>(context)->RestartAgentThread();
}

void QuarnCoordinator::RestartAgentThread() {
  std::string name;
  {
    ZtCriticalSectionLock lock(&m_restartLock);
    if (m_restartQueue.empty()) return;
    name = m_restartQueue.front();
    m_restartQueue.pop_front();
  }
  RestartAgent(name);
}

// ---- Messages to agents ----

bool QuarnCoordinator::SendMsgToAgent(const std::string& name, const CNMessageBase& message) {
  if (VSCoordinator::SendMsgToAgent(name, message)) return true;
  QuarnAgentInfo* agent = FindAgent(name);
  if (agent != nullptr) agent->sendFailed = true;
  return false;
}

bool QuarnCoordinator::IsRemoteAgent(const std::string& name) const {
  return strcasecmp(name.c_str(), OwnClientName().c_str()) != 0;
}

void QuarnCoordinator::SendToInitializedRemoteAgents(const CNMessageBase& message) {
  for (const auto& entry : m_agents)
    if (IsRemoteAgent(entry.first) && entry.second.state == AgentInitialized) SendMsgToAgent(entry.first, message);
}

void QuarnCoordinator::SentAgentStatusRequest(const std::string& name) {
  SendMsgToAgent(name, VirtualServer::VMAgentStatus());
}

bool QuarnCoordinator::CopyFileToRemoteNode(const std::string& file, const std::string& host,
                                            const std::string& sourceFolder, const std::string& destinationFolder) {
  m_event.DebugLvl(2, kSigCopyFile, "Copying file to host [%s] Source folder [%s] Destination folder [%s]",
                   host.c_str(), sourceFolder.c_str(), destinationFolder.c_str());
  ZtCopyFile copier;
  CPxError error = copier.GetConnection(host, OwnClientName(), false);
  if (error.IsError()) {
    m_event.Error(kSigCopyFile, "Failed to get connection to remote machine [%s] to copy files. Error msg [%s]",
                  host.c_str(), error.AsString().c_str());
    return false;
  }
  ztsFilexferRequest request;
  CopyText(request.sourceFolder, sourceFolder);
  CopyText(request.fileName, file);
  CopyText(request.destinationFolder, destinationFolder);
  request.firstValue = 35;
  request.secondValue = 4;
  error = copier.CopySingleFile(request, false);
  if (error.IsError()) {
    m_event.Error(kSigCopyFile, "Failed to copy file to remote machine [%s]. Error msg [%s]", host.c_str(),
                  error.AsString().c_str());
    return false;
  }
  m_event.Debug(kSigCopyFile, "Successfully copied file [%s] to the node [%s]", file.c_str(), host.c_str());
  return true;
}
