// The guest-metadata run of a layout object: the guest's partitions and volumes parsed once, and
// from them what the run's flags ask for (page-file and swap sectors, free sectors, used space,
// partition types, the volume dump file).
#include <exception>

#include "disklayout/quarnconfig.h"
#include "platform/disk/CDRVolume.h"
#include "platform/disk/CLVM.h"
#include "platform/disk/PartitionTable.h"
#include "platform/ev/EvDebug.h"

namespace {

constexpr uint32_t kFlagUsedSpace = 1;
constexpr uint32_t kFlagPageFile = 2;
constexpr uint32_t kFlagDumpFile = 4;
constexpr uint32_t kFlagFreeSectors = 8;
constexpr uint32_t kFlagLiveBrowse = 16;
constexpr uint32_t kFlagPartitionTypes = 32;
constexpr int kInitializeAttempts = 6;
constexpr uint8_t kNtfsType = 7;
constexpr int kResultOpenFailed = 25;
constexpr int kResultNotNtfs = 105;
constexpr int kResultUsedSpaceFailed = 106;

}  // namespace

int _doLVMProcessing(quarnDiskConfig* config, doMetadataProcessingArgs* args) {
  if (config == nullptr) return 1;
  try {
    return config->doLVMProcessing(args);
  } catch (const std::exception& exception) {
    const std::string text = std::string("Caught Access Violation Exception during LVM processing: ") + exception.what();
    config->_ReportLVMProcessingError(args, text.c_str(), true);
  } catch (...) {
    config->_ReportLVMProcessingError(args, "Caught Access Violation Exception during LVM processing", true);
  }
  return 1;
}

int quarnDiskConfig::doMetadataProcessing(doMetadataProcessingArgs* args) { return _doLVMProcessing(this, args); }

