// The set-up of a snapshot backup (quiesce the VMs and take one array snapshot of them all), its end
// (let the guests go and keep the snapshot's metadata files), the report of VMs that could not be
// snapshotted, and the VM-information library's snapshot callbacks.
#include <strings.h>

#include <cstdio>

#include "app/QuarnUtils.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/vminfo/IVMInfo.h"
#include "snap/QuarnSnapController.h"

namespace {

using U = JobManager::VMUpdateInfo;
using Collect = VirtualServer::VMCollect;

const char* const kSigInit = "bool QuarnSnapController::InitSnapBackup()";
const char* const kSigServerName = "bool QuarnSnapController::GetSvrNameFromVMList(std::string&)";
const char* const kSigDeletion = "bool QuarnSnapController::CheckVMListForDeletion()";
const char* const kSigMining = "bool QuarnSnapController::CheckForMiningErrors()";
const char* const kSigUpdateList = "void QuarnSnapController::UpdateVMList(const std::string&, bool)";
const char* const kSigFailure = "bool QuarnSnapController::HandleVMFailure()";
const char* const kSigPostBackup = "virtual bool QuarnSnapController::PostBackup()";
const char* const kSigCreate =
    "virtual void QuarnSnapController::OnVMInfoCallback_SnapshotCreate(SCallbackSnapshotOperationArgs*)";
const char* const kSigDelete =
    "virtual void QuarnSnapController::OnVMInfoCallback_SnapshotDelete(SCallbackSnapshotOperationArgs*)";

constexpr uint32_t kCauseNoMediaAgent = 0x5B000087;
constexpr int kErrorKeepsPendingCause = 33;
constexpr int kCredentialsMissing = 6;
constexpr int kInstanceTypeNoMountForMetadata1 = 102;
constexpr int kInstanceTypeNoMountForMetadata2 = 601;
constexpr uint32_t kNoMountPathBits = 0x04 | 0x40;
constexpr int kBackupMethodMounter = 1;
constexpr int kBackupMethodVStorage = 2;
constexpr int kStateStarted = 0;
constexpr int kStateDone = 100;
constexpr int kStatusFailed = 2;
constexpr int kJobStatusFailed = 1;
// The snapshot's post-snapshot failed: arguments the snapshot job and the reason.
constexpr uint32_t kCauseSnapshotNotFinished = 0x5B0001E4;

// The three ways a guest file system may fail to quiesce for the snapshot, and their job events.
struct QuiesceFailure {
  int status;
  uint32_t eventId;
};
constexpr QuiesceFailure kQuiesceFailures[] = {{2000, 0x5B00004B}, {2001, 0x5B00004C}, {2002, 0x5B00004D}};

std::string FormatTimeSpan(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  std::snprintf(text, sizeof(text), "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

}  // namespace

bool QuarnSnapController::GetSvrNameFromVMList(std::string& name) {
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    if (m_vmMap.empty()) {
      m_event.Error(kSigServerName, "VMList is empty");
      return false;
    }
    name.clear();
    for (const auto& entry : m_vmMap) {
      const std::string& server = entry.second.snapServerName;
      if (name.empty()) name = server;
      if (strcasecmp(server.c_str(), name.c_str()) != 0) {
        m_event.Error(kSigServerName, "VMS with different server name found in VM list");
        return false;
      }
    }
  }
  if (m_appMgr != nullptr && m_appMgr->isServerTypeMS()) name = ZTClient::getNetworkHostname(name);
  return true;
}

bool QuarnSnapController::EnsureVMInfo(const std::string& serverName) {
  auto_lock lock(&m_vmInfoLock);
  return m_vmInfo != nullptr || PrepareVMInfo(serverName);
}

bool QuarnSnapController::InitSnapBackup() {
  // 1. A snapshot is taken and kept through the media agent of this proxy.
  if ((ZTPlatformInfo().getZTPlatformType() & ZTPlatformInfo::kPlatformMediaAgent) == 0) {
    m_event.Error(kSigInit, "MA is not installed on the machine..Failure");
    m_jobMgr->setPendingCause(static_cast<int>(kCauseNoMediaAgent));
    m_failJob = true;
    return ReportSetupFailure("MA is not installed on the machine");
  }
  // 2.
  std::string serverName;
  if (!GetSvrNameFromVMList(serverName)) {
    m_event.Error(kSigInit, "Error getting server name from vm collect list");
    return ReportSetupFailure("The VMs of a storage snapshot job must all belong to one server");
  }
  // 3. The VM-information object is held from here to the end of the set-up.
  auto_lock vmInfoLock(&m_vmInfoLock);
  if (m_vmInfo == nullptr && !PrepareVMInfo(serverName))
    return ReportSetupFailure("Failed to connect to the server [" + serverName + "]");
  // 4.
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    if (m_vmMap.empty()) {
      m_event.Error(kSigInit, "This subclient does not have any content, failing job");
      return false;
    }
  }
  // 5.
  if (m_appMgr->isServerTypeMS() && m_jobMgr->isCollectMetadataEnabled()) {
    m_event.Debug(kSigInit,
                  "Disabling granular recovery option during snap backup. LVM processing will be done during "
                  "SnapCatalog phase of the backup process.");
    m_jobMgr->setMetatdataCollectionOption(0);
  }
  // 6.
  MountCtx& ctx = m_snapMountCtx;
  ctx = MountCtx();
  QuarnUtils::InitMountCtx(m_jobMgr, m_appMgr, &m_subclientFiles, &m_registry, &ctx);
  GetBasicVMList(&ctx.vmBasicInfos);
  // 7. A VM-centric engine snapshots each VM in its own worker.
  const auto instanceType = static_cast<VirtualServerInstanceType>(m_appMgr->getInstanceType());
  if (QuarnUtils::IsVMCentricSnapBackupSupported(instanceType, static_cast<unsigned long>(ctx.snapEngineId),
                                                 m_appMgr->isUseIndexingV2Enabled())) {
    if (m_jobMgr->isFailbackBackup()) SetLastSuccesfulSnapJobId(ctx);
    m_event.Debug(kSigInit, "This is VMCentric backup. No PreSnap required for VMS");
    // Each VM's snapshot is taken by its worker; the job's end still finishes them.
    m_postSnapOwed = true;
    return true;
  }
  // 8. A proxyless backup reads only what changed since the last snapshot.
  if (ctx.collectDiskBlockInfo) {
    if (m_appMgr->isServerTypeVMWare())
      m_event.Debug(kSigInit, "***This is ESX proxyless snap backup***");
    else
      ctx.collectDiskBlockInfo = false;
  }
  if (ctx.collectDiskBlockInfo && !m_jobMgr->isFullBkp() && !GetLastSuccesfulSnapJobIdInformation(ctx, std::string())) {
    m_event.Error(kSigInit, "Failed to get last successful backup information");
    return ReportSetupFailure("Failed to get the information of the last successful snapshot job");
  }
  // 9.
  ctx.physicalClientId = m_appMgr->getPhysicalClientId();
  ctx.snapEngineId = m_appMgr->getSnapEngineID();
  ctx.isSnapBackup = true;
  ctx.backupType = m_appMgr->getBackupType();
  ctx.vssCollectMetadata = false;
  ctx.truncateExchangeLog = m_appMgr->getTruncateExDbLogSet();
  ctx.truncateSqlLog = m_appMgr->getTruncateSqlLogSet();
  if (ctx.vmBasicInfos.size() == 1) {
    ctx.vmName = ctx.vmBasicInfos.front().vmName;
    ctx.vmGuid = ctx.vmBasicInfos.front().vmGuid;
  }
  m_event.Debug(kSigInit, "subclient Engine id:[%lu]", static_cast<unsigned long>(ctx.snapEngineId));
  ctx.backupMethod = m_appMgr->isVCBMounterBackupType()   ? kBackupMethodMounter
                     : m_appMgr->isVStorageBackupType() ? kBackupMethodVStorage
                                                        : 0;
  ctx.transportMode = m_appMgr->GetTransportMode();
  ctx.snapshotFolder = std::string(m_subclientFiles.subclientDir) + "/";
  // 10.
  PrepareForNewSnapBackupJob();
  // 11.
  QuarnUtils::AddDiskFilterToMountCtx(m_appMgr, &ctx);
  // 12.
  unsigned int crashConsistent = 0;
  ZTPlatformInfo().getNumber("VirtualServer", "nEnableSnapCrashConsistent", &crashConsistent);
  if (crashConsistent != 0) {
    ctx.crashConsistent = true;
    m_event.Debug(kSigInit, "***This is Crash consistent Snap Backup***");
  }
  // 13.
  bool singleProxy = false;
  m_registry.GetEntry(REG_bForceSingleProxyBackup, singleProxy, false);
  ctx.forceSingleProxy = singleProxy;
  // 14.
  if (!m_appMgr->GetAppAwareEnabled())
    ctx.vssCollectMetadata = m_appMgr->getVssCollectMetaData();
  else
    ctx.appAware = true;
  // 15.
  ctx.mountPath.clear();
  m_appMgr->getSnapMountPathForSnap(ctx.mountPath);
  ctx.snapControlHostId = m_appMgr->getSnapControlHostID();

