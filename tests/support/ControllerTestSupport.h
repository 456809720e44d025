#pragma once
// A controller whose coordinator is the test, a worker whose VM road the test scripts, and a lab job
// for both.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/QuarnRegistry.h"
#include "controller/QuarnController.h"
#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/ZtTime.h"
#include "support/TestLab.h"
#include "worker/QuarnWorker.h"

namespace ctltest {

constexpr int64_t kJobId = 1001;

// The sample lab, the process's focus on its coordinator client, the log open, and the job and
// application managers of its job.
class LabJob {
 public:
  LabJob() : lab_("coordinator") {
    lab_.Create();
    lab_.UseJob(kJobId);
    lab_.OpenLog();
    QuarnRegistry::TEST_Unload();
    jobMgr.setJobId(std::to_string(kJobId));
    jobMgr.initBackup();
    appMgr.setAppIdStr("1");
    appMgr.querySettings();
  }
  ~LabJob() {
    QuarnRegistry::TEST_Unload();
    ZtClock::ResetTestOffset();
  }
  // A setting of the coordinator client; the settings table reads it at its next load.
  void SetSetting(const std::string& section, const std::string& key, const std::string& value) {
    lab_.Setting(section, key, value, "coordinator");
    QuarnRegistry::TEST_Unload();
  }
  void SetSetting(const std::string& key, const std::string& value) { SetSetting("VirtualServer", key, value); }
  // A key of the subclient's record, read again by the application manager.
  void SetSubclient(const std::string& key, const std::string& value) {
    std::string error;
    lab::SetSubclientValue("1", key, value, error);
    appMgr.querySettings();
  }
  std::string Log() const { return lab_.Log("coordinator"); }
  size_t LogCount(const std::string& needle) const {
    const std::string log = Log();
    size_t count = 0;
    for (size_t pos = log.find(needle); pos != std::string::npos; pos = log.find(needle, pos + 1)) ++count;
    return count;
  }
  testsupport::TestLab& Lab() { return lab_; }

 private:
  testsupport::TestLab lab_;

 public:
  vsJobMgr jobMgr;
  vsAppMgr appMgr;
};

// A VMCollect entry of a collect list.
inline VirtualServer::VMCollect Collect(const std::string& name, const std::string& guid, int64_t jobId = 0) {
  VirtualServer::VMCollect vm;
  vm.setstring(VirtualServer::VMCollect::F_vmName, name);
  vm.setstring(VirtualServer::VMCollect::F_vmGuid, guid);
  vm.setstring(VirtualServer::VMCollect::F_vmHost, "esx1");
  vm.setint64(VirtualServer::VMCollect::F_vmClientId, 7);
  vm.setint64(VirtualServer::VMCollect::F_vmJobId, jobId);
  return vm;
}

inline VirtualServer::VMCollectList CollectList(const std::vector<VirtualServer::VMCollect>& vms) {
  VirtualServer::VMCollectList list;
  CNMessageList& entries = list.getlistobject(VirtualServer::VMCollectList::F_vms, true);
  for (const auto& vm : vms) entries.emplace_back(vm);
  return list;
}

inline VirtualServer::VMBackupStream Grant(int count, int streamId) {
  VirtualServer::VMBackupStream grant;
  grant.setint64(VirtualServer::VMBackupStream::F_streamCount, count);
  grant.setint64(VirtualServer::VMBackupStream::F_streamId, streamId);
  grant.setint64(VirtualServer::VMBackupStream::F_rcid, streamId + 100);
  return grant;
}

class TestWorker;

// The controller with the test as its coordinator: every message it sends is kept, in order.
class TestController : public QuarnController {
 public:
  explicit TestController(LabJob* job = nullptr, bool coordinator = false) : QuarnController(coordinator) {
    if (job != nullptr) {
      m_jobMgr = &job->jobMgr;
      m_appMgr = &job->appMgr;
    }
  }
  ~TestController() override { Deinitialize(); }

  // The worker road every worker made by this controller runs; null: the shipped one.
  std::function<int(TestWorker&)> road;
  // Workers cannot be created while set.
  std::atomic<bool> refuseWorkers{false};
  std::atomic<bool> postBackupResult{true};

  QuarnWorker* CreateWorker(QuarnController* controller, int index) override;
  bool PostBackup() override { return postBackupResult.load(); }

