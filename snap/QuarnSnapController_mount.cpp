// The mount phase of backup copies and catalogues: each proxy mounts the earlier job's array snapshot
// once for all its VMs before any VM is processed, and lets it go at the end; the job's mount context
// of these modes; the mount method of VMware backup copies; the mount host's override.
#include "app/QuarnUtils.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/vminfo/IVMInfo.h"
#include "snap/QuarnSnapController.h"

namespace {

const char* const kSigOnMount = "virtual bool QuarnSnapController::OnMsgMountSnapInfo(VirtualServer::MountSnapInfo*)";
const char* const kSigMovingToTape = "virtual bool QuarnSnapController::InitMovingToTapePhase()";
const char* const kSigMount = "bool QuarnSnapController::MountSnap()";
const char* const kSigUnmount = "virtual bool QuarnSnapController::UnmountSnap()";
const char* const kSigSetMethod = "bool QuarnSnapController::_SetSnapMountMethod()";
const char* const kSigChangeMethod = "bool QuarnSnapController::ShouldChangeSnapMountMethod()";
const char* const kSigOverride = "bool QuarnSnapController::OverrideSnapMountHostIfNeeded(IVMInfo*, vsAppMgr*)";

constexpr uint32_t kCauseNoMediaAgent = 0x5B000087;
// The mount phase of a copy or catalogue failed: arguments the snapshot job and the reason.
constexpr uint32_t kCauseMountPhaseFailed = 0x5B0001E5;
// A mounted snapshot could not be unmounted: arguments the snapshot job, the proxy and the reason.
constexpr uint32_t kEventSnapshotLeftMounted = 0x5B0001E6;
constexpr uint32_t kMountMethodAny = 1;
constexpr uint32_t kMountMethodHost = 3;
constexpr int kTransportAuto = 0;
constexpr size_t kBannerCatalog = 1;
constexpr size_t kBannerBackupCopy = 2;
constexpr size_t kBannerSnapBackup = 0;

const std::string kBannerLine(64, '=');

}  // namespace

const char* const QuarnSnapController::snapMountBanner[3] = {
    "Mounting started for snap backup", "Mounting started for snap catalog", "Mounting started for snap to tape"};

bool QuarnSnapController::OnMsgMountSnapInfo(VirtualServer::MountSnapInfo* message) {
  using Info = VirtualServer::MountSnapInfo;
  if (m_jobMgr == nullptr || (!m_jobMgr->isSnapToTape() && !m_jobMgr->isSnapCatalogMode())) return true;
  const CNMessageList& entries = message->getlistobject(Info::F_vmMounts, false);
  if (entries.empty()) {
    m_event.Error(kSigOnMount, "Empty VM list found in MountSnap request");
    return false;
  }
  std::vector<VirtualServer::VMMountSnapInfo> mounts;
  for (const CNMessagePtr& entry : entries)
    if (entry && entry->getTagID() == VirtualServer::VMMountSnapInfo::TAG)
      mounts.push_back(static_cast<const VirtualServer::VMMountSnapInfo&>(*entry));
  SetVMSnapMountInfoList(mounts);
  if (!InitMovingToTapePhase()) {
    m_event.Error(kSigOnMount, "Failed to mount hardware snapshot for snap job [%llu]",
                  static_cast<unsigned long long>(message->getint64(Info::F_snapshotJobId)));
    return false;
  }
  return true;
}

