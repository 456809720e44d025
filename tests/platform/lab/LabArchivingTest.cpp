// The lab's side of VM archiving: the subclient's rules, and a stub's deleted disks with the digests of
// their backups.
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/CPxSha256.h"
#include "platform/vminfo/LabVMInfo.h"
#include "support/BackupTestSupport.h"
#include "support/TestLab.h"

namespace {

// A lab of the coordinator alone with one VM of two disks: vm01 on the sample server.
void CreateOneVMOfTwoDisks(testsupport::TestLab& dir, lab::VMDescription& vm) {
  lab::LabPlan plan;
  plan.vms = 1;
  plan.disksPerVM = 2;
  plan.clients = {"coordinator"};
  ASSERT_TRUE(dir.Create(plan));
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
}

TEST(LabArchivingTest, ARuleThatIsOnWithoutItsDaysIsRefusedWithTheReason) {
  testsupport::TestLab dir;
  std::string error;
  struct Case {
    const char* text;
    const char* refusal;  // empty: taken
  } cases[] = {
      {"archiveRule=1\n", "archiveRule is on without archiveDays"},
      {"relocateRule=1\narchiveDays=2\n", "relocateRule is on without relocateDays"},
      {"archiveRule=1\narchiveDays=2\n", ""},
      {"archiveRule=0\n", ""},
      {"relocateRule=1\nrelocateDays=0\n", ""},
      {"archiveDays=two\n", "value of archiveDays is not a number"},
      {"itemPastExpiryDays=-1\nexpiryOverrideHours=5\n", ""},
  };
  for (const Case& c : cases) {
    lab::SubclientRecord record;
    const bool taken = lab::ParseSubclientRecord(c.text, record, error);
    EXPECT_EQ(*c.refusal == 0, taken) << c.text;
    if (!taken) {
      EXPECT_NE(std::string::npos, error.find(c.refusal)) << error;
    }
  }
  // Set one key at a time, the rule goes in only after its days.
  ASSERT_TRUE(lab::SetSubclientValue("1", "instanceType", "101", error)) << error;
  EXPECT_FALSE(lab::SetSubclientValue("1", "archiveRule", "1", error));
  EXPECT_NE(std::string::npos, error.find("archiveDays")) << error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "archiveDays", "2", error)) << error;
  EXPECT_TRUE(lab::SetSubclientValue("1", "archiveRule", "1", error)) << error;
}

TEST(LabArchivingTest, AStubsDeletedDiskStillProvesWhatItsBackupTookAndComesBackByRestore) {
  testsupport::TestLab dir;
  lab::LabPlan plan;
  plan.vms = 1;
  plan.clients = {"coordinator"};
  ASSERT_TRUE(dir.Create(plan));
  const std::string server = lab::SampleServer();
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(server, "vm01", vm));
  const std::string image = lab::DiskImagePath(server, vm.disks[0].file);
  std::string original, error, changeId;
  ASSERT_TRUE(CPxSha256::OfFile(image, original, error)) << error;
  // A mount took the disk and let it go; then a stub deletes it.
  const std::string view = dir.Path("view.img");
  ASSERT_TRUE(lab::TakeSnapshot(image, view, changeId, error)) << error;
  ASSERT_TRUE(lab::DropSnapshot(view, error)) << error;
  ASSERT_TRUE(lab::UpdateVMDescription(server, "vm01", [&](lab::VMDescription& d, std::string& why) {
    return lab::DeleteVMDiskImage(server, d, 0, why);
  }, error)) << error;
  EXPECT_NE(0, access(image.c_str(), F_OK));
  std::string digest;
  ASSERT_TRUE(lab::SnapshotDigest(image, view, changeId, digest, error)) << error;
  EXPECT_EQ(original, digest) << "what the backup took can still be checked";
  ASSERT_TRUE(lab::FindVM(server, "vm01", vm));
  EXPECT_TRUE(vm.disks[0].deleted);
  // Creating the next job leaves the stub as it is.
  plan.jobId = 1002;
  ASSERT_TRUE(dir.Create(plan));
  EXPECT_NE(0, access(image.c_str(), F_OK)) << "a stub's disk is not made again";
  // Without a backup there is nothing to restore, and nothing is marked restored.
  std::vector<std::string> restored;
  EXPECT_FALSE(lab::RestoreVMDisks(server, "vm01", 0, restored, error));
  EXPECT_NE(std::string::npos, error.find("no backup of VM [vm01] holds its disk scsi0-0-vm01_0.img")) << error;
  EXPECT_TRUE(restored.empty());
  ASSERT_TRUE(lab::FindVM(server, "vm01", vm));
  EXPECT_TRUE(vm.disks[0].deleted);
}

