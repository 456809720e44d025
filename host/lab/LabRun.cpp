// quarn-lab run: starts the host program the way the job manager starts a job process: the argument
// vector directly (never a shell), "-j <job> -jt <token> -a <subclient> -t <level> -d <media agent>
// -cn <client> -numStreams <streams>" from the job's record, each replaced by the same option after
// "--", followed by the other options after "--", and the lab named in the environment. While the job
// runs it holds the lab's run lock and shows each VM's progress; then it says how the job ended and
// exits by the job's outcome.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "host/lab/LabTool.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabBlockDevices.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobIds.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabStubPhase.h"
#include "platform/lab/LabSubclient.h"
#include "platform/lab/LabTasks.h"
#include "platform/os/ZtProcess.h"
#include "platform/os/ZtTime.h"
#include "records/messages/JobManagerMessages.h"

extern char** environ;

namespace labtool {
namespace {

// How often the progress records are looked at while nothing else wakes the run (real milliseconds).
constexpr int kLookMs = 500;
// A job told to stop gives its workers this long (in the job's time; a setting may lengthen it) before
// it terminates them; the run then allows the job's own ending this much real time before it kills it.
constexpr int64_t kStopWorkersMinutes = 5;
constexpr int64_t kStopEndingSeconds = 60;
// While the job stops, the run says every so often that it still waits (real seconds).
constexpr int64_t kStillStoppingSeconds = 10;

std::string DefaultProgram() { return ZtProcess::SelfFolder() + "/quarn"; }

std::string OrDefault(const std::string& value, const std::string& fallback) {
  return value.empty() ? fallback : value;
}

// The value after the option in the pass-through arguments; empty when it is not there.
std::string PassedValue(const std::vector<std::string>& passed, const std::string& option) {
  auto it = std::find(passed.begin(), passed.end(), option);
  return it == passed.end() || it + 1 == passed.end() ? std::string() : *(it + 1);
}

// The job manager's options, then the pass-through arguments; an option given after "--" replaces the
// tool's own, so "run LAB -- -t 2" runs an incremental job.
std::vector<std::string> JobArguments(const std::string& program,
                                      const std::vector<std::pair<std::string, std::string>>& options,
                                      const std::vector<std::string>& passed) {
  std::vector<std::string> argv = {program};
  for (const auto& option : options) {
    if (option.second.empty() || std::find(passed.begin(), passed.end(), option.first) != passed.end()) continue;
    argv.push_back(option.first);
    argv.push_back(option.second);
  }
  argv.insert(argv.end(), passed.begin(), passed.end());
  return argv;
}

// ---- Signals: Ctrl-C and the end of the job process wake the run through a pipe ----
int g_wakePipe[2] = {-1, -1};
volatile sig_atomic_t g_interrupts = 0;
volatile sig_atomic_t g_lastSignal = 0;

void OnSignal(int signal) {
  const int saved = errno;
  if (signal != SIGCHLD) {
    ++g_interrupts;
    g_lastSignal = signal;
  }
  const char byte = 1;
  ssize_t ignored = write(g_wakePipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

bool InstallSignalHandlers() {
  if (pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
    if (sigaction(signal, &action, nullptr) != 0) return false;
  return true;
}

void DrainWakePipe() {
  char buffer[64];
  while (read(g_wakePipe[0], buffer, sizeof buffer) > 0) {
  }
}

// The environment with the lab named in it and the lab's tools first on its PATH.
std::vector<std::string> JobEnvironment(const std::string& toolsFolder) {
  const std::string variable = std::string(lab::RootVariable()) + "=";
  std::vector<std::string> envText;
  std::string path = toolsFolder;
  for (char** env = environ; env && *env; ++env) {
    if (std::strncmp(*env, "PATH=", 5) == 0) {
      path += std::string(":") + (*env + 5);
    } else if (std::strncmp(*env, variable.c_str(), variable.size()) != 0) {
      envText.push_back(*env);
    }
  }
  envText.push_back(variable + lab::Root());
  envText.push_back("PATH=" + path);
  return envText;
}

// Starts the program in a process group of its own, so that the run alone hears the terminal's Ctrl-C
// and tells the job; its process id, or -1 with the reason printed.
pid_t StartProgram(std::vector<std::string> argvText, const std::string& toolsFolder) {
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envText = JobEnvironment(toolsFolder);
  std::vector<char*> envp;
  for (std::string& text : envText) envp.push_back(&text[0]);
  envp.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  std::fflush(stdout);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    std::fprintf(stderr, "quarn-lab: cannot start %s: %s\n", argv[0], std::strerror(rc));
    return -1;
  }
  return pid;
}

// What waiting for the job process came to.
struct Ending {
  int status = 0;            // as waitpid gives it
  bool interrupted = false;  // the run was told to stop
  int signal = 0;            // the signal that told it
  bool killed = false;       // the job did not stop in time, or a second Ctrl-C came
};

// How long a job told to stop takes at most: its workers' deadline in the job's time (at least
// kStopWorkersMinutes, or the client's "nStopWorkerTimeoutMinutes"), in real seconds at the job's scale.
struct StopDeadline {
  int64_t minutes = kStopWorkersMinutes;
  int64_t realSeconds = 0;
  int64_t timeScale = 1;
};

StopDeadline StopDeadlineOf(const lab::JobRecord& record, const std::string& client) {
  StopDeadline deadline;
  std::string value;
  int64_t minutes = 0;
  if (lab::ReadSetting(client, "VirtualServer", "nStopWorkerTimeoutMinutes", value) &&
      labkv::ParseInt64InRange(labkv::Trim(value), kStopWorkersMinutes, INT32_MAX, minutes))
    deadline.minutes = minutes;
  deadline.timeScale = std::max<int64_t>(1, record.timeScale);
  deadline.realSeconds = (deadline.minutes * 60 + deadline.timeScale - 1) / deadline.timeScale;
  return deadline;
}

// The names of the job's VMs that are still being backed up.
std::string VMsInProgress(int64_t jobId) {
  using Info = JobManager::VMUpdateInfo;
  std::string names;
  for (const std::string& guid : lab::VMStatusGuids(jobId)) {
    Info info;
    std::string error;
    if (!lab::LoadVMStatus(jobId, guid, info, error) || info.getint64(Info::F_vmStatus) != kVMInProgress) continue;
    names += (names.empty() ? "" : ", ") + info.getstring(Info::F_vmName);
  }
  return names;
}

void SayWhatTheStopWaitsFor(int64_t jobId, const StopDeadline& deadline) {
  const std::string vms = VMsInProgress(jobId);
  std::printf("interrupted: telling job %lld to stop; its workers get up to %lld minutes", static_cast<long long>(jobId),
              static_cast<long long>(deadline.minutes));
  if (deadline.timeScale > 1)
    std::printf(" (%lld s at time scale %lld)", static_cast<long long>(deadline.realSeconds),
                static_cast<long long>(deadline.timeScale));
  std::printf(" to end %s before they are terminated; Ctrl-C again kills the job now\n",
              vms.empty() ? "what they do" : ("the backups of " + vms).c_str());
}

// Waits for the job process, showing progress as its records change. The first Ctrl-C (or SIGTERM,
// SIGHUP) is passed on to the job, which stops as the job manager's stop would stop it, within its
// workers' deadline; a second one, or a job that has not ended kStopEndingSeconds after that
// deadline, kills the job's processes.
bool WaitForJob(pid_t pid, int64_t jobId, const StopDeadline& deadline, RunWatch& watch, Ending& ending) {
  int forwarded = 0;
  long long stopAsked = 0, lastSaid = 0;
  const long long tick = CTimeInterval::FromSeconds(1).Ticks();
  for (;;) {
    int status = 0;
    const pid_t waited = waitpid(pid, &status, WNOHANG);
    if (waited == pid) {
      ending.status = status;
      watch.Look();
      return true;
    }
    if (waited < 0 && errno != EINTR) {
      std::fprintf(stderr, "quarn-lab: lost the job process: %s\n", std::strerror(errno));
      return false;
    }
    const int interrupts = g_interrupts;
    const long long now = ZtClock::MonotonicTicks();
    if (interrupts > forwarded) {
      ending.interrupted = true;
      ending.signal = g_lastSignal;
      if (forwarded == 0) {
        SayWhatTheStopWaitsFor(jobId, deadline);
        std::fflush(stdout);
        kill(pid, SIGINT);
        stopAsked = lastSaid = now;
      } else {
        std::printf("interrupted again: killing the job's processes\n");
        ending.killed = true;
        kill(-pid, SIGKILL);
      }
      forwarded = interrupts;
    } else if (stopAsked > 0 && !ending.killed) {
      const long long waited = (now - stopAsked) / tick;
      if (waited >= deadline.realSeconds + kStopEndingSeconds) {
        std::printf("job %lld did not end within %lld s of being told to stop: killing its processes\n",
                    static_cast<long long>(jobId), waited);
        ending.killed = true;
        kill(-pid, SIGKILL);
      } else if ((now - lastSaid) / tick >= kStillStoppingSeconds) {
        const std::string vms = VMsInProgress(jobId);
        std::printf("still waiting for job %lld to stop (%lld s so far; its workers' deadline is %lld s)%s\n",
                    static_cast<long long>(jobId), waited, static_cast<long long>(deadline.realSeconds),
                    vms.empty() ? "" : ("; in progress: " + vms).c_str());
        lastSaid = now;
      }
    }
    watch.Look();
    std::fflush(stdout);
    pollfd ready = {g_wakePipe[0], POLLIN, 0};
    const int wait = ZtClock::PollMs(ZtClock::DeadlineAfter(CTimeInterval::FromMilliseconds(kLookMs)), kLookMs);
    if (poll(&ready, 1, wait) > 0) DrainWakePipe();
  }
}

// The job "run" runs without --job: the subclient's newest job until it has ended, then the next one,
// made as "create --job" would make it, with every VM the lab has; a subclient without a job gets its
// first one. A newest job that has not ended but that no attempt will run (a later job of the subclient
// has run, by any record the lab knows it from: its folder may be lost) is passed over as an ended one
// is, saying why: the schedule goes on. A new job's id is past every job the lab knows of, so that no id
// names two jobs: a job whose records were lost keeps its id and its restore points. False with the
// reason when it cannot be made.
bool ChooseJob(const std::string& subclient, int64_t& jobId, std::string& error) {
  // A newest job whose record does not read may be the subclient's: it is not run over, unless a later
  // job of the subclient has run since (then no attempt of it runs, whosever it is).
  const int64_t newest = lab::NewestJob(subclient, true);
  const lab::KnownJobIds known = lab::FindKnownJobIds();
  std::vector<int64_t> later;
  if (newest > 0) {
    jobId = newest;
    const JobOutcome outcome = ReadJobOutcome(newest);
    if (!HasEnded(outcome)) {
      later = LaterJobsThatHaveRun(known, newest, subclient);
      if (later.empty()) {
        if (outcome.state != JobState::kNoOutcome || !lab::ReadRunEvents(newest).empty())
          std::printf("job %lld has not ended: %s; running it again, as the job manager resumes it\n",
                      static_cast<long long>(newest), outcome.words.c_str());
        return true;
      }
    }
  }
  lab::LabPlan plan;
  plan.subclient = subclient;
  if (!lab::ReadLabPlan(plan, error)) return false;
  plan.jobId = lab::NextBackupJobId(known, error);
  if (plan.jobId == 0) return false;
  int kept = 0;
  if (!lab::CreateLab(lab::Root(), plan, kept, error)) return false;
  jobId = plan.jobId;
  const std::string vms = Counted(lab::PlannedVMNumbers(plan).size(), "VM");
  if (newest == 0) {
    std::printf("subclient %s has no job yet: running its first job, %lld, with the lab's %s\n", subclient.c_str(),
                static_cast<long long>(jobId), vms.c_str());
    return true;
  }
  const std::string next = "running the subclient's next job, " + std::to_string(jobId) + ", with the lab's " + vms +
                           " and the same settings";
  if (later.empty()) {
    std::printf("job %lld has ended: %s\n", static_cast<long long>(newest), next.c_str());
  } else {
    // Passed over: a job that has run (by its folder, or by what only a run leaves) will not run again;
    // one only made will not run at all.
    const auto record = known.jobs.find(newest);
    const bool ran = lab::JobFolderShowsARun(newest) || (record != known.jobs.end() && record->second.runRecorded);
    const std::string job = std::to_string(newest), laterText = std::to_string(later.front());
    std::printf("job %s will not run%s: %sjob %s of subclient %s has started since, and the job manager runs no "
                "attempt of job %s after it; %s\n",
                job.c_str(), ran ? " again" : "", ran ? "" : "it was made and never run, and ", laterText.c_str(),
                subclient.c_str(), job.c_str(), next.c_str());
  }
  std::string gone;
  for (const std::string& name : lab::SampleVMsOfJob(newest)) {
    std::string server;
    lab::VMDescription vm;
    lab::UnreadableVM unreadable;
    if (lab::FindLabVM(name, server, vm)) continue;
    if (lab::FindUnreadableLabVM(name, server, unreadable))
      std::printf("  %s is in it, though %s: the job says why it does not back it up\n", name.c_str(),
                  unreadable.Text().c_str());
    else
      gone += (gone.empty() ? "" : ", ") + name;
  }
  if (!gone.empty())
    std::printf("  not in it: %s, of job %lld, no longer on the hypervisor\n", gone.c_str(),
                static_cast<long long>(newest));
  return true;
}

// Refuses the run because another holds the lab: the same job, or another one of the lab; or the job
// process of a run whose lab tool was killed, which goes on as the job manager's would.
int Refused(const lab::RunHolder& holder, int64_t jobId) {
  std::string text = "refused: job " + std::to_string(holder.jobId) + " is running";
  if (holder.orphaned) {
    const std::string process = std::to_string(holder.jobProcess);
    text += " (its job process " + process + ", whose quarn-lab run was killed; kill -INT " + process +
            " tells it to stop)";
  } else if (holder.pid > 0) {
    text += " (quarn-lab run, process " + std::to_string(holder.pid) + ")";
  }
  if (holder.jobId != jobId) text += " in this lab, and a lab runs one job at a time";
  Failure(text);
  return kExitNotStarted;
}

// Refuses an attempt of a job once a later job of its subclient has run: that job's backups build on
// the job's, or report a stub by them, and an attempt of the job supersedes what it backed up. Each
// job is checked, the one named and the one the job process works as ("-- -j"), each by its own
// record's subclient. 0 when none is refused; else the run's exit code, with the refusal said.
int RefuseAttemptAfterALaterJob(const std::vector<int64_t>& jobs) {
  for (int64_t job : jobs) {
    const std::string subclient = SubclientOfJob(job);
    const std::vector<int64_t> later = LaterJobsThatHaveRun(job, subclient);
    if (later.empty()) continue;
    const std::string jobText = std::to_string(job), laterText = std::to_string(later.front());
    Failure("refused: job " + laterText + " of subclient " + subclient + " has started since job " + jobText +
            "; a later attempt of job " + jobText + " would change what job " + laterText +
            " restores, so the job manager runs no attempt of it again");
    return kExitNotStarted;
  }
  return 0;
}

bool Passes(const std::vector<std::string>& passed, const char* option) {
  return std::find(passed.begin(), passed.end(), option) != passed.end();
}

// The job "-- -j" names, the job the process works as: 0 when it names none. False with the reason
// when its value does not read as a job id, or names no job of the lab.
bool PassedJob(const std::vector<std::string>& passed, int64_t& job, std::string& error) {
  job = 0;
  if (!Passes(passed, "-j")) return true;
  const std::string value = PassedValue(passed, "-j");
  if (!lab::ReadsAsId(value, job)) {
    error = "-j takes the id of a job of the lab as its records name it (digits alone), not '" + value + "'";
    return false;
  }
  if (lab::JobExists(job)) return true;
  error = "-j names job " + value + ", which the lab does not have";
  return false;
}

// "-- -a" names the subclient the job process works as: none, or the subclient of the job that runs.
bool CheckPassedSubclient(const std::vector<std::string>& passed, const std::string& subclient,
                          const std::string& whose, std::string& error) {
  if (!Passes(passed, "-a")) return true;
  const std::string value = PassedValue(passed, "-a");
  if (value == subclient) return true;
  uint64_t number = 0;
  if (!labkv::ParseUInt64(value, number))
    error = "-a takes a subclient id (digits alone), not '" + value + "'";
  else
    error = "-a " + value + " names another subclient than " + whose + ", subclient " + subclient +
            ": a run is its job's own";
  return false;
}

// A run is its job's own: its record's subclient is the one the job process works as. "--subclient",
// "-- -a" and the job "-- -j" names must all be that subclient's. False with the reason otherwise;
// `unreadable` is set when the record of the job "-- -j" names does not read.
bool CheckRunSubclient(const Arguments& parsed, int64_t jobId, const std::string& subclient, int64_t passedJob,
                       bool& unreadable, std::string& error) {
  unreadable = false;
  const std::string whose = "job " + std::to_string(jobId) + "'s";
  if (parsed.options.count("subclient") && parsed.options.at("subclient") != subclient) {
    error = "job " + std::to_string(jobId) + " is of subclient " + subclient + " (its record's), not of subclient " +
            parsed.options.at("subclient") + ": a run is its job's own";
    return false;
  }
  if (!CheckPassedSubclient(parsed.passThrough, subclient, whose, error)) return false;
  if (passedJob == 0 || passedJob == jobId) return true;
  lab::JobRecord record;
  if (!lab::ReadJobRecord(passedJob, record, error)) {
    unreadable = true;
    error = "the record of job " + std::to_string(passedJob) + ", which -j names, does not read: " + error;
    return false;
  }
  const std::string passedSubclient = lab::SubclientOfRecord(record);
  if (passedSubclient == subclient) return true;
  error = "-j names job " + std::to_string(passedJob) + " of subclient " + passedSubclient + ", and job " +
          std::to_string(jobId) + " is of subclient " + subclient + ": a run is its job's own";
  return false;
}

// The job manager's options given after "--" that the run itself reads, checked before anything is
// chosen or made for the run: a stream count and a backup level.
bool CheckPassedOptions(const std::vector<std::string>& passed, std::string& error) {
  const std::string streams = PassedValue(passed, "-numStreams");
  int64_t number = 0;
  if (std::find(passed.begin(), passed.end(), "-numStreams") != passed.end() &&
      !labkv::ParseInt64InRange(streams, 0, lab::kMaxJobStreams, number)) {
    error = "-numStreams takes 0 to " + std::to_string(lab::kMaxJobStreams) + " streams";
    return false;
  }
  if (std::find(passed.begin(), passed.end(), "-t") != passed.end() &&
      !labkv::ParseInt64InRange(PassedValue(passed, "-t"), 1, INT32_MAX, number)) {
    error = "-t takes a backup level, a number from 1 (1 full, 2 incremental)";
    return false;
  }
  return true;
}

// A job keeps the level it was started with, as the job manager keeps it: "-t" on the first run of a
// job sets its record's level, and a later run (a resume) that asks for another is refused.
bool CheckLevel(int64_t jobId, const lab::JobRecord& record, const std::vector<std::string>& passed,
                int64_t& level, std::string& error) {
  level = record.bkpLevel;
  const std::string asked = PassedValue(passed, "-t");
  int64_t number = 0;
  if (asked.empty() || !labkv::ParseInt64(asked, number) || number == record.bkpLevel) return true;
  if (lab::JobFolderShowsARun(jobId)) {
    error = "job " + std::to_string(jobId) + " has run at level " + std::to_string(record.bkpLevel) + " (" +
            LevelName(record.bkpLevel) + "), and every later run of it keeps that level: leave out -t (or give -t " +
            std::to_string(record.bkpLevel) + ")";
    return false;
  }
  level = number;
  return true;
}

bool KeepLevel(int64_t jobId, int64_t level, std::string& error) {
  return lab::UpdateJobRecord(
      jobId,
      [level](lab::JobRecord& record, std::string&) {
        record.bkpLevel = level;
        return true;
      },
      error);
}

// Reserves the job's streams as the job manager does before it starts the job process; the count
// (empty: none reserved) goes on as "-numStreams".
bool ReserveStreams(int64_t jobId, const lab::JobRecord& record, const std::vector<std::string>& passed,
                    std::string& count, std::string& error) {
  count = PassedValue(passed, "-numStreams");
  if (count.empty() && record.streams >= 0) count = std::to_string(record.streams);
  if (count.empty()) return true;
  int64_t streams = 0;
  if (!labkv::ParseInt64InRange(count, 0, lab::kMaxJobStreams, streams)) {
    error = "the job record's streams cannot be reserved: " + count;
    return false;
  }
  std::string mediaAgent = PassedValue(passed, "-d");
  if (mediaAgent.empty()) mediaAgent = OrDefault(record.mediaAgent, lab::SampleMediaAgent());
  int64_t mediaAgentId = 0;
  ZTClient::getId(mediaAgent, mediaAgentId);
  if (!lab::ReserveJobStreams(jobId, static_cast<int>(streams), static_cast<int32_t>(mediaAgentId), error)) {
    error = "the job's streams cannot be reserved: " + error;
    return false;
  }
  return true;
}

// The streams of the job's ledger: every stream id it reserved, whatever became of the reservation.
size_t LedgerStreams(int64_t jobId) {
  lab::ReservationLedger ledger;
  std::string error;
  std::set<int32_t> streams;
  if (lab::ReadReservationLedger(jobId, ledger, error))
    for (const lab::Reservation& reservation : ledger.reservations) streams.insert(reservation.streamId);
  return streams.size();
}

// What kind of job the options make it, in words, for the summary.
std::string JobKind(const std::vector<std::string>& argv, int64_t level) {
  const auto has = [&argv](const char* option) { return std::find(argv.begin(), argv.end(), option) != argv.end(); };
  if (has("-stubPhase")) return "stub phase of its " + LevelName(level) + " backup";
  if (has("-snapcatalog")) return "snapshot catalogue";
  if (has("-snaptape")) return "backup copy of a snapshot";
  if (has("-snap")) return LevelName(level) + " snapshot backup";
  return LevelName(level) + " backup";
}

std::set<std::string> ArchivePaths(int64_t jobId) {
  std::set<std::string> paths;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) paths.insert(location.path);
  return paths;
}

std::string Now() { return TimeText(static_cast<int64_t>(ZtClock::NowSeconds())); }

std::string NameList(const std::vector<std::string>& names) {
  std::string listed;
  for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
  return listed;
}

std::string OptionsText(const std::vector<std::string>& options) {
  std::string text;
  for (const std::string& option : options) text += (text.empty() ? "" : " ") + option;
  return text;
}

// The options after "--" grouped by name: an option and the values that follow it up to the next one.
std::vector<std::vector<std::string>> OptionGroups(const std::vector<std::string>& options) {
  std::vector<std::vector<std::string>> groups;
  for (const std::string& option : options) {
    if (groups.empty() || (!option.empty() && option[0] == '-'))
      groups.push_back({option});
    else
      groups.back().push_back(option);
  }
  return groups;
}

// The options of the attempt a resume runs again: the recorded ones, less those the resume gives itself
// (which replace them), "-t" (a job keeps the level of its first run, which its record holds), "-j" and
// "-a" (the job and its subclient, which the run names from the job's record) and "-stubPhase", then
// the resume's own.
std::vector<std::string> ResumedOptions(const std::vector<std::string>& recorded, const std::vector<std::string>& own) {
  std::vector<std::string> options;
  for (const std::vector<std::string>& group : OptionGroups(recorded)) {
    const std::string& name = group.front();
    if (name == "-t" || name == "-j" || name == "-a" || name == "-stubPhase" || Passes(own, name.c_str())) continue;
    options.insert(options.end(), group.begin(), group.end());
  }
  options.insert(options.end(), own.begin(), own.end());
  return options;
}

// How a run of the job's backup phase was cut short, in words; empty when it was not: its job process
// killed, ended (or, its lab tool killed, gone) without a phase result, or its run interrupted. A run
// that set a result of its own went pending by itself, and its resume is the job manager's own.
std::string HowItWasCutShort(int64_t jobId, const lab::JobRun& run) {
  if (run.end == lab::JobRun::End::kInterrupted) return "interrupted (signal " + std::to_string(run.signal) + ")";
  if (run.end == lab::JobRun::End::kEnded && run.signal != 0) return "killed by signal " + std::to_string(run.signal);
  if (!lab::PhaseResultsOf(jobId, run).empty()) return std::string();
  if (run.end == lab::JobRun::End::kEnded)
    return "ended (status=" + std::to_string(run.status) + ") without a phase result";
  return "whose lab tool was killed, ended without a phase result";
}

// The job manager resumes the phase that has not ended. After a run of the job's stub phase that did
// not end the job (its process killed, or ended without a result, pending, interrupted), the next run
// runs the stub phase again, which goes on with a stub that was cut off.
void ResumeStubPhase(int64_t jobId, const JobOutcome& outcome, bool logged, const lab::StubPhaseTraces& traces,
                     std::vector<std::string>& passed) {
  // How it is known goes in the parenthesis; the outcome's words, which have parentheses of their own,
  // follow it.
  std::string known = "runs.log shows its last run";
  std::string words = ": " + outcome.words;
  if (!logged) {
    known = traces.stubbed.empty() ? "runs.log does not show it, but the job manager holds " + NameList(traces.taken) +
                                         " as taken by it and not archived"
                                   : "runs.log does not show it, but the stub records of " + NameList(traces.stubbed) +
                                         " name the job";
    words.clear();
  }
  std::printf("the stub phase of job %lld has not ended (%s)%s; running the stub phase again with -stubPhase, as the "
              "job manager resumes it\n",
              static_cast<long long>(jobId), known.c_str(), words.c_str());
  passed.push_back("-stubPhase");
}

// After a run of the job's backup phase that was cut short, the next run runs the backup phase again
// with that run's options (those the resume gives replace them), as the job manager resumes an attempt;
// the job's stub phase then follows as for any attempt. `traces` are those an earlier attempt's stub
// phase left, which runs.log shows ended before the latest run began: they are no sign of the phase
// that has not ended.
void ResumeBackupPhase(int64_t jobId, const JobOutcome& outcome, const lab::JobRun& latest,
                       const std::string& cutShort, const lab::StubPhaseTraces& traces,
                       std::vector<std::string>& passed) {
  std::string known = "runs.log shows its latest run, a backup phase, " +
                      (cutShort.empty() ? "which left it " + outcome.words : cutShort);
  if (!traces.stubbed.empty() || !traces.taken.empty()) {
    const std::vector<std::string>& named = traces.stubbed.empty() ? traces.taken : traces.stubbed;
    known += "; " + std::string(traces.stubbed.empty() ? "the job manager's records of " : "the stub records of ") +
             NameList(named) + " are of its stub phase that ended before that run began";
  }
  std::string error;
  if (!cutShort.empty() && !latest.optionsKept) {
    known += "; runs.log does not keep the options that run was given";
  } else if (!cutShort.empty()) {
    // A line changed since its run wrote it is no run's options.
    const std::vector<std::string> resumed = ResumedOptions(latest.options, passed);
    if (CheckPassedOptions(resumed, error))
      passed = resumed;
    else
      known += "; the options runs.log keeps of that run do not read: " + error;
  }
  const std::string with = passed.empty() ? "the options the job's record gives" : OptionsText(passed);
  std::printf("the backup phase of job %lld has not ended (%s); running the backup phase again with %s, as the job "
              "manager resumes it\n",
              static_cast<long long>(jobId), known.c_str(), with.c_str());
}

// Which phase a run of a job that has not ended runs, unless its options name one: the phase its latest
// run left unended. That is read from runs.log and, where runs.log cannot tell (lost, a "started" line
// without its phase, a line of a process that never ran), from the VMs: a backup phase run again over
// the job's stubs would back their VMs up without the disks the stubs deleted. Once runs.log shows that
// the latest attempt, a backup phase, began after a stub phase of the job, what that stub phase left is
// an earlier attempt's.
void ResumeThePhaseThatHasNotEnded(int64_t jobId, std::vector<std::string>& passed) {
  if (Passes(passed, "-stubPhase")) return;
  const JobOutcome outcome = ReadJobOutcome(jobId);
  if (HasEnded(outcome)) return;
  const std::vector<lab::JobRun> runs = lab::ReadRuns(jobId);
  if (!runs.empty() && runs.back().phaseNamed && runs.back().phase == lab::JobPhase::kStub)
    return ResumeStubPhase(jobId, outcome, true, lab::StubPhaseTraces(), passed);
  const lab::StubPhaseTraces traces = lab::FindStubPhaseTraces(jobId);
  const bool earlierAttempts = lab::LatestAttemptBeganAfterAStubPhase(runs);
  if (!earlierAttempts && (!traces.stubbed.empty() || outcome.stubPhaseNotEnded))
    return ResumeStubPhase(jobId, outcome, false, traces, passed);
  if (runs.empty() || !runs.back().phaseNamed) return;
  const std::string cutShort = HowItWasCutShort(jobId, runs.back());
  if (!cutShort.empty() || earlierAttempts)
    ResumeBackupPhase(jobId, outcome, runs.back(), cutShort, earlierAttempts ? traces : lab::StubPhaseTraces(),
                      passed);
}

// A job process that ended without giving its streams back (killed, or ended without a phase
// result) holds them no longer: the job manager takes them back, as it does at a phase's end. A stream
// still open on a process that runs is not taken from it (it still writes to it): false when there is
// one, each named.
bool GiveBackLeftStreams(int64_t jobId, const char* whose) {
  int released = 0;
  std::vector<lab::Reservation> stillOpen;
  std::string error;
  if (!lab::ReleaseLeftReservations(jobId, released, stillOpen, error)) {
    Warn("the streams " + std::string(whose) + " cannot be given back: " + error);
    return true;
  }
  if (released > 0)
    std::printf("%s left %s reserved: given back\n", whose, Counted(static_cast<uint64_t>(released), "stream").c_str());
  for (const lab::Reservation& reservation : stillOpen)
    std::printf("stream %d of job %lld stays reserved: it is open on %s, a process that still runs\n",
                static_cast<int>(reservation.streamId), static_cast<long long>(jobId), reservation.holder.c_str());
  return stillOpen.empty();
}

// What the job's processes that died held beside media streams, the hypervisor's disk streams and
// their registrations with the clean-up service, they hold no longer: the job manager takes them
// back with the streams.
void GiveBackWhatDeadProcessesHeld(int64_t jobId, const char* whose) {
  int64_t diskStreams = 0;
  std::string error;
  if (!lab::ReleaseLeftDiskStreams(jobId, diskStreams, error))
    Warn("the hypervisor disk streams " + std::string(whose) + " held cannot be given back: " + error);
  if (diskStreams > 0)
    std::printf("%s left %s of the hypervisor held: given back\n", whose,
                Counted(static_cast<uint64_t>(diskStreams), "disk stream").c_str());
  size_t registrations = 0;
  if (!lab::TakeBackLeftCleanupRegistrations(jobId, registrations, error))
    Warn("the clean-up registrations " + std::string(whose) + " left cannot be taken back: " + error);
  if (registrations > 0)
    std::printf("%s left %s with the clean-up service: taken back\n", whose,
                Counted(registrations, "registration").c_str());
}

// Once a run of a job starts, no attempt of an earlier job of its subclient runs again (a run of one is
// refused): what the processes of each such job that had not ended held when they died, the job
// manager takes back now, as a resume of that job would have, and the run says so. A process that still
// runs keeps what it has: a stream it has open, and the mounts of its job.
void GiveBackWhatEarlierJobsLeft(int64_t jobId, const std::string& subclient) {
  for (int64_t job : lab::ListJobs()) {
    if (job >= jobId) break;
    // Only a job a process of which died holds anything once its run has ended; sessions.log tells
    // that cheaply, before the job's outcome is read.
    const lab::UnendedProcesses processes = lab::UnendedJobProcesses(job);
    if (processes.dead.empty() || SubclientOfJob(job) != subclient || HasEnded(ReadJobOutcome(job))) continue;
    const std::string whose = "job " + std::to_string(job) + ", which no attempt will run again,";
    GiveBackWhatDeadProcessesHeld(job, whose.c_str());
    GiveBackLeftStreams(job, whose.c_str());
    if (!processes.running.empty()) {
      std::printf("the mounts of job %lld stay: its process %s:%ld still runs\n", static_cast<long long>(job),
                  processes.running.front().first.c_str(), processes.running.front().second);
      continue;
    }
    std::vector<std::string> ended;
    std::string error;
    if (!lab::EndLeftMounts(job, ended, error)) Warn("what job " + std::to_string(job) + " left mounted: " + error);
    std::string names;
    for (const std::string& name : ended) names += (names.empty() ? "" : ", ") + name;
    if (!ended.empty())
      std::printf("%s left %s mounted (%s): unmounted\n", whose.c_str(), Counted(ended.size(), "VM").c_str(),
                  names.c_str());
  }
}

}  // namespace

int Run(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("run"), parsed, error)) return UsageError(error, "run");
  if (parsed.positional.size() != 1) return UsageError("run takes exactly one lab folder", "run");
  if (!SelectLab(parsed.positional[0], error)) return UsageError(error, "run");
  const std::string subclientOption = TextOption(parsed, "subclient", "1");
  // Refused before anything is chosen or made for it (a running job is no job that has run).
  lab::RunHolder running;
  if (lab::CurrentRun(running)) {
    int64_t asked = running.jobId;
    if (parsed.options.count("job")) labkv::ParseInt64(parsed.options["job"], asked);
    return Refused(running, asked);
  }
  // Every argument is checked before a job is chosen or made: a bad one changes nothing.
  if (!lab::IsSafeComponent(subclientOption) || !lab::IsSafeArgument(subclientOption))
    return UsageError("subclient id '" + subclientOption + "' is not usable", "run");
  if (parsed.options.count("client") && (!lab::IsSafeArgument(parsed.options["client"]) ||
                                         !CheckClient(parsed.options["client"], error)))
    return UsageError(error.empty() ? "client name '" + parsed.options["client"] + "' is not usable" : error, "run");
  const std::string program = TextOption(parsed, "program", DefaultProgram());
  if (access(program.c_str(), X_OK) != 0) {
    const std::string why = "cannot run " + program + ": " + std::strerror(errno);
    if (parsed.options.count("program")) return UsageError(why, "run");
    Failure(why);
    return kExitNotStarted;
  }
  if (!CheckPassedOptions(parsed.passThrough, error)) return UsageError(error, "run");
  int64_t passedJob = 0;
  if (!PassedJob(parsed.passThrough, passedJob, error)) return UsageError(error, "run");
  int64_t jobId = 0;
  if (parsed.options.count("job")) {
    if (!SelectJob(parsed, jobId, error)) return UsageError(error, "run");
  } else if (passedJob > 0) {
    // The job "-- -j" names is the job that runs: none is chosen or made beside it.
    jobId = passedJob;
  } else {
    // A subclient's next job is its own, never another subclient's.
    lab::SubclientRecord subclientRecord;
    if (lab::ReadSubclientRecord(subclientOption, subclientRecord, error) == lab::RecordRead::kMissing) {
      const std::string why = "the lab has no subclient " + subclientOption;
      if (parsed.options.count("subclient")) return UsageError(why, "run");
      return Failure("no job to run: " + why + " (give --subclient or --job)");
    }
    if (!CheckPassedSubclient(parsed.passThrough, subclientOption, "the one the run is of", error))
      return UsageError(error, "run");
    if (!ChooseJob(subclientOption, jobId, error)) return Failure("no job to run: " + error);
  }