bool QuarnSnapController::InitMovingToTapePhase() {
  // 1.
  if (m_jobMgr == nullptr || m_appMgr == nullptr) return false;
  const bool catalog = m_jobMgr->isSnapCatalogMode();
  const bool backupCopy = m_jobMgr->isSnapToTape();
  if (!catalog && !backupCopy) return true;
  // 2.
  m_event.Debug(kSigMovingToTape, IsCoordinator() ? "Mounting hardware snapshot on coordinator node"
                                                  : "Mounting hardware snapshot on controller node");
  // 3.
  if ((ZTPlatformInfo().getZTPlatformType() & ZTPlatformInfo::kPlatformMediaAgent) == 0) {
    m_event.Error(kSigMovingToTape, "MA is not installed on the machine..Failure");
    m_jobMgr->setPendingCause(static_cast<int>(kCauseNoMediaAgent));
    return false;
  }
  // 4.
  const size_t row = catalog ? kBannerCatalog : backupCopy ? kBannerBackupCopy : kBannerSnapBackup;
  m_event.Debug(kSigMovingToTape, "%s", kBannerLine.c_str());
  m_event.Debug(kSigMovingToTape, "================ %22s ================", snapMountBanner[row]);
  m_event.Debug(kSigMovingToTape, "%s", kBannerLine.c_str());
  // 5.
  if (m_jobMgr->getSnapBkpJobId() == 0) m_jobMgr->setSnapBkpJobId(m_jobMgr->getJobId());
  m_event.Debug(kSigMovingToTape, "Mounting phase started for snapJobId:[%lu]",
                static_cast<unsigned long>(m_jobMgr->getSnapBkpJobId()));
  // 6. The object is held from here to the end of the phase.
  auto_lock vmInfoLock(&m_vmInfoLock);
  if (m_vmInfo == nullptr && !PrepareVMInfo()) return FailMountPhase("Cannot connect to the hypervisor", false);
  // 7.
  OverrideSnapMountHostIfNeeded(m_vmInfo, m_appMgr);
  // 8.
  std::string mountPath;
  if (m_appMgr->getSnapMountPathForSnap(mountPath) == 0) {
    m_event.Error(kSigMovingToTape, "Failed to get snap Mount path. Moving to tape will not be performed.");
    return FailMountPhase("No mount path is set for the snapshot", false);
  }
  // 9.
  MountCtx& ctx = m_snapMountCtx;
  ctx = MountCtx();
  InitSnapMountCtx(m_jobMgr, m_appMgr, &m_subclientFiles, &m_registry, &ctx, IsCoordinator(), mountPath);
  // 10. A VM-centric engine mounts each VM in its worker.
  if (QuarnUtils::IsVMCentricSnapBackupSupported(static_cast<VirtualServerInstanceType>(m_appMgr->getInstanceType()),
                                                 static_cast<unsigned long>(ctx.snapEngineId),
                                                 m_appMgr->isUseIndexingV2Enabled())) {
    m_event.Debug(kSigMovingToTape, "This is VMCentric backup copy. No MountSnap required for VMS");
    return true;
  }
  // 11.
  m_event.Debug(kSigMovingToTape, "subclient Engine id:[%lu]", static_cast<unsigned long>(ctx.snapEngineId));
  if (m_jobMgr->checkQuitFlag()) {
    m_event.Error(kSigMovingToTape, "Stop InitMovingToTapePhase. Quit flag set");
    return false;
  }
  // 12. With indexing V2 the library finds the snapshot by its metadata file and the VMs it is given.
  if (m_appMgr->isUseIndexingV2Enabled()) {
    const long long snapJobId = m_jobMgr->getSnapBkpJobId();
    if (!DownloadSnapMetadataFiles(ctx, snapJobId, m_subclientFiles.subclientDir)) {
      m_event.Error(kSigMovingToTape, "Failed to download parent backup xml from remote file cache for job [%lu]",
                    static_cast<unsigned long>(snapJobId));
      return FailMountPhase("The metadata file of the snapshot (backup_" + std::to_string(snapJobId) +
                                ".xml) is not in the index cache",
                            false);
    }
    ctx.useIndexingV2 = true;
    ctx.statusFlag1 = true;
    std::vector<VirtualServer::VMMountSnapInfo> mounts;
    {
      ZtCriticalSectionLock lock(&m_snapMountLock);
      mounts = m_snapMounts;
    }
    for (const VirtualServer::VMMountSnapInfo& mount : mounts) {
      SVMSnapMount vm;
      vm.vmName = mount.getstring(VirtualServer::VMMountSnapInfo::F_vmName);
      vm.vmGuid = mount.getstring(VirtualServer::VMMountSnapInfo::F_guid);
      vm.archiveFileId = static_cast<uint32_t>(mount.getint64(VirtualServer::VMMountSnapInfo::F_snapArchiveFileId));
      m_event.Debug(kSigMovingToTape, "Adding VM [%s] Guid[%s] ArchFileId[%lu] to mount request list",
                    vm.vmName.c_str(), vm.vmGuid.c_str(), static_cast<unsigned long>(vm.archiveFileId));
      ctx.vmsToMount.push_back(vm);
    }
  }
  // 13.
  if (!MountSnap()) {
    m_event.Error(kSigMovingToTape, "MountSnap Failed for Moving to tape Phase.");
    return FailMountPhase(m_mountFailureText, m_mountFailureCauseSet);
  }
  // 14. The job's level and method follow the snapshot's.
  m_appMgr->SetBackupLevel(ctx.backupType);
  m_jobMgr->setBkpLevel(ctx.backupLevel);
  m_appMgr->SetBackupMethod(ctx.backupMethod);
  // 15.
  if (ctx.collectMetadata || catalog)
    m_event.Debug(kSigMovingToTape, "Metadata Collection is enabled for snap catalog phase");
  // 16.
  m_jobMgr->resetPendingCause();
  m_event.Debug(kSigMovingToTape, "Backup Type[%d],Backup Level:[%d],BackupMethod:[%d],TransportMode:[%d] for this job:",
                ctx.backupType, ctx.backupLevel, ctx.backupMethod, ctx.transportMode);
  return true;
}

