// The job's outcome: the summary after the loop, the outcome decision with its pending causes, and
// the verdict the application turns into the job phase's result.
#include <unistd.h>

#include <algorithm>

#include "coordinator/CoordinatorTestSupport.h"

namespace coordtest {
namespace {

struct OutcomeCase {
  const char* name;
  std::vector<phase> phases;  // vm01..vm03; empty: the job has no VM
  std::vector<std::string> options;
  std::string setup;           // "quit", "shutdown", "streamError", "fatal", "pendingOnAll", "records"
  bool runResult;
  std::string logLine;         // logged by the decision (empty: none expected)
  std::string pendingCause;    // the last pending cause line (empty: none)
  // CheckJobPhaseSuccess: result, partial, failJob, setupFailed.
  bool verdict, partial, failJob;
  std::string backupOut = std::string();  // the last line of the result file (empty: not checked)
};

const phase D = PHASE_DONE, F = PHASE_FAILED, P = PHASE_PENDING, N = PHASE_NOT_STARTED, S = PHASE_STOPPED,
            PA = PHASE_PREVIOUS_ATTEMPT, ST = PHASE_STOPPING;
const std::string kTerminology = std::to_string(0x5B0001D8u);
const std::string kNoRecord = "vm02|The job manager holds no record of the VM in this job: its status [";
const std::string kStaleRecord = "vm02|The job manager's record of the VM says [To be backed up]: its status [";
const std::string kAgain =
    "] could not be recorded; a later attempt of the job, run before the subclient's next job starts, backs the VM up "
    "again";

TEST_F(CoordinatorTest, OutcomeTable) {
  const OutcomeCase cases[] = {
      {"all done", {D, D, D}, {}, "", true, "", "", true, false, false},
      {"one stopped", {D, D, S}, {}, "", true, "", "0x5B000142 1", true, true, false},
      {"stopping counts nowhere", {D, ST, D}, {}, "", true, "", "", true, false, false},
      {"pending after a success", {D, F, P}, {}, "", false, "1 VMs are pending, job will go to pending.", "", false,
       false, false},
      {"not processed", {D, N, D}, {}, "", false, "1 VMs were not processed, job will go to pending.", "", false,
       false, false},
      {"all failed", {F, F, F}, {}, "", false, "all VMs reported an error, failing the job.",
       "0x5B0001D9 " + kTerminology, false, false, true},
      {"all failed, pending on all failures", {F, F, F}, {}, "pendingOnAll", false,
       "all VMs reported an error, failing the job.", "0x5B0001D9 " + kTerminology, false, false, false},
      {"failed with a previous success", {F, PA, F}, {}, "", true, "", "", true, false, false},
      {"no success, some not done", {F, P, N}, {}, "", false,
       "no VMs were processed successfully, job will go to pending.", "", false, false, false},
      {"suspended", {D, D, D}, {}, "quit", false, "Job is suspended or killed", "", false, false, false},
      {"service shutdown", {D, D, D}, {}, "shutdown", false, "Service shutdown detected", "", false, false, false},
      {"stream error", {D, D, D}, {}, "streamError", false, "1 stream errors were detected, job will go to pending.",
       "", false, false, false},
      {"fatal VM error", {D, P, D}, {}, "fatal", false, "Fatal VM error detected, job will go to pending.", "", false,
       false, false},
      {"no VM", {}, {}, "", true, "", "", true, false, false},
      {"no VM, last attempt", {}, {"-lastAttempt"}, "", false, "all VMs reported an error, failing the job.",
       "0x5B000081", false, false, true},
      {"last attempt fails what is left", {N, N, N}, {"-lastAttempt"}, "", false,
       "all VMs reported an error, failing the job.", "0x5B000081", false, false, true},
      {"last attempt with a success", {D, N, D}, {"-lastAttempt"}, "records", true, "", "0x5B00008C 1", true, true,
       false},
      {"content index, all failed", {F, F, F}, {"-ci"}, "", false, "all VMs reported an error, failing the job.",
       "0x5B000160", false, false, true},
      {"no success and the stream limit reached", {F, P, N}, {}, "streamLimit", false,
       "The stream limit was reached, job will go to pending.", "", false, false, false},
      {"content index, no success, an agent dropped", {F, F, F}, {"-ci"}, "dropped", false,
       "1 agents dropped, job will go to pending.", "", false, false, false},
      // A VM whose status the job manager could not record: the job does not read as completed without
      // it, and says which and why.
      {"a VM backed up without a record", {D, D, D}, {}, "unrecorded", true,
       "Failed to update VM status with Job Manager. VM [vm02]", "0x5B0001DB " + kNoRecord + "Backed up" + kAgain,
       true, true, false, "vm02 Warning " + kNoRecord.substr(5) + "Backed up" + kAgain},
      {"a VM backed up whose record says it is still to do", {D, D, D}, {}, "stale", true, "",
       "0x5B0001DB " + kStaleRecord + "Backed up" + kAgain, true, true, false},
      {"a VM failed without a record", {D, F, D}, {}, "unrecorded", true, "",
       "0x5B0001DB " + kNoRecord + "Failed] could not be recorded", true, true, false},
      {"a VM failed whose record says it is still to do", {D, F, D}, {}, "stale", true, "", "", true, false, false},
  };
  for (const OutcomeCase& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    if (test.setup == "pendingOnAll") Settings("bPendingOnAllFailures=1");
    ASSERT_TRUE(Initialize(test.options));
    TestCoordinator& c = *coordinator_;
    if (test.phases.empty()) c.m_vmMap = SVMParamsMap();
    for (size_t i = 0; i < test.phases.size(); ++i) c.m_vmMap.Find(VMGuid(static_cast<int>(i) + 1))->vmPhase = test.phases[i];
    if (test.setup == "quit") lab::RequestJobQuit(kJobId);
    if (test.setup == "shutdown") c.OnServiceShutdown();
    if (test.setup == "streamError") c.m_streamErrors = 1;
    if (test.setup == "fatal") c.m_fatalVMError = true;
    if (test.setup == "streamLimit") c.m_streamLimitReached = true;
    if (test.setup == "dropped") c.m_agents["proxyA"].dropped = true;
    if (test.setup == "records") {
      // The agents reported vm01 and vm03 backed up; vm02's record holds no work left to do.
      for (int vm : {1, 2, 3}) SetRecordStatus(vm, vm == 2 ? 3 : 0);
    } else {
      // An agent records the VM it backed up before it reports it.
      for (size_t i = 0; i < test.phases.size(); ++i)
        if (test.phases[i] == D) SetRecordStatus(static_cast<int>(i) + 1, 0);
    }
    if (test.setup == "stale") SetRecordStatus(2, 4);
    if (test.setup == "unrecorded") {
      ASSERT_EQ(0, unlink(lab::VMStatusPath(kJobId, VMGuid(2)).c_str()));
    }

    EXPECT_EQ(test.runResult, c.FinishJob());
    if (!test.logLine.empty()) {
      EXPECT_TRUE(Logged(test.logLine)) << test.logLine;
    }
    const std::vector<std::string> pending = Pending();
    if (test.pendingCause.empty()) {
      EXPECT_TRUE(pending.empty()) << pending.front();
    } else {
      EXPECT_EQ(test.pendingCause, pending.empty() ? "" : pending.back());
    }

    const std::vector<std::string> results = BackupOut();
    if (!test.backupOut.empty()) {
      EXPECT_EQ(test.backupOut, results.empty() ? "" : results.back());
    }

    bool partial = true, failJob = true, setupFailed = true, resumeNow = true;
    EXPECT_EQ(test.verdict, c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
    EXPECT_EQ(test.partial, partial);
    EXPECT_EQ(test.failJob, failJob);
    EXPECT_FALSE(setupFailed);
    EXPECT_FALSE(resumeNow);
    // The collect file goes once the outcome is settled as a success or a failure without resume.
    EXPECT_EQ(test.verdict || test.failJob, !CPxFile::Exists(CollectPath()));
  }
}

// A backup copy of a snapshot whose VMs all failed with the event that asks for another mount method
// resumes at once instead of failing; any other event fails the job.
TEST_F(CoordinatorTest, ABackupCopyWhoseMountsAllAskForAnotherMethodResumesAtOnce) {
  struct Case {
    uint32_t event;
    bool resume;
  } cases[] = {{0x5B00016A, true}, {0x5B000009, false}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.event);
    FreshLab();
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    job_->setSnapToTape(true);
    for (int vm : {1, 2, 3}) {
      c.m_vmMap.Find(VMGuid(vm))->vmPhase = PHASE_FAILED;
      JobManager::VMUpdateInfo record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
      record.setint64(JobManager::VMUpdateInfo::F_vmStatus, 1);
      record.getObject<Common::EventMessage>(JobManager::VMUpdateInfo::F_statusEvent, true)
          ->setint64(Common::EventMessage::F_messageId, vm == 2 ? test.event : 0x5B000009);
      ASSERT_TRUE(job_->setVMStatus(VMGuid(vm), record));
    }
    EXPECT_FALSE(c.FinishJob());
    EXPECT_EQ(test.resume,
              Logged("No VMs were processed successfully , job will go to pending and resume immediately."));
    EXPECT_EQ(!test.resume, Logged("all VMs reported an error, failing the job."));
    bool partial = false, failJob = false, setupFailed = false, resumeNow = false;
    EXPECT_FALSE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
    EXPECT_EQ(test.resume, resumeNow);
    EXPECT_EQ(!test.resume, failJob);
    coordinator_.reset();
  }
}

TEST_F(CoordinatorTest, SummaryNamesEachVMAndCountsOnlyWhatIsThere) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_vmMap.Find(VMGuid(1))->vmPhase = PHASE_DONE;
  c.m_vmMap.Find(VMGuid(2))->vmPhase = PHASE_SKIPPED;
  c.m_vmMap.Find(VMGuid(2))->failureReason = "Not supported";
  c.m_vmMap.Find(VMGuid(3))->vmPhase = PHASE_STOPPED;
  c.m_vmMap.Find(VMGuid(3))->archivingStatus = 4;
  EXPECT_TRUE(c.FinishJob());
  const std::string log = Log();
  for (const char* line : {"VM vm01                      --> DONE                        ",
                           "VM vm02                      --> SKIPPED                     Not supported",
                           "VM vm03                      --> STOPPED                     Archived",
                           "===== JOB SUMMARY REPORT BACKUP PHASE =====", "Total VMs to backup           [3]",
                           "      VMs succeeded           [1]", "      VMs stopped             [1]",
                           "      VMs skipped             [1]", "==========================================="})
    EXPECT_NE(std::string::npos, log.find(line)) << line;
  for (const char* absent : {"VMs failed", "VMs pending", "VMs not processed", "VMs succeeded previous"})
    EXPECT_EQ(std::string::npos, log.find(absent)) << absent;
  EXPECT_TRUE(c.m_completedWithErrors);
  EXPECT_EQ("SEVERITY9 0x5B000142 1", Events().back());
}

// A job whose VMs all failed fails; the VM left pending is failed with the job manager and its record
// keeps its client id and says why: its own reason, or that the job ended before it was backed up.
TEST_F(CoordinatorTest, AVMFailedAtTheJobsEndKeepsItsClientIdAndSaysWhy) {
  struct Case {
    const char* reason;    // the VM's own, from its agent
    const char* recorded;  // what its record says
  } cases[] = {{"Failed to create the archive file of the VM on the media agent",
                "Failed to create the archive file of the VM on the media agent"},
               {"", "The job ended before the VM was backed up"}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.reason);
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    for (int vm : {1, 2}) c.m_vmMap.Find(VMGuid(vm))->vmPhase = PHASE_FAILED;
    vm_params& pending = *c.m_vmMap.Find(VMGuid(3));
    pending.vmPhase = PHASE_PENDING;
    pending.failureReason = test.reason;
    c.m_failJob = true;
    bool partial = false, failJob = false, setupFailed = false, resumeNow = false;
    EXPECT_FALSE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
    EXPECT_TRUE(failJob);
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(3), record));
    EXPECT_EQ(1, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    EXPECT_EQ(pending.collect.getint64(VirtualServer::VMCollect::F_vmClientId),
              record.getint64(JobManager::VMUpdateInfo::F_clientId));
    EXPECT_NE(0, record.getint64(JobManager::VMUpdateInfo::F_clientId));
    EXPECT_EQ(test.recorded, record.getstring(JobManager::VMUpdateInfo::F_failureText));
    coordinator_.reset();
  }
}

