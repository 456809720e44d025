// The guest's operating system from its disks: partition types and GUIDs as the guest-metadata pass
// read them, and the file-system names lsblk prints for the VM's disks (scripted here; the lab's
// lsblk is checked against blkid on real images, and the command never goes through a shell).
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "disklayout/quarnconfig.h"
#include "platform/disk/PartitionTable.h"
#include "platform/lab/LabBlockDevices.h"
#include "platform/vminfo/LabVMInfo.h"
#include "records/MountCtx.h"
#include "support/GuestImages.h"
#include "support/LayoutTestSupport.h"
#include "support/TestLab.h"

namespace {

GuidBytes Guid(const char* text) {
  GuidBytes guid{};
  EXPECT_TRUE(guestdisk::ParseGuidText(text, guid)) << text;
  return guid;
}
DiskPartitionType Mbr(std::vector<int64_t> types, uint32_t volumeManagement = 0) {
  DiskPartitionType disk;
  disk.scheme = 2;
  disk.volumeManagement = volumeManagement;
  disk.mbrTypes = std::move(types);
  return disk;
}
DiskPartitionType Gpt(std::vector<const char*> guids, uint32_t volumeManagement = 0) {
  DiskPartitionType disk;
  disk.scheme = 3;
  disk.volumeManagement = volumeManagement;
  for (const char* text : guids) disk.gptTypes.push_back(Guid(text));
  return disk;
}

const char* const kLinuxFs = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const char* const kLdmMetadata = "5808C8AA-7E8F-42E0-85D2-E1E90434CFB3";

class GuestOSTest : public ::testing::Test {
 protected:
  GuestOSTest() {
    lab_.Create();
    lab_.OpenLog();
  }
  testsupport::TestLab lab_;
};

TEST_F(GuestOSTest, PartitionTypesAndGuidsThatWindowsRecognisesGiveWindows) {
  struct Case {
    const char* name;
    std::vector<DiskPartitionType> disks;
    bool skipFat;
    int id;
  };
  DiskPartitionType raw = Mbr({0x07});
  raw.scheme = 1;
  std::vector<Case> cases = {
      {"GPT with an LDM metadata partition", {Gpt({kLinuxFs, kLdmMetadata})}, false, 21},
      {"GPT with Linux partitions only", {Gpt({kLinuxFs, "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"})}, false, 0},
      {"MBR with only FAT32 (0x0B)", {Mbr({0x0B})}, false, 21},
      {"MBR with only FAT32 (0x0B), FAT skipped", {Mbr({0x0B})}, true, 0},
      {"MBR with only FAT16 (0x06), FAT skipped", {Mbr({0x06})}, true, 0},
      {"MBR with FAT32 LBA (0x0C), FAT skipped", {Mbr({0x0C})}, true, 21},
      {"MBR with Linux and swap", {Mbr({0x83, 0x82, 0x05})}, false, 0},
      {"a raw disk's lists are not looked at", {raw}, false, 0},
      {"a volume manager's disk is read by its MBR types", {Gpt({kLinuxFs}, 3)}, false, 0},
      {"a Windows disk after a Linux one", {Mbr({0x83}), Gpt({kLinuxFs}), Mbr({0x83, 0x07})}, false, 21},
      {"no disks", {}, false, 0},
  };
  for (const char* guid : {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "E3C9E316-0B5C-4DB8-817D-F92DF00215AE",
                           "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", kLdmMetadata,
                           "AF9B60A0-1431-4F62-BC68-3311714A69AD", "E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D"})
    cases.push_back({guid, {Gpt({guid})}, false, 21});
  for (int64_t type : {0x01, 0x04, 0x06, 0x07, 0x0B, 0x0C, 0x0E}) cases.push_back({"MBR type", {Mbr({type})}, false, 21});
  DiskPartitionType dynamic = Gpt({kLinuxFs}, 3);
  dynamic.mbrTypes = {0x07};
  cases.push_back({"a volume manager's disk with an NTFS type", {dynamic}, false, 21});
  quarnDiskConfig config;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(test.id, config.DetectGuestOS(test.disks, test.skipFat));
  }
  const std::string log = lab_.Log();
  EXPECT_NE(std::string::npos, log.find("Found a partition GUID that is recognized by Windows"));
  EXPECT_NE(std::string::npos, log.find("Found a partition type that is recognized by Windows"));
  EXPECT_NE(std::string::npos,
            log.find("Did not find a partition type/GUID that is recognized by Windows, Possibly the VM OS is Linux"));
}

// lsblk answers scripted per device; the devices asked, in order.
class ScriptedProbe : public quarnDiskConfig {
 public:
  int RunFileSystemProbe(const std::string& device, std::string& output, std::string& errorText) override {
    asked.push_back(device);
    auto found = answers.find(device);
    if (found == answers.end()) return 32;
    output = found->second;
    return 0;
  }
  std::map<std::string, std::string> answers;
  std::vector<std::string> asked;
};

using layouttest::RecordsVMInfo;

VMInfoStructs::SMountInfoFull Record(std::vector<std::pair<std::string, int32_t>> disks) {
  VMInfoStructs::SMountInfoFull record;
  record.opened = 1;
  for (const auto& entry : disks) {
    VMInfoStructs::SDisk disk;
    disk.path = entry.first;
    disk.indexName = entry.first;
    disk.backupType = entry.second;
    record.disks.push_back(disk);
  }
  return record;
}