uint32_t QuarnSnapController::InitSnapMountCtx(vsJobMgr* jobMgr, vsAppMgr* appMgr, subclientFiles* files,
                                               QuarnRegistry* registry, MountCtx* ctx, bool onCoordinator,
                                               const std::string& mountPath) {
  if (jobMgr == nullptr || appMgr == nullptr || ctx == nullptr) return 0;
  // The ids and names a mount context always has; the fields below are those of these modes.
  QuarnUtils::InitMountCtx(jobMgr, appMgr, files, registry, ctx);
  ctx->appId = static_cast<int32_t>(appMgr->getAppId());
  ctx->appTypeId = appMgr->getAppTypeId();
  ctx->keyrealmId = static_cast<int32_t>(appMgr->getKeyrealmId());
  ctx->clientId = appMgr->getClientId();
  ctx->physicalClientId = appMgr->getPhysicalClientId();
  ctx->instanceId = static_cast<int32_t>(appMgr->getInstanceId());
  ctx->snapEngineId = appMgr->getSnapEngineID();
  ctx->jobId = static_cast<uint64_t>(jobMgr->getJobId());
  if (files != nullptr)
    ctx->subclientDir.assign(files->subclientDir, strnlen(files->subclientDir, sizeof(files->subclientDir)));
  ctx->snapBackupJobId = static_cast<uint64_t>(jobMgr->getSnapBkpJobId());
  ctx->isSnapToTape = jobMgr->isSnapToTape();
  ctx->isSnapCatalog = jobMgr->isSnapCatalogMode();
  ctx->mediaAgentName = jobMgr->getMediaAgent();
  ctx->collectMetadata = jobMgr->isCollectMetadataEnabled();
  ctx->mountPath = mountPath;
  ctx->coordinatorNode = onCoordinator;
  ctx->useIndexingV2 = appMgr->isUseIndexingV2Enabled();
  ctx->transportMode = static_cast<int32_t>(QuarnUtils::GetTransportMode(appMgr->GetTransportMode()));
  if (QuarnUtils::IsVMCentricSnapBackupSupported(static_cast<VirtualServerInstanceType>(appMgr->getInstanceType()),
                                                 static_cast<unsigned long>(ctx->snapEngineId), ctx->useIndexingV2))
    ctx->vmCentricSnapBackup = true;
  ctx->snapMountMethod = static_cast<int32_t>(GetSnapMountMethod());
  return static_cast<uint32_t>(ctx->snapMountMethod);
}

