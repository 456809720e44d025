// Guest metadata of a VM: the disks registered with the layout object for a metadata run, the run's
// results taken back into the VM's argument block (sectors left out of the backup, guest size,
// partition types for guest OS detection), metadata extents from indexing, and the guest size.
#include "controller/QuarnController.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/os/CPxString.h"
#include "platform/sim/vsSim.h"
#include "platform/vminfo/IVMInfo.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr uint32_t kFlagUsedSpace = 1;
constexpr uint32_t kFlagPageFile = 2;
constexpr uint32_t kFlagFreeSectors = 8;
constexpr uint32_t kFlagLiveBrowse = 16;
constexpr uint32_t kFlagPartitionTypes = 32;
constexpr uint32_t kDefaultMetadataExtentSectors = 2048;
constexpr uint32_t kPageFileExtentSectors = 512;
constexpr uint32_t kMaxSupportedSectorSize = 512;
constexpr int kResultInvalidInput = 10;
constexpr int kResultDisksNotAdded = 126;
const char kDefaultFBRFileSystems[] = "ext2;ext3;ext4;XFS;JFS;Btrfs";

}  // namespace

void QuarnWorker::InitMetadataProcessingArgs(doMetadataProcessingArgs& metadata, uint32_t flags,
                                             std::map<std::string, std::vector<std::string>>* fileMap) {
  static const char* const sig =
      "void QuarnWorker::InitMetadataProcessingArgs(doMetadataProcessingArgs&, UINT32, std::map<std::string, std::vector<std::string>>*)";
  metadata.mResultsDir = m_subclientFiles.subclientDir;
  metadata.mVMInfo = m_vmInfo;
  metadata.mMountCtx = m_mountCtx;
  if (m_currentVM != nullptr) {
    metadata.mVMName = m_currentVM->vmName;
    metadata.mVMGuid = m_currentVM->vmGuid;
  }
  metadata.mBackupName = m_mountCtx != nullptr ? m_mountCtx->backupName : std::string();
  metadata.mExtentSizeSectors = m_metadataExtentSize;
  metadata.mFileMap = fileMap;
  metadata.mFlags = flags;
  metadata.mUsedSpace = 0;
  if (flags & kFlagPageFile) {
    bool onlyFirst = false;
    m_registry.GetEntry(REG_bOnlySkipFirstPageFile, onlyFirst, false);
    metadata.mOnlySkipFirstPageFile = onlyFirst;
    m_event.Debug(sig, "Registry setting [bOnlySkipFirstPageFile] : [%s]", onlyFirst ? "ON" : "OFF");
  }
  const bool linuxFBR = m_appMgr != nullptr && !m_appMgr->GetLinuxFBRMA().empty();
  if (linuxFBR) {
    metadata.mLinuxFBR = true;
    metadata.mFBRFileSystems = kDefaultFBRFileSystems;
    std::string fileSystems;
    m_registry.GetEntry(REG_sFBRFileSystems, fileSystems, kDefaultFBRFileSystems);
    if (!fileSystems.empty()) metadata.mFBRFileSystems = fileSystems;
  }
  bool allowPartial = !linuxFBR, driveLetters = true, skipSysHive = false;
  m_registry.GetEntry(REG_bAllowPartialVMMetadata, allowPartial, !linuxFBR);
  m_registry.GetEntry(REG_bEnableVolDriveLetters, driveLetters, true);
  m_registry.GetEntry(REG_bSkipSysHiveFileLoad, skipSysHive, false);
  metadata.mAllowPartialMetadata = allowPartial;
  metadata.mEnableVolDriveLetters = driveLetters;
  metadata.mSkipSysHiveFileLoad = skipSysHive;
}

// The extent size a disk is read in (known once the disk was backed up), else the default.
static uint32_t MetadataExtentSize(QuarnWorker& worker, QuarnRegistry& registry, EvEvent& event,
                                   const quarnBackupArgs& args) {
  uint32_t size = worker.GetDiskExtentSize(args.mBackupPath);
  if (size != 0) return size;
  int configured = 0;
  registry.GetEntry(REG_nExtentSize, configured, 0);
  size = configured > 0 ? static_cast<uint32_t>(configured) : kDefaultMetadataExtentSectors;
  event.Debug("int QuarnWorker::AddDiskForMetadataCollection(quarnBackupArgs*, UINT32)",
              "Using default extent size of [%d] sectors for metadata collection on disk [%s]", static_cast<int>(size),
              args.mDiskPath.c_str());
  return size;
}

