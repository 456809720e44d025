#include "platform/lab/LabCoordinator.h"

#include <unistd.h>

#include <algorithm>

#include "platform/lab/Lab.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {
namespace {

const char* const kResultFile = "backup.out";
const char* const kProgressFile = "progress.log";
const char* const kCountersFile = "counters.log";
const char* const kStreamsFile = "streams.log";
const char* const kVMQuitFile = "vmquit";
const char* const kJobOptionsFile = "jobOptions.xml";

bool AppendTo(int64_t jobId, const char* name, const std::string& line) {
  std::string path = JobFile(jobId, name);
  std::string whole = line;
  std::replace_if(whole.begin(), whole.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return !path.empty() && AppendLineLocked(path, whole);
}

std::vector<std::string> LinesOf(int64_t jobId, const char* name) {
  std::string path = JobFile(jobId, name);
  return path.empty() ? std::vector<std::string>() : ReadLines(path);
}

bool OtherValue(const JobRecord& record, const std::string& key, std::string& value) {
  auto it = record.other.find(key);
  if (it == record.other.end() || it->second.empty()) return false;
  value = it->second;
  return true;
}

}  // namespace

std::string SubclientJobResultsDir(const std::string& client, const std::string& appId) {
  if (Root().empty() || !IsSafeComponent(client) || !IsSafeComponent(appId)) return std::string();
  return ClientJobResultsDir(client) + "/" + appId;
}

std::string JobResultPath(int64_t jobId) { return JobFile(jobId, kResultFile); }
bool AppendJobResultLine(int64_t jobId, const std::string& line) { return AppendTo(jobId, kResultFile, line); }
std::vector<std::string> ReadJobResultLines(int64_t jobId) { return LinesOf(jobId, kResultFile); }
bool AppendJobProgress(int64_t jobId, const std::string& line) { return AppendTo(jobId, kProgressFile, line); }
std::vector<std::string> ReadJobProgress(int64_t jobId) { return LinesOf(jobId, kProgressFile); }
bool AppendJobCounter(int64_t jobId, const std::string& line) { return AppendTo(jobId, kCountersFile, line); }
std::vector<std::string> ReadJobCounters(int64_t jobId) { return LinesOf(jobId, kCountersFile); }
bool AppendJobStreamCall(int64_t jobId, const std::string& line) { return AppendTo(jobId, kStreamsFile, line); }
std::vector<std::string> ReadJobStreamCalls(int64_t jobId) { return LinesOf(jobId, kStreamsFile); }

bool IsVMQuitRequested(int64_t jobId) {
  std::string path = JobFile(jobId, kVMQuitFile);
  return !path.empty() && access(path.c_str(), F_OK) == 0;
}

bool RequestVMQuit(int64_t jobId) {
  std::string path = JobFile(jobId, kVMQuitFile);
  return !path.empty() && WriteFileAtomic(path, "");
}

std::string JobOptionsPath(int64_t jobId) { return JobFile(jobId, kJobOptionsFile); }

VMJobData ReadVMJobData(int64_t jobId, int64_t clientId) {
  VMJobData data;
  JobRecord record;
  std::string error, text;
  if (!ReadJobRecord(jobId, record, error)) return data;
  const std::string prefix = "vm." + std::to_string(clientId) + ".";
  int64_t number = 0;
  if (OtherValue(record, prefix + "jobId", text) && labkv::ParseInt64(text, number)) {
    data.hasJobId = true;
    data.jobId = number;
  }
  if (OtherValue(record, prefix + "priority", text) && labkv::ParseInt64(text, number) && number >= 0 &&
      number <= 0xFFFFFFFFLL) {
    data.hasPriority = true;
    data.priority = static_cast<uint32_t>(number);
  }
  if (OtherValue(record, prefix + "lastSuccess", text) && labkv::ParseInt64(text, number)) data.lastSuccess = number;
  OtherValue(record, prefix + "failureReason", data.failureReason);
  return data;
}

bool JobRecordNumber(int64_t jobId, const std::string& key, int64_t& value) {
  JobRecord record;
  std::string error, text;
  return ReadJobRecord(jobId, record, error) && OtherValue(record, key, text) && labkv::ParseInt64(text, value);
}

}  // namespace lab
