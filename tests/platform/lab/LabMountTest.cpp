// The lab's mounts: point-in-time copies that keep holes and their checksums, the mount record at its
// limits, mount records naming the snapshot views while mounted and their digests afterwards, descriptions that would lead a copy out of
// the lab or misstate a disk's size refused, the mounts a shared shadow's deletion ends, mounts of several VMs from several
// threads at once, and a volume-level mount that names each disk by its volume, whose copies the disk
// reader opens by the volume's name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabVMClient.h"
#include "platform/os/CPxPath.h"
#include "platform/os/CPxSha256.h"
#include "platform/os/FXString.h"
#include "platform/vminfo/LabVMInfo.h"
#include "support/TestLab.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(LabCopy, PointInTimeCopyKeepsBytesHolesAndItsChecksum) {
  testsupport::TestLab lab;
  const std::string source = lab.Path("disk.img");
  std::string error;
  ASSERT_TRUE(lab::WriteImageAtomic(source, "head of the disk", 8 << 20, error)) << error;
  {
    std::fstream image(source, std::ios::in | std::ios::out | std::ios::binary);
    image.seekp(6 << 20);
    image.write("a block far out", 15);
  }
  std::string sha;
  ASSERT_TRUE(lab::CopyPointInTime(source, lab.Path("copy.img"), &sha, error)) << error;
  EXPECT_EQ(ReadAll(source), ReadAll(lab.Path("copy.img")));
  std::string expected;
  ASSERT_TRUE(CPxSha256::OfFile(source, expected, error));
  EXPECT_EQ(expected, sha);
  struct stat status;
  ASSERT_EQ(0, stat(lab.Path("copy.img").c_str(), &status));
  EXPECT_LT(static_cast<uint64_t>(status.st_blocks) * 512, 4u << 20) << "the holes stay holes";

  // An existing copy is never overwritten; a missing or special source leaves no copy behind.
  EXPECT_FALSE(lab::CopyPointInTime(source, lab.Path("copy.img"), nullptr, error));
  EXPECT_EQ(ReadAll(source), ReadAll(lab.Path("copy.img")));
  EXPECT_FALSE(lab::CopyPointInTime(lab.Path("missing.img"), lab.Path("none.img"), nullptr, error));
  ASSERT_EQ(0, mkfifo(lab.Path("fifo").c_str(), 0600));
  EXPECT_FALSE(lab::CopyPointInTime(lab.Path("fifo"), lab.Path("none.img"), nullptr, error));
  ASSERT_EQ(0, symlink(source.c_str(), lab.Path("link.img").c_str()));
  EXPECT_FALSE(lab::CopyPointInTime(lab.Path("link.img"), lab.Path("none.img"), nullptr, error));
  EXPECT_FALSE(testsupport::Exists(lab.Path("none.img")));
}

TEST(LabMountRecord, CountsAtTheirLimits) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"diskCount=4096", true},  {"diskCount=4097", false}, {"diskCount=-1", false}, {"configCount=4096", true},
      {"configCount=4097", false}, {"disk0.sizeBytes=x\ndiskCount=1", false},
  };
  for (const Case& c : cases) {
    lab::MountRecord record;
    std::string error;
    EXPECT_EQ(c.valid, lab::ParseMountRecord(c.text, record, error)) << c.text;
  }
  lab::MountRecord record;
  record.vm = "vm01";
  record.guid = "G-1";
  record.state = "mounted";
  record.disks.push_back({"scsi0-0-a.img", "datastores/ds1/a.img", "/m/a.img", "ds1", 42, "ab12", "0123-4", {{8, 15}, {100, 200}}, "5c0e", ""});
  record.disks.push_back({"0a1b-1", "datastores/ds1/b.img", "/m/b.img", "ds1", 42, "", "", {}, "", "\\\\?\\Volume{0a1b-1}\\"});
  record.configs.push_back({"datastores/ds1/a.vmx", "/m/config0/a.vmx"});
  lab::MountRecord again;
  std::string error;
  ASSERT_TRUE(lab::ParseMountRecord(lab::FormatMountRecord(record), again, error)) << error;
  EXPECT_EQ(lab::FormatMountRecord(record), lab::FormatMountRecord(again));
  EXPECT_EQ(record.disks[1].volume, again.disks[1].volume);
}

