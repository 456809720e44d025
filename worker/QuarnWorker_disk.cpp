// The backup of one disk: its counters, extent size, the choice between a full read, change ids and
// extent checksums, the checksum tables, the disk reader, the volume header, the pipeline's stages and
// the reading loop, and on the way out the change id and checksum table for the next job and the
// disk's content record.
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "app/QuarnUtils.h"
#include "controller/QuarnController.h"
#include "disklayout/QuarnCRCFile.h"
#include "disklayout/QuarnChangeIdFile.h"
#include "platform/archive/vsArchive.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/index/TVMCRCTable.h"
#include "platform/os/CAscii85.h"
#include "platform/os/CAverageCounter.h"
#include "platform/os/CPxString.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/WinCompat.h"
#include "worker/QuarnIdxBrowseClientResp.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kResultFailed = 1;
constexpr int kResultOpenFailed = 53;
constexpr int kResultReadFailed = 54;
constexpr int kResultNoCounter = 46;
constexpr int kResultContentRecord = 43;
constexpr int kResultVolumeHeader = 133;
constexpr uint32_t kEventChangeIdInvalid = 0x5B0001CD;
constexpr int kInstanceGoogleKeyedByAppId = 1102;
constexpr int kInstanceDiskName2 = 301;

using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

// The one-time warning that data is not being backed up, for the whole process.
std::atomic<bool> g_skipDataWarned{false};

// The previous job's index entry of a disk's virtual-server part; null when there is none.
template <typename Map>
const VSMeta* PreviousEntry(Map& previous, const std::string& indexName) {
  auto found = previous.find(indexName);
  if (found == previous.end()) return nullptr;
  return found->second.template getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, false);
}

}  // namespace

void QuarnWorker::InitPerfCounter(CMediaSpeedCounter& counter, int interval, long long jobId, const std::string& name) {
  counter.EnableLogging(interval > 0 ? static_cast<uint32_t>(interval) : 0);
  counter.Reset();
  counter.Initialize(name, jobId);
}

void QuarnWorker::InitPerfCounter(CAverageCounter& counter, int interval, long long jobId, const std::string& name) {
  (void)interval;
  (void)jobId;
  counter.Reset();
  counter.SetName(name);
}

uint32_t QuarnWorker::GetDiskExtentSize(const std::string& indexName) {
  ZtCriticalSectionLock lock(&m_extentSizeLock);
  auto found = m_extentSizes.find(indexName);
  return found == m_extentSizes.end() ? 0 : found->second;
}

std::string QuarnWorker::GetDiskIndexNameInUse(quarnBackupArgs* args) {
  static const char* const sig = "std::string QuarnWorker::GetDiskIndexNameInUse(quarnBackupArgs*)";
  if (!IsFullBackupForVM()) {
    if (m_prevIdxMetadata.count(args->mBackupPath)) {
      m_event.DebugLvl(2, sig, "Disk [%s] is already in the index as [%s], using index name [%s]",
                       args->mDisplayName.c_str(), args->mBackupPath.c_str(), args->mBackupPath.c_str());
      return args->mBackupPath;
    }
    if (!args->mDiskId.empty() && m_prevIdxMetadata.count(args->mDiskId)) {
      m_event.DebugLvl(2, sig, "Disk [%s] is already in the index as [%s], continuing to use old index name [%s]",
                       args->mDisplayName.c_str(), args->mDiskId.c_str(), args->mDiskId.c_str());
      return args->mDiskId;
    }
  }
  bool useOldNames = false;
  m_registry.GetEntry(REG_nUseOldIndexNames, useOldNames, false);
  if (useOldNames && !args->mDiskId.empty() && args->mBackupPath != args->mDiskId) {
    m_event.Debug(sig, "Forcing old index name [%s] for [%s]", args->mDiskId.c_str(), args->mBackupPath.c_str());
    args->mBackupPath = args->mDiskId;
  }
  m_event.DebugLvl(2, sig, "Using index name for virtual disk [%s] as [%s]", args->mDisplayName.c_str(),
                   args->mBackupPath.c_str());
  return args->mBackupPath;
}

