// Services the controller offers its workers: clean-up registration, datastores, read speeds,
// snapshot mounts, and the two index requests beside the metadata files (the in-image header and
// the browse paths).
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
    uint32_t interval = 600;
    m_registry.GetEntry(REG_nBackupPerfCounterInterval, interval, 600u);
    counter->EnableLogging(interval);
    counter->Reset();
    counter->Initialize("Datastore Read [" + datastore + "]", m_jobMgr != nullptr ? m_jobMgr->getJobId() : 0);
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

int QuarnController::SendInImageDiskHeader(const std::string& a, const std::string& b, const std::string&,
                                           unsigned long, unsigned long, ZTBkpLevel, const std::string& f) {
  static const char* const sig =
      "int QuarnController::SendInImageDiskHeader(const std::string&, const std::string&, const std::string&, "
      "unsigned long, unsigned long, ZTBkpLevel, const std::string&)";
  if (a.empty() || b.empty()) return 127;
  if (m_appMgr != nullptr && m_appMgr->isUseIndexingV2Enabled()) return 0;
  const std::string item = "\\" + a + "\\" + b;
  m_event.Debug(sig, "Sending in-image file Header for disk path:[%s]", item.c_str());
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) {
    m_event.Error(sig, "Index client is not initialized");
    return 0;
  }
  // The header is only a pointer for browsing: a failure is logged, the disk's backup goes on.
  const uint64_t keyrealm = m_appMgr != nullptr ? m_appMgr->getKeyrealmId() : 0;
  const bool infoSent = client->SendArchiveFileInfo(keyrealm, 1);
  const bool flagSent = client->SendInImageFlag(item, 0, true, 1, f);
  if (!infoSent || !flagSent)
    m_event.Error(sig, "Failed to send the in-image header for [%s]: %s", item.c_str(),
                  client->GetLastError().c_str());
  return 0;
}

bool QuarnController::SendBrowseViewPaths(const std::vector<std::string>& paths, const std::string& a,
                                          IdxMetadata::IdxMetaData& metadata, const std::string& b,
                                          unsigned long long n, long m) {
  if (m_jobMgr == nullptr || m_appMgr == nullptr) return false;
  if (m_jobMgr->isSnapToTape()) return true;
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) return false;
  const uint32_t archiveFileId = m_masterIndexFileId.load();
  if (archiveFileId != 0 &&
      !client->SendArchiveFileInfo(m_appMgr->getKeyrealmId(), archiveFileId, m_masterIndexFileTime.load(),
                                   m_appMgr->getAppId(), m_jobMgr->getJobId(), m_jobMgr->getBkpLevel()))
    return false;
  return client->SendBrowseViewPaths(paths, a, metadata, b, n, m) && client->CommitArchiveFileInfo();
}
