// The idle states of the server loop: Starting (wait for the agents' start-up messages), Running
// (quit flags, waiting VMs, restarts, streams, rebalancing) and Stopping.
#include "coordinator/QuarnCoordinator.h"
#include "coordinator/QuarnScaleAgentManager.h"
#include "platform/config/ZTPlatformInfo.h"

namespace {

const char* const kSigStarting = "void QuarnCoordinator::OnIdle_Starting()";
const char* const kSigRunning = "void QuarnCoordinator::OnIdle_Running()";

constexpr unsigned long long kDefaultAgentInitTimeout = 120;
constexpr time_t kWaitingLogInterval = 300;
constexpr size_t kWaitingListLength = 50;

// Appends a name to a waiting list: ", " between names, and once the text is long enough "..."
// once and nothing more.
void AppendWaiting(std::string& list, bool& cut, const std::string& name) {
  if (cut) return;
  if (list.size() >= kWaitingListLength) {
    list += "...";
    cut = true;
    return;
  }
  if (!list.empty()) list += ", ";
  list += name;
}

}  // namespace

void QuarnCoordinator::OnIdle() {
  if (m_scaleAgentManager != nullptr) m_scaleAgentManager->ServePendingEstimate();
  switch (m_state) {
    case kStarting:
      OnIdle_Starting();
      break;
    case kRunning:
      OnIdle_Running();
      break;
    case kStopping:
      OnIdle_Stopping();
      break;
    default:
      break;
  }
}

void QuarnCoordinator::OnIdle_Starting() {
  unsigned long long timeout = kDefaultAgentInitTimeout;
  ZTPlatformInfo().getNumber("VirtualServer", "nAgentInitTimeout", &timeout);
  const time_t now = ClockSeconds();
  if (m_agentWaitStart == 0) m_agentWaitStart = now;

  int notAwaited = 0;
  int awaited = 0;
  std::string waiting;
  bool cut = false;
  for (auto& entry : m_agents) {
    const uint32_t state = entry.second.state;
    if (state == AgentInitialized) continue;
    if (state == AgentStarting || state == AgentFailed) {
      ++notAwaited;
      continue;
    }
    if (now - m_agentWaitStart > static_cast<time_t>(timeout)) {
      m_event.Debug(kSigStarting, "Timeout waiting for agent [%s] to initialize.", entry.first.c_str());
      FailAgent(entry.first);
      ++notAwaited;
      continue;
    }
    ++awaited;
    AppendWaiting(waiting, cut, entry.first);
  }

  if (notAwaited == static_cast<int>(m_agents.size())) {
    m_event.Debug(kSigStarting, "No Agents are running, stopping");
    m_state = kStopping;
    return;
  }
  if (awaited > 0) {
    m_event.Debug(kSigStarting, "Waiting for [%d] agents to initialize.  [%s]", awaited, waiting.c_str());
    return;
  }

  m_event.Debug(kSigStarting, "All Agents have initialized");
  if (IsScaleAgentMgmtEnabled()) {
    m_event.Debug(kSigStarting, "Auto Scale Management of Agents is enabled");
    uint32_t holdMinutes = 15;
    m_registry.GetEntry(REG_nMaxAutoScaleStreamHoldTimeout, holdMinutes, 15u);
    m_autoScaleStreamHoldTime = holdMinutes * 60;
    m_scaleAgentManager = CreateScaleAgentManager();
    if (m_scaleAgentManager != nullptr) {
      m_autoScaleStart.Now();
      m_scaleAgentManager->CreateNewAgentsAsnyc();
      if (!m_scaleAgentManager->IsJobMonitorValid()) m_autoScaleFinished = true;
    }
  }

  m_state = kRunning;
  if (m_jobMgr->isSnapToTape()) DispatchSnapBackupMetadata();
  DistributeVMsToAgents(false);
  if (!DistributeMountSnapInfo()) {
    m_event.Error(kSigStarting, "Stopping coordinator node");
    StopAllAgents();
    m_state = kStopping;
    return;
  }
  DistributeSharedShadow();
  DispatchVMLists();
  DispatchStreams();
  ProcessGetNextVMAgentQueue();
  m_lastRebalanceTime = ClockSeconds();
}

bool QuarnCoordinator::HasRunnableCandidate(const vm_params& vm) {
  for (const std::string& name : vm.candidateAgents) {
    const QuarnAgentInfo* agent = FindAgent(name);
    if (agent != nullptr && agent->CanStillRun(m_restartAgents)) return true;
  }
  return false;
}

