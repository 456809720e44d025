// Live-browse prefetch extents: which extents a run of clusters touches (from byte offsets, whatever
// the cluster, extent and volume start), the extents a real NTFS volume's $MFT and directory indices
// lie in as ntfsinfo reports their runs, and the VM's prefetch list saved, reloaded and merged.
#include <gtest/gtest.h>

#include <set>

#include "disklayout/quarnconfig.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/FBRMessages.h"
#include "support/GuestImages.h"
#include "support/TestLab.h"
#include "support/VirtualClock.h"

namespace {

using Info = quarnDiskConfig::ClusterInfo;
constexpr uint64_t kKiB = 1024;

Info RunOf(uint64_t clusterSize, uint64_t first, uint64_t count, uint64_t extentBytes, uint64_t volumeStart = 0,
         bool granular = false) {
  Info info;
  info.clusterSize = clusterSize;
  info.firstCluster = first;
  info.clusterCount = count;
  info.bytesPerSector = 512;
  info.extentBytes = extentBytes;
  info.volumeStartBytes = volumeStart;
  info.granularRecalls = granular;
  return info;
}

std::vector<uint64_t> Numbers(const ExtentInfoSet& set) {
  std::vector<uint64_t> numbers;
  for (const ExtentInfo& extent : set) numbers.push_back(extent.mExtentNumber);
  return numbers;
}

TEST(LiveBrowseExtents, ARunMapsToTheExtentsThatHoldItsBytes) {
  struct Case {
    const char* name;
    Info run;
    std::vector<uint64_t> extents;
  };
  const Case cases[] = {
      {"10 clusters from 3 before a boundary: two extents", RunOf(4 * kKiB, 13, 10, 64 * kKiB), {0, 1}},
      {"a run that ends at a boundary", RunOf(4 * kKiB, 0, 16, 64 * kKiB), {0}},
      {"one cluster past it", RunOf(4 * kKiB, 0, 17, 64 * kKiB), {0, 1}},
      {"a cluster the size of an extent", RunOf(64 * kKiB, 5, 2, 64 * kKiB), {5, 6}},
      {"a cluster larger than an extent", RunOf(128 * kKiB, 1, 1, 64 * kKiB), {2, 3}},
      {"a volume at sector 63", RunOf(4 * kKiB, 8, 1, 64 * kKiB, 63 * 512), {0, 1}},
      {"a volume at sector 63, the cluster before", RunOf(4 * kKiB, 7, 1, 64 * kKiB, 63 * 512), {0}},
      {"an extent size of 0", RunOf(4 * kKiB, 0, 100, 0), {}},
      {"a run of no clusters", RunOf(4 * kKiB, 9, 0, 64 * kKiB), {}},
      {"a run past 64 bits", RunOf(4 * kKiB, UINT64_MAX / 1024, 4, 64 * kKiB), {}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    quarnDiskConfig config;
    ExtentInfoMap map;
    uint64_t newCount = 0;
    EXPECT_TRUE(config.ProcessMetadataCluster(test.run, "disk", map, newCount).IsSuccess());
    EXPECT_EQ(test.extents, Numbers(map["disk"]));
    EXPECT_EQ(test.extents.size(), newCount);
  }
}

TEST(LiveBrowseExtents, ARunReportedAgainAddsNothingAndBitmapsOnlyWithGranularRecalls) {
  quarnDiskConfig config;
  ExtentInfoMap map;
  uint64_t newCount = 0;
  config.ProcessMetadataCluster(RunOf(4 * kKiB, 13, 10, 64 * kKiB), "Disk", map, newCount);
  config.ProcessMetadataCluster(RunOf(4 * kKiB, 13, 10, 64 * kKiB), "disk", map, newCount);
  EXPECT_EQ(2u, newCount) << "the same run twice, under the name in another case";
  ASSERT_EQ(1u, map.size());
  for (const ExtentInfo& extent : map["disk"]) {
    EXPECT_EQ(ExtentInfo::kFileSystemMetadata, extent.mFlags);
    EXPECT_FALSE(extent.mBitmap && extent.mBitmap->IsBitmapSet());
  }
  config.ProcessMetadataCluster(RunOf(4 * kKiB, 13, 10, 64 * kKiB, 0, true), "disk", map, newCount);
  EXPECT_EQ(2u, newCount);
  const ExtentInfo& first = *map["disk"].begin();
  const ExtentInfo& second = *map["disk"].rbegin();
  EXPECT_EQ(ExtentInfo::kFileSystemMetadata | ExtentInfo::kHasBitmap, first.mFlags);
  EXPECT_EQ(ExtentInfo::kFileSystemMetadata | ExtentInfo::kHasBitmap, second.mFlags);
  // Clusters 13 to 15 of extent 0, and 0 to 6 of extent 1.
  EXPECT_FALSE(first.mBitmap->IsSet(12 * 4 * kKiB));
  EXPECT_TRUE(first.mBitmap->IsSet(13 * 4 * kKiB));
  EXPECT_TRUE(first.mBitmap->IsSet(15 * 4 * kKiB));
  EXPECT_TRUE(second.mBitmap->IsSet(6 * 4 * kKiB));
  EXPECT_FALSE(second.mBitmap->IsSet(7 * 4 * kKiB));
}

class LiveBrowseImages : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ("", guestimages::MissingTool()) << "run scripts/deps.sh";
    char pattern[] = "/tmp/quarn-livebrowse-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  static void TearDownTestSuite() { guestimages::Run("rm -rf " + guestimages::Quote(dir_)); }
  static std::string dir_;
};
std::string LiveBrowseImages::dir_;

// A disk's index name on VMware, the default hypervisor: the layout cuts it at its last '_' for the
// guest's disk ids, while its extents are sent and looked up under the whole name.
const char kIndexName[] = "scsi0-0-vm01_0.img";
constexpr uint64_t kExtentSectors = 16;  // 8 KiB extents: the runs fall in many
constexpr uint64_t kExtentBytes = kExtentSectors * 512;
using guestimages::kNtfsVolumeSectors;

struct Walk {
  testsupport::TestLab lab;
  quarnDiskConfig config;
  ExtentInfoMap extents;
  doMetadataProcessingArgs args;
  std::string results;

