#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabAgent.h"

bool vsJobMgr::setVMStatusProgressPercentage(const std::string& guid, int percent) {
  if (InjectedFault("jobmgr.setVMStatusProgressPercentage", guid) != 0) return false;
  return lab::AppendVMProgress(getJobId(), guid, percent);
}

bool vsJobMgr::AddCleanupString(const std::string& text) {
  if (InjectedFault("jobmgr.AddCleanupString") != 0) return false;
  return lab::AppendJobCleanupString(getJobId(), true, text);
}

bool vsJobMgr::RemoveCleanupString(const std::string& text) {
  if (InjectedFault("jobmgr.RemoveCleanupString") != 0) return false;
  return lab::AppendJobCleanupString(getJobId(), false, text);
}

bool vsJobMgr::ClearCleanupString() {
  if (InjectedFault("jobmgr.ClearCleanupString") != 0) return false;
  bool cleared = true;
  for (const std::string& text : lab::ReadJobCleanupStrings(getJobId()))
    cleared = lab::AppendJobCleanupString(getJobId(), false, text) && cleared;
  return cleared;
}

std::vector<std::string> vsJobMgr::ReadVMProgressLines(int64_t jobId) { return lab::ReadVMProgress(jobId); }

std::vector<std::string> vsJobMgr::ReadCleanupStrings(int64_t jobId) { return lab::ReadJobCleanupStrings(jobId); }
