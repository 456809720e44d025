#include "meditech/QuarnMediTechCoordinator.h"

#include <set>

namespace {

const char* const kSigInitialize =
    "virtual bool QuarnMediTechCoordinator::Initialize(vsJobMgr*, vsAppMgr*, QuarnController*)";
const char* const kSigResult =
    "virtual bool QuarnMediTechCoordinator::OnMsgVMBackupResult(const std::string&, VirtualServer::VMBackupResult*)";
const char* const kSigPre = "virtual int QuarnMediTechCoordinator::PreCreateSharedShadow()";
const char* const kSigPost = "virtual int QuarnMediTechCoordinator::PostCreateSharedShadow()";
const char* const kSigCreate = "virtual bool QuarnMediTechCoordinator::CreateSharedShadow()";

constexpr int64_t kResultFailed = 2;
constexpr uint32_t kEventSharedShadowFailed = 0x5B000190;
constexpr uint32_t kEventToolVerbFailed = 0x5B000193;
constexpr uint32_t kEventVMFailed = 0x5B000194;
constexpr uint32_t kEventVMNotInJob = 0x5B000195;
constexpr int kPendingSeverity = 3;

}  // namespace

QuarnMediTechCoordinator::QuarnMediTechCoordinator() : QuarnCoordinator(), m_mediTech(), m_mediTechVMs() {}

// The last chance for a system left quiesced: a MEDITECH system must never stay quiesced after the job.
QuarnMediTechCoordinator::~QuarnMediTechCoordinator() { UnquiesceIfQuiesced(); }

bool QuarnMediTechCoordinator::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController) {
  if (!QuarnCoordinator::Initialize(jobMgr, appMgr, localController)) {
    m_event.Error(kSigInitialize, "QuarnCoordinator initialize error");
    return false;
  }
  std::string restart;
  m_jobMgr->CheckForRestart(restart);
  if (!restart.empty()) {
    m_event.Error(kSigInitialize, "Meditech job restart not supported.");
    m_failJob = true;
    return false;
  }
  if (!m_mediTech.Initialize(jobMgr, appMgr)) {
    m_event.Error(kSigInitialize, "MediTech initialize error");
    m_failJob = true;
    return false;
  }
  if (!m_mediTech.GetVMList(m_mediTechVMs)) {
    m_event.Error(kSigInitialize, "MediTech get VM list error");
    m_failJob = true;
    return false;
  }
  return true;
}

bool QuarnMediTechCoordinator::OnMsgVMBackupResult(const std::string& agent, VirtualServer::VMBackupResult* message) {
  // A result the coordinator would refuse (another agent's VM, a number out of range) fails nothing.
  if (!AcceptVMBackupResult(agent, *message)) return true;
  if (message->getint64(VirtualServer::VMBackupResult::F_statusCode) == kResultFailed) {
    const std::string name = message->getstring(VirtualServer::VMBackupResult::F_vmName);
    m_jobMgr->addPendingCauseArgument(name);
    m_jobMgr->setPendingCauseAndEvent(kEventVMFailed, kPendingSeverity);
    m_event.Error(kSigResult, "Failing entire job because MediTech VM [%s] backup failed!", name.c_str());
    m_failJob = true;
    if (m_unfinishedVMReason.empty())
      m_unfinishedVMReason = "The job failed because MediTech VM [" + name + "] backup failed";
    SetQuitFlag();
  }
  return QuarnCoordinator::OnMsgVMBackupResult(agent, message);
}

// One shared shadow serves every VM of the job.
bool QuarnMediTechCoordinator::PrepareVMInfo() {
  const bool prepared = QuarnCoordinator::PrepareVMInfo();
  if (prepared && m_vmInfo != nullptr) m_vmInfo->SetOption("singleSharedShadow", 1);
  return prepared;
}

bool QuarnMediTechCoordinator::CreateSharedShadow() {
  const bool created = QuarnCoordinator::CreateSharedShadow();
  if (!created && m_vmInfo != nullptr && m_vmInfo->GetErrorCode() != 0) {
    m_jobMgr->addPendingCauseArgument(m_vmInfo->GetErrorText());
    m_jobMgr->setPendingCauseAndEvent(kEventSharedShadowFailed, kPendingSeverity);
  }
  // A library that failed after the hook before the snapshot never calls the one after it.
  if (m_quiesced.load()) {
    m_event.Error(kSigCreate, "The MediTech system was quiesced for a snapshot that was not completed");
    UnquiesceIfQuiesced();
  }
  return created;
}

int QuarnMediTechCoordinator::PreCreateSharedShadow() {
  std::set<std::string> jobVMs;
  for (const auto& entry : m_vmMap) jobVMs.insert(entry.second.vmName);
  int result = 0;
  for (const std::string& name : m_mediTechVMs) {
    if (jobVMs.count(name) != 0) continue;
    m_jobMgr->addPendingCauseArgument(name);
    m_jobMgr->setPendingCauseAndEvent(kEventVMNotInJob, kPendingSeverity);
    m_event.Error(kSigPre, "MediTech VM %s is not included in the backup", name.c_str());
    result = kResultNotCovered;
  }
  if (result != 0) {
    m_event.Error(kSigPre, "Some MediTech VM(s) are not included in the backup");
    return result;
  }
  if (m_mediTech.Quiesce()) {
    m_quiesced = true;
  } else {
    m_jobMgr->addPendingCauseArgument(std::string("quiesce"));
    m_jobMgr->setPendingCauseAndEvent(kEventToolVerbFailed, kPendingSeverity);
    result = kResultNotCovered;
  }
  m_event.Debug(kSigPre, "MediTech Quiesce %s", result == 0 ? "successful" : "failed");
  return result;
}

int QuarnMediTechCoordinator::PostCreateSharedShadow() {
  if (!m_quiesced.load()) {
    m_event.Debug(kSigPost, "The MediTech system is not quiesced: nothing to unquiesce");
    return 0;
  }
  return UnquiesceIfQuiesced();
}

int QuarnMediTechCoordinator::UnquiesceIfQuiesced() {
  if (!m_quiesced.exchange(false)) return 0;
  int result = 0;
  if (!m_mediTech.UnQuiesce()) {
    m_event << std::string("unquiesce");
    m_event.MinorEvent(kEventToolVerbFailed);
    result = kResultUnquiesceFailed;
  }
  m_event.Debug(kSigPost, "MediTech UnQuiesce %s", result == 0 ? "successful" : "failed");
  return result;
}