  // 16. The guests are quiesced and the array snapshot taken. A pre-snapshot that fails part-way may
  // hold guests: from here on the post-snapshot is owed whatever happens.
  m_postSnapOwed = true;
  if (m_vmInfo->PreSnap(ctx) == 0) {
    m_event.Error(kSigInit, "PreSnap failed!!");
    m_preSnapFailed = true;
    const int code = m_vmInfo->GetErrorCode();
    EvMessageContainer message;
    CheckVMInfoError(m_vmInfo, ctx, m_setupFailureText, message, true, true);
    if (m_registry.CheckEntry(REG_bPendingOnHWSnapFailure, false))
      m_fatalVMError = true;
    else
      m_failJob = true;
    HandleVMFailure();
    if (code != kErrorKeepsPendingCause) m_jobMgr->resetPendingCause();
    return false;
  }
  // 17.
  CheckVMListForDeletion();
  if (CheckForMiningErrors()) {
    m_event.Debug(kSigInit, "Quiesce operation failed for some VM's");
    m_completedWithErrors = true;
  }
  // 18.
  UpdateVMJobProgress(75);
  m_jobMgr->updateProgressBar();
  m_appMgr->SetBackupLevel(m_jobMgr->getBkpLevel());
  // 19.
  bool noMountPath = false;
  const bool collectMetadata = m_jobMgr->isCollectMetadataEnabled();
  if (collectMetadata && m_appMgr->IsProxyServerDetailsSet()) {
    const int code = m_appMgr->querySnapFailoverESXHostsProperties(false);
    if (vsAppMgr::isRetCodeError(code)) {
      m_event.Error(kSigInit, "Querying Snap Failover Host Details failed (%d)", code);
      if (code == kCredentialsMissing) {
        m_event.Error(kSigInit, "Unable to get credentails for vCenter Instance");
        return ReportSetupFailure("Unable to get the credentials of the vCenter instance");
      }
    }
    ctx.mountPath.clear();
    m_appMgr->getSnapMountPathForSnap(ctx.mountPath);
    if (ctx.mountPath.empty()) {
      m_event.Error(kSigInit, "Failed to get snap Mount path. Metadata collection will not be performed");
      noMountPath = true;
    }
  }
  // 20.
  UpdateVMList(ctx.mountPath, noMountPath);
  // 21.
  m_metadataFiles.clear();
  if (m_vmInfo->GetSnapBackupInfo(ctx, m_metadataFiles, 0) == 0 || m_metadataFiles.empty()) {
    m_event.Error(kSigInit, "No snap metadata file found for this backup job");
    return ReportSetupFailure("No snapshot metadata file was found for this job");
  }
  for (const std::string& file : m_metadataFiles) m_event.Debug(kSigInit, "Metadata File name:[%s]", file.c_str());
  // 22. The snapshot is mounted now for the metadata collection of its VMs.
  if (m_jobMgr->isCollectMetadataEnabled() && instanceType != kInstanceTypeNoMountForMetadata1 &&
      instanceType != kInstanceTypeNoMountForMetadata2) {
    MountCtx mount = ctx;
    mount.snapBackupJobId = static_cast<uint64_t>(m_jobMgr->getJobId());
    if (m_vmInfo->MountSnap(mount) != 0) {
      m_snapMounted = true;
    } else {
      m_event.Error(kSigInit, "Mount Snap Failed.Metadata collection for this job will not performed");
      std::string text;
      EvMessageContainer message;
      CheckVMInfoError(m_vmInfo, ctx, text, message);
      m_jobMgr->setMetatdataCollectionOption(0);
      m_completedWithErrors = true;
    }
  }
  return true;
}

