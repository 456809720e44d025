// Whole jobs over VMs whose disks carry real guest structures (MBR with logical partitions, GPT,
// NTFS with a page file, swap of both page sizes, ext4): the backup leaves exactly the page file, the
// swap pages and the free NTFS clusters out, quarn-lab verify restores every other sector byte for
// byte, files read from the restored disks equal the originals, the ranges of a disk reach no other
// disk, and damaged guest structures cost no data.
#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveRestore.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabGuestVolumes.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabSubclient.h"
#include "platform/lab/LabVMClient.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxPath.h"
#include "records/messages/FBRMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/GuestImages.h"
#include "support/TestLab.h"

namespace {

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
using gi = guestimages::MbrDisk;
using gg = guestimages::GptDisk;
const char kGuid[] = "50290000-0000-4000-8000-000000000001";

int RunTool(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> argv = {QUARN_LAB_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::WaitProgram(testsupport::StartProgram(argv, outPath));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class GuestBackupRun : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ("", guestimages::MissingTool()) << "a tool the guest images need is missing: run scripts/deps.sh";
    char pattern[] = "/tmp/quarn-guestrun-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    images_ = pattern;
    ASSERT_TRUE(guestimages::MakeMbrDisk(images_ + "/mbr.img"));
    ASSERT_TRUE(guestimages::MakeGptDisk(images_ + "/gpt.img"));
    ASSERT_TRUE(guestimages::MakeLeftoverSwapDisk(images_ + "/leftover-mbr.img", false));
    ASSERT_TRUE(guestimages::MakeLeftoverSwapDisk(images_ + "/leftover-gpt.img", true));
    ASSERT_TRUE(guestimages::Extract(images_ + "/mbr.img", gi::kNtfsStart, gi::kNtfsSectors, images_ + "/mbr-ntfs.img"));
    ASSERT_TRUE(guestimages::Extract(images_ + "/gpt.img", gg::kNtfsStart, gg::kNtfsSectors, images_ + "/gpt-ntfs.img"));
    ASSERT_TRUE(guestimages::ReadNtfsOracle(images_ + "/mbr-ntfs.img", mbrNtfs_));
    ASSERT_TRUE(guestimages::ReadNtfsOracle(images_ + "/gpt-ntfs.img", gptNtfs_));
  }
  static void TearDownTestSuite() { guestimages::Run("rm -rf " + guestimages::Quote(images_)); }

  // A lab of one VM of three disks on the given hypervisor; each disk's image replaced by the named
  // one ("" keeps the sample disk), `inactive` marks a disk outside the VM's active configuration.
  void MakeLab(const std::string& hypervisor, const std::vector<std::string>& disks, int inactive = -1) {
    ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "1", "--disks", "3", "--time-scale", "60", "--hypervisor", hypervisor}, out))
        << ReadAll(out);
    lab::SetRoot(labDir);
    lab::VMDescription vm;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), kGuid, vm));
    for (size_t i = 0; i < disks.size(); ++i) {
      vm.disks[i].inactive = static_cast<int>(i) == inactive;
      if (disks[i].empty()) continue;
      const std::string path = lab::DiskImagePath(lab::SampleServer(), vm.disks[i].file);
      ASSERT_EQ(0, guestimages::Run("cp " + guestimages::Quote(disks[i]) + " " + guestimages::Quote(path)));
      vm.disks[i].sizeBytes = ReadAll(path).size();
    }
    std::string error;
    ASSERT_TRUE(lab::WriteVMDescription(lab::SampleServer(), vm, error)) << error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "skipPageFileExtents", "1", error)) << error;
    lab::SetRoot(std::string());
  }

  void RunJobAndVerify(const std::vector<std::string>& jobOptions = {"-numStreams", "1"}) {
    std::vector<std::string> args = {"run", labDir, "--"};
    args.insert(args.end(), jobOptions.begin(), jobOptions.end());
    ASSERT_EQ(0, RunTool(args, out)) << ReadAll(out);
    lab::SetRoot(labDir);
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, kGuid, record));
    EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    EXPECT_EQ("", record.getstring(JobManager::VMUpdateInfo::F_failureText));
    lab::SetRoot(std::string());
    ASSERT_EQ(0, RunTool({"verify", labDir}, out)) << ReadAll(out);
    EXPECT_NE(std::string::npos, ReadAll(out).find("1 VM: 0 problems")) << ReadAll(out);
  }

  // The sectors each disk's backup left out, as the lab's mount recorded them.
  std::vector<Ranges> LeftOut() {
    lab::SetRoot(labDir);
    std::vector<Ranges> leftOut;
    for (const lab::MountRecord& mount : lab::ListMountRecords(1001))
      for (const lab::MountedDisk& disk : mount.disks) leftOut.push_back(disk.leftOut);
    lab::SetRoot(std::string());
    return leftOut;
  }

  // The disk as the job's archives restore it, written to a file.
  std::string Restore(size_t disk) {
    lab::SetRoot(labDir);
    const std::vector<archive::ArchiveContents> archives = archivetest::ReadJobArchives(1001, nullptr);
    archive::VMBackup backup;
    std::vector<std::string> notes;
    std::string error;
    EXPECT_TRUE(archive::ReassembleVM(archives, kGuid, 1001, backup, notes, error)) << error;
    lab::SetRoot(std::string());
    const std::string path = dir.Path("restored" + std::to_string(disk) + ".img");
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const auto& entry : backup.disks) {
      if (entry.first.find("scsi0-" + std::to_string(disk) + "-") == std::string::npos) continue;
      EXPECT_TRUE(archive::ReadRestoredDisk(entry.second,
                                            [&](const char* data, size_t size) {
                                              file.write(data, static_cast<std::streamsize>(size));
                                              return true;
                                            },
                                            error))
          << error;
    }
    return path;
  }

  std::string Log() {
    lab::SetRoot(labDir);
    const std::string text = ReadAll(lab::ClientLogPath("coordinator", "quarn"));
    lab::SetRoot(std::string());
    return text;
  }

  static Ranges Merge(Ranges ranges) { return lab::MergeSectorRanges(std::move(ranges)); }

  static Ranges MbrExpected() {
    Ranges expected = guestimages::FreeSectors(mbrNtfs_, gi::kNtfsStart);
    for (const auto& r : guestimages::PageFileSectors(mbrNtfs_, gi::kNtfsStart)) expected.push_back(r);
    expected.emplace_back(gi::kSwap4Start + 8, gi::kSwap4Start + gi::kLogicalSectors - 1);
    expected.emplace_back(gi::kSwap8Start + 16, gi::kSwap8Start + gi::kLogicalSectors - 1);
    return Merge(expected);
  }

  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
  static std::string images_;
  static guestimages::NtfsOracle mbrNtfs_, gptNtfs_;
};
std::string GuestBackupRun::images_;
guestimages::NtfsOracle GuestBackupRun::mbrNtfs_, GuestBackupRun::gptNtfs_;

