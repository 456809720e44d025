#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/vmParams.h"
#include "platform/disk/I2ClusterBitmap.h"
#include "platform/disk/LVMTypes.h"
#include "platform/os/ZtMutex.h"
#include "platform/ev/EvEvent.h"
#include "platform/index/vsIndexClient.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/os/CPxError.h"
#include "platform/os/ZtThread.h"
#include "records/FixedRecords.h"
#include "records/VMInfoStructs.h"

class CDRVolume;
class CLVM;
class IVMInfo;
class QuarnChangeIdFile;
class QuarnWorker;
class quarnConfig;
class vsAppMgr;
class vsArchive;
struct MountCtx;
enum VirtualServerInstanceType : int;

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
  // The sectors of the disk (the mount's index of it) to leave out: those of both maps, sorted by
  // their first sector, exactly adjacent ranges merged.
  void GetDiskSectorsNotToBackup(uint64_t disk, std::vector<VMInfoStructs::SectorRange>& ranges) const;

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
  // Per object: for a disk backed up as the changes since an earlier backup, that backup's job (-1 when
  // its record does not say) and its change id of the disk; 0 for a disk backed up whole.
  int64_t mBaseJobId = 0;
  std::string mBaseChangeId;
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
// The metadata extents of a VM's disks by disk name, compared without regard to case.
using ExtentInfoMap = std::map<std::string, ExtentInfoSet, __less_nocase_cmp>;

// The argument block of one guest-metadata run.
struct doMetadataProcessingArgs {
  doMetadataProcessingArgs();

  const char* mResultsDir = nullptr;
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
  ExtentInfoMap* mExtentMap = nullptr;
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

// The layout object of one VM: what of the VM is backed up and in which order. The worker makes one
// when it initialises and keeps it from VM to VM: reset() at the start of a VM, getMountInfo() after
// the mount, then resetGetNextBkpObj() and getNextBkpObj() until the argument block comes back with
// an empty mBackupPath. Results are 0 for success (isOK) and non-zero for failure (isError).
//
// Used by the worker's thread and its disk threads; the disk threads work on their own copies of the
// argument block, never on the object's iterators.
class quarnConfig {
 public:
  // Checked between long steps of a metadata run; set by the last worker that calls
  // SetQuitFlagCallback, for every layout object of the process.
  using QuitFlagCallback = int (*)(int, void*, void*);

  quarnConfig() = default;
  virtual ~quarnConfig() = default;
  quarnConfig(const quarnConfig&) = delete;
  quarnConfig& operator=(const quarnConfig&) = delete;

