// The lab's run lock and runs.log after a lab tool was killed during a run: the job process the run
// started holds the lab while it runs, and once it has ended the next run closes the run that said
// nothing of its end, so that it counts as an attempt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabJobRun.h"
#include "support/TestLab.h"
#include "platform/lab/ChildProcess.h"

namespace {

using labtest::ChildProcess;
using State = ChildProcess::State;

constexpr int64_t kJob = 1001;

std::string LockPath() { return lab::JobsDir() + "/run.lock"; }

// What a lab tool killed while its run held the lock leaves there.
bool LeaveLockText(const std::string& text) {
  return lab::MakeDirs(lab::JobsDir()) && lab::WriteFileAtomic(LockPath(), text);
}

std::string LockText() {
  std::string text, error;
  lab::ReadRegularFile(LockPath(), 4096, text, error);
  return text;
}

std::string Pid(const ChildProcess& process) { return std::to_string(process.pid()); }

TEST(LabRunLock, AJobProcessLeftRunningByAKilledRunHoldsTheLabUntilItEnds) {
  testsupport::TestLab lab;
  ChildProcess leader(State::kRunning, true), notLeader(State::kRunning, false), zombie(State::kZombie, true),
      gone(State::kGone, true);
  const std::string run = "job=1001 pid=" + Pid(gone) + " started=1";
  struct Case {
    const char* name;
    std::string text;  // the lock's, left by the killed run
    long orphan;       // the job process that holds the lab; 0: none does
  };
  const Case cases[] = {
      {"its job process runs", run + " process=" + Pid(leader) + "\n", leader.pid()},
      {"the process leads no group of its own: its pid was taken again", run + " process=" + Pid(notLeader) + "\n", 0},
      {"its job process has ended, not waited for yet", run + " process=" + Pid(zombie) + "\n", 0},
      {"its job process is gone", run + " process=" + Pid(gone) + "\n", 0},
      {"killed before it named its job process", run + "\n", 0},
      {"a process id one past the largest", run + " process=2147483648\n", 0},
      {"a process id of 0", run + " process=0\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(LeaveLockText(c.text));
    lab::RunHolder current;
    EXPECT_EQ(c.orphan != 0, lab::CurrentRun(current));
    EXPECT_EQ(c.orphan != 0, current.orphaned);
    EXPECT_EQ(c.orphan, current.jobProcess);

    lab::LabRunLock lock;
    lab::RunHolder holder;
    std::string error;
    ASSERT_EQ(c.orphan == 0, lock.Acquire(1002, holder, error)) << error;
    if (c.orphan != 0) {
      EXPECT_TRUE(holder.orphaned);
      EXPECT_EQ(kJob, holder.jobId);
      EXPECT_EQ(c.orphan, holder.jobProcess);
      EXPECT_EQ("the job process of job 1001 still runs", error);
      EXPECT_EQ(c.text, LockText()) << "the refused run leaves the text that names the job process";
      continue;
    }
    // The run names itself and, once it has started it, its job process: held, not orphaned.
    EXPECT_EQ("job=1002 pid=" + std::to_string(getpid()), LockText().substr(0, LockText().find(" started=")));
    ASSERT_TRUE(lock.NameJobProcess(4242));
    lab::RunHolder named;
    ASSERT_TRUE(lab::CurrentRun(named));
    EXPECT_FALSE(named.orphaned);
    EXPECT_EQ(1002, named.jobId);
    EXPECT_EQ(getpid(), named.pid);
    EXPECT_EQ(4242, named.jobProcess);
    lock.Release();
    EXPECT_FALSE(lab::CurrentRun(named));
    EXPECT_EQ("", LockText());
  }
  // The job process has ended: the lab is free.
  leader.End();
  ASSERT_TRUE(LeaveLockText(cases[0].text));
  lab::RunHolder current;
  EXPECT_FALSE(lab::CurrentRun(current));
  lab::LabRunLock lock;
  std::string error;
  EXPECT_TRUE(lock.Acquire(1002, current, error)) << error;
}

TEST(LabRunLock, TheNextRunClosesARunWhoseLabToolWasKilledOnceItsJobProcessHasEnded) {
  testsupport::TestLab lab;
  ChildProcess running(State::kRunning, true), gone(State::kGone, true);
  const std::string time = "2026-12-07 08:33:00 UTC";
  const auto started = [&](const ChildProcess& process) {
    return "started " + time + " pid=" + Pid(process) + " phase=stub results=1";
  };
  struct Case {
    const char* name;
    std::vector<std::string> runs;  // runs.log
    const char* closedAs;           // the line written; nullptr: none
  };
  const std::string lost = "lost " + time + " pid=" + Pid(gone);
  const Case cases[] = {
      {"no run yet", {}, nullptr},
      {"its job process is gone", {started(gone)}, lost.c_str()},
      {"after an earlier run that ended", {started(gone), "ended " + time + " status=0", started(gone)}, lost.c_str()},
      {"its job process still runs", {started(running)}, nullptr},
      {"an older line without its process", {"started 1"}, "lost 2026-12-07 08:33:00 UTC pid=0"},
      {"the run ended", {started(gone), "ended " + time + " status=137 signal=9"}, nullptr},
      {"the run was interrupted", {started(gone), "interrupted " + time + " signal=2"}, nullptr},
      {"closed already", {started(gone), lost}, nullptr},
  };
  int64_t job = kJob;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++job;
    ASSERT_TRUE(lab::MakeDirs(lab::JobDir(job)));
    for (const std::string& line : c.runs) ASSERT_TRUE(lab::AppendRunEvent(job, line));
    const int64_t endedBefore = lab::EndedRuns(job);
    ASSERT_TRUE(lab::CloseLostRun(job, time));
    const std::vector<std::string> lines = lab::ReadRunEvents(job);
    ASSERT_EQ(c.runs.size() + (c.closedAs != nullptr ? 1 : 0), lines.size());
    if (c.closedAs == nullptr) continue;
    EXPECT_EQ(c.closedAs, lines.back());
    EXPECT_EQ(endedBefore + 1, lab::EndedRuns(job)) << "the run after it is a later attempt";
    lab::JobRun latest;
    ASSERT_TRUE(lab::LatestRun(job, latest));
    EXPECT_EQ(lab::JobRun::End::kNotYet, latest.end) << "how it ended is not known";
  }
}

}  // namespace
