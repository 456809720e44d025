// Mount and unmount of a VM: its mount context, the mount through the VM-information object, and
// after the backup the unmount with what the mount left behind: the clean-up string, the datastores,
// and the failures gathered for the VM's items, which become result lines and job events.
#include <new>

#include "app/QuarnUtils.h"
#include "controller/QuarnController.h"
#include "disklayout/QuarnChangeIdFile.h"
#include "platform/os/CPxDirectory.h"
#include "platform/vminfo/IVMInfo.h"
#include "worker/QuarnWorker.h"

namespace {

using Collect = VirtualServer::VMCollect;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

constexpr int kResultInputMissing = 10;
constexpr int kResultNoVMInfo = 16;
constexpr int kResultNoMountContext = 4;
constexpr int kResultSnapMetadata = 1;
constexpr int kResultSnapArchiveFile = 146;
constexpr int kResultEmptyName = 98;
constexpr int kResultBadGuid = 99;
constexpr int kFullBackup = 1;
constexpr int kIncrementalBackup = 2;
constexpr int kDiskAccessMounter = 1;
constexpr int kDiskAccessVStorage = 2;

constexpr uint32_t kEventErrors = 0x5B000036;
constexpr uint32_t kEventErrorsWithText = 0x5B000106;
constexpr uint32_t kEventWarnings = 0x5B0001CF;
constexpr uint32_t kEventWarningsWithText = 0x5B0001D0;

// A GUID becomes one component of the mount path: "(<guid>)". One that holds a separator or a
// control character, or is a relative step, would put the folder that unmount removes elsewhere.
bool IsUsableAsName(const std::string& guid) {
  if (guid == "." || guid == "..") return false;
  for (unsigned char c : guid) {
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// "; " between entries; "<item>-" before the text when there is an item.
void AppendFailure(std::string& text, const SFailure& failure) {
  if (!text.empty()) text += "; ";
  if (!failure.itemName.empty()) text += failure.itemName + "-";
  text += failure.errorText;
}

}  // namespace

int QuarnWorker::prepareMountPathDirectory(const std::string& vmName, const std::string& vmGuid,
                                           std::string& mountPath) {
  static const char* const sig = "int QuarnWorker::prepareMountPathDirectory(const std::string&, const std::string&, "
                                 "std::string&)";
  const int invalid = vmGuid.empty() || !IsUsableAsName(vmGuid) ? kResultBadGuid : vmName.empty() ? kResultEmptyName : 0;
  if (invalid != 0) {
    m_event.Error(sig, "Invalid Argument vmName[%s] vmGuid[%s]", vmName.c_str(), vmGuid.c_str());
    return invalid;
  }
  std::string path;
  m_registry.GetEntry(REG_dVMSnapMountPath, path, "");
  if (path.empty()) path = GetSubclientDirectory();
  if (path.empty() || path.back() != '/') path += "/";
  mountPath = path + "(" + vmGuid + ")";
  return 0;
}

void QuarnWorker::InitMountCtxForVM(vsJobMgr* jobMgr, vsAppMgr* appMgr, subclientFiles* files,
                                    QuarnRegistry* registry, MountCtx* ctx) {
  static const char* const sig =
      "virtual void QuarnWorker::InitMountCtxForVM(vsJobMgr*, vsAppMgr*, subclientFiles*, QuarnRegistry*, MountCtx*)";
  if (ctx == nullptr || registry == nullptr) return;
  QuarnUtils::InitMountCtx(jobMgr, appMgr, files, registry, ctx);
  const bool current = ctx->quiesceFileSystem;
  bool quiesce = current;
  registry->GetEntry(REG_bFSQuiescedSnap, quiesce, current);
  if (quiesce != current)
    m_event.Debug(sig, "Switching the Quiesce file system setting from [%d] to [%d]", current ? 1 : 0, quiesce ? 1 : 0);
  ctx->quiesceFileSystem = quiesce;
}

bool QuarnWorker::DownloadSnapMetadataFiles(const std::string& cachePath, long long jobId) {
  static const char* const sig = "bool QuarnWorker::DownloadSnapMetadataFiles(const std::string&, long long int)";
  CPxError error = CPxDirectory::Create(cachePath, true);
  if (error.IsError()) {
    m_event.Error(sig, "Failed to create metadata cache path %s, %s", cachePath.c_str(), error.AsString().c_str());
    return false;
  }
  if (m_currentVM == nullptr || m_controller == nullptr ||
      !m_controller->DownloadVMMetaDataFiles(m_currentVM->vmGuid, cachePath, jobId,
                                             m_currentVM->collect.getstring(Collect::F_subclientGuid))) {
    m_event.Error(sig, "Failed to download metadata files for VM [%s]",
                  m_currentVM != nullptr ? m_currentVM->vmName.c_str() : "");
    return false;
  }
  return true;
}

int QuarnWorker::CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& reason, EvMessageContainer& message) {
  return m_controller->CheckVMInfoError(vmInfo, ctx, reason, message);
}

int QuarnWorker::CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& reason, EvMessageContainer& message,
                                  bool sendEvents, bool singleVM) {
  return m_controller->CheckVMInfoError(vmInfo, ctx, reason, message, sendEvents, singleVM);
}

