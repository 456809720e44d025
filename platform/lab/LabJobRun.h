#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The runs of jobs as the lab's job manager (the lab tool) keeps them:
//   jobs/run.lock         held (an exclusive lock on the open file) by the run of a job for as long as
//                         the job runs: the jobs of a lab share its clients' process tables and their
//                         streams, so a lab runs one job at a time. Its text names the run:
//                         "job=<id> pid=<process of the run> started=<seconds since 1970>", and
//                         " process=<job process>" once the run has started it.
//   jobs/<job>/runs.log   what happened to the job's runs, a line each:
//                         "started <time> pid=<n> phase=<backup|stub> results=<n> causes=<n>
//                         events=<n> options=<argument>,<argument>,..." (the phase the job process
//                         runs, how many phase results, lines of pending causes and lines of events
//                         the job had before it, and the options given after "--", each byte of an
//                         argument other than a letter, a digit or one of "-_.:/+" written as %XX,
//                         two upper-case hex digits; "options=" alone: none was given),
//                         "ended <time> status=<exit status>[ signal=<n>]" (a process killed by a
//                         signal: status 128 + the signal, and the signal), "interrupted <time>
//                         signal=<n>", "lost <time> pid=<n>" (written by the next run for one whose lab
//                         tool was killed, once its job process has ended: how it ended is not known),
//                         the time as the lab tool writes it ("2026-12-07 08:33:00 UTC";
//                         older lines hold seconds since 1970, and name neither phase nor results:
//                         a backup phase whose results are all the job's; causes and events are
//                         newer still, and options newer again: a line without them does not say
//                         what its run was given). A line cut short (no line end: a write cut off by a full
//                         file system or a crash) is none: its reader leaves it out, and the next
//                         line written replaces it.
// The kernel drops the lock with the process that held it, so a run that was killed holds nothing; its
// text stays, though, and the job process it names may go on without it (it runs in a process group of
// its own): while that process runs, it holds the lab as a run would.
namespace lab {

// The phase of a job a run runs: the backup phase, or the stub phase of an archiving job (the job
// process started with "-stubPhase"). Each has its own result: a stub phase that sets none leaves the
// job without one, whatever its backup phase ended with.
enum class JobPhase { kBackup, kStub };
// "backup", "stub".
const char* JobPhaseName(JobPhase phase);

// One run of a job, as its lines of runs.log tell it.
struct JobRun {
  enum class End { kNotYet, kEnded, kInterrupted };
  long pid = 0;  // the job process
  JobPhase phase = JobPhase::kBackup;
  // Its line names its phase: an older line, or one whose field is damaged, reads as the backup phase
  // without saying so.
  bool phaseNamed = false;
  // The options its job process was given after "--" (decoded), when its line keeps them.
  bool optionsKept = false;
  std::vector<std::string> options;
  // The job's phase results (lines of its phase file) when the run started; -1 when its line does not
  // say (an older one).
  int64_t resultsBefore = -1;
  // The job's lines of pending causes and of events when the run started; -1 when its line does not
  // say. The lines from there on are the run's (or a later one's).
  int64_t causesBefore = -1;
  int64_t eventsBefore = -1;
  // kNotYet: going on, or the lab tool that ran it was killed before it could say how it ended (a
  // "lost" line after it says only that it has ended).
  End end = End::kNotYet;
  int status = 0;  // kEnded: the exit status, 128 + the signal for a process killed by one
  int signal = 0;  // kEnded: the signal that killed the job process (0: it exited); kInterrupted: the
                   // signal that told the run to stop
};

struct RunHolder {
  int64_t jobId = 0;
  long pid = 0;
  int64_t started = 0;
  long jobProcess = 0;  // 0: not started yet, or not named
  // The run's lab tool is gone (killed: the lock is free), and the job process it started still runs.
  bool orphaned = false;
};

class LabRunLock {
 public:
  LabRunLock() = default;
  ~LabRunLock();
  LabRunLock(const LabRunLock&) = delete;
  LabRunLock& operator=(const LabRunLock&) = delete;

