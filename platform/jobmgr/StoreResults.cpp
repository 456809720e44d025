#include "platform/jobmgr/StoreResults.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/jobmgr/JobFolder.h"
#include "platform/lab/Lab.h"

namespace {
const char* const kFileName = "backup.out";
}

StoreResults::StoreResults(uint64_t keyrealmId, int64_t jobId, bool flag, void* reserved) : jobId_(jobId) {}

StoreResults::~StoreResults() = default;

bool StoreResults::openFile(int kind, bool flag1, bool flag2) {
  std::string path = jobfolder::FileOf(jobId_, kFileName);
  if (path.empty()) return true;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return true;
  close(fd);
  ZtMutexLock lock(mutex_);
  path_ = path;
  return false;
}

bool StoreResults::putLine(const std::string& line, bool flush) {
  std::string path;
  {
    ZtMutexLock lock(mutex_);
    path = path_;
  }
  return path.empty() || !lab::AppendLineLocked(path, jobfolder::OneLine(line));
}

void StoreResults::closeFile() {
  ZtMutexLock lock(mutex_);
  path_.clear();
}

std::vector<std::string> StoreResults::ReadLines(int64_t jobId) {
  std::string path = jobfolder::FileOf(jobId, kFileName);
  return path.empty() ? std::vector<std::string>() : jobfolder::ReadLines(path);
}