int QuarnWorker::CheckJyNTFSError(CArchiveVirtualDiskFile* disk, const CPxError& error, IVMInfo* vmInfo,
                                  MountCtx& ctx, std::string& reason, EvMessageContainer& message) {
  return m_controller->CheckJyNTFSError(disk, error, vmInfo, ctx, reason, message);
}

int QuarnWorker::MountVM() {
  static const char* const sig = "virtual int QuarnWorker::MountVM()";
  AutoStopWatch watch(m_mountTimer);
  if (m_currentVM == nullptr || m_currentArgs == nullptr || m_jobMgr == nullptr || m_appMgr == nullptr ||
      m_controller == nullptr)
    return kResultInputMissing;
  vm_params& vm = *m_currentVM;
  quarnBackupArgs& args = *m_currentArgs;

  // 1.
  std::string mountPath;
  if (int result = prepareMountPathDirectory(vm.vmName, args.mVMGuidForFiles, mountPath)) return result;
  // 2.
  delete m_mountCtx;
  m_mountCtx = new (std::nothrow) MountCtx();
  if (m_mountCtx == nullptr) {
    m_event.Error(sig, "Failed to create Mount Context for VM [%s]", vm.vmName.c_str());
    return kResultNoMountContext;
  }
  MountCtx& ctx = *m_mountCtx;
  // 3.
  InitMountCtxForVM(m_jobMgr, m_appMgr, &m_subclientFiles, &m_registry, &ctx);
  // 4.
  if (m_appMgr->GetAppAwareEnabled()) ctx.appAware = true;
  // The VM's own level; the job's stays in backupLevel. The mount may raise it to full.
  ctx.vmBackupLevel = args.mBackupLevel == kFullBackup ? kFullBackup : kIncrementalBackup;
  ctx.mountType = m_config != nullptr ? m_config->getMountType() : 0;
  ctx.vmName = vm.vmName;
  ctx.vmGuid = vm.vmGuid;
  ctx.vmInfo = vm.vmInfo;
  ctx.mountPath = mountPath;
  // 5.
  const bool indexingV2 = m_appMgr->isUseIndexingV2Enabled();
  if (indexingV2) {
    ctx.childJobId = static_cast<uint64_t>(vm.collect.getint64(Collect::F_vmJobId));
    ctx.subclientId = vm.collect.getint64(Collect::F_subclientId);
    ctx.indexString = vm.collect.getstring(Collect::F_subclientGuid);
    if ((m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode()) && !CreateVMArchiveFileForSnap())
      return kResultSnapArchiveFile;
  }
  // 6.
  if (m_jobMgr->isFailbackBackup()) {
    ctx.failback = 1;
    if (m_replicationInfo != nullptr) {
      ctx.backupName = m_replicationInfo->getstring(App::VSAReplicationInfo::F_mountBackupName);
      ctx.displayName = m_replicationInfo->getstring(App::VSAReplicationInfo::F_sourceVMName);
    }
  } else {
    ctx.displayName = vm.vmName;
    ctx.backupName = vm.vmGuid;
  }
  // 7. The server is the one the connection used; the VM's host goes with it.
  m_controller->GetBasicVMList(&ctx.vmBasicInfos);
  ctx.hostCredentials.text1 = m_connectedServer;
  ctx.hostCredentials.proxyHost = vm.host;
  ctx.vmExtraText = vm.host;
  ctx.backupMethod = m_appMgr->isVCBMounterBackupType()   ? kDiskAccessMounter
                     : m_appMgr->isVStorageBackupType() ? kDiskAccessVStorage
                                                        : 0;
  ctx.transportMode = static_cast<int32_t>(QuarnUtils::GetTransportMode(m_appMgr->GetTransportMode()));
  // 8.
  if (m_jobMgr->isTurboEnabled())
    m_event.Error(sig, "Not processing disk filters as this is a Turbo subclient.");
  else
    QuarnUtils::AddDiskFilterToMountCtx(m_appMgr, &ctx);
  // 9. The change id of the last backup, unless change ids are not used.
  int ignoreSetting = 0;
  m_registry.GetEntry(REG_nIgnoreChangeId, ignoreSetting, 0);
  const bool ignoreChangeId = ignoreSetting != 0 || !m_appMgr->isUseCBTEnabled();
  if (!ignoreChangeId) {
    delete args.mChangeIdFile;
    args.mChangeIdFile = new QuarnChangeIdFile(this);
    if (!indexingV2) {
      if (!(m_appMgr->isServerTypeVMWare() && m_jobMgr->isSnapBackup()))
        args.mChangeIdFile->ReadChangeID(vm.vmGuid, std::string(), ctx.previousChangeId);
    } else if (!IsFullBackupForVM()) {
      const VSMeta* part = m_vmIdxMetadata.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
      if (part != nullptr && !part->getstring(VSMeta::F_changeId).empty())
        ctx.previousChangeId = part->getstring(VSMeta::F_changeId);
    }
  }
  // 10. A backup copy of a snapshot reads the snapshot's metadata from the cache.
  if (m_jobMgr->isSnapToTape() && indexingV2) {
    const std::string cache = mountPath + "_SnapMetaCache";
    const long long snapJobId = vm.collect.getint64(Collect::F_snapJobId);
    if (!DownloadSnapMetadataFiles(cache, snapJobId)) {
      m_event.Error(sig, "Failed to download snap metadata files from remote cache for VM [%s]", vm.vmName.c_str());
      return kResultSnapMetadata;
    }
    ctx.snapMetadataCacheDir = cache;
    ctx.snapBackupJobId = static_cast<uint64_t>(snapJobId);
    ctx.lastSuccessfulSnapJobId = snapJobId;
  }
  // 11. A failback snapshot backup fetches the parent job's metadata when there is a VM job for it;
  // without one the VM is still mounted (leaving unmounted a VM whose road goes on would back up
  // nothing and report it backed up).
  if (m_jobMgr->isSnapBackup() && m_jobMgr->isFailbackBackup() && indexingV2) {
    int64_t jobId = 0;
    if (m_appMgr->GetVMJobIdForParentJob(ctx.lastSuccessfulSnapJobId, vm.collect.getint64(Collect::F_subclientId),
                                         &jobId)) {
      if (!DownloadSnapMetadataFiles(ctx.subclientDir + "/" + vm.vmGuid, jobId)) {
        m_event.Error(sig, "Failed to download snap metadata files from remote cache for failback for VM [%s]",
                      vm.vmName.c_str());
        return kResultSnapMetadata;
      }
    } else {
      m_event.Debug(sig, "No VM job of parent job [%lld] for VM [%s]; mounting it without the parent's metadata",
                    static_cast<long long>(ctx.lastSuccessfulSnapJobId), vm.vmName.c_str());
    }
  }
  // 12.
  ctx.retainSnapshotSet = m_appMgr->IsRetainSnapSet();
  // 13.
  if (m_vmInfo == nullptr) {
    m_event.Error(sig, "VM [%s] cannot be mounted: there is no connection to the hypervisor", vm.vmName.c_str());
    return kResultNoVMInfo;
  }
  if (m_vmInfo->MountVM(ctx) == 0) return CheckVMInfoError(m_vmInfo, ctx, vm.failureReason, vm.failureEvent);
  if (!ctx.vmInfo.field02.empty()) m_vmInfo->UpdateVMInfoForIdentifier(ctx.vmInfo.field02, ctx.vmInfo);
  if (!ctx.cleanupString.empty()) SaveCleanupString(ctx.cleanupString);
  if (ctx.useCBT && ctx.referencePoint) args.mVMRefPoint = true;
  RegisterDatastores();
  return 0;
}