TEST_F(GuestBackupRun, ABackupLeavesOutExactlyTheSectorsThatNeedNoneAndRestoresTheRest) {
  MakeLab("vmware", {images_ + "/mbr.img", "", images_ + "/gpt.img"});
  RunJobAndVerify();
  EXPECT_NE(std::string::npos, ReadAll(out).find("left-out sectors as zeros")) << ReadAll(out);

  const std::vector<Ranges> leftOut = LeftOut();
  ASSERT_EQ(3u, leftOut.size());
  EXPECT_EQ(MbrExpected(), leftOut[0]);
  EXPECT_TRUE(leftOut[1].empty()) << "a disk without a partition table or file system";
  Ranges gpt = guestimages::FreeSectors(gptNtfs_, gg::kNtfsStart);
  gpt.emplace_back(gg::kSwapStart + 8, gg::kSwapStart + gg::kSectors - 1);
  EXPECT_EQ(Merge(gpt), leftOut[2]);

  // Files read back from the restored disk equal the originals; the swap headers and the NTFS
  // backup boot sector are there; what was left out reads as zeros.
  const std::string restored = Restore(0);
  const std::string original = ReadAll(images_ + "/mbr.img");
  const std::string bytes = ReadAll(restored);
  ASSERT_EQ(original.size(), bytes.size());
  ASSERT_TRUE(guestimages::Extract(restored, gi::kNtfsStart, gi::kNtfsSectors, dir.Path("ntfs.img")));
  ASSERT_TRUE(guestimages::Extract(restored, gi::kExtStart, gi::kLogicalSectors, dir.Path("ext.img")));
  for (int n : {1, 7, 40}) {
    std::string text;
    ASSERT_EQ(0, guestimages::Run("ntfscat " + dir.Path("ntfs.img") + " file_number_" + std::to_string(n) + ".txt", &text));
    EXPECT_EQ("file " + std::to_string(n) + " content\n", text);
  }
  std::string hello;
  ASSERT_EQ(0, guestimages::Run("debugfs -R 'cat hello.txt' " + dir.Path("ext.img"), &hello));
  EXPECT_EQ("hello from ext4\n", hello);
  for (const auto& kept : Ranges{{gi::kSwap4Start, gi::kSwap4Start + 7},
                                 {gi::kSwap8Start, gi::kSwap8Start + 15},
                                 {gi::kNtfsStart + gi::kNtfsSectors - 1, gi::kNtfsStart + gi::kNtfsSectors - 1}})
    EXPECT_EQ(original.substr(kept.first * 512, (kept.second - kept.first + 1) * 512),
              bytes.substr(kept.first * 512, (kept.second - kept.first + 1) * 512))
        << "sectors " << kept.first << "-" << kept.second;
  for (const auto& range : leftOut[0])
    EXPECT_EQ(std::string((range.second - range.first + 1) * 512, '\0'),
              bytes.substr(range.first * 512, (range.second - range.first + 1) * 512));
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("[VM File Filter] Enumerated [")) << "page file and swap found";
  EXPECT_EQ(std::string::npos, log.find("not available on this agent yet"));
  EXPECT_EQ(std::string::npos, log.find("Granular metadata")) << "the pass ends at once on this platform";
  EXPECT_NE(std::string::npos, log.find("Total guest size for VM [vm01] is ["));
}