void QuarnCoordinator::OnIdle_Running() {
  const time_t now = ClockSeconds();
  const bool logDue = now - m_lastWaitingMessage > kWaitingLogInterval;

  if (CheckQuitFlag()) {
    m_event.Debug(kSigRunning, "Quit flag is set, stopping agents");
    StopAllAgents();
    m_state = kStopping;
    return;
  }
  CheckVMQuitFlags();
  const bool autoScale = IsScaleAgentMgmtEnabled();
  const bool creatingAgents = autoScale && IsAnyAgentBeingCreated();

  int waitedVMs = 0;
  int totalDisks = 0;
  std::string waiting;
  bool cut = false;
  int strandedVMs = 0;  // left, with no agent that can still take them
  std::string stranded;
  bool strandedCut = false;
  for (const auto& entry : m_vmMap) {
    const vm_params& vm = entry.second;
    if (vm.vmPhase != PHASE_NOT_STARTED && vm.vmPhase != PHASE_STARTED) continue;
    // A VM is waited for only while one of its candidates can still take it: a VM whose agents are
    // all gone for good would otherwise keep the job from ever ending.
    bool waited = HasRunnableCandidate(vm) || (autoScale && (creatingAgents || !m_finalRebalanceDone));
    if (!waited) {
      ++strandedVMs;
      AppendWaiting(stranded, strandedCut, vm.vmName);
      continue;
    }
    ++waitedVMs;
    totalDisks += std::max<int64_t>(vm.collect.getint64(VirtualServer::VMCollect::F_diskCount), 1);
    if (logDue) AppendWaiting(waiting, cut, vm.vmName);
  }

  if (waitedVMs == 0) {
    if (creatingAgents) {
      if (logDue) m_event.Debug(kSigRunning, "Waiting on new agents to be created, not stopping");
      m_lastWaitingMessage = now;
    } else {
      if (strandedVMs > 0)
        m_event.Debug(kSigRunning, "No running agent can back up the [%d] VMs left, stopping agents.  [%s]",
                      strandedVMs, stranded.c_str());
      else
        m_event.Debug(kSigRunning, "All VMs have been processed, stopping agents");
      StopAllAgents();
      m_state = kStopping;
      return;
    }
  } else if (logDue) {
    m_event.Debug(kSigRunning, "Waiting for [%d] VMs to be processed.  [%s]", waitedVMs, waiting.c_str());
    m_lastWaitingMessage = now;
    DumpStreamInfo();
  }

  if (m_recheckAgentList.load()) {
    m_event.Debug(kSigRunning, "Recheck Agent list flag is set, adding any newly created agents");
    CheckAndAddAgents();
  }

  int initialized = 0;
  for (auto& entry : m_agents) {
    QuarnAgentInfo& agent = entry.second;
    if (agent.state == AgentInitialized) ++initialized;
    if (agent.state == AgentFailed && m_restartAgents && agent.restartPending && !agent.noRestart &&
        now - agent.startTime > static_cast<time_t>(m_restartInterval)) {
      agent.state = AgentStarting;
      agent.restartPending = false;
      agent.startTime = now;
      QueueAgentForRestart(entry.first);
    }
  }
  if (initialized == 0) {
    m_event.Debug(kSigRunning, "No Agents are running, stopping");
    m_state = kStopping;
    return;
  }

  if (!m_jobMgr->isSnapCatalogMode() && !m_jobMgr->isVMStubPhase()) {
    CheckAndReclaimStreams();
    CheckAndReclaimErrorStreams();
    if (!m_jobMgr->isSnapBackup()) CheckAdditionalStreams(totalDisks);
    if (m_availableStreams == 0) {
      m_event.Debug(kSigRunning, "No streams are available, stopping agents");
      StopAllAgents();
      m_state = kStopping;
      return;
    }
  }

  RetryDueDispatches();

  if (m_streamRedispatchPending.load() && ClockSeconds() >= m_streamRedispatchTime.load()) {
    m_streamRedispatchPending = false;
    m_streamRedispatchTime = 0;
    DispatchStreams();
  }

  bool forceRebalance = initialized == static_cast<int>(m_agents.size());
  if (autoScale && !IsAnyAgentBeingCreated() && !m_finalRebalanceDone) {
    for (const auto& entry : m_vmMap) {
      if (entry.second.vmPhase == PHASE_NOT_STARTED && entry.second.candidateAgents.empty()) {
        m_event.Debug(kSigRunning,
                      "AutoScale agent creation job(s) has completed. Assigned VMS to possible new agents.");
        forceRebalance = true;
        break;
      }
    }
    m_autoScaleFinished = true;
    m_rebalanceRequested = true;
    m_finalRebalanceDone = true;
    m_event.Debug(kSigRunning, "Performing final rebalancing of VM workload between available proxies");
  }

  if (m_rebalanceRequested.load()) CheckAndRebalanceVMS(forceRebalance);
}

void QuarnCoordinator::OnIdle_Stopping() {}

void QuarnCoordinator::CheckAndRebalanceVMS(bool force) {
  const time_t now = ClockSeconds();
  if (m_rebalanceRequestTime == 0) m_rebalanceRequestTime = now;
  if (!force) {
    const uint32_t sinceRequest = static_cast<uint32_t>(now - m_rebalanceRequestTime);
    const uint32_t sinceLast = static_cast<uint32_t>(now - m_lastRebalanceTime);
    if (sinceRequest <= m_rebalanceInterval / 2 || sinceLast <= m_rebalanceInterval) return;
  }
  DistributeVMsToAgents(true);
  DispatchStreams();
  m_lastRebalanceTime = now;
  m_rebalanceRequested = false;
  m_rebalanceRequestTime = 0;
}
