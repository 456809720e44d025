// quarn-lab outcome: what the job manager knows of a job (phase results, pending causes, events,
// the status of each VM and the result file "backup.out") and the end of the coordinator's log.
#include <cstdio>
#include <deque>

#include "host/lab/LabTool.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/jobmgr/StoreResults.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "records/messages/JobManagerMessages.h"
#include "platform/lab/Lab.h"

namespace labtool {
namespace {

constexpr size_t kLogTailLines = 20;

void PrintSection(const char* title, const std::vector<std::string>& lines) {
  std::printf("%s:\n", title);
  if (lines.empty()) std::printf("  (none)\n");
  for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
}

// One line per VM status record: name, GUID, status and, when there is one, the reason.
std::vector<std::string> VMStatusLines(int64_t jobId) {
  using Info = JobManager::VMUpdateInfo;
  std::vector<std::string> lines;
  for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(jobId)) {
    Info info;
    if (!vsJobMgr::ReadVMStatus(jobId, guid, info)) {
      lines.push_back("[" + guid + "] (record cannot be read)");
      continue;
    }
    std::string line = info.getstring(Info::F_vmName) + " [" + guid + "] " +
                       vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(info.getint64(Info::F_vmStatus)));
    const std::string reason = info.getstring(Info::F_failureText);
    if (!reason.empty()) line += ": " + reason;
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

bool PrintOutcome(int64_t jobId, const std::string& coordinatorClient) {
  if (!IsDirectory(lab::JobDir(jobId))) return false;
  std::printf("job %lld\n", static_cast<long long>(jobId));
  PrintSection("phase results", vsJobMgr::ReadPhaseLines(jobId));
  PrintSection("pending causes", vsJobMgr::ReadPendingCauses(jobId));
  PrintSection("events", vsJobMgr::ReadEvents(jobId));
  PrintSection("VM status", VMStatusLines(jobId));
  PrintSection("backup.out", StoreResults::ReadLines(jobId));

  std::string logPath = lab::ClientLogDir(coordinatorClient) + "/quarn.log";
  std::string text;
  if (!lab::ReadFile(logPath, text)) {
    std::printf("log %s: (not written)\n", logPath.c_str());
    return true;
  }
  std::deque<std::string> tail;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    tail.push_back(text.substr(start, end - start));
    if (tail.size() > kLogTailLines) tail.pop_front();
    start = end + 1;
  }
  std::printf("log %s (last %zu lines):\n", logPath.c_str(), tail.size());
  for (const std::string& line : tail) std::printf("  %s\n", line.c_str());
  return true;
}

int Outcome(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, {"job", "client"}, parsed, error)) return UsageError(error);
  if (parsed.positional.size() != 1 || !parsed.passThrough.empty())
    return UsageError("outcome takes exactly one lab folder");
  int64_t jobId = 0;
  if (!SelectLabJob(parsed, jobId, error)) return UsageError(error);

  std::string client = "coordinator";
  if (parsed.options.count("client")) {
    client = parsed.options["client"];
  } else {
    std::map<std::string, std::string> conf;
    auto found = labkv::ReadFile(lab::JobDir(jobId) + "/job.conf", conf, error) ? conf.find("client") : conf.end();
    if (found != conf.end() && !found->second.empty()) client = found->second;
  }
  if (!lab::IsSafeComponent(client)) return UsageError("client name '" + client + "' is not usable");
  return PrintOutcome(jobId, client) ? kExitOk : kExitFailed;
}

}  // namespace labtool