  explicit Walk(const std::string& disk) {
    lab.OpenLog();
    results = lab.Path("results");
    guestimages::Run("mkdir -p " + guestimages::Quote(results) + " " + guestimages::Quote(lab.Path("mnt")));
    config.SetMountPath(lab.Path("mnt"));
    config.SetMountIndexForLVMDisks(0);
    config.addDiskForLVMProcessing(kProductVMware, disk, "id", 2, kIndexName, 2048, 512, true);
    args.mResultsDir = results.c_str();
    args.mVMName = "vm";
    args.mVMGuid = "guid-1";
    args.mFlags = 16;
    args.mExtentSizeSectors = kExtentSectors;
    args.mExtentMap = &extents;
    args.mIdentifyFSMetadata = true;
    args.mIsFullBackup = true;
  }
};

// An NTFS volume at sector 2048 and one at sector 63 (not on a cluster boundary of the disk): the
// extents found are those that hold the $MFT's data and the directory indices' allocations, as
// ntfsinfo gives their runs, and nothing else.
TEST_F(LiveBrowseImages, TheExtentsFoundHoldTheMftAndTheDirectoryIndicesAsNtfsinfoReportsThem) {
  for (uint64_t start : {uint64_t{2048}, uint64_t{63}}) {
    SCOPED_TRACE("NTFS at sector " + std::to_string(start));
    const std::string disk = dir_ + "/disk" + std::to_string(start) + ".img";
    ASSERT_TRUE(guestimages::MakeNtfsDisk(disk, {start}));
    Walk walk(disk);
    ASSERT_EQ(0, walk.config.doMetadataProcessing(&walk.args)) << walk.config.getLVMProcessingError();

    std::set<uint64_t> expected;
    ASSERT_TRUE(guestimages::AddNtfsinfoExtents(disk, start, true, kExtentBytes, expected));
    EXPECT_EQ(std::vector<uint64_t>(expected.begin(), expected.end()), Numbers(walk.extents[kIndexName]));
    EXPECT_EQ(1u, walk.extents.size()) << "filed under the name the disk is backed up by, not one cut at its '_'";
    EXPECT_EQ("scsi0-0-vm01", walk.config.GetLVMDisks()[0].files[0].indexDirName) << "the guest's disk ids keep the cut";
    EXPECT_EQ("", walk.config.getLVMProcessingError());
    const std::string log = walk.lab.Log();
    EXPECT_NE(std::string::npos, log.find(std::string("$MFT extents newly discovered for disk [") + kIndexName + "]"));
    EXPECT_NE(std::string::npos, log.find(std::string("$MFT and DIRECTORY IDX extents newly discovered for disk [") + kIndexName + "]"));

    // Without a full backup that identifies metadata, nothing is walked.
    ExtentInfoMap none;
    walk.args.mExtentMap = &none;
    walk.args.mIsFullBackup = false;
    walk.config.addDiskForLVMProcessing(kProductVMware, disk, "id", 2, kIndexName, 2048, 512, true);
    ASSERT_EQ(0, walk.config.doMetadataProcessing(&walk.args));
    EXPECT_TRUE(none.empty());
  }
}

// Asked as the job's quit check: says quit when told to, and once moves the clock on (the walk of one
// volume may take an hour).
struct QuitCheck {
  bool quit = false;
  long long advanceSeconds = 0;
};
int QuitCheckOf(int reason, void* context, void* data) {
  auto* check = static_cast<QuitCheck*>(context);
  if (reason != 1 || check == nullptr || data == nullptr) return 0;
  if (check->advanceSeconds > 0) {
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(check->advanceSeconds));
    check->advanceSeconds = 0;
  }
  *static_cast<bool*>(data) = check->quit;
  return 0;
}