  virtual int getMountType() = 0;
  virtual int getMountInfo(MountCtx& ctx, IVMInfo* vmInfo) = 0;
  virtual uint64_t getTotalSize() = 0;
  virtual void resetGetNextBkpObj() = 0;
  // Fills the per-object fields of the block with the next object; an empty mBackupPath when there is
  // none (also on every later call). Does nothing without a block.
  virtual void getNextBkpObj(quarnBackupArgs* args) = 0;
  virtual ProductType_t getProductType(const vsAppMgr& appMgr) = 0;
  virtual int getBackupTypeForIndexing() = 0;
  virtual std::string getUniqueId() = 0;
  virtual bool isError(int code) { return code != 0; }
  virtual bool isOK(int code) { return code == 0; }
  virtual void addDiskForLVMProcessing(ProductType_t productType, const std::string& path, const std::string& diskId,
                                       DiskType_t diskType, const char* indexDirName, uint64_t extentSize,
                                       uint32_t sectorSize, bool last) {}
  virtual int doMetadataProcessing(doMetadataProcessingArgs* args);
  virtual int GetLiveBrowsePrefetchXMLPath(const std::string& vmGuid, std::string& path) { return 0; }
  virtual int addVolumeForMetadataCollection(const std::string& name, const std::string& guid, uint32_t number) {
    return 0;
  }
  virtual int doVolumeBackupMetadataCollection(const char* resultsDir, const std::string& vmGuid,
                                               std::map<std::string, std::vector<std::string>>* fileMap) {
    return 0;
  }
  // Item names in the archive: a metadata file (two names, two numbers), an extent (two names and the
  // extent number), the ancestor of both (two names).
  virtual const char* getFileHeaderMetadataFormatString() { return "\\%s\\%s\\metadata_%d_%d"; }
  virtual const char* getFileHeaderExtentFormatString() { return "\\%s\\%s\\Extent%lld"; }
  virtual const char* getFileHeaderAncestorFormatString() { return "\\%s\\%s"; }
  virtual bool isInFilterList(const std::string& name, const vsAppMgr& appMgr) { return false; }
  virtual void setFilterList(const std::list<std::string>& filters) {}
  virtual std::string getLVMProcessingError() { return mLVMProcessingError; }
  virtual void setMetadataSupport(bool on) { mMetadataSupport = on; }
  virtual bool isMetadataSupport() { return mMetadataSupport; }
  virtual uint64_t getTotalSizeOnDisk() { return 0; }
  virtual uint64_t getChangedSizeOnDisk() { return 0; }
  virtual size_t getLVMDiskCount() { return 0; }
  virtual void resetLVMDiskList() {}
  virtual void reset() {
    mLVMProcessingError.clear();
    mFailbackError.clear();
  }
  // Records an error of the VM's metadata run in the block (and as a minor job event when asked);
  // the first one reported is kept as the VM's. False without a block or a text.
  virtual bool ReportLVMProcessingError(doMetadataProcessingArgs* args, const std::string& text, bool raiseEvent);
  // The guest's operating system from a disk the proxy sees as a device, or from the partition types
  // of the guest's disks: 21 Windows, 0 not detected. The base detects nothing.
  virtual int DetectGuestOS(const std::string& devicePath) { return 0; }
  virtual int DetectGuestOS(const std::vector<DiskPartitionType>& partitionTypes, bool skipFat) { return 0; }

  // ---- A failback's replica backed up under its source VM's index names (quarnconfig_failback.cpp) ----
  // Called after getMountInfo and before the walk: renames, drops or adds backup objects so that each
  // continues the source's chain, from the index metadata of the source's last backup and the
  // replication's tracking records (App::VSAReplicationTrakingIdInfo). False when a disk cannot be
  // named; the objects may then be partly renamed. A layout that has no disks changes nothing.
  virtual bool ModifyDiskIndexPathsForFailback(IdxMetadataByName& previous, const CNMessageList& tracking,
                                               VirtualServerInstanceType sourceType) {
    return true;
  }
  // The same for a replica that runs on another hypervisor than its source.
  virtual bool ModifyDiskIndexPathsForCrossVendorFailback(IdxMetadataByName& previous, const CNMessageList& tracking,
                                                          VirtualServerInstanceType sourceType) {
    return true;
  }
  // The items of the last backup (its index metadata) that no backup object of this one carries.
  virtual bool getDeletedDisks(IdxMetadataByName& previous, std::vector<std::string>& deleted) { return true; }
  // Why the last failback renaming failed.
  const std::string& getFailbackError() const { return mFailbackError; }

  bool _ReportLVMProcessingError(doMetadataProcessingArgs* args, const char* text, bool raiseEvent) {
    return ReportLVMProcessingError(args, text != nullptr ? std::string(text) : std::string(), raiseEvent);
  }
  static void SetQuitFlagCallback(QuitFlagCallback callback, int firstArg, void* secondArg);
  // The callback as last set, read as one; all null or 0 until set.
  static void GetQuitFlagCallback(QuitFlagCallback& callback, int& firstArg, void*& secondArg);
  // A worker that ends takes its callback back, so that nothing calls into a worker that is gone; a
  // callback set since by another worker stays.
  static void ClearQuitFlagCallback(void* secondArg);

 private:
  // Workers on several threads set these; the lock keeps the three of one caller together.
  static ZtMutex s_quitFlagCallbackLock;
  static QuitFlagCallback CheckQuitFlagCallback GUARDED_BY(s_quitFlagCallbackLock);
  static int CheckQuitFlagCallbackFirstArg GUARDED_BY(s_quitFlagCallbackLock);
  static void* CheckQuitFlagCallbackSecondArg GUARDED_BY(s_quitFlagCallbackLock);