int quarnDiskConfig::doLVMProcessing(doMetadataProcessingArgs* args) {
  static const char* const sig = "int quarnDiskConfig::doLVMProcessing(doMetadataProcessingArgs*)";
  if (args == nullptr) return 1;
  CLVM clvm;
  clvm.SetLinuxMetadataSupport(true);
  const std::string vmId = args->mBackupName.empty() ? args->mVMGuid : args->mBackupName;
  const std::string resultsDir = args->mResultsDir != nullptr ? std::string(args->mResultsDir) : std::string();
  const std::string dumpPath = resultsDir + "/DiskVolumes(" + args->mVMGuid + ").imf";
  clvm.SetVMInfo(args->mVMInfo, args->mVMName, vmId);
  clvm.SetMountCtx(args->mMountCtx);

  CPxError error;
  for (int attempt = 1; attempt <= kInitializeAttempts; ++attempt) {
    error = clvm.InitializeFromDisk(mLVMDisks, false, std::vector<void*>());
    if (!error.IsError()) break;
    if (attempt < kInitializeAttempts)
      m_event.Debug(sig, "CLVM::InitializeFromDisk failed, error=%s. Retrying ...", error.AsString().c_str());
  }
  if (error.IsError()) {
    m_event.Error(sig, "CLVM::InitializeFromDisk() call failed, error=%s", error.AsString().c_str());
    mLVMProcessingError = "Initialization from Disk failed, error=" + error.AsString();
    args->mErrors.push_back("Failed to generate file level index");
    return 1;
  }

  std::vector<LVM_Volume_t>& volumes = clvm.GetVolumes();
  m_event.Debug(sig, "LVM disk metadata processing completed successfully. Now doing Volume metadata processing for [%zd] potential volumes",
                volumes.size());
  _DumpDiskPartInfo(clvm.GetVecDiskPartId());
  if (!args->mEnableVolDriveLetters) {
    m_event.Debug(sig, "Registry key [bEnableVolDriveLetters] is set to 0. Drive letter enumeration for guest VM volume(s) has been disabled");
  } else {
    m_event.DebugLvl(2, sig, "Temporary path for storing VM SysHive file is [%s]",
                     (resultsDir + "/tmpSysHive-" + args->mVMGuid).c_str());
  }
  if (!args->mAllowPartialMetadata)
    m_event.Debug(sig, "As per job option partial metadata collection is not supported for VM");
  args->mUsedSpace = 0;

  if (args->mFlags & kFlagPartitionTypes) {
    args->mPartitionTypes = clvm.GetDiskPartitionTypesVec();
    DumpDiskPartTypeInfo(args->mPartitionTypes);
  }
  if ((args->mFlags & kFlagLiveBrowse) && !GetLiveBrowsePrefetchExtents(clvm, volumes, args))
    m_event.Debug(sig, "Warning: Unable to get prefetch extent list for live browse. Continuing without prefetch list.");

  bool pageFileSearch = (args->mFlags & kFlagPageFile) != 0;
  bool cacheUsable = true;
  for (LVM_Volume_t& volume : volumes) {
    if (pageFileSearch) {
      std::vector<VMInfoStructs::SectorRange> ranges;
      GetVolumePageFileSectors(&volume, &clvm, ranges);
      if (!ranges.empty()) {
        MapVolSectorsToDisk(&volume, ranges, args->mPageFileSectors);
        if (args->mOnlySkipFirstPageFile) {
          m_event.Debug(sig, "Found first page file or SWAP partition on volume [%s]. Stopping search on remaining volumes",
                        volume.name.c_str());
          pageFileSearch = false;
        }
      }
    }
    if (args->mFlags & kFlagFreeSectors) {
      CDRVolume drVolume;
      std::vector<VMInfoStructs::SectorRange> ranges;
      const int result = GetVolumeFreeSectorsRegions(drVolume, &clvm, &volume, ranges);
      if (result == 0) {
        uint64_t used = 0;
        if (cacheUsable && drVolume.GetUsedSpace(used) == 0) mUsedSpaceCache += used;
        MapVolSectorsToDisk(&volume, ranges, args->mFreeSectors);
      } else if (result != kResultNotNtfs) {
        m_event.Debug(sig, "disabling the cache of the used space for VM [%s]", args->mVMName.c_str());
        cacheUsable = false;
        mUsedSpaceCache = 0;
      }
    }
    if (args->mFlags & kFlagUsedSpace) {
      if (mUsedSpaceCache == 0) {
        uint64_t used = 0;
        const int result = GetVolumeUsedSpace(&clvm, &volume, used);
        std::string text;
        if (result == 0) {
          args->mUsedSpace += used;
          m_event.Debug(sig, "Done calculating used space information for [%s], used space [%lld] bytes",
                        volume.name.c_str(), static_cast<long long>(used));
        } else if (result == kResultNotNtfs) {
          text = "Used space calculation for [" + volume.name + "], VM [" + args->mVMName +
                 "] is not possible, as this is only supported for NTFS volumes";
        } else {
          text = "Used space calculation failed for volume [" + volume.name + "], VM [" + args->mVMName + "]";
        }
        if (!text.empty()) ReportLVMProcessingError(args, text, false);
      } else if (args->mUsedSpace == 0) {
        m_event.DebugLvl(2, sig, "Used space for all NTFS volumes in the VM [%s] is [%llu]", args->mVMName.c_str(),
                         static_cast<unsigned long long>(mUsedSpaceCache));
        args->mUsedSpace = mUsedSpaceCache;
      }
    }
  }

  if ((args->mFlags & kFlagDumpFile) && !volumes.empty()) {
    m_event.DebugLvl(4, sig, "Dumping Information for [%zd] volumes into the volume file", volumes.size());
    error = clvm.DumpVolumeInfoToFile(dumpPath, volumes);
    if (error.IsError()) {
      m_event.Error(sig, "Failed to dump volume information, Error=%s", error.AsString().c_str());
      mLVMProcessingError = "Dump volume to File failed, error=" + error.AsString();
      return 1;
    }
    if (args->mFileMap != nullptr) (*args->mFileMap)[args->mVMGuid].push_back(dumpPath);
  }
  m_event.Debug(sig, "VolumeList size [%zd] atLeastOneMetadataCollectionHasFailed [%u]", volumes.size(), 0u);
  return volumes.empty() ? 1 : 0;
}

int quarnDiskConfig::GetVolumeUsedSpace(CLVM* clvm, LVM_Volume_t* volume, uint64_t& used) {
  static const char* const sig = "int quarnDiskConfig::GetVolumeUsedSpace(CLVM*, LVM_Volume_t*, UINT64&)";
  used = 0;
  if (volume->partitionType != kNtfsType) return kResultNotNtfs;
  CDRVolume drVolume;
  if (!OpenVolumeForMetadata(drVolume, clvm, volume, "used space calculation", sig)) return kResultOpenFailed;
  m_event.DebugLvl(2, sig, "Calculating used space in the file system...");
  const int code = drVolume.GetUsedSpace(used);
  m_event.DebugLvl(2, sig, "Calculating used space in the file system finished...");
  if (code != 0) {
    m_event.Debug(sig, "Failed to calculate used space in the file system, retCode [%d]", code);
    mLVMProcessingError = "Failed to to calculate used space in the file system";
    drVolume.CloseVolume();
    return kResultUsedSpaceFailed;
  }
  drVolume.CloseVolume();
  return 0;
}

