// Live-browse prefetch extents: the extents of each disk that hold a guest NTFS volume's $MFT and
// directory indices, found by walking the volume, kept in the worker's extent sets and written as the
// VM's prefetch list beside its mount.
#include <strings.h>

#include "disklayout/quarnconfig.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/disk/CDRVolume.h"
#include "platform/disk/CLVM.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/ZtTime.h"
#include "records/messages/FBRMessages.h"

namespace {

constexpr uint8_t kNtfsType = 7;
constexpr time_t kAllottedSeconds = 3600;
const char* const kPrefetchFileName = "LiveBrowsePrefetchExtents.xml";

}  // namespace

bool quarnDiskConfig::IsWellKnownFileSystemFormat(const LVM_Volume_t& volume) {
  return volume.partitionType == kNtfsType && volume.fsType2 == 0;
}

bool quarnDiskConfig::VolumeOnOneDisk(const LVM_Volume_t& volume, std::string& diskName, uint64_t& startBytes) const {
  // Clusters map to disk extents by one offset only when the volume is one piece of one disk; a
  // spanned, striped or mirrored volume's clusters lie elsewhere, and a guess would name wrong extents.
  if (volume.isRaid || volume.segments.size() != 1 || volume.segments[0].vComponents.size() != 1 ||
      volume.segments[0].llCompSizeInSectors != 0 || volume.segments[0].llLBAStart != 0)
    return false;
  const LVM_Component_t& component = volume.segments[0].vComponents[0];
  if (component.llLBAStart != 0 || component.nHardDiskIndex < 0 ||
      static_cast<size_t>(component.nHardDiskIndex) >= mLVMDisks.size() ||
      mLVMDisks[static_cast<size_t>(component.nHardDiskIndex)].files.empty())
    return false;
  diskName = BackupNameOfLVMDisk(mLVMDisks[static_cast<size_t>(component.nHardDiskIndex)]);
  startBytes = component.llPartitionStartSector * volume.sectorSize;
  return true;
}

CPxError quarnDiskConfig::ProcessMetadataCluster(const ClusterInfo& info, const std::string& diskName,
                                                 ExtentInfoMap& extents, uint64_t& newCount) {
  // Extents are found from byte offsets: a cluster larger than an extent, or a volume that does not
  // start on a cluster boundary of the disk (sector 63), still maps to the extents that hold it.
  if (info.extentBytes == 0 || info.clusterSize == 0 || info.clusterCount == 0) return CPxError::Success();
  uint64_t runStart = 0, runBytes = 0, first = 0, end = 0;
  if (__builtin_mul_overflow(info.firstCluster, info.clusterSize, &runStart) ||
      __builtin_mul_overflow(info.clusterCount, info.clusterSize, &runBytes) ||
      __builtin_add_overflow(runStart, info.volumeStartBytes, &first) || __builtin_add_overflow(first, runBytes, &end))
    return CPxError::Success();
  ExtentInfoSet& set = extents[diskName];
  for (uint64_t at = first; at < end;) {
    const uint64_t number = at / info.extentBytes;
    const uint64_t extentStart = number * info.extentBytes;
    const uint64_t pieceEnd = end - extentStart > info.extentBytes ? extentStart + info.extentBytes : end;
    auto found = set.find(ExtentInfo(number, 0, 0));
    if (found == set.end()) {
      found = set.insert(ExtentInfo(number, info.flags, static_cast<uint32_t>(info.clusterSize))).first;
      ++newCount;
    }
    if (info.granularRecalls) {
      // The set orders by extent number only: the flags and the shared bitmap may change in place.
      ExtentInfo& extent = const_cast<ExtentInfo&>(*found);
      if (!extent.mBitmap) extent.mBitmap = std::make_shared<I2::ClusterBitmap>(static_cast<uint32_t>(info.clusterSize));
      if (extent.mBitmap->GetClusterSize() == 0) extent.mBitmap->SetClusterSize(static_cast<uint32_t>(info.clusterSize));
      extent.mBitmap->Set(at - extentStart, pieceEnd - at);
      extent.mFlags |= ExtentInfo::kHasBitmap;
    }
    at = pieceEnd;
  }
  return CPxError::Success();
}

