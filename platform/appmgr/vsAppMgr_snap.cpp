// The storage-snapshot settings of the subclient and what a snapshot job sets for its process.
#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabKeyValue.h"
#include "records/messages/JobManagerMessages.h"

int vsAppMgr::getSnapMountPathForSnap(std::string& path) const {
  std::string value;
  if (!GetSetting("snapMountPath", value)) value = "/snapmount";
  path = value;
  return value.empty() ? 0 : 1;
}

int vsAppMgr::getBackupType() const { return MountNumber("snapBackupType"); }
bool vsAppMgr::getTruncateExDbLogSet() const { return Flag("truncateExchangeLog"); }
bool vsAppMgr::getTruncateSqlLogSet() const { return Flag("truncateSqlLog"); }

int vsAppMgr::GetJMDataLinkForParentJob(int64_t parentJobId, int linkType, CNMessageBase& response) {
  using Links = JobManager::GetJMJobDataLinkResp;
  using Link = JobManager::JMJobDataLink;
  if (const int code = InjectedFault("appmgr.GetJMDataLinkForParentJob")) return code;
  if (response.getTagID() != Links::TAG) return kRetBadSettings;
  std::string text;
  GetSetting("dataLink." + std::to_string(parentJobId) + "." + std::to_string(linkType), text);
  CNMessageList found;
  for (const std::string& entry : labkv::SplitList(text)) {
    const size_t colon = entry.find(':');
    int64_t jobId = 0;
    if (!labkv::ParseInt64(entry.substr(0, colon), jobId) || jobId <= 0) {
      SetLastError("linked job [" + entry + "] of job " + std::to_string(parentJobId) + " is not a job id");
      return kRetBadSettings;
    }
    Link link;
    link.setint64(Link::F_linkedJobId, jobId);
    if (colon != std::string::npos) link.setstring(Link::F_linkedIndexText, entry.substr(colon + 1));
    found.emplace_back(link);
  }
  response.getlistobject(Links::F_links, true) = found;
  return kRetOk;
}

int vsAppMgr::getServerdetails(const std::string&, std::string& server, std::string& host, std::string& text3,
                               std::string& text4) const {
  {
    ZtMutexLock lock(mutex_);
    if (!loaded_) return kRetNotQueried;
  }
  server = MountText("snapMountHost.server");
  host = MountText("snapMountHost.host");
  text3 = MountText("snapMountHost.text3");
  text4 = MountText("snapMountHost.text4");
  return kRetOk;
}

void vsAppMgr::setSnapMountESXServer(const std::string& host) {
  ZtMutexLock lock(mutex_);
  snapMountESXServer_ = host;
}

std::string vsAppMgr::getSnapMountESXServer() const {
  ZtMutexLock lock(mutex_);
  return snapMountESXServer_;
}

void vsAppMgr::SetBackupLevel(int level) {
  ZtMutexLock lock(mutex_);
  backupLevel_ = level;
}

int vsAppMgr::GetBackupLevel() const {
  ZtMutexLock lock(mutex_);
  return backupLevel_;
}

void vsAppMgr::SetBackupMethod(int method) {
  ZtMutexLock lock(mutex_);
  backupMethod_ = method;
}

int vsAppMgr::GetBackupMethod() const {
  ZtMutexLock lock(mutex_);
  return backupMethod_;
}
