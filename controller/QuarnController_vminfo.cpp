// The controller's VM-information connection, the quit flags and the agent status.
#include "controller/QuarnController.h"
#include "platform/vminfo/IVMInfo.h"

bool QuarnController::PrepareVMInfo() {
  static const char* const sig = "virtual bool QuarnController::PrepareVMInfo()";
  if (m_vmInfo != nullptr) CleanupVMInfo();
  if (m_appMgr == nullptr) return false;
  m_vmInfo = IVMInfo::CreateObject(m_appMgr->getInstanceType());
  if (m_vmInfo == nullptr) {
    m_event.Error(sig, "Failed to create VMInfo object");
    return false;
  }
  return true;
}

int QuarnController::CleanupVMInfo() {
  auto_lock lock(&m_vmInfoLock);
  if (m_vmInfo == nullptr) return 0;
  IVMInfo::DeleteObject(m_vmInfo);
  m_vmInfo = nullptr;
  return 0;
}

IVMInfo* QuarnController::GetVMInfoPtr(auto_lock& lock) {
  lock.reset(&m_vmInfoLock);
  if (m_vmInfo == nullptr && !PrepareVMInfo()) return nullptr;
  return m_vmInfo;
}

bool QuarnController::CheckQuitFlag() {
  if (ZTRemoteAgentClient::CheckQuitFlag()) return true;
  if (m_jobMgr != nullptr && m_jobMgr->checkQuitFlag()) {
    SetQuitFlag();
    return true;
  }
  return false;
}

bool QuarnController::CheckQuitFlagForVM(long long jobId, const std::string& guid) {
  ZtCriticalSectionLock lock(&m_quitLock);
  if (jobId != 0 && m_stoppedJobIds.count(jobId) != 0) return true;
  if (guid.empty()) return false;
  return m_quitGuids.count(guid) != 0;
}

bool QuarnController::CheckQuitFlag(long long jobId, const std::string& guid) {
  return CheckQuitFlag() || CheckQuitFlagForVM(jobId, guid);
}

void QuarnController::SetQuitFlagForVM(const std::string& guid, const std::string& reason) {
  static const char* const sig = "void QuarnController::SetQuitFlagForVM(const std::string&, const std::string&)";
  if (guid.empty()) return;
  std::string name;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    const vm_params* vm = m_vmMap.Find(guid);
    if (vm != nullptr) name = vm->vmName;
  }
  m_event.Debug(sig, "Setting quit flag for vm [%s] - [%s]", name.c_str(), reason.c_str());
  ZtCriticalSectionLock lock(&m_quitLock);
  m_quitGuids.insert(guid);
  if (!reason.empty()) m_quitReasons.emplace(guid, reason);  // the first reason stays
}

bool QuarnController::GetQuitFlagReasonForVM(const std::string& guid, std::string& reason) {
  ZtCriticalSectionLock lock(&m_quitLock);
  auto it = m_quitReasons.find(guid);
  if (it == m_quitReasons.end()) return false;
  reason = it->second;
  return true;
}

void QuarnController::FillAgentStatus(VirtualServer::VMAgentStatus& status) {
  using S = VirtualServer::VMAgentStatus;
  int open = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    open = m_openStreams;
  }
  status.setint64(S::F_streamCount, open);
  status.setint64(S::F_workers, static_cast<int64_t>(m_workerCount.load()));
  status.setint64(S::F_vmsProcessed, m_completedVMs.load());
  status.setint64(S::F_vmsQueued, static_cast<int64_t>(GetQueuedVMCount()));
  status.setint64(S::F_hostStreams, m_otherStreams.load());
  status.setint64(S::F_hostVMs, m_otherVMs.load());
}

void QuarnController::SendAgentStatus() {
  VirtualServer::VMAgentStatus status;
  FillAgentStatus(status);
  SendToCoordinator(status);
}
