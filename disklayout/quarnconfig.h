#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/disk/I2ClusterBitmap.h"
#include "platform/os/ZtThread.h"
#include "records/FixedRecords.h"
#include "records/VMInfoStructs.h"

class IVMInfo;
class QuarnChangeIdFile;
class QuarnWorker;
class quarnConfig;
class vsArchive;
struct MountCtx;

// Sector ranges to leave out of a backup, keyed by the guest disk number. Ranges are inclusive at
// both ends and counted in sectors of the volume's sector size.
using SectorRangeMap = std::multimap<uint64_t, VMInfoStructs::SectorRange>;

// The argument block of one VM's backup. The worker's VM road keeps one on its stack for the whole
// VM and hands it to every phase; the layout object's getNextBkpObj refills the per-object fields
// (those that Reset clears) for each disk, volume or file collection; a disk thread works on a copy.
// Copies share the three thread slots (ZtThread copies share their thread) and the change-id file.
struct quarnBackupArgs {
  quarnBackupArgs();

  // Clears the per-object fields before the next object is filled. An iteration that finds no
  // further object leaves mBackupPath empty, which is how its end is told.
  void Reset();

  int32_t mRetCode = 0;                  // result of the last disk backup run on this block
  QuarnWorker* mOwnerWorker = nullptr;   // in a disk thread's copy: the worker that owns it
  ZtThread mDiskThread;
  ZtThread mCRCThread;
  ZtThread mArchiveThread;
  bool mStopFlag = false;                // stop the disk's work (a sibling disk failed)
  bool mIsDiskThreadCopy = false;
  quarnConfig* mConfig = nullptr;        // the VM's layout object; not owned
  uint32_t mBackupLevel = 0;
  uint64_t mAppTypeId = 0;
  std::string mAppId;
  subclientFiles* mSubclientFiles = nullptr;
  vsArchive* mArchive = nullptr;         // the VM's data stream; not owned
  IVMInfo* mVMInfo = nullptr;            // not owned
  MountCtx* mMountCtx = nullptr;         // not owned
  std::string mVMName;
  std::string mVMGuid;
  std::string mVMGuidForFiles;           // the GUID with every ':' replaced by '_'
  std::string mDiskPath;                 // per object
  std::string mDisplayName;              // per object
  std::string mBackupPath;               // per object: empty after getNextBkpObj = no more objects
  std::string mDiskName2;                // per object
  std::string mDiskId;                   // per object
  std::string mProxyName;                // per object
  std::string mBackupPathCopy;           // per object
  std::string mBackupName;
  uint32_t mDiskType = 0;                // per object (DiskType_t; 17 for a volume)
  uint32_t mObjectKind = 0;              // per object: 1 disk or volume, 2 file collection
  uint64_t mFileSize = 0;                // per object
  std::string mFileName;                 // per object; for a disk the change id of this backup
  std::string mIndexText;                // the encoded volume header of the disk
  uint32_t mExtentSize = 0;              // sectors
  std::string mDatastore;                // per object
  std::string mDiskName3;                // per object
  uint64_t mHeaderKind = 0;              // per object; 4 for configuration files
  uint64_t mAllocatedSize = 0;           // per object
  uint64_t mMountIndex = static_cast<uint64_t>(-1);  // per object
  uint64_t mMaxDiskSize = 0;             // per object: provisioned bytes
  std::string mParentIndexName;          // per object
  uint32_t mSectorSize = 512;            // per object
  std::string mDiskText1;                // per object
  std::string mDiskText2;                // per object
  bool mDiskFlag1 = false;               // per object
  uint64_t mBackedUpBytes = 0;
  uint64_t mGuestSize = 0;
  uint64_t mChangedSize = 0;
  bool mInActiveChain = true;            // per object
  SectorRangeMap mSectorsNotToBackup;
  SectorRangeMap mSectorsNotToBackup2;
  QuarnChangeIdFile* mChangeIdFile = nullptr;  // shared by copies; owned by the mount phase
  bool mVMRefPoint = false;
  bool mDiskRefPoint = false;            // per object
  std::string mText3;
  int32_t mChangeIdCheckedDisks = 0;
  int32_t mChangeIdFailedDisks = 0;
  std::set<uint64_t> mBlockSet;          // per object
  bool mGuestSizeKnown = false;
  bool mIsOSDisk = false;                // per object
  uint32_t mDiskNumber2 = 0;             // per object
  bool mIdentifyFSMetadata = false;
  std::string mDiskPairText;             // per object
  bool mLVMFailed = false;
  bool mGuestSizeFromLastJob = false;    // per object
};