  // Messages sent so far with the given tag, as copies.
  std::vector<CNMessagePtr> Sent(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CNMessagePtr> found;
    for (const CNMessagePtr& message : sent_)
      if (message->getTagID() == tag) found.push_back(message);
    return found;
  }
  // Waits until `count` messages with the tag have been sent; false after a minute (a hang).
  bool WaitForSent(uint32_t tag, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::minutes(1), [&] { return CountLocked(tag) >= count; });
  }
  // Whether a worker made by this controller runs. Safe from the test's thread, unlike Workers(),
  // which the controller thread alone may read while it starts workers.
  bool AnyWorkerRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (QuarnWorker* worker : made_)
      if (worker->IsRunning()) return true;
    return false;
  }
  // Direct access to the pieces the protocol tests drive.
  using QuarnController::CloseAndReturnAllStreams;
  using QuarnController::Workers;
  void SetStreamError() {
    m_streamError = true;
    m_streamErrorTime = static_cast<long long>(ZtClock::NowSeconds());
  }
  void SetFatalVMError() { m_fatalVMError = true; }
  void RequestRestart() { m_restartWorkers = true; }
  vm_params Record(const std::string& guid) {
    ZtCriticalSectionLock lock(&m_vmLock);
    const vm_params* vm = m_vmMap.Find(guid);
    return vm != nullptr ? *vm : vm_params();
  }
  void SetPhase(const std::string& guid, phase value) {
    ZtCriticalSectionLock lock(&m_vmLock);
    m_vmMap.UpdateVMPhase(guid, value);
  }
  void Deliver(const CNMessageBase& message) { OnMsgReceived(message); }

  std::vector<std::string> relinquished;  // "<worker>" per stream given back
  // Set: a stream given back goes back to the pool too (the stream is one the controller opened).
  bool poolStreams = false;
  bool RelinquishStream(int workerIndex, vsArchive*& stream) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      relinquished.push_back(std::to_string(workerIndex));
    }
    if (poolStreams) return QuarnController::RelinquishStream(workerIndex, stream);
    stream = nullptr;
    return true;
  }
  std::vector<std::string> datastores;  // "<vm>|<host>|<datastore>"
  bool RegisterDatastore(const std::string& vmName, const std::string&, const std::string& host,
                         const std::string& datastore) override {
    std::lock_guard<std::mutex> lock(mutex_);
    datastores.push_back(vmName + "|" + host + "|" + datastore);
    return true;
  }

 protected:
  bool SendToCoordinator(const CNMessageBase& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.emplace_back(message);
    cond_.notify_all();
    return true;
  }

 private:
  size_t CountLocked(uint32_t tag) const {
    size_t count = 0;
    for (const CNMessagePtr& message : sent_) count += message->getTagID() == tag ? 1 : 0;
    return count;
  }

  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<CNMessagePtr> sent_;
  std::vector<QuarnWorker*> made_;  // the workers alive that this controller made, under mutex_
  friend class TestWorker;
};

// A worker whose road is the controller's `road`; its set-up needs no lab.
class TestWorker : public QuarnWorker {
 public:
  TestWorker(TestController* controller, int index) : QuarnWorker(controller, index), owner_(controller) {
    std::lock_guard<std::mutex> lock(owner_->mutex_);
    owner_->made_.push_back(this);
  }
  ~TestWorker() override {
    {
      std::lock_guard<std::mutex> lock(owner_->mutex_);
      owner_->made_.erase(std::find(owner_->made_.begin(), owner_->made_.end(), this));
    }
    Deinitialize();
  }
  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) override {
    m_jobMgr = jobMgr;
    m_appMgr = appMgr;
    return true;
  }
  int ProcessVM() override { return owner_->road ? owner_->road(*this) : QuarnWorker::ProcessVM(); }
  bool PostProcessVirtualMachines(bool allSucceeded) override {
    lastAllSucceeded = allSucceeded ? 1 : 0;
    return true;
  }
  vm_params* VM() const { return m_currentVM; }
  void SetStreamsRequired(uint32_t streams) { m_streamsRequired = streams; }
  std::atomic<int> lastAllSucceeded{-1};

 private:
  TestController* owner_;
};

inline QuarnWorker* TestController::CreateWorker(QuarnController*, int index) {
  if (refuseWorkers.load()) return nullptr;
  return new TestWorker(this, index);
}

}  // namespace ctltest
