#pragma once
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/vmParams.h"
#include "platform/ev/EvEvent.h"
#include "platform/os/ZtThread.h"
#include "records/VMInfoStructs.h"
#include "records/ZtCriticalSection.h"
#include "records/ZtEvent.h"

class QuarnController;

// One datastore under watch. Copies share the lock, so a record moved from the pending map to the
// monitored one keeps it.
struct QuarnDatastoreMonitorInfo {
  QuarnDatastoreMonitorInfo(const std::string& name, const std::string& host);

  std::shared_ptr<ZtCriticalSection> lock;
  // Constant after construction.
  std::string name;
  std::string host;
  // Guarded by *lock.
  int64_t lastCheckTime = 0;  // seconds of the platform clock
  int64_t pollInterval = 0;   // seconds; 0: check at the next pass
  bool infoFailed = false;
  VMInfoStructs::SDatastoreInfo datastoreInfo;
  std::list<std::string> vms;  // GUIDs; a VM registering twice is listed twice
  double percentFree = 0.0;
};

// Watches the free space of every datastore a running VM of this agent uses, polls each the more often
// the fuller it gets, logs a summary every two minutes, and stops every VM on a datastore whose free
// space falls below the threshold (the VM's quit flag, with the reason).
//
// Threads: workers register and unregister; the monitor thread runs the passes; the controller starts
// and stops it. Lock order: map lock, then VM-datastores lock, then a record's lock. The monitored map
// is changed only by the monitor thread, under the map lock, so that thread reads it without the lock.
class QuarnDatastoreMonitor {
 public:
  static constexpr int QUARN_DATASTORE_MONITOR_REPORT_INTERVAL_MINUTES = 2;
  static constexpr int64_t kDefaultThreshold = 1073741824;  // bytes

  QuarnDatastoreMonitor();
  ~QuarnDatastoreMonitor();
  QuarnDatastoreMonitor(const QuarnDatastoreMonitor&) = delete;
  QuarnDatastoreMonitor& operator=(const QuarnDatastoreMonitor&) = delete;

  bool Initialize(QuarnController* controller);
  // Safe to call again and without Initialize.
  void Deinitialize();
  bool RegisterDatastore(const std::string& vmName, const std::string& vmGuid, const std::string& host,
                         const std::string& datastore);
  void UnregisterDatastores(const std::string& vmName, const std::string& vmGuid);
  bool CheckQuitFlag() const { return m_quit.load(); }
  bool IsInitialized() const { return m_initialized.load(); }
  int64_t GetThreshold() const { return m_threshold.load(); }

  bool StartMonitorThread();
  void StopMonitorThread();
  static void* MonitorThreadStatic(void* context);
  void MonitorThread();
  // One pass of the monitor thread's loop. REQUIRES: the monitor thread (or no thread running).
  void InsertNewDatastores();
  void MonitorDatastores();
  void MonitorDatastore(QuarnDatastoreMonitorInfo& record);
  bool GetDatastoreInfo(QuarnDatastoreMonitorInfo& record);
  void ReportDatastores();
  void ReportDatastore(QuarnDatastoreMonitorInfo& record);

  // A copy of the monitored record of a datastore, for tests; false when it is not monitored.
  bool TEST_GetMonitored(const std::string& datastore, QuarnDatastoreMonitorInfo& copy);
  size_t TEST_PendingCount();

 private:
  // The datastore's record, monitored or still pending; null when it has neither.
  QuarnDatastoreMonitorInfo* FindRecord(const std::string& datastore) EXCLUSIVE_LOCKS_REQUIRED(m_mapLock);

  EvEvent m_event;
  const int m_registrationLogLevel = 5;
  std::atomic<bool> m_initialized{false};
  ZtThread m_monitorThread;
  ZtEvent m_wakeEvent{false};
  std::atomic<bool> m_quit{false};
  QuarnController* m_controller = nullptr;  // set by Initialize; not owned

  ZtCriticalSection m_mapLock ACQUIRED_BEFORE(m_vmDatastoresLock);
  // Written by the monitor thread under m_mapLock; read by it alone without the lock.
  std::map<std::string, QuarnDatastoreMonitorInfo> m_monitored;
  std::map<std::string, QuarnDatastoreMonitorInfo> m_pending GUARDED_BY(m_mapLock);
  // Set with every record put into m_pending, cleared when they move over.
  std::atomic<bool> m_anyPending{false};
  ZtCriticalSection m_vmDatastoresLock;
  std::map<std::string, std::set<std::string>, __less_nocase_cmp> m_vmDatastores GUARDED_BY(m_vmDatastoresLock);

  int64_t m_lastReportTime = 0;  // monitor thread only
  std::atomic<int64_t> m_threshold{kDefaultThreshold};
};
