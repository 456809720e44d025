#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"

// The job's result file "backup.out": one line per failed or skipped item, kept with the job manager
// (the lab's job record of platform/lab/LabCoordinator.h). Lines are appended under a file lock, so
// every process of the job may write to it. The library's convention is kept: openFile and putLine
// return true when they FAILED. Fault table operation: "results.putLine".
class StoreResults {
 public:
  StoreResults(uint64_t keyrealmId, int64_t jobId, bool flag, void* reserved);
  ~StoreResults();
  StoreResults(const StoreResults&) = delete;
  StoreResults& operator=(const StoreResults&) = delete;

  // Creates the file when missing; an existing file (an earlier attempt of the job) is kept.
  bool openFile(int kind, bool flag1, bool flag2);
  // One line; a line break inside it becomes a blank so that a line stays one record.
  bool putLine(const std::string& line, bool flush);
  void closeFile();

  // The lines of a job's result file; empty when there is none.
  static std::vector<std::string> ReadLines(int64_t jobId);

 private:
  const int64_t jobId_;
  mutable ZtMutex mutex_;
  bool open_ GUARDED_BY(mutex_) = false;
};
