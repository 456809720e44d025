// The entry point of VM archiving and the services both phases share: the stub record, its states,
// the VM's option and custom field, the index's stub state, the job manager's stub status and the job
// pending reasons.
#include "archiving/QuarnVMManagement.h"

#include "controller/QuarnController.h"
#include "platform/appmgr/Subclient.h"
#include "platform/vminfo/IVMInfo.h"

namespace {

using VMInfoStructs::VMStubState;
using Stub = VirtualServer::VMArchivingData;
using Update = JobManager::VMUpdateInfo;

constexpr int kSerializeFailed = 65;
constexpr int kParseFailedCode = 1;
constexpr const char* kStubVersion = "1.0.0";
constexpr const char* kArchivedField = "Archived";
constexpr int kSetOptionCode = 11;

constexpr uint32_t kCauseOtherSubclientNamed = 0x5B0000B3;
constexpr uint32_t kCauseOtherSubclientId = 0x5B0000B4;
constexpr uint32_t kCausePruned = 0x5B0000B5;
constexpr uint32_t kCauseNoRelocationTarget = 0x5B0000B7;
constexpr uint32_t kCauseRelocationFailed = 0x5B0000B8;

struct StateName {
  int state;
  const char* name;
};
constexpr StateName kStateNames[] = {
    {VMInfoStructs::STUB_STATE_TO_BE_STUBBED, "STUB_STATE_TO_BE_STUBBED"},
    {VMInfoStructs::STUB_STATE_ALREADY_STUBBED, "STUB_STATE_ALREADY_STUBBED"},
    {VMInfoStructs::STUB_STATE_IN_PROGRESS, "STUB_STATE_IN_PROGRESS"},
    {VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED, "STUB_STATE_SUCCESSFULLY_STUBBED"},
    {VMInfoStructs::STUB_STATE_NOT_TO_BE_STUBBED, "STUB_STATE_NOT_TO_BE_STUBBED"},
    {VMInfoStructs::STUB_STATE_FAILED, "STUB_STATE_FAILED"},
    {VMInfoStructs::STUB_STATE_NON_STUB, "STUB_STATE_NON_STUB"},
    {VMInfoStructs::STUB_STATE_PRUNED, "STUB_STATE_PRUNED"},
    {VMInfoStructs::STUB_STATE_UNKNOWN, "STUB_STATE_UNKNOWN"},
    {VMInfoStructs::STUB_STATE_TO_BE_RELOCATED, "STUB_STATE_TO_BE_RELOCATED"},
    {VMInfoStructs::STUB_STATE_ALREADY_RELOCATED, "STUB_STATE_ALREADY_RELOCATED"},
    {VMInfoStructs::STUB_STATE_SUCCESSFULLY_RELOCATED, "STUB_STATE_SUCCESSFULLY_RELOCATED"},
};

}  // namespace

QuarnVMManagement::QuarnVMManagement(int workerId, QuarnController* controller, vsJobMgr* jobMgr, vsAppMgr* appMgr,
                                     const std::string& subclientDir)
    : m_workerId(workerId), m_controller(controller), m_jobMgr(jobMgr), m_appMgr(appMgr), m_subclientDir(subclientDir) {}

QuarnVMManagement::~QuarnVMManagement() = default;

bool QuarnVMManagement::IsStubPhase() const { return m_jobMgr != nullptr && m_jobMgr->isVMStubPhase(); }

void QuarnVMManagement::Attach(vm_params* vm, quarnBackupArgs& args) {
  m_vmInfo = args.mVMInfo;
  m_vm = vm;
  m_args = args;
  m_vmName = vm->vmName;
  m_vmGuid = vm->vmGuid;
  m_indexingMetadata = &vm->indexingMetadata;
  // The index update names the VM's item by these; a record made without them still names its VM.
  if (m_indexingMetadata->vmGuid.empty()) m_indexingMetadata->vmGuid = vm->vmGuid;
  if (m_indexingMetadata->vmName.empty()) m_indexingMetadata->vmName = vm->vmName;
  if (m_indexingMetadata->host.empty()) m_indexingMetadata->host = vm->host;
}

int64_t QuarnVMManagement::VMClientId() const {
  return m_vm != nullptr ? m_vm->collect.getint64(VirtualServer::VMCollect::F_vmClientId) : 0;
}