constexpr int64_t kBackupJob = 1001;

// The job's full backup of the disks as they are now.
void BackUp(const std::vector<archivetest::BackedUpDisk>& disks) {
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
  vsJobMgr job;
  job.setJobId(std::to_string(kBackupJob));
  job.setMediaAgent(lab::SampleMediaAgent());
  archivetest::WriteFullBackup(job, vm.guid, disks);
}

// The hypervisor's stub in the lab deletes only the disks it is given, each only at the change id given
// for it (what the backup read), and the VM's description says so of each disk as it goes: a stub cut
// off, refused or killed leaves a description that names every disk it deleted.
TEST(LabArchivingTest, AStubDeletesOnlyTheDisksItIsGivenAtTheirChangeIdsAndRecordsEachAsItGoes) {
  enum Given { kBoth, kFirstOnly, kSecondStale, kNoBackup };
  struct Case {
    const char* what;
    Given given;
    bool firstDeletedBefore;  // by an earlier stub that was cut off
    int64_t cutAfter;         // -1: no cut
    int result;
    int32_t deleted;          // ctx.disksDeleted
    std::vector<bool> gone;   // marked deleted in the description, image removed
    const char* error;
  } cases[] = {
      {"both disks at their change ids", kBoth, false, -1, 1, 2, {true, true}, ""},
      {"a disk it was not given", kFirstOnly, false, -1, 0, 0, {false, false},
       "not among the disks the stub may delete"},
      {"the second disk written since its backup", kSecondStale, false, -1, 0, 1, {true, false}, "is at change id"},
      {"cut off after the first disk", kBoth, false, 1, 0, 1, {true, false}, "refused"},
      {"a disk an earlier stub deleted", kBoth, true, -1, 1, 2, {true, true}, ""},
      {"no backup of the job on the media", kNoBackup, false, -1, 0, 0, {false, false},
       "would not come back from the backup of job 1001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestLab dir("coordinator");
    const std::string server = lab::SampleServer();
    lab::VMDescription vm;
    ASSERT_NO_FATAL_FAILURE(CreateOneVMOfTwoDisks(dir, vm));
    StubVMCtx ctx;
    ctx.vmName = vm.name;
    ctx.vmGuid = vm.guid;
    ctx.jobId = kBackupJob;
    std::string error;
    std::vector<archivetest::BackedUpDisk> backedUp;
    for (size_t i = 0; i < 2; ++i) {
      std::string changeId;
      const std::string image = lab::DiskImagePath(server, vm.disks[i].file);
      ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, 4096}}, true, i + 1, changeId, error)) << error;
      backedUp.push_back({lab::LabDiskIndexName(i, vm.disks[i].file), image});
      if (c.given == kFirstOnly && i == 1) continue;
      ctx.disks.push_back(StubVMDisk{lab::LabDiskIndexName(i, vm.disks[i].file), changeId});
    }
    // The job's backup took the disks at the change ids given; a disk written after it is stale.
    if (c.given != kNoBackup) {
      ASSERT_NO_FATAL_FAILURE(BackUp(backedUp));
    }
    if (c.given == kSecondStale) {
      std::string changeId;
      ASSERT_TRUE(lab::WriteDiskRanges(backedUp[1].image, {{4096, 512}}, true, 9, changeId, error)) << error;
    }
    if (c.firstDeletedBefore) {
      ASSERT_TRUE(lab::UpdateVMDescription(server, "vm01", [&](lab::VMDescription& d, std::string& why) {
        return lab::DeleteVMDiskImage(server, d, 0, why);
      }, error)) << error;
    }
    if (c.cutAfter >= 0) { ASSERT_TRUE(dir.Fault("vminfo.StubVMDisk", 3010, "refused", c.cutAfter)); }
    LabVMInfo vmInfo(kInstanceTypeVMware, server);
    EXPECT_EQ(c.result, vmInfo.StubVM(ctx));
    EXPECT_EQ(c.result == 0, ctx.failed);
    EXPECT_EQ(c.deleted, ctx.disksDeleted);
    EXPECT_EQ(2, ctx.totalDisks);
    EXPECT_NE(std::string::npos, vmInfo.GetErrorText().find(c.error)) << vmInfo.GetErrorText();
    ASSERT_TRUE(lab::FindVM(server, "vm01", vm));
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(c.gone[i], vm.disks[i].deleted) << i;
      EXPECT_EQ(c.gone[i], access(lab::DiskImagePath(server, vm.disks[i].file).c_str(), F_OK) != 0) << i;
      // A disk this stub deleted names the backup it went on; one deleted before keeps none.
      const bool byThisStub = c.gone[i] && !(c.firstDeletedBefore && i == 0);
      EXPECT_EQ(byThisStub ? kBackupJob : 0, vm.disks[i].stubJob) << i;
      EXPECT_EQ(byThisStub ? ctx.disks[i].changeId : std::string(), vm.disks[i].stubChangeId) << i;
    }
  }
}

