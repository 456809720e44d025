// The guest pass over real images made by the system's tools: partition tables, NTFS, swap and ext4
// as the guest parsers read them, checked against independent tools; the sectors a backup may leave
// out, in volume and in disk sectors; damaged tables and volumes refused without harm; the lab's
// scripted volumes (spanned, striped, RAID, dynamic); and the merge and mapping of sector ranges.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "disklayout/quarnconfig.h"
#include "platform/disk/CDRVolume.h"
#include "platform/disk/CLVM.h"
#include "platform/disk/NtfsVolume.h"
#include "platform/disk/PartitionTable.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabGuestVolumes.h"
#include "platform/lab/LabHypervisor.h"
#include "support/GuestImages.h"
#include "support/TestLab.h"

namespace {

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
using gi = guestimages::MbrDisk;
using gg = guestimages::GptDisk;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

GuestByteSource BytesSource(const std::string& bytes) {
  return [&bytes](uint64_t offset, size_t size, char* out) {
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::memcpy(out, bytes.data() + offset, size);
    return true;
  };
}

Ranges Of(const std::vector<VMInfoStructs::SectorRange>& ranges) {
  Ranges out;
  for (const auto& r : ranges) out.emplace_back(r.first, r.last);
  return out;
}

Ranges OnDisk(const SectorRangeMap& map, uint64_t disk) {
  Ranges out;
  auto found = map.equal_range(disk);
  for (auto it = found.first; it != found.second; ++it) out.emplace_back(it->second.first, it->second.last);
  std::sort(out.begin(), out.end());
  return out;
}

// The images are made once for the whole program: mkntfs and ntfscp are the slow part.
class GuestImages : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ("", guestimages::MissingTool()) << "a tool the guest images need is missing: run scripts/deps.sh";
    char pattern[] = "/tmp/quarn-guest-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    ASSERT_TRUE(guestimages::MakeMbrDisk(dir_ + "/mbr.img"));
    ASSERT_TRUE(guestimages::MakeGptDisk(dir_ + "/gpt.img"));
    ASSERT_TRUE(guestimages::Extract(dir_ + "/mbr.img", gi::kNtfsStart, gi::kNtfsSectors, dir_ + "/mbr-ntfs.img"));
    ASSERT_TRUE(guestimages::Extract(dir_ + "/gpt.img", gg::kNtfsStart, gg::kNtfsSectors, dir_ + "/gpt-ntfs.img"));
    ASSERT_TRUE(guestimages::ReadNtfsOracle(dir_ + "/mbr-ntfs.img", mbrNtfs_));
    ASSERT_TRUE(guestimages::ReadNtfsOracle(dir_ + "/gpt-ntfs.img", gptNtfs_));
  }
  static void TearDownTestSuite() { guestimages::Run("rm -rf " + guestimages::Quote(dir_)); }

  static std::string Image(const std::string& name) { return dir_ + "/" + name; }
  // A lab of one VM, for a test that writes the VM's guest volume script.
  static testing::AssertionResult MakeOneVMLab(testsupport::TestLab& lab, lab::VMDescription& vm) {
    lab::LabPlan plan;
    plan.vms = 1;
    int kept = 0;
    std::string error;
    if (!lab::CreateLab(lab.Path("lab"), plan, kept, error)) return testing::AssertionFailure() << error;
    if (!lab::FindVM(lab::SampleServer(), "50290000-0000-4000-8000-000000000001", vm))
      return testing::AssertionFailure() << "the lab has no sample VM";
    return testing::AssertionSuccess();
  }
  // The guest volumes of the VM's disks that the layout object holds, its volume script's included.
  static testing::AssertionResult ParseScriptedVolumes(quarnDiskConfig& config, const lab::VMDescription& vm,
                                                       CLVM& clvm) {
    clvm.SetVMInfo(nullptr, vm.name, vm.guid);
    auto disks = config.GetLVMDisks();
    const CPxError error = clvm.InitializeFromDisk(disks, false, {});
    if (error.IsError()) return testing::AssertionFailure() << error.AsString();
    return testing::AssertionSuccess();
  }
  // A metadata run of VM "vm" with the given flags; its result.
  static int RunPass(quarnDiskConfig& config, uint32_t flags, doMetadataProcessingArgs& args) {
    args.mVMName = "vm";
    args.mFlags = flags;
    return config.doMetadataProcessing(&args);
  }
  // The bytes of a volume's clusters in use, as ntfsinfo counts them.
  static uint64_t UsedBytes(const guestimages::NtfsOracle& ntfs) {
    return (ntfs.clusters - ntfs.freeClusters) * ntfs.clusterSize;
  }

  // A layout object whose metadata disks are the images, each under its position as its key.
  static void AddDisks(quarnDiskConfig& config, const std::vector<std::string>& images) {
    for (size_t i = 0; i < images.size(); ++i) {
      config.SetMountIndexForLVMDisks(i);
      config.addDiskForLVMProcessing(kProductVMware, images[i], "id", 2, ("idx" + std::to_string(i)).c_str(), 2048,
                                     512, true);
    }
  }

  static std::string dir_;
  static guestimages::NtfsOracle mbrNtfs_, gptNtfs_;
};
std::string GuestImages::dir_;
guestimages::NtfsOracle GuestImages::mbrNtfs_, GuestImages::gptNtfs_;