bool QuarnWorker::ValidateChangeId(quarnBackupArgs* args, const std::string& changeId) {
  static const char* const sig = "bool QuarnWorker::ValidateChangeId(quarnBackupArgs*, const std::string&)";
  if (args->mHeaderKind == 4) return false;
  ++args->mChangeIdCheckedDisks;
  IVMInfo* vmInfo = args->mVMInfo != nullptr ? args->mVMInfo : m_vmInfo;
  if (vmInfo != nullptr && vmInfo->ValidateChangeId(args->mVMName, args->mBackupName, args->mDiskPath, changeId) != 0) {
    m_event.Debug(sig, "Change id [%s] for virtual disk [%s] is valid", changeId.c_str(), args->mDisplayName.c_str());
    return true;
  }
  ++args->mChangeIdFailedDisks;
  bool sendEvents = true;
  m_registry.GetEntry(REG_nSendCBTFailureEvents, sendEvents, true);
  if (sendEvents) {
    // An event object of this call's own: disk threads validate their change ids at once.
    EvEvent event;
    event << args->mDisplayName << args->mVMName;
    event.MinorEvent(kEventChangeIdInvalid);
  }
  m_event.Debug(sig, "Validation failed for Change id [%s] for virtual disk [%s]. The entire disk will be backed up",
                changeId.c_str(), args->mDisplayName.c_str());
  return false;
}

bool QuarnWorker::ChangeIdKnownToIndex(const quarnBackupArgs* args, const VSMeta* previous,
                                       const std::string& changeId) {
  static const char* const sig =
      "bool QuarnWorker::ChangeIdKnownToIndex(const quarnBackupArgs*, const IdxMetadata::VirtualServerIdxMetaData*, "
      "const std::string&)";
  const std::string indexed = previous != nullptr ? previous->getstring(VSMeta::F_changeId) : std::string();
  if (changeId.empty() || changeId == indexed) return true;
  // The file outlived the backup it was written for, or was never this disk's: the changes since it
  // are not the changes since what the index holds, and an incremental on it would restore wrong bytes.
  m_event.Error(sig, "WARNING change id [%s] of disk [%s] is not the one its last backup in the index ended at [%s]; "
                "the whole disk is read",
                changeId.c_str(), args->mDisplayName.c_str(), indexed.c_str());
  return false;
}

void QuarnWorker::OverwriteChangeIdForFailback(const quarnBackupArgs* args, bool full, std::string& changeId) {
  static const char* const sig =
      "void QuarnWorker::OverwriteChangeIdForFailback(const quarnBackupArgs*, bool, std::string&)";
  if (full || m_jobMgr == nullptr || !m_jobMgr->isFailbackBackup() || m_replicationInfo == nullptr ||
      m_mountCtx == nullptr)
    return;
  // The VM's disk threads come here at once: the list is read without making its slot.
  const CNMessageList& records = m_replicationInfo->getlistobject(App::VSAReplicationInfo::F_trackingIds);
  const bool azure = m_appMgr != nullptr && m_appMgr->isServerTypeAzure();
  using Tracking = App::VSAReplicationTrakingIdInfo;
  // Each disk of the inventory is keyed by its path, the one name the hypervisor's inventory gives it.
  for (const VMInfoStructs::SDisk& disk : m_mountCtx->vmInfo.disks) {
    for (const CNMessagePtr& record : records) {
      if (!record || record->getTagID() != Tracking::TAG) continue;
      const std::string id = record->getstring(Tracking::F_trackingId);
      if (record->getint64(Tracking::F_trackingIdValid) == 0 || id.empty()) continue;
      // Empty names match nothing: an empty text is "contained" in every other.
      const bool byPath = !args->mDiskPath.empty() && !disk.path.empty() &&
                          record->getstring(Tracking::F_text1).find(args->mDiskPath) != std::string::npos &&
                          record->getstring(Tracking::F_text9) == disk.path;
      const bool byIndexName = azure && !args->mBackupPath.empty() &&
                               _stricmp(record->getstring(Tracking::F_text13).c_str(), args->mBackupPath.c_str()) == 0;
      if (!byPath && !byIndexName) continue;
      changeId = id;
      m_event.Debug(sig, "Failback : OverWrite tracking Id [%s] for disk [%s]", id.c_str(),
                    byPath ? args->mDiskPath.c_str() : args->mDisplayName.c_str());
      break;
    }
  }
}

