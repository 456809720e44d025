#include "controller/QuarnDatastoreMonitor.h"

#include <strings.h>

#include <climits>

#include "controller/QuarnController.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/os/CPxString.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/FXLockableResource.h"

namespace {

const char* const kSigInitialize = "bool QuarnDatastoreMonitor::Initialize(QuarnController*)";
const char* const kSigRegister =
    "bool QuarnDatastoreMonitor::RegisterDatastore(const std::string&, const std::string&, const std::string&, const "
    "std::string&)";
const char* const kSigUnregister = "void QuarnDatastoreMonitor::UnregisterDatastores(const std::string&, const std::string&)";
const char* const kSigInsert = "void QuarnDatastoreMonitor::InsertNewDatastores()";
const char* const kSigMonitor = "void QuarnDatastoreMonitor::MonitorDatastore(QuarnDatastoreMonitorInfo&)";
const char* const kSigGetInfo = "bool QuarnDatastoreMonitor::GetDatastoreInfo(QuarnDatastoreMonitorInfo&)";
const char* const kSigReport = "void QuarnDatastoreMonitor::ReportDatastore(QuarnDatastoreMonitorInfo&)";

constexpr unsigned long kPassMs = 10000;
constexpr int64_t kFailedPollSeconds = 300;
constexpr int64_t kBytesPerMB = 1048576;
constexpr int64_t kFiveGB = 5368709120LL;
constexpr int64_t kTenGB = 10737418240LL;

// Seconds between two checks of a datastore with this much free space.
int64_t PollInterval(double percentFree, int64_t freeBytes) {
  if (freeBytes < kFiveGB) return 10;
  if (freeBytes < kTenGB) return 20;
  if (percentFree > 25) return 300;
  if (percentFree > 10) return 120;
  if (percentFree > 5) return 60;
  if (percentFree > 2) return 30;
  return 10;
}

}  // namespace

QuarnDatastoreMonitorInfo::QuarnDatastoreMonitorInfo(const std::string& name, const std::string& host)
    : lock(std::make_shared<ZtCriticalSection>()), name(name), host(host) {}

QuarnDatastoreMonitor::QuarnDatastoreMonitor() = default;

QuarnDatastoreMonitor::~QuarnDatastoreMonitor() { Deinitialize(); }

bool QuarnDatastoreMonitor::Initialize(QuarnController* controller) {
  m_controller = controller;
  int64_t threshold = kDefaultThreshold;
  unsigned long long megabytes = 0;
  if (ZTPlatformInfo().getNumber("VirtualServer", "MinDatastoreFreespaceMB", &megabytes)) {
    // A value whose bytes do not fit would stop every VM of every datastore.
    if (megabytes > static_cast<unsigned long long>(LLONG_MAX / kBytesPerMB))
      m_event.Error(kSigInitialize, "MinDatastoreFreespaceMB [%llu] is out of range, the default is kept", megabytes);
    else
      threshold = static_cast<int64_t>(megabytes) * kBytesPerMB;
  }
  m_threshold = threshold;
  m_event.Debug(kSigInitialize, "Monitoring datastore for less than [%s] bytes of freespace",
                IntToCommaString(threshold).c_str());
  m_quit = false;
  if (!StartMonitorThread()) {
    m_event.Error(kSigInitialize, "Failed to start monitor thread");
    return false;
  }
  m_initialized = true;
  return true;
}

void QuarnDatastoreMonitor::Deinitialize() {
  if (!m_initialized.load()) return;
  StopMonitorThread();
  m_initialized = false;
}

bool QuarnDatastoreMonitor::StartMonitorThread() {
  return m_monitorThread.Create(&QuarnDatastoreMonitor::MonitorThreadStatic, this, "datastore monitor");
}

void QuarnDatastoreMonitor::StopMonitorThread() {
  m_quit = true;
  m_wakeEvent.set();
  m_monitorThread.Join();
}

void* QuarnDatastoreMonitor::MonitorThreadStatic(void* context) {
  if (context != nullptr) static_cast<QuarnDatastoreMonitor*>(context)->MonitorThread();
  return nullptr;
}

void QuarnDatastoreMonitor::MonitorThread() {
  while (!CheckQuitFlag()) {
    InsertNewDatastores();
    MonitorDatastores();
    ReportDatastores();
    m_wakeEvent.wait(kPassMs);
  }
}

bool QuarnDatastoreMonitor::RegisterDatastore(const std::string& vmName, const std::string& vmGuid,
                                              const std::string& host, const std::string& datastore) {
  if (!m_initialized.load() || vmGuid.empty() || datastore.empty()) return false;
  m_event.DebugLvl(m_registrationLogLevel, kSigRegister, "Registering datastore [%s] for VM [%s] from host [%s]",
                   datastore.c_str(), vmName.c_str(), host.c_str());
  ZtCriticalSectionLock mapLock(&m_mapLock);
  QuarnDatastoreMonitorInfo* record = FindRecord(datastore);
  if (record == nullptr) {
    record = &m_pending.emplace(datastore, QuarnDatastoreMonitorInfo(datastore, host)).first->second;
    m_anyPending = true;
  }
  {
    ZtCriticalSectionLock recordLock(record->lock.get());
    record->vms.push_back(vmGuid);
    record->pollInterval = 0;
  }
  ZtCriticalSectionLock vmLock(&m_vmDatastoresLock);
  m_vmDatastores[vmGuid].insert(datastore);
  return true;
}

