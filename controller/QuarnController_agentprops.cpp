// The agent's properties for its start-up message, kept in a per-instance cache file so that agents
// started one after another do not all ask the hypervisor the same questions.
#include <cstdio>
#include <ctime>

#include "controller/QuarnController.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxFile.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/IVMInfo.h"

namespace {

using S = VirtualServer::VMAgentStartup;

std::string LocalTimeText(time_t when) {
  tm local{};
  localtime_r(&when, &local);
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// SAN datastores are looked up by default for the hypervisors whose proxies read disks over SAN.
bool SanDefault(vsAppMgr* appMgr) {
  const int type = appMgr->getInstanceType();
  const int transport = appMgr->GetTransportMode();
  if (type == kInstanceTypeVMwareHost || type == kInstanceTypeVMware) return transport == 0 || transport == 1;
  return type == kInstanceTypeOracleCloudInfrastructure;
}

}  // namespace

void QuarnController::FillLocalAgentProperties(VirtualServer::VMAgentStartup& startup) {
  static const char* const sig =
      "virtual void QuarnController::FillLocalAgentProperties(VirtualServer::VMAgentStartup&)";
  if (m_appMgr == nullptr || m_jobResultsDir.empty()) return;
  char fileName[64];
  std::snprintf(fileName, sizeof(fileName), "VMAgentProps-%lu.ztf",
                static_cast<unsigned long>(m_appMgr->getInstanceId()));
  const std::string path = m_jobResultsDir + "/" + fileName;
  vsXMLFile cache(path);
  // Several job processes of one host share the file.
  FXNamedMutex fileMutex(fileName);
  auto_lock fileLock(&fileMutex);

  time_t changed = 0, modified = 0, accessed = 0;
  if (FXFile::GetFileTimes(path, changed, modified, accessed).IsSuccess()) {
    int minutes = 15;
    m_registry.GetEntry(REG_nAgentPropsCacheDurationMinutes, minutes, 15);
    if (ZtClock::NowSeconds() - modified < static_cast<time_t>(minutes) * 60) {
      if (cache.Load(startup)) {
        m_event.Debug(sig, "Using Local Agent Properties from cache file [%s] from [%s]", path.c_str(),
                      LocalTimeText(modified).c_str());
        return;
      }
      m_event.Error(sig, "Failed to load cache file %s", path.c_str());
    }
  }

  auto_lock vmInfoLock;
  IVMInfo* vmInfo = GetVMInfoPtr(vmInfoLock);
  if (vmInfo == nullptr) return;

  VMInfoStructs::SHostInfo host;
  if (vmInfo->GetHostInfo(std::string(), host, IVMInfo::kLocalHostMask, 0) != 0)
    startup.setstring(S::F_hypervisorHost, host.name);

  VMInfoStructs::SVMInfo proxy;
  if (vmInfo->GetProxyVMInfo(proxy, 0, 0) != 0) {
    startup.setstring(S::F_proxyGuid, proxy.guid);
    if (startup.getstring(S::F_hypervisorHost).empty()) startup.setstring(S::F_hypervisorHost, proxy.host);
    startup.setstring(S::F_location, proxy.location);
    m_event.Debug(sig, "Local VSA proxy Guid [%s] Host [%s] Location [%s]", proxy.guid.c_str(),
                  startup.getstring(S::F_hypervisorHost).c_str(), proxy.location.c_str());
  }

  const int streamLimit = vmInfo->GetStreamLimit();
  startup.setint64(S::F_streamLimit, streamLimit);
  if (streamLimit != 0) startup.setint64(S::F_streamLimitSource, 2);

  const bool datastoresWanted =
      !(m_jobMgr != nullptr && (m_jobMgr->isSnapBackup() || (m_jobMgr->isSnapToTape() && m_appMgr->isServerTypeVMWare())));
  bool sanDispatch = false;
  m_registry.GetEntry(REG_bEnableSanDatastoreDispatch, sanDispatch, SanDefault(m_appMgr));
  if (datastoresWanted && sanDispatch) {
    std::vector<VMInfoStructs::SDatastoreInfo> datastores;
    if (vmInfo->GetDatastoreList(datastores) != 0) {
      std::vector<std::string>& names = startup.getliststring(S::F_sanDatastores, true);
      for (const auto& datastore : datastores) names.push_back(datastore.name);
    }
  }

  vmInfo->ReleaseSession();
  if (!cache.Save(startup)) m_event.Error(sig, "Failed to save cache file %s", path.c_str());
}
