// The VM map kept in step with the job manager's status records: a fresh job, a restart, the stub
// phase, priorities and the counters.
#include "coordinator/CoordinatorTestSupport.h"

using namespace coordtest;

namespace {

using Info = JobManager::VMUpdateInfo;

// The status a VM's kept record has now.
int64_t StatusOf(int vm) {
  Info record;
  EXPECT_TRUE(vsJobMgr::ReadVMStatus(1001, VMGuid(vm), record));
  return record.getint64(Info::F_vmStatus);
}

}  // namespace

TEST_F(CoordinatorTest, ARestartAdoptsWhatEarlierAttemptsDid) {
  lab::LabPlan plan;
  plan.vms = 9;
  FreshLab(plan);
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  // Earlier attempts left: 0 backed up, 3 with errors, 1 failed, 9 failed with a reason, 10
  // skipped, 2 in progress (on proxyB), 4 and 8 to do, 5 a stop asked for.
  const int statuses[] = {0, 3, 1, 9, 10, 2, 4, 8, 5};
  for (int vm = 1; vm <= 9; ++vm) {
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
    record.setint64(Info::F_vmStatus, statuses[vm - 1]);
    if (statuses[vm - 1] == 9 || statuses[vm - 1] == 10) record.setstring(Info::F_failureText, "earlier reason");
    if (statuses[vm - 1] == 2) record.setstring(Info::F_proxyClientName, "proxyB");
    if (statuses[vm - 1] == 0) record.setint64(Info::F_stubStatus, 5);
    ASSERT_TRUE(job_->setVMStatus(VMGuid(vm), record));
    c.m_vmMap.Find(VMGuid(vm))->vmPhase = PHASE_NOT_STARTED;
  }
  c.m_vmsAlreadyBackedUp = 0;
  c.m_completedWithErrors = false;
  ASSERT_TRUE(c.UpdateJobManagerVMList_Restart());

  const phase expected[] = {PHASE_PREVIOUS_ATTEMPT, PHASE_PREVIOUS_ATTEMPT, PHASE_FAILED,
                            PHASE_FAILED,           PHASE_SKIPPED,          PHASE_NOT_STARTED,
                            PHASE_NOT_STARTED,      PHASE_NOT_STARTED,      PHASE_NOT_STARTED};
  for (int vm = 1; vm <= 9; ++vm) EXPECT_EQ(expected[vm - 1], PhaseOf(vm)) << vm;
  EXPECT_EQ("(Previous Attempt)", c.m_vmMap.Find(VMGuid(3))->failureReason);
  EXPECT_EQ("earlier reason", c.m_vmMap.Find(VMGuid(4))->failureReason);
  EXPECT_EQ("earlier reason", c.m_vmMap.Find(VMGuid(5))->failureReason);
  EXPECT_EQ(2, c.m_vmMap.Find(VMGuid(1))->archivingStatus);
  EXPECT_EQ(5, c.m_vmMap.Find(VMGuid(2))->archivingStatus);
  EXPECT_EQ("proxyB", c.m_vmMap.Find(VMGuid(6))->previousAgent);
  EXPECT_EQ(4, c.m_vmsAlreadyBackedUp);
  EXPECT_TRUE(c.m_completedWithErrors);
  EXPECT_TRUE(Logged("4 of 9 VMs were processed in previous attempts"));
  // The VMs to back up again are made ready with the job manager; the stopped one is left alone.
  EXPECT_EQ(4, StatusOf(6));
  EXPECT_EQ(4, StatusOf(8));
  EXPECT_EQ(5, StatusOf(9));
  EXPECT_EQ(0, StatusOf(1));
  EXPECT_TRUE(c.JobRestarted());
}

