#include "platform/appmgr/vsAppMgr.h"

#include <algorithm>

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSubclient.h"

namespace {

std::string Lookup(const std::map<std::string, std::string>& settings, const std::string& key) {
  auto it = settings.find(key);
  return it == settings.end() ? std::string() : it->second;
}

}  // namespace

vsAppMgr::vsAppMgr() = default;
vsAppMgr::~vsAppMgr() = default;

void vsAppMgr::setAppIdStr(const std::string& appId) { ZtMutexLock l(mutex_); appId_ = appId; }
std::string vsAppMgr::getAppIdStr() const { ZtMutexLock l(mutex_); return appId_; }

uint64_t vsAppMgr::getAppId() const {
  uint64_t value = 0;
  return labkv::ParseUInt64(getAppIdStr(), value) ? value : 0;
}

void vsAppMgr::SetLastError(const std::string& text) { ZtMutexLock l(mutex_); lastError_ = text; }
std::string vsAppMgr::getLastError() const { ZtMutexLock l(mutex_); return lastError_; }

int vsAppMgr::InjectedFault(const char* op) {
  lab::Fault fault;
  if (!lab::CheckFault(op, fault)) return kRetOk;
  EvDebug::Error("int vsAppMgr::InjectedFault(const char*)", "[%s] failed with code [%d]: %s", op, fault.code,
                 fault.text.c_str());
  SetLastError(fault.text);
  return fault.code;
}

int vsAppMgr::querySettings() {
  std::string appId = getAppIdStr();
  // The id becomes a file name: anything that could leave the subclients folder is refused.
  if (!lab::IsSafeComponent(appId)) {
    SetLastError("application id [" + appId + "] is not a usable name");
    return kRetBadAppId;
  }
  if (lab::Root().empty()) {
    SetLastError("the lab root is not set");
    return kRetNoLab;
  }
  lab::SubclientRecord record;
  if (int code = ReadSubclient(appId, record)) return code;
  if (int code = InjectedFault("appmgr.querySettings")) return code;

  ZtMutexLock l(mutex_);
  settings_.swap(record.settings);
  memberServers_ = labkv::SplitList(Lookup(settings_, "memberServers"));
  loaded_ = true;
  lastError_.clear();
  return kRetOk;
}

bool vsAppMgr::getRetCodeEvent(int code, EvMessageContainer& container) const {
  if (!isRetCodeError(code)) return false;
  uint32_t id = code > kRetOk && code <= kRetNotQueried ? kRetEventBase + static_cast<uint32_t>(code) : kRetEventOther;
  container.SetMessageID(id, true);
  container << getAppIdStr() << code << getLastError();
  return true;
}

bool vsAppMgr::GetSetting(const std::string& key, std::string& value) const {
  ZtMutexLock l(mutex_);
  auto it = settings_.find(key);
  if (it == settings_.end()) return false;
  value = it->second;
  return true;
}

int64_t vsAppMgr::Number(const std::string& key, int64_t fallback) const {
  std::string text;
  int64_t value = 0;
  if (!GetSetting(key, text) || !labkv::ParseInt64(text, value)) return fallback;
  return value;
}

bool vsAppMgr::Flag(const std::string& key) const { return Number(key, 0) != 0; }

// ---- Instance ----

int vsAppMgr::getInstanceType() const { return static_cast<int>(Number("instanceType", kInstanceTypeVMware)); }

int vsAppMgr::getInstanceType(uint64_t instanceId) const {
  int64_t type = Number("instanceType." + std::to_string(instanceId), -1);
  if (type >= 0) return static_cast<int>(type);
  if (instanceId != 0 && instanceId == getInstanceId()) return getInstanceType();
  return kInstanceTypeUnknown;
}

uint64_t vsAppMgr::getInstanceId() const { return static_cast<uint64_t>(Number("instanceId", 0)); }
uint64_t vsAppMgr::getKeyrealmId() const { return static_cast<uint64_t>(Number("keyrealmId", 0)); }

std::string vsAppMgr::getSubclientGUID() const {
  std::string value;
  GetSetting("subclientGUID", value);
  return value;
}

std::string vsAppMgr::getSubclientName() const {
  std::string value;
  GetSetting("subclientName", value);
  return value;
}

int vsAppMgr::getMaxStreamsToUse() const { return static_cast<int>(Number("maxStreams", 0)); }
int vsAppMgr::GetTransportMode() const {
  {
    ZtMutexLock l(mutex_);
    if (transportModeOverride_ >= 0) return transportModeOverride_;
  }
  return static_cast<int>(Number("transportMode", 0));
}

// ---- Failback ----

