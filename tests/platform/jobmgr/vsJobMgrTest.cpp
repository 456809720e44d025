#include "platform/jobmgr/vsJobMgr.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/os/ZtTime.h"
#include "support/TestLab.h"

namespace {

class JobMgrTest : public ::testing::Test {
 protected:
  // A job manager started on job `jobId` with the given record.
  bool Start(vsJobMgr& jm, int64_t jobId, const lab::JobRecord& record = lab::JobRecord()) {
    if (!lab_.AddJob(jobId, record)) return false;
    jm.setJobId(std::to_string(jobId));
    return jm.initBackup() == vsJobMgr::kInitOk;
  }
  // Plants a job record's text as it stands.
  bool PlantRecord(int64_t jobId, const std::string& text) {
    return lab::MakeDirs(lab::JobDir(jobId)) && lab::WriteFileAtomic(lab::JobRecordPath(jobId), text);
  }
  testsupport::TestLab lab_;
};

TEST(JobMgrJobId, OnlyPlainDecimalTextGivesAnId) {
  struct Case {
    const char* text;
    int64_t id;
  } cases[] = {{"1001", 1001},
               {"0001001", 1001},
               {"9223372036854775807", INT64_MAX},
               {"9223372036854775808", 0},
               {"99999999999999999999999", 0},
               {"12abc", 0},
               {"-5", 0},
               {"+5", 0},
               {" 12", 0},
               {"", 0},
               {"../1", 0}};
  for (const Case& c : cases) {
    vsJobMgr jm;
    jm.setJobId(c.text);
    EXPECT_EQ(c.id, jm.getJobId()) << "text [" << c.text << "]";
  }
}

TEST_F(JobMgrTest, InitBackupRefusesWhatItCannotUse) {
  {
    vsJobMgr jm;
    jm.setJobId("1001");
    lab::SetRoot(std::string());
    EXPECT_EQ(vsJobMgr::kInitNoLab, jm.initBackup());
    lab::SetRoot(lab_.Root());
  }
  {
    vsJobMgr jm;
    jm.setJobId("x");
    EXPECT_EQ(vsJobMgr::kInitNoJobId, jm.initBackup());
  }
  {
    vsJobMgr jm;
    jm.setJobId("5");
    EXPECT_EQ(vsJobMgr::kInitNoJobFolder, jm.initBackup());
  }
  {
    ASSERT_TRUE(lab::MakeDirs(lab::JobDir(6)));
    vsJobMgr jm;
    jm.setJobId("6");
    EXPECT_EQ(vsJobMgr::kInitBadJobConf, jm.initBackup()) << "no job record";
  }
  struct Case {
    const char* record;
    int code;
  } cases[] = {{"this line has no equals sign\n", vsJobMgr::kInitBadJobConf},
               {"failback=yes\n", vsJobMgr::kInitBadJobConf},
               {"replicationId=12x\n", vsJobMgr::kInitBadJobConf},
               {"token=-client\n", vsJobMgr::kInitBadJobConf},
               {"timeScale=0\n", vsJobMgr::kInitBadJobConf},
               {"# job\nrestart=\nfailback=0\ninitFails=1\n", vsJobMgr::kInitOk}};
  int64_t jobId = 10;
  for (const Case& c : cases) {
    ASSERT_TRUE(PlantRecord(jobId, c.record));
    vsJobMgr jm;
    jm.setJobId(std::to_string(jobId));
    int code = jm.initBackup();
    EXPECT_EQ(c.code, code) << c.record;
    EXPECT_EQ(c.code != vsJobMgr::kInitOk, vsJobMgr::isError(code));
    EXPECT_EQ(c.code == vsJobMgr::kInitOk, jm.isInitialized());
    ++jobId;
  }
}

// A lab's time scale speeds up a job process's real clock (tests/host runs one); a test's virtual
// clock stays as the test set it, whatever the record asks.
TEST_F(JobMgrTest, ATimeScaleLeavesAVirtualClockAlone) {
  ZtClock::UseVirtualTimeForTest();
  ASSERT_TRUE(lab_.OpenLog());
  lab::JobRecord record;
  record.timeScale = lab::kMaxTimeScale;
  vsJobMgr jm;
  ASSERT_TRUE(Start(jm, 1001, record));
  const long long before = ZtClock::MonotonicTicks();
  EXPECT_TRUE(ZtClock::IsVirtualTime());
  EXPECT_EQ(before, ZtClock::MonotonicTicks());
  EXPECT_EQ(std::string::npos, lab_.Log().find("faster than real time"));
  ZtClock::UseRealTime();
}

TEST_F(JobMgrTest, SessionIsRecordedOnceAndDeinitIsIdempotent) {
  vsJobMgr jm;
  ASSERT_TRUE(Start(jm, 1001));
  std::string pid = std::to_string(getpid());
  EXPECT_EQ(std::vector<std::string>{"started localhost " + pid}, lab::ReadSessions(1001));
  jm.deinit();
  jm.deinit();
  EXPECT_FALSE(jm.isInitialized());
  std::vector<std::string> both = {"started localhost " + pid, "ended localhost " + pid};
  EXPECT_EQ(both, lab::ReadSessions(1001));

  vsJobMgr neverStarted;
  neverStarted.setJobId("1001");
  neverStarted.deinit();
  EXPECT_EQ(both, lab::ReadSessions(1001));
}

TEST_F(JobMgrTest, EveryPhaseCallAppendsExactlyOneLine) {
  vsJobMgr jm;
  ASSERT_TRUE(Start(jm, 1001));
  EXPECT_TRUE(jm.phaseSuccessful(false));
  EXPECT_TRUE(jm.phaseSuccessful(false));
  EXPECT_TRUE(jm.phaseSuccessful(true));
  EXPECT_TRUE(jm.phasePartialSuccess());
  EXPECT_TRUE(jm.phaseFailed(false, false));
  EXPECT_TRUE(jm.phaseFailed(true, false));
  EXPECT_TRUE(jm.phaseFailed(false, true));
  EXPECT_TRUE(jm.StopAndAutoResume(120, "Job will auto resume in 120 seconds to backup remaining virtual machines."));
  EXPECT_TRUE(jm.StopAndAutoResume(5, "two\nlines"));
  std::vector<std::string> expected = {
      "phaseSuccessful",
      "phaseSuccessful",
      "phaseSuccessful 1",
      "phasePartialSuccess",
      "phaseFailed failJob=0 setupFailed=0",
      "phaseFailed failJob=1 setupFailed=0",
      "phaseFailed failJob=0 setupFailed=1",
      "StopAndAutoResume 120 Job will auto resume in 120 seconds to backup remaining virtual machines.",
      "StopAndAutoResume 5 two lines"};
  EXPECT_EQ(expected, vsJobMgr::ReadPhaseLines(1001));
}

TEST_F(JobMgrTest, RefusedAutoResumeSaysSoAndReturnsFalse) {
  vsJobMgr jm;
  ASSERT_TRUE(Start(jm, 1001));
  ASSERT_TRUE(lab_.Fault("jobmgr.StopAndAutoResume", 1));
  EXPECT_FALSE(jm.StopAndAutoResume(120, "resume"));
  // An interval of 0 (resume at once) is the limit that is still arranged; one below it is not.
  vsJobMgr other;
  ASSERT_TRUE(Start(other, 1002));
  EXPECT_TRUE(other.StopAndAutoResume(0, "now"));
  EXPECT_FALSE(other.StopAndAutoResume(-1, "never"));
  EXPECT_EQ(std::vector<std::string>{"StopAndAutoResumeRefused 120 resume"}, vsJobMgr::ReadPhaseLines(1001));
  std::vector<std::string> limits = {"StopAndAutoResume 0 now", "StopAndAutoResumeRefused -1 never"};
  EXPECT_EQ(limits, vsJobMgr::ReadPhaseLines(1002));
}

TEST_F(JobMgrTest, PhaseResultWithoutAJobFolderIsNotReportedAsDone) {
  vsJobMgr jm;
  jm.setJobId("77");
  EXPECT_FALSE(jm.phaseSuccessful(false));
  EXPECT_FALSE(jm.phaseFailed(true, true));
  EXPECT_FALSE(jm.StopAndAutoResume(120, "x"));
  EXPECT_FALSE(jm.setPendingCause(0x5B000081));
  vsJobMgr noId;
  EXPECT_FALSE(noId.phasePartialSuccess());
  EXPECT_TRUE(vsJobMgr::ReadPhaseLines(77).empty());
}

TEST_F(JobMgrTest, QuitFlagFollowsTheQuitFile) {
  vsJobMgr jm;
  ASSERT_TRUE(Start(jm, 1001));
  EXPECT_FALSE(jm.checkQuitFlag());
  ASSERT_TRUE(lab::RequestJobQuit(1001));
  EXPECT_TRUE(jm.checkQuitFlag());
  // Another job of the same lab is not affected.
  vsJobMgr other;
  ASSERT_TRUE(Start(other, 1002));
  EXPECT_FALSE(other.checkQuitFlag());
  ASSERT_TRUE(lab::ClearJobQuit(1001));
  EXPECT_FALSE(jm.checkQuitFlag());
}

TEST_F(JobMgrTest, PendingCausesAndEventsAreLinesWithTheirArguments) {
  vsJobMgr jm;
  ASSERT_TRUE(Start(jm, 1001));

  jm.addPendingCauseArgument(std::string("vm|1"));
  jm.getJobClient() << 7;
  EXPECT_TRUE(jm.setPendingCause(0x5B000081));
  // The collected arguments belong to that cause only.
  EXPECT_TRUE(jm.setPendingCause(0x5B000082));

  EvMessageContainer container;
  container.SetMessageID(0x5B000194);
  container << "vm2" << "reason\nwith break";
  EXPECT_TRUE(jm.setPendingCauseAndEvent(container, 3));

  jm.addPendingCauseArgument(2LL);
  EXPECT_TRUE(jm.setPendingCauseAndEvent(0x5B000142u, 9));

  std::vector<std::string> pending = {"0x5B000081 vm\\|1|7", "0x5B000082", "0x5B000194 vm2|reason\\nwith break",
                                      "0x5B000142 2"};
  EXPECT_EQ(pending, vsJobMgr::ReadPendingCauses(1001));
  std::vector<std::string> events = {"CRITICAL 0x5B000194 vm2|reason\\nwith break", "SEVERITY9 0x5B000142 2"};
  EXPECT_EQ(events, vsJobMgr::ReadEvents(1001));

  EXPECT_TRUE(jm.resetPendingCause());
  EXPECT_TRUE(vsJobMgr::ReadPendingCauses(1001).empty());
  EXPECT_TRUE(jm.setPendingCause(container));
  EXPECT_EQ(std::vector<std::string>{"0x5B000194 vm2|reason\\nwith break"}, vsJobMgr::ReadPendingCauses(1001));
  // Resetting does not touch the job's events.
  EXPECT_EQ(2u, vsJobMgr::ReadEvents(1001).size());
}

TEST_F(JobMgrTest, ThreadsCollectTheirOwnPendingCauseArguments) {
  vsJobMgr jm;
  ASSERT_TRUE(Start(jm, 1001));
  jm.addPendingCauseArgument(std::string("main"));
  std::thread worker([&jm] {
    jm.getJobClient() << "worker";
    jm.setPendingCause(0x5B000002);
  });
  worker.join();
  EXPECT_TRUE(jm.setPendingCause(0x5B000001));
  std::vector<std::string> expected = {"0x5B000002 worker", "0x5B000001 main"};
  EXPECT_EQ(expected, vsJobMgr::ReadPendingCauses(1001));
}

TEST_F(JobMgrTest, ProcessesOfOneJobAppendWithoutLosingLines) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 50;
  ASSERT_TRUE(lab_.AddJob(1001));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      vsJobMgr jm;  // one client per "process"
      jm.setJobId("1001");
      for (int i = 0; i < kCalls; ++i) {
        EvMessageContainer container;
        container.SetMessageID(0x5B000100 + static_cast<uint32_t>(t));
        container << std::string(200, static_cast<char>('a' + t));
        jm.setPendingCauseAndEvent(container, 1);
        jm.phasePartialSuccess();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> events = vsJobMgr::ReadEvents(1001);
  ASSERT_EQ(static_cast<size_t>(kThreads * kCalls), events.size());
  for (const std::string& line : events) {
    ASSERT_EQ(std::string("MINOR 0x5B0001"), line.substr(0, 14));
    char letter = static_cast<char>('a' + (line[15] - '0'));
    EXPECT_EQ("MINOR 0x5B00010" + std::string(1, line[15]) + " " + std::string(200, letter), line);
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kCalls), vsJobMgr::ReadPendingCauses(1001).size());
  EXPECT_EQ(static_cast<size_t>(kThreads * kCalls), vsJobMgr::ReadPhaseLines(1001).size());
}