 protected:
  bool mMetadataSupport = false;
  EvEvent m_event;
  std::string mLVMProcessingError;
  std::string mFailbackError;
};

// Layout by whole virtual disks: the mount records of the VM (one per disk, configuration file or
// file collection) and, within each, its files in order.
class quarnDiskConfig : public quarnConfig {
 public:
  quarnDiskConfig() = default;

  int getMountType() override { return 0; }
  // Reads the mount records; 22 when the VM-information object fails or a record has no files.
  int getMountInfo(MountCtx& ctx, IVMInfo* vmInfo) override;
  // Provisioned bytes of the VM's disks (files of types 14 and 22 left out).
  uint64_t getTotalSize() override;
  void resetGetNextBkpObj() override;
  void getNextBkpObj(quarnBackupArgs* args) override;
  ProductType_t getProductType(const vsAppMgr& appMgr) override;
  int getBackupTypeForIndexing() override { return 16; }
  std::string getUniqueId() override { return mVDiskName; }
  void addDiskForLVMProcessing(ProductType_t productType, const std::string& path, const std::string& diskId,
                               DiskType_t diskType, const char* indexDirName, uint64_t extentSize, uint32_t sectorSize,
                               bool last) override;
  uint64_t getTotalSizeOnDisk() override;
  uint64_t getChangedSizeOnDisk() override;
  size_t getLVMDiskCount() override { return mLVMDisks.size(); }
  void resetLVMDiskList() override;
  void reset() override;
  bool ModifyDiskIndexPathsForFailback(IdxMetadataByName& previous, const CNMessageList& tracking,
                                       VirtualServerInstanceType sourceType) override;
  bool ModifyDiskIndexPathsForCrossVendorFailback(IdxMetadataByName& previous, const CNMessageList& tracking,
                                                  VirtualServerInstanceType sourceType) override;
  bool getDeletedDisks(IdxMetadataByName& previous, std::vector<std::string>& deleted) override;

  // ---- The guest's operating system (quarnconfig_guestos.cpp) ----
  int DetectGuestOS(const std::string& devicePath) override;
  int DetectGuestOS(const std::vector<DiskPartitionType>& partitionTypes, bool skipFat) override;
  // From the file systems lsblk finds on the VM's disks (or on the one device given): 21 when a
  // mount record's disks show a Windows file system and no Linux one, else 0.
  int DetectGuestOSUnix(const std::string& devicePath);
  int DetectGuestOSWindows(const std::string&) { return 0; }
  // Runs "lsblk -o FSTYPE -a -r -n -f DEVICE" (its own argv, no shell): its exit code, its output
  // (error text merged in) and, when it could not be run, why. Virtual for tests.
  virtual int RunFileSystemProbe(const std::string& device, std::string& output, std::string& errorText);
  // The mount path the worker mounted the VM under.
  void SetMountPath(const std::string& path) { mMountPath = path; }
  const std::vector<LVM_HardDisk_t>& GetLVMDisks() const { return mLVMDisks; }
  // The mount's index of the disks added next when the object walks no mount records (one disk set
  // up on its own): the sector ranges found on them are stored under it.
  void SetMountIndexForLVMDisks(uint64_t index) { mLooseMountIndex = index; }
  uint64_t GetUsedSpaceCache() const { return mUsedSpaceCache; }

  // ---- Guest metadata (quarnconfig_metadata.cpp) ----
  int doMetadataProcessing(doMetadataProcessingArgs* args) override;
  // One pass over the guest's volumes that produces what the run's flags ask for. 0, or 1 when the
  // disks cannot be parsed, the dump file cannot be written or the guest has no volume.
  int doLVMProcessing(doMetadataProcessingArgs* args);
  // 0 with the volume's used bytes; 105 not NTFS, 25 not opened, 106 not measured.
  int GetVolumeUsedSpace(CLVM* clvm, LVM_Volume_t* volume, uint64_t& used);
  void DumpDiskPartTypeInfo(const std::vector<DiskPartitionType>& types);
  void _DumpDiskPartInfo(const std::vector<VolDriveLetter>& ids);