TEST_F(GuestBackupRun, TheRangesOfADiskReachThatDiskOnlyWhenADiskBeforeItIsLeftOutOfTheParse) {
  // The middle disk is left out of the parse, so the third disk is the parse's second: outside the
  // active configuration of a Hyper-V VM (backed up, not parsed), or filtered out of the backup (not
  // mounted either). The GPT disk first and the MBR disk last: a range keyed by the parse position
  // lands on the wrong disk or on none.
  struct Case {
    const char* what;
    const char* hypervisor;
    bool filtered;
    const char* logLine;
  };
  const std::vector<Case> cases = {
      {"an inactive disk", "hyperv", false,
       "is not part of active VM configuration. Skipping this disk for LVM processing"},
      {"a filtered disk", "vmware", true, "[VM File Filter] Enumerated ["},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    guestimages::Run("rm -rf " + guestimages::Quote(labDir));
    MakeLab(c.hypervisor, {images_ + "/gpt.img", "", images_ + "/mbr.img"}, c.filtered ? -1 : 1);
    ASSERT_EQ(0, RunTool({"set", labDir, "coordinator", "VirtualServer", "bDetectVolUnusedSectors", "1"}, out));
    if (c.filtered) {
      std::string error;
      lab::SetRoot(labDir);
      ASSERT_TRUE(lab::SetSubclientValue("1", "diskFilter.1.type", "2", error)) << error;
      ASSERT_TRUE(lab::SetSubclientValue("1", "diskFilter.1.value", "vm01_1.img", error)) << error;
      lab::SetRoot(std::string());
    }
    RunJobAndVerify();
    std::vector<Ranges> leftOut = LeftOut();
    ASSERT_EQ(c.filtered ? 2u : 3u, leftOut.size());
    Ranges gpt = guestimages::FreeSectors(gptNtfs_, gg::kNtfsStart);
    gpt.emplace_back(gg::kSwapStart + 8, gg::kSwapStart + gg::kSectors - 1);
    EXPECT_EQ(Merge(gpt), leftOut.front());
    if (!c.filtered) {
      EXPECT_TRUE(leftOut[1].empty()) << "the inactive disk keeps every sector";
    }
    EXPECT_EQ(MbrExpected(), leftOut.back());
    EXPECT_NE(std::string::npos, Log().find(c.logLine));
    // Every file of the last disk reads back from its restore.
    ASSERT_TRUE(guestimages::Extract(Restore(2), gi::kNtfsStart, gi::kNtfsSectors, dir.Path("ntfs.img")));
    std::string text;
    ASSERT_EQ(0, guestimages::Run("ntfscat " + dir.Path("ntfs.img") + " file_number_7.txt", &text));
    EXPECT_EQ("file 7 content\n", text);
  }
}