int QuarnVMManagement::PerformVMManagement(vm_params* vm, quarnBackupArgs& args) {
  static const char* const sig = "int QuarnVMManagement::PerformVMManagement(vm_params*, quarnBackupArgs&)";
  // In the stub phase stubbing is the VM's whole work and no stream is granted: going on to a backup
  // would wait for a stream that never comes. A VM archiving cannot look at fails there, and says why.
  const int result = [&] {
    if (m_controller == nullptr || vm == nullptr) {
      m_event.Error(sig, "[VMArchiving] [Error] Controller context is NULL.");
      return kContinueBackup;
    }
    if (args.mVMInfo == nullptr) {
      m_event.Error(sig, "[VMArchiving] [Error] Controller context VMWare info is NULL.");
      return kContinueBackup;
    }
    Attach(vm, args);
    // The stub status an earlier attempt of the job left with the job manager was kept until now (see
    // QuarnController::QueueCollectedVM); this attempt's archiving decides it again.
    if (!IsStubPhase()) vm->updateInfo.setint64(JobManager::VMUpdateInfo::F_stubStatus, 0);
    if (m_appMgr == nullptr || vsAppMgr::isRetCodeError(m_appMgr->GetVMArchivingParams(m_params))) {
      m_event.Error(sig, "[VMArchiving] [Error] Failed to get VMArchiving parameter. VM Archiving and Power "
                         "management wont be performed.");
      if (m_appMgr != nullptr) m_event.Error(sig, "[VMArchiving] %s", m_appMgr->getLastError().c_str());
      return IsStubPhase() ? kContinueBackup : LeaveStubOfThisJobOrGoOn();
    }
    if (IsStubPhase()) return VMArchStubPhase();
    if (m_params.powerMgmtEnabled) {
      DoPowerManagmentForVM();
    } else {
      m_event.DebugLvl(2, sig, "[PowerMgmt] Power management is not enabled for this Job.");
    }
    return VMArchDoArchiveManagmentForVM();
  }();
  if (result != kContinueBackup || !IsStubPhase()) return result;
  if (vm != nullptr)
    vm->failureReason = "The VM was not stubbed: its archiving settings or its connection could not be read.";
  return kResultNotToBeArchived;
}

int QuarnVMManagement::FailStubPhase(int code, const std::string& reason) {
  static const char* const sig = "int QuarnVMManagement::FailStubPhase(int, const std::string&)";
  if (m_vm != nullptr) m_vm->failureReason = reason;
  m_event.Error(sig, "[VMArchiving] VM [%s]: %s", m_vmName.c_str(), reason.c_str());
  return code;
}

// ---- The stub record ----

int QuarnVMManagement::VMArchGenerateVMStubData(std::string& out, VMStubState state, unsigned long retryCount) {
  static const char* const sig =
      "int QuarnVMManagement::VMArchGenerateVMStubData(std::string&, VMInfoStructs::VMStubState, unsigned long int)";
  Stub record;
  record.setstring(Stub::F_stubVersion, kStubVersion);
  if (m_appMgr != nullptr) {
    record.setint64(Stub::F_stubKeyrealmId, static_cast<int64_t>(m_appMgr->getKeyrealmId()));
    record.setint64(Stub::F_stubKeyrealmNumber, m_appMgr->getKeyrealmNumber());
    record.setint64(Stub::F_stubSubclientId, static_cast<int64_t>(m_appMgr->getAppId()));
    record.setint64(Stub::F_stubBackupsetId, m_appMgr->getBackupsetId());
  }
  record.setint64(Stub::F_stubState, state);
  if (m_jobMgr != nullptr) record.setint64(Stub::F_stubJobId, m_jobMgr->getJobId());
  record.setint64(Stub::F_stubRetryCount, static_cast<int64_t>(retryCount));
  record.setint64(Stub::F_stubVMClientId, VMClientId());
  std::string xml;
  if (!record.serialize(xml, true)) {
    m_event.Error(sig, "[VMArchiving] Failed to serialize to (XML). Code [%d]", kSerializeFailed);
    return kSerializeFailed;
  }
  out.swap(xml);
  return 0;
}

int QuarnVMManagement::VMArchUpdateVMStubData(std::string& xml, VMStubState state, unsigned long retryCount,
                                              long long vmSize, long long guestSize) {
  static const char* const sig =
      "static int QuarnVMManagement::VMArchUpdateVMStubData(std::string&, VMInfoStructs::VMStubState, unsigned long "
      "int, long long int, long long int)";
  EvEvent log;
  Stub record;
  std::string reason;
  if (!record.deserialize(xml, &reason)) {
    log.Error(sig, "[VMArchiving] [Error] Failed to unserialize stub data (XML). Code [%d]", kParseFailedCode);
    log.Error(sig, "[VMArchiving] %s", reason.c_str());
    return 0;
  }
  if (state != 0) record.setint64(Stub::F_stubState, state);
  if (retryCount != 0) record.setint64(Stub::F_stubRetryCount, static_cast<int64_t>(retryCount));
  if (vmSize != 0) record.setint64(Stub::F_stubVMSize, vmSize);
  if (guestSize != 0) record.setint64(Stub::F_stubGuestSize, guestSize);
  std::string rewritten;
  if (!record.serialize(rewritten, true)) {
    log.Error(sig, "[VMArchiving] Failed to serialize to (XML). Code [%d]", kSerializeFailed);
    return kSerializeFailed;
  }
  xml.swap(rewritten);
  return 0;
}

