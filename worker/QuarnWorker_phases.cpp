// The VM's backup phases between its mount and the close of its archive file: pre-backup (the VM's
// backup objects and its mounted status), backup (configuration files, then disks and file
// collections), post-backup (the VM's incremental state and metadata files, failed and deleted
// items, the VM header record and its job status), and the records of a failed VM.
#include <strings.h>
#include <unistd.h>

#include "app/QuarnUtils.h"
#include "archiving/QuarnVMManagement.h"
#include "controller/QuarnController.h"
#include "disklayout/QuarnChangeIdFile.h"
#include "platform/archive/vsArchive.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/os/CAverageCounter.h"
#include "platform/vminfo/IVMInfo.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kResultFailed = 1;
constexpr int kResultInterrupted = 11;
constexpr int kResultNotSent = 31;
constexpr uint64_t kDeletedItemFlags = 0x20000000000ULL;
constexpr int kSnapshotQuiesceFailed = 2000;

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

int VMClientId(const vm_params* vm) {
  return vm != nullptr ? static_cast<int>(vm->collect.getint64(VirtualServer::VMCollect::F_vmClientId)) : 0;
}

}  // namespace

int QuarnWorker::PreBackupVM(quarnBackupArgs& args) {
  static const char* const sig = "virtual int QuarnWorker::PreBackupVM(quarnBackupArgs&)";
  if (m_currentVM == nullptr || m_mountCtx == nullptr || m_config == nullptr || m_jobMgr == nullptr) {
    m_event.Error(sig, "Invalid input");
    return 10;
  }
  vm_params& vm = *m_currentVM;
  bool optimization = false, identify = true;
  m_registry.GetEntry(REG_bEnableMetadataRestoreOptimization, optimization, false);
  if (optimization) {
    m_registry.GetEntry(REG_bIdentifyFSMetadataDuringBackup, identify, true);
    if (identify) args.mIdentifyFSMetadata = true;
  }
  if (m_config->getMountInfo(*m_mountCtx, m_vmInfo) != 0)
    return CheckVMInfoError(m_vmInfo, *m_mountCtx, vm.failureReason, vm.failureEvent);
  UpdateMaxNumStreamsForVM();
  if (m_jobMgr->isFailbackBackup() && !RenameDisksForFailback()) return kResultFailed;
  const uint64_t total = m_config->getTotalSize();
  FillVMUpdateInfoForMountedVM(vm.updateInfo, *m_mountCtx, VMClientId(&vm), static_cast<long long>(total));
  UpdateVMJobProgress(VM_PROGRESS_MOUNTED, 0, 0);
  SendVMUpdateInfo(false);
  // The VM's sector sizes are judged now, before any walk of its disks (later asks read the verdict).
  m_sectorSizeVerdict = -1;
  IsSectorSizeSupportedForLVM();
  if (!IsDelayedDiskAttach()) PreProcessExtentsForBackup(args);
  return 0;
}

bool QuarnWorker::RenameDisksForFailback() {
  static const char* const sig = "bool QuarnWorker::RenameDisksForFailback()";
  if (m_appMgr == nullptr || m_config == nullptr || m_currentVM == nullptr) return false;
  const auto sourceType = static_cast<VirtualServerInstanceType>(m_appMgr->getSourceInstanceTypeForFailback());
  const int type = m_appMgr->getInstanceType();
  const bool crossVendor = m_appMgr->getIsCrossVendorFailback() || type == kInstanceTypeAzure ||
                           type == kInstanceTypeAzureResourceManager || type == kInstanceTypeAzureStack ||
                           type == kInstanceTypeAmazon;
  // Every tracking record of the replication is offered: a replica's disks each have their own.
  static const CNMessageList kNoRecords;
  const CNMessageList& tracking = m_replicationInfo != nullptr
                                      ? m_replicationInfo->getlistobject(App::VSAReplicationInfo::F_trackingIds)
                                      : kNoRecords;
  const bool renamed =
      crossVendor ? m_config->ModifyDiskIndexPathsForCrossVendorFailback(m_prevIdxMetadata, tracking, sourceType)
                  : m_config->ModifyDiskIndexPathsForFailback(m_prevIdxMetadata, tracking, sourceType);
  if (renamed) return true;
  m_currentVM->failureReason = m_config->getFailbackError();
  m_event.Error(sig, "The disks of failback VM [%s] cannot be backed up as its source's: %s",
                m_currentVM->vmName.c_str(), m_currentVM->failureReason.c_str());
  return false;
}

