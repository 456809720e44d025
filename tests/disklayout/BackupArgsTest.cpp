// The per-VM argument block and the metadata extent record.
#include <gtest/gtest.h>

#include "disklayout/quarnconfig.h"

namespace {

TEST(BackupArgs, ResetClearsThePerObjectFieldsOnly) {
  quarnBackupArgs args;
  EXPECT_EQ(512u, args.mSectorSize);
  EXPECT_EQ(static_cast<uint64_t>(-1), args.mMountIndex);
  EXPECT_TRUE(args.mInActiveChain);

  args.mVMName = "vm1";
  args.mVMGuid = "G1";
  args.mBackedUpBytes = 4096;
  args.mSectorsNotToBackup.emplace(0, VMInfoStructs::SectorRange(8, 15));
  args.mBackupPath = "disk-0";
  args.mSectorSize = 4096;
  args.mBlockSet.insert(3);
  args.Reset();
  EXPECT_TRUE(args.mBackupPath.empty()) << "an exhausted iteration leaves no backup path";
  EXPECT_EQ(512u, args.mSectorSize);
  EXPECT_EQ(0u, args.mMountIndex);
  EXPECT_FALSE(args.mInActiveChain);
  EXPECT_TRUE(args.mBlockSet.empty());
  EXPECT_EQ("vm1", args.mVMName);
  EXPECT_EQ("G1", args.mVMGuid);
  EXPECT_EQ(4096u, args.mBackedUpBytes);
  EXPECT_EQ(1u, args.mSectorsNotToBackup.size());
}

TEST(BackupArgs, ExtentBitmapIsSharedByCopiesAndDroppedWhenItsTextIsNotABitmap) {
  ExtentInfo extent(7, ExtentInfo::kFileSystemMetadata, 4096);
  ASSERT_NE(nullptr, extent.mBitmap);
  ExtentInfo copy = extent;
  EXPECT_EQ(extent.mBitmap.get(), copy.mBitmap.get());

  extent.SetMetadataClusterBitmap("4096:ff00");
  ASSERT_NE(nullptr, extent.mBitmap);
  EXPECT_EQ("4096:ff00", extent.mBitmap->ToString());
  for (const char* text : {"", "4096", "3000:ff", "4096:f", "4096:zz", ":00"}) {
    SCOPED_TRACE(text);
    extent.SetMetadataClusterBitmap(text);
    EXPECT_EQ(nullptr, extent.mBitmap);
  }
  EXPECT_NE(nullptr, copy.mBitmap) << "the copy keeps the bitmap it shared";
}

}  // namespace