int QuarnWorker::UnmountVM() {
  static const char* const sig = "virtual int QuarnWorker::UnmountVM()";
  AutoStopWatch watch(m_unmountTimer);
  // 1.
  if (m_mountCtx == nullptr) return kResultInputMissing;
  MountCtx& ctx = *m_mountCtx;
  // 2.
  if (!ctx.snapMetadataCacheDir.empty()) CPxDirectory::Remove(ctx.snapMetadataCacheDir, true, false);
  // 3.
  if (m_vmInfo != nullptr) m_vmInfo->UnmountVM(ctx);
  // 4.
  if (m_currentArgs != nullptr) {
    delete m_currentArgs->mChangeIdFile;
    m_currentArgs->mChangeIdFile = nullptr;
  }
  // 5. The clean-up string stays with the job manager unless the unmount cleared it.
  if (!m_cleanupString.empty() && m_jobMgr != nullptr && m_appMgr != nullptr) {
    if (!ctx.cleanupString.empty()) {
      if (m_jobMgr->isJobCommitted()) {
        m_event.Debug(sig, "Leaving cleanup string [%s] with JobManager as job is committed", m_cleanupString.c_str());
      } else {
        m_event.Debug(sig, "Leaving Cleanup string [%s] with JobManager as the unmount did not clear the cleanup string",
                      m_cleanupString.c_str());
        bool warn = true;
        m_registry.GetEntry(REG_bWarnSnapshotRemovalFailures, warn, true);
        if ((m_appMgr->isServerTypeVMWare() || m_appMgr->isServerTypeAmazon()) && warn && m_vmInfo != nullptr) {
          std::string reason;
          EvMessageContainer message;
          CheckVMInfoError(m_vmInfo, ctx, reason, message, true, false);
        }
      }
    } else {
      RemoveCleanupString();
    }
  }
  // 6.
  UnregisterDatastores();
  // 7. What the backup of the VM's items found, as result lines and one text each of errors and
  // warnings; an entry without text still counts.
  if (m_currentVM == nullptr) return 0;
  vm_params& vm = *m_currentVM;
  int errors = 0, warnings = 0;
  std::string errorText, warningText;
  for (const SFailure& failure : ctx.failures) {
    m_event.Debug(sig, "Errors found during backup. Error String [%s]", failure.errorText.c_str());
    std::string line;
    QuarnUtils::FormatBackupDotOut(line, vm.vmName, failure.itemName, failure.errorText, false, failure.warning);
    vm.messages.push_back(line);
    if (!failure.errorText.empty()) AppendFailure(failure.warning ? warningText : errorText, failure);
    ++(failure.warning ? warnings : errors);
  }
  // 8.
  if (errors > 0) {
    vm.errorCount += errors;
    m_event << errors << ctx.displayName;
    if (errorText.empty()) {
      m_event.MinorEvent(kEventErrors);
    } else {
      m_event << errorText;
      m_event.MinorEvent(kEventErrorsWithText);
    }
  }
  // 9.
  if (warnings > 0) {
    m_event << warnings << ctx.displayName;
    if (warningText.empty()) {
      m_event.InfoEvent(kEventWarnings);
    } else {
      m_event << warningText;
      m_event.InfoEvent(kEventWarningsWithText);
    }
  }
  return 0;
}
