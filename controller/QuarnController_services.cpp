// Services the controller offers its workers: clean-up registration, datastores, read speeds and
// snapshot mounts.
#include "controller/QuarnController.h"

bool QuarnController::RegisterVMForCleanup(const std::string& host, const std::string& vmName,
                                           const std::string& vmGuid, const std::string& cleanupText) {
  ZtCriticalSectionLock lock(&m_cleanupLock);
  return m_cleanupClient.RegisterVM(host, vmName, vmGuid, cleanupText);
}

bool QuarnController::UnregisterVMFromCleanup(const std::string& host, const std::string& vmName,
                                              const std::string& vmGuid, const std::string& cleanupText) {
  ZtCriticalSectionLock lock(&m_cleanupLock);
  return m_cleanupClient.UnregisterVM(host, vmName, vmGuid, cleanupText);
}

bool QuarnController::StartDatastoreMonitor() {
  static const char* const sig = "bool QuarnController::StartDatastoreMonitor()";
  bool enabled = false;
  m_registry.GetEntry(REG_bEnableDatastoreMonitor, enabled, false);
  if (!enabled || !(m_appMgr->isServerTypeVMWare() || m_appMgr->isServerTypeMS())) return true;
  if (!m_datastoreMonitor.Initialize(this)) {
    m_event.Error(sig, "Failed to initialize datastore monitor");
    return false;
  }
  return true;
}

void QuarnController::StopDatastoreMonitor() { m_datastoreMonitor.Deinitialize(); }

bool QuarnController::RegisterDatastore(const std::string& vmName, const std::string& vmGuid, const std::string& host,
                                        const std::string& datastore) {
  return m_datastoreMonitor.RegisterDatastore(vmName, vmGuid, host, datastore);
}

void QuarnController::UnregisterDatastores(const std::string& vmName, const std::string& vmGuid) {
  m_datastoreMonitor.UnregisterDatastores(vmName, vmGuid);
}

CMultiStreamMediaSpeedCounter* QuarnController::GetDatastoreMediaSpeedCounter(const std::string& datastore) {
  ZtCriticalSectionLock lock(&m_speedCounterLock);
  std::unique_ptr<CMultiStreamMediaSpeedCounter>& counter = m_speedCounters[datastore];
  if (!counter) {
    counter = std::make_unique<CMultiStreamMediaSpeedCounter>();
    counter->Reset();
    char name[512];
    std::snprintf(name, sizeof(name), "Datastore Read [%s]", datastore.c_str());
    counter->SetName(name);
  }
  return counter.get();
}

void QuarnController::OuputDatastoreMedaiSpeedCounters() {
  static const char* const sig = "void QuarnController::OuputDatastoreMedaiSpeedCounters()";
  ZtCriticalSectionLock lock(&m_speedCounterLock);
  if (m_speedCounters.empty()) return;
  m_event.Debug(sig, "--- Datastore read speeds ---");
  for (auto& entry : m_speedCounters) {
    m_event.Debug(sig, "%s", entry.second->Print().c_str());
    entry.second->Reset();
  }
}

void QuarnController::SetVMSnapMountInfoList(const std::vector<VirtualServer::VMMountSnapInfo>& list) {
  ZtCriticalSectionLock lock(&m_snapMountLock);
  m_snapMounts = list;
}
