#include "controller/QuarnController.h"

#include "platform/config/ZTPI_CommClient.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/jobclient/SubclientDir.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/ZtTime.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr unsigned long kControllerPassMs = 10000;
constexpr time_t kProgressIntervalSeconds = 30;

}  // namespace

QuarnController::QuarnController(bool isCoordinator) : VSController(isCoordinator), m_isCoordinator(isCoordinator) {}

QuarnController::~QuarnController() {
  Deinitialize();
  for (QuarnWorker* worker : m_abandonedWorkers)
    m_event.Error("virtual QuarnController::~QuarnController()", "Worker [%d] still runs; it is left allocated",
                  worker->getWorkerId());
}

bool QuarnController::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  static const char* const sig = "virtual bool QuarnController::Initialize(vsJobMgr*, vsAppMgr*)";
  if (jobMgr == nullptr || appMgr == nullptr) {
    m_event.Error(sig, "Invalid Parameter");
    return false;
  }
  m_jobMgr = jobMgr;
  m_appMgr = appMgr;

  if (GetSubclientDirAndFiles(appMgr->getKeyrealmId(), appMgr->getAppId(), &m_subclientFiles,
                              jobMgr->getBkpLevel(), nullptr) != 0) {
    m_event.Error(sig, "Failed to get the location of the subclient directory");
    return false;
  }

  if (jobMgr->isSnapBackup() || jobMgr->isSnapCatalogMode()) {
    if (appMgr->isServerTypeVMWare()) {
      m_event.Debug(sig, "Disabling granular metadata collection on Linux/Unix proxy");
      jobMgr->setMetatdataCollectionOption(0);
    }
    const std::string snapDir = std::string(m_subclientFiles.subclientDir) + "/" + "SNAP";
    if (snapDir.size() >= sizeof(m_subclientFiles.subclientDir)) {
      m_event.Error(sig, "CreateDirectory failed for [%s] Err=0x%x", snapDir.c_str(), ENAMETOOLONG);
      return false;
    }
    if (!CPxDirectory::Exists(snapDir)) {
      CPxError error = CPxDirectory::Create(snapDir, true);
      if (error.IsError()) {
        // Carrying on would leave the agent without the folder every snapshot file goes to.
        m_event.Error(sig, "CreateDirectory failed for [%s] Err=0x%x", snapDir.c_str(), -error.GetErrorCode());
        return false;
      }
    }
    std::snprintf(m_subclientFiles.subclientDir, sizeof(m_subclientFiles.subclientDir), "%s", snapDir.c_str());
  }

  const int osId = m_sim.queryClientOSId();
  if (!m_sim.isOK(osId)) {
    m_event.Error(sig, "SIM initialization failed, retCode [%d]", osId);
    return false;
  }

  ZTPI_CommClient platform;
  if (!platform.setFocus(ZTPI_Focus::getFocus())) {
    m_event.Error(sig, "Set Focus call failed");
    return false;
  }
  if (ZTPI_PlatformBase::invalidZTPlatform()) {
    m_event.Error(sig, "Invalid Platform");
    return false;
  }
  m_keymasterHostName = platform.getKeymasterHostName();
  if (m_keymasterHostName.empty()) {
    m_event.Error(sig, "Failed to get keymaster name from the registry");
    return false;
  }
  m_jobResultsDir = platform.getJobResultsDirectory(platform.getPhysicalMachine());

  if (!m_ipc.Initialize()) {
    m_event.Error(sig, "Failed to initialize IPC");
    return false;
  }

  {
    ZtCriticalSectionLock lock(&m_cleanupLock);
    if (!m_cleanupClient.RegisterProcess(jobMgr->getJobId(), appMgr->getKeyrealmId(), appMgr->getAppId())) {
      m_event.Error(sig, "Failed to register process with VSCleanup");
      return false;
    }
  }
  m_processRegistered = true;

  if (!StartDatastoreMonitor()) return false;
  if (!StartControllerThread()) return false;

  ZtCriticalSectionLock lock(&m_getNextVMLock);
  m_getNextVMWatch = CStopWatch("GetNextVM " + jobMgr->getJobIdStr());
  return true;
}