bool vsAppMgr::queryReplicationSettingsForFailback(uint64_t replicationId, int which, std::string& text,
                                                   uint64_t& instanceId) {
  if (which != 1 && which != 2) return false;
  if (InjectedFault("appmgr.queryReplicationSettingsForFailback") != kRetOk) return false;
  std::string configured;
  uint64_t configuredId = 0;
  if (!GetSetting("failbackReplicationId", configured) || !labkv::ParseUInt64(configured, configuredId) ||
      configuredId != replicationId)
    return false;
  std::string idText;
  uint64_t id = 0;
  const char* idKey = which == 1 ? "failbackSourceInstanceId" : "failbackDestinationInstanceId";
  if (!GetSetting(idKey, idText) || !labkv::ParseUInt64(idText, id) || id == 0) return false;
  std::string name;
  GetSetting(which == 1 ? "failbackSourceName" : "failbackDestinationName", name);
  text = name;
  instanceId = id;
  return true;
}

int vsAppMgr::getSourceInstanceTypeForFailback() const {
  std::string idText;
  uint64_t id = 0;
  if (!GetSetting("failbackSourceInstanceId", idText) || !labkv::ParseUInt64(idText, id) || id == 0) return 0;
  return getInstanceType(id);
}

void vsAppMgr::setIsCrossVendorFailback(bool on) { ZtMutexLock l(mutex_); crossVendorFailback_ = on; }
bool vsAppMgr::getIsCrossVendorFailback() const { ZtMutexLock l(mutex_); return crossVendorFailback_; }

int vsAppMgr::queryMemberServersForInstance(uint64_t instanceId) {
  if (int code = InjectedFault("appmgr.queryMemberServersForInstance")) return code;
  if (instanceId == 0) return RefreshOwnMemberServers();
  std::string list;
  if (!GetSetting("memberServers." + std::to_string(instanceId), list)) {
    if (instanceId != getInstanceId() || !GetSetting("memberServers", list)) return kRetNoMemberServers;
  }
  std::vector<std::string> servers = labkv::SplitList(list);
  if (servers.empty()) return kRetNoMemberServers;
  ZtMutexLock l(mutex_);
  memberServers_ = servers;
  return kRetOk;
}

int vsAppMgr::ReadSubclient(const std::string& appId, lab::SubclientRecord& record) {
  std::string error;
  switch (lab::ReadSubclientRecord(appId, record, error)) {
    case lab::RecordRead::kRead:
      return 0;
    case lab::RecordRead::kMissing:
      SetLastError(error);
      return kRetNoSubclient;
    case lab::RecordRead::kUnreadable:
      SetLastError(error);
      return kRetUnreadable;
    case lab::RecordRead::kMalformed:
      SetLastError(error);
      return kRetBadSettings;
  }
  return kRetBadSettings;
}

int vsAppMgr::RefreshOwnMemberServers() {
  lab::SubclientRecord record;
  if (int code = ReadSubclient(getAppIdStr(), record)) return code;
  const std::string list = Lookup(record.settings, "memberServers");
  ZtMutexLock l(mutex_);
  settings_["memberServers"] = list;
  memberServers_ = labkv::SplitList(list);
  return kRetOk;
}

std::vector<std::string> vsAppMgr::getMemberServers() const { ZtMutexLock l(mutex_); return memberServers_; }

bool vsAppMgr::AddFBRMAInMemberServerList() {
  std::string fbrMA;
  if (!GetSetting("fbrMA", fbrMA) || fbrMA.empty()) return false;
  ZtMutexLock l(mutex_);
  if (std::find(memberServers_.begin(), memberServers_.end(), fbrMA) == memberServers_.end())
    memberServers_.push_back(fbrMA);
  return true;
}

// ---- Settings queried during set-up ----

bool vsAppMgr::IsProxyServerDetailsSet() const { return Flag("proxyServerDetails"); }

int vsAppMgr::querySnapFailoverESXHostsProperties(bool refresh) {
  {
    ZtMutexLock l(mutex_);
    if (!loaded_) return kRetNotQueried;
  }
  return InjectedFault("appmgr.querySnapFailoverESXHostsProperties");
}

int vsAppMgr::queryVMArchivingSettings() {
  {
    ZtMutexLock l(mutex_);
    if (!loaded_) return kRetNotQueried;
  }
  return InjectedFault("appmgr.queryVMArchivingSettings");
}

bool vsAppMgr::isTaskOptionsNeedToBeHonoredForLVM() const { return Flag("honorTaskOptionsForLVM"); }
bool vsAppMgr::IsCollectFileDetailsSet() const { return Flag("collectFileDetails"); }
bool vsAppMgr::IsCollectFileDetailsForSnapSet() const { return Flag("collectFileDetailsForSnap"); }
bool vsAppMgr::isUseIndexingV2Enabled() const { return Flag("indexingV2"); }
bool vsAppMgr::IsMeditechSubclient() const { return Flag("meditech"); }
bool vsAppMgr::GetAppAwareEnabled() const { return Flag("appAware"); }
bool vsAppMgr::IsApplicationValidationEnabled() const { return Flag("appValidation"); }