int QuarnWorker::BackupVMDisk(quarnBackupArgs* args) {
  static const char* const sig = "int QuarnWorker::BackupVMDisk(quarnBackupArgs*)";
  if (args == nullptr || args->mArchive == nullptr || args->mConfig == nullptr || m_appMgr == nullptr ||
      m_jobMgr == nullptr) {
    m_event.Error(sig, "Invalid input");
    return 10;
  }
  const bool v2 = m_appMgr->isUseIndexingV2Enabled();
  const long long jobId = m_jobMgr->getJobId();

  // ---- Set-up ----
  std::unique_ptr<QuarnCRCFile> crcFile(new QuarnCRCFile(this, v2));
  QuarnChangeIdFile changeIdFile(this);
  if (args->mBackupName.empty()) args->mBackupName = args->mVMGuid;
  m_event.DebugLvl(2, sig, "Starting...");
  int interval = 600;
  m_registry.GetEntry(REG_nBackupPerfCounterInterval, interval, 600);
  CMediaSpeedCounter readDisk, calcCRC;
  CAverageCounter readCRC, writeCRC;
  InitPerfCounter(readDisk, interval, jobId, "readdisk");
  InitPerfCounter(calcCRC, interval, jobId, "calcCRC");
  InitPerfCounter(writeCRC, interval, jobId, "writeCRC");
  InitPerfCounter(readCRC, interval, jobId, "readCRC");
  CMultiStreamMediaSpeedCounter* datastoreCounter =
      m_controller != nullptr ? m_controller->GetDatastoreMediaSpeedCounter(args->mDatastore) : nullptr;
  if (datastoreCounter == nullptr) {
    m_event.Error(sig, "Failed to get datastore media speed counter for [%s]", args->mDatastore.c_str());
    return kResultNoCounter;
  }
  args->mArchive->ResetPerfCounters(jobId, interval);

  // ---- Index name and extent size ----
  args->mBackupPath = GetDiskIndexNameInUse(args);
  // The block says incremental, the mount full: the hypervisor asked for a full backup of the VM.
  const bool fullForcedForVM = m_currentArgs != nullptr && m_currentArgs->mBackupLevel == 2 && m_mountCtx != nullptr &&
                               m_mountCtx->vmBackupLevel == 1;
  if (fullForcedForVM)
    m_event.Debug(sig, "Forcing full backup of disk: [%s], because a full backup is forced for VM: [%s]",
                  args->mDiskPath.c_str(), args->mVMName.c_str());
  bool full = true;
  uint32_t extentSize = 0;
  const VSMeta* previous = PreviousEntry(m_prevIdxMetadata, args->mBackupPath);
  if (previous != nullptr) {
    extentSize = static_cast<uint32_t>(previous->getint64(VSMeta::F_extentSize));
    m_event.Debug(sig, "Disk [%s] extent size [%u]", args->mBackupPath.c_str(), extentSize);
    if (!QuarnUtils::IsExtentSizeValid(extentSize, args->mDiskType))
      m_event.Debug(sig, "Warning: [%d] is not a valid extent size value for disk [%s] Type: [%d]. Disk will be backed up as full",
                    static_cast<int>(extentSize), args->mBackupPath.c_str(), static_cast<int>(args->mDiskType));
    else
      full = false;
  }
  if (IsFullBackupForVM()) full = true;
  if (full) {
    crcFile->ForceFullBackup();
    changeIdFile.ForceFullBackup();
    args->mDiskRefPoint = false;
    int configured = 0;
    m_registry.GetEntry(REG_nExtentSize, configured, 0);
    if (configured > 0 && QuarnUtils::IsExtentSizeValid(static_cast<unsigned int>(configured), args->mDiskType)) {
      extentSize = static_cast<uint32_t>(configured);
      m_event.Debug(sig, "Using extent size of [%d] from registry", configured);
    } else {
      m_event.Debug(sig, "Using default extent size");
    }
  }
  const ProductType_t productType = args->mConfig->getProductType(*m_appMgr);
  if (productType == kProductUnknown) {
    m_event.Error(sig, "Unknown product type [%d] productType", static_cast<int>(productType));
    return kResultNoCounter;
  }

  // ---- Checksums or change ids ----
  bool checksums = true;
  bool ignoreChangeId = false;
  int setting = 0;
  m_registry.GetEntry(REG_nSkipCRCProcessing, setting, 0);
  if (setting != 0) {
    m_event.Debug(sig, "CRC processing is disabled");
    checksums = false;
  }
  setting = 0;
  m_registry.GetEntry(REG_nIgnoreChangeId, setting, 0);
  if (setting != 0) {
    m_event.Debug(sig, "Change Id will be ignored during backup");
    ignoreChangeId = true;
  }
  if (!m_appMgr->isUseCBTEnabled()) ignoreChangeId = true;
  const std::string supplied = args->mFileName;
  std::string previousChangeId;
  const bool useChangeTracking = m_mountCtx != nullptr && m_mountCtx->useCBT;
  if (!supplied.empty() && !ignoreChangeId) {
    if (m_appMgr->isServerTypeVMWare() || m_appMgr->isServerTypeAzure() || m_appMgr->isServerTypeFusionCompute() ||
        m_appMgr->isServerTypeNutanix() || m_appMgr->isServerTypeOpenStack() || m_appMgr->isServerTypeAmazon()) {
      m_event.Debug(sig, "Disabling CRC Processing as change Id [%s] is supplied", supplied.c_str());
      checksums = false;
    }
    if (m_appMgr->isServerTypeMS()) {
      checksums = !args->mVMRefPoint;
      if (checksums)
        m_event.Debug(sig, "Backup will use changeId along with CRC. Change Id [%s] has been supplied", supplied.c_str());
      else
        m_event.Debug(sig, "Disabling CRC Processing as change Id [%s] is supplied", supplied.c_str());
    }
    unsigned long long withCBT = 0;
    if (ZTPlatformInfo().getNumber("VirtualServer", "bEnableCRCWithCBT", &withCBT) && withCBT != 0) {
      checksums = true;
      m_event.Debug(sig, "Backup will perform CRC processing along with CBT as RegKey is set. ChangeID [%s] has been supplied",
                    supplied.c_str());
    }
    if (!full) {
      if (v2) {
        if (previous != nullptr) previousChangeId = previous->getstring(VSMeta::F_changeId);
      } else if (!changeIdFile.ReadChangeID(args->mVMGuid, args->mBackupPath, previousChangeId) ||
                 !ChangeIdKnownToIndex(args, previous, previousChangeId)) {
        previousChangeId.clear();
      }
    }
    OverwriteChangeIdForFailback(args, full, previousChangeId);
    if (!previousChangeId.empty()) {
      m_event.Debug(sig, "Using change Id [%s] from most recent successful backup", previousChangeId.c_str());
      if (!ValidateChangeId(args, previousChangeId)) previousChangeId.clear();
    }
  } else if (m_appMgr->isServerTypeMS() && args->mVMRefPoint && useChangeTracking) {
    m_event.Debug(sig, "Disabling CRC Processing as VM reference point has been supplied");
    if (!args->mDiskRefPoint)
      m_event.Debug(sig, "No changeID available from previous backup job. Backup of disk will be a FULL backup");
    checksums = false;
  }

  // ---- Checksum tables ----
  quarnGenericMethodCleanup guard;
  if (checksums) {
    if (m_appMgr->isServerTypeMS() && useChangeTracking && !supplied.empty() && previousChangeId.empty()) {
      m_event.Debug(sig, "Forcing FULL backup of disk [%s] index name [%s] as previous changeID is empty",
                    args->mDisplayName.c_str(), args->mBackupPath.c_str());
      crcFile->ForceFullBackup();
    }
    std::string vmKey = args->mVMGuidForFiles, diskKey = args->mBackupPath;
    if (m_appMgr->getInstanceType() == kInstanceGoogleKeyedByAppId) {
      const size_t underscore = diskKey.rfind('_');
      if (underscore != std::string::npos) diskKey = diskKey.substr(underscore + 1);
      vmKey = m_currentVM != nullptr
                  ? std::to_string(m_currentVM->collect.getint64(VirtualServer::VMCollect::F_subclientId))
                  : std::string("0");
    }
    // Checksums of the last backup that cannot be had must not fail every later incremental of the
    // disk: this one reads the disk whole (with the extent size of its chain) into fresh tables, and
    // the next one has this job's checksums to compare with.
    auto readWhole = [&](const char* what) {
      m_event.Error(sig, "The check sums of disk [%s] %s; backing the disk up in full", args->mDisplayName.c_str(),
                    what);
      delete guard.m_prevCrcTable;
      delete guard.m_crcTable;
      guard.m_prevCrcTable = guard.m_crcTable = nullptr;
      crcFile.reset(new QuarnCRCFile(this, v2));
      crcFile->ForceFullBackup();
      full = true;
      previousChangeId.clear();
      return crcFile->InitCRCTables(vmKey, diskKey, args->mDiskType, guard.m_prevCrcTable, guard.m_crcTable);
    };
    if (!crcFile->InitCRCTables(vmKey, diskKey, args->mDiskType, guard.m_prevCrcTable, guard.m_crcTable) &&
        (full || !readWhole("of the last backup could not be read")))
      return kResultFailed;
    if (v2 && !full && !IsFullBackupForVM()) {
      QuarnIdxBrowseClientResp loader(guard.m_prevCrcTable, args->mVMGuid);
      const unsigned long subclientId =
          m_currentVM != nullptr
              ? static_cast<unsigned long>(m_currentVM->collect.getint64(VirtualServer::VMCollect::F_subclientId))
              : 0;
      // A table the index filled in part would take extents it does not hold for new ones: it is
      // dropped whole.
      if ((m_controller == nullptr ||
           !m_controller->GetVMDiskExtentsCRC(args->mVMGuid, args->mBackupPath, subclientId, &loader)) &&
          !readWhole("of the last backup could not be had from the index"))
        return kResultFailed;
    }
  }

  // ---- The backup it builds on ----
  // Recorded with the disk, so that a restore finds a lost or damaged backup between this one and the
  // disk's last full from what this job read, not only from the archives it happens to find.
  args->mBaseJobId = 0;
  args->mBaseChangeId.clear();
  if (!full && !IsFullBackupForVM() && previous != nullptr) {
    const int64_t baseJob = previous->getint64(VSMeta::F_diskJobId);
    args->mBaseJobId = baseJob > 0 ? baseJob : -1;
    args->mBaseChangeId = previous->getstring(VSMeta::F_changeId);
  }

  // ---- Requests ----
  if (m_currentVM != nullptr) args->mArchive->sendVMUpdateInfo(m_currentVM->updateInfo);
  int count = 20;
  quarnExtentReq single;
  DetermineAndInitBackupRequestsForDisk(guard, count, &single);
  BackupThreadObjsSync hub(this, args, static_cast<uint64_t>(count));
  uint64_t extentsSent = 0;
  for (int i = 0; i < count; ++i) {
    quarnExtentReq& req = guard.m_reqs[i];
    req.archive = args->mArchive;
    req.crcCounter = &calcCRC;
    req.readCRCCounter = &readCRC;
    req.writeCRCCounter = &writeCRC;
    req.newCRCTable = guard.m_crcTable;
    req.prevCRCTable = IsFullBackupForVM() ? nullptr : guard.m_prevCrcTable;
    req.sentCount = &extentsSent;
    req.vmName = args->mVMName;
    req.diskName = args->mBackupPath;
    hub.pushBkpReqToReadDiskList(&req, false);
  }

  // ---- Disk reader ----
  CPxError openError;
  {
    ZtCriticalSectionLock lock(&m_readerLock);
    guard.m_vDiskFile = new CArchiveVirtualDiskFile(static_cast<int>(productType));
    CArchiveVirtualDiskFile* reader = guard.m_vDiskFile;
    reader->SetVMInfo(args->mVMInfo, args->mVMName, args->mBackupName, args->mMountCtx, nullptr);
    reader->SetVMDiskGuid(m_appMgr->getInstanceType() == kInstanceDiskName2 ? args->mDiskName2 : args->mBackupPath);
    reader->SetChangeId(previousChangeId);
    reader->SetExtentSize(extentSize);
    openError = reader->Open(args->mDiskPath, args->mDiskType);
    guard.m_vDiskFileOpen = openError.IsSuccess();
    if (IsDelayedDiskAttach()) {
      // A disk attached on its own is looked into on its own; its ranges stay on this disk's block.
      quarnDiskConfig diskConfig;
      diskConfig.SetMountPath(m_mountCtx != nullptr ? m_mountCtx->mountPath : std::string());
      diskConfig.SetMountIndexForLVMDisks(args->mMountIndex);
      m_event.Debug(sig, "Preprocessing disk [%s][type=%d] of vm [%s]", args->mDiskPath.c_str(),
                    static_cast<int>(args->mDiskType), args->mVMName.c_str());
      if (PreProcessExtentsForBackupDisk(*args, &diskConfig))
        m_event.Debug(sig, "Preprocessing of disk [%s] of vm [%s] successful", args->mDiskPath.c_str(),
                      args->mVMName.c_str());
      else
        m_event.Error(sig, "WARNING failed to preprocess disk [%s] of vm [%s] for backup", args->mDiskPath.c_str(),
                      args->mVMName.c_str());
    }
    if (m_appMgr->isServerTypeOpenStack() || m_appMgr->isServerTypeMS() ||
        m_appMgr->isServerTypeOracleCloudInfrastructure() || m_appMgr->isServerTypeAliCloud()) {
      const std::string physicalPath = reader->GetPhysicalDiskPath();
      if (!physicalPath.empty()) DetectGuestOS(physicalPath);
    }
  }
  CArchiveVirtualDiskFile* reader = guard.m_vDiskFile;
  if (openError.IsError()) {
    m_event.Error(sig, "Failed to open virtual disk [%s],  [%s]", args->mDiskPath.c_str(), openError.AsString().c_str());
    if (m_currentVM != nullptr && m_mountCtx != nullptr)
      CheckJyNTFSError(reader, openError, m_vmInfo, *m_mountCtx, m_currentVM->failureReason, m_currentVM->failureEvent);
    return kResultOpenFailed;
  }
  reader->SetDiskSize(args->mMaxDiskSize, args->mFileSize);
  // A volume's record carries no size: the size its reader finds is the volume's, for its header, index
  // entry and content record, or a restore would give back an empty volume.
  if (args->mMaxDiskSize == 0 && args->mFileSize == 0) args->mMaxDiskSize = args->mFileSize = reader->GetDiskSize();

  // ---- Filtered sectors and the first block ----
  const bool skipPageFile = m_mountCtx != nullptr && m_mountCtx->skipPageFileExtents;
  if ((!args->mSectorsNotToBackup2.empty() || skipPageFile) && !m_jobMgr->isSnapBackup() &&
      !m_jobMgr->isSnapCatalogMode())
    ApplySectorsNotToBackup(*args, *reader);
  CArchiveVirtualDiskFile::Context_t ctx;
  quarnExtentReq& first = guard.m_reqs[0];
  datastoreCounter->Start();
  readDisk.Start();
  CPxError firstError = reader->GetFirstBlock(first.data, extentSize, ctx);
  readDisk.Stop(first.data.Size());
  datastoreCounter->Stop(first.data.Size());
  if (firstError.IsError()) {
    m_event.Error(sig, "Failed to read first block from virtual disk [%s],  [%s]", args->mDiskPath.c_str(),
                  firstError.AsString().c_str());
    if (m_currentVM != nullptr && m_mountCtx != nullptr)
      CheckJyNTFSError(reader, firstError, m_vmInfo, *m_mountCtx, m_currentVM->failureReason, m_currentVM->failureEvent);
    return kResultReadFailed;
  }
  const bool keepFirstBlock = !(m_jobMgr->isFailbackBackup() &&
                                (m_appMgr->getInstanceType() == 301 || m_appMgr->getInstanceType() == 401 ||
                                 m_appMgr->getInstanceType() == 402 || m_appMgr->getIsCrossVendorFailback()));
  extentSize = static_cast<uint32_t>(ctx.sectorsPerExtent);
  args->mExtentSize = extentSize;
  m_event.Debug(sig, "Extent Size [%d] bytes [%d] sectors [%d] bytes per sector",
                static_cast<int>(extentSize * ctx.unitSize), static_cast<int>(extentSize), static_cast<int>(ctx.unitSize));
  if (keepFirstBlock && first.data.Size() > 0) {
    if (v2) {
      std::string text;
      const int code = CAscii85::Encode(first.data.Ptr(), first.data.Size(), text);
      if (code != CAscii85::kOk) {
        m_event.Error(sig,
                      "Failed to encode Vol header with errorcode [%d] [%s]. Backup of this volume/disk cannot continue "
                      "due to the metadata failure",
                      code, args->mDisplayName.c_str());
        return kResultVolumeHeader;
      }
      args->mIndexText.swap(text);
    } else {
      const std::string path = GetSubclientDirectory() + "/VolHdr(" + args->mVMGuidForFiles + "_" + args->mBackupPath + ").imf";
      const int code = writeMetadataFile(first.data.Ptr(), first.data.Size(), path);
      if (code != 0) {
        m_event.Error(sig, "Backup of this volume/disk cannot continue due to the metadata failure");
        return code;
      }
      AddVMMetadataFile(path);
    }
  }
  // The probe's buffer is the first request's: the reading loop refills it for extent 0.

  // ---- In-image disks and the pipeline's stages ----
  bool backUpData = true;
  if (args->mDiskRefPoint) {
    if (previous != nullptr && m_controller != nullptr && m_currentVM != nullptr) {
      m_controller->SendInImageDiskHeader(
          args->mVMGuid, args->mBackupPath, args->mDisplayName,
          static_cast<unsigned long>(m_currentVM->collect.getint64(VirtualServer::VMCollect::F_subclientId)),
          static_cast<unsigned long>(m_currentVM->collect.getint64(VirtualServer::VMCollect::F_vmJobId)),
          static_cast<ZTBkpLevel>(args->mBackupLevel),
          m_currentVM->collect.getstring(VirtualServer::VMCollect::F_text64));
      backUpData = false;
    } else {
      m_event.Debug(sig, "Disk [%s] not found in index. Disk will be backed up as full", args->mBackupPath.c_str());
      args->mDiskRefPoint = false;
    }
  }
  if (backUpData) {
    char headerPath[1024];
    const int written = std::snprintf(headerPath, sizeof(headerPath), args->mConfig->getFileHeaderAncestorFormatString(),
                                      args->mVMGuid.c_str(), args->mBackupPath.c_str());
    if (written < 0 || static_cast<size_t>(written) >= sizeof(headerPath)) {
      m_event.Error(sig, "The item name of disk [%s] of VM [%s] is too long", args->mBackupPath.c_str(),
                    args->mVMGuid.c_str());
      return 10;
    }
    hub.SetDiskFileHeaderPath(headerPath);
    bool fixedNames = false;
    if (m_controller != nullptr) m_controller->GetUseFixedLengthExtentNames(fixedNames);
    hub.SetUseFixedLengthExtentNames(fixedNames);
    const bool crcStarted = !checksums || args->mCRCThread.Create(&QuarnWorker::CRCExtentProcessorStatic, &hub, "crc");
    const bool archiveStarted = crcStarted && args->mArchiveThread.Create(&QuarnWorker::ArchiveExtentProcessorStatic, &hub, "archive");
    if (!archiveStarted) {
      // Without its stages the reading loop would wait for requests that never come back.
      m_event.Error(sig, "Failed to start the pipeline threads of disk [%s]", args->mDisplayName.c_str());
      hub.pushBkpReqToCRCList(nullptr, false);
      args->mCRCThread.Join();
      return kResultFailed;
    }
    m_event.Debug(sig, "Backing up disk/volume [%s]  [%s] bytes", args->mDisplayName.c_str(),
                  IntToCommaString(static_cast<long long>(args->mMaxDiskSize)).c_str());
  }

  // ---- Data ----
  int skipData = 0;
  m_registry.GetEntry(REG_nSkipDataBackup, skipData, 0);
  if (skipData != 0) {
    if (!g_skipDataWarned.exchange(true))
      m_event.Error(sig,
                    "=====WARNING====== SKIPPING THE DATA BACKUP OF THE VM(S) AS PER USER's REGISTY ENTRIES. FOR TESTING "
                    "USE ONLY");
    if (backUpData) {
      hub.pushBkpReqToCRCList(nullptr, false);
      hub.pushBkpReqToArchiveList(nullptr, false);
      args->mCRCThread.Join();
      args->mArchiveThread.Join();
    }
  } else if (backUpData) {
    const int result =
        _BackupVMDisk(args, guard, count, hub, calcCRC, readDisk, datastoreCounter, ctx, checksums);
    if (result != 0) return result;
  }

  // ---- Closing ----
  reader->Close();
  guard.m_vDiskFileOpen = false;
  if ((args->mHeaderKind & 4) == 0) {
    if (!supplied.empty() && !ignoreChangeId) {
      m_event.Debug(sig, "Saving change Id [%s] in index cache for this job", supplied.c_str());
      if (!v2) changeIdFile.WriteChangeID(args->mVMGuid, args->mBackupPath, supplied, fullForcedForVM);
    }
    if (checksums) crcFile->CloseCRCTables(args->mVMGuid, args->mBackupPath, args->mDiskType, guard.m_prevCrcTable, guard.m_crcTable);
  }
  // Every extent went through this job's table: the guard may keep it if it is still open.
  guard.m_crcTableComplete = true;

  VirtualServer::VMContentRecord record;
  record.setstring(VirtualServer::VMContentRecord::F_guid, args->mVMGuid);
  record.setstring(VirtualServer::VMContentRecord::F_indexName, args->mBackupPath);
  record.setstring(VirtualServer::VMContentRecord::F_displayName, args->mDisplayName);
  if (!args->mProxyName.empty()) record.setstring(VirtualServer::VMContentRecord::F_proxyName, args->mProxyName);
  record.setint64(VirtualServer::VMContentRecord::F_flags,
                  record.getint64(VirtualServer::VMContentRecord::F_flags) | static_cast<int64_t>(args->mHeaderKind) | 1);
  record.setint64(VirtualServer::VMContentRecord::F_extentSize, extentSize);
  record.setint64(VirtualServer::VMContentRecord::F_fileSize, static_cast<int64_t>(args->mFileSize));
  record.setint64(VirtualServer::VMContentRecord::F_allocatedSize, static_cast<int64_t>(args->mAllocatedSize));
  record.setint64(VirtualServer::VMContentRecord::F_productType, static_cast<int64_t>(productType));
  record.setint64(VirtualServer::VMContentRecord::F_diskType, m_jobMgr->isSnapBackup() ? 2 : args->mDiskType);
  const int inserted = insertContentMapTable(record);
  if (inserted != 0) {
    m_event.Error(sig, "Failed to insert record in VM to content map table, retcode [%d]", inserted);
    return kResultContentRecord;
  }
  {
    ZtCriticalSectionLock lock(&m_extentSizeLock);
    m_extentSizes[args->mBackupPath] = extentSize;
  }
  m_event.Debug(sig,
                "Backup done for volume/disk [%s], number of extents backed up [%lld]  number of empty extents [%lld]  "
                "number of unchanged extents [%lld]",
                args->mDisplayName.c_str(), static_cast<long long>(extentsSent),
                static_cast<long long>(hub.GetEmptyExtents()), static_cast<long long>(hub.GetUnchangedExtents()));
  bool dumpCBTStats = false;
  m_registry.GetEntry(REG_bDumpZTCBTStats, dumpCBTStats, false);
  if (dumpCBTStats && m_appMgr->isServerTypeMS() && !IsFullBackupForVM() && m_appMgr->isUseCBTEnabled() &&
      !m_jobMgr->isSnapBackup() && args->mHeaderKind != 4)
    DumpCBTStatistics(args, previousChangeId, guard, extentsSent);
  args->mArchive->sendVMDiskPerfCounters(args->mVMName, args->mDisplayName, readDisk, calcCRC);
  args->mArchive->PrintPerfCounters();
  PrintAndResetCounters(sig, readDisk, checksums ? &calcCRC : nullptr, checksums ? &readCRC : nullptr,
                        checksums ? &writeCRC : nullptr);
  return 0;
}

