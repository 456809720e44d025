// A VM's completion: result codes to phases, statuses and job-manager records; clean-up strings and
// datastores.
#include <gtest/gtest.h>

#include "platform/cleanup/VSCleanupClient.h"
#include "support/ControllerTestSupport.h"

namespace {

using ctltest::Collect;
using ctltest::CollectList;
using ctltest::LabJob;
using ctltest::TestController;
using U = JobManager::VMUpdateInfo;

class WorkerCompletionTest : public ::testing::Test {
 protected:
  WorkerCompletionTest() {
    vm.vmName = "vm1";
    vm.vmGuid = "G1";
    vm.host = "esx1";
    vm.collect = Collect("vm1", "G1", 501);
    worker.Initialize(&job.jobMgr, &job.appMgr);
    worker.TEST_SetCurrentVM(&vm);
  }
  ~WorkerCompletionTest() override {
    worker.TEST_SetCurrentVM(nullptr);
    worker.TEST_SetMountCtx(nullptr);  // the test's own
  }

  JobManager::VMUpdateInfo KeptStatus() {
    JobManager::VMUpdateInfo info;
    vsJobMgr::ReadVMStatus(ctltest::kJobId, "G1", info);
    return info;
  }

  LabJob job;
  TestController controller{&job};
  QuarnWorker worker{&controller, 0};
  vm_params vm;
};

TEST_F(WorkerCompletionTest, ResultCodesGiveThePhaseStubStateAndStatus) {
  struct Case {
    int result;
    phase expected;
    int32_t stub;
    int status;
    const char* line;
  } cases[] = {
      {0, PHASE_DONE, 5, 1, "Successfully backed up VM [vm1]   [0] Bytes @"},
      {54, PHASE_PENDING, 5, 0, "Error while backing up VM [vm1], backup will be retried on the next attempt"},
      {123, PHASE_PENDING, 5, 0, "Error while backing up VM [vm1], backup will be retried on the next attempt"},
      {95, PHASE_FAILED, 5, 2, "Error backing up VM [vm1], failing the VM for this job"},
      {146, PHASE_FAILED, 5, 2, "Error backing up VM [vm1], failing the VM for this job"},
      {100, PHASE_FAILED, 2, 2, "This VM is already archived in another subclient."},
      {101, PHASE_DONE, 2, 1, "Successfully backed up VM [vm1]. Already stubbed."},
      {102, PHASE_DONE, 4, 1, "Successfully stubbed VM [vm1]=[G1]"},
      {103, PHASE_DONE, 1, 1, "Successfully backed up VM [vm1]. To be stubbed."},
      {113, PHASE_FAILED, 5, 2, "Skipped stubbing of VM [vm1]"},
      {115, PHASE_FAILED, 5, 2, "Job last attempt for VM[vm1]"},
      {118, PHASE_DONE, 3, 1, "Successfully backed up VM [vm1]. Retry stubbing."},
      {119, PHASE_DONE, 10, 1, "VM [vm1]=[G1] is already relocated."},
      {120, PHASE_DONE, 11, 1, "Successfully relocated VM [vm1]=[G1]"},
      {137, PHASE_PENDING, 5, 0, "Invalid extent size value detected for at least one of the disks in VM [vm1]"},
      {138, PHASE_PENDING, 5, 0, "Backup will be retried for VM: [vm1]"},
      {148, PHASE_SKIPPED, 5, 4, "Skipping VM [vm1], backup is not supported"},
      {16, PHASE_PENDING, 5, 0, "Unknown Error (16) backing up VM [vm1], backup will be retired on the next attempt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    vm.fatalError = false;
    worker.HandleVMComplete(c.result);
    EXPECT_EQ(c.expected, vm.vmPhase);
    EXPECT_EQ(c.stub, vm.archivingStatus);
    EXPECT_EQ(c.status, vm.statusCode);
    EXPECT_FALSE(vm.fatalError);
    EXPECT_NE(std::string::npos, job.Log().find(c.line));
  }
  worker.HandleVMComplete(96);
  EXPECT_EQ(PHASE_PENDING, vm.vmPhase);
  EXPECT_TRUE(vm.fatalError);
}

TEST_F(WorkerCompletionTest, JobManagerRecordFollowsThePhase) {
  worker.HandleVMComplete(0);
  EXPECT_EQ(100, KeptStatus().getint64(U::F_progressPercent));

  vm.failureReason = "the disk cannot be read";
  worker.HandleVMComplete(132);
  JobManager::VMUpdateInfo pending = KeptStatus();
  EXPECT_EQ(7, pending.getint64(U::F_vmStatus)) << "pending after a failed archive index";
  EXPECT_EQ("the disk cannot be read", pending.getstring(U::F_failureText));

  const time_t before = ZtClock::NowSeconds();
  vm.failureEvent.SetMessageID(0x5B000071, true);
  vm.failureEvent << "vm1";
  worker.HandleVMComplete(95);
  JobManager::VMUpdateInfo failed = KeptStatus();
  EXPECT_EQ(1, failed.getint64(U::F_vmStatus));
  EXPECT_GE(failed.getint64(U::F_endTime), before);
  auto* event = failed.getObject<Common::EventMessage>(U::F_statusEvent, false);
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(0x5B000071, event->getint64(Common::EventMessage::F_messageId));
}

TEST_F(WorkerCompletionTest, PendingVMFailsOnTheLastAttemptAndAFailureInTheStubPhaseIsNotSent) {
  job.jobMgr.setVMStubPhase(true);
  worker.HandleVMComplete(95);
  EXPECT_EQ(PHASE_FAILED, vm.vmPhase);
  EXPECT_TRUE(vsJobMgr::ReadVMStatusGuids(ctltest::kJobId).empty());

  job.jobMgr.setVMStubPhase(false);
  job.jobMgr.setLastAttempt(true);
  worker.HandleVMComplete(123);
  EXPECT_EQ(PHASE_FAILED, vm.vmPhase);
  EXPECT_EQ(2, vm.statusCode);
  EXPECT_EQ(1, KeptStatus().getint64(U::F_vmStatus));
  EXPECT_GT(KeptStatus().getint64(U::F_endTime), 0);
}

TEST_F(WorkerCompletionTest, InterruptedVMDependsOnWhoStoppedIt) {
  // The whole job stopped: the VM goes back to the start, with no pending cause.
  worker.HandleVMComplete(11);
  EXPECT_EQ(PHASE_NOT_STARTED, vm.vmPhase);
  EXPECT_EQ(1u, job.LogCount("Master Job Interruption Flag for VM [vm1]"));
  EXPECT_TRUE(vsJobMgr::ReadPendingCauses(ctltest::kJobId).empty());

  // Stopped by the coordinator without a reason: stopped, job-manager status 6.
  controller.Deliver(CollectList({Collect("vm1", "G1", 501)}));
  controller.SetPhase("G1", PHASE_STARTED);
  VirtualServer::VMBackupStopVM stop;
  stop.setstring(VirtualServer::VMBackupStopVM::F_vmGuid, "G1");
  stop.setint64(VirtualServer::VMBackupStopVM::F_vmJobId, 501);
  controller.Deliver(stop);
  worker.HandleVMComplete(11);
  EXPECT_EQ(PHASE_STOPPED, vm.vmPhase);
  EXPECT_EQ(3, vm.statusCode);
  EXPECT_EQ(6, KeptStatus().getint64(U::F_vmStatus));

  // Stopped with a reason: pending, with the reason as pending cause and event.
  controller.SetQuitFlagForVM("G1", "datastore ds1 is full");
  worker.HandleVMComplete(11);
  EXPECT_EQ(PHASE_PENDING, vm.vmPhase);
  EXPECT_EQ("datastore ds1 is full", vm.failureReason);
  EXPECT_EQ((std::vector<std::string>{"0x5B0001DB vm1|datastore ds1 is full"}),
            vsJobMgr::ReadPendingCauses(ctltest::kJobId));
  EXPECT_EQ(1u, job.LogCount("VM Job [501] Interruption Flag for VM [vm1] - [datastore ds1 is full]"));
}

TEST_F(WorkerCompletionTest, CleanupStringIsRegisteredOnceAndReplacedCleanly) {
  MountCtx ctx;
  worker.TEST_SetMountCtx(&ctx);
  worker.SaveCleanupString("snap-1");
  worker.SaveCleanupString("snap-1");
  EXPECT_EQ(1u, vsJobMgr::ReadCleanupStrings(ctltest::kJobId).size());
  EXPECT_EQ((std::vector<std::string>{"vm esx1|vm1|G1|snap-1"}), VSCleanupClient::ReadRegistrations("coordinator"));

  worker.SaveCleanupString("snap-2");
  auto strings = vsJobMgr::ReadCleanupStrings(ctltest::kJobId);
  ASSERT_EQ(1u, strings.size());
  EXPECT_NE(std::string::npos, strings[0].find("snap-2"));
  EXPECT_EQ((std::vector<std::string>{"vm esx1|vm1|G1|snap-2"}), VSCleanupClient::ReadRegistrations("coordinator"));
  EXPECT_EQ(1u, job.LogCount("Cleanup string changed from ["));

  // A failback VM is not registered with the cleanup service; a backup copy has nothing to clean.
  worker.RemoveCleanupString();
  ctx.failback = 1;
  worker.SaveCleanupString("snap-3");
  EXPECT_TRUE(VSCleanupClient::ReadRegistrations("coordinator").empty());
  ctx.isSnapToTape = true;
  worker.SaveCleanupString("snap-4");
  EXPECT_EQ(1u, vsJobMgr::ReadCleanupStrings(ctltest::kJobId).size());
}

TEST_F(WorkerCompletionTest, EachDatastoreOfTheVMIsRegisteredOnce) {
  MountCtx ctx;
  ctx.vmInfo.host = "esx2";
  ctx.vmInfo.datastore = "ds1";
  ctx.vmInfo.disks.resize(3);
  ctx.vmInfo.disks[0].datastore = "ds1";
  ctx.vmInfo.disks[1].datastore = "ds2";
  worker.TEST_SetMountCtx(&ctx);
  worker.RegisterDatastores();
  EXPECT_EQ((std::vector<std::string>{"vm1|esx2|ds1", "vm1|esx2|ds2"}), controller.datastores);
}

}  // namespace