bool quarnDiskConfig::GetMFTExtentsByParsing(CLVM& clvm, LVM_Volume_t& volume, doMetadataProcessingArgs* args) {
  static const char* const sig =
      "bool quarnDiskConfig::GetMFTExtentsByParsing(const CLVM&, std::vector<LVM_Volume_t>::iterator, doMetadataProcessingArgs*)";
  std::string diskName;
  uint64_t startBytes = 0;
  if (!VolumeOnOneDisk(volume, diskName, startBytes)) {
    m_event.Debug(sig, "Volume [%s] is not one piece of one disk: its $MFT extents are not collected", volume.name.c_str());
    return true;
  }
  m_event.Debug(sig, "Starting $MFT extents collection for disk [%s] volume [%s]", diskName.c_str(), volume.name.c_str());
  bool granular = false;
  ZTPlatformInfo().getBoolean("VirtualServer", "bEnableGranularRecalls", &granular);
  uint64_t newCount = 0;
  CDRVolume drVolume;
  drVolume.SetMFTExtentCallback([&](uint64_t clusterSize, uint32_t bytesPerSector, uint64_t firstCluster,
                                    uint64_t clusterCount) {
    ClusterInfo info;
    info.clusterSize = clusterSize;
    info.firstCluster = firstCluster;
    info.clusterCount = clusterCount;
    info.bytesPerSector = bytesPerSector;
    info.extentBytes = static_cast<uint64_t>(args->mExtentSizeSectors) * volume.sectorSize;
    info.volumeStartBytes = startBytes;
    info.granularRecalls = granular;
    ProcessMetadataCluster(info, diskName, *args->mExtentMap, newCount);
  });
  const time_t started = ZtClock::NowSeconds();
  drVolume.SetCheckForStopProcessingFunc([&] {
    if (ZtClock::NowSeconds() - started <= kAllottedSeconds) return false;
    m_event.Debug(sig, "Allotted time for getting MFT extent information has exceeded.");
    return true;
  });
  QuitFlagCallback quitCallback = nullptr;
  int quitFirstArg = 0;
  void* quitSecondArg = nullptr;
  GetQuitFlagCallback(quitCallback, quitFirstArg, quitSecondArg);
  if (quitCallback != nullptr) drVolume.SetQuitFlagCallback(quitCallback, quitFirstArg, quitSecondArg);
  const auto failed = [&](const char* logFormat, const char* errorText, int code) {
    const std::string text = code >= -30 && code <= -1 ? _ErrMsg[-code] : "";
    m_event.Error(sig, logFormat, volume.name.c_str(), code, text.c_str());
    mLVMProcessingError = errorText + text;
    drVolume.CloseVolume();
    return false;
  };
  int code = drVolume.OpenVolume(&clvm, &volume, true);
  if (code != 0)
    return failed("Failed to open the volume for getting MFT extents, VolumeName=%s, retCode [%d], %s",
                  "Failed to open volume for getting MFT extents, ", code);
  const uint64_t mftCount = newCount;
  m_event.Debug(sig, "[%llu] $MFT extents newly discovered for disk [%s] volume [%s])",
                static_cast<unsigned long long>(mftCount), diskName.c_str(), volume.name.c_str());
  m_event.Debug(sig, "Starting DIRECTORY IDX extents collection for disk [%s] volume [%s]", diskName.c_str(),
                volume.name.c_str());
  code = drVolume.ProcessDirectoryIndices();
  if (code != 0)
    return failed("Failed to traverse index for getting MFT extents, VolumeName=%s, retCode [%d], %s",
                  "Failed to traverse index for getting MFT extents, ", code);
  m_event.Debug(sig, "[%llu] DIRECTORY IDX extents newly discovered for disk [%s] volume [%s]",
                static_cast<unsigned long long>(newCount - mftCount), diskName.c_str(), volume.name.c_str());
  m_event.Debug(sig, "[%llu] $MFT and DIRECTORY IDX extents newly discovered for disk [%s] volume [%s]",
                static_cast<unsigned long long>(newCount), diskName.c_str(), volume.name.c_str());
  drVolume.CloseVolume();
  return true;
}

bool quarnDiskConfig::GetLiveBrowsePrefetchExtents(CLVM& clvm, std::vector<LVM_Volume_t>& volumes,
                                                   doMetadataProcessingArgs* args) {
  static const char* const sig =
      "virtual bool quarnDiskConfig::GetLiveBrowsePrefetchExtents(const CLVM&, std::vector<LVM_Volume_t>&, doMetadataProcessingArgs*)";
  if (args == nullptr) return true;
  for (LVM_Volume_t& volume : volumes) {
    NTFSVolInfo info{};
    if (clvm.GetNTFSVolInfo(&volume, info).IsError()) {
      m_event.Debug(sig, "Skipping this volume from MFT Bitmap extents processing since it is non-NTFS");
      continue;
    }
    if (IsWellKnownFileSystemFormat(volume) && GetMountExtentsByParsing(clvm, volume, args) &&
        args->mIdentifyFSMetadata && args->mIsFullBackup && args->mExtentMap != nullptr)
      GetMFTExtentsByParsing(clvm, volume, args);
  }
  DumpLiveBrowsePrefetchXML(args, volumes);
  return true;
}