TEST_F(GuestBackupRun, DamagedGuestStructuresCostTheVMNoData) {
  struct Case {
    const char* what;
    size_t offset;  // a byte of the MBR image set to zero
    const char* logLine;
    bool swapLeftOut;
  };
  const std::vector<Case> cases = {
      {"a damaged NTFS boot sector", gi::kNtfsStart * 512 + 0x0C, "Failed to open the volume for free sectors regions calculation", true},
      {"a loop in the extended partition", (gi::kSwap8Start - 2048) * 512 + 446 + 16 + 8 + 1,
       "CLVM::InitializeFromDisk() call failed", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = ReadAll(images_ + "/mbr.img");
    bytes[c.offset] = 0;
    if (std::string(c.what).find("loop") != std::string::npos) {
      // The second logical's link points back at the first extended boot record.
      for (int i = 0; i < 4; ++i) bytes[c.offset - 1 + i] = 0;
    }
    const std::string damaged = dir.Path("damaged.img");
    std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
    guestimages::Run("rm -rf " + guestimages::Quote(labDir));
    MakeLab("vmware", {damaged, "", ""});
    RunJobAndVerify();
    EXPECT_NE(std::string::npos, Log().find(c.logLine));
    const std::vector<Ranges> leftOut = LeftOut();
    ASSERT_EQ(3u, leftOut.size());
    Ranges swap;
    if (c.swapLeftOut) {
      swap.emplace_back(gi::kSwap4Start + 8, gi::kSwap4Start + gi::kLogicalSectors - 1);
      swap.emplace_back(gi::kSwap8Start + 16, gi::kSwap8Start + gi::kLogicalSectors - 1);
    }
    EXPECT_EQ(swap, leftOut[0]) << "the damaged volume is backed up whole";
    // The whole NTFS partition restores as it was.
    const std::string restored = ReadAll(Restore(0));
    ASSERT_EQ(bytes.size(), restored.size());
    EXPECT_TRUE(bytes.compare(gi::kNtfsStart * 512, gi::kNtfsSectors * 512, restored, gi::kNtfsStart * 512,
                              gi::kNtfsSectors * 512) == 0);
  }
}

// A file system that claims more sectors than its partition holds (the volume manager's partition
// ends in the middle of a run of free clusters): the free clusters are left out up to the
// partition's end, and every sector past it (another partition's, as far as the volume manager
// knows) is backed up and restores byte for byte. The page file's folder lies past the end: the
// page file is not found and is backed up.
TEST_F(GuestBackupRun, ARangeRunningPastItsPartitionsEndIsLeftOutOnlyUpToThatEnd) {
  const Ranges free = guestimages::FreeSectors(mbrNtfs_, gi::kNtfsStart);
  ASSERT_LT(2u, free.size());
  const uint64_t partitionLast = (free[2].first + free[2].second) / 2;
  ASSERT_LT(partitionLast, free[2].second);
  // What the next partition holds, in the sectors the file system counts as its free clusters.
  std::string original = ReadAll(images_ + "/mbr.img");
  for (uint64_t sector = partitionLast + 1; sector <= free[2].second; ++sector)
    original.replace(sector * 512, 512, std::string(512, static_cast<char>('a' + sector % 26)));
  const std::string image = dir.Path("overfull.img");
  std::ofstream(image, std::ios::binary | std::ios::trunc) << original;
  MakeLab("vmware", {image, "", ""});
  lab::SetRoot(labDir);
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), kGuid, vm));
  lab::GuestVolumeScript script;
  lab::GuestVolume overfull{"overfull", 7, "", false, 512, {}};
  overfull.segments.push_back({0, gi::kNtfsSectors - 1, 0,
                               {{CPxPath::GetFileName(vm.disks[0].file), 1, 0, gi::kNtfsSectors - 1, gi::kNtfsStart,
                                 partitionLast}}});
  script.volumes = {overfull};
  std::string error;
  ASSERT_TRUE(lab::WriteGuestVolumeScript(kGuid, script, error)) << error;
  lab::SetRoot(std::string());
  RunJobAndVerify();

  Ranges expected;
  for (const auto& r : free)
    if (r.first <= partitionLast) expected.emplace_back(r.first, std::min(r.second, partitionLast));
  expected.emplace_back(gi::kSwap4Start + 8, gi::kSwap4Start + gi::kLogicalSectors - 1);
  expected.emplace_back(gi::kSwap8Start + 16, gi::kSwap8Start + gi::kLogicalSectors - 1);
  const std::vector<Ranges> leftOut = LeftOut();
  ASSERT_EQ(3u, leftOut.size());
  EXPECT_EQ(Merge(expected), leftOut[0]);

  const std::string restored = ReadAll(Restore(0));
  ASSERT_EQ(original.size(), restored.size());
  const size_t past = (partitionLast + 1) * 512;
  EXPECT_TRUE(original.compare(past, (gi::kNtfsStart + gi::kNtfsSectors) * 512 - past, restored, past,
                               (gi::kNtfsStart + gi::kNtfsSectors) * 512 - past) == 0)
      << "the sectors past the partition's end come back as they were";
}

