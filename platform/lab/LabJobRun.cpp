#include "platform/lab/LabJobRun.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/ZtProcess.h"
#include "platform/os/ZtTime.h"

namespace lab {
namespace {

const char* const kLockFile = "run.lock";
const char* const kEventsFile = "runs.log";
constexpr size_t kMaxHolderBytes = 4096;
constexpr int kHolderLooks = 50;
constexpr int kHolderLookMs = 10;

std::string LockPath() {
  const std::string jobs = JobsDir();
  return jobs.empty() ? std::string() : jobs + "/" + kLockFile;
}

int OpenLock(std::string& error) {
  const std::string path = LockPath();
  if (path.empty()) {
    error = "no lab";
    return -1;
  }
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) error = "cannot open " + path + ": " + std::strerror(errno);
  return fd;
}

// True when the lock could be taken (and is then held through fd).
bool TryLock(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// The holder's text, read through the open lock file (the holder writes it once it has the lock).
void ReadHolder(int fd, RunHolder& holder) {
  char buffer[kMaxHolderBytes];
  ssize_t n = pread(fd, buffer, sizeof buffer, 0);
  if (n <= 0) return;
  std::map<std::string, std::string> values;
  std::string error;
  std::string text(buffer, static_cast<size_t>(n));
  for (char& c : text)
    if (c == ' ') c = '\n';
  if (!labkv::Parse(text, values, error)) return;
  int64_t number = 0;
  if (labkv::ParseInt64(values["job"], number)) holder.jobId = number;
  if (labkv::ParseInt64InRange(values["pid"], 1, INT32_MAX, number)) holder.pid = static_cast<long>(number);
  if (labkv::ParseInt64(values["started"], number)) holder.started = number;
  if (labkv::ParseInt64InRange(values["process"], 1, INT32_MAX, number)) holder.jobProcess = static_cast<long>(number);
}

// Looked at through a lock nobody holds: its text is left only by a run whose lab tool was killed.
// True when the job process that run started still runs; `holder` then names it, orphaned.
bool FindOrphanedRun(int fd, RunHolder& holder) {
  RunHolder left;
  ReadHolder(fd, left);
  if (left.jobProcess <= 0 || !JobProcessRuns(left.jobProcess)) return false;
  left.orphaned = true;
  holder = left;
  return true;
}

// The highest signal number a process can be killed by: an older "ended" line says only the status,
// 128 + the signal for a process killed by one.
constexpr int kMaxSignal = 64;
constexpr int kSignalStatus = 128;

// The key=value fields of a run's line after its word and time.
std::map<std::string, std::string> RunFields(const std::string& line) {
  std::map<std::string, std::string> fields;
  for (size_t start = line.find(' '); start != std::string::npos;) {
    const size_t end = line.find(' ', start + 1);
    const std::string word = line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    const size_t equals = word.find('=');
    if (equals != std::string::npos && equals > 0) fields[word.substr(0, equals)] = word.substr(equals + 1);
    start = end;
  }
  return fields;
}

// A field's number within the range; `number` is untouched when it is absent or malformed.
void FieldNumber(const std::map<std::string, std::string>& fields, const char* key, int64_t min, int64_t max,
                 int64_t& number) {
  const auto it = fields.find(key);
  if (it != fields.end()) labkv::ParseInt64InRange(it->second, min, max, number);
}

// The bytes an option keeps as they are in a "started" line; every other is written as %XX, so that an
// argument is one field (no blank), its list splits at commas and no text of it reads as a field.
bool KeptAsItIs(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == ':' || c == '/' || c == '+';
}

std::string EncodeOptions(const std::vector<std::string>& options) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < options.size(); ++i) {
    if (i > 0) text += ',';
    for (const char c : options[i]) {
      if (KeptAsItIs(c)) {
        text += c;
        continue;
      }
      const unsigned char byte = static_cast<unsigned char>(c);
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    }
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The options of a "started" line's field; false when it is not as EncodeOptions writes it.
bool DecodeOptions(const std::string& text, std::vector<std::string>& options) {
  options.clear();
  if (text.empty()) return true;
  options.emplace_back();
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ',') {
      options.emplace_back();
    } else if (c == '%') {
      const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
      const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
      if (low < 0) return false;
      options.back() += static_cast<char>(high * 16 + low);
      i += 2;
    } else if (KeptAsItIs(c)) {
      options.back() += c;
    } else {
      return false;
    }
  }
  return true;
}

void ReadStart(const std::string& line, JobRun& run) {
  const std::map<std::string, std::string> fields = RunFields(line);
  int64_t pid = 0;
  FieldNumber(fields, "pid", 1, INT32_MAX, pid);
  run = JobRun();
  run.pid = static_cast<long>(pid);
  const auto phase = fields.find("phase");
  if (phase != fields.end() && phase->second == JobPhaseName(JobPhase::kStub)) run.phase = JobPhase::kStub;
  run.phaseNamed = phase != fields.end() && (phase->second == JobPhaseName(JobPhase::kStub) ||
                                             phase->second == JobPhaseName(JobPhase::kBackup));
  const auto options = fields.find("options");
  run.optionsKept = options != fields.end() && DecodeOptions(options->second, run.options);
  if (!run.optionsKept) run.options.clear();
  FieldNumber(fields, "results", 0, INT64_MAX, run.resultsBefore);
  FieldNumber(fields, "causes", 0, INT64_MAX, run.causesBefore);
  FieldNumber(fields, "events", 0, INT64_MAX, run.eventsBefore);
}