TEST_F(GuestImages, PartitionTablesReadAsSfdiskListsThem) {
  for (const char* name : {"mbr.img", "gpt.img"}) {
    const std::string bytes = ReadAll(Image(name));
    guestdisk::PartitionTable table;
    std::string error;
    ASSERT_TRUE(guestdisk::ReadPartitionTable(BytesSource(bytes), bytes.size(), 512, table, error)) << name << error;
    std::vector<guestimages::Partition> expected;
    for (const auto& p : guestimages::SfdiskPartitions(Image(name)))
      if (p.type != "5") expected.push_back(p);  // the extended container is no partition of its own
    ASSERT_EQ(expected.size(), table.partitions.size()) << name;
    for (size_t i = 0; i < expected.size(); ++i) {
      const guestdisk::Partition& got = table.partitions[i];
      EXPECT_EQ(expected[i].number, static_cast<int>(got.number)) << name;
      EXPECT_EQ(expected[i].start, got.firstSector) << name << " partition " << got.number;
      EXPECT_EQ(expected[i].start + expected[i].size - 1, got.lastSector) << name << " partition " << got.number;
      if (table.scheme == guestdisk::Scheme::kMBR) {
        EXPECT_EQ(std::stoul(expected[i].type, nullptr, 16), got.mbrType) << name;
        EXPECT_EQ(got.number >= 5, got.logical);
      } else {
        EXPECT_EQ(expected[i].type, guestdisk::GuidText(got.typeGuid)) << name;
      }
    }
  }
}

TEST_F(GuestImages, DamagedTablesAreRefusedAndTablelessDisksHaveNone) {
  const std::string mbr = ReadAll(Image("mbr.img"));
  const std::string gpt = ReadAll(Image("gpt.img"));
  auto put32 = [](std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
  };
  struct Case {
    const char* what;
    std::string bytes;
    bool accepted;
    guestdisk::Scheme scheme;
  };
  std::vector<Case> cases;
  cases.push_back({"as made", mbr, true, guestdisk::Scheme::kMBR});
  {
    std::string s = mbr;  // partition 1 one sector past the disk's end
    put32(s, 446 + 12, static_cast<uint32_t>(mbr.size() / 512));
    cases.push_back({"a partition past the disk", s, false, guestdisk::Scheme::kNone});
  }
  {
    std::string s = mbr;  // partition 2 begins inside partition 1
    put32(s, 446 + 16 + 8, 4096);
    cases.push_back({"overlapping partitions", s, false, guestdisk::Scheme::kNone});
  }
  {
    std::string s = mbr;  // the second EBR links back to the first
    const size_t secondEbr = (gi::kSwap8Start - 2048) * 512;
    put32(s, secondEbr + 446 + 16 + 8, 0);
    put32(s, secondEbr + 446 + 16 + 12, 8192);
    cases.push_back({"a loop of extended boot records", s, false, guestdisk::Scheme::kNone});
  }
  cases.push_back({"a GPT as made", gpt, true, guestdisk::Scheme::kGPT});
  {
    std::string s = gpt;  // the primary header fails its CRC: the backup one serves
    s[512 + 56] ^= 1;
    cases.push_back({"a damaged primary GPT", s, true, guestdisk::Scheme::kGPT});
  }
  {
    std::string s = gpt;
    s[512 + 56] ^= 1;
    s[s.size() - 512 + 56] ^= 1;
    cases.push_back({"both GPT headers damaged", s, false, guestdisk::Scheme::kNone});
  }
  cases.push_back({"a blank disk", std::string(1 << 20, '\0'), true, guestdisk::Scheme::kNone});
  cases.push_back({"NTFS over the whole disk", ReadAll(Image("mbr-ntfs.img")), true, guestdisk::Scheme::kNone});
  for (const Case& c : cases) {
    guestdisk::PartitionTable table;
    std::string error;
    EXPECT_EQ(c.accepted, guestdisk::ReadPartitionTable(BytesSource(c.bytes), c.bytes.size(), 512, table, error))
        << c.what << ": " << error;
    EXPECT_EQ(c.scheme, table.scheme) << c.what;
    if (!c.accepted) {
      EXPECT_FALSE(error.empty()) << c.what;
      EXPECT_TRUE(table.partitions.empty()) << c.what;
    }
  }
}