TEST_F(CoordinatorTest, PendingVMsAreFailedWithTheJobManagerAtTheEnd) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_vmMap.Find(VMGuid(1))->vmPhase = PHASE_DONE;
  c.m_vmMap.Find(VMGuid(2))->vmPhase = PHASE_PENDING;
  c.m_vmMap.Find(VMGuid(3))->vmPhase = PHASE_STARTED;
  c.m_jobSucceeded = true;  // as a committed job would end
  bool partial = false, failJob = false, setupFailed = false, resumeNow = false;
  EXPECT_TRUE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
  EXPECT_TRUE(partial);
  EXPECT_TRUE(Logged("Marking [2] VM as failed"));
  EXPECT_EQ(2, c.m_vmFailures);
  for (int vm : {2, 3}) {
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
    EXPECT_EQ(1, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << vm;
    EXPECT_EQ("vm0" + std::to_string(vm), record.getstring(JobManager::VMUpdateInfo::F_vmName));
    EXPECT_EQ(PHASE_FAILED, PhaseOf(vm));
  }
  JobManager::VMUpdateInfo done;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(1), done));
  EXPECT_EQ(4, done.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << "a finished VM's record is the agent's";
}

TEST_F(CoordinatorTest, LastAttemptFailsWhatIsLeftWithItsReasonInTheResultFile) {
  ASSERT_TRUE(Initialize({"-lastAttempt"}));
  TestCoordinator& c = *coordinator_;
  c.m_vmMap.Find(VMGuid(1))->vmPhase = PHASE_DONE;
  SetRecordStatus(1, 0);
  EXPECT_TRUE(c.FinishJob());
  EXPECT_EQ((std::vector<std::string>{"vm02 Skipped Maximum job attempts exceeded",
                                      "vm03 Skipped Maximum job attempts exceeded"}),
            BackupOut());
  EXPECT_TRUE(Logged("Changing VM vm02 status from [To be backed up] to [Failed]"));
  EXPECT_EQ(PHASE_FAILED, PhaseOf(2));
}

