// The layout objects: which backup objects a mounted VM has, in which order, and their sizes.
#include "disklayout/quarnconfig.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/MountCtx.h"

namespace {

constexpr int kLayoutFailed = 22;
constexpr int32_t kShadowCopyMount = 102;
// Disk types that hold no provisioned bytes of their own.
constexpr DiskType_t kNoSizeTypes[] = {14, 22};
// A disk type whose unique id is its display name and index name together.
constexpr DiskType_t kNamedByDisplayName = 19;
constexpr DiskType_t kVCB4 = 18;
constexpr uint32_t kEventMetadataError = 0x4800006A;
const char kVolumePrefix[] = "\\\\?\\Volume{";
constexpr size_t kVolumePrefixLength = sizeof(kVolumePrefix) - 1;  // 11

uint64_t Bytes(int64_t value) { return value > 0 ? static_cast<uint64_t>(value) : 0; }

// The text less its first `front` and last `back` characters; empty when it is not that long.
std::string Trimmed(const std::string& text, size_t front, size_t back) {
  if (text.size() < front + back) return std::string();
  return text.substr(front, text.size() - front - back);
}

}  // namespace

ZtMutex quarnConfig::s_quitFlagCallbackLock;
quarnConfig::QuitFlagCallback quarnConfig::CheckQuitFlagCallback = nullptr;
int quarnConfig::CheckQuitFlagCallbackFirstArg = 0;
void* quarnConfig::CheckQuitFlagCallbackSecondArg = nullptr;

void quarnConfig::SetQuitFlagCallback(QuitFlagCallback callback, int firstArg, void* secondArg) {
  ZtMutexLock lock(s_quitFlagCallbackLock);
  CheckQuitFlagCallback = callback;
  CheckQuitFlagCallbackFirstArg = firstArg;
  CheckQuitFlagCallbackSecondArg = secondArg;
}

void quarnConfig::GetQuitFlagCallback(QuitFlagCallback& callback, int& firstArg, void*& secondArg) {
  ZtMutexLock lock(s_quitFlagCallbackLock);
  callback = CheckQuitFlagCallback;
  firstArg = CheckQuitFlagCallbackFirstArg;
  secondArg = CheckQuitFlagCallbackSecondArg;
}

void quarnConfig::ClearQuitFlagCallback(void* secondArg) {
  ZtMutexLock lock(s_quitFlagCallbackLock);
  if (secondArg == nullptr || CheckQuitFlagCallbackSecondArg != secondArg) return;
  CheckQuitFlagCallback = nullptr;
  CheckQuitFlagCallbackFirstArg = 0;
  CheckQuitFlagCallbackSecondArg = nullptr;
}

int quarnConfig::doMetadataProcessing(doMetadataProcessingArgs* args) {
  m_event.Debug("virtual int quarnConfig::doMetadataProcessing(doMetadataProcessingArgs*)",
                "This is not a disk backup therefore LVM processing is not required");
  mLVMProcessingError = "LVM processing not required for non disk backup";
  return 0;
}

bool quarnConfig::ReportLVMProcessingError(doMetadataProcessingArgs* args, const std::string& text, bool raiseEvent) {
  if (args == nullptr || text.empty()) return false;
  if (raiseEvent) {
    m_event << text;
    m_event.MinorEvent(kEventMetadataError);
  }
  args->mErrors.push_back(text);
  m_event.Error("virtual bool quarnConfig::ReportLVMProcessingError(doMetadataProcessingArgs*, const std::string&, bool)",
                "%s", text.c_str());
  if (mLVMProcessingError.empty()) mLVMProcessingError = text;
  return true;
}

// ---- quarnDiskConfig ----