void QuarnWorker::QueueVolumeForMetadataCollection(const quarnBackupArgs& args, quarnConfig& config) {
  static const char* const sig = "int QuarnWorker::AddDiskForMetadataCollection(quarnBackupArgs*, UINT32)";
  MountCtx* ctx = args.mMountCtx != nullptr ? args.mMountCtx : m_mountCtx;
  if (m_jobMgr == nullptr || !m_jobMgr->isCollectMetadataEnabled() || m_vmInfo == nullptr || ctx == nullptr ||
      m_vmInfo->AddDiskForMetadata(*ctx) == 0)
    return;
  quarnConfig::SetQuitFlagCallback(&QuarnWorker::CallbackStatic, 1, this);
  if (config.addVolumeForMetadataCollection(args.mBackupPathCopy, args.mBackupPath, m_metadataExtentSize) != 0)
    m_event.Error(sig, "Failed to add volume for metadata collection processing");
  else
    m_event.DebugLvl(2, sig, "Volume added for Metadata collection processing...");
}

int QuarnWorker::RegisterDiskForMetadata(quarnBackupArgs& args, quarnConfig& config, ProductType_t product, bool last,
                                         bool fetchExtents) {
  static const char* const sig = "int QuarnWorker::AddDiskForMetadataCollection(quarnBackupArgs*, UINT32)";
  if (m_appMgr->isServerTypeMS() && !args.mInActiveChain) {
    m_event.Debug(sig, "Disk [%s] is not part of active VM configuration. Skipping this disk for LVM processing",
                  args.mDiskPath.c_str());
    return 0;
  }
  config.addDiskForLVMProcessing(product, args.mDiskPath, args.mDiskName2, args.mDiskType, args.mBackupPath.c_str(),
                                 m_metadataExtentSize, args.mSectorSize, last);
  m_event.DebugLvl(2, sig, "Added [%s] for LVM processing", args.mDiskPath.c_str());
  bool optimization = false, query = true;
  m_registry.GetEntry(REG_bEnableMetadataRestoreOptimization, optimization, false);
  if (optimization) m_registry.GetEntry(REG_bEnableQueryIndexingForMetadataExtents, query, true);
  if (fetchExtents && m_appMgr->isUseIndexingV2Enabled() && optimization && query) {
    GetMountExtentsFromIndexing(args.mBackupPath);
    GetMFTExtentsFromIndexing(args.mBackupPath);
  }
  return 0;
}

int QuarnWorker::AddDiskForMetadataExtentsCollection(quarnBackupArgs* args, quarnConfig* config) {
  if (args == nullptr || config == nullptr || m_appMgr == nullptr) return 0;
  const ProductType_t product = config->getProductType(*m_appMgr);
  m_metadataExtentSize = MetadataExtentSize(*this, m_registry, m_event, *args);
  return RegisterDiskForMetadata(*args, *config, product, true, true);
}

int QuarnWorker::AddDiskForMetadataCollection(quarnBackupArgs* args, uint32_t flags) {
  if (args == nullptr || args->mConfig == nullptr || m_appMgr == nullptr) return 0;
  quarnConfig& config = *args->mConfig;
  const ProductType_t product = config.getProductType(*m_appMgr);
  m_metadataExtentSize = MetadataExtentSize(*this, m_registry, m_event, *args);
  QueueVolumeForMetadataCollection(*args, config);
  return RegisterDiskForMetadata(*args, config, product, false, (flags & kFlagLiveBrowse) != 0);
}