// vm restore brings a stub's two disks back from the backup the stub deleted them on, byte for byte, or
// writes nothing back and says which disk and job: the VM finds that backup's archives by the note of
// its archive files of the job, which a line cut short at its end (a note whose write a full file
// system cut off) never spoils for the lines after it, and without which the backup is not found; a
// disk whose new image cannot be made durable is no restore, and the disk before it is not left
// restored behind a description that says both are deleted.
TEST(LabArchivingTest, AStubsDisksComeBackFromTheirBackupOrNothingIsWrittenBack) {
  enum Damage { kNone, kNoteCutShortBefore, kNoteLost, kSecondImageNotDurable };
  struct Case {
    const char* what;
    Damage damage;
    const char* error;  // empty: restored
  } cases[] = {
      {"a whole backup", kNone, ""},
      {"the note's last line cut short before the backup was noted", kNoteCutShortBefore, ""},
      {"the note of the backup lost", kNoteLost, "disk scsi0-0-vm01_0.img of VM [vm01] is not restored: the backup "
                                                 "of job 1001"},
      {"the folder of the second image not synced", kSecondImageNotDurable, "cannot sync the folder of"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestLab dir("coordinator");
    const std::string server = lab::SampleServer();
    lab::VMDescription vm;
    ASSERT_NO_FATAL_FAILURE(CreateOneVMOfTwoDisks(dir, vm));
    const std::string note = lab::VMArchiveListPath(lab::SampleMediaAgent(), kBackupJob, vm.guid);
    if (c.damage == kNoteCutShortBefore) {
      ASSERT_TRUE(lab::MakeDirs(note.substr(0, note.rfind('/'))));
      ASSERT_TRUE(lab::AppendTornLineLocked(note, "99", 1));
    }
    std::vector<archivetest::BackedUpDisk> backedUp;
    std::vector<std::string> before;
    std::string error;
    for (size_t i = 0; i < 2; ++i) {
      std::string changeId;
      const std::string image = lab::DiskImagePath(server, vm.disks[i].file);
      ASSERT_TRUE(lab::WriteDiskRanges(image, {{512 * i, 8192}}, true, i + 3, changeId, error)) << error;
      backedUp.push_back({lab::LabDiskIndexName(i, vm.disks[i].file), image});
      before.push_back(testsupport::ReadDisk(image));
    }
    ASSERT_NO_FATAL_FAILURE(BackUp(backedUp));
    for (const archivetest::BackedUpDisk& disk : backedUp)
      ASSERT_TRUE(lab::DeleteStubbedDisk(server, "vm01", disk.indexName, lab::ImageChangeId(disk.image), kBackupJob,
                                         error))
          << error;
    if (c.damage == kNoteLost) {
      ASSERT_EQ(0, unlink(note.c_str()));
    }
    if (c.damage == kSecondImageNotDurable) {
      lab::FaultRule rule;
      rule.op = "restore.SyncImage";
      rule.disk = backedUp[1].indexName;
      rule.code = EIO;
      ASSERT_TRUE(dir.Fault(rule));
    }
    std::vector<std::string> restored;
    const bool ok = lab::RestoreVMDisks(server, "vm01", 0, restored, error);
    EXPECT_EQ(*c.error == 0, ok) << error;
    EXPECT_NE(std::string::npos, error.find(c.error)) << error;
    ASSERT_TRUE(lab::FindVM(server, "vm01", vm));
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(!ok, vm.disks[i].deleted) << i;
      const std::string bytes = testsupport::ReadDisk(backedUp[i].image);
      if (ok) {
        EXPECT_TRUE(bytes == before[i]) << "disk " << i << " does not come back as it was backed up";
      } else {
        EXPECT_NE(0, access(backedUp[i].image.c_str(), F_OK)) << "disk " << i << " is back, its description "
                                                                 "says it is deleted";
      }
    }
    EXPECT_EQ(ok ? 2u : 0u, restored.size());
  }
}

}  // namespace