bool quarnDiskConfig::OpenVolumeForMetadata(CDRVolume& drVolume, CLVM* clvm, LVM_Volume_t* volume, const char* purpose,
                                            const char* sig) {
  const int code = drVolume.OpenVolume(clvm, volume);
  if (code == 0) return true;
  const std::string text = code >= -30 && code <= -1 ? _ErrMsg[-code] : "";
  m_event.Debug(sig, "Failed to open the volume for %s, VolumeName=%s, retCode [%d], %s", purpose, volume->name.c_str(),
                code, text.c_str());
  mLVMProcessingError = "Failed to open volume for metadata processing, " + text;
  return false;
}

void quarnDiskConfig::DumpDiskPartTypeInfo(const std::vector<DiskPartitionType>& types) {
  static const char* const sig = "void quarnDiskConfig::DumpDiskPartTypeInfo(const std::vector<DiskPartitionType>&)";
  if (EvDebug::getLevel() < 2) return;
  for (size_t i = 0; i < types.size(); ++i) {
    m_event.DebugLvl(2, sig, "Disk #%zd", i);
    m_event.DebugLvl(2, sig, "Partition Scheme: %d", static_cast<int>(types[i].scheme));
    m_event.DebugLvl(2, sig, "Volume Mgmt     : %d", static_cast<int>(types[i].volumeManagement));
    for (size_t j = 0; j < types[i].mbrTypes.size(); ++j)
      m_event.DebugLvl(2, sig, "Partition type [%jd]: %d", static_cast<intmax_t>(j), static_cast<int>(types[i].mbrTypes[j]));
    for (size_t j = 0; j < types[i].gptTypes.size(); ++j)
      m_event.DebugLvl(2, sig, "Partition type GUID [%jd]: %s", static_cast<intmax_t>(j),
                       guestdisk::GuidText(types[i].gptTypes[j]).c_str());
  }
}

void quarnDiskConfig::_DumpDiskPartInfo(const std::vector<VolDriveLetter>& ids) {
  static const char* const sig = "void quarnDiskConfig::_DumpDiskPartInfo(const std::vector<VolDriveLetter>&)";
  for (const VolDriveLetter& id : ids) {
    if (id.kind == 0) {
      m_event.DebugLvl(2, sig, "MBR diskid [%s] [0x%x]", id.name.c_str(), id.signature);
      for (uint64_t offset : id.partitionOffsets)
        m_event.DebugLvl(2, sig, "\tpartOffset %llu.", static_cast<unsigned long long>(offset));
    } else if (id.kind == 1) {
      m_event.DebugLvl(2, sig, "GPT uniquepartid [%s] [%s]", id.name.c_str(), id.uniqueId.c_str());
    } else {
      m_event.DebugLvl(2, sig, "Unknown id [%d] diskid/uniquepartid [%s]", id.kind, id.name.c_str());
    }
  }
}

// ---- quarnVolumeConfig ----

int quarnVolumeConfig::doMetadataProcessing(doMetadataProcessingArgs* args) {
  if (args == nullptr) return 1;
  m_event.Debug("virtual int quarnVolumeConfig::doMetadataProcessing(doMetadataProcessingArgs*)",
                "Converting this operation to a regular volume metadata collection for vm [%s]...", args->mVMName.c_str());
  return doVolumeBackupMetadataCollection(args->mResultsDir != nullptr ? args->mResultsDir : "", args->mVMGuid,
                                          args->mFileMap);
}

int quarnVolumeConfig::doVolumeBackupMetadataCollection(const char* resultsDir, const std::string& vmGuid,
                                                        std::map<std::string, std::vector<std::string>>* fileMap) {
  static const char* const sig =
      "virtual int quarnVolumeConfig::doVolumeBackupMetadataCollection(const char*, const std::string&, std::map<std::string, std::vector<std::string>>*)";
  if (mMetadataVolumes.empty()) return 0;
  m_event.Debug(sig, "Starting volume metadata processing, Number of volumes [%d]", static_cast<int>(mMetadataVolumes.size()));
  int result = 0;
  for (const volMetadataInfo& volume : mMetadataVolumes) {
    m_event.Debug(sig, "Starting metadata collection on [%s], [%s]", volume.mVolumeGuid.c_str(), volume.mVolumeName.c_str());
    const int code = processMetadata(resultsDir, volume.mVolumeName, vmGuid, volume.mVolumeGuid, fileMap, volume.mVolumeNumber);
    if (code != 0) {
      m_event.Debug(sig, "Metadata collection failed for [%s], [%s]", volume.mVolumeGuid.c_str(), volume.mVolumeName.c_str());
      result = code;
    }
  }
  mMetadataVolumes.clear();
  return result;
}