int QuarnWorker::AddDisksForMetadataCollection(quarnBackupArgs* args, uint32_t flags) {
  static const char* const sig = "int QuarnWorker::AddDisksForMetadataCollection(quarnBackupArgs*, UINT32)";
  if (args == nullptr || m_config == nullptr || m_appMgr == nullptr) return kResultInvalidInput;
  if (m_config->getLVMDiskCount() != 0) {
    m_event.Debug(sig, "VMName [%s] disk(s) already added for metadata collection", args->mVMName.c_str());
    return 0;
  }
  // The walk fills a block of its own: the VM's block keeps the object it holds.
  quarnBackupArgs walk = *args;
  walk.mConfig = m_config;
  int result = 0;
  m_config->resetGetNextBkpObj();
  for (m_config->getNextBkpObj(&walk); !walk.mBackupPath.empty(); m_config->getNextBkpObj(&walk)) {
    if (walk.mObjectKind != 1) continue;
    walk.mBackupPath = GetDiskIndexNameInUse(&walk);
    if (m_config->isInFilterList(walk.mDisplayName, *m_appMgr)) continue;
    if ((result = AddDiskForMetadataCollection(&walk, flags)) != 0) break;
  }
  // A walk stopped early leaves its record's disk unhanded: end the walk so every added disk counts.
  while (!walk.mBackupPath.empty()) m_config->getNextBkpObj(&walk);
  return result;
}

int QuarnWorker::AddDisksForPageFileSectorEnum(quarnBackupArgs* args) {
  static const char* const sig = "int QuarnWorker::AddDisksForPageFileSectorEnum(quarnBackupArgs*)";
  if (args == nullptr || m_config == nullptr || m_appMgr == nullptr) return 0;
  quarnBackupArgs walk = *args;
  walk.mConfig = m_config;
  const ProductType_t product = m_config->getProductType(*m_appMgr);
  m_config->resetGetNextBkpObj();
  for (m_config->getNextBkpObj(&walk); !walk.mBackupPath.empty(); m_config->getNextBkpObj(&walk)) {
    if (walk.mObjectKind != 1) continue;
    walk.mBackupPath = GetDiskIndexNameInUse(&walk);
    if (m_config->isInFilterList(walk.mDisplayName, *m_appMgr)) {
      m_event.DebugLvl(2, sig, "[VM File Filter] Skipping filtered disk [%s] for page file sector enumeration",
                       walk.mDiskPath.c_str());
      continue;
    }
    m_metadataExtentSize = kPageFileExtentSectors;
    if (m_appMgr->isServerTypeMS() && !walk.mInActiveChain) {
      m_event.Debug(sig, "Disk [%s] is not part of active VM configuration. Skipping this disk for page file sector enumeration",
                    walk.mDiskPath.c_str());
      continue;
    }
    m_config->addDiskForLVMProcessing(product, walk.mDiskPath, walk.mDiskName2, walk.mDiskType,
                                      walk.mBackupPath.c_str(), m_metadataExtentSize, walk.mSectorSize, false);
    m_event.DebugLvl(2, sig, "[VM File Filter] Added VM disk [%s] for page file sector enumeration",
                     walk.mDiskPath.c_str());
  }
  return 0;
}

void QuarnWorker::GetMetadataExtentsFromIndexing(const std::string& disk, bool metadata) {
  static const char* const sig = "void QuarnWorker::GetMetadataExtentsFromIndexing(const std::string&, bool)";
  if (m_controller == nullptr || m_currentVM == nullptr) return;
  bool granularRecalls = false;
  ZTPlatformInfo().getBoolean("VirtualServer", "bEnableGranularRecalls", &granularRecalls);
  const char* kind = metadata ? "metadata" : "mount";
  m_event.Debug(sig, "Starting indexing query to fetch %s extents for disk [%s].", kind, disk.c_str());
  ExtentInfoSet extents;
  const uint64_t flag = metadata ? ExtentInfo::kFileSystemMetadata : ExtentInfo::kMountExtent;
  auto add = [&](uint64_t extent, const std::string& bitmap) {
    ExtentInfo info(extent, flag, 0);
    if (!bitmap.empty() && granularRecalls) {
      info.SetMetadataClusterBitmap(bitmap);
      info.mFlags |= ExtentInfo::kHasBitmap;
    }
    extents.insert(info);  // an extent already there keeps its first record
  };
  if (metadata)
    m_controller->GetMFTExtentsFromIndexing(*m_currentVM, disk, add);
  else
    m_controller->GetMountExtentsFromIndexing(*m_currentVM, disk, add);
  size_t added = 0;
  {
    ZtCriticalSectionLock lock(&m_metadataExtentsLock);
    ExtentInfoSet& known = m_metadataExtents[disk];
    for (const ExtentInfo& extent : extents) added += known.insert(extent).second ? 1 : 0;
  }
  m_event.Debug(sig, "[%lu] %s extents returned by indexing for disk [%s]", static_cast<unsigned long>(added), kind,
                disk.c_str());
}