bool QuarnSnapController::CheckVMListForDeletion() {
  ZtCriticalSectionLock lock(&m_vmLock);
  for (const auto& entry : m_vmMap) {
    bool found = false;
    for (const SVolSnap& volume : m_snapMountCtx.snapVolumes) {
      for (const VMInfoStructs::SVMInfo& onIt : volume.datastore.vms)
        if (strcasecmp(onIt.guid.c_str(), entry.second.vmGuid.c_str()) == 0) found = true;
    }
    if (!found) m_event.Error(kSigDeletion, "VM[%s] not found on the snapshot.", entry.second.vmName.c_str());
  }
  return true;
}

bool QuarnSnapController::CheckForMiningErrors() {
  int sendEvents = 1;
  m_registry.GetEntry(REG_nSendVMQuiesceFailureEvents, sendEvents, 1);
  bool failed = false;
  ZtCriticalSectionLock lock(&m_vmLock);
  for (const auto& entry : m_snapMountCtx.vmInfoMap) {
    vm_params* vm = FindVM(entry.first);
    if (vm == nullptr) continue;
    for (const QuiesceFailure& kind : kQuiesceFailures) {
      if (entry.second.quiesceStatus != kind.status) continue;
      failed = true;
      m_event.Error(kSigMining, "Quiesce of VM [%s] failed (%d): %s", vm->vmName.c_str(), kind.status,
                    entry.second.quiesceErrorText.c_str());
      if (sendEvents != 0) {
        m_event << vm->vmName << static_cast<long long>(m_jobMgr->getJobId());
        m_event.MinorEvent(kind.eventId);
      }
      if (kind.status == kQuiesceFailures[0].status && vm->snapshotStatus == 0)
        vm->snapshotStatus = static_cast<uint32_t>(kind.status);
    }
  }
  return failed;
}