TEST_F(GuestOSTest, FileSystemsLsblkPrintsDecideAndALinuxOneOutweighsWindowsInItsRecord) {
  struct Case {
    const char* name;
    std::vector<VMInfoStructs::SMountInfoFull> records;
    std::map<std::string, std::string> answers;
    std::string device;  // given by the caller
    int id;
    std::vector<std::string> asked;
  };
  const std::vector<Case> cases = {
      {"one line: a whole-disk NTFS", {Record({{"/d0", 1}})}, {{"/d0", "ntfs\n"}}, "", 21, {"/d0"}},
      {"two lines: the whole disk's is dropped", {Record({{"/d0", 1}})}, {{"/d0", "ext4\nntfs\n"}}, "", 21, {"/d0"}},
      {"two lines, the partition's Linux", {Record({{"/d0", 1}})}, {{"/d0", "ntfs\next4\n"}}, "", 0, {"/d0"}},
      {"ext4 and ntfs on one disk count as Linux", {Record({{"/d0", 1}})}, {{"/d0", "\next4\nntfs\n"}}, "", 0, {"/d0"}},
      {"vfat and dos count as Windows", {Record({{"/d0", 1}})}, {{"/d0", "\nvfat\n"}}, "", 21, {"/d0"}},
      {"a failed probe finds nothing", {Record({{"/d0", 1}})}, {}, "", 0, {"/d0"}},
      {"a later disk's Linux clears the record's Windows",
       {Record({{"/d0", 1}, {"/d1", 1}}), Record({{"/d2", 1}})},
       {{"/d0", "ntfs\n"}, {"/d1", "xfs\n"}, {"/d2", "swap\n"}},
       "",
       0,
       {"/d0", "/d1", "/d2"}},
      {"Windows in the first record ends the search",
       {Record({{"/d0", 1}}), Record({{"/d1", 1}})},
       {{"/d0", "\nrefs\n"}, {"/d1", "ext3\n"}},
       "",
       21,
       {"/d0"}},
      {"no disk of kind 1: nothing runs", {Record({{"/c.vmx", 0}, {"/fc", 2}})}, {}, "", 0, {}},
      {"a device given: the first disk only, probed as that device",
       {Record({{"/d0", 1}, {"/d1", 1}}), Record({{"/d2", 1}})},
       {{"/dev/sdx", "ntfs\n"}},
       "/dev/sdx",
       21,
       {"/dev/sdx"}},
      {"a device given and a first record not of kind 1", {Record({{"/c.vmx", 0}, {"/d1", 1}})}, {}, "/dev/sdx", 0, {}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ScriptedProbe config;
    RecordsVMInfo vmInfo;
    MountCtx ctx;
    ctx.mountPath = "/mnt/(g)";
    vmInfo.records = test.records;
    ctx.vmInfo.disks.resize(test.records.size());
    ASSERT_EQ(0, config.getMountInfo(ctx, &vmInfo));
    config.answers = test.answers;
    EXPECT_EQ(test.id, config.DetectGuestOS(test.device));
    EXPECT_EQ(test.asked, config.asked);
  }
  const std::string log = lab_.Log();
  EXPECT_NE(std::string::npos, log.find("One or more partitions found, skipping FS label assigned to entire disk"));
  EXPECT_NE(std::string::npos, log.find("Failed to get partition FS info. Rc [32]."));
  EXPECT_NE(std::string::npos, log.find("DetectGuestOS returned simOSId as [21]"));
}

// The device is an argument of lsblk's own: a path full of shell syntax runs nothing.
TEST_F(GuestOSTest, TheDevicePathNeverReachesAShell) {
  const std::string marker = lab_.Path("ran");
  const std::string device = lab_.Path("x'; touch " + marker + "; echo '$(touch " + marker + ")");
  quarnDiskConfig config;
  std::string output, errorText;
  EXPECT_NE(0, config.RunFileSystemProbe(device, output, errorText));
  EXPECT_FALSE(testsupport::Exists(marker));
}

// The lab's lsblk names each partition's file system as blkid does, and a whole-disk file system on
// the disk's own line.
TEST(LabBlockDevices, TheLabsLsblkNamesWhatBlkidFinds) {
  ASSERT_EQ("", guestimages::MissingTool()) << "run scripts/deps.sh";
  char pattern[] = "/tmp/quarn-lsblk-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  ASSERT_TRUE(guestimages::MakeMbrDisk(dir + "/mbr.img"));
  ASSERT_TRUE(guestimages::MakeGptDisk(dir + "/gpt.img"));
  ASSERT_TRUE(guestimages::Extract(dir + "/gpt.img", guestimages::GptDisk::kNtfsStart, guestimages::GptDisk::kNtfsSectors,
                                   dir + "/ntfs.img"));
  for (const char* image : {"mbr.img", "gpt.img"}) {
    SCOPED_TRACE(image);
    std::string text, error;
    ASSERT_TRUE(lab::DescribeFileSystems(dir + "/" + image, text, error)) << error;
    std::string expected = "\n";
    for (const guestimages::Partition& partition : guestimages::SfdiskPartitions(dir + "/" + image)) {
      if (partition.type == "5") continue;  // the extended container has no line of its own here
      std::string type = guestimages::BlkidType(dir + "/" + image, partition.start * 512, partition.size * 512);
      expected += type + "\n";
    }
    EXPECT_EQ(expected, text);
  }
  std::string output;
  EXPECT_EQ(0, lab::RunBlockDeviceTool({"lsblk", "-o", "FSTYPE", "-a", "-r", "-n", "-f", dir + "/ntfs.img"}, output));
  EXPECT_EQ("ntfs\n", output);
  EXPECT_EQ(32, lab::RunBlockDeviceTool({"lsblk", "-f", dir + "/missing.img"}, output));
  EXPECT_EQ(1, lab::RunBlockDeviceTool({"lsblk"}, output));
  guestimages::Run("rm -rf " + guestimages::Quote(dir));
}

}  // namespace
