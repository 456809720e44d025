// The coordinator's own connection to the hypervisor through the VM-information library: creation,
// connection, host records and the library's callbacks.
#include "coordinator/QuarnCoordinator.h"

namespace {

const char* const kSigPrepare = "virtual bool QuarnCoordinator::PrepareVMInfo()";
const char* const kSigHostInfo = "VMInfoStructs::SHostInfo* QuarnCoordinator::GetHostInfo(const std::string&)";
const char* const kSigCallback = "int QuarnCoordinator::Callback(int, void*)";

constexpr uint64_t kHostInfoMask = 0x8A000000ULL;
constexpr uint32_t kDefaultTerminologyEvent = 0x5B0001D8;
constexpr int kCallbackHandled = 9000;

}  // namespace

bool QuarnCoordinator::PrepareVMInfo() {
  // An object whose connect failed is not a connection: a later call connects again rather than
  // handing the unconnected object to its callers.
  if (m_vmInfo != nullptr && m_vmInfoConnected) return true;

  m_appMgr->resetCredentials();
  vsAppMgrServerCredentials credentials;
  std::vector<SHostCredentials> hostCredentials;
  m_appMgr->getCredentials(credentials, hostCredentials);

  if (m_vmInfo == nullptr) {
    m_vmInfo = IVMInfo::CreateObject(m_appMgr->getInstanceType());
    if (m_vmInfo == nullptr) {
      m_event.Error(kSigPrepare, "Failed to create VMInfo object");
      return false;
    }
    m_vmInfo->RegisterCallback(&QuarnCoordinator::VMInfoCallbackStatic, this);
    if (m_vmInfo->Initialize(0) == 0) {
      m_event.Error(kSigPrepare, "Failed to init VMInfo object");
      IVMInfo::DeleteObject(m_vmInfo);
      m_vmInfo = nullptr;
      return false;
    }
    if (m_jobMgr->isSnapToTape() || m_jobMgr->isSnapCatalogMode()) m_vmInfo->SetOption("connectForBackupCopy", 0);
  }

  if (m_vmInfo->Connect(credentials, credentials.server, credentials.user, hostCredentials) == 0) {
    std::string text;
    EvMessageContainer message;
    m_vmInfo->GetConnectErrorMessage(text, message);
    m_event.Error(kSigPrepare, "Error Connecting - %s", text.c_str());
    m_jobMgr->setPendingCauseAndEvent(message, 3);
    bool pendingOnFailure = false;
    m_registry.GetEntry(REG_bPendingOnVMInfoConnectFailure, pendingOnFailure, false);
    if (pendingOnFailure) m_pendingOnConnectFailure = true;
    return false;
  }
  m_vmInfoConnected = true;
  m_vmInfo->SetOption("useInstanceUuid", m_appMgr->getUseVMInstanceUuid() ? 1 : 0);
  FetchVMInfoTerminology();
  return true;
}

void QuarnCoordinator::FetchVMInfoTerminology() {
  uint32_t id = m_vmInfo != nullptr ? m_vmInfo->GetTerminology(8, 1) : 0;
  m_terminologyEventId = id != 0 ? id : kDefaultTerminologyEvent;
}

void QuarnCoordinator::CleanupVMInfo() {
  if (m_vmInfo == nullptr) return;
  m_vmInfo->Disconnect();
  m_vmInfo->Cleanup(1);
  IVMInfo::DeleteObject(m_vmInfo);
  m_vmInfo = nullptr;
  m_vmInfoConnected = false;
}

VMInfoStructs::SHostInfo* QuarnCoordinator::GetHostInfo(const std::string& hostName) {
  if (hostName.empty()) return nullptr;
  if (m_vmInfo == nullptr || !m_vmInfoConnected) {
    m_event.Error(kSigHostInfo, "VMInfo Object is not available");
    return nullptr;
  }
  auto it = m_hostInfoCache.find(hostName);
  if (it != m_hostInfoCache.end()) return &it->second;
  VMInfoStructs::SHostInfo info;
  if (m_vmInfo->GetHostInfo(hostName, info, kHostInfoMask, 0) == 0) return nullptr;
  return &m_hostInfoCache.emplace(hostName, info).first->second;
}

int QuarnCoordinator::VMInfoCallbackStatic(int reason, void* context, void* data) {
  if (context == nullptr) return static_cast<int>(0xFFFFFFFFu);
  return static_cast<QuarnCoordinator*>(context)->Callback(reason, data);
}

int QuarnCoordinator::Callback(int reason, void* data) {
  switch (reason) {
    case 1:
      return kCallbackHandled;
    case 8:
      return PreCreateSharedShadow();
    case 9:
      // Named in its record before the hook can take long or be cut off (a MEDITECH unquiesce).
      if (!m_sharedShadowRecord.empty() && !m_sharedShadowCtx.sharedShadowText1.empty()) RecordSharedShadow();
      return PostCreateSharedShadow();
    default:
      m_event.Debug(kSigCallback, "Unexpected reason [%d] received", reason);
      return kCallbackHandled;
  }
}
