// The index of a backup copy of a snapshot job: the snapshot job's index becomes the copy's, so that
// what a later job asks of the copy (its VMs, their metadata files and what the index knows of each)
// reads as it did of the snapshot job.
#include <vector>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabIndex.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxPath.h"

bool vsIndexClient::CopyIndexFolder(const std::string& from, const std::string& to, bool& found) {
  if (!CPxDirectory::Exists(from)) return true;
  found = true;
  if (!lab::MakeDirs(to)) {
    SetError("cannot create the cache folder " + to);
    return false;
  }
  bool copied = false;
  return CopyMatches(from, "*", to, copied);
}

int vsIndexClient::CopySnapIndexToBackupCopy(int64_t snapJobId, uint32_t, uint64_t) {
  std::string guid, error;
  int64_t jobId = 0;
  if (!CheckOpen() || Faulted("index.CopySnapIndexToBackupCopy") || !JobIdentity(guid, jobId)) return 0;
  const std::string from = lab::IndexJobDir(guid, snapJobId, error);
  const std::string to = lab::IndexJobDir(guid, jobId, error);
  if (from.empty() || to.empty()) {
    SetError(error);
    return 0;
  }
  bool found = false;
  if (!CopyIndexFolder(from, to, found)) return 0;

  // The job's record: its VMs, level and whether it was finalised.
  lab::IndexJobRecord snapRecord;
  bool exists = false;
  if (!lab::ReadIndexJobRecord(guid, snapJobId, snapRecord, exists, error)) {
    SetError(error);
    return 0;
  }
  if (exists) {
    found = true;
    const bool kept = lab::UpdateIndexJobRecord(
        guid, jobId,
        [&](lab::IndexJobRecord& record, std::string&) {
          if (record.level == 0) record.level = snapRecord.level;
          record.finalized = record.finalized || snapRecord.finalized;
          record.fixedLengthExtentNames = snapRecord.fixedLengthExtentNames;
          for (const auto& vm : snapRecord.vms) record.vms.insert(vm);
          return true;
        },
        error);
    if (!kept) {
      SetError(error);
      return 0;
    }
  }

  // Each VM's files and what the index knows of it from the snapshot job.
  for (const std::string& vm : lab::IndexVMs(guid)) {
    if (!CopyIndexFolder(lab::IndexVMJobDir(guid, vm, snapJobId, error), lab::IndexVMJobDir(guid, vm, jobId, error),
                         found))
      return 0;
    std::vector<std::vector<std::string>> entries;
    if (!lab::ReadIndexVMEntries(guid, vm, snapJobId, entries, error)) {
      SetError(error);
      return 0;
    }
    if (entries.empty()) continue;
    found = true;
    if (!lab::WriteIndexVMEntries(guid, vm, jobId, entries, error)) {
      SetError(error);
      return 0;
    }
  }
  if (!found) {
    SetError("snapshot job " + std::to_string(snapJobId) + " has no index");
    return 0;
  }
  return 1;
}