TEST_F(GuestImages, NtfsReaderAgreesWithNtfsinfoAndNtfscat) {
  for (const auto& volume : {std::make_pair(std::string("mbr-ntfs.img"), &mbrNtfs_),
                             std::make_pair(std::string("gpt-ntfs.img"), &gptNtfs_)}) {
    const std::string bytes = ReadAll(Image(volume.first));
    const guestimages::NtfsOracle& oracle = *volume.second;
    guestdisk::NtfsVolume ntfs(BytesSource(bytes), bytes.size());
    ASSERT_EQ(0, ntfs.Open()) << ntfs.LastError();
    EXPECT_EQ(oracle.clusterSize, ntfs.ClusterSize());
    EXPECT_EQ(oracle.clusters, ntfs.TotalClusters());
    std::vector<uint8_t> bits;
    ASSERT_EQ(0, ntfs.ReadClusterBitmap(bits)) << ntfs.LastError();
    std::string expectedBits = oracle.bitmap.substr(0, bits.size());
    if (oracle.clusters % 8) expectedBits.back() &= static_cast<char>((1u << (oracle.clusters % 8)) - 1);
    EXPECT_EQ(expectedBits, std::string(bits.begin(), bits.end())) << volume.first;
    uint64_t used = 0;
    ASSERT_EQ(0, ntfs.UsedBytes(used));
    EXPECT_EQ((oracle.clusters - oracle.freeClusters) * oracle.clusterSize, used) << volume.first;
    // The root's index holds every file copied in, through its index allocation.
    std::vector<guestdisk::NtfsVolume::DirectoryEntry> entries;
    ASSERT_EQ(0, ntfs.ListDirectory(guestdisk::NtfsVolume::kRecordRoot, entries)) << ntfs.LastError();
    std::set<std::u16string> names;
    for (const auto& entry : entries) names.insert(entry.name);
    EXPECT_TRUE(names.count(u"file_number_20.txt")) << volume.first;
    guestdisk::NtfsVolume::DirectoryEntry file;
    EXPECT_EQ(0, ntfs.FindInDirectory(guestdisk::NtfsVolume::kRecordRoot, u"FILE_NUMBER_7.TXT", file));
    guestdisk::NtfsVolume::Attribute data;
    ASSERT_EQ(0, ntfs.ReadAttribute(file.record, guestdisk::NtfsVolume::kAttrData, std::u16string(), data));
    EXPECT_EQ("file 7 content\n", data.value);
  }
  // The page file as ntfsinfo lists its runs.
  const std::string bytes = ReadAll(Image("mbr-ntfs.img"));
  guestdisk::NtfsVolume ntfs(BytesSource(bytes), bytes.size());
  ASSERT_EQ(0, ntfs.Open());
  guestdisk::NtfsVolume::DirectoryEntry page;
  ASSERT_EQ(0, ntfs.FindInDirectory(guestdisk::NtfsVolume::kRecordRoot, u"pagefile.sys", page));
  guestdisk::NtfsVolume::Attribute data;
  ASSERT_EQ(0, ntfs.ReadAttribute(page.record, guestdisk::NtfsVolume::kAttrData, std::u16string(), data));
  ASSERT_FALSE(mbrNtfs_.pageFileRuns.empty());
  Ranges runs;
  for (const auto& run : data.runs) runs.emplace_back(run.lcn, run.length);
  EXPECT_EQ(mbrNtfs_.pageFileRuns, runs);
}

TEST_F(GuestImages, DamagedNtfsIsRefusedWithACodeAndNothingIsReadOutside) {
  const std::string good = ReadAll(Image("mbr-ntfs.img"));
  guestdisk::NtfsVolume probe(BytesSource(good), good.size());
  ASSERT_EQ(0, probe.Open());
  const size_t mft = probe.MftCluster() * probe.ClusterSize();
  const size_t record = probe.RecordSize();
  struct Case {
    const char* what;
    std::function<void(std::string&)> damage;
    int openCode;    // Open's code
    int bitmapCode;  // ReadClusterBitmap's, when Open succeeded
  };
  const std::vector<Case> cases = {
      {"no NTFS signature", [](std::string& s) { s[3] = 'X'; }, guestdisk::NtfsVolume::kErrNotNtfs, 0},
      {"bytes per sector 0", [](std::string& s) { s[0x0B] = s[0x0C] = 0; }, guestdisk::NtfsVolume::kErrBootSector, 0},
      {"more sectors than the volume", [](std::string& s) { s[0x2F] = 0x7F; }, guestdisk::NtfsVolume::kErrBootSector, 0},
      {"the $MFT past the volume", [](std::string& s) { s[0x37] = 0x7F; }, guestdisk::NtfsVolume::kErrBootSector, 0},
      {"a torn $MFT record", [&](std::string& s) { s[mft + 510] ^= 0x55; }, guestdisk::NtfsVolume::kErrMftRecord, 0},
      {"$Bitmap's attributes past its record",
       [&](std::string& s) { s[mft + 6 * record + 0x14] = static_cast<char>(0xF8); s[mft + 6 * record + 0x15] = 0x03; },
       0, guestdisk::NtfsVolume::kErrMftRecord},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    c.damage(bytes);
    guestdisk::NtfsVolume ntfs(BytesSource(bytes), bytes.size());
    const int code = ntfs.Open();
    EXPECT_EQ(c.openCode, code) << c.what << ": " << ntfs.LastError();
    if (code != 0) {
      EXPECT_NE("", ntfs.LastError()) << c.what;
      continue;
    }
    std::vector<uint8_t> bits;
    EXPECT_EQ(c.bitmapCode, ntfs.ReadClusterBitmap(bits)) << c.what << ": " << ntfs.LastError();
  }
}