  // A record whose values could not be handed on as single arguments (a token "-client" would turn
  // the coordinator into an agent) is refused here, by its reader.
  lab::JobRecord record;
  if (!lab::ReadJobRecord(jobId, record, error)) {
    Failure("the job cannot be run: " + error);
    return kExitNotStarted;
  }
  const std::string subclient = lab::SubclientOfRecord(record);
  bool unreadable = false;
  if (!CheckRunSubclient(parsed, jobId, subclient, passedJob, unreadable, error)) {
    if (!unreadable) return UsageError(error, "run");
    Failure("the job cannot be run: " + error);
    return kExitNotStarted;
  }
  int64_t level = 1;
  if (!CheckLevel(jobId, record, parsed.passThrough, level, error)) return UsageError(error, "run");
  std::string client = TextOption(parsed, "client", OrDefault(record.client, "coordinator"));
  if (!lab::IsSafeComponent(subclient) || !lab::IsSafeArgument(subclient))
    return UsageError("subclient id '" + subclient + "' is not usable", "run");
  if (!lab::IsSafeArgument(client) || !CheckClient(client, error)) return UsageError(error, "run");

  // Before anything of the run changes the lab: the stub phase's resume, the lock, the level, the streams.
  const int64_t processJob = passedJob > 0 ? passedJob : jobId;
  if (const int refused = RefuseAttemptAfterALaterJob({jobId, processJob})) return refused;