  // ---- Live-browse prefetch extents (quarnconfig_livebrowse.cpp) ----
  // The extents that hold each NTFS volume's $MFT and directory indices (a full backup that
  // identifies file-system metadata), then the VM's prefetch list beside the mount. Always true: a
  // volume that cannot be walked keeps its error in the run and the others go on.
  virtual bool GetLiveBrowsePrefetchExtents(CLVM& clvm, std::vector<LVM_Volume_t>& volumes,
                                            doMetadataProcessingArgs* args);
  // One run of clusters of a volume as the volume reader reports it, with where the volume starts on
  // its disk and the disk's extent size, both in bytes.
  struct ClusterInfo {
    uint64_t clusterSize = 0;
    uint64_t firstCluster = 0;
    uint64_t clusterCount = 0;
    uint32_t bytesPerSector = 0;
    uint64_t extentBytes = 0;
    uint64_t volumeStartBytes = 0;
    uint64_t flags = ExtentInfo::kFileSystemMetadata;
    bool granularRecalls = false;  // bEnableGranularRecalls: mark the run's clusters in each extent's bitmap
  };
  // Adds the extents the run touches to the disk's set (newCount counts those not there before).
  // Always success; a run of no size or an extent size of 0 adds nothing.
  CPxError ProcessMetadataCluster(const ClusterInfo& info, const std::string& diskName, ExtentInfoMap& extents,
                                  uint64_t& newCount);
  bool GetMFTExtentsByParsing(CLVM& clvm, LVM_Volume_t& volume, doMetadataProcessingArgs* args);
  // A volume's mount extents come from the index, not from parsing: always true.
  bool GetMountExtentsByParsing(CLVM&, LVM_Volume_t&, doMetadataProcessingArgs*) { return true; }
  static bool IsWellKnownFileSystemFormat(const LVM_Volume_t& volume);
  // 1 saved or nothing to save, 0 not saved.
  int DumpLiveBrowsePrefetchXML(const doMetadataProcessingArgs* args, const std::vector<LVM_Volume_t>& volumes);
  int GetLiveBrowsePrefetchXMLPath(const std::string& vmGuid, std::string& path) override;

  // ---- Sectors that need no backup (quarnconfig_sectors.cpp) ----
  // Page-file (NTFS) or swap (other volumes) sectors of the volume, in volume sectors. 0, 124 not
  // swap, 125 not searchable here, 25 not opened, or the page-file search's own code.
  int GetVolumePageFileSectors(LVM_Volume_t* volume, CLVM* clvm, std::vector<VMInfoStructs::SectorRange>& ranges);
  // Swap pages of a Linux swap volume past its header; false when the volume is no swap (or holds a
  // file system the probe knows).
  bool GetLinuxSwapPartitionSectors(LVM_Volume_t* volume, CLVM* clvm, std::vector<VMInfoStructs::SectorRange>& ranges);
  // Free clusters of an NTFS volume in volume sectors. 0, 134 dynamic disk, 105 not NTFS, 25 not
  // opened, 106 not measured.
  int GetVolumeFreeSectorsRegions(CDRVolume& drVolume, CLVM* clvm, LVM_Volume_t* volume,
                                  std::vector<VMInfoStructs::SectorRange>& ranges);
  // Volume ranges as disk ranges under each disk's key (the mount's index of the disk). A range that
  // no single component holds is dropped, and so is every range of a RAID volume; one that runs past
  // its component's partition ends with the partition. Always 0.
  int MapVolSectorsToDisk(LVM_Volume_t* volume, const std::vector<VMInfoStructs::SectorRange>& ranges,
                          SectorRangeMap& diskRanges);
  static bool SectorRangeCompare(const VMInfoStructs::SectorRange& a, const VMInfoStructs::SectorRange& b) {
    return a.first < b.first;
  }

