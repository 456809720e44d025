#include "meditech/QuarnMediTechCoordinator.h"

#include <set>

#include "platform/os/ZtTime.h"

namespace {

const char* const kSigInitialize =
    "virtual bool QuarnMediTechCoordinator::Initialize(vsJobMgr*, vsAppMgr*, QuarnController*)";
const char* const kSigResult =
    "virtual bool QuarnMediTechCoordinator::OnMsgVMBackupResult(const std::string&, VirtualServer::VMBackupResult*)";
const char* const kSigPre = "virtual int QuarnMediTechCoordinator::PreCreateSharedShadow()";
const char* const kSigPost = "virtual int QuarnMediTechCoordinator::PostCreateSharedShadow()";
const char* const kSigCreate = "virtual bool QuarnMediTechCoordinator::CreateSharedShadow()";
const char* const kSigDeinitialize = "virtual bool QuarnMediTechCoordinator::Deinitialize()";
const char* const kSigQuiesce = "bool QuarnMediTechCoordinator::QuiesceTheSystem()";

constexpr int64_t kResultFailed = 2;
constexpr uint32_t kEventSharedShadowFailed = 0x5B000190;
constexpr uint32_t kEventToolVerbFailed = 0x5B000193;
constexpr uint32_t kEventVMFailed = 0x5B000194;
constexpr uint32_t kEventVMNotInJob = 0x5B000195;
constexpr int kPendingSeverity = 3;

// The job's pending cause: the event with its one argument.
void PendJob(vsJobMgr* jobMgr, uint32_t event, const std::string& argument) {
  jobMgr->addPendingCauseArgument(argument);
  jobMgr->setPendingCauseAndEvent(event, kPendingSeverity);
}

}  // namespace

QuarnMediTechCoordinator::QuarnMediTechCoordinator() : QuarnCoordinator(), m_mediTech(), m_mediTechVMs() {}

// The last chance for a system left quiesced when the way out was never taken: a MEDITECH system must
// never stay quiesced after the job. (After the way out's tries, the job has already said how it ended.)
QuarnMediTechCoordinator::~QuarnMediTechCoordinator() {
  if (m_quiesced.load() && !m_wayOutTaken) TryUnquiesce(kSigDeinitialize);
}

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
    // A later attempt would take a snapshot of its own: the job's VMs would come from two moments.
    m_unfinishedVMReason = "A MediTech job cannot be restarted: all its VMs must come from one snapshot";
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
  // A census of no VM would let every coverage check pass without checking anything.
  if (m_mediTechVMs.empty()) {
    m_event.Error(kSigInitialize, "The MediTech census lists no VM: the job cannot check that it covers the system");
    PendJob(m_jobMgr, kEventToolVerbFailed, "census");
    m_failJob = true;
    m_unfinishedVMReason = "The MediTech census lists no VM";
    return false;
  }
  return true;
}

bool QuarnMediTechCoordinator::Deinitialize() {
  UnquiesceOnTheWayOut();
  return QuarnCoordinator::Deinitialize();
}

bool QuarnMediTechCoordinator::OnMsgVMBackupResult(const std::string& agent, VirtualServer::VMBackupResult* message) {
  // A result the coordinator would refuse (another agent's VM, a number out of range) fails nothing.
  if (!AcceptVMBackupResult(agent, *message)) return true;
  if (message->getint64(VirtualServer::VMBackupResult::F_statusCode) == kResultFailed) {
    const std::string name = message->getstring(VirtualServer::VMBackupResult::F_vmName);
    PendJob(m_jobMgr, kEventVMFailed, name);
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
    PendJob(m_jobMgr, kEventSharedShadowFailed, m_vmInfo->GetErrorText());
  }
  // A library that failed after the hook before the snapshot never calls the one after it. (After a
  // snapshot that was made, a system still quiesced is the unquiesce's failure: retried on the way out.)
  if (!created && m_quiesced.load()) {
    m_event.Error(kSigCreate, "The MediTech system was quiesced for a snapshot that was not completed");
    UnquiesceAfterTheSnapshot();
  }
  return created;
}