bool QuarnSnapController::MountSnap() {
  GetBasicVMList(&m_snapMountCtx.vmBasicInfos);
  auto_lock lock(&m_vmInfoLock);
  if (m_vmInfo == nullptr || m_vmInfo->MountSnap(m_snapMountCtx) == 0) {
    std::string text;
    EvMessageContainer message;
    if (m_vmInfo != nullptr) CheckVMInfoError(m_vmInfo, m_snapMountCtx, text, message);
    // Without the coordinator's mount the job stops and goes pending before any VM starts: the
    // array's reason is the job's pending cause, or the job would wait without saying why.
    m_mountFailureCauseSet = IsCoordinator() && message.GetMessageID() != 0;
    if (m_mountFailureCauseSet) m_jobMgr->setPendingCause(message);
    m_mountFailureText = text.empty() ? "The array could not mount the snapshot" : text;
    m_event.Error(kSigMount, "The hardware snapshot of job [%llu] could not be mounted: %s",
                  static_cast<unsigned long long>(m_snapMountCtx.snapBackupJobId), text.c_str());
    return false;
  }
  m_snapMounted = true;
  return true;
}

std::string QuarnSnapController::GetMountPhaseFailure() { return m_mountPhaseFailure; }

bool QuarnSnapController::FailMountPhase(const std::string& reason, bool causeSet) {
  m_mountPhaseFailure = reason;
  m_event.Error(kSigMovingToTape, "The snapshot of job [%llu] cannot be used by this job: %s",
                static_cast<unsigned long long>(m_jobMgr->getSnapBkpJobId()), reason.c_str());
  if (IsCoordinator() && !causeSet) RaiseSnapshotCause(kCauseMountPhaseFailed, reason);
  return false;
}

bool QuarnSnapController::UnmountSnap() {
  if (!m_snapMounted.load()) return true;
  m_event.Debug(kSigUnmount, "Unmounting any hardware snap if mounted by during this job");
  auto_lock lock(&m_vmInfoLock);
  // A mounted snapshot is never reported unmounted without an unmount: without a connection one is
  // made for it.
  if (m_vmInfo == nullptr && !PrepareVMInfo()) {
    m_event.Error(kSigUnmount, "Cannot connect to unmount the hardware snapshot of job [%llu]; it stays mounted",
                  static_cast<unsigned long long>(m_snapMountCtx.snapBackupJobId));
    return false;
  }
  if (m_vmInfo->UnmountSnap(m_snapMountCtx) == 0) {
    std::string text;
    EvMessageContainer message;
    CheckVMInfoError(m_vmInfo, m_snapMountCtx, text, message);
    m_unmountFailureText = text.empty() ? "The array could not unmount the snapshot" : text;
    return false;
  }
  m_snapMounted = false;
  return true;
}

void QuarnSnapController::ReportSnapshotLeftMounted() {
  std::string reason;
  {
    auto_lock lock(&m_vmInfoLock);
    reason = m_unmountFailureText;
  }
  if (m_jobMgr == nullptr || m_leftMountedReported.exchange(true)) return;
  m_completedWithErrors = true;
  const long long snapJob = m_jobMgr->getSnapBkpJobId();
  const std::string client = ZTPI_Focus::getFocusClientName(true);
  m_event.Error(kSigUnmount, "The hardware snapshot of job [%lld] stays mounted on [%s]: %s", snapJob, client.c_str(),
                reason.c_str());
  m_event << snapJob << client << reason;
  m_event.MajorEvent(kEventSnapshotLeftMounted);
}