void QuarnController::Deinitialize() {
  SetQuitFlag();
  StopControllerThread();
  StopAllWorkers();
  // While the whole controller still exists: a worker left running may yet call into it.
  ReapAbandonedWorkers(true);
  StopDatastoreMonitor();

  CloseRemainingStreams();

  CloseIndexing();
  CleanupIndexingMAFile();
  CleanupJobMetadataFiles(m_subclientFiles.subclientDir);
  CleanupVMInfo();
  m_ipc.Deinitialize();
  if (m_jobMgr != nullptr && m_appMgr != nullptr && m_processRegistered.exchange(false)) {
    ZtCriticalSectionLock lock(&m_cleanupLock);
    m_cleanupClient.UnregisterProcess(m_jobMgr->getJobId(), m_appMgr->getKeyrealmId(), m_appMgr->getAppId());
  }
}

bool QuarnController::Run(int argc, char** argv) { return Main(argc, argv); }

bool QuarnController::SendToCoordinator(const CNMessageBase& message) { return SendMsgToServer(message); }

// ---- The controller thread ----

bool QuarnController::StartControllerThread() {
  static const char* const sig = "bool QuarnController::StartControllerThread()";
  if (m_controllerThread.createThread(&QuarnController::ControllerThreadStatic, this, "controller") == 0xFFFFFFFFu) {
    m_event.Error(sig, "Failed to start controller thread");
    return false;
  }
  m_threadStarted = true;
  return true;
}

void QuarnController::StopControllerThread() {
  SetQuitFlag();
  m_wakeEvent.set();
  WakeWaiters();
  // Join serialises callers: a second caller returns once the closing sequence has run.
  if (m_threadStarted.load()) m_controllerThread.Join();
}

void* QuarnController::ControllerThreadStatic(void* context) {
  if (context == nullptr) return nullptr;
  static_cast<QuarnController*>(context)->ControllerThread();
  return nullptr;
}

void QuarnController::ControllerThread() {
  while (!CheckQuitFlag()) {
    if (!MonitorWorkers() || !MonitorStreams() || !MonitorProcesses() || !MonitorProgress() || !MonitorIndexing())
      break;
    // A pass follows every grant, opened stream, stream given back and ended worker: a worker waiting
    // for a stream for another of its VM's objects looks again now rather than at its next retry.
    for (QuarnWorker* worker : Workers()) worker->WakeStreamWait();
    m_wakeEvent.wait(kControllerPassMs);
  }
  CloseController();
}

void QuarnController::CloseController() {
  static const char* const sig = "void QuarnController::ControllerThread()";
  m_closing = true;
  WakeWaiters();
  StopAllWorkers();

  const int completed = m_completedVMs.load();
  int total = 0;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    total = static_cast<int>(m_vmMap.size());
  }
  if (completed < total)
    m_event.Debug(sig, "Not all VMs have been processed [%d] of [%d]", completed, total);
  else if (completed == total)
    m_event.Debug(sig, "All [%d] VMs have been processed", total);
  else
    m_event.Error(sig, "Too Many VMs have been processed [%d] of [%d]", completed, total);

  if (!PostBackup()) {
    m_failJob = true;
    m_event.Error(sig, "Post backup phase failed for the job");
  }
  CloseAndReturnAllStreams();
  CloseIndexing();
  SetQuitFlag();
  WakeWaiters();
}

void QuarnController::WakeWaiters() {
  m_vmQueueEvent.set();
  m_workerExitEvent.set();
}

// ---- Framework callbacks ----