TEST(LabVMClientRecord, PropertiesAreKeptAndUnstorableOnesRefused) {
  testsupport::TestLab lab;
  std::string error;
  EXPECT_TRUE(lab::SetVMClientValue(7, "hostName", "esx1", error)) << error;
  EXPECT_TRUE(lab::SetVMClientValue(7, "appsDiscovered", "<discoveredApps/>", error)) << error;
  EXPECT_FALSE(lab::SetVMClientValue(7, "appsDiscovered", "two\nlines", error));
  EXPECT_FALSE(lab::SetVMClientValue(0, "hostName", "esx1", error)) << "client ids start at 1";
  lab::VMClientRecord record;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadVMClientRecord(7, record, error));
  EXPECT_EQ("esx1", record.values["hostName"]);
  EXPECT_EQ("<discoveredApps/>", record.values["appsDiscovered"]);
  EXPECT_EQ(lab::RecordRead::kMissing, lab::ReadVMClientRecord(8, record, error));
}

class LabMountTest : public ::testing::Test {
 protected:
  LabMountTest() {
    lab::LabPlan plan;
    plan.vms = 4;
    plan.disksPerVM = 2;
    lab.Create(plan);
  }
  static std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
  }
  static std::string Guid(int index) {
    char guid[64];
    std::snprintf(guid, sizeof guid, "50290000-0000-4000-8000-%012x", index);
    return guid;
  }
  MountCtx Ctx(int index, int64_t job = 1001) {
    MountCtx ctx;
    ctx.vmGuid = Guid(index);
    ctx.jobId = static_cast<uint64_t>(job);
    ctx.mountPath = lab.Path("mnt/(" + Guid(index) + ")");
    return ctx;
  }
  testsupport::TestLab lab;
};

TEST_F(LabMountTest, MountRecordsNameTheViewsWhileMountedAndTheirDigestsAfter) {
  LabVMInfo vmInfo(101);
  MountCtx ctx = Ctx(1);
  std::vector<VMInfoStructs::SMountInfoFull> before, during, after;
  ASSERT_EQ(1, vmInfo.GetMountInfoFull(ctx, before));
  ASSERT_EQ(1, vmInfo.MountVM(ctx));
  ASSERT_EQ(1, vmInfo.GetMountInfoFull(ctx, during));
  ASSERT_EQ(2u, during.size());
  for (size_t i = 0; i < during.size(); ++i) {
    EXPECT_EQ(0u, during[i].disks[0].path.find(ctx.mountPath + "/")) << during[i].disks[0].path;
    EXPECT_EQ(testsupport::ReadDisk(before[i].disks[0].path), testsupport::ReadDisk(during[i].disks[0].path));
    EXPECT_EQ(before[i].disks[0].indexName, during[i].disks[0].indexName);
  }
  // The lab's writer keeps what the mount took: the view still reads it, and its digest is had after
  // the unmount.
  const std::string taken = testsupport::ReadDisk(during[0].disks[0].path);
  std::string id, error;
  ASSERT_TRUE(lab::WriteDiskRanges(before[0].disks[0].path, {{4096, 1 << 20}}, false, 0, id, error)) << error;
  EXPECT_EQ(taken, testsupport::ReadDisk(during[0].disks[0].path));
  EXPECT_NE(taken, testsupport::ReadDisk(before[0].disks[0].path));
  EXPECT_EQ(LabVMInfo::MountCleanupString("vcenter", 1001, Guid(1)), ctx.cleanupString);
  EXPECT_GT(ctx.fileTime, 0);
  ASSERT_EQ(1, vmInfo.UnmountVM(ctx));
  EXPECT_TRUE(ctx.cleanupString.empty());
  EXPECT_FALSE(testsupport::Exists(during[0].disks[0].path));
  lab::MountRecord record;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", 1001, Guid(1), record, error));
  std::string sha;
  ASSERT_TRUE(lab::MountedDiskDigest(record, record.disks[0], sha, error)) << error;
  CPxSha256 expected;
  expected.Update(taken.data(), taken.size());
  EXPECT_EQ(expected.FinalHex(), sha);
  ASSERT_EQ(1, vmInfo.GetMountInfoFull(ctx, after));
  EXPECT_EQ(before[0].disks[0].path, after[0].disks[0].path) << "unmounted: the images again";
  EXPECT_EQ(1, vmInfo.UnmountVM(ctx)) << "nothing is left to remove";
}