int QuarnWorker::BackupVM(quarnBackupArgs& args) {
  static const char* const sig = "virtual int QuarnWorker::BackupVM(quarnBackupArgs&)";
  if (m_appMgr == nullptr || m_jobMgr == nullptr || m_config == nullptr || args.mArchive == nullptr) {
    m_event.Error(sig, "Invalid input");
    return 10;
  }
  if (m_appMgr->isFileLevelBackup()) return kResultFailed;
  m_config->resetGetNextBkpObj();
  m_config->getNextBkpObj(&args);
  int interval = 600;
  m_registry.GetEntry(REG_nBackupPerfCounterInterval, interval, 600);
  const long long jobId = m_jobMgr->getJobId();
  args.mArchive->ResetPerfCounters(jobId, interval);
  CMediaSpeedCounter speed;
  CAverageCounter average;
  InitPerfCounter(speed, interval, jobId, "read config files");
  InitPerfCounter(average, interval, jobId, "open config files");

  int objects = 0;
  for (; !args.mBackupPath.empty(); m_config->getNextBkpObj(&args)) {
    if (args.mObjectKind != 0) {
      ++objects;
      continue;
    }
    const int result = BackupVMConfigFile(&args, speed, average);
    if (m_jobMgr->checkQuitFlag()) return kResultInterrupted;
    if (result != 0) return result;
  }
  int result = BackupGeneralizedVMConfigFile(&args, speed, average);
  if (result != 0) return result;
  if (m_jobMgr->isSnapToTape()) BackupSnapBackupConfigFile(&args, speed, average);
  UpdateVMJobProgress(VM_PROGRESS_CONFIG_FILES, 100, 100);
  args.mArchive->sendVMConfigFilePerfCounters(args.mVMName, speed, average);
  args.mArchive->PrintPerfCounters();
  m_event.Debug(sig, "%s", speed.Print().c_str());
  m_event.Debug(sig, "%s", average.Print().c_str());

  result = BackupVMDisks(args, objects);
  if (result != 0) return result;
  UpdateVMJobProgress(VM_PROGRESS_DISKS, 100, 100);
  return 0;
}