  // Before the run holds the job: it is then running, and its last run's outcome is not seen.
  ResumeThePhaseThatHasNotEnded(jobId, parsed.passThrough);

  // One job of a lab runs at a time: they would share the clients' process tables and streams.
  lab::LabRunLock lock;
  lab::RunHolder holder;
  if (!lock.Acquire(jobId, holder, error)) {
    if (holder.jobId == 0 && holder.pid == 0 && error != "the lab runs another job") {
      Failure("cannot take the lab's run lock: " + error);
      return kExitNotStarted;
    }
    return Refused(holder, jobId);
  }
  // Looked at again under the lock: a run of a later job may have ended since.
  if (const int refused = RefuseAttemptAfterALaterJob({jobId, processJob})) return refused;
  const std::string earlierRun = "an earlier run of job " + std::to_string(jobId);
  GiveBackWhatDeadProcessesHeld(jobId, earlierRun.c_str());
  // A process of an earlier run that still writes to a stream of the job would share it with this run.
  if (!GiveBackLeftStreams(jobId, earlierRun.c_str())) {
    Failure("refused: a process of an earlier run of job " + std::to_string(jobId) +
            " still has a stream of it open; run the job again once that process has ended");
    return kExitNotStarted;
  }
  if (level != record.bkpLevel) {
    if (!KeepLevel(jobId, level, error)) {
      Failure("the job's level cannot be kept in its record: " + error);
      return kExitNotStarted;
    }
    std::printf("job %lld runs at level %lld (%s): its record keeps the level for every run of it\n",
                static_cast<long long>(jobId), static_cast<long long>(level), LevelName(level).c_str());
    record.bkpLevel = level;
  }
  std::string streams;
  if (!ReserveStreams(jobId, record, parsed.passThrough, streams, error)) {
    Failure(error);
    return kExitNotStarted;
  }
  if (!InstallSignalHandlers()) {
    Failure(std::string("cannot watch for Ctrl-C: ") + std::strerror(errno));
    return kExitNotStarted;
  }
  GiveBackWhatEarlierJobsLeft(jobId, subclient);