// A stub phase ends the job its backup phase began: a VM that phase failed, backed up with errors or
// left to be backed up keeps the job completed with errors (failed, when it backed no VM up), whatever
// the stubs did; the stubs' own failures fail it, as a phase whose VMs all failed. A VM it left
// unfinished without a word (its job process died) is named with why as the job ends: its record, the
// pending cause and event, the result file and the log.
TEST_F(CoordinatorTest, AStubPhaseEndsTheJobAsItsBackupPhaseLeftIt) {
  // vm01..vm03 as the backup phase left them with the job manager: taken by the stub phase (to be backed
  // up with no reason, to be archived), backed up not to be archived, failed, backed up with errors,
  // still to be backed up, with a reason, or still in progress or to be backed up with no reason (its
  // attempt cut off); or no record of it (its status could not be recorded).
  enum Left { kTaken, kBackedUp, kFailed, kWithErrors, kUnfinished, kInProgress, kNoReason, kNoRecord };
  const auto leftUnfinished = [](const std::string& vm, const std::string& status) {
    return "0x5B0001DB " + vm + "|Not backed up by this job: its backup phase did not finish the VM (its record said [" +
           status + "]: the job process of that phase ended before it did), and the stub phase, which ended the job, "
           "archives nothing of it; a later attempt of the job, run before the subclient's next job starts, backs the "
           "VM up";
  };
  const std::string kStubNotRecorded =
      "0x5B0001DB vm01|The job manager's record of the VM says [To be backed up], stub status [To be archived]: the "
      "stub phase stubbed the VM, and its stub status [Stubbed] could not be recorded";
  const std::string kNoRecordFound =
      "|The job manager holds no record of the VM in this job: the stub phase found none, and archives nothing of "
      "the VM";
  struct Case {
    const char* name;
    std::vector<Left> left;
    std::vector<phase> stubs;  // of the VMs taken, in order; each one done is stubbed, its stub status recorded
    bool runResult, partial, failJob;
    std::string cause = std::string();  // the last pending cause, when not the failed job's
    size_t stubNotRecorded = 0;         // a taken VM (from 1) whose stub status the job manager did not record
    int named = 0;  // the VM (from 1) named as left unfinished by the backup phase; 0: none
  };
  const Case cases[] = {
      {"all backed up, every stub made", {kTaken, kTaken, kBackedUp}, {D, D}, true, false, false},
      {"a VM failed in the backup phase", {kTaken, kTaken, kFailed}, {D, D}, true, true, false},
      {"a VM backed up with errors", {kTaken, kBackedUp, kWithErrors}, {D}, true, true, false},
      {"a VM left to be backed up", {kTaken, kUnfinished, kBackedUp}, {D}, true, true, false},
      {"a VM left in progress", {kTaken, kInProgress, kBackedUp}, {D}, true, true, false,
       leftUnfinished("vm02", "In progress"), 0, 2},
      {"a VM left to be backed up without a word", {kTaken, kNoReason, kBackedUp}, {D}, true, true, false,
       leftUnfinished("vm02", "To be backed up"), 0, 2},
      {"a VM left in progress, every stub failed", {kTaken, kInProgress, kBackedUp}, {F}, false, false, true, "", 0, 2},
      {"a VM left to be backed up without a word, no VM backed up", {kFailed, kFailed, kNoReason}, {}, false, false,
       true, "", 0, 3},
      {"a VM failed, nothing to stub", {kBackedUp, kFailed, kBackedUp}, {}, true, true, false},
      {"no VM backed up, nothing to stub", {kFailed, kUnfinished, kFailed}, {}, false, false, true},
      {"every stub failed", {kTaken, kBackedUp, kBackedUp}, {F}, false, false, true},
      // A status the job manager does not hold: the job completes with errors, naming the VM and why.
      {"a VM without a record", {kTaken, kNoRecord, kBackedUp}, {D}, true, true, false, "0x5B0001DB vm02" +
       kNoRecordFound},
      {"no VM with a record", {kNoRecord, kNoRecord, kNoRecord}, {}, true, true, false, "0x5B0001DB vm03" +
       kNoRecordFound},
      {"a stub whose status was not recorded", {kTaken, kBackedUp, kBackedUp}, {D}, true, true, false,
       kStubNotRecorded, 1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    ASSERT_TRUE(StartManagers({"-stubPhase"}));
    for (size_t i = 0; i < test.left.size(); ++i) {
      using Info = JobManager::VMUpdateInfo;
      if (test.left[i] == kNoRecord) continue;
      static const struct { int status, stub; const char* reason; } kRecords[] = {
          {4, 1, ""}, {0, 0, ""}, {9, 0, "the mount was refused"}, {3, 0, "a disk failed"}, {4, 0, "not yet"},
          {2, 0, ""}, {4, 0, ""}};
      const auto& left = kRecords[test.left[i]];
      Info record;
      record.setstring(Info::F_recordGuid, VMGuid(static_cast<int>(i) + 1));
      record.setstring(Info::F_vmName, "vm0" + std::to_string(i + 1));
      record.setint64(Info::F_vmStatus, left.status);
      record.setint64(Info::F_stubStatus, left.stub);
      record.setstring(Info::F_failureText, left.reason);
      ASSERT_TRUE(job_->setVMStatus(VMGuid(static_cast<int>(i) + 1), record));
    }
    TestCoordinator& c = *coordinator_;
    ASSERT_TRUE(c.Initialize(job_.get(), app_.get(), nullptr));
    ASSERT_EQ(test.stubs.size(), c.m_vmMap.size()) << "the stub phase takes the VMs taken, and only those";
    size_t next = 0;
    for (auto& entry : c.m_vmMap) {
      vm_params& vm = entry.second;
      vm.vmPhase = test.stubs[next++];
      if (vm.vmPhase != D) continue;
      vm.archivingStatus = 4;  // stubbed, as its agent reports it
      if (next == test.stubNotRecorded) continue;
      JobManager::VMUpdateInfo record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, vm.vmGuid, record));
      record.setint64(JobManager::VMUpdateInfo::F_stubStatus, 5);
      ASSERT_TRUE(job_->setVMStatus(vm.vmGuid, record));
    }
    EXPECT_EQ(test.runResult, c.FinishJob());
    bool partial = true, failJob = true, setupFailed = true, resumeNow = true;
    EXPECT_EQ(test.runResult, c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
    EXPECT_EQ(test.partial, partial);
    EXPECT_EQ(test.failJob, failJob);
    const std::vector<std::string> pending = Pending();
    EXPECT_EQ(test.failJob ? "0x5B0001D9 " + kTerminology : test.cause, pending.empty() ? "" : pending.back());
    if (!test.cause.empty() && test.named == 0) {
      const std::string named = test.cause.substr(11);  // the VM and why, as the result file and the log say
      EXPECT_EQ(named.substr(0, 4) + " Warning " + named.substr(5), BackupOut().empty() ? "" : BackupOut().back());
      EXPECT_TRUE(Logged("Failed to update VM status with Job Manager. VM [" + named.substr(0, 4) + "]"));
    }
    for (int vm = 1; vm <= static_cast<int>(test.left.size()); ++vm) {
      const std::string name = "vm0" + std::to_string(vm);
      const std::string status = test.left[vm - 1] == kInProgress ? "In progress" : "To be backed up";
      const std::string cause = leftUnfinished(name, status), why = cause.substr(16);
      const std::vector<std::string> results = BackupOut();
      EXPECT_EQ(vm == test.named, std::find(pending.begin(), pending.end(), cause) != pending.end()) << name;
      EXPECT_EQ(vm == test.named, std::find(results.begin(), results.end(), name + " Failed " + why) != results.end())
          << name;
      EXPECT_EQ(vm == test.named, Logged("NameVMsTheBackupPhaseLeftUnfinished(): VM [" + name + "]")) << name;
      JobManager::VMUpdateInfo record;
      if (vm != test.named || !vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record)) continue;
      EXPECT_EQ(4, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
      EXPECT_EQ(why, record.getstring(JobManager::VMUpdateInfo::F_failureText));
    }
    coordinator_.reset();
  }
}

TEST_F(CoordinatorTest, ResultFileWritesNothingBeforeItIsOpened) {
  ASSERT_TRUE(StartManagers());
  coordinator_->WriteBackupDotOut("vm01", "", "reason", true, false);
  EXPECT_TRUE(Logged("Cannot write to write backup.out file, store results is null"));
  EXPECT_TRUE(BackupOut().empty());
}

}  // namespace
}  // namespace coordtest