void QuarnSnapController::UpdateVMList(const std::string& mountPath, bool noMountPath) {
  const bool collectMetadata = m_jobMgr->isCollectMetadataEnabled();
  std::string server, host, text3, text4;
  if (collectMetadata) m_appMgr->getServerdetails(mountPath, server, host, text3, text4);
  const bool takeHost = collectMetadata && m_appMgr->getInstanceType() != kInstanceTypeNoMountForMetadata1;
  ZtCriticalSectionLock lock(&m_vmLock);
  for (const auto& entry : m_snapMountCtx.vmInfoMap) {
    vm_params* vm = FindVM(entry.first);
    if (vm == nullptr) {
      m_event.Error(kSigUpdateList, "VM [%s] was in the Snap but not in the VM list", entry.first.c_str());
      continue;
    }
    vm->vmInfo = entry.second;
    if (noMountPath) vm->snapshotStatus |= kNoMountPathBits;
    if (takeHost) {
      vm->snapServerName = server;
      vm->host = host;
      vm->snapText = text3;
      vm->text16 = text4;
    }
  }
}

bool QuarnSnapController::ReportSetupFailure(const std::string& reason) {
  if (m_setupFailureText.empty()) m_setupFailureText = reason;
  HandleVMFailure();
  return false;
}

bool QuarnSnapController::HandleVMFailure() {
  // Every VM of this agent gets its failure: a VM the snapshot did not even see would otherwise wait
  // for a result that never comes. The library's own error of a VM replaces the set-up's reason only
  // when the pre-snapshot itself failed, and not for the error whose pending cause stands for the
  // whole job.
  auto_lock vmInfoLock(&m_vmInfoLock);
  IVMInfo* vmInfo = m_vmInfo;
  const int code = vmInfo != nullptr ? vmInfo->GetErrorCode() : 0;
  const bool perVM = vmInfo != nullptr && m_preSnapFailed.load() && code != kErrorKeepsPendingCause;
  std::vector<vm_params> failed;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    for (auto& entry : m_vmMap) {
      vm_params& vm = entry.second;
      if (vm.vmPhase != PHASE_NOT_STARTED) continue;
      vm.vmPhase = PHASE_FAILED;
      vm.statusCode = kStatusFailed;
      vm.failureReason = m_setupFailureText;
      failed.push_back(vm);
    }
    m_vmQueue.clear();
  }
  for (vm_params& vm : failed) {
    if (perVM) {
      auto it = m_snapMountCtx.vmInfoMap.find(vm.vmGuid);
      const VMInfoStructs::SVMInfo* seen = it == m_snapMountCtx.vmInfoMap.end() ? nullptr : &it->second;
      vmInfo->SetVMSnapFailure(vm.vmGuid, seen != nullptr ? seen->quiesceStatus : 0,
                               seen != nullptr ? seen->quiesceErrorText : std::string());
      m_snapMountCtx.vmName = vm.vmName;
      std::string text;
      EvMessageContainer message;
      CheckVMInfoError(vmInfo, m_snapMountCtx, text, message, true, true);
      if (!text.empty()) vm.failureReason = text;
      m_snapMountCtx.vmName.clear();
      vmInfo->ResetFailure(0);
    }
    if (vm.failureReason.empty()) vm.failureReason = "The storage snapshot of the VM could not be taken";
    m_event.Error(kSigFailure, "VM [%s] failed: %s", vm.vmName.c_str(), vm.failureReason.c_str());
    ReportVMFailed(vm);
    ZtCriticalSectionLock lock(&m_vmLock);
    vm_params* kept = FindVM(vm.vmGuid);
    if (kept != nullptr) kept->failureReason = vm.failureReason;
  }
  m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  return true;
}

