#include "coordinator/QuarnCoordinator.h"

#include <new>

#include "app/QuarnUtils.h"
#include "coordinator/QuarnScaleAgentManager.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/jobclient/SubclientDir.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxPath.h"

namespace {

const char* const kSigInitialize = "virtual bool QuarnCoordinator::Initialize(vsJobMgr*, vsAppMgr*, QuarnController*)";
const char* const kSigJobRestarted = "bool QuarnCoordinator::JobRestarted()";
const char* const kSigInitVMList = "virtual bool QuarnCoordinator::InitVMList()";
const char* const kSigCarryForward = "bool QuarnCoordinator::GetCarryForwardVMList()";
const char* const kSigCheckVMQuitFlags = "void QuarnCoordinator::CheckVMQuitFlags()";
const char* const kSigInitBackupResults = "bool QuarnCoordinator::InitBackupResults()";
const char* const kSigWriteBackupDotOut = "void QuarnCoordinator::WriteBackupDotOut(const std::string&)";
const char* const kSigInitializeCluster = "bool QuarnCoordinator::InitializeCluster()";

// The pending cause and event of a subclient setting the job cannot run with: the setting's key and
// its value.
constexpr uint32_t kCauseUnusableSetting = 0x5B0001E8;
const char* const kBackupTypeKey = "backupType";

// Job-manager status of a VM whose stop was asked for, and of one that was stopped.
constexpr int kStatusStopRequested = 5;
constexpr int kStatusStopped = 6;

}  // namespace

QuarnCoordinator::QuarnCoordinator() { m_autoScaleStart.Now(); }

// The framework's agents and pool jobs use the coordinator's members: they must be gone first.
QuarnCoordinator::~QuarnCoordinator() { Deinitialize(); }

bool QuarnCoordinator::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController) {
  m_jobMgr = jobMgr;
  m_appMgr = appMgr;
  m_localController = localController;

  if (GetSubclientDirAndFiles(m_appMgr->getKeyrealmId(), m_appMgr->getAppId(), &m_subclientFiles,
                              m_jobMgr->getBkpLevel(), nullptr) == -1) {
    m_event.Error(kSigInitialize, "Failed to get the location of the subclient directory");
    return false;
  }
  m_subclientDir = m_subclientFiles.files[0];
  if (m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode()) {
    m_subclientDir = CPxPath::Append(m_subclientDir, "SNAP", false);
    if (!CPxDirectory::Exists(m_subclientDir)) {
      CPxError error = CPxDirectory::Create(m_subclientDir, true);
      if (error.IsError()) {
        m_event.Error(kSigInitialize, "CreateDirectory failed for [%s] Err=0x%x", m_subclientDir.c_str(),
                      static_cast<unsigned>(-error.GetErrorCode()));
        return false;
      }
    }
  }

  m_indexClient = new (std::nothrow) vsIndexClient(m_jobMgr, m_appMgr, m_jobMgr->getMediaAgent());
  bool fixedLengthNames = true;
  m_registry.GetEntry(REG_useFixedLengthExtentNames, fixedLengthNames, true);
  m_indexClient->SetUseFixedLengthExtentNames(fixedLengthNames);

  {
    ZtCriticalSectionLock lock(&m_collectFileLock);
    m_collectFilePath = GetDiscoveryCollectFilePath();
  }
  m_event.Debug(kSigInitialize, "vm collect file = [%s]", m_collectFilePath.c_str());

  m_registry.GetEntry(REG_nGetNextVMMethod, m_getNextVMMethod, 1u);
  m_registry.GetEntry(REG_nVolumeActivityLimit, m_volumeActivityLimit, 0u);
  if (m_volumeActivityLimit != 0) m_staticVMAssignment = false;
  m_registry.GetEntry(REG_bStaticVMAssignmentAllowed, m_staticVMAssignment, m_staticVMAssignment);
  m_registry.GetEntry(REG_bDynamicVMAssignmentAllowed, m_dynamicVMAssignment, true);
  if (!m_staticVMAssignment && !m_dynamicVMAssignment) {
    m_event.Error(kSigInitialize, "Static and dynamic VM assignment are both disabled");
    return false;
  }
  if (!m_staticVMAssignment) m_event.Debug(kSigInitialize, "Static VM assignment is disabled");
  if (!m_dynamicVMAssignment) m_event.Debug(kSigInitialize, "Dynamic VM assignment is disabled");

  m_registry.GetEntry(REG_bEnableRestartAgents, m_restartAgents, true);
  m_registry.GetEntry(REG_nRestartAgentInterval, m_restartInterval, 120u);
  m_registry.GetEntry(REG_nRebalanceInterval, m_rebalanceInterval, 60u);

  if (m_jobMgr->isSnapCatalogMode() && !m_jobMgr->isCollectMetadataEnabled()) {
    m_event.Error(kSigInitialize, "As per job option, no metadata collection will be done for this job");
    return true;
  }

  if (!InitBackupResults() || !InitVMList()) return false;

  if (IsCopyParentSnapIndexOnlyJob()) {
    m_event.Debug(kSigInitialize, "This is a Copy-Parent-Index job.");
    return InitIndex();
  }
  if (m_jobMgr->isCommitPhase()) {
    m_event.Debug(kSigInitialize,
                  "This is the Commit phase of the job, Skipping initialization of Streams, Agents and Index.");
    return true;
  }
  if (!CheckBackupType() || !InitStreams() || !InitAgents()) return false;
  if (m_jobMgr->isVMContentIndexMode()) return true;
  return InitIndex();
}

