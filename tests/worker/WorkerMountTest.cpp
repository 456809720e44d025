// Mount and unmount of a VM over the lab: the mount path, the mount context, change ids, the mount's
// snapshots, clean-up strings and datastores, and the failures of a VM's items turned into
// result lines and job events.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "disklayout/QuarnChangeIdFile.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabMount.h"
#include "WorkerStageSupport.h"

namespace {

using ctltest::LabJob;
using stagetest::kGuid;

class WorkerMountTest : public stagetest::StageTest {
 protected:
  std::vector<std::string> CleanupStrings() { return vsJobMgr::ReadCleanupStrings(ctltest::kJobId); }
  // A snapshot backup's VM is read from the job's storage snapshot: the array takes it first.
  void TakeArraySnapshot() {
    LabVMInfo array(kInstanceTypeVMware, "vcenter");
    MountCtx snapshot;
    snapshot.jobId = ctltest::kJobId;
    snapshot.vmBasicInfos.resize(1);
    snapshot.vmBasicInfos[0].vmGuid = kGuid;
    ASSERT_NE(0, array.PreSnap(snapshot)) << array.GetErrorText();
  }
};

TEST_F(WorkerMountTest, MountPathComesFromTheSettingOrTheSubclientFolder) {
  struct Case {
    const char* setting;
    const char* name;
    const char* guid;
    int result;
    const char* path;  // empty: the subclient folder's
  } cases[] = {
      {"/mnt/snaps", "vm", "g1", 0, "/mnt/snaps/(g1)"},
      {"/mnt/snaps/", "vm", "g1", 0, "/mnt/snaps/(g1)"},
      {"", "vm", "g1", 0, ""},
      {"/mnt/snaps", "vm", "", 99, nullptr},
      {"/mnt/snaps", "", "g1", 98, nullptr},
      {"/mnt/snaps", "", "", 99, nullptr},
      {"/mnt/snaps", "vm", "../x", 99, nullptr},
      {"/mnt/snaps", "vm", "..", 99, nullptr},
      {"/mnt/snaps", "vm", "a\nb", 99, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + " " + c.name + " " + c.guid);
    job.SetSetting("dVMSnapMountPath", c.setting);
    std::string path = "untouched";
    EXPECT_EQ(c.result, worker.prepareMountPathDirectory(c.name, c.guid, path));
    if (c.path == nullptr) {
      EXPECT_EQ("untouched", path);
      EXPECT_NE(std::string::npos, job.Log().find(std::string("Invalid Argument vmName[") + c.name + "]"));
    } else {
      EXPECT_EQ(*c.path ? std::string(c.path) : worker.GetSubclientDirectory() + "/(g1)", path);
    }
  }
}

TEST_F(WorkerMountTest, MountTakesSnapshotsAndUnmountRemovesThem) {
  job.SetSetting("dVMSnapMountPath", job.Lab().Path("mounts"));
  job.SetSubclient("backupMethod", "vstorage");
  job.SetSubclient("transportMode", "3");
  job.SetSubclient("retainSnapSet", "1");
  args.mBackupLevel = 2;
  ASSERT_EQ(0, worker.MountVM());
  const std::string mountPath = job.Lab().Path("mounts") + "/(" + kGuid + ")";
  EXPECT_EQ(mountPath, Ctx().mountPath);
  EXPECT_EQ(2, Ctx().vmBackupLevel);
  EXPECT_EQ(2, Ctx().backupMethod);
  EXPECT_EQ(5, Ctx().transportMode);
  EXPECT_TRUE(Ctx().retainSnapshotSet);
  EXPECT_EQ("vm01", Ctx().displayName);
  EXPECT_EQ(kGuid, Ctx().backupName);
  EXPECT_EQ("vcenter", Ctx().hostCredentials.text1);
  EXPECT_EQ("esx1", Ctx().hostCredentials.proxyHost);
  EXPECT_EQ(vm.vmInfo.disks.size(), Ctx().vmInfo.disks.size());

  // The snapshot is what the backup reads: a write to the VM's disk afterwards does not reach it.
  lab::MountRecord record;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", ctltest::kJobId, kGuid, record, error));
  ASSERT_FALSE(record.disks.empty());
  const std::string copy = record.disks[0].copy;
  EXPECT_EQ(mountPath + "/vm01_0.img", copy);
  const std::string image = lab::DiskImagePath("vcenter", record.disks[0].source);
  const std::string taken = testsupport::ReadDisk(copy);
  EXPECT_EQ(testsupport::ReadDisk(image), taken);
  std::string before;
  ASSERT_TRUE(lab::MountedDiskDigest(record, record.disks[0], before, error)) << error;
  std::string id;
  ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, 23}}, false, 0, id, error)) << error;
  EXPECT_EQ(taken, testsupport::ReadDisk(copy));
  EXPECT_NE(taken, testsupport::ReadDisk(image));

  // The mount's clean-up string is kept with the job manager while the VM is mounted.
  ASSERT_EQ(1u, CleanupStrings().size());
  EXPECT_NE(std::string::npos, CleanupStrings()[0].find(LabVMInfo::MountCleanupString("vcenter", 1001, kGuid)));
  EXPECT_EQ(std::vector<std::string>{"vm01|esx1|ds1"}, controller.datastores);

  ASSERT_EQ(0, worker.UnmountVM());
  EXPECT_FALSE(testsupport::Exists(copy));
  EXPECT_FALSE(testsupport::Exists(mountPath));
  EXPECT_TRUE(CleanupStrings().empty());
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", ctltest::kJobId, kGuid, record, error));
  EXPECT_EQ("unmounted", record.state);
  std::string after;
  ASSERT_TRUE(lab::MountedDiskDigest(record, record.disks[0], after, error)) << error;
  EXPECT_EQ(before, after) << "the record keeps what was backed up";
}

