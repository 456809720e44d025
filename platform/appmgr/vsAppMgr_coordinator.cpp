#include <strings.h>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabKeyValue.h"
#include "records/MountCtx.h"

void vsAppMgr::resetCredentials() {
  ZtMutexLock l(mutex_);
  credentialsFetched_ = false;
}

int vsAppMgr::getCredentials(vsAppMgrServerCredentials& server, std::vector<SHostCredentials>& hosts) {
  server = vsAppMgrServerCredentials();
  hosts.clear();
  GetSetting("server", server.server);
  GetSetting("serverUser", server.user);
  GetSetting("serverPassword", server.password);
  if (server.server.empty()) return kRetNoCredentials;
  ZtMutexLock l(mutex_);
  credentialsFetched_ = true;
  return kRetOk;
}

int vsAppMgr::getCredentials(std::vector<SHostCredentials>& hosts) {
  hosts.clear();
  return kRetOk;
}

int vsAppMgr::getCredentialsForServer(const std::string& server, std::string& user, std::string& password,
                                      std::string& domain) {
  user.clear();
  password.clear();
  domain.clear();
  std::string own;
  GetSetting("server", own);
  if (own.empty() || strcasecmp(own.c_str(), server.c_str()) != 0) return kRetNoCredentials;
  GetSetting("serverUser", user);
  GetSetting("serverPassword", password);
  return kRetOk;
}

bool vsAppMgr::getUseVMInstanceUuid() const { return Flag("useVMInstanceUuid"); }

int vsAppMgr::getMemberServers(std::vector<std::string>& servers) const {
  ZtMutexLock l(mutex_);
  if (!loaded_) return kRetNotQueried;
  servers = memberServers_;
  return kRetOk;
}

int vsAppMgr::queryBackupCopyMemberServers() {
  std::string list;
  if (!GetSetting("backupCopyMemberServers", list)) return kRetOk;
  std::vector<std::string> servers = labkv::SplitList(list);
  ZtMutexLock l(mutex_);
  if (!loaded_) return kRetNotQueried;
  if (!servers.empty()) memberServers_ = servers;
  return kRetOk;
}

bool vsAppMgr::IsSeperateBackupProxySet() const { return Flag("separateBackupProxy"); }

int vsAppMgr::queryDataPathMediaAgents() {
  std::string list;
  GetSetting("dataPathMediaAgents", list);
  std::vector<std::string> agents = labkv::SplitList(list);
  ZtMutexLock l(mutex_);
  if (!loaded_) return kRetNotQueried;
  dataPathMediaAgents_ = agents;
  return kRetOk;
}

bool vsAppMgr::IsDataPathMediaAgent(const std::string& name) const {
  ZtMutexLock l(mutex_);
  for (const std::string& agent : dataPathMediaAgents_)
    if (strcasecmp(agent.c_str(), name.c_str()) == 0) return true;
  return false;
}
