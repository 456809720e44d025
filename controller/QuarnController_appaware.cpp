// The controller's entry points of the application-aware workflow: the workflow of a VM before its
// backup, and the deletion of the application snapshots its child jobs took after it.
#include "controller/QuarnAppAware.h"
#include "controller/QuarnController.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/jobclient/App_JMVSAAppJobLink.h"
#include "platform/jobclient/ApplicationId.h"
#include "platform/jobclient/JobToken.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/session/CZtNetwork.h"
#include "platform/vminfo/IVMInfo.h"

namespace {

const char* const kSigStart = "bool QuarnController::StartAndWaitForAppAwareWorkflow(const std::string&)";
const char* const kSigDelete = "bool QuarnController::SendDeleteApplicationSnapReq(const std::string&, bool)";

constexpr uint64_t kInventoryMask = 0x20000001;
constexpr int kPowerStateOff = 0;
constexpr int kChildJobsKind = 2;
constexpr int64_t kChildJobWaitSeconds = 300;
// The pause between two queries of the previous attempt's child jobs.
constexpr int64_t kChildJobPollSeconds = 5;
constexpr int kAttachTimeoutSeconds = 600;
constexpr int kMessageTimeoutSeconds = 120;
const char* const kPoweredOffMessage = "Application aware can't be run for powered off VMs";

}  // namespace

void QuarnController::SetAppAwareFailed(const std::string& vmGuid, bool failed) {
  ZtCriticalSectionLock lock(&m_vmLock);
  vm_params* vm = m_vmMap.Find(vmGuid);
  if (vm != nullptr) vm->appAwareFailed = failed;
}

bool QuarnController::WaitForPreviousChildJobs(long long parentJobId) {
  m_event.Debug(kSigStart, "Waiting for the child jobs from the previous attempt to be failed");
  const long long limit = ZtClock::DeadlineAfter(CTimeInterval::FromSeconds(kChildJobWaitSeconds));
  std::vector<VSAJobLinkInfo> children;
  for (;;) {
    children.clear();
    if (App_JMVSAAppJobLink::getChildJobsInfoForGivenParentJob(parentJobId, 0, children, kChildJobsKind, nullptr) != 0) {
      m_event.Debug(kSigStart, "Failed to get the child job list for the current job.");
      break;
    }
    if (children.empty()) {
      m_event.Debug(kSigStart, "There are no child jobs.");
      break;
    }
    if (ZtClock::MonotonicTicks() >= limit) break;
    ZtClock::Sleep(CTimeInterval::FromSeconds(kChildJobPollSeconds));
  }
  if (children.empty()) return true;
  m_event.Debug(kSigStart, "Timeout waiting for the child jobs to finish");
  return false;
}

bool QuarnController::StartAndWaitForAppAwareWorkflow(const std::string& vmGuid) {
  if (m_jobMgr->isSnapToTape()) {
    m_event.Debug(kSigStart, "Application backup won't be performed for the backup to tape job.");
    return true;
  }
  if (!m_appMgr->GetAppAwareEnabled()) {
    m_event.Debug(kSigStart, "Application aware backup is not enabled.");
    return true;
  }
  const std::string token = m_jobMgr->getJobToken();
  long long tokenJobId = 0;
  unsigned long commcell = 0, attempt = 0, phase = 0;
  if (!parseJobToken(token.empty() ? nullptr : token.c_str(), tokenJobId, commcell, attempt, phase)) {
    m_event.Error(kSigStart, "Failed to parse jobToken '%s'.", token.empty() ? "NULL" : token.c_str());
    attempt = 0;
  }

  vm_params* vm = nullptr;
  long long parentJobId = 0;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    vm = m_vmMap.Find(vmGuid);
    parentJobId = QuarnAppAware::ParentJobId(m_jobMgr, m_appMgr, vm);
  }
  if (attempt >= 2 && !WaitForPreviousChildJobs(parentJobId)) {
    SetAppAwareFailed(vmGuid, true);
    return false;
  }
  if (vm == nullptr) return true;

  // Held to the end: the workflows of a process run one at a time.
  auto_lock vmInfoLock;
  IVMInfo* vmInfo = GetVMInfoPtr(vmInfoLock);
  if (vmInfo == nullptr) {
    // The workflow cannot run: the VM's backup goes on, marked as without its applications.
    SetAppAwareFailed(vmGuid, true);
    return false;
  }
  std::string vmName, host;
  VMInfoStructs::SVMInfo inventory;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    vmName = vm->vmName;
    host = vm->host;
    inventory = vm->vmInfo;
  }
  if (vmInfo->GetVMInfoForVM(std::string(), vmGuid, host, kInventoryMask, false, inventory) == 0) {
    m_event.Debug(kSigStart, "GetVMInfoForVM for [%s] VM did not return any data.", vmName.c_str());
    SetAppAwareFailed(vmGuid, true);
    return false;
  }
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    vm->vmInfo = inventory;
    if (inventory.powerState == kPowerStateOff) {
      m_event.Debug(kSigStart, "Application aware can't be run for powered off VMs, Proceeding with the VM[%s] backup.",
                    vmName.c_str());
      vm->appAwareFailed = true;
      vm->messages.push_back(kPoweredOffMessage);
      return true;
    }
  }
  QuarnAppAware workflow(m_jobMgr, m_appMgr, m_subclientFiles.subclientDir, vm, &m_vmLock);
  const bool succeeded = workflow.StartWorkflow();
  if (!succeeded)
    m_event.Debug(kSigStart, "Workflow job failed, Proceeding with the VM[%s] backup.", vmName.c_str());
  SetAppAwareFailed(vmGuid, !succeeded);
  return true;
}

