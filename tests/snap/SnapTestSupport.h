#pragma once
// A snapshot controller whose coordinator is the test, over the sample lab of ctltest::LabJob.
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/lab/LabCoordinator.h"
#include "snap/QuarnSnapController.h"
#include "support/ControllerTestSupport.h"

namespace snaptest {

const std::vector<std::string> kGuids = {"50290000-0000-4000-8000-000000000001", "50290000-0000-4000-8000-000000000002",
                                         "50290000-0000-4000-8000-000000000003"};

// The collect entry of a sample VM, reached through the lab's one server.
inline VirtualServer::VMCollect SampleVM(size_t index, const std::string& server = "vcenter") {
  VirtualServer::VMCollect vm = ctltest::Collect("vm0" + std::to_string(index + 1), kGuids[index]);
  vm.setstring(VirtualServer::VMCollect::F_serverName, server);
  vm.setint64(VirtualServer::VMCollect::F_vmClientId, static_cast<int64_t>(101 + index));
  return vm;
}

// Every message the controller sends is kept.
class SnapController : public QuarnSnapController {
 public:
  explicit SnapController(ctltest::LabJob& job) : QuarnSnapController(true) {
    m_jobMgr = &job.jobMgr;
    m_appMgr = &job.appMgr;
    const std::string folder = lab::SubclientJobResultsDir("coordinator", "1") + "/SNAP";
    lab::MakeDirs(folder);
    std::snprintf(m_subclientFiles.subclientDir, sizeof(m_subclientFiles.subclientDir), "%s", folder.c_str());
  }
  ~SnapController() override { Deinitialize(); }

  std::string SubclientDir() const { return m_subclientFiles.subclientDir; }
  void Queue(const std::vector<VirtualServer::VMCollect>& vms) {
    VirtualServer::VMCollectList list = ctltest::CollectList(vms);
    OnMsgVMCollectList(&list);
  }
  vm_params Record(const std::string& guid) {
    ZtCriticalSectionLock lock(&m_vmLock);
    const vm_params* vm = m_vmMap.Find(guid);
    return vm != nullptr ? *vm : vm_params();
  }
  std::vector<CNMessagePtr> Sent(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CNMessagePtr> found;
    for (const CNMessagePtr& message : sent_)
      if (message->getTagID() == tag) found.push_back(message);
    return found;
  }
  // The VM's end as its worker would leave it in the agent's records.
  void EndVM(const std::string& guid, phase ended, const std::string& reason = std::string()) {
    ZtCriticalSectionLock lock(&m_vmLock);
    vm_params* vm = m_vmMap.Find(guid);
    if (vm == nullptr) return;
    vm->vmPhase = ended;
    vm->statusCode = ended == PHASE_DONE ? 1 : 2;
    vm->failureReason = reason;
  }
  int GrantsHeld() const { return m_streamsGranted.load(); }
  bool FailJobFlag() const { return m_failJob.load(); }
  bool CompletedWithErrors() const { return m_completedWithErrors.load(); }
  void SetFatalVMError() { m_fatalVMError = true; }
  void SetSnapMounted() { m_snapMounted = true; }
  void SetMetadataFiles(const std::vector<std::string>& files) { m_metadataFiles = files; }
  // Lets the controller's VM-information object go, as an agent whose connection was cleaned up.
  void DropVMInfo() { CleanupVMInfo(); }

 protected:
  bool SendToCoordinator(const CNMessageBase& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.emplace_back(message);
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<CNMessagePtr> sent_;
};

}  // namespace snaptest