TEST_F(GuestImages, OnePassFindsThePageFileSwapFreeSectorsAndPartitionTypesTheToolsSee) {
  testsupport::TestLab lab;
  quarnDiskConfig config;
  AddDisks(config, {Image("mbr.img"), Image("gpt.img")});
  std::map<std::string, std::vector<std::string>> files;
  const std::string results = lab.Path("results");
  guestimages::Run("mkdir -p " + results);
  doMetadataProcessingArgs args;
  args.mResultsDir = results.c_str();
  args.mVMName = "vm";
  args.mVMGuid = "guid-1";
  args.mFileMap = &files;
  args.mFlags = 2 | 4 | 8 | 32;
  ASSERT_EQ(0, config.doMetadataProcessing(&args)) << config.getLVMProcessingError();

  // The independent tools agree on what each partition holds.
  EXPECT_EQ("ntfs", guestimages::BlkidType(Image("mbr.img"), gi::kNtfsStart * 512, gi::kNtfsSectors * 512));
  EXPECT_EQ("swap", guestimages::BlkidType(Image("mbr.img"), gi::kSwap4Start * 512, gi::kLogicalSectors * 512));
  EXPECT_EQ("swap", guestimages::BlkidType(Image("mbr.img"), gi::kSwap8Start * 512, gi::kLogicalSectors * 512));
  EXPECT_EQ("ext4", guestimages::BlkidType(Image("mbr.img"), gi::kExtStart * 512, gi::kLogicalSectors * 512));
  EXPECT_EQ("swap", guestimages::BlkidType(Image("gpt.img"), gg::kSwapStart * 512, gg::kSectors * 512));

  // Page file (ntfsinfo's runs) and swap past its header (8 sectors for 4096-byte pages, 16 for 8192).
  Ranges pages = guestimages::PageFileSectors(mbrNtfs_, gi::kNtfsStart);
  pages.emplace_back(gi::kSwap4Start + 8, gi::kSwap4Start + gi::kLogicalSectors - 1);
  pages.emplace_back(gi::kSwap8Start + 16, gi::kSwap8Start + gi::kLogicalSectors - 1);
  std::sort(pages.begin(), pages.end());
  EXPECT_EQ(pages, OnDisk(args.mPageFileSectors, 0));
  EXPECT_EQ(Ranges({{gg::kSwapStart + 8, gg::kSwapStart + gg::kSectors - 1}}), OnDisk(args.mPageFileSectors, 1));

  // Free clusters as ntfscat's $Bitmap has them, never the backup boot sector past the last cluster.
  EXPECT_EQ(guestimages::FreeSectors(mbrNtfs_, gi::kNtfsStart), OnDisk(args.mFreeSectors, 0));
  EXPECT_EQ(guestimages::FreeSectors(gptNtfs_, gg::kNtfsStart), OnDisk(args.mFreeSectors, 1));
  for (const auto& range : OnDisk(args.mFreeSectors, 0))
    EXPECT_LT(range.second, gi::kNtfsStart + mbrNtfs_.clusters * (mbrNtfs_.clusterSize / 512));

  // Used space from the free-space pass, as ntfsinfo counts the clusters; a later used-space run of the
  // VM takes it from there and measures nothing.
  const uint64_t used = (mbrNtfs_.clusters - mbrNtfs_.freeClusters) * mbrNtfs_.clusterSize +
                        (gptNtfs_.clusters - gptNtfs_.freeClusters) * gptNtfs_.clusterSize;
  EXPECT_EQ(used, config.GetUsedSpaceCache());
  doMetadataProcessingArgs later;
  later.mFlags = 1;
  ASSERT_EQ(0, config.doMetadataProcessing(&later));
  EXPECT_EQ(used, later.mUsedSpace);
  EXPECT_TRUE(later.mErrors.empty()) << "nothing was measured, so nothing is reported";

  // Partition types, as sfdisk lists them.
  ASSERT_EQ(2u, args.mPartitionTypes.size());
  EXPECT_EQ(2u, args.mPartitionTypes[0].scheme);
  EXPECT_EQ(std::vector<int64_t>({0x07, 0x82, 0x82, 0x83}), args.mPartitionTypes[0].mbrTypes);
  EXPECT_EQ(3u, args.mPartitionTypes[1].scheme);
  ASSERT_EQ(3u, args.mPartitionTypes[1].gptTypes.size());
  EXPECT_EQ(guestdisk::kGptBasicData, args.mPartitionTypes[1].gptTypes[0]);
  EXPECT_EQ(guestdisk::kGptLinuxFileSystem, args.mPartitionTypes[1].gptTypes[1]);
  EXPECT_EQ(guestdisk::kGptLinuxSwap, args.mPartitionTypes[1].gptTypes[2]);

  // The volume dump file, listed for the VM.
  ASSERT_EQ(1u, files["guid-1"].size());
  EXPECT_NE(std::string::npos, ReadAll(files["guid-1"][0]).find("component disk 1 (idx1) partition 3"));
}

TEST_F(GuestImages, UsedSpaceWithoutTheCacheIsMeasuredOnNtfsAndOtherVolumesAreReported) {
  testsupport::TestLab lab;
  quarnDiskConfig config;
  AddDisks(config, {Image("mbr.img"), Image("gpt.img")});
  doMetadataProcessingArgs args;
  ASSERT_EQ(0, RunPass(config, 1, args));
  EXPECT_EQ(UsedBytes(mbrNtfs_) + UsedBytes(gptNtfs_), args.mUsedSpace) << "every NTFS volume counts";
  ASSERT_EQ(5u, args.mErrors.size());  // two swap volumes and an ext4 one on the first disk, one of each on the second
  for (const std::string& text : args.mErrors)
    EXPECT_NE(std::string::npos, text.find("is not possible, as this is only supported for NTFS volumes")) << text;
}

