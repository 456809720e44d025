#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The runs of jobs as the lab's job manager (the lab tool) keeps them:
//   jobs/run.lock         held (an exclusive lock on the open file) by the run of a job for as long as
//                         the job runs: the jobs of a lab share its clients' process tables and their
//                         streams, so a lab runs one job at a time. Its text names the run:
//                         "job=<id> pid=<process of the run> started=<seconds since 1970>".
//   jobs/<job>/runs.log   what happened to the job's runs, a line each:
//                         "started <time> pid=<n>", "ended <time> status=<exit status>",
//                         "interrupted <time> signal=<n>", the time as the lab tool writes it
//                         ("2026-12-07 08:33:00 UTC"; older lines hold seconds since 1970).
// The kernel drops the lock with the process that held it, so a run that was killed holds nothing.
namespace lab {

struct RunHolder {
  int64_t jobId = 0;
  long pid = 0;
  int64_t started = 0;
};

class LabRunLock {
 public:
  LabRunLock() = default;
  ~LabRunLock();
  LabRunLock(const LabRunLock&) = delete;
  LabRunLock& operator=(const LabRunLock&) = delete;

  // Takes the lab's run lock for the job. False when another run holds it (`holder` says which, as
  // far as its text could be read: a pid of 0 when not) or the lock cannot be taken (`error`).
  bool Acquire(int64_t jobId, RunHolder& holder, std::string& error);
  bool Held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
};

// The run that holds the lab's run lock now; false when none does.
bool CurrentRun(RunHolder& holder);

// A run's event of the job, as described above.
bool AppendRunEvent(int64_t jobId, const std::string& event);
std::vector<std::string> ReadRunEvents(int64_t jobId);
// The job's runs that have started (its "started" lines).
int64_t StartedRuns(int64_t jobId);
// The job's runs that have ended ("ended" or "interrupted"): a run after one of them is a later
// attempt of the job, as the job manager resumes it. The run going on has no such line yet.
int64_t EndedRuns(int64_t jobId);

}  // namespace lab