TEST_F(JobMgrTest, JobOptionsComeFromTheJobRecord) {
  vsJobMgr jm;
  std::string restart;
  EXPECT_TRUE(vsJobMgr::isError(jm.CheckForRestart(restart))) << "no job read yet";
  ASSERT_TRUE(PlantRecord(1001,
                          "failback = 1\nreplicationId=4242\nopType=59\nselectedVMsOnly=1\ncommittable=1\n"
                          "sourceParentBackupJob=900\nrestart=-o VMList=vm1\n"));
  jm.setJobId("1001");
  ASSERT_EQ(vsJobMgr::kInitOk, jm.initBackup());
  EXPECT_TRUE(jm.isFailbackBackup());
  EXPECT_EQ(4242u, jm.getReplicationIdForFailback());
  EXPECT_EQ(59, jm.getOpType());
  EXPECT_TRUE(jm.isBackupSelectedVMsOnly());
  EXPECT_TRUE(jm.isJobCommittable());
  EXPECT_EQ(900u, jm.getSourceParentBackupJobToProcess());
  EXPECT_EQ(0, jm.CheckForRestart(restart));
  EXPECT_EQ("-o VMList=vm1", restart);

  vsJobMgr plain;
  ASSERT_TRUE(Start(plain, 1002));
  EXPECT_FALSE(plain.isFailbackBackup());
  EXPECT_EQ(0, plain.CheckForRestart(restart));
  EXPECT_EQ("", restart);
}