  // Takes the lab's run lock for the job. False when another run holds it (`holder` says which, as
  // far as its text could be read: a pid of 0 when not), when the job process of a run whose lab tool
  // was killed still runs (`holder` orphaned), or when the lock cannot be taken (`error`).
  bool Acquire(int64_t jobId, RunHolder& holder, std::string& error);
  // Names the job process the run started in the lock's text; false when it could not be written.
  bool NameJobProcess(long pid);
  bool Held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
  std::string text_;  // what Acquire wrote, without its line end
};

// The run that holds the lab's run lock now, or the job process left running by one whose lab tool was
// killed (`holder` orphaned); false when none does.
bool CurrentRun(RunHolder& holder);
// True while `pid` is the job process a run started: it runs, and leads the process group the run
// started it in (a pid taken again by another process seldom does).
bool JobProcessRuns(long pid);

// A run's event of the job, as described above.
bool AppendRunEvent(int64_t jobId, const std::string& event);
std::vector<std::string> ReadRunEvents(int64_t jobId);
// What an event leaves when its write is cut short: its first `bytes` bytes and no line end.
bool AppendTornRunEvent(int64_t jobId, const std::string& event, size_t bytes);
// What the job manager holds of a job when a run of it starts, counted before its job process starts.
struct JobLineCounts {
  int64_t results = 0;  // phase results
  int64_t causes = 0;   // whole lines of pending causes
  int64_t events = 0;   // whole lines of events
};
JobLineCounts CountJobLines(int64_t jobId);
// The start of a run: its job process and phase, with what the job held before it and the options after
// "--" it gave the job process.
bool AppendRunStart(int64_t jobId, const std::string& time, long pid, JobPhase phase, const JobLineCounts& before,
                    const std::vector<std::string>& options);
// The end of a run whose job process exited with `status` or, when `signal` is not 0, was killed by it.
bool AppendRunEnd(int64_t jobId, const std::string& time, int status, int signal);
bool AppendRunInterrupted(int64_t jobId, const std::string& time, int signal);
// The end of the job's latest run, when its lab tool was killed before it could write one and the job
// process it started no longer runs: that run ended, and the next one is a later attempt. False when
// it could not be written; nothing is written when the latest run has an end, or its process runs.
bool CloseLostRun(int64_t jobId, const std::string& time);
// The job's latest run (the last "started" line and what followed it); false when it has none.
// Malformed fields read as absent.
bool LatestRun(int64_t jobId, JobRun& run);
// The phase results the run set: the job's after those it had when the run started (all of them when
// the run's line does not say).
std::vector<std::string> PhaseResultsOf(int64_t jobId, const JobRun& run);
// Every run of the job that started, in order (each "started" line and what followed it).
std::vector<JobRun> ReadRuns(int64_t jobId);
// Whether runs.log shows that the job's latest attempt began after a run of its stub phase: its latest
// run names its phase, the backup phase, and an earlier run named the stub phase (which ended before
// the latest began, as a run starts only once the one before it has ended). What that stub phase left
// (stub records naming the job, disks its stub deleted, VMs the job manager holds as taken by it) is
// then an earlier attempt's, and no sign of a stub phase of the latest attempt.
bool LatestAttemptBeganAfterAStubPhase(const std::vector<JobRun>& runs);
// The run (numbered from 1 as the runs started) whose job processes wrote the pending cause or the
// event of that line number (JobLine, LabJob.h); 0 when the runs do not tell: none recorded, the line
// is older than the first, or a run whose line does not say its counts may have written it.
size_t RunOfPendingCause(const std::vector<JobRun>& runs, size_t line);
size_t RunOfJobEvent(const std::vector<JobRun>& runs, size_t line);
// The job's runs that have started (its "started" lines).
int64_t StartedRuns(int64_t jobId);
// The job's runs that have ended ("ended", "interrupted" or "lost"): a run after one of them is a
// later attempt of the job, as the job manager resumes it. The run going on has no such line yet.
int64_t EndedRuns(int64_t jobId);

}  // namespace lab