void QuarnSnapController::ReportVMFailed(const vm_params& vm) {
  m_jobMgr->setVMStatusVMName(vm.vmGuid, vm.vmName, vm.host);
  m_jobMgr->setVMStatusClientId(vm.vmGuid, vm.collect.getint64(Collect::F_vmClientId));
  m_jobMgr->setVMStatusState(vm.vmGuid, kJobStatusFailed, QuarnUtils::TruncateStatusText(vm.failureReason));
  using R = VirtualServer::VMBackupResult;
  R result;
  result.setstring(R::F_vmGuid, vm.vmGuid);
  result.setstring(R::F_vmName, vm.vmName);
  result.setstring(R::F_vmHost, vm.host);
  result.setstring(R::F_failureReason, vm.failureReason);
  result.setint64(R::F_statusCode, kStatusFailed);
  if (m_fatalVMError.load()) result.setint64(R::F_fatalError, 1);
  SendToCoordinator(result);
}

void QuarnSnapController::RaiseSnapshotCause(uint32_t id, const std::string& reason) {
  EvMessageContainer cause;
  cause.SetMessageID(id, true);
  cause << static_cast<long long>(m_jobMgr->getSnapBkpJobId() != 0 ? m_jobMgr->getSnapBkpJobId() : m_jobMgr->getJobId())
        << reason;
  m_jobMgr->setPendingCauseAndEvent(cause, EvEvent::kMajor);
}