// The guest's operating system where the hypervisor does not say it: Hyper-V reads the partition
// types of the guest-metadata pass (and, while nothing was found, lsblk on each disk), OpenStack only
// lsblk, which the lab answers from the disk's own bytes. A Windows guest is recorded with its VM
// client; a Linux one is not; every job restores byte for byte.
TEST_F(GuestBackupRun, AGuestsOperatingSystemIsWorkedOutFromItsDisksWhereTheHypervisorDoesNotSayIt) {
  const std::string linuxDisk = images_ + "/linux.img", fatDisk = images_ + "/fat.img", oneNtfs = images_ + "/one-ntfs.img";
  ASSERT_EQ(0, guestimages::Run("rm -f " + guestimages::Quote(linuxDisk) + " && truncate -s 16M " +
                                guestimages::Quote(linuxDisk) + " && printf 'label: gpt\nstart=2048, size=8192, type=" +
                                "0FC63DAF-8483-4772-8E79-3D69D8477DE4\n' | sfdisk -q " + guestimages::Quote(linuxDisk) +
                                " && truncate -s 4M " + guestimages::Quote(linuxDisk + ".p") + " && mke2fs -q -F -t ext4 " +
                                guestimages::Quote(linuxDisk + ".p")));
  ASSERT_TRUE(guestimages::Place(linuxDisk, 2048 * 512, linuxDisk + ".p"));
  ASSERT_EQ(0, guestimages::Run("rm -f " + guestimages::Quote(fatDisk) + " && truncate -s 8M " + guestimages::Quote(fatDisk) +
                                " && printf 'label: dos\nstart=2048, size=8192, type=b\n' | sfdisk -q " +
                                guestimages::Quote(fatDisk)));
  ASSERT_EQ(0, guestimages::Run("rm -f " + guestimages::Quote(oneNtfs) + " && truncate -s 20M " + guestimages::Quote(oneNtfs) +
                                " && printf 'label: dos\nstart=2048, size=32768, type=7\n' | sfdisk -q " +
                                guestimages::Quote(oneNtfs)));
  ASSERT_TRUE(guestimages::Place(oneNtfs, 2048 * 512, images_ + "/mbr-ntfs.img"));

  struct Case {
    const char* name;
    const char* hypervisor;
    std::string disk;
    bool skipFat;
    int id;
    std::vector<const char*> lines;
  };
  const std::vector<Case> cases = {
      {"Hyper-V, a GPT disk with a basic-data partition", "hyperv", images_ + "/gpt.img", false, 21,
       {"Found a partition GUID that is recognized by Windows"}},
      {"Hyper-V, a Linux-only disk", "hyperv", linuxDisk, false, 0,
       {"Did not find a partition type/GUID that is recognized by Windows, Possibly the VM OS is Linux",
        "DetectGuestOS returned simOSId as [0]"}},
      {"Hyper-V, a FAT32 partition", "hyperv", fatDisk, false, 21, {"Found a partition type that is recognized by Windows"}},
      {"Hyper-V, a FAT32 partition with FAT skipped", "hyperv", fatDisk, true, 0,
       {"Did not find a partition type/GUID that is recognized by Windows"}},
      {"OpenStack, a whole-disk NTFS: one line", "openstack", images_ + "/gpt-ntfs.img", false, 21,
       {"DetectGuestOS returned simOSId as [21]"}},
      {"OpenStack, one NTFS partition: two lines", "openstack", oneNtfs, false, 21,
       {"One or more partitions found, skipping FS label assigned to entire disk", "DetectGuestOS returned simOSId as [21]"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    guestimages::Run("rm -rf " + guestimages::Quote(labDir));
    MakeLab(test.hypervisor, {test.disk});
    if (test.skipFat) {
      ASSERT_EQ(0, RunTool({"set", labDir, "coordinator", "VirtualServer", "bSkipFatPartitionForGuestOSDetect", "1"}, out));
    }
    RunJobAndVerify();
    const std::string log = Log();
    for (const char* line : test.lines) EXPECT_NE(std::string::npos, log.find(line)) << line;
    lab::SetRoot(labDir);
    lab::VMClientRecord client;
    std::string error;
    const lab::RecordRead read = lab::ReadVMClientRecord(101, client, error);
    lab::SetRoot(std::string());
    const std::string recorded = read == lab::RecordRead::kRead && client.values.count("simOSId") ? client.values["simOSId"] : "";
    EXPECT_EQ(test.id == 0 ? std::string() : std::to_string(test.id), recorded);
  }
}

// A swap signature left over in a partition whose type says data (MBR 83, the GPT Linux file-system
// type) leaves nothing of it out; the swap partition beside it is still left out past its header. Each
// disk restores byte for byte to its copy taken before the job but for the real swap's pages, and
// verify with that copy as the image says those pages were left out, not compared. After a guest
// write, verify still checks the backup against what the job's mount took.
TEST_F(GuestBackupRun, ASwapSignatureInADataPartitionLeavesNothingOut) {
  using sd = guestimages::LeftoverSwapDisk;
  const std::vector<std::string> before = {images_ + "/leftover-mbr.img", images_ + "/leftover-gpt.img"};
  MakeLab("vmware", {before[0], before[1], ""});
  RunJobAndVerify();
  const Ranges swapPages = {{sd::kSwapStart + 8, sd::kSwapStart + sd::kSectors - 1}};
  const std::vector<Ranges> leftOut = LeftOut();
  ASSERT_EQ(3u, leftOut.size());
  for (size_t disk = 0; disk < before.size(); ++disk) {
    SCOPED_TRACE(before[disk]);
    EXPECT_EQ(swapPages, leftOut[disk]);
    std::string expected = ReadAll(before[disk]);
    std::fill_n(&expected[swapPages[0].first * 512], (swapPages[0].second - swapPages[0].first + 1) * 512, '\0');
    const std::string restored = ReadAll(Restore(disk));
    ASSERT_EQ(expected.size(), restored.size());
    EXPECT_TRUE(expected == restored) << "the data partition and the swap header come back whole";
    const std::string image = "scsi0-" + std::to_string(disk) + "-vm01_" + std::to_string(disk) + ".img";
    EXPECT_EQ(0, RunTool({"verify", labDir, "--image", image + "=" + before[disk]}, out)) << ReadAll(out);
    EXPECT_NE(std::string::npos, ReadAll(out).find(": matches the image " + before[disk] + " outside the " +
                                                  std::to_string(sd::kSectors - 8) +
                                                  " sectors its backup left out (left out, not compared)"))
        << ReadAll(out);
  }
  EXPECT_EQ(2u, testsupport::CountOf(Log(), "is of partition type [0x83], not Linux swap: its sectors are backed up"));
  ASSERT_EQ(0, RunTool({"disk", labDir, "vm01", "0", "write", "--offset", "0", "--bytes", "8388608"}, out)) << ReadAll(out);
  ASSERT_EQ(0, RunTool({"verify", labDir}, out)) << ReadAll(out);
  EXPECT_NE(std::string::npos, ReadAll(out).find("1 VM: 0 problems")) << ReadAll(out);
}

// On VMware, the default hypervisor, a disk is backed up under an index name with a '_'
// ("scsi0-0-vm01_0.img"): the extents that hold its NTFS volume's $MFT and directory indices are
// flagged in the archive's extent headers under that name, exactly as ntfsinfo places them, and the
// prefetch list uploaded with the VM names the disk by it, with the disk's extent size.
TEST_F(GuestBackupRun, LiveBrowseExtentsAreFlaggedAndListedUnderTheDisksIndexNameOnVMware) {
  const std::string disk = images_ + "/livebrowse.img";
  ASSERT_TRUE(guestimages::MakeNtfsDisk(disk, {2048}));
  MakeLab("vmware", {disk});
  ASSERT_EQ(0, RunTool({"set", labDir, "coordinator", "VirtualServer", "bEnableMetadataRestoreOptimization", "1"}, out));
  RunJobAndVerify();

  const std::string indexName = "scsi0-0-vm01_0.img";
  lab::SetRoot(labDir);
  std::set<uint64_t> flagged;
  uint64_t extentBytes = 0;
  for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(1001, nullptr)) {
    for (const archive::Item& item : contents.items) {
      if (item.kind == archive::ItemKind::kDisk && item.name == std::string("\\") + kGuid + "\\" + indexName)
        extentBytes = item.sectorsPerExtent * 512;
      uint64_t number = 0;
      if (item.kind == archive::ItemKind::kExtent && (item.flags & 0x100000000ULL) != 0) {
        EXPECT_EQ(indexName, item.diskName);
        ASSERT_TRUE(archive::ParseExtentNumber(item.name, number)) << item.name;
        flagged.insert(number);
      }
    }
  }
  lab::SubclientRecord subclient;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
  // Uploaded under the VM's own job of the job.
  const std::string guid = subclient.settings["subclientGUID"];
  const std::vector<int64_t> vmJobs = lab::IndexVMFileJobs(guid, kGuid);
  ASSERT_EQ(1u, vmJobs.size());
  const std::string uploaded = lab::IndexVMJobDir(guid, kGuid, vmJobs[0], error);
  FBR::MountExtentsInfo prefetch;
  const bool loaded = vsXMLFile(uploaded + "/" + kGuid + "_LiveBrowsePrefetchExtents.xml").Load(prefetch);
  lab::SetRoot(std::string());

  ASSERT_GT(extentBytes, 0u);
  std::set<uint64_t> expected;
  ASSERT_TRUE(guestimages::AddNtfsinfoExtents(disk, 2048, true, extentBytes, expected));
  EXPECT_EQ(expected, flagged);
  ASSERT_TRUE(loaded) << uploaded;
  const CNMessageList& disks = prefetch.getlistobject(FBR::MountExtentsInfo::F_disks);
  ASSERT_EQ(1u, disks.size()) << "the NTFS disk alone";
  const auto* info = disks[0]->getObject<FBR::FBRDiskInfo>(FBR::DiskMountExtentsInfo::F_disk, false);
  ASSERT_NE(nullptr, info);
  EXPECT_EQ(indexName, info->getstring(FBR::FBRDiskInfo::F_diskName));
  EXPECT_EQ(static_cast<int64_t>(extentBytes), info->getint64(FBR::FBRDiskInfo::F_extentSize));
}

}  // namespace