int quarnDiskConfig::getMountInfo(MountCtx& ctx, IVMInfo* vmInfo) {
  static const char* const sig = "virtual int quarnDiskConfig::getMountInfo(MountCtx&, IVMInfo*)";
  mMountInfos.clear();
  mLVMDisks.clear();
  mLVMDiskBackupNames.clear();
  if (vmInfo == nullptr || vmInfo->GetMountInfoFull(ctx, mMountInfos) == 0) {
    m_event.Error(sig, "Failed to get mounted volume information");
    return kLayoutFailed;
  }
  int opened = 0;
  int64_t nextPosition = 0;
  for (size_t i = 0; i < mMountInfos.size(); ++i) {
    VMInfoStructs::SMountInfoFull& record = mMountInfos[i];
    record.indexPosition = -1;
    if (record.disks.empty()) {
      m_event.Error(sig, "Disk at index [%d] has an empty file list", static_cast<int>(i));
      return kLayoutFailed;
    }
    bool inActiveChain = false;
    for (size_t j = 0; j < record.disks.size(); ++j) {
      const VMInfoStructs::SDisk& file = record.disks[j];
      m_event.DebugLvl(2, sig, "File[%d,%d]: [%s]", static_cast<int>(i), static_cast<int>(j), file.path.c_str());
      m_event.DebugLvl(2, sig, "IdxName[%d,%d]: [%s]", static_cast<int>(i), static_cast<int>(j),
                       file.indexName.c_str());
      m_event.DebugLvl(2, sig, "DiskType[%d,%d]: [%d]", static_cast<int>(i), static_cast<int>(j),
                       static_cast<int>(file.diskType));
      inActiveChain = inActiveChain || file.inActiveChain;
    }
    if (record.opened != 0) {
      ++opened;
      // A shadow-copy mount indexes only the disks of the VM's active configuration.
      if (ctx.mountType != kShadowCopyMount || inActiveChain) record.indexPosition = nextPosition++;
    }
  }
  int total = 0;
  for (const VMInfoStructs::SDisk& disk : ctx.vmInfo.disks) total += disk.status == 1 ? 1 : 0;
  const int skipped = total - opened;
  if (skipped > 0) {
    m_event.Debug(sig, " TotalDisks[%d], OpenedDisks[%d], SkipedDisks[%d]", total, opened, skipped);
    if (ctx.m_nSkippedDisksCount < 1) {
      ctx.m_nSkippedDisksCount = skipped;
      m_event.Debug(sig,
                    "WARNING: Skipped disk count[MountCtx.m_nSkippedDisksCount] is not populated in MountVM. "
                    "Populating it to [%d]",
                    skipped);
    }
  }
  resetGetNextBkpObj();
  mMountPath = ctx.mountPath;
  return 0;
}

uint64_t quarnDiskConfig::getTotalSize() {
  uint64_t total = 0;
  for (const VMInfoStructs::SMountInfoFull& record : mMountInfos) {
    for (const VMInfoStructs::SDisk& file : record.disks) {
      if (file.diskType == kNoSizeTypes[0] || file.diskType == kNoSizeTypes[1]) continue;
      total += Bytes(file.maxSize);
    }
  }
  return total;
}

uint64_t quarnDiskConfig::getTotalSizeOnDisk() {
  static const char* const sig = "virtual ULONGLONG quarnDiskConfig::getTotalSizeOnDisk()";
  uint64_t total = 0;
  for (const VMInfoStructs::SMountInfoFull& record : mMountInfos) {
    for (const VMInfoStructs::SDisk& file : record.disks) {
      m_event.DebugLvl(2, sig, "Adding size of disk [%s] as [%llu] bytes and MaxDiskSize=[%lld] bytes",
                       file.path.c_str(), static_cast<unsigned long long>(Bytes(file.fileSize)),
                       static_cast<long long>(file.maxSize));
      total += Bytes(file.fileSize);
    }
  }
  return total;
}

uint64_t quarnDiskConfig::getChangedSizeOnDisk() {
  uint64_t total = 0;
  for (const VMInfoStructs::SMountInfoFull& record : mMountInfos)
    for (const VMInfoStructs::SDisk& file : record.disks)
      total += Bytes(file.hasChangedSize ? file.changedSize : file.fileSize);
  return total;
}

