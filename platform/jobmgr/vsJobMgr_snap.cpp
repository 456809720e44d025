// What the job manager keeps of a backup copy of a snapshot job.
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabCoordinator.h"

bool vsJobMgr::setParentBackupToTapeDone() {
  std::string error;
  return lab::UpdateJobRecord(
      getJobId(),
      [](lab::JobRecord& record, std::string&) {
        record.other["parentBackupToTapeDone"] = "1";
        return true;
      },
      error);
}

bool vsJobMgr::IsParentBackupToTapeDone(int64_t jobId) {
  lab::JobRecord record;
  std::string error;
  if (!lab::ReadJobRecord(jobId, record, error)) return false;
  auto it = record.other.find("parentBackupToTapeDone");
  return it != record.other.end() && it->second == "1";
}

int64_t vsJobMgr::GetSnapVMJobId(int64_t clientId) const {
  const int64_t snapJobId = getSnapBkpJobId();
  if (snapJobId <= 0 || clientId <= 0) return 0;
  const lab::VMJobData data = lab::ReadVMJobData(snapJobId, clientId);
  return data.hasJobId ? data.jobId : 0;
}