int QuarnWorker::PostBackupVM(quarnBackupArgs& args) {
  static const char* const sig = "virtual int QuarnWorker::PostBackupVM(quarnBackupArgs&)";
  if (CheckQuitFlag(&args)) return kResultInterrupted;
  if (m_currentVM == nullptr || m_mountCtx == nullptr || m_vmInfo == nullptr || m_appMgr == nullptr ||
      m_jobMgr == nullptr || m_config == nullptr) {
    m_event.Error(sig, "Invalid input");
    return 10;
  }
  vm_params& vm = *m_currentVM;
  MountCtx& ctx = *m_mountCtx;
  int result = 0;
  const std::string previousChangeId = ctx.previousChangeId;
  if (m_vmInfo->PostBackupVM(ctx) == 0) {
    m_event.Error(sig, "Post backup of VM [%s] failed", args.mVMName.c_str());
    // The VM's backup is not closed on the hypervisor's side: that is the VM's result.
    result = CheckVMInfoError(m_vmInfo, ctx, vm.failureReason, vm.failureEvent);
    if (result == 0) result = kResultFailed;
    return result;
  }
  if (!m_appMgr->isUseIndexingV2Enabled()) {
    if (args.mChangeIdFile != nullptr && !ctx.previousChangeId.empty() && !SameText(ctx.previousChangeId, previousChangeId) &&
        !args.mChangeIdFile->WriteChangeID(args.mVMGuid, std::string(), ctx.previousChangeId, false))
      m_event.Error(sig, "Failed to write VM [%s] changeID file", args.mVMName.c_str());
    if (!m_jobMgr->isFailbackBackup()) {
      const std::string path = GetSubclientDirectory() + "/VolHdr(" + args.mVMGuidForFiles + ").imf";
      const int code = writeVMHeaderMetadataFile(ctx.vmInfo, path);
      if (code != 0) {
        m_event.Error(sig, "Backup of this VM cannot continue due to a failure saving the metadata");
        return code;
      }
      AddVMMetadataFile(path);
    }
  }
  std::string prefetch;
  if (m_config->GetLiveBrowsePrefetchXMLPath(ctx.vmGuid, prefetch) && !prefetch.empty() &&
      access(prefetch.c_str(), F_OK) == 0)
    AddVMMetadataFile(prefetch);

  // ", " between the mount's failures, "," before the VM's earlier result lines.
  std::string failureText;
  bool firstEntry = true;
  for (const SFailure& failure : ctx.failures) {
    SendFailedDisk(args, failure.itemName, failure.errorText);
    std::string line;
    QuarnUtils::FormatBackupDotOut(line, ctx.displayName.empty() ? args.mVMName : ctx.displayName, failure.itemName,
                                   failure.errorText, false, failure.warning);
    if (!firstEntry) failureText += ", ";
    failureText += line;
    firstEntry = false;
    if (!failure.warning) vm.hadFailures = true;
  }
  for (const std::string& line : vm.messages) {
    if (!firstEntry) failureText += ",";
    failureText += line;
    firstEntry = false;
  }

  // The stub record of a VM to be stubbed carries its sizes into the index (through the VM header).
  if (QuarnVMManagement::CarriesStubRecord(vm.archiveAction) && !vm.indexingMetadata.stubData.empty()) {
    m_event.Debug(sig, "Updating VM Size in the stub data [%lld]", static_cast<long long>(args.mGuestSize));
    QuarnVMManagement::VMArchUpdateVMStubData(vm.indexingMetadata.stubData, VMInfoStructs::STUB_STATE_UNKNOWN, 0,
                                              static_cast<long long>(m_config->getTotalSize()),
                                              static_cast<long long>(args.mGuestSize));
  }

  if ((result = SendDeletedDisks()) != 0 || (result = SendVMHeader()) != 0) return result;
  if (!CommitVMMetadataFiles()) return kResultFailed;

  std::string tracking = ctx.changeTrackingStatus;
  if (ctx.useCBT && !m_appMgr->isServerTypeOpenStack()) {
    if (args.mChangeIdCheckedDisks > 0 && args.mChangeIdFailedDisks > 0 && tracking != "Reset")
      tracking = args.mChangeIdCheckedDisks == args.mChangeIdFailedDisks ? "Failed" : "Partially Used";
    else if (args.mChangeIdCheckedDisks == 0 && args.mChangeIdFailedDisks == 0 && SameText(tracking, "Used"))
      tracking = "Enabled";
  }

  if (m_appMgr->GetAppAwareEnabled()) {
    std::string message;
    bool skipped = false;
    unsigned long long number = 0;
    if (!vm.appAwareFailed && vm.snapshotStatus != kSnapshotQuiesceFailed) {
      if (ctx.m_nSkippedDisksCount > 0 &&
          !(ZTPlatformInfo().getNumber("VirtualServer", "bAllowDiskFiltersForAppAware", &number) && number != 0)) {
        message =
            "Application aware backup was skipped because some virtual machine disks were filtered or skipped from the "
            "VSA backup. It might not be possible to restore application data from a backup with missing disks.";
        skipped = true;
      }
    } else if (!(ZTPlatformInfo().getNumber("VirtualServer", "ignoreAppAwareErrors", &number) && number != 0)) {
      skipped = true;
      if (vm.snapshotStatus == kSnapshotQuiesceFailed)
        message =
            "App aware backup is skipped for Virtual machine as quiesce guest file system failed during snapshot "
            "creation, VM backup completed successfully.";
      else if (vm.updateInfo.getint64(JobManager::VMUpdateInfo::F_workflowJobId) != 0)
        message =
            "App aware backup is skipped for Virtual machine, VM backup completed successfully.Please check Workflow Job "
            "logs for more details.";
      else
        message = "App aware backup is skipped for Virtual machine, VM backup completed successfully.";
    }
    if (skipped) {
      m_event.Debug(sig, "[%s]:[%s]", args.mVMName.c_str(), message.c_str());
      if (!failureText.empty()) failureText += ",";
      failureText += message;
      vm.messages.push_back(message);
      ++vm.errorCount;
      vm.hadFailures = true;
    }
  }
  FillVMUpdateInfoForCompletedVM(vm.updateInfo, vm.hadFailures, args.mBackedUpBytes, args.mGuestSize,
                                 args.mGuestSizeKnown, failureText, tracking, args.mLVMFailed,
                                 args.mGuestSizeFromLastJob);
  if (!m_jobMgr->isSnapToTape()) {
    if (CheckQuitFlag(&args)) return kResultInterrupted;
    if (m_vmInfo->SetBackupCompletion(ctx) == 0)
      m_event.Debug(sig, "VM [%s] Failed to set backup completion.", args.mVMName.c_str());
  }
  return 0;
}

