// The snapshot worker's steps of the road of one VM: its set-up, the backup of a VM in each mode, the
// end of a VM's backup, and the steps a snapshot backup leaves out.
#include "snap/QuarnSnapWorker.h"

#include "app/QuarnUtils.h"
#include "platform/jobclient/JobToken.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxString.h"
#include "platform/os/HostName.h"
#include "platform/vminfo/IVMInfo.h"
#include "snap/QuarnSnapController.h"

namespace {

using Collect = VirtualServer::VMCollect;

const char* const kSigInitialize = "virtual bool QuarnSnapWorker::Initialize(vsJobMgr*, vsAppMgr*)";
const char* const kSigBackupVM = "virtual int QuarnSnapWorker::BackupVM(quarnBackupArgs&)";
const char* const kSigPostBackupVM = "virtual int QuarnSnapWorker::PostBackupVM(quarnBackupArgs&)";
const char* const kSigSendFailedVM = "virtual int QuarnSnapWorker::SendFailedVM(quarnBackupArgs&)";
const char* const kSigDeletedDisks = "virtual int QuarnSnapWorker::SendDeletedDisks()";

constexpr int kResultWrongMode = 1;
constexpr int kResultArchiveFileInfo = 141;
constexpr int kResultRestartInfo = 142;
constexpr int kResultVMIndexMetadata = 143;
constexpr DiskType_t kDiskTypeSkipped1 = 10;
constexpr DiskType_t kDiskTypeSkipped2 = 11;
constexpr uint64_t kAllRestartBits = ~0ULL;
// What BackupSnapFile gives for a disk whose index records did not all go in.
constexpr int kSnapFileRecordsFailed = -1;
constexpr int kSnapFileNoContentRecord = 43;
constexpr int kSnapFileNoProductType = 46;

}  // namespace

std::atomic<int> QuarnSnapWorker::nOffsetCounter{1};

QuarnSnapWorker::QuarnSnapWorker(QuarnSnapController* controller, int workerId)
    : QuarnWorker(controller, workerId), m_snapController(controller) {}

QuarnSnapWorker::~QuarnSnapWorker() { Deinitialize(); }

bool QuarnSnapWorker::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  const bool initialized = QuarnWorker::Initialize(jobMgr, appMgr);
  if (!initialized) return false;
  std::string host, client;
  int first = 0, second = 0;
  DemangleHostName(jobMgr->getMediaAgent(), host, client, first, second);
  m_event.Debug(kSigInitialize, "MaHostName:[%s]\tMaClientName:[%s]", host.c_str(), client.c_str());
  const std::string token = jobMgr->getJobToken();
  long long jobId = 0;
  unsigned long commcell = 0, attempt = 0, phase = 0;
  if (!parseJobToken(token.empty() ? nullptr : token.c_str(), jobId, commcell, attempt, phase)) {
    const std::string substitute = constructJobToken(jobMgr->getJobId(), 0, 0, 0);
    m_event.Error(kSigInitialize, "Failed to parse jobToken '%s'. Fake jobToken '%s' will be used.",
                  token.empty() ? "NULL" : token.c_str(), substitute.c_str());
  }
  return initialized;
}

void QuarnSnapWorker::Deinitialize() { QuarnWorker::Deinitialize(); }

ProductType_t QuarnSnapWorker::ProductType() {
  if (m_config == nullptr || m_appMgr == nullptr) return kProductUnknown;
  return m_config->getProductType(*m_appMgr);
}

