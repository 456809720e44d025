// A failback's incremental reads each disk from the tracking id its replication recorded, not from
// the change id of the replica's last backup: which tracking records count, and when none does.
#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "platform/lab/LabJob.h"
#include "support/ControllerTestSupport.h"

namespace {

using Tracking = App::VSAReplicationTrakingIdInfo;

const std::string kCopy0 = "/mnt/quarn/vm01/datastores/ds1/vm01_0.img";  // the disk as mounted
const std::string kSource0 = "datastores/ds1/vm01_0.img";                 // its key in the inventory
const std::string kSource1 = "datastores/ds1/vm01_1.img";
const std::string kReplica0 = "replica of " + kCopy0 + " on site B";
const std::string kIndexName = "scsi0-0-vm01_0.img";
const std::string kDisplayName = "vm01_0.img";

class FailbackWorker : public QuarnWorker {
 public:
  using QuarnWorker::QuarnWorker;
  using QuarnWorker::m_replicationInfo;
};

class FailbackChangeIdTest : public ::testing::Test {
 protected:
  FailbackChangeIdTest() {
    SetFailback(true);
    EXPECT_TRUE(worker.Initialize(&job.jobMgr, &job.appMgr));
    EXPECT_NE(nullptr, worker.m_replicationInfo);
    worker.TEST_SetMountCtx(&ctx);
    args.mDiskPath = kCopy0;
    args.mBackupPath = kIndexName;
    args.mDisplayName = kDisplayName;
  }
  ~FailbackChangeIdTest() override { worker.TEST_SetMountCtx(nullptr); }

  void SetFailback(bool on) {
    lab::JobRecord record;
    std::string error;
    ASSERT_TRUE(lab::ReadJobRecord(ctltest::kJobId, record, error)) << error;
    record.failback = on;
    ASSERT_TRUE(job.Lab().AddJob(ctltest::kJobId, record));
    ASSERT_EQ(0, job.jobMgr.initBackup());
  }

  ctltest::LabJob job;
  ctltest::TestController controller{&job};
  FailbackWorker worker{&controller, 0};
  MountCtx ctx;
  quarnBackupArgs args;
};

TEST_F(FailbackChangeIdTest, TrackingIdsReplaceThePreviousChangeIdOnlyWhenTheyMatchTheDisk) {
  struct Record {
    std::string text1, text9, text13;
    int64_t valid;
    std::string id;
  };
  struct Case {
    const char* name;
    bool failback, full, azure;
    std::vector<std::string> inventory;
    std::vector<Record> records;
    std::string expected;
    std::vector<std::pair<std::string, std::string>> logged;  // id and disk name, in order
    std::string diskPath = kCopy0;
  };
  const Case cases[] = {
      {"a match", true, false, false, {kSource0}, {{kReplica0, kSource0, "", 1, "T1"}}, "T1", {{"T1", kCopy0}}},
      {"field 1 without the disk's path", true, false, false, {kSource0},
       {{"replica of /mnt/quarn/vm01/other.img", kSource0, "", 1, "T1"}}, "prev", {}},
      {"field 9 naming another disk", true, false, false, {kSource0}, {{kReplica0, kSource1, "", 1, "T1"}}, "prev", {}},
      {"tracking ids marked invalid", true, false, false, {kSource0}, {{kReplica0, kSource0, "", 0, "T1"}}, "prev", {}},
      {"no tracking id", true, false, false, {kSource0}, {{kReplica0, kSource0, "", 1, ""}}, "prev", {}},
      {"an inventory disk without a path", true, false, false, {""}, {{kReplica0, "", "", 1, "T1"}}, "prev", {}},
      {"an empty disk path", true, false, false, {kSource0}, {{kReplica0, kSource0, "", 1, "T1"}}, "prev", {}, ""},
      {"Azure: the index name in another case", true, false, true, {kSource0},
       {{"", "", "SCSI0-0-VM01_0.IMG", 1, "T2"}}, "T2", {{"T2", kDisplayName}}},
      {"Azure: the index name with invalid ids", true, false, true, {kSource0}, {{"", "", kIndexName, 0, "T2"}}, "prev", {}},
      {"Azure: the index name without an id", true, false, true, {kSource0}, {{"", "", kIndexName, 1, ""}}, "prev", {}},
      {"the index name off Azure", true, false, false, {kSource0}, {{"", "", kIndexName, 1, "T2"}}, "prev", {}},
      {"a later inventory disk replaces it again", true, false, false, {kSource0, kSource1},
       {{kReplica0, kSource0, "", 1, "T1"}, {kReplica0, kSource1, "", 1, "T3"}}, "T3", {{"T1", kCopy0}, {"T3", kCopy0}}},
      {"the first match of a disk", true, false, false, {kSource0},
       {{kReplica0, kSource0, "", 1, "T1"}, {kReplica0, kSource0, "", 1, "T3"}}, "T1", {{"T1", kCopy0}}},
      {"a full read", true, true, false, {kSource0}, {{kReplica0, kSource0, "", 1, "T1"}}, "prev", {}},
      {"a job that is no failback", false, false, false, {kSource0}, {{kReplica0, kSource0, "", 1, "T1"}}, "prev", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetFailback(c.failback);
    job.SetSubclient("instanceType", std::to_string(c.azure ? kInstanceTypeAzure : kInstanceTypeVMware));
    ctx.vmInfo.disks.clear();
    for (const std::string& key : c.inventory) {
      VMInfoStructs::SDisk disk;
      disk.path = key;
      ctx.vmInfo.disks.push_back(disk);
    }
    *worker.m_replicationInfo = App::VSAReplicationInfo();
    CNMessageList& list = worker.m_replicationInfo->getlistobject(App::VSAReplicationInfo::F_trackingIds, true);
    for (const Record& r : c.records) {
      Tracking record;
      record.setstring(Tracking::F_text1, r.text1);
      record.setstring(Tracking::F_text9, r.text9);
      record.setstring(Tracking::F_text13, r.text13);
      record.setint64(Tracking::F_trackingIdValid, r.valid);
      record.setstring(Tracking::F_trackingId, r.id);
      list.emplace_back(record);
    }
    args.mDiskPath = c.diskPath;
    const size_t logged = job.Log().size();

    std::string changeId = "prev";
    worker.OverwriteChangeIdForFailback(&args, c.full, changeId);

    EXPECT_EQ(c.expected, changeId);
    const std::string log = job.Log().substr(logged);
    size_t at = 0;
    for (const auto& line : c.logged) {
      const std::string text = "Failback : OverWrite tracking Id [" + line.first + "] for disk [" + line.second + "]";
      at = log.find(text, at);
      ASSERT_NE(std::string::npos, at) << text;
      ++at;
    }
    EXPECT_EQ(c.logged.size(), testsupport::CountOf(log, "Failback : OverWrite"));
  }
}

// The VM's disk threads read the replication information at once; one whose list was never set
// must not be written to by reading it.
TEST_F(FailbackChangeIdTest, DiskThreadsReadTheReplicationInformationAtOnce) {
  ctx.vmInfo.disks.resize(1);
  ctx.vmInfo.disks[0].path = kSource0;
  *worker.m_replicationInfo = App::VSAReplicationInfo();
  std::vector<std::string> ids(6, "prev");
  std::vector<std::thread> threads;
  for (std::string& id : ids) threads.emplace_back([&] { worker.OverwriteChangeIdForFailback(&args, false, id); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& id : ids) EXPECT_EQ("prev", id);
}

}  // namespace