// An agent knows a VM only by the collect list's few fields: the mount's record of the VM is what the
// hypervisor says of it, and the status record reports how and at which level the VM is backed up.
TEST_F(WorkerMountTest, TheMountFillsTheVMRecordAndTheStatusRecordSaysHowTheVMIsBackedUp) {
  using U = JobManager::VMUpdateInfo;
  struct Case {
    const char* backupMethod;  // the subclient's
    uint32_t level;            // the VM's, in its argument block
    int64_t method;            // reported
    bool full;                 // reported as a full backup
  } cases[] = {{"vstorage", 1, 2, true}, {"mounter", 2, 1, false}, {"", 1, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.backupMethod) + " level " + std::to_string(c.level));
    job.SetSubclient("backupMethod", c.backupMethod);
    vm.vmInfo = VMInfoStructs::SVMInfo();  // as the agent's collect list leaves it
    vm.updateInfo = U();
    controller.datastores.clear();
    args.mBackupLevel = c.level;
    ASSERT_EQ(0, worker.MountVM());
    const VMInfoStructs::SVMInfo& record = Ctx().vmInfo;
    EXPECT_EQ(kGuid, record.guid);
    EXPECT_EQ("esx1", record.host);
    EXPECT_EQ("ds1", record.datastore);
    EXPECT_EQ("/lab/host/esx1/Resources", record.field24) << "the resource pool";
    EXPECT_EQ(1, record.powerState);
    EXPECT_EQ("Linux", record.guestOS.field2);
    ASSERT_FALSE(record.disks.empty());
    for (const VMInfoStructs::SDisk& disk : record.disks) EXPECT_EQ("ds1", disk.datastore) << disk.path;
    EXPECT_EQ(std::vector<std::string>{"vm01|esx1|ds1"}, controller.datastores) << "the monitor watches its datastore";
    EXPECT_EQ(c.level == 1 ? 1 : 2, Ctx().vmBackupLevel);
    EXPECT_EQ(c.method, Ctx().backupMethod);

    ASSERT_EQ(0, worker.PreBackupVM(args));
    EXPECT_EQ(c.method, vm.updateInfo.getint64(U::F_backupMethod));
    EXPECT_EQ(c.full, vm.updateInfo.isSet(U::F_backupLevel));
    EXPECT_EQ("ds1", vm.updateInfo.getstring(U::F_datastoreList));
    EXPECT_EQ("esx1", vm.updateInfo.getstring(U::F_hostName));
    ASSERT_EQ(0, worker.UnmountVM());
  }
}

