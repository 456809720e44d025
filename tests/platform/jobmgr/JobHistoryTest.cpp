// The subclient's job history: a job that ends well joins it once, a failed one never; the cycle an
// incremental job builds on. (What the index cache hands out of it: tests/worker/IncrementalStateTest.)
#include <gtest/gtest.h>

#include <thread>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabHistory.h"
#include "support/TestLab.h"

namespace {

const char* const kGuid = "sc-history";

class JobHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.ReplaceSubclient("3", std::string("subclientGUID=") + kGuid + "\n"));
    app_.setAppIdStr("3");
    ASSERT_EQ(0, app_.querySettings());
  }
  // Runs job `id` of the level to its phase result.
  void EndJob(int64_t id, int level, bool success, bool copy = false) {
    lab::JobRecord record;
    record.subclient = "3";
    record.bkpLevel = level;
    ASSERT_TRUE(lab_.AddJob(id, record));
    vsJobMgr job;
    job.setJobId(std::to_string(id));
    job.setBkpLevel(level);
    job.setSnapToTape(copy);
    ASSERT_FALSE(vsJobMgr::isError(job.initBackup()));
    if (success)
      EXPECT_TRUE(level % 2 ? job.phaseSuccessful(false) : job.phasePartialSuccess());
    else
      EXPECT_TRUE(job.phaseFailed(true, false));
  }
  void LastJobs(int64_t& full, int64_t& incr, bool copy = false) {
    vsJobMgr job;
    time_t t1 = 0, t2 = 0;
    EXPECT_EQ(0, job.getLastSucessfulBkpJobId(3, full, t1, incr, t2, copy));
  }

  testsupport::TestLab lab_;
  vsAppMgr app_;
};

TEST_F(JobHistoryTest, OnlyJobsThatEndWellAreBuiltOnAndAFullStartsACycle) {
  int64_t full = -1, incr = -1;
  LastJobs(full, incr);
  EXPECT_EQ(0, full) << "a first job has nothing to build on";
  struct Step {
    int64_t job;
    int level;
    bool success;
    int64_t full, incr;
  } steps[] = {
      {100, 1, true, 100, 0},   {101, 2, true, 100, 101}, {102, 2, false, 100, 101},  // a failed job changes nothing
      {103, 4, true, 100, 103}, {104, 1, false, 100, 103}, {105, 1, true, 105, 0},     // nor does a failed full
      {106, 2, true, 105, 106},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.job);
    EndJob(s.job, s.level, s.success);
    LastJobs(full, incr);
    EXPECT_EQ(s.full, full);
    EXPECT_EQ(s.incr, incr);
  }
  EndJob(106, 2, true);  // a restarted job that ends well again is recorded once
  std::vector<lab::HistoryJob> jobs;
  std::string error;
  ASSERT_TRUE(lab::ReadHistory("3", jobs, error));
  EXPECT_EQ(5u, jobs.size());
  EXPECT_EQ((std::vector<int64_t>{106, 105}), lab::CurrentCycle(jobs, false).jobs);

  // Backup copies of snapshots keep a chain of their own.
  EndJob(107, 1, true, true);
  LastJobs(full, incr, true);
  EXPECT_EQ(107, full);
  LastJobs(full, incr);
  EXPECT_EQ(105, full);
}

TEST_F(JobHistoryTest, AnUnreadableHistoryIsAnErrorAndAFaultTooAndJobsEndingAtOnceAreAllKept) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([this, i] { EndJob(200 + i, i == 0 ? 1 : 2, true); });
  for (std::thread& t : threads) t.join();
  std::vector<lab::HistoryJob> jobs;
  std::string error;
  ASSERT_TRUE(lab::ReadHistory("3", jobs, error)) << error;
  EXPECT_EQ(8u, jobs.size()) << "every job ending at the same time is kept";

  vsJobMgr job;
  int64_t full = 1, incr = 1;
  time_t t = 0;
  ASSERT_TRUE(lab_.Fault("jobmgr.getLastSucessfulBkpJobId", 9));
  EXPECT_EQ(9, job.getLastSucessfulBkpJobId(3, full, t, incr, t, false));
  EXPECT_EQ(0, full);
  ASSERT_TRUE(lab::WriteFileAtomic(lab::HistoryPath("3"), "200 1 0\nnot a job\n"));
  EXPECT_EQ(vsJobMgr::kHistoryUnreadable, job.getLastSucessfulBkpJobId(3, full, t, incr, t, false));
  EXPECT_FALSE(lab::ReadHistory("3", jobs, error));
  EXPECT_NE(std::string::npos, error.find("line 2"));
}

}  // namespace