// A volume the free-space pass cannot measure leaves no sum of the others in the cache: the later
// used-space run then measures every volume itself, and the failed volume is backed up whole.
TEST_F(GuestImages, AVolumeTheFreeSpacePassCannotOpenEmptiesTheUsedSpaceCache) {
  for (const char* failing : {"idx0-part1", "idx1-part1"}) {
    SCOPED_TRACE(failing);
    testsupport::TestLab lab;
    lab::FaultRule rule;
    rule.op = "lvm.OpenVolume";
    rule.disk = failing;
    rule.times = 1;
    rule.code = 5;
    std::string error;
    ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
    quarnDiskConfig config;
    AddDisks(config, {Image("mbr.img"), Image("gpt.img")});
    doMetadataProcessingArgs args;
    ASSERT_EQ(0, RunPass(config, 8, args));
    EXPECT_EQ(0u, config.GetUsedSpaceCache());
    const bool firstFails = std::string(failing) == "idx0-part1";
    EXPECT_EQ(firstFails ? Ranges() : guestimages::FreeSectors(mbrNtfs_, gi::kNtfsStart), OnDisk(args.mFreeSectors, 0));
    EXPECT_EQ(firstFails ? guestimages::FreeSectors(gptNtfs_, gg::kNtfsStart) : Ranges(), OnDisk(args.mFreeSectors, 1));

    doMetadataProcessingArgs later;
    ASSERT_EQ(0, RunPass(config, 1, later));
    EXPECT_EQ(UsedBytes(mbrNtfs_) + UsedBytes(gptNtfs_), later.mUsedSpace);
  }
}

// The dump file is listed for upload only once it is written; one that cannot be fails the run.
TEST_F(GuestImages, TheVolumeDumpFileIsListedOnlyWhenWritten) {
  for (bool written : {true, false}) {
    SCOPED_TRACE(written ? "written" : "not written");
    testsupport::TestLab lab;
    const std::string results = lab.Path(written ? "results" : "no-such-folder");
    if (written) guestimages::Run("mkdir -p " + results);
    quarnDiskConfig config;
    AddDisks(config, {Image("gpt.img")});
    std::map<std::string, std::vector<std::string>> files;
    doMetadataProcessingArgs args;
    args.mResultsDir = results.c_str();
    args.mVMGuid = "guid-1";
    args.mFileMap = &files;
    const std::string dump = results + "/DiskVolumes(guid-1).imf";
    EXPECT_EQ(written ? 0 : 1, RunPass(config, 4, args));
    EXPECT_EQ(written ? std::vector<std::string>({dump}) : std::vector<std::string>(), files["guid-1"]);
    EXPECT_EQ(written, access(dump.c_str(), F_OK) == 0);
    EXPECT_EQ(written ? std::string::npos : 0u, config.getLVMProcessingError().find("Dump volume to File failed, error="))
        << config.getLVMProcessingError();
  }
}

TEST_F(GuestImages, TheParserIsAskedSixTimesBeforeTheRunFails) {
  for (int failures : {5, 6}) {
    testsupport::TestLab lab;
    lab::FaultRule rule;
    rule.op = "lvm.InitializeFromDisk";
    rule.times = failures;
    rule.code = 5;
    std::string error;
    ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
    quarnDiskConfig config;
    AddDisks(config, {Image("gpt.img")});
    doMetadataProcessingArgs args;
    args.mFlags = 8;
    const int result = config.doMetadataProcessing(&args);
    if (failures == 5) {
      EXPECT_EQ(0, result);
      EXPECT_FALSE(args.mFreeSectors.empty());
    } else {
      EXPECT_EQ(1, result);
      EXPECT_TRUE(args.mFreeSectors.empty());
      EXPECT_EQ(0u, config.getLVMProcessingError().find("Initialization from Disk failed, error="));
      EXPECT_EQ(std::vector<std::string>({"Failed to generate file level index"}), args.mErrors);
    }
  }
}

