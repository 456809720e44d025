// The controller's VM-information connection and the library's callbacks, the quit flags and the
// agent status.
#include "app/QuarnErrors.h"
#include "controller/QuarnController.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/vminfo/IVMInfo.h"

namespace {

const char* const kSigPrepare =
    "bool QuarnController::PrepareVMInfo(const std::string&, const std::string&, const std::string&, "
    "const std::vector<SHostCredentials>&)";
const char* const kSigCleanup = "int QuarnController::CleanupVMInfo()";
const char* const kSigCallback = "int QuarnController::Callback(int, void*)";

constexpr int kCallbackUnexpected = 9000;
constexpr int kErrCleanupStringGone = 1002;

}  // namespace

// ---- The connection ----

bool QuarnController::PrepareVMInfo() {
  if (m_appMgr == nullptr) return false;
  m_appMgr->resetCredentials();
  vsAppMgrServerCredentials credentials;
  std::vector<SHostCredentials> hostCredentials;
  m_appMgr->getCredentials(credentials, hostCredentials);
  return PrepareVMInfo(credentials.server, credentials.user, credentials.password, hostCredentials);
}

bool QuarnController::PrepareVMInfo(const std::string& server) {
  if (m_appMgr == nullptr) return false;
  std::string user, password, domain;
  m_appMgr->getCredentialsForServer(server, user, password, domain);
  std::vector<SHostCredentials> hostCredentials;
  m_appMgr->getCredentials(hostCredentials);
  return PrepareVMInfo(server, user, password, hostCredentials);
}

bool QuarnController::PrepareVMInfo(const std::string& server, const std::string& user, const std::string& password) {
  return PrepareVMInfo(server, user, password, std::vector<SHostCredentials>());
}

bool QuarnController::PrepareVMInfo(const std::string& server, const std::string& user, const std::string& password,
                                    const std::vector<SHostCredentials>& hostCredentials) {
  // Creation and deletion happen under the lock their users hold (recursive: GetVMInfoPtr may be
  // the caller).
  auto_lock lock(&m_vmInfoLock);
  if (m_vmInfo != nullptr) CleanupVMInfo();
  if (m_appMgr == nullptr || m_jobMgr == nullptr) return false;

  IVMInfo* vmInfo = IVMInfo::CreateObject(m_appMgr->getInstanceType());
  if (vmInfo == nullptr) {
    m_event.Error(kSigPrepare, "Failed to create VMInfo object");
    return false;
  }
  vmInfo->RegisterCallback(&QuarnController::CallbackStatic, this);
  if (vmInfo->Initialize(0) == 0) {
    m_event.Error(kSigPrepare, "Failed to init VMInfo object");
    IVMInfo::DeleteObject(vmInfo);
    return false;
  }
  if (m_jobMgr->isSnapToTape() || m_jobMgr->isSnapCatalogMode()) vmInfo->SetOption("connectForBackupCopy", 0);

  vsAppMgrServerCredentials credentials;
  credentials.server = server;
  credentials.user = user;
  credentials.password = password;
  if (vmInfo->Connect(credentials, server, user, hostCredentials) == 0) {
    std::string text;
    EvMessageContainer message;
    vmInfo->GetConnectErrorMessage(text, message);
    m_event.Error(kSigPrepare, "Error Connecting - %s", text.c_str());
    // An object that never connected is no connection: keeping it would hand it to every later
    // user as if it were one. The next user connects afresh.
    vmInfo->RegisterCallback(nullptr, nullptr);
    vmInfo->Cleanup(1);
    IVMInfo::DeleteObject(vmInfo);
    return false;
  }
  vmInfo->SetOption("useInstanceUuid", m_appMgr->getUseVMInstanceUuid() ? 1 : 0);

  bool verifyAccount = true;
  ZTPlatformInfo().getBoolean("VirtualServer", "VerifyAccount", &verifyAccount);
  if (verifyAccount) {
    if (vmInfo->VerifyAccount() == 0) {
      const std::string text = vmInfo->GetErrorText();
      if (vmInfo->GetErrorCode() == IVMInfo::kErrMissingPrivileges)
        m_event.Error(kSigPrepare, "User Account [%s] is missing privileges.  [%s]", user.c_str(), text.c_str());
      else
        m_event.Error(kSigPrepare, "Account verification failed for user [%s]  %s", user.c_str(), text.c_str());
    }
    if ((m_jobMgr->isSnapBackup() || m_jobMgr->isSnapToTape()) && vmInfo->CheckSnapPrivileges() == 0 &&
        vmInfo->GetErrorCode() == IVMInfo::kErrMissingPrivileges)
      m_event.Error(kSigPrepare, "User Account [%s] is missing snap privileges.  [%s]", user.c_str(),
                    vmInfo->GetErrorText().c_str());
  }
  m_vmInfo = vmInfo;
  return true;
}

