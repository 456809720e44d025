#include "platform/lab/LabAutoScale.h"

#include <cctype>

#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMachine.h"
#include "platform/lab/LabSubclient.h"
#include "platform/lab/LabTasks.h"

namespace lab {
namespace {

const char* const kLogFile = "autoscale.log";

// A client name made of the region: letters and digits kept, anything else a '-'.
std::string ClientBase(const std::string& region) {
  std::string base;
  for (char c : region) base += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
  if (base.empty() || base[0] == '-') base = "region" + base;
  return base.substr(0, 64) + "-agent";
}

}  // namespace

bool StartAgentCreation(int64_t jobId, const std::string& region, const std::string& fromClient,
                        int64_t& creationJobId, std::string& client, std::string& error) {
  const std::string log = JobFile(jobId, kLogFile);
  if (log.empty() || !MakeDirs(JobDir(jobId))) {
    error = "no lab, or job id " + std::to_string(jobId) + " is not usable";
    return false;
  }
  creationJobId = AllocateServerJobId(error);
  if (creationJobId == 0) return false;
  // The creation job's id makes the name unique across jobs and processes.
  client = ClientBase(region) + std::to_string(creationJobId);
  if (!IsSafeComponent(client) || !IsSafeArgument(client)) {
    error = "cannot name an agent for region [" + region + "]";
    return false;
  }
  // One field of the line: blanks and line breaks of the region become '_'.
  std::string field = region.empty() ? "-" : region;
  for (char& c : field)
    if (std::isspace(static_cast<unsigned char>(c))) c = '_';
  if (!AppendLineLocked(log, "start " + std::to_string(creationJobId) + " " + field + " " + client)) {
    error = "cannot record the creation job in " + log;
    return false;
  }
  return true;
}

bool CompleteAgentCreation(int64_t jobId, const std::string& appId, const std::string& fromClient,
                           int64_t creationJobId, const std::string& client, std::string& error) {
  MachineRecord machine;
  if (ReadMachineRecord(fromClient, machine, error) != RecordRead::kRead) machine = MachineRecord();
  machine.hostName = client;
  machine.addresses = {{"10.0.1." + std::to_string(creationJobId % 200 + 20), "255.255.255.0"}};
  int kept = 0;
  // Ids of created agents lie above those a lab is made with, one per creation job.
  const int64_t clientId = 1000000 + creationJobId % 1000000;
  if (!CreateClient(client, machine, clientId, kept, error)) return false;
  const bool added = UpdateFileLocked(
      SubclientConfPath(appId),
      [&](std::string& text, bool exists, std::string& why) {
        SubclientRecord record;
        if (!exists || !ParseSubclientRecord(text, record, why)) {
          if (why.empty()) why = "subclient [" + appId + "] has no record";
          return false;
        }
        std::vector<std::string> members = labkv::SplitList(record.settings["memberServers"]);
        for (const std::string& member : members)
          if (member == client) return true;
        record.settings["memberServers"] += (members.empty() ? "" : ",") + client;
        text = FormatSubclientRecord(record);
        return true;
      },
      error);
  if (!added) return false;
  return AppendLineLocked(JobFile(jobId, kLogFile), "done " + std::to_string(creationJobId) + " " + client);
}

bool FailAgentCreation(int64_t jobId, int64_t creationJobId, const std::string& client, int code) {
  const std::string log = JobFile(jobId, kLogFile);
  return !log.empty() &&
         AppendLineLocked(log, "failed " + std::to_string(creationJobId) + " " + client + " " + std::to_string(code));
}

std::vector<std::string> ReadAutoScaleLog(int64_t jobId) {
  const std::string log = JobFile(jobId, kLogFile);
  return log.empty() ? std::vector<std::string>() : ReadLines(log);
}

}  // namespace lab