TEST_F(GuestImages, ADamagedVolumeOrTableIsBackedUpWhole) {
  testsupport::TestLab lab;
  const std::string ntfs = ReadAll(Image("mbr-ntfs.img"));
  guestdisk::NtfsVolume probe(BytesSource(ntfs), ntfs.size());
  ASSERT_EQ(0, probe.Open());
  const size_t mft = gi::kNtfsStart * 512 + probe.MftCluster() * probe.ClusterSize();
  struct Case {
    const char* what;
    std::function<void(std::string&)> damage;
    int result;          // of the run
    size_t pageRanges;   // on the disk
    bool freeRanges;
  };
  const std::vector<Case> cases = {
      {"a damaged NTFS boot sector", [](std::string& s) { s[gi::kNtfsStart * 512 + 0x0C] = 0; }, 0, 2, false},
      {"a torn $MFT record",
       [&](std::string& s) { s[mft + 510] ^= 0x55; }, 0, 2, false},
      {"a loop in the extended partition",
       [](std::string& s) {
         const size_t second = gi::kSwap8Start * 512 - 2048 * 512 + 446 + 16;
         s[second + 8] = s[second + 9] = s[second + 10] = s[second + 11] = 0;
       },
       1, 0, false},
  };
  for (const Case& c : cases) {
    std::string bytes = ReadAll(Image("mbr.img"));
    c.damage(bytes);
    const std::string path = lab.Path("damaged.img");
    WriteAll(path, bytes);
    quarnDiskConfig config;
    AddDisks(config, {path});
    doMetadataProcessingArgs args;
    args.mFlags = 2 | 8;
    EXPECT_EQ(c.result, config.doMetadataProcessing(&args)) << c.what;
    EXPECT_EQ(c.pageRanges, OnDisk(args.mPageFileSectors, 0).size()) << c.what;
    EXPECT_EQ(c.freeRanges, !args.mFreeSectors.empty()) << c.what;
    // No range of the damaged NTFS partition is left out.
    for (const auto& range : OnDisk(args.mPageFileSectors, 0)) EXPECT_GE(range.first, gi::kSwap4Start) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(0u, config.getLVMProcessingError().find("Failed to open volume for metadata processing, "));
    }
  }
}

// The lab's volume script: a spanned NTFS volume over two disks (the real volume split in two), and
// striped, RAID and dynamic volumes with the results the backup relies on.
TEST_F(GuestImages, ScriptedVolumesOfAVolumeManagerGiveTheirResults) {
  testsupport::TestLab lab;
  lab::VMDescription vm;
  ASSERT_TRUE(MakeOneVMLab(lab, vm));
  std::string error;

  // The NTFS volume in two halves, each at sector 2048 of a disk of its own.
  const std::string ntfs = ReadAll(Image("mbr-ntfs.img"));
  const uint64_t half = ntfs.size() / 2 / 512;
  for (int i = 0; i < 2; ++i) {
    std::string disk(4 << 20, '\0');
    disk.replace(2048 * 512, half * 512, ntfs.substr(i * half * 512, half * 512));
    WriteAll(lab.Path(i == 0 ? "span_a.img" : "span_b.img"), disk);
  }
  lab::GuestVolumeScript script;
  lab::GuestVolume spanned{"spanned", 7, "", false, 512, {}};
  spanned.segments.push_back({0, 2 * half - 1, 0,
                              {{"span_a.img", 0, 0, half - 1, 2048, 2048 + half - 1},
                               {"span_b.img", 0, half, 2 * half - 1, 2048, 2048 + half - 1}}});
  lab::GuestVolume striped{"striped", 7, "", false, 512, {}};
  striped.segments.push_back({0, 2 * half - 1, 128,
                              {{"span_a.img", 0, 0, 2 * half - 1, 2048, 2048 + half - 1},
                               {"span_b.img", 0, 0, 2 * half - 1, 2048, 2048 + half - 1}}});
  lab::GuestVolume raid = spanned;
  raid.name = "raid";
  raid.raid = true;
  lab::GuestVolume dynamic = spanned;
  dynamic.name = "dynamic";
  dynamic.id = "0123456789abcdef0123456789abcdef";
  script.volumes = {spanned, striped, raid, dynamic};
  ASSERT_TRUE(lab::WriteGuestVolumeScript(vm.guid, script, error)) << error;

  quarnDiskConfig config;
  AddDisks(config, {lab.Path("span_a.img"), lab.Path("span_b.img")});
  CLVM clvm;
  ASSERT_TRUE(ParseScriptedVolumes(config, vm, clvm));
  std::map<std::string, LVM_Volume_t*> volumes;
  for (LVM_Volume_t& volume : clvm.GetVolumes()) volumes[volume.name] = &volume;
  ASSERT_EQ(4u, volumes.size()) << "a blank disk of its own is no volume";

  std::vector<VMInfoStructs::SectorRange> ranges;
  EXPECT_EQ(125, config.GetVolumePageFileSectors(volumes["raid"], &clvm, ranges));
  EXPECT_EQ(125, config.GetVolumePageFileSectors(volumes["striped"], &clvm, ranges));
  CDRVolume drVolume;
  EXPECT_EQ(134, config.GetVolumeFreeSectorsRegions(drVolume, &clvm, volumes["dynamic"], ranges));
  EXPECT_TRUE(ranges.empty());
  EXPECT_EQ(0u, config.GetUsedSpaceCache());

  // The spanned volume reads as the whole NTFS: its page file and free clusters land on both disks.
  ASSERT_EQ(0, config.GetVolumePageFileSectors(volumes["spanned"], &clvm, ranges));
  EXPECT_EQ(guestimages::PageFileSectors(mbrNtfs_, 0), Of(ranges));
  ASSERT_EQ(0, config.GetVolumeFreeSectorsRegions(drVolume, &clvm, volumes["spanned"], ranges));
  EXPECT_EQ(guestimages::FreeSectors(mbrNtfs_, 0), Of(ranges));
  SectorRangeMap onDisks;
  config.MapVolSectorsToDisk(volumes["spanned"], ranges, onDisks);
  Ranges expectedA, expectedB;
  for (const auto& range : Of(ranges)) {
    if (range.second < half) expectedA.emplace_back(range.first + 2048, range.second + 2048);
    if (range.first >= half) expectedB.emplace_back(range.first - half + 2048, range.second - half + 2048);
  }
  EXPECT_EQ(expectedA, OnDisk(onDisks, 0));
  EXPECT_EQ(expectedB, OnDisk(onDisks, 1));
  SectorRangeMap none;
  config.MapVolSectorsToDisk(volumes["raid"], ranges, none);
  EXPECT_TRUE(none.empty()) << "where a RAID volume's sectors lie is not known";
}