  const std::string jobText = std::to_string(jobId);
  std::vector<std::string> argv =
      JobArguments(program,
                   {{"-j", jobText},
                    {"-jt", OrDefault(record.token, lab::SampleJobToken(jobId))},
                    {"-a", subclient},
                    {"-t", std::to_string(record.bkpLevel)},
                    {"-d", OrDefault(record.mediaAgent, lab::SampleMediaAgent())},
                    {"-cn", client},
                    {"-numStreams", streams}},
                   parsed.passThrough);
  // The job is watched and recorded where the job process works, whichever job and client "--" chose.
  const int64_t shownJob = processJob;
  std::string passedClient = PassedValue(parsed.passThrough, "-cn");
  const std::string shownClient = lab::IsSafeComponent(passedClient) ? passedClient : client;
  const std::string kind = JobKind(argv, record.bkpLevel);

  int64_t streamCount = 0;
  labkv::ParseInt64(streams, streamCount);
  std::printf("running job %lld (%s) on %s%s\n", static_cast<long long>(shownJob), kind.c_str(), shownClient.c_str(),
              streams.empty() ? " without streams"
                              : (" with " + Counted(static_cast<uint64_t>(streamCount), "stream") + " reserved").c_str());
  std::string tools;
  if (!lab::InstallLabTools(ZtProcess::SelfPath(), tools, error))
    return Failure("the lab's tools cannot be put in place: " + error);
  const size_t run = static_cast<size_t>(lab::StartedRuns(shownJob)) + 1;
  const std::set<std::string> earlierArchives = ArchivePaths(shownJob);
  const size_t streamsAtStart = LedgerStreams(shownJob);
  const StopDeadline deadline = StopDeadlineOf(record, shownClient);
  if (!lab::CloseLostRun(shownJob, Now()))
    Warn("the killed run of job " + std::to_string(shownJob) + " cannot be closed in its runs.log: this run may not "
         "count as a later attempt");
  // Counted before the job process can add to them: what follows is this run's.
  const lab::JobLineCounts before = lab::CountJobLines(shownJob);
  const long long started = ZtClock::MonotonicTicks();
  const pid_t pid = StartProgram(argv, tools);
  if (pid < 0) return kExitNotStarted;
  if (!lock.NameJobProcess(static_cast<long>(pid)))
    Warn(std::string("the run lock cannot name the job process: if this run is killed, the lab does not wait for "
                     "the job process: ") + std::strerror(errno));
  lab::AppendRunStart(shownJob, Now(), static_cast<long>(pid),
                      Passes(argv, "-stubPhase") ? lab::JobPhase::kStub : lab::JobPhase::kBackup, before,
                      parsed.passThrough);
  RunWatch watch(shownJob);
  Ending ending;
  if (!WaitForJob(pid, shownJob, deadline, watch, ending)) return kExitFailed;
  const double seconds = CTimeInterval(ZtClock::MonotonicTicks() - started).AsSeconds();
  if (ending.interrupted) {
    lab::AppendRunInterrupted(shownJob, Now(), ending.signal);
  } else {
    const int signal = WIFSIGNALED(ending.status) ? WTERMSIG(ending.status) : 0;
    lab::AppendRunEnd(shownJob, Now(), signal != 0 ? 128 + signal : WEXITSTATUS(ending.status), signal);
  }
  const std::string jobProcess = "the job process of job " + std::to_string(shownJob);
  GiveBackLeftStreams(shownJob, jobProcess.c_str());
  GiveBackWhatDeadProcessesHeld(shownJob, jobProcess.c_str());
  lock.Release();
  if (WIFSIGNALED(ending.status))
    std::printf("%s was killed by signal %d\n", program.c_str(), WTERMSIG(ending.status));
  else
    std::printf("%s exited with code %d\n", program.c_str(), WEXITSTATUS(ending.status));

  PrintOutcome(shownJob, shownClient);
  RunSummary summary;
  summary.seconds = seconds;
  summary.kind = kind;
  summary.level = record.bkpLevel;
  summary.run = run;
  summary.earlierArchives = earlierArchives;
  summary.streamsAtStart = streamsAtStart;
  summary.streamsAtEnd = LedgerStreams(shownJob);
  watch.PrintSummary(summary);
  const JobOutcome outcome = ReadJobOutcome(shownJob);
  return ending.interrupted ? kExitInterrupted : OutcomeExitCode(outcome);
}

}  // namespace labtool