void ReadEnd(const std::string& line, JobRun& run) {
  const std::map<std::string, std::string> fields = RunFields(line);
  int64_t status = 0, signal = 0;
  FieldNumber(fields, "status", INT32_MIN, INT32_MAX, status);
  FieldNumber(fields, "signal", 0, kMaxSignal, signal);
  run.end = line.rfind("interrupted ", 0) == 0 ? JobRun::End::kInterrupted : JobRun::End::kEnded;
  run.status = static_cast<int>(status);
  if (run.end == JobRun::End::kEnded && fields.count("signal") == 0 && status > kSignalStatus &&
      status <= kSignalStatus + kMaxSignal)
    signal = status - kSignalStatus;
  run.signal = static_cast<int>(signal);
}

std::vector<JobRun> ParseRuns(const std::vector<std::string>& events) {
  std::vector<JobRun> runs;
  for (const std::string& line : events) {
    if (line.rfind("started ", 0) == 0) {
      runs.emplace_back();
      ReadStart(line, runs.back());
    } else if (!runs.empty() && runs.back().end == JobRun::End::kNotYet &&
               (line.rfind("ended ", 0) == 0 || line.rfind("interrupted ", 0) == 0)) {
      ReadEnd(line, runs.back());
    }
  }
  return runs;
}

bool ParseLatestRun(const std::vector<std::string>& events, JobRun& run) {
  const std::vector<JobRun> runs = ParseRuns(events);
  if (runs.empty()) return false;
  run = runs.back();
  return true;
}

// The run whose count of lines (`before`) at its start is the last at or below the line.
size_t RunOfLine(const std::vector<JobRun>& runs, size_t line, int64_t JobRun::*before) {
  size_t run = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const int64_t count = runs[i].*before;
    if (count < 0) {
      run = 0;  // this run's lines begin somewhere unknown
    } else if (static_cast<uint64_t>(count) <= line) {
      run = i + 1;
    } else {
      break;
    }
  }
  return run;
}

}  // namespace

const char* JobPhaseName(JobPhase phase) { return phase == JobPhase::kStub ? "stub" : "backup"; }

LabRunLock::~LabRunLock() { Release(); }

void LabRunLock::Release() {
  if (fd_ < 0) return;
  // Nothing of this run is left to name once the lock is gone.
  if (ftruncate(fd_, 0) != 0) {
  }
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
}

bool LabRunLock::Acquire(int64_t jobId, RunHolder& holder, std::string& error) {
  if (fd_ >= 0) return true;
  const int fd = OpenLock(error);
  if (fd < 0) return false;
  // A lock without a holder's text, or with that of a run whose process is gone, is taken for a
  // moment only: by a look (CurrentRun), or by a run that is about to write its text. Looked at again a
  // few times before it counts as held.
  for (int look = 0; !TryLock(fd); ++look) {
    holder = RunHolder();
    ReadHolder(fd, holder);
    if ((holder.pid > 0 && ZtProcess::IsRunning(static_cast<pid_t>(holder.pid))) || look >= kHolderLooks) {
      close(fd);
      error = "the lab runs another job";
      return false;
    }
    ZtClock::Pause(ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(kHolderLookMs)), kHolderLookMs);
  }
  // Looked for under the lock, so that two runs never both miss it.
  if (FindOrphanedRun(fd, holder)) {
    flock(fd, LOCK_UN);
    close(fd);
    error = "the job process of job " + std::to_string(holder.jobId) + " still runs";
    return false;
  }
  const std::string text = "job=" + std::to_string(jobId) + " pid=" + std::to_string(getpid()) +
                           " started=" + std::to_string(static_cast<long long>(ZtClock::NowSeconds()));
  if (ftruncate(fd, 0) != 0 || !WriteAll(fd, text + "\n")) {
    error = std::string("cannot write the run lock: ") + std::strerror(errno);
    flock(fd, LOCK_UN);
    close(fd);
    return false;
  }
  fd_ = fd;
  text_ = text;
  return true;
}

bool LabRunLock::NameJobProcess(long pid) {
  if (fd_ < 0 || pid <= 0) return false;
  // The same text with the process after it: a reader sees the run named either way.
  return lseek(fd_, 0, SEEK_SET) == 0 && WriteAll(fd_, text_ + " process=" + std::to_string(pid) + "\n");
}

bool JobProcessRuns(long pid) {
  return pid > 0 && pid <= INT32_MAX && ZtProcess::IsRunning(static_cast<pid_t>(pid)) &&
         getpgid(static_cast<pid_t>(pid)) == static_cast<pid_t>(pid);
}

