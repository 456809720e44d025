// The lab's side of VM archiving: the subclient's rules, and a stub's deleted disks with the digests of
// their backups.
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/CPxSha256.h"
#include "support/TestLab.h"

namespace {

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

}  // namespace
