#include "platform/jobmgr/StoreResults.h"

#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"

StoreResults::StoreResults(uint64_t keyrealmId, int64_t jobId, bool flag, void* reserved) : jobId_(jobId) {}

StoreResults::~StoreResults() = default;

bool StoreResults::openFile(int kind, bool flag1, bool flag2) {
  const std::string path = lab::JobResultPath(jobId_);
  std::string content, error;
  if (path.empty()) return true;
  // An earlier attempt's file is kept; a missing one is made empty.
  lab::ReadResult read = lab::ReadOptionalFile(path, lab::kMaxRecordBytes, content, error);
  if (read == lab::ReadResult::kFailed || (read == lab::ReadResult::kMissing && !lab::WriteFileAtomic(path, "")))
    return true;
  ZtMutexLock lock(mutex_);
  open_ = true;
  return false;
}

bool StoreResults::putLine(const std::string& line, bool flush) {
  {
    ZtMutexLock lock(mutex_);
    if (!open_) return true;
  }
  lab::Fault fault;
  if (lab::CheckFault("results.putLine", fault)) return true;
  return !lab::AppendJobResultLine(jobId_, line);
}

void StoreResults::closeFile() {
  ZtMutexLock lock(mutex_);
  open_ = false;
}

std::vector<std::string> StoreResults::ReadLines(int64_t jobId) { return lab::ReadJobResultLines(jobId); }