// An NTFS volume whose first 4352 sectors lie on one disk and whose rest is striped in 128-sector
// stripes over that disk and another. Each free sector of the volume is marked with its number
// (NTFS reads nothing there), so every disk sector the free clusters map to names the volume sector
// it holds: the map must reach each free sector once and nothing else.
TEST_F(GuestImages, AStripedVolumesFreeClustersMapToTheDiskSectorsThatHoldThem) {
  testsupport::TestLab lab;
  lab::VMDescription vm;
  ASSERT_TRUE(MakeOneVMLab(lab, vm));
  std::string error;

  // A range across the two segments lies in no one segment and is backed up whole: the plain part
  // ends among used clusters.
  constexpr uint64_t kPlain = 4352, kStripe = 128, kStripedAt = 2048 + kPlain;
  std::string ntfs = ReadAll(Image("mbr-ntfs.img"));
  const uint64_t sectors = ntfs.size() / 512;
  ASSERT_EQ(0u, (sectors - kPlain) % (2 * kStripe));
  const Ranges free = guestimages::FreeSectors(mbrNtfs_, 0);
  for (const auto& range : free) ASSERT_FALSE(range.first < kPlain && range.second >= kPlain);
  uint64_t freeCount = 0;
  for (const auto& range : free) {
    for (uint64_t v = range.first; v <= range.second; ++v) {
      std::string mark = "free " + std::to_string(v);
      mark.resize(512, '.');
      ntfs.replace(v * 512, 512, mark);
      ++freeCount;
    }
  }
  std::string disks[2] = {std::string(12 << 20, '\0'), std::string(12 << 20, '\0')};
  for (uint64_t v = 0; v < sectors; ++v) {
    uint64_t disk = 0, at = 2048 + v;
    if (v >= kPlain) {
      const uint64_t stripe = (v - kPlain) / kStripe;
      disk = stripe % 2;
      at = (disk == 0 ? kStripedAt : 2048) + (stripe / 2) * kStripe + (v - kPlain) % kStripe;
    }
    disks[disk].replace(at * 512, 512, ntfs, v * 512, 512);
  }
  WriteAll(lab.Path("stripe_a.img"), disks[0]);
  WriteAll(lab.Path("stripe_b.img"), disks[1]);
  const uint64_t perDisk = (sectors - kPlain) / 2;
  lab::GuestVolume striped{"striped", 7, "", false, 512, {}};
  striped.segments.push_back({0, kPlain - 1, 0, {{"stripe_a.img", 1, 0, kPlain - 1, 2048, kStripedAt - 1}}});
  striped.segments.push_back({kPlain, sectors - 1, kStripe,
                              {{"stripe_a.img", 2, kPlain, sectors - 1, kStripedAt, kStripedAt + perDisk - 1},
                               {"stripe_b.img", 1, kPlain, sectors - 1, 2048, 2048 + perDisk - 1}}});
  lab::GuestVolumeScript script;
  script.volumes = {striped};
  ASSERT_TRUE(lab::WriteGuestVolumeScript(vm.guid, script, error)) << error;

  quarnDiskConfig config;
  AddDisks(config, {lab.Path("stripe_a.img"), lab.Path("stripe_b.img")});
  CLVM clvm;
  ASSERT_TRUE(ParseScriptedVolumes(config, vm, clvm));
  ASSERT_EQ(1u, clvm.GetVolumes().size());
  LVM_Volume_t& volume = clvm.GetVolumes().front();
  CDRVolume drVolume;
  std::vector<VMInfoStructs::SectorRange> ranges;
  ASSERT_EQ(0, config.GetVolumeFreeSectorsRegions(drVolume, &clvm, &volume, ranges));
  EXPECT_EQ(free, Of(ranges));
  SectorRangeMap onDisks;
  config.MapVolSectorsToDisk(&volume, ranges, onDisks);
  std::set<uint64_t> reached;
  uint64_t mapped = 0;
  for (uint64_t disk : {0u, 1u}) {
    for (const auto& range : OnDisk(onDisks, disk)) {
      for (uint64_t sector = range.first; sector <= range.second; ++sector, ++mapped) {
        const std::string held = disks[disk].substr(sector * 512, 512);
        ASSERT_EQ(0u, held.find("free ")) << "disk " << disk << " sector " << sector << " holds no free sector";
        reached.insert(std::stoull(held.substr(5)));
      }
    }
  }
  EXPECT_EQ(freeCount, mapped);
  EXPECT_EQ(freeCount, reached.size());
}