int QuarnSnapWorker::BackupVM(quarnBackupArgs& args) {
  const bool snapBackup = m_jobMgr->isSnapBackup();
  const bool catalog = m_jobMgr->isSnapCatalogMode();
  // 1.
  if (!snapBackup && !catalog) {
    if (m_jobMgr->isSnapToTape()) return QuarnWorker::BackupVM(args);
    m_event.Error(kSigBackupVM, "Invalid mode for snap worker");
    return kResultWrongMode;
  }
  if (m_config == nullptr || m_mountCtx == nullptr || m_currentVM == nullptr) {
    m_event.Error(kSigBackupVM, "Invalid input");
    return 10;
  }
  // 2. The job's mount context, as this VM sees it.
  m_snapMountCtx = *m_snapController->GetSnapMountCtx();
  if (m_snapMountCtx.vmCentricSnapBackup) {
    m_snapMountCtx.vmInfo = m_mountCtx->vmInfo;
    m_snapMountCtx.snapReferenceTime = m_mountCtx->snapReferenceTime;
    m_snapMountCtx.snapVolumes = m_mountCtx->snapVolumes;
    m_snapMountCtx.vmName = args.mVMName;
    m_snapMountCtx.vmGuid = args.mVMGuid;
  }
  // 3.
  SendArchiveFileInfoForVM(args);
  // 4. Every disk is recorded; a disk whose records fail does not stop the others, but the VM ends
  // with its code: a VM the index does not fully know must not be reported backed up.
  const bool indexingV2 = m_appMgr->isUseIndexingV2Enabled();
  const int instanceType = m_appMgr->getInstanceType();
  unsigned int currentArchiveFileId = 0;
  int failedDisk = 0;
  m_config->resetGetNextBkpObj();
  for (m_config->getNextBkpObj(&args); !args.mBackupPath.empty(); m_config->getNextBkpObj(&args)) {
    if (CheckQuitFlag(&args)) return 11;
    // 4.1
    if (!(catalog && instanceType == kInstanceTypeHyperV) &&
        !SendArchiveFileInfo(args, args.mDiskPath, currentArchiveFileId)) {
      m_event.Error(kSigBackupVM, "Failed to send archive file details for VM[%s] Guid[%s]", args.mVMName.c_str(),
                    args.mVMGuid.c_str());
      return kResultArchiveFileInfo;
    }
    // 4.2
    if (indexingV2 && instanceType == kInstanceTypeVMware &&
        (args.mDiskType == kDiskTypeSkipped1 || args.mDiskType == kDiskTypeSkipped2))
      continue;
    const int recorded = BackupSnapFile(&args, snapBackup, nOffsetCounter);
    if (recorded == kSnapFileRecordsFailed || recorded == kSnapFileNoContentRecord ||
        recorded == kSnapFileNoProductType) {
      m_event.Error(kSigBackupVM, "The index records of [%s] of VM [%s] failed [%d]", args.mBackupPath.c_str(),
                    args.mVMName.c_str(), recorded);
      if (failedDisk == 0) failedDisk = recorded == kSnapFileRecordsFailed ? kResultVMIndexMetadata : recorded;
    }
  }
  // 5.
  if (!catalog && !indexingV2 && !m_snapController->UpdateRestartInfo(kAllRestartBits)) {
    m_event.Error(kSigBackupVM, "IndexingConnection::updateRestartInfo Failed");
    return kResultRestartInfo;
  }
  if (failedDisk != 0) {
    if (m_currentVM->failureReason.empty())
      m_currentVM->failureReason = "Failed to record a disk of the VM in the index";
    return failedDisk;
  }
  // 6.
  if (!catalog) {
    if (!SendIndexMetaDataInfo(m_mountCtx, nOffsetCounter)) {
      m_event.Error(kSigBackupVM, "Failed to send Indexing Metadata Info");
      if (m_currentVM->failureReason.empty()) m_currentVM->failureReason = "Failed to send the VM's index metadata";
      return kResultVMIndexMetadata;
    }
    m_snapController->CommitArchiveFileInfo(args.mVMGuid);
  }
  // 7.
  args.mBackedUpBytes = m_config->getChangedSizeOnDisk();
  args.mGuestSize = args.mBackedUpBytes;
  args.mGuestSizeKnown = instanceType == kInstanceTypeRhev;
  m_event.Debug(kSigBackupVM,
                "Setting guest size of VM[%s] as [%llu] bytes. The size may change during snap catalog phase.",
                args.mVMName.c_str(), static_cast<unsigned long long>(args.mGuestSize));
  if (catalog) return 0;
  args.mChangedSize = m_config->getTotalSizeOnDisk();
  m_currentVM->appSize = args.mChangedSize;
  m_event.Debug(kSigBackupVM, "Total size of VM[%s] GUID[%s] on disk is [%s] bytes  [%s] bytes changed",
                args.mVMName.c_str(), args.mVMGuid.c_str(),
                IntToCommaString(static_cast<int64_t>(args.mChangedSize)).c_str(),
                IntToCommaString(static_cast<int64_t>(args.mBackedUpBytes)).c_str());
  return 0;
}

