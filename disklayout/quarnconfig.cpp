#include "disklayout/quarnconfig.h"

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