TEST_F(WorkerMountTest, ChangeIdIsReadOnlyWhenChangeTrackingIsUsed) {
  const std::string read = std::string("Generating Change ID files for VM [") + kGuid + "] disk []";
  struct Case {
    const char* what;
    const char* useCBT;
    const char* ignore;
    bool snapBackup;
    bool fileMade;
    size_t reads;  // of the VM's change-id file so far
  } cases[] = {
      {"change tracking off", "0", "0", false, false, 0},
      {"ignored by the setting", "1", "1", false, false, 0},
      {"used", "1", "0", false, true, 1},
      {"a VMware snapshot backup reads none", "1", "0", true, true, 1},
  };
  TakeArraySnapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    job.SetSubclient("useCBT", c.useCBT);
    job.SetSetting("nIgnoreChangeId", c.ignore);
    job.jobMgr.setSnapBackup(c.snapBackup);
    ASSERT_EQ(0, worker.MountVM());
    EXPECT_EQ(c.fileMade, args.mChangeIdFile != nullptr);
    EXPECT_EQ(c.reads, job.LogCount(read));
    EXPECT_EQ("", Ctx().previousChangeId) << "a full job has no previous change id";
    ASSERT_EQ(0, worker.UnmountVM());
    EXPECT_EQ(nullptr, args.mChangeIdFile) << "the unmount frees it";
  }
  job.jobMgr.setSnapBackup(false);

  // With indexing V2 the change id comes from the VM's index metadata of the last backup, and only
  // for an incremental backup.
  job.SetSubclient("indexingV2", "1");
  job.SetSubclient("useCBT", "1");
  job.SetSetting("nIgnoreChangeId", "0");
  auto* part = worker.m_vmIdxMetadata.getObject<IdxMetadata::VirtualServerIdxMetaData>(
      IdxMetadata::IdxMetaData::F_virtualServer, true);
  part->setstring(IdxMetadata::VirtualServerIdxMetaData::F_changeId, "v2-change-id");
  for (uint32_t level : {1u, 2u}) {
    args.mBackupLevel = level;
    ASSERT_EQ(0, worker.MountVM());
    EXPECT_EQ(level == 1 ? "" : "v2-change-id", Ctx().previousChangeId) << level;
    EXPECT_EQ(5001, static_cast<int64_t>(Ctx().childJobId));
    ASSERT_EQ(0, worker.UnmountVM());
  }
}

TEST_F(WorkerMountTest, FailedMountIsClassifiedWithItsReasonAndEvent) {
  struct Case {
    int code;
    int result;
    bool pending;
  } cases[] = {{3001, 95, false}, {23, 123, false}, {12, 96, true}, {293, 148, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error));
    lab::FaultRule rule;
    rule.op = "vminfo.MountVM";
    rule.code = c.code;
    rule.text = "snapshot refused";
    rule.eventId = 0x5B0001F0;
    ASSERT_TRUE(job.Lab().Fault(rule));
    vm.failureReason.clear();
    const size_t events = Events().size();
    EXPECT_EQ(c.result, worker.MountVM());
    EXPECT_EQ("snapshot refused", vm.failureReason);
    EXPECT_EQ(0x5B0001F0u, vm.failureEvent.GetMessageID());
    EXPECT_EQ(events + 1, Events().size()) << "the failure's job event";
    EXPECT_EQ(c.pending, !job.Lab().Pending().empty());
    EXPECT_TRUE(CleanupStrings().empty()) << "nothing was mounted";
    EXPECT_NE(nullptr, worker.TEST_MountCtx()) << "a failed mount keeps its context for the unmount";
    EXPECT_EQ(0, worker.UnmountVM());
    job.jobMgr.resetPendingCause();
  }
}

