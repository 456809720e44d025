// The index of a backup copy of a snapshot job.
#include <vector>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"

int vsIndexClient::CopySnapIndexToBackupCopy(int64_t snapJobId, uint32_t, uint64_t) {
  lab::Fault fault;
  if (lab::CheckFault("index.CopySnapIndexToBackupCopy", fault)) {
    SetError(fault.text.empty() ? "index.CopySnapIndexToBackupCopy failed" : fault.text);
    return 0;
  }
  std::string error;
  const std::string guid = appMgr_->getSubclientGUID();
  const std::string from = lab::IndexJobDir(guid, snapJobId, error);
  const std::string to = lab::IndexJobDir(guid, jobMgr_->getJobId(), error);
  if (from.empty() || to.empty()) {
    SetError(error);
    return 0;
  }
  if (!CPxDirectory::Exists(from)) {
    SetError("snapshot job " + std::to_string(snapJobId) + " has no index");
    return 0;
  }
  if (!lab::MakeDirs(to)) {
    SetError("cannot create the cache folder " + to);
    return 0;
  }
  std::vector<std::string> names;
  CPxDirectory::List(from, names);
  for (const std::string& name : names) {
    const CPxError copied = CPxFile::Copy(CPxPath::Append(from, name, false), CPxPath::Append(to, name, false));
    if (copied.IsError()) {
      SetError(copied.AsString());
      return 0;
    }
  }
  return 1;
}