uint32_t QuarnSnapController::GetSnapMountMethod() {
  SetSnapMountMethod();
  return m_mountMethod.load();
}

bool QuarnSnapController::SetSnapMountMethod() {
  // Workers ask while they mount their VMs: the choice is made once, by the first to ask, and the
  // others wait for it.
  std::call_once(m_mountMethodOnce, [this] {
    _SetSnapMountMethod();
    m_mountMethodChosen = true;
  });
  return true;
}

bool QuarnSnapController::_SetSnapMountMethod() {
  // 1.
  if (m_jobMgr == nullptr || m_appMgr == nullptr || !m_jobMgr->isSnapToTape() || !m_appMgr->isServerTypeVMWare())
    return false;
  // 2.
  bool prefer = true;
  m_registry.GetEntry(REG_bPreferProxylessForBackupCopy, prefer, true);
  if (!prefer) return false;
  // 3.
  std::string restart;
  const bool restarted = m_jobMgr->CheckForRestart(restart) == 0 && !restart.empty();
  // 4.
  if (!restarted) {
    m_event.Debug(kSigSetMethod, "Setting mount to ANY because this is the first attempt of the job");
    m_mountMethod = kMountMethodAny;
    return true;
  }
  // 5.
  if (ShouldChangeSnapMountMethod()) {
    m_event.Debug(kSigSetMethod, "HOST method will be used for snap mount");
    m_mountMethod = kMountMethodHost;
    return true;
  }
  m_event.Debug(kSigSetMethod,
                "Proxyless mount was not used in the previous attempt. Snap mount method will not be changed");
  return false;
}

bool QuarnSnapController::ShouldChangeSnapMountMethod() {
  if (QuarnUtils::GetTransportMode(m_appMgr->GetTransportMode()) != kTransportAuto) {
    m_event.Debug(kSigChangeMethod, "Not changing snap mount method because subclient transport mode is not AUTO");
    return false;
  }
  CNMessageList records;
  if (vsJobMgr::isError(m_jobMgr->getVMBkpJobStatus(m_appMgr->getKeyrealmId(), records))) return false;
  std::vector<JobManager::VMUpdateInfo> list;
  for (const CNMessagePtr& record : records)
    if (record && record->getTagID() == JobManager::VMUpdateInfo::TAG)
      list.push_back(static_cast<const JobManager::VMUpdateInfo&>(*record));
  const bool change = QuarnUtils::ShouldTryDifferentMountMethod(list);
  if (change) m_event.Debug(kSigChangeMethod, "Snap mount method will be changed");
  return change;
}

bool QuarnSnapController::OverrideSnapMountHostIfNeeded(IVMInfo* vmInfo, vsAppMgr* appMgr) {
  if (vmInfo == nullptr) {
    m_event.Error(kSigOverride, "Invalid VMInfo");
    return false;
  }
  if (appMgr == nullptr) {
    m_event.Error(kSigOverride, "Invalid vsAppMgr");
    return false;
  }
  if (!appMgr->isServerTypeVMWare()) return false;
  bool useLocalHost = false;
  ZTPlatformInfo().getBoolean("VirtualServer", "useLocalHostAsESXProxy", &useLocalHost);
  if (!useLocalHost) return false;
  VMInfoStructs::SHostInfo host;
  if (vmInfo->GetLocalHostInfo(host) == 0) {
    m_event.Error(kSigOverride, "Unable to fetch local host information running this VSA");
    return false;
  }
  if (host.name.empty()) {
    m_event.Error(kSigOverride, "Unable to find the host running this VSA");
    return false;
  }
  m_event.Debug(kSigOverride,
                "This VSA is running on host: [%s]. Overriding ESX as additional setting [useLocalHostAsESXProxy] is "
                "present",
                host.name.c_str());
  appMgr->setSnapMountESXServer(host.name);
  return true;
}