// A volume whose walk fails or is stopped keeps the reason for the VM, keeps the extents found until
// then, and leaves the other volume's walk and the backup going.
TEST_F(LiveBrowseImages, AWalkThatFailsOrIsStoppedKeepsWhatItFoundAndTheOtherVolumeGoesOn) {
  const std::string disk = dir_ + "/two.img";
  const uint64_t first = 2048, second = first + kNtfsVolumeSectors;
  ASSERT_TRUE(guestimages::MakeNtfsDisk(disk, {first, second}));
  struct Case {
    const char* name;
    bool openFault;
    QuitCheck check;
    bool firstDirectories, secondDirectories;  // the volume's directory indices are in the extents
    const char* error;
    const char* logLine;
  };
  const Case cases[] = {
      {"the first volume cannot be opened", true, {}, false, true,
       "Failed to open volume for getting MFT extents, An injected failure",
       "Failed to open the volume for getting MFT extents, VolumeName="},
      {"the job is stopped", false, {true, 0}, false, false,
       "Failed to traverse index for getting MFT extents, The processing was stopped",
       "Failed to traverse index for getting MFT extents, VolumeName="},
      {"an hour after the root folder: the walk goes on", false, {false, 3600}, true, true, "", ""},
      {"past the hour after the root folder", false, {false, 3601}, false, true,
       "Failed to traverse index for getting MFT extents, The processing was stopped",
       "Allotted time for getting MFT extent information has exceeded."},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::VirtualClock clock;
    Walk walk(disk);
    if (test.openFault) {
      ASSERT_TRUE(walk.lab.Fault("lvm.OpenVolume", 11, "", 0, 1));
    }
    QuitCheck check = test.check;
    quarnConfig::SetQuitFlagCallback(&QuitCheckOf, 1, &check);
    const int result = walk.config.doMetadataProcessing(&walk.args);
    quarnConfig::ClearQuitFlagCallback(&check);
    EXPECT_EQ(0, result) << "the backup goes on without a complete prefetch list";

    std::set<uint64_t> expected;
    if (!test.openFault) {
      ASSERT_TRUE(guestimages::AddNtfsinfoExtents(disk, first, test.firstDirectories, kExtentBytes, expected));
    }
    ASSERT_TRUE(guestimages::AddNtfsinfoExtents(disk, second, test.secondDirectories, kExtentBytes, expected));
    // The root folder was walked before the hour was up; $Extend was not.
    if (test.check.advanceSeconds > 3600)
      guestimages::AddRunExtents(first, guestimages::NtfsinfoRuns(disk + "." + std::to_string(first), 5, "$INDEX_ALLOCATION"), kExtentBytes,
                                  expected);
    EXPECT_EQ(std::vector<uint64_t>(expected.begin(), expected.end()), Numbers(walk.extents[kIndexName]));
    EXPECT_EQ(test.error, walk.config.getLVMProcessingError());
    if (*test.logLine != '\0') {
      EXPECT_NE(std::string::npos, walk.lab.Log().find(test.logLine));
    } else {
      EXPECT_EQ(std::string::npos, walk.lab.Log().find("Allotted time")) << "an hour is allowed in full";
    }
  }
}

