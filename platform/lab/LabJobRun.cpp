#include "platform/lab/LabJobRun.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
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
  if (labkv::ParseInt64(values["pid"], number)) holder.pid = static_cast<long>(number);
  if (labkv::ParseInt64(values["started"], number)) holder.started = number;
}

}  // namespace

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
  // A lock without a holder's text is taken for a moment only: by a look (CurrentRun), or by a run
  // that is about to write its text. Looked at again a few times before it counts as held.
  for (int look = 0; !TryLock(fd); ++look) {
    holder = RunHolder();
    ReadHolder(fd, holder);
    if (holder.pid > 0 || look >= kHolderLooks) {
      close(fd);
      error = "the lab runs another job";
      return false;
    }
    ZtClock::Pause(ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(kHolderLookMs)), kHolderLookMs);
  }
  const std::string text = "job=" + std::to_string(jobId) + " pid=" + std::to_string(getpid()) +
                           " started=" + std::to_string(static_cast<long long>(ZtClock::NowSeconds())) + "\n";
  if (ftruncate(fd, 0) != 0 || !WriteAll(fd, text)) {
    error = std::string("cannot write the run lock: ") + std::strerror(errno);
    flock(fd, LOCK_UN);
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool CurrentRun(RunHolder& holder) {
  std::string error;
  if (!IsDirectory(JobsDir())) return false;
  const int fd = OpenLock(error);
  if (fd < 0) return false;
  const bool free = TryLock(fd);
  if (free) {
    flock(fd, LOCK_UN);
  } else {
    ReadHolder(fd, holder);
  }
  close(fd);
  return !free;
}

bool AppendRunEvent(int64_t jobId, const std::string& event) {
  const std::string path = JobFile(jobId, kEventsFile);
  return !path.empty() && AppendLineLocked(path, event);
}

std::vector<std::string> ReadRunEvents(int64_t jobId) {
  const std::string path = JobFile(jobId, kEventsFile);
  return path.empty() ? std::vector<std::string>() : ReadLines(path);
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
    if (line.rfind("ended ", 0) == 0 || line.rfind("interrupted ", 0) == 0) ++ended;
  }
  return ended;
}

}  // namespace lab