int QuarnWorker::SendFailedVM(quarnBackupArgs&) {
  if (m_jobMgr != nullptr && m_jobMgr->checkQuitFlag()) return kResultInterrupted;
  if (m_currentVM != nullptr && m_mountCtx != nullptr)
    FillVMUpdateInfoForFailedVM(m_currentVM->updateInfo, *m_mountCtx, VMClientId(m_currentVM));
  return 0;
}

int QuarnWorker::SendFailedDisk(quarnBackupArgs& args, const std::string&, const std::string&) {
  if (args.mArchive == nullptr)
    m_event.Error("virtual int QuarnWorker::SendFailedDisk(quarnBackupArgs&, const std::string&, const std::string&)",
                  "No Archive object available to send VM Header");
  return 0;
}

int QuarnWorker::SendVMHeader() {
  static const char* const sig = "virtual int QuarnWorker::SendVMHeader()";
  if (CheckQuitFlag(m_currentArgs)) return kResultInterrupted;
  vsArchive* archive = m_currentArgs != nullptr ? m_currentArgs->mArchive : nullptr;
  if (archive == nullptr || m_currentVM == nullptr || m_jobMgr == nullptr || m_appMgr == nullptr) {
    m_event.Error(sig, "No Archive object available to send VM Header");
    return kResultNotSent;
  }
  const std::string name = "\\" + m_currentVM->vmGuid;
  const bool noMetadata = !m_jobMgr->isCollectMetadataEnabled();
  const bool failback = m_jobMgr->isFailbackBackup() && !m_appMgr->isUseIndexingV2Enabled();
  // The VM header item is what tells a restore that the VM's backup is whole: each of its records
  // must land, and an item that was opened is ended failed when the rest did not.
  int code = archive->sendFileHeader(name, m_config != nullptr ? m_config->getTotalSize() : 0,
                                     m_mountCtx != nullptr ? m_mountCtx->fileTime : 0, true, failback, false, 1, 0, 0,
                                     0, false, true, noMetadata);
  if (vsArchive::isError(code)) {
    m_event.Error(sig, "Failed to send the VM header of VM [%s], retCode [%d]", m_currentVM->vmName.c_str(), code);
    return kResultNotSent;
  }
  // A VM to be stubbed, or whose stub is retried, hands the index its stub record (the stub phase
  // stubs only what the index holds) and the delete timestamp kept with it.
  const bool toBeStubbed = QuarnVMManagement::CarriesStubRecord(m_currentVM->archiveAction);
  const VSAIndexingMetadata& stub = m_currentVM->indexingMetadata;
  IdxMetadata::IdxMetaData metadata;
  if (!SendVSVMIdxMetadata(toBeStubbed ? stub.stubData : std::string(), toBeStubbed ? stub.deleteTimestamp : 0,
                           metadata)) {
    m_event.Error(sig, "Failed to send the index metadata of VM [%s]", m_currentVM->vmName.c_str());
    archive->sendEOF(false, kResultNotSent);
    return kResultNotSent;
  }
  // Each send either leaves its item open (ended failed here) or opens none.
  bool itemOpen = true;
  code = archive->sendEOF(true, 0);
  if (vsArchive::isOK(code)) {
    code = archive->sendFileHeader("\\", 0, 0, true, false, false, -1, 1, 0, 0, false, true, false);
    itemOpen = vsArchive::isOK(code);
  }
  if (vsArchive::isOK(code)) code = archive->sendEOF(true, 0);
  if (vsArchive::isError(code)) {
    m_event.Error(sig, "Failed to end the VM header of VM [%s], retCode [%d]", m_currentVM->vmName.c_str(), code);
    if (itemOpen) archive->sendEOF(false, kResultNotSent);
    return kResultNotSent;
  }
  return 0;
}