int QuarnWorker::DoMetadataProcessingOnExtents(quarnConfig& config, doMetadataProcessingArgs& metadata,
                                               const std::string* disk) {
  // The copy shares its extents' cluster bitmaps with the map, and the walk may mark them: only the
  // disk's own archive stage reads them, and it starts after the disk's pre-processing.
  ExtentInfoMap found;
  {
    ZtCriticalSectionLock lock(&m_metadataExtentsLock);
    if (disk == nullptr) {
      found = m_metadataExtents;
    } else {
      auto known = m_metadataExtents.find(*disk);
      if (known != m_metadataExtents.end()) found.insert(*known);
    }
  }
  metadata.mExtentMap = &found;
  const int result = config.doMetadataProcessing(&metadata);
  metadata.mExtentMap = nullptr;
  ZtCriticalSectionLock lock(&m_metadataExtentsLock);
  for (auto& entry : found) m_metadataExtents[entry.first] = std::move(entry.second);
  return result;
}

uint64_t QuarnWorker::MetadataExtentFlags(const std::string& disk, uint64_t extent,
                                          std::shared_ptr<I2::ClusterBitmap>& bitmap) {
  ZtCriticalSectionLock lock(&m_metadataExtentsLock);
  auto entry = m_metadataExtents.find(disk);
  if (entry == m_metadataExtents.end()) return 0;
  auto found = entry->second.find(ExtentInfo(extent, 0, 0));
  if (found == entry->second.end()) return 0;
  bitmap = found->mBitmap;
  return found->mFlags;
}

uint32_t QuarnWorker::PageFileAndLiveBrowseFlags(const char* sig, const quarnBackupArgs& args) {
  uint32_t flags = 0;
  if (m_mountCtx->skipPageFileExtents) flags |= kFlagPageFile;
  bool liveBrowse = true;
  m_registry.GetEntry(REG_bEnableLiveBrowsePrefetchExtents, liveBrowse, true);
  if (liveBrowse) {
    m_event.Debug(sig, "Fetch live browse metadata extent list for VM[%s] Guid[%s]", args.mVMName.c_str(),
                  args.mVMGuid.c_str());
    flags |= kFlagLiveBrowse;
  }
  return flags;
}

bool QuarnWorker::PreProcessExtentsForBackup(quarnBackupArgs& args) {
  static const char* const sig = "bool QuarnWorker::PreProcessExtentsForBackup(quarnBackupArgs&)";
  if (m_mountCtx == nullptr || m_appMgr == nullptr || m_currentVM == nullptr) return true;
  if (m_mountCtx->isSnapBackup || m_mountCtx->isSnapCatalog) return true;
  if (!IsSectorSizeSupportedForLVM()) {
    m_event.Debug(sig, "Skipping sector enumeration of filtered files on VM [%s] as there exists at least one disk with unsupported sector size",
                  m_currentVM->vmName.c_str());
    return true;
  }
  uint32_t flags = PageFileAndLiveBrowseFlags(sig, args);
  bool detectDefault = m_appMgr->isServerTypeVMWare();
  if (m_mountCtx->quiesceFileSystem) {
    m_event.Debug(sig, "Skipping Volume Unused sector detection as QuiesceGuestFileSystem option is set");
    detectDefault = false;
  }
  bool detect = detectDefault;
  m_registry.GetEntry(REG_bDetectVolUnusedSectors, detect, detectDefault);
  m_event.Debug(sig, "VolumeUnusedSectorsDetection =  [%s]", detect ? "Yes" : "No");
  if (!detect)
    m_event.DebugLvl(2, sig, "NTFS Volumes unused sectors detection is disabled for VM [%s]", args.mVMName.c_str());
  else
    flags |= kFlagFreeSectors;
  if (m_appMgr->isServerTypeNutanix() || m_appMgr->isServerTypeMS()) {
    m_event.Debug(sig, "Enable guest OS detection for virtual machine [%s]", args.mVMName.c_str());
    flags |= kFlagPartitionTypes;
  }
  if (flags == 0) return true;
  if (_PreProcessExtentsForBackup(args, flags) != 0)
    m_event.Error(sig, "Unable to pre-process extents for backup for VM[%s] Guid[%s]", args.mVMName.c_str(),
                  args.mVMGuid.c_str());
  if (args.mConfig != nullptr) args.mConfig->resetLVMDiskList();
  return false;
}

