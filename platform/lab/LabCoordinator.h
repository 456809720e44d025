#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/lab/LabIndex.h"

// Records of the services a job's coordinator reaches:
//   jobs/<job>/backup.out      the job's result file: one line per failed or skipped item.
//   jobs/<job>/progress.log    the job's progress with the job manager: "vms <n>",
//                              "vmsAlreadyBackedUp <n>", "vm <guid>", "job", "vmpercent <guid> <n>",
//                              "refTime <seconds>", "committable", "appSize <size> <kind>".
//   jobs/<job>/counters.log    "fileFailures <n>", "folderFailures <n>", "folderSuccesses <n>".
//   jobs/<job>/streams.log     "free <stream id> <rcid> <reservation id>", "freeN <n>", "allocate <n>".
//   jobs/<job>/vmquit          present = a stop was asked for single VMs (their records carry status 5).
//   jobs/<job>/jobOptions.xml  the job's options (message XML); optional.
//   job.conf keys              "vm.<client id>.jobId", "vm.<client id>.priority",
//                              "vm.<client id>.lastSuccess", "vm.<client id>.failureReason" (a VM's
//                              data with the job manager), "failedVMsOnly" (0/1), "additionalStreams"
//                              (streams granted per request).
//   clients/<client>/JobResults/<appId>/  the client's folder of a subclient: the subclient directory
//                              of a job process on that client (the VM collect file lies here).
//   index/                     the index cache (platform/lab/LabIndex.h).
// Lines are kept whole: line breaks inside them become blanks.
namespace lab {

// The client's folder of a subclient; empty without a lab or when a name is not usable.
std::string SubclientJobResultsDir(const std::string& client, const std::string& appId);

bool AppendJobResultLine(int64_t jobId, const std::string& line);
std::vector<std::string> ReadJobResultLines(int64_t jobId);
// The result file's path; empty without a lab or a positive job id.
std::string JobResultPath(int64_t jobId);

bool AppendJobProgress(int64_t jobId, const std::string& line);
std::vector<std::string> ReadJobProgress(int64_t jobId);
bool AppendJobCounter(int64_t jobId, const std::string& line);
std::vector<std::string> ReadJobCounters(int64_t jobId);
bool AppendJobStreamCall(int64_t jobId, const std::string& line);
std::vector<std::string> ReadJobStreamCalls(int64_t jobId);

bool IsVMQuitRequested(int64_t jobId);
bool RequestVMQuit(int64_t jobId);
// Empty without a lab or a positive job id.
std::string JobOptionsPath(int64_t jobId);

// A VM's data with the job manager, from the job record. A key that is absent (or not a number
// where one is wanted) reads as not set.
struct VMJobData {
  bool hasJobId = false;
  int64_t jobId = 0;
  bool hasPriority = false;
  uint32_t priority = 0;
  int64_t lastSuccess = 0;
  std::string failureReason;
};
VMJobData ReadVMJobData(int64_t jobId, int64_t clientId);
// A number of the job record's other keys ("failedVMsOnly", "additionalStreams"); false when the key
// is absent or not a number.
bool JobRecordNumber(int64_t jobId, const std::string& key, int64_t& value);

}  // namespace lab