void QuarnSnapController::FailVMsOfUnusableSnapshot(const std::string& reason) {
  std::vector<vm_params> done;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    for (auto& entry : m_vmMap) {
      vm_params& vm = entry.second;
      if (vm.vmPhase != PHASE_DONE && vm.vmPhase != PHASE_DONE_WITH_ERRORS) continue;
      vm.vmPhase = PHASE_FAILED;
      vm.statusCode = kStatusFailed;
      vm.failureReason = reason;
      done.push_back(vm);
    }
  }
  for (const vm_params& vm : done) {
    m_event.Error(kSigFailure, "VM [%s] failed: %s", vm.vmName.c_str(), vm.failureReason.c_str());
    ReportVMFailed(vm);
  }
  if (!done.empty()) m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
}

bool QuarnSnapController::RunPostSnap() {
  auto_lock lock(&m_vmInfoLock);
  if (m_vmInfo->PostSnap(m_snapMountCtx) == 1) {
    m_postSnapOwed = false;
    return true;
  }
  m_event.Error(kSigPostBackup, "PostSnap operation has failed. Failing entire job");
  m_failJob = true;
  if (!m_jobMgr->isSnapBackup()) return false;
  // A snapshot the post-snapshot could not finish is no backup: the job and every VM on it say why.
  std::string text;
  EvMessageContainer message;
  CheckVMInfoError(m_vmInfo, m_snapMountCtx, text, message, true, true);
  if (text.empty()) text = "the post-snapshot failed";
  const std::string reason = "The storage snapshot of the job could not be finished: " + text;
  if (message.GetMessageID() == 0) RaiseSnapshotCause(kCauseSnapshotNotFinished, reason);
  FailVMsOfUnusableSnapshot(reason);
  return false;
}

bool QuarnSnapController::PostBackup() {
  if (m_jobMgr == nullptr || m_appMgr == nullptr) return true;
  const bool snapBackup = m_jobMgr->isSnapBackup();
  // In a snapshot backup the post-snapshot is owed once a pre-snapshot was asked for or a VM-centric
  // set-up succeeded; a set-up that failed before either (it said why) has nothing to let go or keep.
  const bool postSnapOwed = !snapBackup || m_postSnapOwed.load();
  // 1. A quit skips the metadata steps, never the release of guests that may be held quiesced.
  if (m_jobMgr->checkQuitFlag()) {
    m_event.Debug(kSigPostBackup, "Stop PostBackup. Quit flag set");
    if (snapBackup && postSnapOwed) {
      std::string serverName;
      GetSvrNameFromVMList(serverName);
      if (EnsureVMInfo(serverName)) RunPostSnap();
    }
    return true;
  }
  // 2.
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    if ((m_jobMgr->isSnapToTape() && !m_appMgr->isServerTypeVMWare()) || m_vmMap.empty()) return true;
  }
  if (!postSnapOwed) return true;
  // 3.
  std::string serverName;
  if (!GetSvrNameFromVMList(serverName)) {
    m_event.Error(kSigPostBackup, "Error getting server name from vm collect list");
    return false;
  }
  // 4. The guests are released all the same: only the metadata steps wait for the job's next attempt.
  const bool amazonPending = m_fatalVMError.load() && m_registry.CheckEntry(REG_bPendingOnHWSnapFailure, false) &&
                             m_appMgr->isServerTypeAmazon();
  // 5.
  if (!EnsureVMInfo(serverName)) return false;
  // 6.
  if (!RunPostSnap()) return false;
  // A set-up that failed after its pre-snapshot was asked for failed every VM: the snapshot, whole or
  // not, is kept by no metadata.
  if (snapBackup && m_setupState.load() != kSetupSucceeded) return true;
  if (amazonPending) {
    m_event.Debug(kSigPostBackup, "Skipping PostBackup operations for Amazon to take the job to pending state");
    return true;
  }
  // 7.
  m_metadataFiles.clear();
  int listed = 0;
  {
    auto_lock lock(&m_vmInfoLock);
    listed = m_vmInfo->GetSnapBackupInfo(m_snapMountCtx, m_metadataFiles, 0);
  }
  if (listed != 0 && !m_metadataFiles.empty()) {
    for (const std::string& file : m_metadataFiles)
      m_event.Debug(kSigPostBackup, "Metadata File name:[%s]", file.c_str());
    if (!UploadBackupMetadataFiles()) {
      m_event.Error(kSigPostBackup, "Failed to upload metadata files");
      return false;
    }
    if (snapBackup) CommitAppSize();
    return true;
  }
  // 8. A copy with the second indexing generation keeps nothing of its own: no file is no failure.
  const bool noneNeeded = m_jobMgr->isSnapToTape() && m_appMgr->isUseIndexingV2Enabled();
  const char* const none =
      "Failed to get BackupCatalogXML metadata file or No snap metadata file found for this backup job";
  if (noneNeeded)
    m_event.Debug(kSigPostBackup, "%s", none);
  else
    m_event.Error(kSigPostBackup, "%s", none);
  return noneNeeded;
}