// A restarted job in which this attempt backs up every VM left keeps what an earlier attempt did to
// the first: a VM backed up with errors, failed, or failed with a reason leaves the job completed
// with errors; one backed up whole leaves it completed. One case per status, each on its own.
TEST_F(CoordinatorTest, ARestartedJobKeepsTheErrorsOfAnEarlierAttempt) {
  struct Case {
    const char* name;
    int status;  // of vm01 after the earlier attempt
    bool partial;
  };
  const Case cases[] = {
      {"backed up", 0, false},
      {"backed up with errors", 3, true},
      {"failed", 1, true},
      {"failed with a reason", 9, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(1), record));
    record.setint64(Info::F_vmStatus, test.status);
    record.setstring(Info::F_failureText, test.status == 9 ? "earlier reason" : "");
    ASSERT_TRUE(job_->setVMStatus(VMGuid(1), record));
    for (int vm : {2, 3}) SetRecordStatus(vm, 4);
    c.m_vmsAlreadyBackedUp = 0;
    c.m_completedWithErrors = false;
    ASSERT_TRUE(c.UpdateJobManagerVMList_Restart());
    ASSERT_TRUE(c.JobRestarted());
    // This attempt backs up the other two whole.
    for (int vm : {2, 3}) {
      c.m_vmMap.Find(VMGuid(vm))->vmPhase = PHASE_DONE;
      SetRecordStatus(vm, 0);
    }
    EXPECT_TRUE(c.FinishJob());
    bool partial = !test.partial, failJob = true, setupFailed = true, resumeNow = true;
    EXPECT_TRUE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
    EXPECT_EQ(test.partial, partial);
    EXPECT_FALSE(failJob);
  }
}

TEST_F(CoordinatorTest, ARestartWithNothingDoneIsANewJobUnlessAVMHasAChildJob) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  SetRecordStatus(1, 2);
  SetRecordStatus(2, 8);
  c.m_vmsAlreadyBackedUp = 0;
  ASSERT_TRUE(c.UpdateJobManagerVMList_Restart());
  EXPECT_TRUE(Logged("This is a new job"));
  EXPECT_FALSE(c.JobRestarted());
  for (int vm = 1; vm <= 3; ++vm) EXPECT_EQ(PHASE_NOT_STARTED, PhaseOf(vm));

  // Under indexing version 2 a VM with a child job of its own makes the job a restart.
  Info record;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(3), record));
  record.setint64(Info::F_childJobId, 4711);
  ASSERT_TRUE(job_->setVMStatus(VMGuid(3), record));
  ASSERT_TRUE(c.UpdateJobManagerVMList_Restart());
  EXPECT_TRUE(Logged("0 of 3 VMs were processed in previous attempts"));
  EXPECT_TRUE(c.JobRestarted());

  // A status list the job manager cannot give fails the step.
  ASSERT_TRUE(lab_->Fault("jobmgr.getVMBkpJobStatus", 5));
  EXPECT_FALSE(c.UpdateJobManagerVMList_Restart());
  EXPECT_TRUE(Logged("Failed to get VM status from Job Manager."));
}