int QuarnWorker::_PreProcessExtentsForBackup(quarnBackupArgs& args, uint32_t flags) {
  static const char* const sig = "int QuarnWorker::_PreProcessExtentsForBackup(quarnBackupArgs&, UINT32)";
  if (m_currentVM == nullptr || m_currentArgs == nullptr || m_config == nullptr) return kResultInvalidInput;
  if (AddDisksForMetadataCollection(m_currentArgs, flags) != 0) return kResultDisksNotAdded;
  if (flags & kFlagPageFile)
    m_event.Debug(sig, "[VM File Filter] Enumerating sectors allocated for page file inside virtual machine [%s]",
                  args.mVMName.c_str());
  if (flags & kFlagFreeSectors)
    m_event.Debug(sig, "[VM File Filter] Enumerating unused sectors from NTFS Volumes inside virtual machine [%s]",
                  args.mVMName.c_str());
  doMetadataProcessingArgs metadata;
  InitMetadataProcessingArgs(metadata, flags, nullptr);
  if (flags & kFlagLiveBrowse) quarnConfig::SetQuitFlagCallback(&QuarnWorker::CallbackStatic, 1, this);
  metadata.mIsFullBackup = IsFullBackupForVM();
  metadata.mIdentifyFSMetadata = args.mIdentifyFSMetadata;
  const int result = (flags & kFlagLiveBrowse) ? DoMetadataProcessingOnExtents(*m_config, metadata, nullptr)
                                               : m_config->doMetadataProcessing(&metadata);
  if (result != 0) {
    m_event.Debug(sig, "[VM File Filter] Could not determine sectors not to backup for VM[%s] Guid[%s]",
                  args.mVMName.c_str(), args.mVMGuid.c_str());
    return result;
  }
  if (flags & kFlagPageFile) {
    if (!metadata.mPageFileSectors.empty()) {
      args.mSectorsNotToBackup = metadata.mPageFileSectors;
      m_event.Debug(sig, "[VM File Filter] Enumerated [%d] page file sector range(s) on volumes of VM[%s] Guid[%s]",
                    static_cast<int>(metadata.mPageFileSectors.size()), args.mVMName.c_str(), args.mVMGuid.c_str());
    } else {
      m_event.Debug(sig, "[VM File Filter] No page file found inside volume(s) of VM[%s] Guid[%s]",
                    args.mVMName.c_str(), args.mVMGuid.c_str());
    }
  }
  if (flags & kFlagPartitionTypes) {
    if (metadata.mPartitionTypes.empty())
      m_event.Debug(sig, "No partition information returned by LVM");
    else
      DetectGuestOS(metadata.mPartitionTypes);
  }
  args.mSectorsNotToBackup2 = metadata.mFreeSectors;
  return 0;
}