void quarnDiskConfig::resetGetNextBkpObj() {
  mMountIter = 0;
  mFileIter = 0;
  if (mMountInfos.empty())
    m_event.Debug("virtual void quarnDiskConfig::resetGetNextBkpObj()", "Disk info list object is empty");
}

void quarnDiskConfig::getNextBkpObj(quarnBackupArgs* args) {
  static const char* const sig = "virtual void quarnDiskConfig::getNextBkpObj(quarnBackupArgs*)";
  if (args == nullptr) return;
  args->Reset();
  if (mMountIter >= mMountInfos.size()) {
    m_event.Debug(sig, "Disk info list object is empty");
    return;
  }
  // Leaving a record (also one whose file list is empty, which a successful getMountInfo never
  // keeps) hands its collected metadata disk on and moves to the next record that has files.
  while (mFileIter >= mMountInfos[mMountIter].disks.size()) {
    if (!mCurrentHardDisk.files.empty()) mLVMDisks.push_back(mCurrentHardDisk);
    mCurrentHardDisk = LVM_HardDisk_t();
    ++mMountIter;
    mFileIter = 0;
    if (mMountIter >= mMountInfos.size()) return;
  }
  const VMInfoStructs::SMountInfoFull& record = mMountInfos[mMountIter];
  const VMInfoStructs::SDisk& file = record.disks[mFileIter];

  m_event.DebugLvl(2, sig, "Mount info path         = [%s]", file.path.c_str());
  m_event.DebugLvl(2, sig, "Mount info FileSize     = [%lld]", static_cast<long long>(file.fileSize));
  m_event.DebugLvl(2, sig, "Mount info display name = [%s]", file.displayName.c_str());
  m_event.DebugLvl(2, sig, "Mount info backup path  = [%s]", file.indexName.c_str());
  m_event.DebugLvl(2, sig, "Mount info proxy name   = [%s]", file.proxyName.c_str());
  m_event.DebugLvl(2, sig, "Mount info backup type  = [%d]", file.backupType);
  m_event.DebugLvl(2, sig, "Mount info file type    = [%d]", static_cast<int>(file.diskType));
  m_event.DebugLvl(2, sig, "Mount info Datastore    = [%s]", file.datastore.c_str());
  if (file.backupType == 1) {
    m_event.DebugLvl(2, sig, "Mount info Parent index name    = [%s]", file.parentIndexName.c_str());
    m_event.DebugLvl(2, sig, "Mount info disk in active chain = [%s]", file.inActiveChain ? "true" : "false");
    m_event.DebugLvl(2, sig, "Mount info logical sector size  = [%u]", static_cast<unsigned>(file.sectorSize));
    m_event.DebugLvl(2, sig, "Mount info Max FileSize\t\t   = [%lld]", static_cast<long long>(file.fileSize));
  }

  args->mObjectKind = static_cast<uint32_t>(file.backupType);
  args->mDiskType = file.diskType;
  args->mDisplayName = file.displayName;
  args->mBackupPath = file.indexName;
  args->mDiskName2 = file.diskName2;
  args->mDiskId = file.diskId;
  args->mDiskPath = file.path;
  args->mProxyName = file.proxyName;
  args->mFileSize = Bytes(file.fileSize);
  args->mFileName = file.fileName;
  args->mDatastore = file.datastore;
  args->mDiskName3 = file.diskName3;
  args->mHeaderKind = Bytes(file.headerKind);
  args->mInActiveChain = file.inActiveChain;
  args->mAllocatedSize = Bytes(file.allocatedSize);
  args->mMountIndex = static_cast<uint64_t>(record.indexPosition);
  args->mParentIndexName = file.parentIndexName;
  args->mSectorSize = static_cast<uint32_t>(file.sectorSize);
  args->mMaxDiskSize = Bytes(file.maxSize);
  args->mDiskNumber2 = static_cast<uint32_t>(file.diskNumber2);
  args->mBlockSet.clear();
  args->mDiskRefPoint = file.referencePoint;
  args->mDiskText1 = file.indexText1;
  args->mDiskText2 = file.indexText2;
  args->mDiskFlag1 = file.indexFlag;
  if (file.pairTexts.size() == 2) args->mDiskPairText = file.pairTexts[0] + "|" + file.pairTexts[1];
  args->mBackupPathCopy = args->mBackupPath;

  mVDiskName = file.indexName;
  if (file.diskType == kNamedByDisplayName) {
    mVDiskName = file.displayName + "_" + file.indexName;
    m_event.Debug(sig, "mVDiskName [%s]", mVDiskName.c_str());
  }
  args->mIsOSDisk = file.osDisk;
  if (args->mIsOSDisk) m_event.Debug(sig, "Mount info OS Disk = true");
  ++mFileIter;
}

