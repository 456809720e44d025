// Which earlier jobs a request of the index cache may read. Which earlier job counts is the job
// manager's history (platform/lab/LabHistory.h): a job enters it only when it ended well, so neither
// the half-state of a failed job nor the files of an older backup cycle are ever handed out.
#include <algorithm>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabHistory.h"
#include "platform/lab/LabIndex.h"

std::vector<int64_t> vsIndexClient::JobsToRead(const std::string& subclientGuid,
                                               const std::vector<int64_t>& available, int64_t jobId) {
  if (jobId != 0) return lab::IndexJobsToRead(subclientGuid, available, jobId);
  std::vector<lab::HistoryJob> history;
  std::string error;
  const bool ownSubclient = appMgr_ != nullptr && appMgr_->getSubclientGUID() == subclientGuid;
  if (ownSubclient && !lab::ReadHistory(appMgr_->getAppIdStr(), history, error)) {
    // A history that cannot be read names no base: nothing is handed out rather than a guess.
    SetError("the job history of the subclient cannot be read: " + error);
    return std::vector<int64_t>();
  }
  const lab::BackupCycle cycle = lab::CurrentCycle(history, jobMgr_ != nullptr && jobMgr_->isSnapToTape());
  if (cycle.lastFull == 0) return lab::IndexJobsToRead(subclientGuid, available, 0);
  // What a VM's own (child) job left counts as the job it belongs to.
  std::vector<int64_t> parents;
  parents.reserve(available.size());
  for (int64_t held : available) parents.push_back(lab::IndexParentJob(subclientGuid, held));
  std::vector<int64_t> chosen;
  for (int64_t job : cycle.jobs)
    for (size_t i = 0; i < available.size(); ++i)
      if (parents[i] == job) chosen.push_back(available[i]);
  return chosen;
}

std::vector<int64_t> vsIndexClient::CycleJobsAfter(int64_t jobId) {
  std::vector<int64_t> after;
  std::vector<lab::HistoryJob> history;
  std::string error;
  if (appMgr_ == nullptr || !lab::ReadHistory(appMgr_->getAppIdStr(), history, error)) return after;
  const int64_t running = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  for (int64_t job : lab::CurrentCycle(history, jobMgr_ != nullptr && jobMgr_->isSnapToTape()).jobs)
    if (job > jobId && (running <= 0 || job < running)) after.push_back(job);
  return after;
}

std::vector<int64_t> vsIndexClient::VMFileJobsToRead(const std::string& subclientGuid, const std::string& vmGuid,
                                                     int64_t jobId) {
  std::vector<int64_t> jobs = JobsToRead(subclientGuid, lab::IndexVMFileJobs(subclientGuid, vmGuid), jobId);
  const int64_t running = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  if (jobId != 0 || running <= 0) return jobs;
  jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                            [&](int64_t job) { return lab::IndexParentJob(subclientGuid, job) == running; }),
             jobs.end());
  return jobs;
}