// Three failures, one a warning: the errors text "a-x; b-y", two errors and one warning; and a
// failure without text still counts.
TEST_F(WorkerMountTest, FailuresOfItemsBecomeResultLinesAndEvents) {
  ASSERT_EQ(0, worker.MountVM());
  Ctx().failures = {{"a", "x", "", "", false}, {"c", "w", "", "", true}, {"b", "y", "", "", false}};
  ASSERT_EQ(0, worker.UnmountVM());
  EXPECT_EQ((std::vector<std::string>{"vm01\\a Failed x", "vm01\\c Warning w", "vm01\\b Failed y"}), vm.messages);
  EXPECT_EQ(2, vm.errorCount);
  const std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ("MINOR 0x5B000106 2|vm01|a-x; b-y", events[events.size() - 2]);
  EXPECT_EQ("INFO 0x5B0001D0 1|vm01|c-w", events.back());
  EXPECT_NE(std::string::npos, job.Log().find("Errors found during backup. Error String [y]"));

  vm.messages.clear();
  ASSERT_EQ(0, worker.MountVM());
  Ctx().failures = {{"", "", "", "", false}, {"", "", "", "", true}};
  ASSERT_EQ(0, worker.UnmountVM());
  EXPECT_EQ((std::vector<std::string>{"vm01 Failed ", "vm01 Warning "}), vm.messages);
  EXPECT_EQ(3, vm.errorCount);
  EXPECT_EQ("MINOR 0x5B000036 1|vm01", Events()[Events().size() - 2]);
  EXPECT_EQ("INFO 0x5B0001CF 1|vm01", Events().back());

  // The lab's mount gathers failures for the disks the fault table names.
  lab::FaultRule rule;
  rule.op = "vminfo.MountFailure";
  rule.code = 2;
  rule.text = "disk skipped";
  rule.disk = lab::LabDiskIndexName(0, "vm01_0.img");
  ASSERT_TRUE(job.Lab().Fault(rule));
  ASSERT_EQ(0, worker.MountVM());
  ASSERT_EQ(1u, Ctx().failures.size());
  EXPECT_EQ(rule.disk, Ctx().failures[0].itemName);
  EXPECT_TRUE(Ctx().failures[0].warning);
}

TEST_F(WorkerMountTest, CleanupStringStaysWhenTheUnmountLeavesIt) {
  ASSERT_EQ(0, worker.MountVM());
  ASSERT_EQ(1u, CleanupStrings().size());
  lab::FaultRule rule;
  rule.op = "vminfo.UnmountVM";
  rule.code = 3001;
  rule.text = "snapshot removal failed";
  rule.eventId = 0x5B0001F0;
  rule.times = lab::kFaultAlways;
  ASSERT_TRUE(job.Lab().Fault(rule));
  const size_t events = Events().size();
  EXPECT_EQ(0, worker.UnmountVM()) << "a failed unmount does not change the result";
  EXPECT_EQ(1u, CleanupStrings().size());
  EXPECT_NE(std::string::npos,
            job.Log().find("] with JobManager as the unmount did not clear the cleanup string"));
  // VMware with bWarnSnapshotRemovalFailures (default on): the failure is classified, its event raised.
  EXPECT_NE(std::string::npos, job.Log().find("VM [vm01] snapshot removal failed"));
  EXPECT_EQ(events + 1, Events().size());

  // A committed job keeps it without a word of warning.
  ASSERT_EQ(0, worker.MountVM());
  job.jobMgr.setCommitFlag();
  EXPECT_EQ(0, worker.UnmountVM());
  EXPECT_NE(std::string::npos, job.Log().find("] with JobManager as job is committed"));
  EXPECT_EQ(events + 1, Events().size());
  std::string error;
  ASSERT_TRUE(lab::ClearFaultTable(error));
}

TEST_F(WorkerMountTest, UnmountWithoutMountAndFailbackSnapshotWithoutParentJob) {
  stagetest::StageWorker fresh(&controller, 1);
  EXPECT_EQ(10, fresh.UnmountVM());

  // A failback snapshot backup whose parent job has no VM job is still mounted (and unmounted).
  lab::JobRecord record;
  std::string error;
  ASSERT_TRUE(lab::ReadJobRecord(ctltest::kJobId, record, error));
  record.failback = true;
  ASSERT_TRUE(lab::WriteJobRecord(ctltest::kJobId, record, error));
  job.jobMgr.initBackup();
  job.jobMgr.setSnapBackup(true);
  job.jobMgr.setMediaAgent("ma1");
  job.SetSubclient("indexingV2", "1");
  job.SetSubclient("useCBT", "0");
  TakeArraySnapshot();
  ASSERT_EQ(0, worker.MountVM());
  EXPECT_EQ(1, Ctx().failback);
  EXPECT_NE(0, Ctx().indexArchiveFileId) << "the snapshot job's index archive file";
  EXPECT_NE(std::string::npos, job.Log().find("No VM job of parent job"));
  EXPECT_EQ(0, worker.UnmountVM());
}

}  // namespace
