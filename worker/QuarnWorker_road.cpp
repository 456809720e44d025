// The road of one VM: connection, backup level, VM management, mount, stream, archive file, the
// backup phases, true-up, unmount, archive index and the stream given back, with one result code.
#include <algorithm>

#include "app/QuarnUtils.h"
#include "archiving/QuarnVMManagement.h"
#include "controller/QuarnController.h"
#include "platform/archive/vsArchive.h"
#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/vminfo/IVMInfo.h"
#include "worker/QuarnWorker.h"

namespace {

using Collect = VirtualServer::VMCollect;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

constexpr int kResultEmptyServer = 10;
constexpr int kResultInterrupted = 11;
constexpr int kResultNoVMInfo = 16;
constexpr int kResultConnectFailed = 17;
constexpr int kResultNoStream = 27;
constexpr int kResultCloseArchiveFailed = 110;
constexpr int kResultNoAppId = 129;
constexpr int kResultFailbackInfo = 130;
constexpr int kResultArchiveFileFailed = 131;
constexpr int kResultArchiveIndexFailed = 132;
constexpr int kResultNoVMJobId = 140;
constexpr int kResultIndexQueryFailed = 147;
constexpr int kResultFailed = 95;
constexpr int kMetadataInterrupted = 11;

constexpr int kErrorInitialization = 4;
constexpr int kErrorCleanupString = 1002;
constexpr uint32_t kEventVMInterface = 0x5B000009;
constexpr int kInstanceTypeGuidAfterDot = 1102;
constexpr int kFullBackup = 1;

// A restore lays every backup of a chain over the last full one extent by extent, with one extent size
// per disk: an incremental whose disks were backed up with extents of another size than this job
// reads would restore wrong bytes. True, with the first such disk, when any was.
bool ExtentSizeChanged(IdxMetadataByName& previous, QuarnRegistry& registry, std::string& disk,
                       uint32_t& previousSize, uint32_t& currentSize) {
  int configured = 0;
  registry.GetEntry(REG_nExtentSize, configured, 0);
  currentSize = configured > 0 && QuarnUtils::IsExtentSizeValid(static_cast<unsigned int>(configured), 0)
                    ? static_cast<uint32_t>(configured)
                    : static_cast<uint32_t>(CArchiveVirtualDiskFile::kDefaultExtentSectors);
  for (auto& entry : previous) {
    const VSMeta* part = entry.second.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
    // Only a disk's entry carries a sector size; the extent size of any other item (a configuration
    // file, a file collection) is its size in bytes, and it has no extents to mix.
    if (part == nullptr || !part->isSet(VSMeta::F_sectorSize)) continue;
    const int64_t size = part->getint64(VSMeta::F_extentSize);
    if (size <= 0 || size == currentSize) continue;
    disk = entry.first;
    previousSize = static_cast<uint32_t>(size);
    return true;
  }
  return false;
}

// The backup the index hands out as a VM's last is the newest of the jobs that ended well, and a job
// that ended is one of them: on a later attempt of it, that can be the job's own earlier attempt, which
// this attempt's backup of the VM supersedes. A restore reads a job's latest attempt and builds each
// disk on an earlier job: an incremental on the job itself could never be restored. True, with the
// disk and the job its backup is of, when a disk of that backup is of this job or a later one (the
// newest such job).
bool LastBackupIsNotOfAnEarlierJob(IdxMetadataByName& previous, int64_t jobId, std::string& disk, int64_t& diskJob) {
  bool found = false;
  for (auto& entry : previous) {
    const VSMeta* part = entry.second.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
    if (part == nullptr || part->getint64(VSMeta::F_diskJobId) < jobId) continue;
    if (found && part->getint64(VSMeta::F_diskJobId) <= diskJob) continue;
    disk = entry.first;
    diskJob = part->getint64(VSMeta::F_diskJobId);
    found = true;
  }
  return found;
}

}  // namespace