int quarnDiskConfig::GetLiveBrowsePrefetchXMLPath(const std::string& vmGuid, std::string& path) {
  path = CPxPath::Append(mMountPath, vmGuid + "_" + kPrefetchFileName, false);
  return 1;
}

int quarnDiskConfig::DumpLiveBrowsePrefetchXML(const doMetadataProcessingArgs* args,
                                               const std::vector<LVM_Volume_t>& volumes) {
  static const char* const sig =
      "int quarnDiskConfig::DumpLiveBrowsePrefetchXML(const doMetadataProcessingArgs*, const std::vector<LVM_Volume_t>&)";
  if (args == nullptr || args->mExtentMap == nullptr || args->mExtentMap->empty()) return 1;
  std::map<std::string, uint32_t, __less_nocase_cmp> sectorSizes;
  for (const LVM_Volume_t& volume : volumes) {
    if (volume.segments.empty() || volume.segments[0].vComponents.empty()) {
      m_event.Debug(sig, "Volume [%s] does not have segments and/or components", volume.name.c_str());
      continue;
    }
    const int32_t disk = volume.segments[0].vComponents[0].nHardDiskIndex;
    if (disk < 0 || static_cast<size_t>(disk) >= mLVMDisks.size()) {
      m_event.DebugLvl(2, sig, "Volume [%s] disk index [%d] is invalid. Total # of disks [%zu]", volume.name.c_str(), disk,
                       mLVMDisks.size());
      continue;
    }
    const LVM_HardDisk_t& hardDisk = mLVMDisks[static_cast<size_t>(disk)];
    if (hardDisk.files.empty()) {
      m_event.Debug(sig, "No disk name for volume [%s] disk number [%d]", volume.name.c_str(), disk);
      continue;
    }
    sectorSizes[BackupNameOfLVMDisk(hardDisk)] = hardDisk.files.front().sectorSize;
  }
  std::string path;
  GetLiveBrowsePrefetchXMLPath(args->mVMGuid, path);
  vsXMLFile file(path);
  FBR::MountExtentsInfo list;
  // New disks are added to a list an earlier pass saved.
  if (file.Exists() && !file.Load(list))
    m_event.Debug(sig, "The saved list [%s] cannot be read; it is written anew: %s", path.c_str(), file.LastError().c_str());
  CNMessageList& disks = list.getlistobject(FBR::MountExtentsInfo::F_disks, true);
  for (const auto& entry : *args->mExtentMap) {
    auto size = sectorSizes.find(entry.first);
    if (size == sectorSizes.end()) continue;
    FBR::DiskMountExtentsInfo disk;
    FBR::FBRDiskInfo* info = disk.getObject<FBR::FBRDiskInfo>(FBR::DiskMountExtentsInfo::F_disk, true);
    info->setstring(FBR::FBRDiskInfo::F_diskName, entry.first);
    info->setint64(FBR::FBRDiskInfo::F_extentSize, static_cast<int64_t>(args->mExtentSizeSectors) * size->second);
    CNMessageList& numbers = disk.getlistobject(FBR::DiskMountExtentsInfo::F_extents, true);
    for (const ExtentInfo& extent : entry.second) {
      if (extent.mFlags != ExtentInfo::kMountExtent) continue;
      FBR::ExtentInfo number;
      number.setint64(FBR::ExtentInfo::F_extentNumber, static_cast<int64_t>(extent.mExtentNumber));
      numbers.emplace_back(number);
    }
    // A disk listed again replaces its earlier entry rather than stand in the list twice.
    for (auto it = disks.begin(); it != disks.end();) {
      const FBR::FBRDiskInfo* saved =
          *it ? (*it)->getObject<FBR::FBRDiskInfo>(FBR::DiskMountExtentsInfo::F_disk, false) : nullptr;
      if (saved != nullptr && strcasecmp(saved->getstring(FBR::FBRDiskInfo::F_diskName).c_str(), entry.first.c_str()) == 0)
        it = disks.erase(it);
      else
        ++it;
    }
    disks.emplace_back(disk);
  }
  list.setstring(FBR::MountExtentsInfo::F_vmGuid, args->mVMGuid);
  list.setstring(FBR::MountExtentsInfo::F_vmName, args->mVMName);
  std::string text;
  if (!list.serialize(text, false) || text.empty()) return 0;
  m_event.DebugLvl(4, sig, "Live browse prefetch extents list %s ", text.c_str());
  if (!file.Save(list)) {
    m_event.Error(sig, "Failed to save Live Browse prefetch XML file %s", path.c_str());
    return 0;
  }
  m_event.Debug(sig, "Saved live browse prefetch XML file %s", path.c_str());
  return 1;
}