bool QuarnWorker::PreProcessExtentsForBackupDisk(quarnBackupArgs& args, quarnConfig* config) {
  static const char* const sig = "bool QuarnWorker::PreProcessExtentsForBackupDisk(quarnBackupArgs&, quarnConfig*)";
  if (m_mountCtx == nullptr || config == nullptr) return true;
  if (m_mountCtx->isSnapBackup || m_mountCtx->isSnapCatalog) return true;
  if (!IsSectorSizeSupportedForLVM()) {
    m_event.Debug(sig, "Skipping sector enumeration of filtered files on VM [%s] as there exists at least one disk with unsupported sector size",
                  args.mVMName.c_str());
    return true;
  }
  uint32_t flags = PageFileAndLiveBrowseFlags(sig, args);
  if (_PreProcessExtentsForBackupDisk(args, flags, config) != 0)
    m_event.Error(sig, "Unable to preprocess extents for backup for disk [%s] of vm [%s][%s]", args.mDiskPath.c_str(),
                  args.mVMName.c_str(), args.mVMGuid.c_str());
  config->resetLVMDiskList();
  return true;
}

int QuarnWorker::_PreProcessExtentsForBackupDisk(quarnBackupArgs& args, uint32_t flags, quarnConfig* config) {
  static const char* const sig = "int QuarnWorker::_PreProcessExtentsForBackupDisk(quarnBackupArgs&, UINT32, quarnConfig*)";
  if ((flags & kFlagLiveBrowse) == 0 || config == nullptr) return kResultInvalidInput;
  AddDiskForMetadataExtentsCollection(&args, config);
  doMetadataProcessingArgs metadata;
  InitMetadataProcessingArgs(metadata, flags, nullptr);
  quarnConfig::SetQuitFlagCallback(&QuarnWorker::CallbackStatic, 1, this);
  metadata.mIsFullBackup = IsFullBackupForVM();
  metadata.mIdentifyFSMetadata = args.mIdentifyFSMetadata;
  const int result = DoMetadataProcessingOnExtents(*config, metadata, &args.mBackupPath);
  if (result != 0) {
    m_event.Debug(sig, "[VM File Filter] Could not pre-process extents for backup for disk [%s] of vm [%s][%s]",
                  args.mDiskPath.c_str(), args.mVMName.c_str(), args.mVMGuid.c_str());
    return result;
  }
  args.mSectorsNotToBackup = metadata.mPageFileSectors;
  args.mSectorsNotToBackup2 = metadata.mFreeSectors;
  return 0;
}

bool QuarnWorker::IsDelayedDiskAttach() {
  return m_appMgr != nullptr && (m_appMgr->isServerTypeAmazon() || m_appMgr->isServerTypeGoogleCloud());
}

bool QuarnWorker::IsSectorSizeSupportedForLVM() {
  static const char* const sig = "bool QuarnWorker::IsSectorSizeSupportedForLVM()";
  if (m_registry.CheckEntry(REG_nAllowMetadataOnUnsupportedDisks, true)) return true;
  if (m_sectorSizeVerdict >= 0 && m_sectorSizeVerdictVM == m_currentVM) return m_sectorSizeVerdict != 0;
  if (m_config == nullptr) return true;
  // Decided with a walk of its own before the VM's disks are walked (PreBackupVM), then kept: a walk
  // here in the middle of the backup would move the disk loop's place in the objects.
  quarnBackupArgs walk;
  bool supported = true;
  m_config->resetGetNextBkpObj();
  for (m_config->getNextBkpObj(&walk); !walk.mBackupPath.empty(); m_config->getNextBkpObj(&walk)) {
    if (walk.mObjectKind == 1 && walk.mSectorSize > kMaxSupportedSectorSize) {
      m_event.Error(sig, "Found at least one disk [%s] configured with unsupported sector size [%u] bytes",
                    walk.mDiskPath.c_str(), walk.mSectorSize);
      supported = false;
      break;
    }
  }
  while (!walk.mBackupPath.empty()) m_config->getNextBkpObj(&walk);
  m_config->resetLVMDiskList();
  m_config->resetGetNextBkpObj();
  m_sectorSizeVerdict = supported ? 1 : 0;
  m_sectorSizeVerdictVM = m_currentVM;
  return supported;
}