ProductType_t quarnDiskConfig::getProductType(const vsAppMgr& appMgr) {
  if (appMgr.isServerTypeVMWare()) return kProductVMware;
  if (appMgr.isServerTypeMS() || appMgr.isServerTypeAzure()) return kProductMicrosoft;
  if (appMgr.isServerTypeXen() || appMgr.isServerTypeRhev() || appMgr.isServerTypeAmazon() ||
      appMgr.isServerTypeNutanix() || appMgr.isServerTypeFusionCompute() || appMgr.isServerTypeOpenStack() ||
      appMgr.isServerTypeOracleVM() || appMgr.isServerTypeOracleCloud() || appMgr.isServerTypeGoogleCloud() ||
      appMgr.isServerTypeAliCloud() || appMgr.isServerTypeK8s())
    return kProductOther;
  m_event.Error("virtual ProductType_t quarnDiskConfig::getProductType(const vsAppMgr&)",
                "Unknown product type. Check the virtual server instance properties and select one of the supported "
                "products");
  return kProductUnknown;
}

void quarnDiskConfig::addDiskForLVMProcessing(ProductType_t productType, const std::string& path,
                                              const std::string& diskId, DiskType_t diskType,
                                              const char* indexDirName, uint64_t extentSize, uint32_t sectorSize,
                                              bool last) {
  static const char* const sig =
      "virtual void quarnDiskConfig::addDiskForLVMProcessing(ProductType_t, const std::string&, const std::string&, "
      "DiskType_t, const char*, ULARGE_INTEGER, ULONG, bool)";
  if (!last && (mMountIter >= mMountInfos.size() || mMountInfos[mMountIter].opened == 0)) return;
  if (path.empty() || diskType == 0 || productType == kProductUnknown || extentSize == 0 || indexDirName == nullptr)
    return;
  m_event.DebugLvl(2, sig, "Product Type   [%d]", static_cast<int>(productType));
  m_event.DebugLvl(2, sig, "Disk type      [%d]", static_cast<int>(diskType));
  m_event.DebugLvl(2, sig, "file disk path [%s]", path.c_str());
  m_event.DebugLvl(2, sig, "Disk Id        [%s]", diskId.c_str());
  m_event.DebugLvl(2, sig, "index dir name [%s]", indexDirName);
  m_event.DebugLvl(2, sig, "extent size    [%lld]", static_cast<long long>(extentSize));
  m_event.DebugLvl(2, sig, "sector size\t       [%d]", static_cast<int>(sectorSize));
  Disk_t disk;
  disk.path = path;
  disk.diskType = diskType;
  disk.indexDirName = indexDirName;
  mLVMDiskBackupNames[path] = indexDirName;
  if (productType == kProductVMware && diskType != kVCB4) {
    const size_t cut = disk.indexDirName.rfind('_');
    if (cut != std::string::npos) disk.indexDirName.erase(cut);
  }
  disk.extentSize = extentSize;
  disk.sectorSize = sectorSize;
  mCurrentHardDisk.files.push_back(disk);
  mCurrentHardDisk.productType = productType;
  // The ranges found on the disk go to the disk the backup reads under this key, whichever disks of
  // the VM were left out of the parse.
  mCurrentHardDisk.rangeKey =
      mMountIter < mMountInfos.size() ? static_cast<uint64_t>(mMountInfos[mMountIter].indexPosition) : mLooseMountIndex;
  if (last && !mCurrentHardDisk.files.empty()) {
    mLVMDisks.push_back(mCurrentHardDisk);
    // Handed on now: leaving the record must not hand it on a second time.
    mCurrentHardDisk = LVM_HardDisk_t();
  }
}