// A backup that left sectors out is checked after its disk changed as surely as a whole disk: the
// digest without those sectors is kept before the image leaves the mount's generation, whether the
// guest writes after the unmount or during the job before the backup said what it left out, and it
// leaves out every sector said, however many times.
TEST_F(LabMountTest, TheDigestWithoutLeftOutSectorsOutlivesTheMountAndTheGeneration) {
  struct Case {
    const char* name;
    int vm;
    bool writeDuringJob;  // before the sectors are recorded, rather than after the unmount
    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> recorded;
  };
  const Case cases[] = {
      {"a write after the unmount", 1, false, {{{8, 15}}}},
      {"a write during the job, before the backup said what it left out", 2, true, {{{8, 15}}}},
      {"sectors said twice, then a write after the unmount", 3, false, {{{8, 15}}, {{100, 299}, {16, 16}}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    LabVMInfo vmInfo(101);
    MountCtx ctx = Ctx(test.vm);
    std::vector<VMInfoStructs::SMountInfoFull> before, during;
    ASSERT_EQ(1, vmInfo.GetMountInfoFull(ctx, before));
    const std::string image = before[0].disks[0].path;
    // What the backup promises: the disk as the mount took it, every sector said read as zeros.
    std::string promised = testsupport::ReadDisk(image);
    for (const auto& ranges : test.recorded)
      for (const auto& range : ranges)
        std::fill(promised.begin() + static_cast<std::ptrdiff_t>(range.first * 512),
                  promised.begin() + static_cast<std::ptrdiff_t>((range.second + 1) * 512), '\0');
    CPxSha256 expected;
    expected.Update(promised.data(), promised.size());
    ASSERT_EQ(1, vmInfo.MountVM(ctx));
    ASSERT_EQ(1, vmInfo.GetMountInfoFull(ctx, during));
    const std::string view = during[0].disks[0].path;
    std::string id, error;
    // Seeded bytes over sectors left out and sectors kept alike.
    const std::vector<lab::ByteRange> write = {{0, 400 * 512}};
    if (test.writeDuringJob) { ASSERT_TRUE(lab::WriteDiskRanges(image, write, false, 0, id, error)) << error; }
    for (const auto& ranges : test.recorded)
      ASSERT_TRUE(lab::RecordLeftOutSectors(1001, Guid(test.vm), view, ranges, error)) << error;
    ASSERT_EQ(1, vmInfo.UnmountVM(ctx));
    if (!test.writeDuringJob) { ASSERT_TRUE(lab::WriteDiskRanges(image, write, false, 0, id, error)) << error; }
    ASSERT_TRUE(lab::WriteDiskRanges(image, {{1 << 20, 512}}, false, 0, id, error)) << error;

    lab::MountRecord record;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", 1001, Guid(test.vm), record, error));
    std::string sha;
    ASSERT_TRUE(lab::MountedDiskDigestWithoutLeftOut(record, record.disks[0], sha, error)) << error;
    EXPECT_EQ(expected.FinalHex(), sha);
  }
}

// A volume-level mount takes the VM's disks as a disk mount does, but lists and records each one as a
// volume; the disk reader opens a volume by its name and reads what the mount took (with the copy's
// change journal), whatever the guest writes afterwards, and only while the VM is mounted for the job.
TEST_F(LabMountTest, AVolumeMountNamesItsDisksByVolumeAndTheReaderOpensTheirCopies) {
  LabVMInfo vmInfo(101);
  MountCtx ctx = Ctx(1);
  ctx.mountType = IVMInfo::kMountTypeVolumes;
  SDiskFilter filter;
  filter.value = "*_1.img";
  ctx.diskFilters.push_back(filter);
  std::vector<VMInfoStructs::SMountInfoFile> before, during;
  ASSERT_EQ(1, vmInfo.GetMountedVolumes(ctx, before));
  ASSERT_EQ(2u, before.size()) << "before the mount every disk the VM has is a volume";
  ASSERT_EQ(1, vmInfo.MountVM(ctx));
  lab::MountRecord record;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", 1001, Guid(1), record, error)) << error;
  ASSERT_EQ(1u, record.disks.size()) << "the filtered disk is no volume of the backup";
  EXPECT_EQ(lab::LabVolumeName(Guid(1), 0), record.disks[0].volume);
  EXPECT_EQ(lab::LabVolumeBackupName(Guid(1), 0), record.disks[0].indexName);
  EXPECT_EQ("\\\\?\\Volume{" + record.disks[0].indexName + "}\\", record.disks[0].volume);
  EXPECT_NE(lab::LabVolumeBackupName(Guid(1), 0), lab::LabVolumeBackupName(Guid(2), 0));
  EXPECT_NE(lab::LabVolumeBackupName(Guid(1), 0), lab::LabVolumeBackupName(Guid(1), 1));
  EXPECT_EQ(LabVMInfo::MountCleanupString("vcenter", 1001, Guid(1)), ctx.cleanupString);
  ASSERT_EQ(1, vmInfo.GetMountedVolumes(ctx, during));
  ASSERT_EQ(1u, during.size());
  EXPECT_EQ(record.disks[0].volume, during[0].volumeName);
  EXPECT_EQ(lab::ImageChangeId(record.disks[0].copy), during[0].changeId);
  EXPECT_FALSE(during[0].changeId.empty());

  // The guest writes after the mount: the volume reads as the mount took it.
  const std::string image = lab::DiskImagePath("vcenter", record.disks[0].source);
  const std::string taken = testsupport::ReadDisk(image);
  std::string id;
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, 8192}}, false, 0, id, error)) << error;
  const std::string volume = during[0].volumeName.substr(0, during[0].volumeName.size() - 1);
  CArchiveVirtualDiskFile reader(1);
  reader.SetVMInfo(&vmInfo, "vm01", Guid(1), &ctx, nullptr);
  reader.SetChangeId(during[0].changeId);
  ASSERT_TRUE(reader.Open(volume, 17).IsSuccess());
  EXPECT_EQ(taken.size(), reader.GetDiskSize());
  EXPECT_TRUE(reader.IsUsingChangeId()) << "the copy's journal knows the generation it holds";
  std::string head(8192, '\0');
  ASSERT_TRUE(reader.ReadAt(0, head.size(), &head[0]).IsSuccess());
  EXPECT_EQ(taken.substr(0, head.size()), head);
  EXPECT_EQ(1, vmInfo.ValidateChangeId("vm01", Guid(1), volume, during[0].changeId));

  struct Case {
    const char* name;
    int64_t job;
    std::string volume;
    bool found;
  } cases[] = {
      {"the name without its closing back-slash", 1001, volume, true},
      {"the name as the guest lists it", 1001, during[0].volumeName, true},
      {"in capitals", 1001, Upper(volume), true},
      {"the filtered disk's volume", 1001, lab::LabVolumeName(Guid(1), 1), false},
      {"another VM's volume", 1001, lab::LabVolumeName(Guid(2), 0), false},
      {"another job", 1002, volume, false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string copy, why;
    EXPECT_EQ(c.found, lab::MountedVolumeCopy(c.job, Guid(1), c.volume, copy, why)) << why;
    EXPECT_EQ(c.found ? record.disks[0].copy : std::string(), copy);
    EXPECT_EQ(c.found, why.empty()) << why;
  }
  CArchiveVirtualDiskFile unmounted(1);
  EXPECT_TRUE(unmounted.Open(volume, 17).IsError()) << "no mount is given";

  ASSERT_EQ(1, vmInfo.UnmountVM(ctx));
  EXPECT_FALSE(testsupport::Exists(record.disks[0].copy));
  CArchiveVirtualDiskFile after(1);
  after.SetVMInfo(&vmInfo, "vm01", Guid(1), &ctx, nullptr);
  const CPxError error2 = after.Open(volume, 17);
  EXPECT_TRUE(error2.IsError());
  EXPECT_NE(std::string::npos, error2.AsString().find("no longer mounted")) << error2.AsString();
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", 1001, Guid(1), record, error)) << error;
  std::string sha;
  ASSERT_TRUE(lab::MountedDiskDigest(record, record.disks[0], sha, error)) << error;
  CPxSha256 expected;
  expected.Update(taken.data(), taken.size());
  EXPECT_EQ(expected.FinalHex(), sha) << "the volume's digest is what the mount took";
}

