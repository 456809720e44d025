// The per-VM status records of the job.

#include "platform/ev/EvDebug.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/msg/CNMessageBase.h"

namespace {

const char* const kSigSetVMStatus = "bool vsJobMgr::setVMStatus(const std::string&, CNMessageBase&)";

// JobManager::VMUpdateInfo and its VM status field.
constexpr uint32_t kVMUpdateInfoTag = 0x15A0B32E;
constexpr int kVMStatusNumber = 6;
constexpr uint32_t kVMStatusCheck = 0x32BC12;
constexpr int64_t kVMStatusInProgress = 2;

}  // namespace

bool vsJobMgr::setVMStatus(const std::string& guid, CNMessageBase& info) {
  if (info.getTagID() != kVMUpdateInfoTag) {
    EvDebug::Error(kSigSetVMStatus, "VM [%s] status refused: message [%s] is not a VM status record", guid.c_str(),
                   info.getTagName().c_str());
    return false;
  }
  if (InjectedFault("jobmgr.setVMStatus", guid) != 0) return false;
  std::string error;
  // A running VM's record changes with every step of its progress; only where the VM ends up must
  // survive a crash of the machine.
  const bool synced = info.getint64(kVMStatusNumber, kVMUpdateInfoTag, kVMStatusCheck) != kVMStatusInProgress;
  if (!lab::SaveVMStatus(getJobId(), guid, info, synced, error)) {
    EvDebug::Error(kSigSetVMStatus, "VM [%s] status not saved: %s", guid.c_str(), error.c_str());
    return false;
  }
  return true;
}

bool vsJobMgr::updateVMBkpJobStatus(uint64_t keyrealmId, bool flag) {
  if (InjectedFault("jobmgr.updateVMBkpJobStatus") != 0) return false;
  // The records kept inside the client go to the job manager now.
  std::map<std::string, CNMessagePtr> kept;
  {
    ZtMutexLock l(mutex_);
    kept.swap(keptRecords_);
  }
  bool saved = true;
  for (auto& entry : kept) saved = setVMStatus(entry.first, *entry.second) && saved;
  return lab::AppendVMStatusUpdate(getJobId(), keyrealmId, flag) && saved;
}

bool vsJobMgr::ReadVMStatus(int64_t jobId, const std::string& guid, CNMessageBase& info) {
  std::string error;
  return lab::LoadVMStatus(jobId, guid, info, error);
}

std::vector<std::string> vsJobMgr::ReadVMStatusGuids(int64_t jobId) { return lab::VMStatusGuids(jobId); }