int QuarnWorker::CollectGranularMetadata(quarnBackupArgs& args) {
  AutoStopWatch timer(m_metadataTimer);
  int disableUsedSpace = 1;
  bool failJobOnMetadata = true;
  m_registry.GetEntry(REG_nDisableUsedSpaceCalculation, disableUsedSpace, 1);
  m_registry.GetEntry(REG_bCWEJobMDataFails, failJobOnMetadata, true);
  // Granular (file-level) metadata is collected by proxies that run the guest file-system drivers;
  // this one only looks inside a guest for the sectors it can leave out and the guest size.
  (void)args;
  return 0;
}

bool QuarnWorker::GetVMGuestSizeFromLVM(uint64_t& size) {
  static const char* const sig = "bool QuarnWorker::GetVMGuestSizeFromLVM(UINT64&)";
  size = 0;
  if (m_currentVM == nullptr || m_mountCtx == nullptr || m_appMgr == nullptr || m_config == nullptr) return false;
  const std::string& name = m_currentVM->vmName;
  if (m_mountCtx->isSnapBackup || m_mountCtx->isSnapCatalog) {
    m_event.DebugLvl(2, sig, "Guest Size processing disabled for snap backup of VM: [%s]", name.c_str());
    return false;
  }
  bool skip = false;
  m_registry.GetEntry(REG_bSkipComputeGuestSize, skip, false);
  if (skip) {
    m_event.Debug(sig, "Skipping guest size calculation for VM [%s] as registry key [bSkipComputeGuestSize] is set",
                  name.c_str());
    return false;
  }
  if (!m_appMgr->IsInstanceTypeSupportedForLVM()) return false;
  if (!IsSectorSizeSupportedForLVM()) {
    m_event.Debug(sig, "Skipping guest size calculation for VM [%s] as there exists at least one disk with unsupported sector size",
                  name.c_str());
    return false;
  }
  if (m_currentArgs == nullptr || AddDisksForMetadataCollection(m_currentArgs, 0) != 0) return false;
  m_event.Debug(sig, "Calculating total guest size for virtual machine [%s]", name.c_str());
  doMetadataProcessingArgs metadata;
  InitMetadataProcessingArgs(metadata, kFlagUsedSpace, nullptr);
  m_config->doMetadataProcessing(&metadata);
  m_config->resetLVMDiskList();
  if (metadata.mUsedSpace == 0) {
    m_event.DebugLvl(1, sig, "Unable to get guest size for VM [%s]", name.c_str());
    return false;
  }
  size = metadata.mUsedSpace;
  return true;
}