void QuarnSnapController::OnVMInfoCallback_UpdateProgress(SCallbackUpdateProgressBarArgs*) {
  if (m_jobMgr == nullptr || m_appMgr == nullptr) return;
  m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  m_jobMgr->updateProgressBar();
}

void QuarnSnapController::OnVMInfoCallback_SnapshotCreate(SCallbackSnapshotOperationArgs* args) {
  if (args == nullptr || m_jobMgr == nullptr || m_appMgr == nullptr) return;
  ZtCriticalSectionLock lock(&m_vmLock);
  vm_params* found = FindVM(args->vmGuid);
  if (found == nullptr) {
    m_event.Error(kSigCreate, "VM [%s] [%s] is not one of this agent's VMs", args->vmName.c_str(), args->vmGuid.c_str());
    return;
  }
  vm_params& vm = *found;
  if (args->state == kStateStarted) {
    m_event.Debug(kSigCreate, "Creating snapshot for VM [%s] [%s]", args->vmName.c_str(), args->vmGuid.c_str());
    QuarnUtils::FillVMUpdateInfoForStartedVM(vm.updateInfo, m_jobMgr, m_appMgr, vm.vmName, vm.vmGuid,
                                             static_cast<int>(vm.collect.getint64(Collect::F_vmClientId)),
                                             vm.collect.getint64(Collect::F_vmJobId));
    vm.updateInfo.setint64(U::F_progressPercent, 20);
  } else if (args->state == kStateDone) {
    const std::string duration = FormatTimeSpan(args->value1);
    m_event.Debug(kSigCreate, "Created snapshot for VM [%s] [%s] Duration [%s]", args->vmName.c_str(),
                  args->vmGuid.c_str(), duration.c_str());
    vm.updateInfo.setint64(U::F_progressPercent, 40);
    vm.updateInfo.setint64(U::F_snapCreateDuration, args->value1);
  }
  SendVMUpdate(vm);
}

void QuarnSnapController::OnVMInfoCallback_SnapshotDelete(SCallbackSnapshotOperationArgs* args) {
  if (args == nullptr || m_jobMgr == nullptr || m_appMgr == nullptr) return;
  ZtCriticalSectionLock lock(&m_vmLock);
  vm_params* found = FindVM(args->vmGuid);
  if (found == nullptr) {
    m_event.Error(kSigDelete, "VM [%s] [%s] is not one of this agent's VMs", args->vmName.c_str(), args->vmGuid.c_str());
    return;
  }
  vm_params& vm = *found;
  if (args->state == kStateStarted) {
    m_event.Debug(kSigDelete, "Deleting snapshot for VM [%s] [%s]", args->vmName.c_str(), args->vmGuid.c_str());
    vm.updateInfo.setint64(U::F_progressPercent, 50);
  } else if (args->state == kStateDone) {
    const std::string duration = FormatTimeSpan(args->value1);
    m_event.Debug(kSigDelete, "Deleted snapshot for VM [%s] [%s] Duration [%s]", args->vmName.c_str(),
                  args->vmGuid.c_str(), duration.c_str());
    vm.updateInfo.setint64(U::F_progressPercent, 75);
    vm.updateInfo.setint64(U::F_snapDeleteDuration, args->value1);
    vm.updateInfo.setint64(U::F_snapDeleteValue, args->value2);
  }
  SendVMUpdate(vm);
}