// The prefetch list holds the mount extents (flags exactly 0x200000000) of the disks a volume maps
// to; a list saved before is reloaded, its other disks kept, a disk listed again replaced.
TEST_F(LiveBrowseImages, ThePrefetchListIsSavedReloadedAndMerged) {
  testsupport::TestLab lab;
  lab.OpenLog();
  guestimages::Run("mkdir -p " + guestimages::Quote(lab.Path("mnt")));
  quarnDiskConfig config;
  config.SetMountPath(lab.Path("mnt"));
  const std::string disk = dir_ + "/plain.img";
  ASSERT_EQ(0, guestimages::Run("rm -f " + guestimages::Quote(disk) + " && truncate -s 4M " + guestimages::Quote(disk)));
  config.SetMountIndexForLVMDisks(0);
  config.addDiskForLVMProcessing(kProductVMware, disk, "id", 2, kIndexName, 2048, 512, true);
  LVM_Volume_t volume;
  volume.name = "v";
  volume.segments.resize(1);
  volume.segments[0].vComponents.resize(1);
  const std::vector<LVM_Volume_t> volumes = {volume};

  std::string path;
  ASSERT_EQ(1, config.GetLiveBrowsePrefetchXMLPath("guid-1", path));
  EXPECT_EQ(lab.Path("mnt") + "/guid-1_LiveBrowsePrefetchExtents.xml", path);
  FBR::MountExtentsInfo saved;
  FBR::DiskMountExtentsInfo other;
  other.getObject<FBR::FBRDiskInfo>(FBR::DiskMountExtentsInfo::F_disk, true)->setstring(FBR::FBRDiskInfo::F_diskName, "other");
  saved.getlistobject(FBR::MountExtentsInfo::F_disks, true).emplace_back(other);
  ASSERT_TRUE(vsXMLFile(path).Save(saved));

  ExtentInfoMap extents;
  extents[kIndexName].insert(ExtentInfo(4, ExtentInfo::kMountExtent, 4096));
  extents[kIndexName].insert(ExtentInfo(9, ExtentInfo::kFileSystemMetadata, 4096));
  extents[kIndexName].insert(ExtentInfo(11, ExtentInfo::kMountExtent | ExtentInfo::kHasBitmap, 4096));
  extents[kIndexName].insert(ExtentInfo(2, ExtentInfo::kMountExtent, 4096));
  extents["unmapped"].insert(ExtentInfo(1, ExtentInfo::kMountExtent, 4096));
  doMetadataProcessingArgs args;
  args.mVMGuid = "guid-1";
  args.mVMName = "vm01";
  args.mExtentSizeSectors = 128;
  args.mExtentMap = &extents;
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    ASSERT_EQ(1, config.DumpLiveBrowsePrefetchXML(&args, volumes));
    FBR::MountExtentsInfo list;
    ASSERT_TRUE(vsXMLFile(path).Load(list));
    EXPECT_EQ("guid-1", list.getstring(FBR::MountExtentsInfo::F_vmGuid));
    EXPECT_EQ("vm01", list.getstring(FBR::MountExtentsInfo::F_vmName));
    const CNMessageList& disks = list.getlistobject(FBR::MountExtentsInfo::F_disks);
    ASSERT_EQ(2u, disks.size());
    const auto* first = disks[0]->getObject<FBR::FBRDiskInfo>(FBR::DiskMountExtentsInfo::F_disk, false);
    const auto* second = disks[1]->getObject<FBR::FBRDiskInfo>(FBR::DiskMountExtentsInfo::F_disk, false);
    ASSERT_TRUE(first != nullptr && second != nullptr);
    EXPECT_EQ("other", first->getstring(FBR::FBRDiskInfo::F_diskName));
    EXPECT_EQ(kIndexName, second->getstring(FBR::FBRDiskInfo::F_diskName));
    EXPECT_EQ(128 * 512, second->getint64(FBR::FBRDiskInfo::F_extentSize));
    std::vector<int64_t> numbers;
    for (const CNMessagePtr& extent : disks[1]->getlistobject(FBR::DiskMountExtentsInfo::F_extents))
      numbers.push_back(extent->getint64(FBR::ExtentInfo::F_extentNumber));
    EXPECT_EQ((std::vector<int64_t>{2, 4}), numbers) << "mount extents only, in extent order";
  }
  // Nothing to list: nothing written, and that is no failure.
  ExtentInfoMap empty;
  args.mExtentMap = &empty;
  EXPECT_EQ(1, config.DumpLiveBrowsePrefetchXML(&args, volumes));
}

}  // namespace