// A job that goes pending leaves its unfinished VMs to the next attempt, and each says why with the
// job manager: a reason of its own (its agent's) is kept, the coordinator's for the VM comes next, the
// job's last. A VM backed up keeps its record, and a job that completes writes no reason at all.
TEST_F(CoordinatorTest, AJobThatGoesPendingSaysWhyForEachVMItLeaves) {
  struct Case {
    const char* name;
    int streamErrors;
    bool fatal;
    const char* why;  // the job's reason; null: the job completes
  };
  const Case cases[] = {
      {"stream errors", 2, false, "2 stream errors were detected, job will go to pending."},
      {"a fatal VM error", 0, true, "Fatal VM error detected, job will go to pending."},
      {"nothing wrong", 0, false, nullptr},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    ASSERT_TRUE(c.UpdateJobManagerVMList_Initial());
    // vm01 backed up; vm02 never started; vm03 pending with its agent's reason, or, when the job
    // completes, backed up too.
    c.m_vmMap.Find(VMGuid(1))->vmPhase = PHASE_DONE;
    SetRecordStatus(1, 0);
    if (test.why != nullptr) {
      c.m_vmMap.Find(VMGuid(2))->failureReason = test.fatal ? "agent [proxyB] stopped with the VM" : "";
      c.m_vmMap.Find(VMGuid(3))->vmPhase = PHASE_PENDING;
      Info own;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(3), own));
      own.setint64(Info::F_vmStatus, 4);
      own.setstring(Info::F_failureText, "the agent's own reason");
      ASSERT_TRUE(job_->setVMStatus(VMGuid(3), own));
    } else {
      for (int vm : {2, 3}) {
        c.m_vmMap.Find(VMGuid(vm))->vmPhase = PHASE_DONE;
        SetRecordStatus(vm, 0);
      }
    }
    c.m_streamErrors = test.streamErrors;
    c.m_fatalVMError = test.fatal;
    EXPECT_EQ(test.why == nullptr, c.FinishJob());
    Info records[4];
    for (int vm = 1; vm <= 3; ++vm) ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), records[vm]));
    EXPECT_EQ(0, records[1].getint64(Info::F_vmStatus));
    EXPECT_EQ("", records[1].getstring(Info::F_failureText));
    if (test.why == nullptr) {
      EXPECT_EQ("", records[2].getstring(Info::F_failureText));
      EXPECT_EQ("", records[3].getstring(Info::F_failureText));
      continue;
    }
    EXPECT_TRUE(Logged(test.why));
    EXPECT_EQ(4, records[2].getint64(Info::F_vmStatus));
    EXPECT_EQ(test.fatal ? std::string("agent [proxyB] stopped with the VM")
                         : std::string("Not backed up by this attempt of the job: ") + test.why,
              records[2].getstring(Info::F_failureText));
    EXPECT_EQ(4, records[3].getint64(Info::F_vmStatus));
    EXPECT_EQ("the agent's own reason", records[3].getstring(Info::F_failureText));
  }
}

TEST_F(CoordinatorTest, AFreshJobRecordsEveryVMToDoAndFailsOnlyWhatItMust) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_vmMap.Find(VMGuid(1))->collect.setint64(VirtualServer::VMCollect::F_vmClientId, 0);
  c.m_vmMap.Find(VMGuid(2))->collect.setint64(VirtualServer::VMCollect::F_subclientId, 0);
  c.m_vmMap.Find(VMGuid(3))->vmPhase = PHASE_SKIPPED;
  for (int vm = 1; vm <= 3; ++vm) SetRecordStatus(vm, 7);
  ASSERT_TRUE(lab_->Fault("jobmgr.updateVMBkpJobStatus", 6));
  EXPECT_TRUE(c.UpdateJobManagerVMList_Initial()) << "a failed send is soft";
  EXPECT_TRUE(Logged("WARNING: Failed to update VM status with Job Manager. Treating as soft failure."));
  EXPECT_TRUE(Logged("VM[vm01] Guid[" + VMGuid(1) + "] found with vmClientId set to 0"));
  EXPECT_EQ(PHASE_FAILED, PhaseOf(2));
  ASSERT_TRUE(c.UpdateJobManagerVMList_Initial());
  EXPECT_EQ(7, StatusOf(1)) << "no record is made for a VM without a client id";
  EXPECT_EQ(1, StatusOf(2));
  Info record;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(2), record));
  EXPECT_EQ("Failed to create default subclient for VM", record.getstring(Info::F_failureText));
  EXPECT_EQ(10, StatusOf(3));
}