void quarnDiskConfig::resetLVMDiskList() {
  m_event.DebugLvl(2, "virtual void quarnDiskConfig::resetLVMDiskList()", "Resetting LVM disk list");
  mLVMDisks.clear();
  mLVMDiskBackupNames.clear();
}

std::string quarnDiskConfig::BackupNameOfLVMDisk(const LVM_HardDisk_t& disk) const {
  if (disk.files.empty()) return std::string();
  auto name = mLVMDiskBackupNames.find(disk.files.front().path);
  return name != mLVMDiskBackupNames.end() ? name->second : disk.files.front().indexDirName;
}

void quarnDiskConfig::reset() {
  mVDiskName.clear();
  mMountPath.clear();
  mMountInfos.clear();
  mMountIter = mFileIter = 0;
  mReserved = 0;
  mCurrentHardDisk = LVM_HardDisk_t();
  resetLVMDiskList();
  quarnConfig::reset();
  mUsedSpaceCache = 0;
  mLooseMountIndex = static_cast<uint64_t>(-1);
}

// ---- quarnVolumeConfig ----

int quarnVolumeConfig::getMountInfo(MountCtx& ctx, IVMInfo* vmInfo) {
  mVolumes.clear();
  if (vmInfo == nullptr || vmInfo->GetMountedVolumes(ctx, mVolumes) == 0) {
    m_event.Error("virtual int quarnVolumeConfig::getMountInfo(MountCtx&, IVMInfo*)",
                  "Failed to get mounted volume information");
    return kLayoutFailed;
  }
  mVolumeIter = 0;
  return 0;
}

void quarnVolumeConfig::getNextBkpObj(quarnBackupArgs* args) {
  if (args == nullptr) return;
  args->Reset();
  if (mVolumeIter >= mVolumes.size()) return;
  const VMInfoStructs::SMountInfoFile& volume = mVolumes[mVolumeIter];
  mMountGuid = volume.guidPath;
  if (mMountGuid.compare(0, kVolumePrefixLength, kVolumePrefix) == 0)
    mMountGuid = Trimmed(mMountGuid, kVolumePrefixLength, 2);
  m_event.Debug("virtual void quarnVolumeConfig::getNextBkpObj(quarnBackupArgs*)", "Mount GUID     = [%s]",
                mMountGuid.c_str());
  args->mDisplayName = volume.displayName;
  args->mBackupPath = mMountGuid;
  args->mDiskId = mMountGuid;
  args->mObjectKind = 1;
  args->mDiskType = 17;
  args->mBackupPathCopy = volume.volumeName;
  args->mDiskPath = volume.volumeName.empty() ? std::string() : volume.volumeName.substr(0, volume.volumeName.size() - 1);
  // The change id the mount gives the volume, as a disk's: what the next backup's changes count from.
  args->mFileName = volume.changeId;
  // A name too short to hold the prefix and the closing brace gives an empty GUID rather than a
  // read past its end.
  mVolumeGuid = Trimmed(volume.volumeName, kVolumePrefixLength, 2);
  ++mVolumeIter;
}

int quarnVolumeConfig::addVolumeForMetadataCollection(const std::string& name, const std::string& guid,
                                                      uint32_t number) {
  volMetadataInfo info;
  info.mVolumeName = name;
  info.mVolumeGuid = guid;
  info.mVolumeNumber = number;
  mMetadataVolumes.push_back(info);
  return 0;
}

void quarnVolumeConfig::reset() {
  mVolumeGuid.clear();
  mMountGuid.clear();
  mMetadataVolumes.clear();
  mVolumes.clear();
  mVolumeIter = 0;
  quarnConfig::reset();
}