int QuarnMediTechCoordinator::PreCreateSharedShadow() {
  std::set<std::string> jobVMs;
  for (const auto& entry : m_vmMap) jobVMs.insert(entry.second.vmName);
  int result = 0;
  for (const std::string& name : m_mediTechVMs) {
    if (jobVMs.count(name) != 0) continue;
    // The name is the tool's word: the job keeps and logs it masked.
    const std::string shown = m_mediTech.Masked(name);
    PendJob(m_jobMgr, kEventVMNotInJob, shown);
    m_event.Error(kSigPre, "MediTech VM %s is not included in the backup", shown.c_str());
    result = kResultNotCovered;
  }
  if (result != 0) {
    m_event.Error(kSigPre, "Some MediTech VM(s) are not included in the backup");
    return result;
  }
  if (!QuiesceTheSystem()) {
    PendJob(m_jobMgr, kEventToolVerbFailed, "quiesce");
    result = kResultNotCovered;
  }
  m_event.Debug(kSigPre, "MediTech Quiesce %s", result == 0 ? "successful" : "failed");
  return result;
}

bool QuarnMediTechCoordinator::QuiesceTheSystem() {
  std::string output;
  if (m_mediTech.Quiesce(&output)) {
    m_quiesced = true;
    return true;
  }
  if (!QuarnMediTech::SaysAlreadyQuiesced(output)) return false;
  m_event.Error(kSigQuiesce,
                "The MediTech system is already quiesced (left so by an earlier job): unquiescing it and quiescing "
                "it once more");
  if (!m_mediTech.UnQuiesce()) return false;
  if (!m_mediTech.Quiesce()) return false;
  m_quiesced = true;
  return true;
}

int QuarnMediTechCoordinator::PostCreateSharedShadow() {
  if (!m_quiesced.load()) {
    m_event.Debug(kSigPost, "The MediTech system is not quiesced: nothing to unquiesce");
    return 0;
  }
  return UnquiesceAfterTheSnapshot();
}

int QuarnMediTechCoordinator::UnquiesceAfterTheSnapshot() {
  if (TryUnquiesce(kSigPost)) return 0;
  m_event << std::string("unquiesce");
  m_event.MinorEvent(kEventToolVerbFailed);
  return kResultUnquiesceFailed;
}

bool QuarnMediTechCoordinator::TryUnquiesce(const char* sig) {
  std::string output;
  bool running = m_mediTech.UnQuiesce(&output);
  if (!running && QuarnMediTech::SaysNotQuiesced(output)) {
    m_event.Error(sig, "The MediTech system was unquiesced by someone else");
    running = true;
  }
  if (running) m_quiesced = false;
  m_event.Debug(sig, "MediTech UnQuiesce %s", running ? "successful" : "failed");
  return running;
}

void QuarnMediTechCoordinator::UnquiesceOnTheWayOut() {
  if (m_wayOutTaken || !m_quiesced.load()) return;
  m_wayOutTaken = true;
  for (int attempt = 1; attempt <= kUnquiesceRetries; ++attempt) {
    m_event.Error(kSigDeinitialize, "The MediTech system is still quiesced: unquiesce %d of %d in %lld seconds",
                  attempt, kUnquiesceRetries, kUnquiesceRetryWaitSeconds);
    ZtClock::Sleep(CTimeInterval::FromSeconds(kUnquiesceRetryWaitSeconds));
    if (TryUnquiesce(kSigDeinitialize)) return;
  }
  // The backups stand, but the hospital's system does not run: the job must not end as if all were well.
  m_event.Error(kSigDeinitialize, "The MediTech system could not be unquiesced: it is still quiesced");
  PendJob(m_jobMgr, kEventToolVerbFailed, "unquiesce");
  m_failJob = true;
  if (m_unfinishedVMReason.empty()) m_unfinishedVMReason = "The MediTech system could not be unquiesced";
}
