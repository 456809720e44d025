#include "platform/lab/LabHistory.h"

#include <algorithm>
#include <sstream>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {

namespace {

bool ParseLine(const std::string& line, HistoryJob& job) {
  std::istringstream in(line);
  std::string id, level, copy, extra;
  if (!(in >> id >> level >> copy) || (in >> extra)) return false;
  int64_t copyValue = 0;
  if (!labkv::ParseInt64InRange(id, 1, INT64_MAX, job.jobId)) return false;
  if (!labkv::ParseInt64InRange(level, 1, INT32_MAX, job.level)) return false;
  if (!labkv::ParseInt64InRange(copy, 0, 1, copyValue)) return false;
  job.copy = copyValue == 1;
  return true;
}

bool ParseHistory(const std::string& text, std::vector<HistoryJob>& jobs, std::string& error) {
  std::vector<HistoryJob> parsed;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (labkv::Trim(line).empty()) continue;
    HistoryJob job;
    if (!ParseLine(line, job)) {
      error = "line " + std::to_string(number) + " of the job history is malformed: " + line;
      return false;
    }
    job.line = number;
    parsed.push_back(job);
  }
  jobs.swap(parsed);
  return true;
}

std::string FormatLine(const HistoryJob& job) {
  return std::to_string(job.jobId) + " " + std::to_string(job.level) + " " + (job.copy ? "1" : "0");
}

}  // namespace

std::string HistoryPath(const std::string& appId) {
  if (Root().empty() || !IsSafeComponent(appId + ".history")) return std::string();
  return SubclientsDir() + "/" + appId + ".history";
}

bool RecordSuccessfulJob(const std::string& appId, const HistoryJob& job, std::string& error) {
  const std::string path = HistoryPath(appId);
  if (path.empty()) {
    error = "no job history for subclient [" + appId + "]";
    return false;
  }
  if (job.jobId <= 0 || job.level <= 0) {
    error = "job " + std::to_string(job.jobId) + " cannot be recorded";
    return false;
  }
  if (!MakeDirs(SubclientsDir())) {
    error = "cannot create " + SubclientsDir();
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool, std::string& why) {
        std::vector<HistoryJob> jobs;
        if (!ParseHistory(text, jobs, why)) return false;
        for (const HistoryJob& known : jobs)
          if (known.jobId == job.jobId) return true;  // a restarted job is recorded once
        if (!text.empty() && text.back() != '\n') text += '\n';
        text += FormatLine(job) + "\n";
        return true;
      },
      error);
}

bool ReadHistory(const std::string& appId, std::vector<HistoryJob>& jobs, std::string& error) {
  const std::string path = HistoryPath(appId);
  if (path.empty()) {
    error = "no job history for subclient [" + appId + "]";
    return false;
  }
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      jobs.clear();
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  return ParseHistory(text, jobs, error);
}

BackupCycle CurrentCycle(const std::vector<HistoryJob>& jobs, bool copy) {
  BackupCycle cycle;
  for (const HistoryJob& job : jobs)
    if (job.copy == copy && job.level == 1) cycle.lastFull = std::max(cycle.lastFull, job.jobId);
  if (cycle.lastFull == 0) return cycle;
  for (const HistoryJob& job : jobs) {
    if (job.copy != copy || job.jobId < cycle.lastFull) continue;
    cycle.jobs.push_back(job.jobId);
    if (job.level != 1) cycle.lastIncremental = std::max(cycle.lastIncremental, job.jobId);
  }
  std::sort(cycle.jobs.rbegin(), cycle.jobs.rend());
  cycle.jobs.erase(std::unique(cycle.jobs.begin(), cycle.jobs.end()), cycle.jobs.end());
  return cycle;
}

}  // namespace lab
