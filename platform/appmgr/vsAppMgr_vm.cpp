#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabVMClient.h"

bool vsAppMgr::isVCBMounterBackupType() const { return MountText("backupMethod") == "mounter"; }

bool vsAppMgr::isVStorageBackupType() const { return MountText("backupMethod") == "vstorage"; }

bool vsAppMgr::IsRetainSnapSet() const { return MountNumber("retainSnapSet") != 0; }

bool vsAppMgr::GetVMJobIdForParentJob(int64_t parentJobId, int64_t /*subclientId*/, int64_t* jobId) const {
  std::string text;
  int64_t found = 0;
  if (jobId == nullptr || !GetSetting("vmJobOfParent." + std::to_string(parentJobId), text) ||
      !labkv::ParseInt64(text, found) || found <= 0)
    return false;
  *jobId = found;
  return true;
}

std::string vsAppMgr::getVMHostNameFromClientProp(int64_t clientId) const {
  lab::VMClientRecord record;
  std::string error;
  if (lab::ReadVMClientRecord(clientId, record, error) != lab::RecordRead::kRead) return std::string();
  auto found = record.values.find("hostName");
  return found == record.values.end() ? std::string() : found->second;
}