void QuarnController::OnAgentStarted() {
  static const char* const sig = "virtual void QuarnController::OnAgentStarted()";
  m_event.Debug(sig, "Agent has started");
  unsigned int sleepSeconds = 0;
  ZTPlatformInfo().getNumber("VirtualServer", "AgentInitSleepTime", &sleepSeconds);
  if (sleepSeconds != 0) {
    m_event.Debug(sig, "Sleeping for %d seconds", static_cast<int>(sleepSeconds));
    // In one-second slices on the platform clock, so that a quit is not held up by the sleep.
    ZtEvent sleeper(false);
    for (unsigned int i = 0; i < sleepSeconds && !CheckQuitFlag(); ++i) sleeper.wait(1000);
  }

  VirtualServer::VMAgentStartup startup;
  using S = VirtualServer::VMAgentStartup;
  startup.setint64(S::F_protocolVersion, GetProtocolVersion());
  FillLocalAgentProperties(startup);
  AddLocalIPAddressInfo(startup);
  AddLocalComputerInfo(startup);

  int streamLimit = 0;
  m_registry.GetEntry(REG_nStreamLimit, streamLimit, 0);
  if (streamLimit != 0) {
    startup.setint64(S::F_streamLimit, streamLimit);
    startup.setint64(S::F_streamLimitSource, 1);
  }

  int processes = 0, streams = 0, vms = 0;
  m_ipc.Check(processes, streams, vms);
  if (processes > 0 || streams > 0 || vms > 0) {
    m_event.Debug(sig, "Detected a that the other %d quarn processes already have %d streams running", processes,
                  streams);
    m_otherProcesses = processes;
    m_otherStreams = streams;
    m_otherVMs = vms;
  }

  startup.setstring(S::F_subclientDir, m_subclientFiles.subclientDir);
  startup.setint64(S::F_hostJobProcesses, m_otherProcesses.load());
  auto* status = startup.getObject<VirtualServer::VMAgentStatus>(S::F_agentStatus, true);
  if (status != nullptr) FillAgentStatus(*status);
  SendToCoordinator(startup);

  if (m_jobMgr != nullptr && m_jobMgr->isVMStubPhase()) {
    m_currentWorkers = 1;
    m_plannedWorkers = 1;
  }
  m_agentStarted = true;
}

void QuarnController::OnAgentStopped() {
  static const char* const sig = "virtual void QuarnController::OnAgentStopped()";
  m_event.Debug(sig, "Controller is stopping");
  SetQuitFlag();
  StopControllerThread();
  VirtualServer::VMAgentShutdown shutdown;
  shutdown.setint64(VirtualServer::VMAgentShutdown::F_failJob, m_failJob.load() ? 1 : 0);
  shutdown.setint64(VirtualServer::VMAgentShutdown::F_completedWithErrors, m_completedWithErrors.load() ? 1 : 0);
  SendToCoordinator(shutdown);
}

void QuarnController::AddLocalComputerInfo(VirtualServer::VMAgentStartup& startup) {
  using S = VirtualServer::VMAgentStartup;
  int64_t cpus = 0, memoryMB = 0, osFlag = 0;
  FillLocalComputerInfo(cpus, memoryMB, osFlag);
  startup.setint64(S::F_cpuCount, cpus);
  startup.setint64(S::F_memoryMB, memoryMB);
  startup.setint64(S::F_osFlag, osFlag);
}

void QuarnController::AddLocalIPAddressInfo(VirtualServer::VMAgentStartup& startup) {
  std::vector<std::pair<std::string, std::string>> addresses;
  FillLocalIPAddressInfo(addresses);
  CNMessageList& list = startup.getlistobject(VirtualServer::VMAgentStartup::F_addresses, true);
  for (const auto& address : addresses) {
    VirtualServer::VMAgentAddress entry;
    entry.setstring(VirtualServer::VMAgentAddress::F_ipAddress, address.first);
    entry.setstring(VirtualServer::VMAgentAddress::F_subnetMask, address.second);
    list.emplace_back(entry);
  }
}

// ---- Progress ----

bool QuarnController::MonitorProgress() {
  const time_t now = ZtClock::NowSeconds();
  if (now - m_lastProgressTime.load() < kProgressIntervalSeconds) return true;
  VirtualServer::VMBackupProgress progress;
  CNMessageList& list = progress.getlistobject(VirtualServer::VMBackupProgress::F_vmProgress, true);
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    for (const auto& entry : m_vmMap) {
      const vm_params& vm = entry.second;
      if (vm.vmPhase != PHASE_STARTED) continue;
      const int64_t percent = vm.progressPercent;
      if (percent <= 0) continue;
      VirtualServer::VMProgressPercent item;
      item.setstring(VirtualServer::VMProgressPercent::F_guid, vm.vmGuid);
      item.setint64(VirtualServer::VMProgressPercent::F_percentComplete, percent);
      list.emplace_back(item);
    }
  }
  if (!list.empty()) SendToCoordinator(progress);
  m_lastProgressTime = now;
  return true;
}
