#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabAgent.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/vsXMLFile.h"

namespace {

// App::VSAReplicationInfo (group 30, type 9).
constexpr int kReplicationGroup = 30;
constexpr int kReplicationType = 9;

std::string BackupType(const vsAppMgr& app) {
  std::string type = "disk";
  app.GetSetting("backupType", type);
  return type;
}

}  // namespace

bool vsAppMgr::isDiskLevelBackup() const { return BackupType(*this) == "disk"; }
bool vsAppMgr::isVolumeLevelBackup() const { return BackupType(*this) == "volume"; }
bool vsAppMgr::isFileLevelBackup() const { return BackupType(*this) == "file"; }

bool vsAppMgr::setVSAReplicationInfo(const CNMessageBase& info) {
  if (info.getGroup() != kReplicationGroup || info.getType() != kReplicationType) return false;
  if (InjectedFault("appmgr.setVSAReplicationInfo") != kRetOk) return false;
  const std::string path = lab::ReplicationRecordPath(getAppIdStr());
  if (path.empty()) return false;
  vsXMLFile file(path);
  return file.Save(info);
}