void QuarnWorker::SendFailedVMHeader(vsArchive* archive, int result) {
  static const char* const sig = "void QuarnWorker::SendFailedVMHeader(vsArchive*, int)";
  if (archive == nullptr || m_currentVM == nullptr) return;
  m_event.Debug(sig, "Marking the backup of VM [%s] failed [%d] in its archive file", m_currentVM->vmName.c_str(), result);
  archive->sendFileHeader("\\" + m_currentVM->vmGuid, 0, 0, true, false, false, 1, 0, 0, 0, false, true, true);
  archive->sendEOF(false, result);
}

int QuarnWorker::SendDeletedDisks() {
  static const char* const sig = "virtual int QuarnWorker::SendDeletedDisks()";
  if (CheckQuitFlag(m_currentArgs)) return kResultInterrupted;
  vsArchive* archive = m_currentArgs != nullptr ? m_currentArgs->mArchive : nullptr;
  if (m_appMgr == nullptr || !m_appMgr->isUseIndexingV2Enabled() || archive == nullptr || m_config == nullptr ||
      m_currentVM == nullptr)
    return 0;
  // A disk of the last backup that this one has not: the index names it deleted, so that a restore of
  // this backup does not bring it back.
  std::vector<std::string> deleted;
  m_config->getDeletedDisks(m_prevIdxMetadata, deleted);
  for (const std::string& disk : deleted) {
    if (disk == "VMConfig.ztf") continue;
    const std::string name = "\\" + m_currentVM->vmGuid + "\\" + disk;
    m_event.Debug(sig, "Sending deleted Disk [%s] for VM [%s]", name.c_str(), m_currentVM->vmName.c_str());
    // A deletion that did not land would bring the disk back with a restore of this backup.
    int code = archive->sendFileHeader(name, 0, 0, false, false, false, 0, 0, 0, kDeletedItemFlags, false, true, false);
    if (vsArchive::isOK(code)) {
      code = archive->sendEOF(true, 0);
      if (vsArchive::isError(code)) archive->sendEOF(false, kResultNotSent);
    }
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "Failed to send deleted Disk [%s] for VM [%s], retCode [%d]", name.c_str(),
                    m_currentVM->vmName.c_str(), code);
      return kResultNotSent;
    }
  }
  return 0;
}