int QuarnWorker::CleanUpVMInfo() {
  static const char* const sig = "int QuarnWorker::CleanUpVMInfo()";
  if (m_vmInfo == nullptr) return 0;
  m_vmInfo->Disconnect();
  m_vmInfo->Cleanup(1);
  if (m_vmInfo->GetErrorCode() == kErrorCleanupString && m_jobMgr != nullptr) {
    m_jobMgr->ClearCleanupString();
    m_event.Debug(sig, "Clearing cleanup string per VMInfo response");
  }
  IVMInfo::DeleteObject(m_vmInfo);
  m_vmInfo = nullptr;
  m_connectedServer.clear();
  return 0;
}

int QuarnWorker::ConnectToServer(const std::string& server) {
  static const char* const sig = "virtual int QuarnWorker::ConnectToServer(const std::string&)";
  if (server.empty()) {
    m_event.Error(sig, "Server name is empty");
    return kResultEmptyServer;
  }
  if (m_appMgr == nullptr || m_jobMgr == nullptr) return kResultNoVMInfo;
  if (m_vmInfo != nullptr && server == m_connectedServer && !m_appMgr->isServerTypeXen()) return 0;

  if (m_vmInfo == nullptr) {
    m_vmInfo = IVMInfo::CreateObject(m_appMgr->getInstanceType());
    if (m_vmInfo == nullptr) {
      m_event.Error(sig, "VM interface creation failure");
      m_event << static_cast<long long>(m_jobMgr->getJobId()) << 0;
      m_event.InfoEvent(kEventVMInterface);
      m_jobMgr->setPendingCause(static_cast<int>(kEventVMInterface));
      return kResultNoVMInfo;
    }
    m_vmInfo->RegisterCallback(&QuarnWorker::CallbackStatic, this);
    if (m_vmInfo->Initialize(0) == 0) {
      if (m_vmInfo->GetErrorCode() == kErrorInitialization) {
        m_event.Error(sig, "VM interface initialization failure");
        m_event << static_cast<long long>(m_jobMgr->getJobId()) << 0;
        m_event.InfoEvent(kEventVMInterface);
        m_jobMgr->setPendingCause(static_cast<int>(kEventVMInterface));
      }
      IVMInfo::DeleteObject(m_vmInfo);
      m_vmInfo = nullptr;
      return kResultNoVMInfo;
    }
  } else {
    // Another server, or a Xen server, whose connection is made afresh for every VM.
    m_vmInfo->Disconnect();
    m_connectedServer.clear();
  }

  vsAppMgrServerCredentials credentials;
  std::string third;
  m_appMgr->getCredentialsForServer(server, credentials.user, credentials.password, third);
  credentials.server = server;
  std::vector<SHostCredentials> hostCredentials;
  vsAppMgrServerCredentials ignored;
  m_appMgr->getCredentials(ignored, hostCredentials);
  if (m_jobMgr->isSnapToTape() || m_jobMgr->isSnapCatalogMode()) m_vmInfo->SetOption("connectForBackupCopy", 0);

  if (m_vmInfo->Connect(credentials, server, credentials.user, hostCredentials) != 0) {
    m_vmInfo->SetOption("useInstanceUuid", m_appMgr->getUseVMInstanceUuid() ? 1 : 0);
    m_connectedServer = server;
    m_event.DebugLvl(2, sig, "Connected to server [%s]", server.c_str());
    return 0;
  }
  std::string text;
  EvMessageContainer message;
  m_vmInfo->GetConnectErrorMessage(text, message);
  m_event.Error(sig, "Error Connecting - %s", text.c_str());
  m_jobMgr->setPendingCauseAndEvent(message, 3);
  return kResultConnectFailed;
}

bool QuarnWorker::IsFullBackupForVM() {
  if (m_mountCtx != nullptr) return m_mountCtx->vmBackupLevel == kFullBackup;
  if (m_appMgr != nullptr && m_appMgr->isUseIndexingV2Enabled())
    return m_currentVM != nullptr && m_currentVM->collect.getint64(Collect::F_fullBackupRequest) != 0;
  return m_jobMgr != nullptr && m_jobMgr->isFullBkp();
}

int QuarnWorker::GetVMBackupLevel() {
  if (IsFullBackupForVM()) return kFullBackup;
  return m_jobMgr != nullptr ? m_jobMgr->getBkpLevel() : kFullBackup;
}