bool QuarnVMManagement::VMArchAddStubDataToVMXFile(const std::string& option, const std::string& value) {
  static const char* const sig =
      "bool QuarnVMManagement::VMArchAddStubDataToVMXFile(const std::string&, const std::string&)";
  m_event.Debug(sig, "[VMArchiving] Adding [%s][%s] stub data for [%s] VM.", option.c_str(), value.c_str(),
                m_vmName.c_str());
  VMInfoStructs::SVMInfo vm;
  vm.field01 = m_vmName;
  vm.guid = m_vmGuid;
  VMInfoStructs::SVMOptionValue entry;
  entry.name = option;
  entry.value = value;
  vm.options.push_back(entry);
  std::string error;
  if (m_vmInfo != nullptr && m_vmInfo->SetVMOptions(vm, kSetOptionCode, error) != 0) return true;
  m_event.Error(sig, "[VMArchiving] Failed to set stub data for [%s] VM with [%s] error", m_vmName.c_str(),
                error.c_str());
  return false;
}

int QuarnVMManagement::VMArchSetStubInfoToCustomField(const std::string& value) {
  static const char* const sig = "int QuarnVMManagement::VMArchSetStubInfoToCustomField(const std::string&)";
  if (m_vmInfo != nullptr && m_vmInfo->SetCustomField(m_vmName, m_vmGuid, kArchivedField, value) != 0) return 0;
  m_event.Error(sig, "[VMArchiving] VM [%s] Failed to set custom field value.", m_vmName.c_str());
  return 1;
}

int QuarnVMManagement::VMArchUpdateIndexingStubState(VMStubState state) {
  static const char* const sig = "int QuarnVMManagement::VMArchUpdateIndexingStubState(VMInfoStructs::VMStubState)";
  m_event.Debug(sig, "[VMArchiving] VM [%s] Setting state [%s] in Indexing", m_vmName.c_str(),
                VMArchGetStubStateString(state).c_str());
  if (m_indexingMetadata == nullptr) return 1;
  if (state == VMInfoStructs::STUB_STATE_UNKNOWN) {
    m_indexingMetadata->stubData.clear();
  } else if (VMArchUpdateVMStubData(m_indexingMetadata->stubData, state, 0, 0, 0) != 0) {
    m_event.Error(sig, "[VMArchiving] VM [%s] Failed to generate stub data", m_vmName.c_str());
    return 1;
  }
  m_indexingMetadata->stubDataChanged = 1;
  return 0;
}

std::string QuarnVMManagement::VMArchGetStubStateString(int state) {
  static const char* const sig = "std::string QuarnVMManagement::VMArchGetStubStateString(int)";
  for (const StateName& row : kStateNames)
    if (row.state == state) return row.name;
  m_event.Debug(sig, "[VMArchiving] VM stub state [%d] in Indexing", state);
  return "NOT_DEFINED";
}

bool QuarnVMManagement::VMArchUpdateJobManagerStatus(JobManager::VMStubStatus status) {
  static const char* const sig = "bool QuarnVMManagement::VMArchUpdateJobManagerStatus(JobManager::VMStubStatus)";
  if (m_vm == nullptr || m_jobMgr == nullptr) return false;
  Update& record = m_vm->updateInfo;
  record.setint64(Update::F_stubStatus, status);
  record.setint64(Update::F_clientId, VMClientId());
  record.setstring(Update::F_recordGuid, m_vmGuid);
  record.setstring(Update::F_vmName, m_vmName);
  if (!m_jobMgr->setVMStatus(m_vmGuid, record)) {
    m_event.Error(sig, "[VMArchiving] Failed to set Job manager status for VM [%s]", m_vmGuid.c_str());
    return false;
  }
  if (!m_jobMgr->updateVMBkpJobStatus(m_appMgr != nullptr ? m_appMgr->getKeyrealmId() : 0, true)) {
    m_event.Error(sig, "[VMArchiving] Failed to Update Job manager status for VM [%s]", m_vmGuid.c_str());
    return false;
  }
  return true;
}

void QuarnVMManagement::SetUpdateInfo(const CNField& field, int64_t value) {
  if (m_vm != nullptr) m_vm->updateInfo.setint64(field, value);
}