void QuarnWorker::PrintAndResetCounters(const char* sig, CMediaSpeedCounter& readDisk, CMediaSpeedCounter* calcCRC,
                                        CAverageCounter* readCRC, CAverageCounter* writeCRC) {
  m_event.Debug(sig, "%s", readDisk.Print().c_str());
  readDisk.Reset();
  if (calcCRC != nullptr) {
    m_event.Debug(sig, "%s", calcCRC->Print().c_str());
    calcCRC->Reset();
  }
  for (CAverageCounter* counter : {readCRC, writeCRC}) {
    if (counter == nullptr) continue;
    m_event.Debug(sig, "%s", counter->Print().c_str());
    counter->Reset();
  }
}

void QuarnWorker::DumpCBTStatistics(const quarnBackupArgs* args, const std::string& previousChangeId,
                                    const quarnGenericMethodCleanup& /*guard*/, uint64_t extentsSent) {
  // The hypervisor's change tracking keeps no statistics this system could read; what the backup
  // knows of the disk's changes is put on record for whoever turned the dump on.
  m_event.Debug("void QuarnWorker::DumpCBTStatistics(quarnBackupArgs*, std::string, quarnGenericMethodCleanup&, UINT64)",
                "CBT statistics of disk [%s]: previous change id [%s], [%llu] extents backed up",
                args->mDisplayName.c_str(), previousChangeId.c_str(), static_cast<unsigned long long>(extentsSent));
}