TEST_F(LabMountTest, DescriptionThatLeadsOutOfTheLabIsRefused) {
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM("vcenter", Guid(2), vm));
  vm.disks[1].file = "datastores/../../../outside.img";
  std::string error;
  ASSERT_TRUE(lab::WriteVMDescription("vcenter", vm, error)) << error;
  LabVMInfo vmInfo(101);
  MountCtx ctx = Ctx(2);
  EXPECT_EQ(0, vmInfo.MountVM(ctx));
  EXPECT_EQ(3003, vmInfo.GetErrorCode());
  EXPECT_FALSE(testsupport::Exists(ctx.mountPath)) << "nothing is copied";
  EXPECT_TRUE(ctx.cleanupString.empty());
}

// A disk whose described size is not its image's (a sector less or more) or is no whole number of
// sectors would be backed up in part or past its end: the mount is refused with the reason, and the
// views taken of the VM's other disks go again. The size the image has mounts.
TEST_F(LabMountTest, ADiskDescribedWithASizeItsImageDoesNotHaveIsRefused) {
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM("vcenter", Guid(2), vm));
  const uint64_t imageBytes = vm.disks[1].sizeBytes;
  const struct {
    int64_t delta;
    const char* why;  // nullptr: mounted
  } cases[] = {{-512, ", but its image holds "}, {512, ", but its image holds "},
               {1, ", not a whole number of 512-byte sectors"}, {0, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delta);
    vm.disks[1].sizeBytes = imageBytes + static_cast<uint64_t>(c.delta);
    std::string error;
    ASSERT_TRUE(lab::WriteVMDescription("vcenter", vm, error)) << error;
    LabVMInfo vmInfo(101);
    MountCtx ctx = Ctx(2);
    if (c.why == nullptr) {
      EXPECT_EQ(1, vmInfo.MountVM(ctx));
      EXPECT_EQ(1, vmInfo.UnmountVM(ctx));
      continue;
    }
    EXPECT_EQ(0, vmInfo.MountVM(ctx));
    EXPECT_EQ(3003, vmInfo.GetErrorCode());
    std::string text;
    EvMessageContainer event;
    vmInfo.GetErrorReport(ctx, text, event);
    const std::string described = "described as " + std::to_string(vm.disks[1].sizeBytes) + " bytes";
    EXPECT_NE(std::string::npos, text.find(described + c.why)) << text;
    lab::MountRecord record;
    EXPECT_EQ(lab::RecordRead::kMissing, lab::ReadMountRecord("vcenter", 1001, Guid(2), record, error));
    EXPECT_FALSE(testsupport::Exists(ctx.mountPath + "/" + CPxPath::GetFileName(vm.disks[0].file)))
        << "the first disk's view is dropped";
  }
}