bool QuarnController::SendDeleteApplicationSnapReq(const std::string& vmGuid, bool flag) {
  long long parentJobId = 0;
  int64_t vmClientId = 0;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    const vm_params* vm = m_vmMap.Find(vmGuid);
    parentJobId = QuarnAppAware::ParentJobId(m_jobMgr, m_appMgr, vm);
    if (vm != nullptr) vmClientId = vm->collect.getint64(VirtualServer::VMCollect::F_vmClientId);
  }
  std::vector<VSAJobLinkInfo> children;
  if (App_JMVSAAppJobLink::getChildJobsInfoForGivenParentJob(parentJobId, 0, children, kChildJobsKind, nullptr) != 0) {
    m_event.Debug(kSigDelete, "Failed to get the child job list for the current job.");
    return false;
  }
  const std::string ownClient = ZTPI_Focus::getFocusClientName(true);
  for (const VSAJobLinkInfo& child : children) {
    const std::string application = "2:" + std::to_string(child.appNumber);
    const std::string client = ApplicationId(application).getClient();
    if (client.empty()) {
      m_event.Error(kSigDelete, "Unable to get client for child App [%s]", application.c_str());
      continue;
    }
    int64_t clientId = 0;
    ZTClient::getId(client, clientId);
    // Only the agents inside this VM took snapshots of it.
    if (vmClientId <= 0 || clientId != vmClientId) continue;
    const std::string service = "VSAAppAwareIdaSrvc_" + std::to_string(child.childJobId);
    m_event.Debug(kSigDelete, "Attaching to Service: [%s]", service.c_str());
    CZtNetwork session;
    CPxError error = session.Attach_RemoteService(client, service, ownClient, kAttachTimeoutSeconds, false);
    if (error.IsError()) {
      m_event.Debug(kSigDelete, "Error attaching to service [%s] [%s].", service.c_str(), error.AsString().c_str());
      continue;
    }
    m_event.Debug(kSigDelete, "Attached [%s] Successfully.", service.c_str());
    VirtualServer::VSAAppAwareSWSnapDeletion request;
    request.setint64(VirtualServer::VSAAppAwareSWSnapDeletion::F_appJobId, child.childJobId);
    request.setint64(VirtualServer::VSAAppAwareSWSnapDeletion::F_parentJobId, parentJobId);
    request.setint64(VirtualServer::VSAAppAwareSWSnapDeletion::F_requestFlag, flag ? 1 : 0);
    error = session.SendXMLMessage(request, 0, kMessageTimeoutSeconds, false);
    if (error.IsError())
      m_event.Debug(kSigDelete, "Error sending message to service [%s] [%s].", service.c_str(), error.AsString().c_str());
    error = session.Disconnect(kMessageTimeoutSeconds, false);
    if (error.IsError()) m_event.Debug(kSigDelete, "Disconnect failed [%s]", error.AsString().c_str());
  }
  return true;
}