bool CurrentRun(RunHolder& holder) {
  std::string error;
  // No run ever held a lab without the lock's file: one that only asks leaves the lab as it is.
  if (!IsDirectory(JobsDir()) || access(LockPath().c_str(), F_OK) != 0) return false;
  const int fd = OpenLock(error);
  if (fd < 0) return false;
  bool held = !TryLock(fd);
  if (held) {
    ReadHolder(fd, holder);
  } else {
    held = FindOrphanedRun(fd, holder);
    flock(fd, LOCK_UN);
  }
  close(fd);
  return held;
}

bool AppendRunEvent(int64_t jobId, const std::string& event) {
  const std::string path = JobFile(jobId, kEventsFile);
  return !path.empty() && AppendWholeLineLocked(path, event, Durability::kVolatile);
}

std::vector<std::string> ReadRunEvents(int64_t jobId) {
  const std::string path = JobFile(jobId, kEventsFile);
  return path.empty() ? std::vector<std::string>() : ReadWholeLines(path);
}

bool AppendTornRunEvent(int64_t jobId, const std::string& event, size_t bytes) {
  const std::string path = JobFile(jobId, kEventsFile);
  return !path.empty() && AppendTornLineLocked(path, event, bytes);
}

JobLineCounts CountJobLines(int64_t jobId) {
  JobLineCounts counts;
  counts.results = static_cast<int64_t>(ReadPhaseLines(jobId).size());
  counts.causes = static_cast<int64_t>(PendingCauseLineCount(jobId));
  counts.events = static_cast<int64_t>(JobEventLineCount(jobId));
  return counts;
}

bool AppendRunStart(int64_t jobId, const std::string& time, long pid, JobPhase phase, const JobLineCounts& before,
                    const std::vector<std::string>& options) {
  return AppendRunEvent(jobId, "started " + time + " pid=" + std::to_string(pid) + " phase=" + JobPhaseName(phase) +
                                   " results=" + std::to_string(before.results) + " causes=" +
                                   std::to_string(before.causes) + " events=" + std::to_string(before.events) +
                                   " options=" + EncodeOptions(options));
}

bool AppendRunEnd(int64_t jobId, const std::string& time, int status, int signal) {
  return AppendRunEvent(jobId, "ended " + time + " status=" + std::to_string(status) +
                                   (signal != 0 ? " signal=" + std::to_string(signal) : std::string()));
}

bool AppendRunInterrupted(int64_t jobId, const std::string& time, int signal) {
  return AppendRunEvent(jobId, "interrupted " + time + " signal=" + std::to_string(signal));
}

bool CloseLostRun(int64_t jobId, const std::string& time) {
  const std::vector<std::string> events = ReadRunEvents(jobId);
  JobRun latest;
  if (!ParseLatestRun(events, latest) || latest.end != JobRun::End::kNotYet || JobProcessRuns(latest.pid)) return true;
  // Closed already: its "lost" line ends the log (a later run's "started" would follow it).
  if (!events.empty() && events.back().rfind("lost ", 0) == 0) return true;
  return AppendRunEvent(jobId, "lost " + time + " pid=" + std::to_string(latest.pid));
}

bool LatestRun(int64_t jobId, JobRun& run) { return ParseLatestRun(ReadRunEvents(jobId), run); }

std::vector<std::string> PhaseResultsOf(int64_t jobId, const JobRun& run) {
  std::vector<std::string> results = ReadPhaseLines(jobId);
  if (run.resultsBefore < 0) return results;
  const size_t before = static_cast<size_t>(std::min<int64_t>(run.resultsBefore, static_cast<int64_t>(results.size())));
  return std::vector<std::string>(results.begin() + static_cast<long>(before), results.end());
}

std::vector<JobRun> ReadRuns(int64_t jobId) { return ParseRuns(ReadRunEvents(jobId)); }

bool LatestAttemptBeganAfterAStubPhase(const std::vector<JobRun>& runs) {
  if (runs.empty() || !runs.back().phaseNamed || runs.back().phase != JobPhase::kBackup) return false;
  return std::any_of(runs.begin(), runs.end() - 1,
                     [](const JobRun& run) { return run.phaseNamed && run.phase == JobPhase::kStub; });
}

size_t RunOfPendingCause(const std::vector<JobRun>& runs, size_t line) {
  return RunOfLine(runs, line, &JobRun::causesBefore);
}

size_t RunOfJobEvent(const std::vector<JobRun>& runs, size_t line) {
  return RunOfLine(runs, line, &JobRun::eventsBefore);
}

int64_t StartedRuns(int64_t jobId) {
  int64_t started = 0;
  for (const std::string& line : ReadRunEvents(jobId)) {
    if (line.rfind("started ", 0) == 0) ++started;
  }
  return started;
}

int64_t EndedRuns(int64_t jobId) {
  int64_t ended = 0;
  for (const std::string& line : ReadRunEvents(jobId)) {
    if (line.rfind("ended ", 0) == 0 || line.rfind("interrupted ", 0) == 0 || line.rfind("lost ", 0) == 0) ++ended;
  }
  return ended;
}

}  // namespace lab