// Partition type of one guest disk, for guest OS detection.
struct DiskPartitionType {
  uint32_t diskNumber = 0;
  std::string partitionType;
};

// One extent of a disk that holds guest file-system metadata, with an optional cluster bitmap.
// Copies share the bitmap.
struct ExtentInfo {
  static constexpr uint64_t kFileSystemMetadata = 0x100000000ULL;
  static constexpr uint64_t kMountExtent = 0x200000000ULL;
  static constexpr uint64_t kHasBitmap = 0x400000000ULL;

  ExtentInfo(uint64_t extentNumber, uint64_t flags, uint32_t clusterSize);

  // Replaces the bitmap by one built from its text form; a text that forms no valid bitmap leaves
  // the extent without one (null), not with an empty one.
  void SetMetadataClusterBitmap(const std::string& text);

  uint64_t mExtentNumber = 0;
  uint64_t mFlags = 0;
  std::shared_ptr<I2::ClusterBitmap> mBitmap;
};

struct ExtentInfoCompare {
  bool operator()(const ExtentInfo& a, const ExtentInfo& b) const { return a.mExtentNumber < b.mExtentNumber; }
};
using ExtentInfoSet = std::set<ExtentInfo, ExtentInfoCompare>;

// The argument block of one guest-metadata run.
struct doMetadataProcessingArgs {
  doMetadataProcessingArgs();

  const std::string* mResultsDir = nullptr;
  IVMInfo* mVMInfo = nullptr;
  MountCtx* mMountCtx = nullptr;
  std::string mVMName;
  std::string mVMGuid;
  std::string mBackupName;  // empty: mVMGuid is used
  uint32_t mExtentSizeSectors = 0;
  std::map<std::string, std::vector<std::string>>* mFileMap = nullptr;
  // 1 used space, 2 page-file and swap sectors, 4 volume dump file, 8 free-space sectors,
  // 16 live-browse prefetch extents, 32 partition types.
  uint32_t mFlags = 0;
  uint64_t mUsedSpace = 0;
  SectorRangeMap mPageFileSectors;
  SectorRangeMap mFreeSectors;
  std::map<std::string, ExtentInfoSet>* mExtentMap = nullptr;
  bool mLinuxFBR = false;
  std::string mFBRFileSystems;
  bool mAllowPartialMetadata = true;
  bool mEnableVolDriveLetters = true;
  bool mSkipSysHiveFileLoad = false;
  std::vector<std::string> mErrors;
  bool mOnlySkipFirstPageFile = false;
  bool mIsFullBackup = false;
  bool mIdentifyFSMetadata = false;
  std::vector<DiskPartitionType> mPartitionTypes;
};

// One volume queued for volume-level metadata collection.
struct volMetadataInfo {
  volMetadataInfo() = default;
  std::string mVolumeName;
  std::string mVolumeGuid;
  uint32_t mVolumeNumber = 0;
};

// The layout object of one VM: which disks, volumes and file collections are backed up. The worker
// makes one at set-up and keeps it; the iteration over backup objects comes with the disk layout.
class quarnConfig {
 public:
  quarnConfig() = default;
  virtual ~quarnConfig() = default;
  quarnConfig(const quarnConfig&) = delete;
  quarnConfig& operator=(const quarnConfig&) = delete;

  void setMetadataSupport(bool on) { m_metadataSupport = on; }
  bool getMetadataSupport() const { return m_metadataSupport; }
  // Bytes the VM's backup objects take on disk; 0 until the VM's disks are laid out.
  virtual uint64_t getTotalSizeOnDisk() const { return 0; }

 private:
  bool m_metadataSupport = false;
};

// Layout by whole virtual disks.
class quarnDiskConfig : public quarnConfig {};

// Layout by guest volumes.
class quarnVolumeConfig : public quarnConfig {};
