#include "disklayout/quarnconfig.h"

#include <algorithm>

#include "platform/ev/EvDebug.h"

quarnBackupArgs::quarnBackupArgs() {
  mSectorsNotToBackup.clear();
  mSectorsNotToBackup2.clear();
}

void quarnBackupArgs::Reset() {
  mDiskPath.clear();
  mDisplayName.clear();
  mBackupPath.clear();
  mDiskName2.clear();
  mDiskId.clear();
  mProxyName.clear();
  mBackupPathCopy.clear();
  mDiskType = 0;
  mObjectKind = 0;
  mFileSize = 0;
  mFileName.clear();
  mDatastore.clear();
  mDiskName3.clear();
  mHeaderKind = 0;
  mAllocatedSize = 0;
  mMountIndex = 0;
  mMaxDiskSize = 0;
  mParentIndexName.clear();
  mSectorSize = 512;
  mDiskText1.clear();
  mDiskText2.clear();
  mDiskFlag1 = false;
  mInActiveChain = false;
  mDiskRefPoint = false;
  mBlockSet.clear();
  mIsOSDisk = false;
  mDiskNumber2 = 0;
  mDiskPairText.clear();
  mGuestSizeFromLastJob = false;
  mBaseJobId = 0;
  mBaseChangeId.clear();
}

ExtentInfo::ExtentInfo(uint64_t extentNumber, uint64_t flags, uint32_t clusterSize)
    : mExtentNumber(extentNumber), mFlags(flags), mBitmap(std::make_shared<I2::ClusterBitmap>(clusterSize)) {}

void ExtentInfo::SetMetadataClusterBitmap(const std::string& text) {
  mBitmap = std::make_shared<I2::ClusterBitmap>(text);
  if (!mBitmap->IsValidBitmap()) mBitmap.reset();
}

doMetadataProcessingArgs::doMetadataProcessingArgs() {
  mPageFileSectors.clear();
  mFreeSectors.clear();
}

void quarnBackupArgs::GetDiskSectorsNotToBackup(uint64_t disk, std::vector<VMInfoStructs::SectorRange>& ranges) const {
  static const char* const sig =
      "void quarnBackupArgs::GetDiskSectorsNotToBackup(uint64_t, std::vector<VMInfoStructs::SectorRange>&)";
  ranges.clear();
  for (const SectorRangeMap* map : {&mSectorsNotToBackup, &mSectorsNotToBackup2}) {
    auto found = map->equal_range(disk);
    for (auto it = found.first; it != found.second; ++it) ranges.push_back(it->second);
  }
  std::stable_sort(ranges.begin(), ranges.end(), quarnDiskConfig::SectorRangeCompare);
  uint64_t lastEnd = 0;
  size_t kept = 0;
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (kept > 0 && lastEnd != 0 && lastEnd + 1 == ranges[i].first) {
      VMInfoStructs::SectorRange& previous = ranges[kept - 1];
      EvDebug::DebugLvl(2, sig, "Merging contiguous entries StartSec[%llu] - EndSec[%llu] and StartSec[%llu] - EndSec[%llu]",
                        static_cast<unsigned long long>(previous.first), static_cast<unsigned long long>(previous.last),
                        static_cast<unsigned long long>(ranges[i].first), static_cast<unsigned long long>(ranges[i].last));
      previous.last = ranges[i].last;
    } else {
      ranges[kept++] = ranges[i];
    }
    lastEnd = ranges[kept - 1].last;
  }
  ranges.resize(kept);
}