int QuarnWorker::FailVMHeldByALaterJob(vm_params& vm, int64_t laterJob, const std::string& disk) {
  static const char* const sig = "int QuarnWorker::FailVMHeldByALaterJob(vm_params&, int64_t, const std::string&)";
  const std::string job = "job [" + std::to_string(m_jobMgr->getJobId()) + "]";
  const std::string later = "job [" + std::to_string(laterJob) + "]";
  vm.failureReason = "Not backed up: the index holds " +
                     (disk.empty() ? "a record of the VM in " + later
                                   : "a backup of the VM by " + later + " (disk [" + disk + "])") +
                     ", a later job of the subclient; a backup of the VM in " + job + " would supersede what " + later +
                     " restores it from";
  m_event.Error(sig, "VM [%s]: %s", vm.vmName.c_str(), vm.failureReason.c_str());
  vm.failureEvent.SetMessageID(QuarnUtils::kEventVMNotBackedUpWithReason, true);
  vm.failureEvent << vm.vmName << vm.failureReason;
  m_jobMgr->setPendingCauseAndEvent(vm.failureEvent, QuarnUtils::kVMNotBackedUpSeverity);
  return kResultFailed;
}

int QuarnWorker::ProcessVM() {
  static const char* const sig = "virtual int QuarnWorker::ProcessVM()";
  if (m_currentVM == nullptr || m_jobMgr == nullptr || m_appMgr == nullptr || m_controller == nullptr) return 95;
  vm_params& vm = *m_currentVM;

  // 1. A fresh block and layout for the VM.
  quarnBackupArgs args;
  if (m_config != nullptr) m_config->reset();
  delete m_mountCtx;
  m_mountCtx = nullptr;
  {
    ZtCriticalSectionLock lock(&m_metadataExtentsLock);
    m_metadataExtents.clear();
  }
  m_missingBlocks.clear();
  m_prevIdxMetadata.clear();
  m_vmIdxMetadata = IdxMetadata::IdxMetaData();
  bool incremental = false, metadataDone = false, streamAcquired = false, mounted = false;

  const bool indexingV2 = m_appMgr->isUseIndexingV2Enabled();
  const long long childJobId = vm.collect.getint64(Collect::F_vmJobId);
  const long long subclientId = vm.collect.getint64(Collect::F_subclientId);

  // 2. Identity of the VM's own job (indexing V2).
  if (indexingV2) {
    if (childJobId == 0 || childJobId == m_jobMgr->getJobId()) {
      m_event.Error(sig, "VM Pseudo Job id is missing [%s]. Failing the VM", vm.vmName.c_str());
      vm.failureReason = "Failed to get VM jobId";
      return kResultNoVMJobId;
    }
    if (subclientId == 0) {
      m_event.Error(sig, "VM subclientId is missing [%s]. Failing the VM", vm.vmName.c_str());
      vm.failureReason = "Failed to get VM AppId";
      return kResultNoAppId;
    }
  }
  // 3.
  if (childJobId != 0)
    m_event.DebugJob(childJobId, sig, "Processing VM [%s] AppId %d using child job %lld and parent job %lld",
                     vm.vmName.c_str(), static_cast<int>(subclientId), childJobId,
                     static_cast<long long>(m_jobMgr->getJobId()));

  // 4. A failback VM is backed up under the name of its replication record.
  const bool failback = m_jobMgr->isFailbackBackup();
  if (failback) {
    m_event.Debug(sig, "PROCESSING FAILBACK VM");
    const uint64_t replicationId = m_jobMgr->getReplicationIdForFailbackVM(vm.vmGuid);
    if (replicationId != 0 &&
        (m_replicationInfo == nullptr || !m_appMgr->getVSAReplicationInfo(replicationId, *m_replicationInfo))) {
      m_event.Error(sig, "Failed to get DR VM Info for failback job");
      vm.failureReason = "Failed to get DR VM Info for failback job";
      return kResultFailbackInfo;
    }
    if (m_replicationInfo != nullptr)
      m_event.Debug(sig, "VM [%s] will be backed up as VM[%s]",
                    m_replicationInfo->getstring(App::VSAReplicationInfo::F_sourceVMName).c_str(),
                    m_replicationInfo->getstring(App::VSAReplicationInfo::F_backupName).c_str());
    m_appMgr->SetTransportMode(0);
  }

  // 5. The hypervisor server the VM is reached through.
  std::string server = vm.collect.getstring(Collect::F_serverName);
  if (server.empty()) server = vm.host;
  int result = ConnectToServer(server);
  if (result != 0) return result;

  // 6.
  FillVMUpdateInfoForStartedVM(vm.updateInfo, vm.vmName, vm.vmGuid,
                               static_cast<int>(vm.collect.getint64(Collect::F_vmClientId)), childJobId);
  UpdateVMJobProgress(VM_PROGRESS_STARTED, 0, 0);
  SendVMUpdateInfo(false);

  // 7. Backup level: full, or incremental from the index's record of the last backup, when that is of a job
  // before this one. A VM that a later job of the subclient holds is not backed up at all, at any level.
  // The stub phase backs nothing up: the job's backup it stubs on is the one it finds.
  const bool stubPhase = m_jobMgr->isVMStubPhase();
  if (!stubPhase) {
    int64_t newestJob = 0;
    if (!m_controller->GetVMNewestRecordJobFromIndexing(vm.vmGuid, newestJob)) {
      vm.failureReason = "Failed to get the index information from previous backup";
      return kResultIndexQueryFailed;
    }
    if (newestJob > m_jobMgr->getJobId()) return FailVMHeldByALaterJob(vm, newestJob, std::string());
  }
  if (!IsFullBackupForVM()) {
    bool convertToFull = false, queryFailed = false;
    const int fetched = GetVMIdxMetadata(vm.vmGuid, subclientId > 0 ? static_cast<unsigned long>(subclientId) : 0,
                                         args, queryFailed);
    if (fetched == kMetadataInterrupted) return kResultInterrupted;
    if (fetched != 0) {
      if (queryFailed) {
        m_event.Error(sig, "Failed to query VM [%s] Metadata from previous index.", vm.vmName.c_str());
        vm.failureReason = "Failed to get the index information from previous backup";
        return kResultIndexQueryFailed;
      }
      m_event.Debug(sig, "VM:[%s] not found in the index.Performing FULL backup on the VM", vm.vmName.c_str());
      convertToFull = true;
    } else {
      CheckAndConvertJobToFull(vm.vmName, vm.vmGuid, &m_vmIdxMetadata, convertToFull);
      std::string disk;
      uint32_t previous = 0, current = 0;
      if (!convertToFull && ExtentSizeChanged(m_prevIdxMetadata, m_registry, disk, previous, current)) {
        m_event.Error(sig,
                      "Disk [%s] of VM [%s] was backed up with extents of [%u] sectors, this job reads [%u]. "
                      "Performing FULL backup on the VM",
                      disk.c_str(), vm.vmName.c_str(), previous, current);
        convertToFull = true;
      }
      int64_t diskJob = 0;
      if (!convertToFull && !stubPhase &&
          LastBackupIsNotOfAnEarlierJob(m_prevIdxMetadata, m_jobMgr->getJobId(), disk, diskJob)) {
        if (diskJob > m_jobMgr->getJobId()) return FailVMHeldByALaterJob(vm, diskJob, disk);
        m_event.Error(sig,
                      "The last backup of VM [%s] in the index is of job [%lld] (disk [%s]), not of a job before this "
                      "one: an attempt of this job supersedes it, and nothing built on it could be restored. "
                      "Performing FULL backup on the VM",
                      vm.vmName.c_str(), static_cast<long long>(diskJob), disk.c_str());
        convertToFull = true;
      }
    }
    if (convertToFull) {
      vm.updateInfo.setint64(JobManager::VMUpdateInfo::F_backupLevel, 1);
      m_prevIdxMetadata.clear();
    } else {
      incremental = true;
      if (m_prevIdxMetadata.empty()) {
        m_event.Debug(sig, "Indexing metadata for VM [%s] disk(s) is not available. Backup will be converted to FULL",
                      vm.vmName.c_str());
      } else {
        m_event.Debug(sig, "Metadata for VM [%s] components received from previous successful backup job",
                      vm.vmName.c_str());
        for (auto& entry : m_prevIdxMetadata) {
          const VSMeta* part = entry.second.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
          m_event.Debug(sig, "IndexName [%s] Extent Size [%lld] ChangeId [%s]", entry.first.c_str(),
                        part != nullptr ? static_cast<long long>(part->getint64(VSMeta::F_extentSize)) : 0LL,
                        part != nullptr ? part->getstring(VSMeta::F_changeId).c_str() : "");
        }
      }
    }
  }
  // 8.
  if (failback && m_prevIdxMetadata.empty()) {
    m_event.Error(sig, "Failed to get VM Metatdata. Cannot proceed with failback.");
    vm.failureReason = "Failed to get VM Metatdata for failback job";
    return kResultFailbackInfo;
  }
  // Between 8 and 9: the test list of missing blocks (loaded for every VM; nothing of this road reads
  // it but the true-up).
  FetchMissingBlocksForVM();

  // 9. The VM-level fields of the block.
  m_currentArgs = &args;
  args.mConfig = m_config;
  args.mVMGuid = vm.vmGuid;
  args.mVMName = vm.vmName;
  args.mVMInfo = m_vmInfo;
  args.mBackupLevel = incremental ? static_cast<uint32_t>(GetVMBackupLevel()) : 1u;
  args.mAppTypeId = static_cast<uint64_t>(m_appMgr->getAppTypeId());
  args.mAppId = m_appMgr->getAppIdStr();
  args.mSubclientFiles = &m_subclientFiles;
  args.mVMGuidForFiles = vm.vmGuid;
  std::replace(args.mVMGuidForFiles.begin(), args.mVMGuidForFiles.end(), ':', '_');
  if (m_appMgr->getInstanceType() == kInstanceTypeGuidAfterDot) {
    const size_t dot = args.mVMGuidForFiles.rfind('.');
    if (dot != std::string::npos) args.mVMGuidForFiles.erase(0, dot + 1);
  }

  // 10. VM management: anything but 108 ends the road here, before a mount or a stream.
  {
    QuarnVMManagement management(m_workerId, m_controller, m_jobMgr, m_appMgr, GetSubclientDirectory());
    result = management.PerformVMManagement(&vm, args);
    if (result != QuarnVMManagement::kContinueBackup) return result;
    result = 0;
  }

  // 11.
  const bool snapBackup = m_jobMgr->isSnapBackup();
  const bool appAware = !snapBackup && m_appMgr->GetAppAwareEnabled();
  if (appAware)
    m_controller->StartAndWaitForAppAwareWorkflow(vm.vmGuid);
  else if (!snapBackup && m_appMgr->IsApplicationValidationEnabled())
    DiscoverApps();

  // 12.
  if (m_registry.CheckEntry(REG_bGetStreamBeforeMount, false))
    streamAcquired = m_controller->AcquireStream(m_workerId, m_currentStream, true) && m_currentStream != nullptr;

  // 13.
  StartBLR();
  result = MountVM();
  mounted = result == 0;
  if (appAware) m_controller->SendDeleteApplicationSnapReq(vm.vmGuid, true);

  // 14. A stream for the backup, asked for even when the mount failed: the mount's code stands unless
  // no stream comes, and then the VM is retried (27) by a later attempt that may find both. A mount
  // that saw the job's quit keeps its code: the stream would be refused for the quit alone. A
  // storage-snapshot backup or catalogue sends no data: its controller grants the request without a
  // stream, and the VM's steps go on without one.
  const bool streamless = snapBackup || m_jobMgr->isSnapCatalogMode();
  bool streamlessGrant = false;
  if (m_currentStream == nullptr && result != kResultInterrupted) {
    const bool granted = m_controller->AcquireStream(m_workerId, m_currentStream, true);
    streamAcquired = granted && m_currentStream != nullptr;
    streamlessGrant = granted && streamless && m_currentStream == nullptr;
    if (m_currentStream == nullptr && !streamlessGrant) {
      m_event.Error(sig, "Failed to get a stream to backup VM [%s]", vm.vmName.c_str());
      result = kResultNoStream;
    }
  }
  if (m_currentStream != nullptr) m_currentStream->setRestartContext(m_vmIndex + 1);

  // 15. The backup itself (without a stream the road goes on at the unmount).
  const bool haveStream = m_currentStream != nullptr || streamlessGrant;
  if (mounted && haveStream) {
    args.mBackupName = m_mountCtx != nullptr ? m_mountCtx->backupName : vm.vmGuid;
    args.mMountCtx = m_mountCtx;
    int streamId = 0, rcid = 0, reservationId = 0, clientId = 0;
    if (m_currentStream != nullptr) m_currentStream->getStream(streamId, rcid, reservationId, clientId);
    m_event.Debug(sig, "Processing VM [%s] using stream id [%d]", vm.vmName.c_str(), streamId);
    const bool created = streamlessGrant || CreateArchiveFile(args, m_currentStream);
    // The phases send into the VM's archive file through the block's stream.
    if (created) args.mArchive = m_currentStream;
    if (!created) {
      m_event.Error(sig, "Error creating archive file");
      result = kResultArchiveFileFailed;
    } else if ((result = PreBackupVM(args)) == 0) {
      m_speedCounter.Start();
      result = BackupVM(args);
      m_speedCounter.Stop(args.mBackedUpBytes);
      if (result == 0) {
        if (m_jobMgr->isCollectMetadataEnabled() && !m_registry.CheckEntry(REG_bReleaseStreamBeforeMetadata, false)) {
          CollectGranularMetadata(args);
          metadataDone = true;
        }
        ComputeVMGuestSize(args, incremental);
        result = PostBackupVM(args);
      }
    }
    // 15.6. The archive file is closed whatever failed before; true-up only after a whole success. A
    // close that fails after an earlier failure keeps the earlier cause as the VM's.
    if (result != 0 && m_currentStream != nullptr) SendFailedVMHeader(m_currentStream, result);
    if (m_currentStream != nullptr && vsArchive::isError(m_currentStream->closeArchiveFile())) {
      m_event.Error(sig, "Failed to close archive file for VM [%s]", vm.vmName.c_str());
      if (result == 0) result = kResultCloseArchiveFailed;
    }
    if (result == 0 && m_mountCtx != nullptr && m_mountCtx->vmBackupLevel != kFullBackup) result = TrueUpVM(args);
  }

  // 16.
  if (!mounted || result != 0) {
    SendFailedVM(args);
    if (m_currentStream != nullptr) m_currentStream->GetStreamClientId();
  } else if (!metadataDone) {
    UpdateVMJobProgress(VM_PROGRESS_GRANULAR_METADATA, 0, 0);
    CollectGranularMetadata(args);
  }

  // 17. Every road that got past the mount attempt unmounts.
  if (UnmountVM() == 0) UpdateVMJobProgress(VM_PROGRESS_UNMOUNTED, 0, 0);

  // 18. The VM's archive index (indexing V2).
  if (result == 0 && indexingV2) {
    if (CheckQuitFlag(nullptr)) {
      result = kResultInterrupted;
    } else if (!snapBackup) {
      const int streamClientId = m_currentStream != nullptr ? m_currentStream->GetStreamClientId() : 0;
      if (!m_controller->RunArchiveIndexForVM(vm.vmGuid, childJobId, static_cast<uint64_t>(subclientId),
                                              streamClientId, 0)) {
        if (CheckQuitFlag(nullptr)) {
          result = kResultInterrupted;
        } else {
          vm.failureReason = "Failed to run Archive Index Operation";
          result = kResultArchiveIndexFailed;
        }
      }
    }
  }

  // 19. Whatever stream the worker holds goes back, however it was taken: a stream kept past the
  // road would be lost to the job.
  if (streamAcquired || m_currentStream != nullptr) {
    if (m_currentStream != nullptr) m_controller->RelinquishStream(m_workerId, m_currentStream);
    m_currentStream = nullptr;
    m_streamsRequired = 0;
  }

  // 20. A VM to be stubbed, or whose stub cut off is retried, says so once its backup ended well.
  if (result == 0 && QuarnVMManagement::CarriesStubRecord(vm.archiveAction)) result = vm.archiveAction;
  return result;
}
