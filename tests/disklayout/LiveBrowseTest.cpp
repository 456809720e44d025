// Live-browse prefetch extents: which extents a run of clusters touches (from byte offsets, whatever
// the cluster, extent and volume start), the extents a real NTFS volume's $MFT and directory indices
// lie in as ntfsinfo reports their runs, and the VM's prefetch list saved, reloaded and merged.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "disklayout/quarnconfig.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/FBRMessages.h"
#include "support/GuestImages.h"
#include "support/TestLab.h"

namespace {

using Info = quarnDiskConfig::ClusterInfo;
constexpr uint64_t kKiB = 1024;

Info Run(uint64_t clusterSize, uint64_t first, uint64_t count, uint64_t extentBytes, uint64_t volumeStart = 0,
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
      {"10 clusters from 3 before a boundary: two extents", Run(4 * kKiB, 13, 10, 64 * kKiB), {0, 1}},
      {"a run that ends at a boundary", Run(4 * kKiB, 0, 16, 64 * kKiB), {0}},
      {"one cluster past it", Run(4 * kKiB, 0, 17, 64 * kKiB), {0, 1}},
      {"a cluster the size of an extent", Run(64 * kKiB, 5, 2, 64 * kKiB), {5, 6}},
      {"a cluster larger than an extent", Run(128 * kKiB, 1, 1, 64 * kKiB), {2, 3}},
      {"a volume at sector 63", Run(4 * kKiB, 8, 1, 64 * kKiB, 63 * 512), {0, 1}},
      {"a volume at sector 63, the cluster before", Run(4 * kKiB, 7, 1, 64 * kKiB, 63 * 512), {0}},
      {"an extent size of 0", Run(4 * kKiB, 0, 100, 0), {}},
      {"a run of no clusters", Run(4 * kKiB, 9, 0, 64 * kKiB), {}},
      {"a run past 64 bits", Run(4 * kKiB, UINT64_MAX / 1024, 4, 64 * kKiB), {}},
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
  config.ProcessMetadataCluster(Run(4 * kKiB, 13, 10, 64 * kKiB), "Disk", map, newCount);
  config.ProcessMetadataCluster(Run(4 * kKiB, 13, 10, 64 * kKiB), "disk", map, newCount);
  EXPECT_EQ(2u, newCount) << "the same run twice, under the name in another case";
  ASSERT_EQ(1u, map.size());
  for (const ExtentInfo& extent : map["disk"]) {
    EXPECT_EQ(ExtentInfo::kFileSystemMetadata, extent.mFlags);
    EXPECT_FALSE(extent.mBitmap && extent.mBitmap->IsBitmapSet());
  }
  config.ProcessMetadataCluster(Run(4 * kKiB, 13, 10, 64 * kKiB, 0, true), "disk", map, newCount);
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

// The runs ntfsinfo reports for a record's attribute ("Runlist:" and its VCN/LCN/length lines).
std::vector<std::pair<uint64_t, uint64_t>> NtfsinfoRuns(const std::string& volume, int record, const char* attribute) {
  std::string text;
  guestimages::Run("ntfsinfo -v -i " + std::to_string(record) + " " + guestimages::Quote(volume), &text);
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  std::istringstream lines(text);
  std::string line;
  bool inAttribute = false, inRuns = false;
  const std::regex run("^\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s*$");
  while (std::getline(lines, line)) {
    if (line.find("Dumping attribute") != std::string::npos) {
      inAttribute = line.find(attribute) != std::string::npos;
      inRuns = false;
      continue;
    }
    if (inAttribute && line.find("Runlist:") != std::string::npos) {
      inRuns = true;
      continue;
    }
    std::smatch match;
    if (inRuns && std::regex_match(line, match, run)) {
      runs.emplace_back(std::stoull(match[2], nullptr, 16), std::stoull(match[3], nullptr, 16));
    } else {
      inRuns = false;
    }
  }
  return runs;
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

// An NTFS volume at sector 2048 and one at sector 63 (not on a cluster boundary of the disk): the
// extents found are those that hold the $MFT's data and the directory indices' allocations, as
// ntfsinfo gives their runs, and nothing else.
TEST_F(LiveBrowseImages, TheExtentsFoundHoldTheMftAndTheDirectoryIndicesAsNtfsinfoReportsThem) {
  for (uint64_t start : {uint64_t{2048}, uint64_t{63}}) {
    SCOPED_TRACE("NTFS at sector " + std::to_string(start));
    testsupport::TestLab lab;
    lab.OpenLog();
    const std::string disk = dir_ + "/disk" + std::to_string(start) + ".img", volume = disk + ".ntfs";
    const uint64_t sectors = 32768;
    ASSERT_EQ(0, guestimages::Run("rm -f " + guestimages::Quote(disk) + " && truncate -s 20M " + guestimages::Quote(disk) +
                                  " && printf 'label: dos\\nstart=" + std::to_string(start) +
                                  ", size=32768, type=7\\n' | sfdisk -q " + guestimages::Quote(disk)));
    ASSERT_TRUE(guestimages::MakeNtfs(volume, sectors * 512, start, 0, 60));
    ASSERT_TRUE(guestimages::Place(disk, start * 512, volume));

    quarnDiskConfig config;
    config.SetMountPath(lab.Path("mnt"));
    config.SetMountIndexForLVMDisks(0);
    config.addDiskForLVMProcessing(kProductVMware, disk, "id", 2, "idx0", 2048, 512, true);
    ExtentInfoMap extents;
    doMetadataProcessingArgs args;
    const std::string results = lab.Path("results");
    guestimages::Run("mkdir -p " + guestimages::Quote(results) + " " + guestimages::Quote(lab.Path("mnt")));
    args.mResultsDir = results.c_str();
    args.mVMName = "vm";
    args.mVMGuid = "guid-1";
    args.mFlags = 16;
    args.mExtentSizeSectors = 16;  // 8 KiB extents: the runs fall in many
    args.mExtentMap = &extents;
    args.mIdentifyFSMetadata = true;
    args.mIsFullBackup = true;
    ASSERT_EQ(0, config.doMetadataProcessing(&args)) << config.getLVMProcessingError();

    std::set<uint64_t> expected;
    const uint64_t clusterSize = 4096, extentBytes = 16 * 512;
    std::vector<std::pair<uint64_t, uint64_t>> runs = NtfsinfoRuns(volume, 0, "$DATA");
    ASSERT_FALSE(runs.empty());
    size_t directoryRuns = 0;
    for (int record : {5, 11}) {
      for (const auto& run : NtfsinfoRuns(volume, record, "$INDEX_ALLOCATION")) {
        runs.push_back(run);
        ++directoryRuns;
      }
    }
    ASSERT_GT(directoryRuns, 0u) << "the root folder of 60 files has an index allocation";
    for (const auto& run : runs) {
      const uint64_t first = start * 512 + run.first * clusterSize, end = first + run.second * clusterSize;
      for (uint64_t extent = first / extentBytes; extent * extentBytes < end; ++extent) expected.insert(extent);
    }
    const std::vector<uint64_t> found = Numbers(extents["idx0"]);
    EXPECT_EQ(std::vector<uint64_t>(expected.begin(), expected.end()), found);
    const std::string log = lab.Log();
    EXPECT_NE(std::string::npos, log.find("$MFT extents newly discovered for disk [idx0]"));
    EXPECT_NE(std::string::npos, log.find("$MFT and DIRECTORY IDX extents newly discovered for disk [idx0]"));

    // Without a full backup that identifies metadata, nothing is walked.
    ExtentInfoMap none;
    args.mExtentMap = &none;
    args.mIsFullBackup = false;
    config.addDiskForLVMProcessing(kProductVMware, disk, "id", 2, "idx0", 2048, 512, true);
    ASSERT_EQ(0, config.doMetadataProcessing(&args));
    EXPECT_TRUE(none.empty());
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
  config.addDiskForLVMProcessing(kProductVMware, disk, "id", 2, "idx0", 2048, 512, true);
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
  extents["idx0"].insert(ExtentInfo(4, ExtentInfo::kMountExtent, 4096));
  extents["idx0"].insert(ExtentInfo(9, ExtentInfo::kFileSystemMetadata, 4096));
  extents["idx0"].insert(ExtentInfo(11, ExtentInfo::kMountExtent | ExtentInfo::kHasBitmap, 4096));
  extents["idx0"].insert(ExtentInfo(2, ExtentInfo::kMountExtent, 4096));
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
    EXPECT_EQ("idx0", second->getstring(FBR::FBRDiskInfo::F_diskName));
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