TEST(SectorRanges, BothMapsOfADiskMergeOnlyExactlyAdjacentRanges) {
  struct Case {
    Ranges first, second;
    Ranges merged;
  };
  const std::vector<Case> cases = {
      {{{10, 19}}, {{20, 29}}, {{10, 29}}},
      {{{10, 19}}, {{19, 29}}, {{10, 19}, {19, 29}}},  // overlapping ranges stay apart
      {{{0, 0}}, {{1, 5}}, {{0, 0}, {1, 5}}},          // a range ending at sector 0 never merges
      {{{30, 39}, {10, 19}}, {{20, 29}}, {{10, 39}}},
      {{}, {}, {}},
  };
  for (const Case& c : cases) {
    quarnBackupArgs args;
    for (const auto& r : c.first) args.mSectorsNotToBackup.emplace(3, VMInfoStructs::SectorRange(r.first, r.second));
    for (const auto& r : c.second) args.mSectorsNotToBackup2.emplace(3, VMInfoStructs::SectorRange(r.first, r.second));
    args.mSectorsNotToBackup2.emplace(4, VMInfoStructs::SectorRange(1000, 2000));  // another disk's
    std::vector<VMInfoStructs::SectorRange> got;
    args.GetDiskSectorsNotToBackup(3, got);
    EXPECT_EQ(c.merged, Of(got));
  }
}

TEST(SectorRanges, VolumeRangesReachOnlyTheDiskTheyLieOn) {
  // Three disks registered for the parse, the middle one under mount index 5 (a disk before it was
  // left out), a volume of two components on disks 0 and 2.
  quarnDiskConfig config;
  for (uint64_t key : {0u, 5u, 7u}) {
    config.SetMountIndexForLVMDisks(key);
    config.addDiskForLVMProcessing(kProductVMware, "/d" + std::to_string(key), "id", 2, "idx", 2048, 512, true);
  }
  auto volumeOf = [](const char* name, std::vector<LVM_Segment_t> segments) {
    LVM_Volume_t volume;
    volume.name = name;
    volume.segments = std::move(segments);
    return volume;
  };
  auto segmentOf = [](uint64_t first, uint64_t last, uint64_t stripe, std::vector<LVM_Component_t> components) {
    LVM_Segment_t segment;
    segment.llLBAStart = first;
    segment.llLBAEnd = last;
    segment.llCompSizeInSectors = stripe;
    segment.vComponents = std::move(components);
    return segment;
  };
  LVM_Volume_t spanned =
      volumeOf("v", {segmentOf(0, 1999, 0, {{0, 1, 0, 999, 2048, 3047}, {2, 1, 1000, 1999, 4096, 5095}})});
  // A plain segment, then one striped in 100-sector stripes over disks 0 and 2: stripe n of the
  // segment lies on component n % 2, as its (n / 2)th stripe there.
  LVM_Volume_t striped =
      volumeOf("s", {segmentOf(0, 999, 0, {{0, 1, 0, 999, 2048, 3047}}),
                     segmentOf(1000, 1799, 100, {{0, 2, 1000, 1799, 10000, 10399}, {2, 1, 1000, 1799, 20000, 20399}})});
  // A file system that claims 1000 sectors in a partition of 500: sectors past the partition's end
  // are the next partition's.
  LVM_Volume_t overfull = volumeOf("o", {segmentOf(0, 999, 0, {{0, 1, 0, 999, 2048, 2547}})});

  struct Case {
    LVM_Volume_t* volume;
    VMInfoStructs::SectorRange range;
    std::multimap<uint64_t, std::pair<uint64_t, uint64_t>> expected;
  };
  const std::vector<Case> cases = {
      {&spanned, {10, 19}, {{0, {2058, 2067}}}},
      // In the second component: its distance from the component's start, from its partition's start.
      {&spanned, {1000, 1009}, {{7, {4096, 4105}}}},
      {&spanned, {1999, 1999}, {{7, {5095, 5095}}}},
      {&spanned, {990, 1010}, {}},  // across the two components: dropped
      {&spanned, {20, 10}, {}},     // inverted: never added
      {&striped, {990, 999}, {{0, {3038, 3047}}}},
      {&striped, {1000, 1009}, {{0, {10000, 10009}}}},
      {&striped, {1100, 1109}, {{7, {20000, 20009}}}},
      {&striped, {1250, 1449}, {{0, {10150, 10199}}, {7, {20100, 20199}}, {0, {10200, 10249}}}},
      {&striped, {1799, 1799}, {{7, {20399, 20399}}}},
      {&striped, {1700, 1800}, {}},  // past the segment's end: dropped
      {&overfull, {400, 600}, {{0, {2448, 2547}}}},
      {&overfull, {499, 499}, {{0, {2547, 2547}}}},
      {&overfull, {500, 510}, {}},
  };
  for (const Case& c : cases) {
    SectorRangeMap map;
    config.MapVolSectorsToDisk(c.volume, {c.range}, map);
    std::multimap<uint64_t, std::pair<uint64_t, uint64_t>> got;
    for (const auto& entry : map) got.emplace(entry.first, std::make_pair(entry.second.first, entry.second.last));
    EXPECT_EQ(c.expected, got) << c.volume->name << " " << c.range.first << "-" << c.range.last;
  }
}

}  // namespace