void QuarnWorker::ApplySectorsNotToBackup(quarnBackupArgs& args, CArchiveVirtualDiskFile& reader) {
  static const char* const sig = "void QuarnWorker::ApplySectorsNotToBackup(quarnBackupArgs&, CArchiveVirtualDiskFile&)";
  std::vector<VMInfoStructs::SectorRange> ranges;
  args.GetDiskSectorsNotToBackup(args.mMountIndex, ranges);
  // The ranges of this disk are used up; the other disks' stay for them (on the worker thread the
  // disks share one block).
  args.mSectorsNotToBackup2.erase(args.mMountIndex);
  if (ranges.empty()) return;
  // The guest counts in the disk's sectors, the reader in 512-byte ones.
  const uint32_t sectorSize = args.mSectorSize == 0 ? CArchiveVirtualDiskFile::kSectorBytes : args.mSectorSize;
  if (sectorSize % CArchiveVirtualDiskFile::kSectorBytes != 0) {
    m_event.Error(sig, "Disk [%s] has sectors of [%u] bytes: no sector of it is left out", args.mDisplayName.c_str(),
                  sectorSize);
    return;
  }
  const uint64_t factor = sectorSize / CArchiveVirtualDiskFile::kSectorBytes;
  uint64_t sectors = 0;
  for (VMInfoStructs::SectorRange& range : ranges) {
    range.first *= factor;
    range.last = range.last * factor + factor - 1;
    sectors += range.last - range.first + 1;
  }
  m_event.Debug(sig, "Leaving [%llu] sectors in [%zu] range(s) of disk [%s] out of the backup",
                static_cast<unsigned long long>(sectors), ranges.size(), args.mDisplayName.c_str());
  reader.SetFilteredSectors(ranges);
}