bool QuarnCoordinator::CheckBackupType() {
  if (m_appMgr->isDiskLevelBackup() || m_appMgr->isVolumeLevelBackup()) return true;
  // Every agent would refuse the job's VMs and say why in its own log alone: the job waits instead,
  // before any agent starts, naming the setting to change.
  std::string value;
  m_appMgr->GetSetting(kBackupTypeKey, value);
  m_event.Error(kSigInitialize, "The subclient's backup type [%s] is neither disk nor volume: no VM can be backed up",
                value.c_str());
  m_jobMgr->addPendingCauseArgument(std::string(kBackupTypeKey));
  m_jobMgr->addPendingCauseArgument(value);
  m_jobMgr->setPendingCauseAndEvent(kCauseUnusableSetting, EvEvent::kMajor);
  return false;
}

bool QuarnCoordinator::Deinitialize() {
  // Stop the framework first: its pool jobs (restarts) and the local agent's thread use our members.
  ZTRemoteAgentServer::Deinitialize();
  if (m_deinitialized) return true;
  m_deinitialized = true;
  {
    ZtCriticalSectionLock lock(&m_contentMapLock);
    delete m_contentMapTable;
    m_contentMapTable = nullptr;
  }
  delete m_vmGuidTable;
  m_vmGuidTable = nullptr;
  delete m_indexClient;
  m_indexClient = nullptr;
  if (m_results != nullptr) m_results->closeFile();
  delete m_results;
  m_results = nullptr;
  delete m_scaleAgentManager;
  m_scaleAgentManager = nullptr;
  CleanupVMInfo();
  return true;
}

// ---- Quit flags ----

void QuarnCoordinator::SetQuitFlag() {
  if (m_scaleAgentManager != nullptr) m_scaleAgentManager->SetQuitFlag();
  ZTRemoteAgentServer::SetQuitFlag();
}

bool QuarnCoordinator::CheckQuitFlag() {
  if (ZTRemoteAgentServer::CheckQuitFlag()) return true;
  return m_jobMgr != nullptr && m_jobMgr->checkQuitFlag();
}