int QuarnController::CleanupVMInfo() {
  auto_lock lock(&m_vmInfoLock);
  if (m_vmInfo == nullptr) return 0;
  m_vmInfo->Disconnect();
  m_vmInfo->Cleanup(1);
  if (m_vmInfo->GetErrorCode() == kErrCleanupStringGone && m_jobMgr != nullptr) {
    m_jobMgr->ClearCleanupString();
    m_event.Debug(kSigCleanup, "Clearing cleanup string per VMInfo response");
  }
  IVMInfo::DeleteObject(m_vmInfo);
  m_vmInfo = nullptr;
  return 0;
}

IVMInfo* QuarnController::GetVMInfoPtr(auto_lock& lock) {
  lock.reset(&m_vmInfoLock);
  if (m_vmInfo == nullptr && !PrepareVMInfo()) return nullptr;
  return m_vmInfo;
}

// ---- Error classification ----

int QuarnController::CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& text,
                                      EvMessageContainer& message) {
  int sendEvents = 1;
  m_registry.GetEntry(REG_nSendVMFailureEvents, sendEvents, 1);
  bool singleVM = false;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    singleVM = m_vmMap.size() == 1;
  }
  return CheckVMInfoError(vmInfo, ctx, text, message, sendEvents != 0, singleVM);
}

int QuarnController::CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& text,
                                      EvMessageContainer& message, bool sendEvents, bool singleVM) {
  return ::CheckVMInfoError(vmInfo, ctx, text, message, m_jobMgr, sendEvents, singleVM, IsCoordinator());
}

int QuarnController::CheckJyNTFSError(CArchiveVirtualDiskFile* disk, const CPxError& error, IVMInfo* vmInfo,
                                      MountCtx& ctx, std::string& text, EvMessageContainer& message) {
  bool singleVM = false;
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    singleVM = m_vmMap.size() == 1;
  }
  return ::CheckJyNTFSError(disk, error, vmInfo, ctx, text, message, m_jobMgr, true, singleVM);
}

// ---- Callbacks ----

int QuarnController::CallbackStatic(int reason, void* context, void* argument) {
  if (context == nullptr) return -1;
  return static_cast<QuarnController*>(context)->Callback(reason, argument);
}

int QuarnController::Callback(int reason, void* argument) {
  switch (reason) {
    case 0:
      OnVMInfoCallback_UpdateProgress(static_cast<SCallbackUpdateProgressBarArgs*>(argument));
      return 0;
    case 1:
      if (argument != nullptr) *static_cast<bool*>(argument) = CheckQuitFlag();
      return 0;
    case 2:
      if (argument != nullptr) *static_cast<bool*>(argument) = m_jobMgr != nullptr && m_jobMgr->isJobCommitted();
      return 0;
    case 3:
      if (argument != nullptr) StartAndWaitForAppAwareWorkflow(std::string(*static_cast<std::string*>(argument)));
      return 0;
    case 5:
      OnVMInfoCallback_SnapshotCreate(static_cast<SCallbackSnapshotOperationArgs*>(argument));
      return 0;
    case 6:
      OnVMInfoCallback_SnapshotDelete(static_cast<SCallbackSnapshotOperationArgs*>(argument));
      return 0;
    case 7:
      if (argument != nullptr) SendDeleteApplicationSnapReq(std::string(*static_cast<std::string*>(argument)), true);
      return 0;
    default:
      m_event.Debug(kSigCallback, "Unexpected reason [%d] received", reason);
      return kCallbackUnexpected;
  }
}

// ---- Quit flags ----

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

// ---- Agent status ----

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