// A shared shadow cannot go while mounts read from it: its deletion ends those of its job (a job that
// died left them), keeping a file another caller put in a mount's folder, and leaves every other
// mount. Deleting it again succeeds; a name never made, or made for another job, is not found.
TEST_F(LabMountTest, DeletingASharedShadowEndsTheMountsMadeFromIt) {
  LabVMInfo shared(101);
  shared.SetOption("singleSharedShadow", 1);
  MountCtx shadow = Ctx(1);
  for (int vm : {1, 2}) {
    SVMBasicInfo info;
    info.vmGuid = Guid(vm);
    shadow.vmBasicInfos.push_back(info);
  }
  ASSERT_EQ(1, shared.CreateSharedShadow(shadow)) << shared.GetErrorText();
  MountCtx first = Ctx(1), second = Ctx(2), own = Ctx(3), otherJob = Ctx(4, 1002);
  ASSERT_EQ(1, shared.MountVM(first));
  ASSERT_EQ(1, shared.MountVM(second));
  LabVMInfo plain(101);
  ASSERT_EQ(1, plain.MountVM(own));
  ASSERT_EQ(1, plain.MountVM(otherJob));
  const std::string stray = second.mountPath + "/another-callers-file";
  std::string error;
  ASSERT_TRUE(lab::WriteFileAtomic(stray, "x", error)) << error;

  ASSERT_EQ(1, plain.DeleteSharedShadow(shadow)) << plain.GetErrorText();

  const struct {
    int vm;
    int64_t job;
    const char* state;
  } expected[] = {{1, 1001, "unmounted"}, {2, 1001, "unmounted"}, {3, 1001, "mounted"}, {4, 1002, "mounted"}};
  for (const auto& mount : expected) {
    lab::MountRecord record;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", mount.job, Guid(mount.vm), record, error));
    EXPECT_EQ(mount.state, record.state) << mount.vm;
  }
  EXPECT_FALSE(testsupport::Exists(first.mountPath));
  EXPECT_TRUE(testsupport::Exists(stray)) << "the folder is not the mount's alone";
  EXPECT_TRUE(lab::StandingSharedShadows("vcenter").empty());

  EXPECT_EQ(1, plain.DeleteSharedShadow(shadow)) << "deleted already";
  EXPECT_EQ(2u, lab::ReadSharedShadowLog("vcenter").size()) << "one creation, one deletion";
  MountCtx laterJob = shadow, neverMade = shadow;
  laterJob.jobId = 1002;
  neverMade.sharedShadowText1 = "shadow-never-made";
  for (MountCtx* ctx : {&laterJob, &neverMade}) {
    EXPECT_EQ(0, plain.DeleteSharedShadow(*ctx)) << ctx->sharedShadowText1 << " of job " << ctx->jobId;
    EXPECT_EQ(LabVMInfo::kErrNotFound, plain.GetErrorCode());
  }
}