void QuarnCoordinator::CheckVMQuitFlags() {
  if (!m_jobMgr->checkVMQuitFlag()) return;
  std::vector<JobManager::VMUpdateInfo> records;
  if (!GetJobManagerVMList(records, kSigCheckVMQuitFlags, "Failed to get VM status from Job Manager.")) return;

  std::vector<JobManager::VMUpdateInfo> answer;
  for (JobManager::VMUpdateInfo& record : records) {
    if (record.getint64(JobManager::VMUpdateInfo::F_vmStatus) != kStatusStopRequested) continue;
    vm_params* vm = m_vmMap.Find(record.getstring(JobManager::VMUpdateInfo::F_recordGuid));
    if (vm == nullptr) continue;
    const char* name = vm->vmName.c_str();
    switch (vm->vmPhase) {
      case PHASE_NOT_STARTED:
      case PHASE_PENDING:
        m_event.Debug(kSigCheckVMQuitFlags, "VM [%s] has not started yet, moved to stopped", name);
        vm->vmPhase = PHASE_STOPPED;
        record.setint64(JobManager::VMUpdateInfo::F_vmStatus, kStatusStopped);
        answer.push_back(record);
        RemoveVMFromVMPriorityList(vm->vmGuid);
        break;
      case PHASE_STARTED: {
        m_event.Debug(kSigCheckVMQuitFlags, "VM [%s] has already started sending stop request", name);
        vm->vmPhase = PHASE_STOPPING;
        VirtualServer::VMBackupStopVM stop;
        stop.setstring(VirtualServer::VMBackupStopVM::F_vmName, vm->vmName);
        stop.setstring(VirtualServer::VMBackupStopVM::F_vmGuid, vm->vmGuid);
        stop.setint64(VirtualServer::VMBackupStopVM::F_vmClientId,
                      record.getint64(JobManager::VMUpdateInfo::F_clientId));
        stop.setint64(VirtualServer::VMBackupStopVM::F_vmJobId,
                      vm->collect.getint64(VirtualServer::VMCollect::F_vmJobId));
        SendMsgToAgent(vm->assignedAgent, stop);
        break;
      }
      case PHASE_DONE:
      case PHASE_DONE_WITH_ERRORS:
      case PHASE_PREVIOUS_ATTEMPT:
        m_event.Error(kSigCheckVMQuitFlags, "VM [%s] is already complete, and cannot be stopped", name);
        break;
      case PHASE_FAILED:
        m_event.Error(kSigCheckVMQuitFlags, "VM [%s] is already failed, and cannot be stopped", name);
        break;
      case PHASE_STOPPING:
        m_event.Debug(kSigCheckVMQuitFlags, "VM [%s] is still stopping", name);
        break;
      case PHASE_STOPPED:
        m_event.Error(kSigCheckVMQuitFlags, "VM [%s] is already stopped", name);
        break;
      case PHASE_SKIPPED:
        m_event.Error(kSigCheckVMQuitFlags, "VM [%s] is already skipped, and cannot be stopped", name);
        break;
      default:
        break;
    }
  }
  if (answer.empty()) return;
  CNMessageList list;
  for (const JobManager::VMUpdateInfo& record : answer) list.emplace_back(record);
  m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), list);
}

// ---- VM list ----

bool QuarnCoordinator::JobRestarted() {
  if (m_restartKnown) return m_jobRestarted;
  m_event.Error(kSigJobRestarted, "Checking for Job Restarted before VM list is initialized");
  std::string text;
  m_jobMgr->CheckForRestart(text);
  return !text.empty();
}