// The job manager resumes a job by running it again (the lab tool's runs of it in runs.log): once a run
// has ended or was interrupted, every process of the next attempt hears that the job was restarted.
// The record's own restart text wins.
TEST_F(JobMgrTest, AnAttemptAfterAnEndedRunIsARestart) {
  struct Case {
    const char* name;
    std::vector<std::string> runs;
    const char* recordRestart;
    const char* heard;
  } cases[] = {
      {"never run", {}, "", ""},
      {"its first run going on", {"started 1 pid=10"}, "", ""},
      {"one run ended", {"started 1 pid=10", "ended 2 status=0"}, "", "resumed attempt 2"},
      {"one interrupted, one killed",
       {"started 1 pid=10", "interrupted 2 signal=2", "started 3 pid=11", "ended 4 status=137", "started 5 pid=12"},
       "", "resumed attempt 3"},
      {"the record's text", {"started 1 pid=10", "ended 2 status=0"}, "-o 2", "-o 2"},
  };
  int64_t job = 1001;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(lab::MakeDirs(lab::JobDir(job)));
    for (const std::string& line : c.runs) ASSERT_TRUE(lab::AppendRunEvent(job, line));
    lab::JobRecord record;
    record.restart = c.recordRestart;
    vsJobMgr jm;
    ASSERT_TRUE(Start(jm, job, record));
    std::string heard = "untouched";
    EXPECT_EQ(0, jm.CheckForRestart(heard));
    EXPECT_EQ(c.heard, heard);
    ++job;
  }
}