// Four VMs mounted and unmounted at once, each by its own thread and connection, for two jobs: every
// mount keeps its own record and copies.
TEST_F(LabMountTest, MountsFromSeveralThreadsKeepTheirOwnRecords) {
  std::vector<std::thread> threads;
  std::vector<int> results(8, -1);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      LabVMInfo vmInfo(101);
      MountCtx ctx = Ctx(t % 4 + 1, 1001 + t / 4);
      ctx.mountPath += "-" + std::to_string(t);
      results[t] = vmInfo.MountVM(ctx) == 1 && vmInfo.UnmountVM(ctx) == 1 ? 1 : 0;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(8, 1), results);
  for (int64_t job : {1001, 1002}) {
    std::vector<lab::MountRecord> records = lab::ListMountRecords(job);
    ASSERT_EQ(4u, records.size()) << job;
    for (const lab::MountRecord& record : records) {
      EXPECT_EQ("unmounted", record.state);
      ASSERT_EQ(2u, record.disks.size());
      std::string sha, error;
      EXPECT_TRUE(lab::MountedDiskDigest(record, record.disks[0], sha, error)) << error;
      EXPECT_EQ(64u, sha.size());
      EXPECT_FALSE(testsupport::Exists(record.disks[0].copy));
      // One VM's records are read alone, its GUID in either case.
      for (const std::string& guid : {FXString::ToLower(record.guid), FXString::ToUpper(record.guid)}) {
        const std::vector<lab::MountRecord> own = lab::ListMountRecordsOfVM(job, guid);
        ASSERT_EQ(1u, own.size()) << guid;
        EXPECT_EQ(lab::FormatMountRecord(record), lab::FormatMountRecord(own[0]));
      }
    }
  }
  EXPECT_TRUE(lab::ListMountRecordsOfVM(1003, Guid(1)).empty()) << "a job that mounted nothing";
}

}  // namespace