bool QuarnCoordinator::InitVMList() {
  if (ReadVMCollectFile() != 0) {
    m_event.Error(kSigInitVMList, "Error reading the VM Collect, the job will fail back to the discovery phase");
    m_jobMgr->setPendingCause(0x5B000082);
    m_setupFailed = true;
    return false;
  }
  if (m_jobMgr->isVMStubPhase()) {
    // The stub phase takes its VMs from the job manager, not from a restart check; whether the job was
    // restarted is settled here all the same, since later steps ask it.
    std::string restartText;
    m_jobMgr->CheckForRestart(restartText);
    m_jobRestarted = !restartText.empty();
    m_restartKnown = true;
    return UpdateJobManagerVMList_StubPhase();
  }

  std::string restartText;
  m_jobMgr->CheckForRestart(restartText);
  std::string options;
  size_t at = restartText.find("-o ");
  if (at != std::string::npos) options = restartText.substr(at + 3);

  bool fresh = (m_jobMgr->isSnapCatalogMode() && options.empty()) || m_jobMgr->isSnapBackup() ||
               (m_jobMgr->isVMContentIndexMode() && m_jobMgr->getBkpLevel() == 64);
  if (fresh) {
    m_restartKnown = true;
    m_jobRestarted = false;
  } else if (!UpdateJobManagerVMList_Restart()) {
    return false;
  }

  if (m_jobMgr->isSnapBackup()) {
    m_event.Debug(kSigInitVMList, "Resetting snap application size to 0 in job manager table");
    m_jobMgr->UpdateAppSize(0, 1, false);
  }
  if ((!JobRestarted() || m_jobMgr->isSnapBackup()) && !UpdateJobManagerVMList_Initial()) return false;

  if (m_jobMgr->isBackupFailedVMsOnly() || (m_jobMgr->isBackupSelectedVMsOnly() && m_jobMgr->getBkpLevel() != 1))
    return GetCarryForwardVMList();
  return true;
}

bool QuarnCoordinator::GetCarryForwardVMList() {
  if (m_appMgr->isUseIndexingV2Enabled()) return true;
  std::vector<std::string> names;
  if (!m_indexClient->InitLookup() || !m_indexClient->Lookup(names, false)) {
    m_event.Error(kSigCarryForward, "Failed to look up the VMs of the previous backup: %s",
                  m_indexClient->GetLastError().c_str());
    return false;
  }
  std::set<std::string> known;
  for (const auto& entry : m_vmMap) known.insert(entry.second.vmName);
  ZtCriticalSectionLock lock(&m_carryForwardLock);
  for (const std::string& name : names)
    if (known.count(name) == 0) m_carryForwardVMList.push_back(name);
  return true;
}

// ---- Result file ----

bool QuarnCoordinator::InitBackupResults() {
  m_results = new (std::nothrow) StoreResults(m_appMgr->getKeyrealmId(), m_jobMgr->getJobId(), true, nullptr);
  if (m_results == nullptr) {
    m_event.Error(kSigInitBackupResults, "Failed to create store results object for backup.out");
    return false;
  }
  if (m_results->openFile(1, true, false)) {
    m_event << static_cast<long long>(m_jobMgr->getJobId());
    m_event.MinorEvent(0x06000013);
    m_event.Error(kSigInitBackupResults, "failed to open store results for [%lld]",
                  static_cast<long long>(m_jobMgr->getJobId()));
    return false;
  }
  m_event.Debug(kSigInitBackupResults, "Backup.out file created");
  return true;
}

void QuarnCoordinator::WriteBackupDotOut(const std::string& line) {
  if (m_results == nullptr) {
    m_event.Error(kSigWriteBackupDotOut, "Cannot write to write backup.out file, store results is null");
    return;
  }
  if (m_results->putLine(line, true)) m_event.Error(kSigWriteBackupDotOut, "Failed to write backup.out file");
}

void QuarnCoordinator::WriteBackupDotOut(const std::string& vmName, const std::string& item,
                                         const std::string& reason, bool skipped, bool warning) {
  std::string line;
  QuarnUtils::FormatBackupDotOut(line, vmName, item, reason, skipped, warning);
  WriteBackupDotOut(line);
}

bool QuarnCoordinator::InitializeCluster() {
  if (m_vmInfo == nullptr || !m_vmInfoConnected) {
    m_event.Error(kSigInitializeCluster, "VMInfo Object is not available");
    return false;
  }
  MountCtx ctx;
  QuarnUtils::InitMountCtx(m_jobMgr, m_appMgr, &m_subclientFiles, &m_registry, &ctx);
  if (m_vmInfo->InitializeCluster(ctx) == 0) {
    m_event.Error(kSigInitializeCluster, "Failed to initialize cluster before start of backup job");
    return false;
  }
  return true;
}

std::string QuarnCoordinator::OwnClientName() const { return ZTPI_Focus::getFocusClientName(true); }

bool QuarnCoordinator::IsSnapJob() const { return m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode(); }