int QuarnSnapWorker::PostBackupVM(quarnBackupArgs& args) {
  const int type = m_appMgr->getInstanceType();
  const bool microsoft = vsAppMgr::isServerTypeMS(type);
  if (m_jobMgr->isSnapBackup() && m_mountCtx != nullptr && m_vmInfo != nullptr &&
      (microsoft || vsAppMgr::isServerTypeAmazon(type) || vsAppMgr::isServerTypeNutanix(type) ||
       vsAppMgr::isServerTypeVMWare(type) || vsAppMgr::isServerTypeAzure(type) ||
       vsAppMgr::isServerTypeGoogleCloud(type) || vsAppMgr::isServerTypeK8s(type))) {
    std::vector<std::string> files;
    if (m_vmInfo->GetSnapBackupInfo(*m_mountCtx, files, microsoft ? 0 : 1) == 0)
      m_event.Error(kSigPostBackupVM, "Failed to get VSS metadata files for VM [%s]", args.mVMName.c_str());
    if (!files.empty() && m_currentVM != nullptr) {
      for (const std::string& file : files)
        m_event.Debug(kSigPostBackupVM, "Uploading VM [%s] metadata file %s to cache", args.mVMName.c_str(),
                      file.c_str());
      if (m_snapController->UploadVMMetadataFiles(args.mVMGuid, files, static_cast<uint64_t>(CurrentChildJobId()),
                                                  m_currentVM->collect.getstring(Collect::F_subclientGuid))) {
        m_event.Debug(kSigPostBackupVM, "Uploaded %d metadata files for VM [%s] to cache",
                      static_cast<int>(files.size()), args.mVMName.c_str());
        // The VM's own files are kept in the cache for its later copies; here they would only pile
        // up. A Microsoft hypervisor's list is the job's metadata, which the job's end still sends.
        if (!microsoft)
          for (const std::string& file : files) FXFile::RemoveFile(file);
      } else {
        m_event.Error(kSigPostBackupVM, "Failed to upload the metadata files of VM [%s] to cache; they are kept here",
                      args.mVMName.c_str());
      }
    }
  }
  return QuarnWorker::PostBackupVM(args);
}

void QuarnSnapWorker::InitMountCtxForVM(vsJobMgr* jobMgr, vsAppMgr* appMgr, subclientFiles* files,
                                        QuarnRegistry* registry, MountCtx* ctx) {
  QuarnWorker::InitMountCtxForVM(jobMgr, appMgr, files, registry, ctx);
  if (ctx == nullptr || appMgr == nullptr || jobMgr == nullptr) return;
  const int type = appMgr->getInstanceType();
  if (vsAppMgr::isServerTypeVMWare(type) || vsAppMgr::isServerTypeMS(type) || vsAppMgr::isServerTypeAzure(type)) {
    // The worker's own mount context is the one the VM is mounted with.
    if (m_mountCtx != nullptr) appMgr->getSnapMountPathForSnap(m_mountCtx->mountPath);
  }
  if (jobMgr->isSnapToTape() && vsAppMgr::isServerTypeVMWare(type))
    ctx->snapMountMethod = static_cast<int32_t>(m_snapController->GetSnapMountMethod());
}

int QuarnSnapWorker::TrueUpVM(quarnBackupArgs& args) {
  if (m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode()) return 0;
  return QuarnWorker::TrueUpVM(args);
}

int QuarnSnapWorker::SendFailedVM(quarnBackupArgs& args) {
  if (!m_jobMgr->isSnapBackup()) {
    QuarnWorker::SendFailedVM(args);
    return 0;
  }
  if (m_appMgr->isUseIndexingV2Enabled()) {
    m_event.Debug(kSigSendFailedVM, "Not sending failed VM [%s][%s] to indexing on V2 snap backup",
                  args.mVMName.c_str(), args.mVMGuid.c_str());
    return 0;
  }
  const std::string reason = m_currentVM != nullptr ? m_currentVM->failureReason : std::string();
  m_snapController->sendErrorIdxMetadata(args.mVMName, -1, reason);
  const std::string text64 = m_currentVM != nullptr ? m_currentVM->collect.getstring(Collect::F_text64) : std::string();
  m_snapController->SendFileHeader(args.mVMGuid, "\\" + args.mVMGuid, 0, 0, true, 1, text64, 64, 0);
  return 0;
}

int QuarnSnapWorker::SendVMHeader() {
  // A snapshot backup and a catalogue write no archive file of the VM to head.
  if (m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode()) return 0;
  return QuarnWorker::SendVMHeader();
}

int QuarnSnapWorker::SendDeletedDisks() {
  if (!m_jobMgr->isSnapBackup()) return QuarnWorker::SendDeletedDisks();
  if (m_appMgr->isUseIndexingV2Enabled()) m_event.Debug(kSigDeletedDisks, "Skip Sending Deleted disks for Snap backup");
  return 0;
}

int QuarnSnapWorker::getPercentageCompletion(QuarnVMProgressPhase phase, uint64_t done, uint64_t total) {
  if (m_jobMgr == nullptr || !m_jobMgr->isSnapBackup()) return QuarnWorker::getPercentageCompletion(phase, done, total);
  switch (phase) {
    case VM_PROGRESS_NOT_STARTED:
    case VM_PROGRESS_STARTED:
      return 80;
    case VM_PROGRESS_MOUNTED:
    case VM_PROGRESS_CONFIG_FILES:
    case VM_PROGRESS_DISKS:
    case VM_PROGRESS_GRANULAR_METADATA:
      return 90;
    case VM_PROGRESS_UNMOUNTED:
      return 99;
    case VM_PROGRESS_COMPLETE:
      return 100;
  }
  return 0;
}