TEST_F(CoordinatorTest, TheStubPhaseKeepsOnlyTheVMsToStub) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  Info record;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(1), record));
  record.setint64(Info::F_vmStatus, 0);
  record.setint64(Info::F_stubStatus, 6);
  ASSERT_TRUE(job_->setVMStatus(VMGuid(1), record));
  SetRecordStatus(2, 0);  // backed up, but not to be stubbed
  Info stray;
  stray.setstring(Info::F_recordGuid, "not-in-the-collect-file");
  stray.setstring(Info::F_vmName, "stray");
  stray.setint64(Info::F_vmStatus, 0);
  stray.setint64(Info::F_stubStatus, 1);
  ASSERT_TRUE(job_->setVMStatus("not-in-the-collect-file", stray));
  ASSERT_TRUE(c.UpdateJobManagerVMList_StubPhase());
  ASSERT_EQ(1u, c.m_vmMap.size());
  EXPECT_EQ(1, c.m_vmMap.Find(VMGuid(1))->collect.getint64(VirtualServer::VMCollect::F_archivingStatus));
  EXPECT_EQ(4, StatusOf(1));
  EXPECT_TRUE(Logged("[VMArchiving] VM [vm01] is eligible for stubbing"));
  EXPECT_TRUE(Logged("[VMArchiving] ERROR: VM [stray][not-in-the-collect-file] is in to be stub state but not found in "
                     "Collect file"));

  SetRecordStatus(1, 1);
  EXPECT_TRUE(c.UpdateJobManagerVMList_StubPhase());
  EXPECT_TRUE(c.m_vmMap.empty());
  EXPECT_TRUE(Logged("[VMArchiving] There are no VMs to stub in this Job"));
}

// A stub phase cut off is resumed by its next attempt: a VM an attempt took (to be backed up with no
// reason, still to be stubbed or its stub failed) is taken again; a VM whose backup did not end well
// (to be backed up with its reason) never is, nor one stubbed or never to be stubbed.
TEST_F(CoordinatorTest, TheStubPhaseTakesAgainTheVMsAnEarlierAttemptOfItLeftUnfinished) {
  lab::LabPlan plan;
  plan.vms = 5;
  FreshLab(plan);
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  const struct {
    int stub;
    const char* reason;
    bool taken;
  } rows[] = {{1, "", true}, {6, "", true}, {1, "Failed to read a virtual disk of the VM", false}, {0, "", false},
              {5, "", false}};
  for (int vm = 1; vm <= 5; ++vm) {
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
    record.setint64(Info::F_vmStatus, 4);
    record.setint64(Info::F_stubStatus, rows[vm - 1].stub);
    record.setstring(Info::F_failureText, rows[vm - 1].reason);
    ASSERT_TRUE(job_->setVMStatus(VMGuid(vm), record));
  }
  ASSERT_TRUE(c.UpdateJobManagerVMList_StubPhase());
  for (int vm = 1; vm <= 5; ++vm) EXPECT_EQ(rows[vm - 1].taken, c.m_vmMap.Find(VMGuid(vm)) != nullptr) << vm;
}

TEST_F(CoordinatorTest, DifferentPrioritiesTurnStaticAssignmentOffOnlyWithDynamicAssignment) {
  struct Row {
    const char* job;       // per-VM priorities with the job manager
    const char* settings;  // section VirtualServer
    bool staticAfter;
    const char* line;
  };
  const Row rows[] = {
      {"vm.101.priority=2\nvm.102.priority=2\nvm.103.priority=2", "", true, ""},
      {"vm.101.priority=2\nvm.102.priority=4294967295", "", false,
       "Disabling static dispatching because VM priorities are defined"},
      {"vm.101.priority=2", "bDynamicVMAssignmentAllowed=0", true,
       "Not disabling static dispatching because dynamic dispatching is not enabled, VM priorities will not be honored"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.job);
    FreshLab();
    JobConf(row.job);
    Settings(row.settings);
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    EXPECT_EQ(row.staticAfter, c.m_staticVMAssignment);
    if (*row.line != '\0') {
      EXPECT_TRUE(Logged(row.line));
    }
    EXPECT_EQ(2, c.m_vmMap.Find(VMGuid(1))->priority);
  }
  EXPECT_EQ(6, coordinator_->m_vmMap.Find(VMGuid(2))->priority) << "no priority reads as 6";

  // Counters of nothing change nothing and tell the job manager nothing.
  const size_t counters = vsJobMgr::ReadCounterLines(kJobId).size();
  coordinator_->AddVMFailures(0);
  coordinator_->AddVMFailures(-1);
  EXPECT_EQ(counters, vsJobMgr::ReadCounterLines(kJobId).size());
  coordinator_->AddVMFailures(2);
  EXPECT_EQ("folderFailures 2", vsJobMgr::ReadCounterLines(kJobId).back());
}
