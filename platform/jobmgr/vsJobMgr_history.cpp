// The backup level of the job and the subclient's job history (platform/lab/LabHistory.h), from
// which incremental jobs learn what they build on.
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabHistory.h"

bool vsJobMgr::isIncrBkp() const { return getBkpLevel() == 2; }

int vsJobMgr::getLastSucessfulBkpJobId(uint64_t subclientId, int64_t& fullJobId, time_t& fullTime,
                                       int64_t& incrJobId, time_t& incrTime, bool snapToTape) {
  fullJobId = incrJobId = 0;
  fullTime = incrTime = 0;
  const int fault = InjectedFault("jobmgr.getLastSucessfulBkpJobId");
  if (fault != 0) return fault;
  std::vector<lab::HistoryJob> jobs;
  std::string error;
  if (!lab::ReadHistory(std::to_string(subclientId), jobs, error)) return kHistoryUnreadable;
  const lab::BackupCycle cycle = lab::CurrentCycle(jobs, snapToTape);
  fullJobId = cycle.lastFull;
  incrJobId = cycle.lastIncremental;
  return 0;
}

void vsJobMgr::RecordInHistory() {
  lab::HistoryJob job;
  std::string appId;
  {
    ZtMutexLock lock(mutex_);
    job.jobId = jobId_;
    job.level = bkpLevel_;
    job.copy = snapToTape_;
    appId = record_.subclient;
  }
  std::string error;
  // Without a subclient the job has no history to join; the next job then finds no base and runs full.
  if (!appId.empty()) lab::RecordSuccessfulJob(appId, job, error);
}

std::string vsJobMgr::getOpTypeStr(int opType) const {
  switch (opType) {
    case 4: return "Backup";
    case 59: return "Snap Backup";
    case 60: return "Backup Copy";
    default: return "Unknown Operation (" + std::to_string(opType) + ")";
  }
}

uint64_t vsJobMgr::getReplicationIdForFailbackVM(const std::string& /*vmGuid*/) const {
  return getReplicationIdForFailback();
}