TEST_F(JobMgrTest, MetadataCollectionFollowsTheJobKind) {
  vsJobMgr streaming;
  ASSERT_TRUE(Start(streaming, 1001));
  streaming.initBackupMetadaCollectionDefault(101, true, true, false, true);
  EXPECT_TRUE(streaming.isCollectMetadataEnabled());
  std::map<std::string, std::string> metadata;
  ASSERT_TRUE(lab::ReadJobMetadata(1001, metadata));
  std::map<std::string, std::string> expected = {{"collectFileDetails", "1"}, {"collectFileDetailsForSnap", "0"},
                                                 {"collectMetadata", "1"},    {"honorTaskOptionsForLVM", "1"},
                                                 {"indexingV2", "1"},         {"instanceType", "101"}};
  EXPECT_EQ(expected, metadata);
  streaming.setMetatdataCollectionOption(0);
  EXPECT_FALSE(streaming.isCollectMetadataEnabled());

  vsJobMgr snap;
  snap.setSnapBackup(true);
  ASSERT_TRUE(Start(snap, 1002));
  snap.initBackupMetadaCollectionDefault(102, false, true, false, false);
  EXPECT_FALSE(snap.isCollectMetadataEnabled());
}

TEST(JobMgrOptions, DefaultsBeforeAnyOptionIsSet) {
  vsJobMgr jm;
  EXPECT_EQ(1, jm.getBkpLevel());
  EXPECT_TRUE(jm.isFullBkp());
  EXPECT_TRUE(jm.isCopyParentJobToTape());
  EXPECT_FALSE(jm.isJobCommitted());
  jm.setCommitFlag();
  jm.setCopyParentJobToTape(false);
  jm.setBkpLevel(2);
  EXPECT_TRUE(jm.isJobCommitted());
  EXPECT_FALSE(jm.isCopyParentJobToTape());
  EXPECT_FALSE(jm.isFullBkp());
}

}  // namespace