void QuarnVMManagement::VMArchSetJPR(int code, unsigned long subclientId, const std::string& text) {
  static const char* const sig = "void QuarnVMManagement::VMArchSetJPR(int, long unsigned int, const std::string&)";
  if (m_jobMgr == nullptr) return;
  switch (code) {
    case kResultStubbedElsewhere: {
      const unsigned long ownId = m_appMgr != nullptr ? static_cast<unsigned long>(m_appMgr->getAppId()) : 0;
      std::string ownName, otherName;
      const bool ownNamed = Subclient(ownId).getSubclientName(ownName);
      const bool otherNamed = Subclient(subclientId).getSubclientName(otherName);
      if (ownNamed && otherNamed) {
        m_event.Error(sig, "[VMArchiving][Error] VM [%s] was stubbed in subclient [%s][%lu] and now moved to subclient [%s][%lu].",
                      m_vmName.c_str(), otherName.c_str(), subclientId, ownName.c_str(), ownId);
      } else {
        m_event.Error(sig, "[VMArchiving][Error] VM[%s] was stubbed in subclient [%lu] and now moved to subclient [%lu].",
                      m_vmName.c_str(), subclientId, ownId);
      }
      m_event.Error(sig, "[VMArchiving] returning [QUARN_VM_NOT_TO_BE_STUBBED]");
      m_jobMgr->addPendingCauseArgument(m_vmName);
      if (otherNamed) {
        m_jobMgr->addPendingCauseArgument(otherName);
        m_jobMgr->setPendingCause(static_cast<int>(kCauseOtherSubclientNamed));
      } else {
        m_jobMgr->addPendingCauseArgument(subclientId);
        m_jobMgr->setPendingCause(static_cast<int>(kCauseOtherSubclientId));
      }
      if (m_vm != nullptr)
        m_vm->failureReason = "The VM was archived by subclient " +
                              (otherNamed ? "[" + otherName + "]" : std::to_string(subclientId)) +
                              "; it is not backed up by this subclient.";
      return;
    }
    case kResultPruned:
      m_jobMgr->addPendingCauseArgument(m_vmName);
      m_jobMgr->setPendingCause(static_cast<int>(kCausePruned));
      return;
    case 121:
      m_jobMgr->setPendingCause(static_cast<int>(kCauseNoRelocationTarget));
      return;
    case 122:
      m_jobMgr->addPendingCauseArgument(m_vmName);
      m_jobMgr->addPendingCauseArgument(text);
      m_jobMgr->setPendingCause(static_cast<int>(kCauseRelocationFailed));
      return;
    default:
      return;
  }
}

void QuarnVMManagement::DumpStubInformation(const Stub& record) {
  static const char* const sig = "void QuarnVMManagement::DumpStubInformation(VirtualServer::VMArchivingData&)";
  const int state = static_cast<int>(record.getint64(Stub::F_stubState));
  auto number = [&](const CNField& field) { return static_cast<long long>(record.getint64(field)); };
  m_event.Debug(sig, "[VMArchiving] Stub version      :\t[%s]", record.getstring(Stub::F_stubVersion).c_str());
  m_event.Debug(sig, "[VMArchiving] Keyrealm id       :\t[%lld]", number(Stub::F_stubKeyrealmId));
  m_event.Debug(sig, "[VMArchiving] Keyrealm number   :\t[%lld]", number(Stub::F_stubKeyrealmNumber));
  m_event.Debug(sig, "[VMArchiving] Stub state        :\t[%d][%s]", state, VMArchGetStubStateString(state).c_str());
  m_event.Debug(sig, "[VMArchiving] Job id            :\t[%lld]", number(Stub::F_stubJobId));
  m_event.Debug(sig, "[VMArchiving] Stub timestamp    :\t[%s]", record.getstring(Stub::F_stubTimestamp).c_str());
  m_event.Debug(sig, "[VMArchiving] Subclient id      :\t[%lld]", number(Stub::F_stubSubclientId));
  m_event.Debug(sig, "[VMArchiving] Backupset id      :\t[%lld]", number(Stub::F_stubBackupsetId));
  m_event.Debug(sig, "[VMArchiving] Client id         :\t[%lld]", number(Stub::F_stubVMClientId));
  m_event.Debug(sig, "[VMArchiving] VM size           :\t[%lld]", number(Stub::F_stubVMSize));
  m_event.Debug(sig, "[VMArchiving] Guest size        :\t[%lld]", number(Stub::F_stubGuestSize));
  m_event.Debug(sig, "[VMArchiving] Stub retry count  :\t[%lld]", number(Stub::F_stubRetryCount));
  m_event.Debug(sig, "[VMArchiving] Failure reason    :\t[%s]", record.getstring(Stub::F_stubFailureReason).c_str());
}