bool QuarnWorker::ComputeVMGuestSize(quarnBackupArgs& args, bool incremental) {
  static const char* const sig = "int QuarnWorker::ComputeVMGuestSize(quarnBackupArgs&, bool)";
  if (m_currentVM == nullptr || m_currentArgs == nullptr || m_mountCtx == nullptr || m_appMgr == nullptr ||
      m_jobMgr == nullptr || m_config == nullptr)
    return false;
  if (m_mountCtx->isSnapCatalog) {
    m_event.DebugLvl(2, sig, "Guest Size processing disabled for snap catalog phase");
    return false;
  }
  const std::string& name = m_currentVM->vmName;
  args.mGuestSizeFromLastJob = false;
  args.mGuestSizeKnown = false;
  // The lab's inventory record carries no guest size of its own.
  const uint64_t vmInfoSize = 0;
  const uint64_t allocated = GetVMAllocatedSize();
  const uint64_t provisioned = m_config->getTotalSize();
  const uint64_t backedUp = args.mBackedUpBytes;
  uint64_t lvm = 0;
  if (!m_jobMgr->isCollectMetadataEnabled())
    GetVMGuestSizeFromLVM(lvm);
  else
    lvm = args.mGuestSize;
  uint64_t guestSize = 0;
  std::string source;
  if (lvm != 0) {
    guestSize = lvm;
    source = "LVM";
    args.mGuestSizeKnown = true;
  }
  const bool laterIncremental = args.mBackupLevel != 1 && incremental;
  if (m_appMgr->IsLegacyGuestSizeCalculationEnabled()) {
    if (lvm == 0) {
      guestSize = laterIncremental ? allocated : backedUp;
      source = laterIncremental ? "VMAllocatedSize" : "VMBackupSize";
    }
    m_event.Debug(sig, "VM [%s] Guest Size from LVM [%s]  Allocated Size [%s] Backup Size [%s] bytes", name.c_str(),
                  IntToCommaString(static_cast<long long>(lvm)).c_str(),
                  IntToCommaString(static_cast<long long>(allocated)).c_str(),
                  IntToCommaString(static_cast<long long>(backedUp)).c_str());
  } else {
    auto consider = [&](uint64_t candidate, const char* from) {
      if (candidate == 0) return;
      if (guestSize == 0 || candidate <= guestSize) {
        guestSize = candidate;
        source = from;
      }
    };
    if (vmInfoSize != 0) args.mGuestSizeKnown = true;
    consider(vmInfoSize, "VMInfo");
    consider(allocated, "VMAllocatedSize");
    consider(provisioned, "VMProvisionedSize");
    if (backedUp != 0 && backedUp <= guestSize && !laterIncremental) {
      guestSize = backedUp;
      source = "VMBackupSize";
      m_event.Debug(sig, "Setting VM [%s] guest size as [%llu] bytes", name.c_str(),
                    static_cast<unsigned long long>(guestSize));
    }
    m_event.Debug(sig, "VM [%s] Guest Size from LVM [%s]  VMInfo [%s] Allocated Size [%s] Provisioned Size [%s] Backup Size [%s] bytes",
                  name.c_str(), IntToCommaString(static_cast<long long>(lvm)).c_str(),
                  IntToCommaString(static_cast<long long>(vmInfoSize)).c_str(),
                  IntToCommaString(static_cast<long long>(allocated)).c_str(),
                  IntToCommaString(static_cast<long long>(provisioned)).c_str(),
                  IntToCommaString(static_cast<long long>(backedUp)).c_str());
  }
  m_event.Debug(sig, "Total guest size for VM [%s] is [%s] bytes from [%s]", name.c_str(),
                IntToCommaString(static_cast<long long>(guestSize)).c_str(), source.c_str());
  if (args.mBackupLevel != 1 && backedUp == 0 && !m_mountCtx->isSnapBackup && !m_mountCtx->isSnapCatalog) {
    args.mGuestSizeFromLastJob = true;
    m_event.Debug(sig, "VM [%s] guest size information will be set with the value from the last backup", name.c_str());
  }
  if (guestSize != 0) args.mGuestSize = guestSize;
  return true;
}

bool QuarnWorker::RecordDetectedGuestOS(int id, const char* sig) {
  m_mountCtx->guestOSId = id;
  if (id == 0) return true;
  vsSim sim;
  const int64_t clientId =
      m_currentVM != nullptr ? m_currentVM->collect.getint64(VirtualServer::VMCollect::F_vmClientId) : 0;
  if (sim.isOK(sim.SetOperatingSystemIdForVMClient(clientId, id))) {
    if (id == vsSim::kGuestOSWindows) m_mountCtx->guestOSName = "Windows";
    return true;
  }
  m_event.Error(sig, "Unable to update detected SimOSId[%d] for client [%d]", id, static_cast<int>(clientId));
  return false;
}

bool QuarnWorker::DetectGuestOS(const std::string& devicePath) {
  // Detected once per mount: a known id is never replaced.
  if (m_mountCtx == nullptr || m_config == nullptr || m_mountCtx->guestOSId != 0) return false;
  return RecordDetectedGuestOS(m_config->DetectGuestOS(devicePath), "bool QuarnWorker::DetectGuestOS(const std::string&)");
}

bool QuarnWorker::DetectGuestOS(const std::vector<DiskPartitionType>& partitionTypes) {
  if (m_mountCtx == nullptr || m_config == nullptr || m_mountCtx->guestOSId != 0) return false;
  bool skipFat = false;
  m_registry.GetEntry(REG_bSkipFatPartitionForGuestOSDetect, skipFat, false);
  return RecordDetectedGuestOS(m_config->DetectGuestOS(partitionTypes, skipFat),
                               "bool QuarnWorker::DetectGuestOS(const std::vector<DiskPartitionType>&)");
}