 private:
  void MapRangeOnComponent(const LVM_Volume_t& volume, const LVM_Component_t& component,
                           const VMInfoStructs::SectorRange& range, SectorRangeMap& diskRanges);
  void MapRangeOnStripes(const LVM_Volume_t& volume, const LVM_Segment_t& segment,
                         const VMInfoStructs::SectorRange& range, SectorRangeMap& diskRanges);
  uint64_t RangeKeyOfDisk(int32_t hardDiskIndex) const;
  // The disk name and start (bytes) of a volume that is one piece of one disk; false otherwise.
  bool VolumeOnOneDisk(const LVM_Volume_t& volume, std::string& diskName, uint64_t& startBytes) const;
  // The name the backup sends a metadata disk's extents under, and a restore looks them up by: its
  // first file's index name as it was added, before a VMware name was cut at its last '_'.
  std::string BackupNameOfLVMDisk(const LVM_HardDisk_t& disk) const;
  // Opens the NTFS of a volume for a metadata measure; false (logged, kept as the VM's error) when not.
  bool OpenVolumeForMetadata(CDRVolume& drVolume, CLVM* clvm, LVM_Volume_t* volume, const char* purpose,
                             const char* sig);

  std::vector<VMInfoStructs::SMountInfoFull> mMountInfos;
  size_t mMountIter = 0;
  size_t mFileIter = 0;
  std::string mMountPath;
  std::string mVDiskName;
  std::vector<LVM_HardDisk_t> mLVMDisks;
  // Disk file path -> the index name it was added under, uncut (BackupNameOfLVMDisk).
  std::map<std::string, std::string> mLVMDiskBackupNames;
  LVM_HardDisk_t mCurrentHardDisk;
  uint64_t mReserved = 0;
  uint64_t mUsedSpaceCache = 0;
  uint64_t mLooseMountIndex = static_cast<uint64_t>(-1);
};

// The guest-metadata run of a disk layout object: 1 without one; an exception escaping the run is
// reported in the arguments (with a job event) and gives 1.
int _doLVMProcessing(quarnDiskConfig* config, doMetadataProcessingArgs* args);

// The read callback handed to the Linux file-system probe: `context` is an RDFDReadContext; reads
// the volume through the guest volume library and returns the bytes read (0 when they cannot be).
struct RDFDReadContext {
  CLVM* clvm = nullptr;
  const LVM_Volume_t* volume = nullptr;
};
int RDFDReadCallBack(void* context, char* buffer, uint32_t length, uint64_t offset);

// Layout by guest volumes.
class quarnVolumeConfig : public quarnConfig {
 public:
  quarnVolumeConfig() = default;

  int getMountType() override { return 1; }
  int getMountInfo(MountCtx& ctx, IVMInfo* vmInfo) override;
  uint64_t getTotalSize() override { return 0; }
  void resetGetNextBkpObj() override { mVolumeIter = 0; }
  void getNextBkpObj(quarnBackupArgs* args) override;
  ProductType_t getProductType(const vsAppMgr&) override { return kProductOther; }
  int getBackupTypeForIndexing() override { return 8; }
  std::string getUniqueId() override { return mMountGuid; }
  int addVolumeForMetadataCollection(const std::string& name, const std::string& guid, uint32_t number) override;
  bool isInFilterList(const std::string&, const vsAppMgr&) override { return false; }
  void reset() override;
  const std::list<volMetadataInfo>& GetMetadataVolumes() const { return mMetadataVolumes; }
  // A volume-level backup collects its metadata volume by volume.
  int doMetadataProcessing(doMetadataProcessingArgs* args) override;
  int doVolumeBackupMetadataCollection(const char* resultsDir, const std::string& vmGuid,
                                       std::map<std::string, std::vector<std::string>>* fileMap) override;
  // Nothing of a volume is collected here: 0.
  virtual int processMetadata(const char* resultsDir, const std::string& volumeName, const std::string& vmGuid,
                              const std::string& volumeGuid, std::map<std::string, std::vector<std::string>>* fileMap,
                              uint32_t number) {
    return 0;
  }

 private:
  std::vector<VMInfoStructs::SMountInfoFile> mVolumes;
  size_t mVolumeIter = 0;
  std::string mVolumeGuid;
  std::string mMountGuid;
  std::list<volMetadataInfo> mMetadataVolumes;
};
