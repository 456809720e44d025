// Files of the subclient's earlier jobs. Which earlier job counts is the job manager's history
// (platform/lab/LabHistory.h): a job enters it only when it ended well, so neither the half-state of a
// failed job nor the files of an older backup cycle are ever handed out.
#include <algorithm>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHistory.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/PatternMatch.h"

bool vsIndexClient::CycleJobs(const std::string& subclientGuid, std::vector<int64_t>& jobs) {
  std::string appId;
  if (appMgr_ != nullptr && appMgr_->getSubclientGUID() == subclientGuid) appId = appMgr_->getAppIdStr();
  if (appId.empty()) {
    SetError("the GUID [" + subclientGuid + "] is not the job's subclient");
    return false;
  }
  std::vector<lab::HistoryJob> history;
  std::string error;
  if (!lab::ReadHistory(appId, history, error)) {
    SetError("the job history of subclient [" + appId + "] cannot be read: " + error);
    return false;
  }
  const bool copy = jobMgr_ != nullptr && jobMgr_->isSnapToTape();
  jobs = lab::CurrentCycle(history, copy).jobs;
  return true;
}

bool vsIndexClient::DownloadJobMetadataFiles(const std::string& pattern, const std::string& destDir, int64_t jobId,
                                             const std::string& subclientGuid) {
  lab::Fault fault;
  if (lab::CheckFault("index.DownloadMetadataFiles", fault)) {
    SetError(fault.text);
    return false;
  }
  std::vector<int64_t> jobs;
  if (jobId > 0) {
    jobs.push_back(jobId);
  } else if (!CycleJobs(subclientGuid, jobs)) {
    return false;
  }
  CPathMatch match(pattern, 0, 1);
  for (int64_t job : jobs) {
    std::string reason;
    const std::string folder = lab::IndexJobDir(subclientGuid, job, reason);
    if (folder.empty()) {
      SetError(reason);
      return false;
    }
    std::vector<std::string> names;
    CPxDirectory::List(folder, names);
    bool copied = false;
    for (const std::string& name : names) {
      const std::string source = CPxPath::Append(folder, name, false);
      if (!match.Match(name) || !CPxFile::Exists(source)) continue;
      CPxError error = CPxFile::Copy(source, CPxPath::Append(destDir, name, false));
      if (error.IsError()) {
        SetError(error.AsString());
        return false;
      }
      copied = true;
    }
    if (copied) return true;
  }
  SetError("no file matching [" + pattern + "] is in the index cache" +
           (jobId > 0 ? " for job " + std::to_string(jobId) : std::string(" for the current backup cycle")));
  return false;
}