void QuarnDatastoreMonitor::UnregisterDatastores(const std::string& vmName, const std::string& vmGuid) {
  if (!m_initialized.load()) return;
  m_event.DebugLvl(m_registrationLogLevel, kSigUnregister, "Unregistering datastores for VM [%s]", vmName.c_str());
  ZtCriticalSectionLock mapLock(&m_mapLock);
  ZtCriticalSectionLock vmLock(&m_vmDatastoresLock);
  auto vm = m_vmDatastores.find(vmGuid);
  if (vm == m_vmDatastores.end()) return;
  for (const std::string& datastore : vm->second) {
    QuarnDatastoreMonitorInfo* record = FindRecord(datastore);
    if (record == nullptr) continue;
    ZtCriticalSectionLock recordLock(record->lock.get());
    record->vms.remove_if([&](const std::string& guid) { return strcasecmp(guid.c_str(), vmGuid.c_str()) == 0; });
  }
  m_vmDatastores.erase(vm);
}

QuarnDatastoreMonitorInfo* QuarnDatastoreMonitor::FindRecord(const std::string& datastore) {
  auto monitored = m_monitored.find(datastore);
  if (monitored != m_monitored.end()) return &monitored->second;
  auto pending = m_pending.find(datastore);
  return pending != m_pending.end() ? &pending->second : nullptr;
}

void QuarnDatastoreMonitor::InsertNewDatastores() {
  if (!m_anyPending.load()) return;
  ZtCriticalSectionLock mapLock(&m_mapLock);
  for (auto& entry : m_pending) {
    if (m_monitored.count(entry.first) != 0) {
      m_event.Debug(kSigInsert, "Datastore [%s] is already in the map", entry.first.c_str());
      continue;
    }
    m_monitored.emplace(entry.first, entry.second);
    m_event.Debug(kSigInsert, "Enabled monitoring on datastore [%s]", entry.first.c_str());
  }
  m_pending.clear();
  m_anyPending = false;
}

void QuarnDatastoreMonitor::MonitorDatastores() {
  const int64_t now = ZtClock::NowSeconds();
  for (auto& entry : m_monitored) {
    QuarnDatastoreMonitorInfo& record = entry.second;
    ZtCriticalSectionLock recordLock(record.lock.get());
    if (record.vms.empty()) continue;
    if (record.pollInterval != 0 && now - record.lastCheckTime < record.pollInterval) continue;
    MonitorDatastore(record);
    record.lastCheckTime = now;
  }
}

void QuarnDatastoreMonitor::MonitorDatastore(QuarnDatastoreMonitorInfo& record) {
  if (!GetDatastoreInfo(record)) {
    record.infoFailed = true;
    record.pollInterval = kFailedPollSeconds;
    return;
  }
  record.infoFailed = false;
  const int64_t freeBytes = record.datastoreInfo.freeSpace;
  record.percentFree =
      static_cast<double>(freeBytes) / static_cast<double>(record.datastoreInfo.capacity) * 100.0;
  record.pollInterval = PollInterval(record.percentFree, freeBytes);
  ReportDatastore(record);
  if (freeBytes >= m_threshold.load()) return;
  m_event.Debug(kSigMonitor, "Datastore [%s] is critically low on space, stopping backups for [%zd] VMs",
                record.name.c_str(), static_cast<ssize_t>(record.vms.size()));
  char reason[512];
  std::snprintf(reason, sizeof(reason), "low freespace on %s, %s bytes free.", record.name.c_str(),
                IntToCommaString(freeBytes).c_str());
  for (const std::string& guid : record.vms) m_controller->SetQuitFlagForVM(guid, reason);
}

bool QuarnDatastoreMonitor::GetDatastoreInfo(QuarnDatastoreMonitorInfo& record) {
  auto_lock lock;
  IVMInfo* vmInfo = m_controller->GetVMInfoPtr(lock);
  if (vmInfo == nullptr) return false;
  if (vmInfo->GetDatastoreInfo(record.name, std::string(), record.host, 0, 0, record.datastoreInfo) == 0) {
    m_event.Debug(kSigGetInfo, "Failed to get datastore info for [%s]", record.name.c_str());
    return false;
  }
  // A size that is not above 0 would make every percentage meaningless (or divide by 0).
  if (record.datastoreInfo.capacity <= 0) {
    m_event.Debug(kSigGetInfo, "Invalid size returned for datastore [%s]", record.name.c_str());
    return false;
  }
  return true;
}

void QuarnDatastoreMonitor::ReportDatastores() {
  const int64_t now = ZtClock::NowSeconds();
  if (now - m_lastReportTime < QUARN_DATASTORE_MONITOR_REPORT_INTERVAL_MINUTES * 60) return;
  for (auto& entry : m_monitored) {
    QuarnDatastoreMonitorInfo& record = entry.second;
    ZtCriticalSectionLock recordLock(record.lock.get());
    if (!record.vms.empty() && !record.infoFailed) ReportDatastore(record);
  }
  m_lastReportTime = now;
}

void QuarnDatastoreMonitor::ReportDatastore(QuarnDatastoreMonitorInfo& record) {
  m_event.Debug(kSigReport, "Datastore [%s] [%s] bytes free [%.2f%%]  Update Interval [%d] seconds  [%zd] VMs",
                record.name.c_str(), IntToCommaString(record.datastoreInfo.freeSpace).c_str(), record.percentFree,
                static_cast<int>(record.pollInterval), static_cast<ssize_t>(record.vms.size()));
}

bool QuarnDatastoreMonitor::TEST_GetMonitored(const std::string& datastore, QuarnDatastoreMonitorInfo& copy) {
  ZtCriticalSectionLock mapLock(&m_mapLock);
  auto it = m_monitored.find(datastore);
  if (it == m_monitored.end()) return false;
  ZtCriticalSectionLock recordLock(it->second.lock.get());
  copy = it->second;
  return true;
}

size_t QuarnDatastoreMonitor::TEST_PendingCount() {
  ZtCriticalSectionLock mapLock(&m_mapLock);
  return m_pending.size();
}
