#include "meditech/QuarnMediTechCoordinator.h"

namespace {

const char* const kSigInitialize =
    "virtual bool QuarnMediTechCoordinator::Initialize(vsJobMgr*, vsAppMgr*, QuarnController*)";
const char* const kSigResult =
    "virtual bool QuarnMediTechCoordinator::OnMsgVMBackupResult(const std::string&, VirtualServer::VMBackupResult*)";

constexpr int64_t kResultFailed = 2;

}  // namespace

QuarnMediTechCoordinator::QuarnMediTechCoordinator() : QuarnCoordinator(), m_mediTechVMs() {}

QuarnMediTechCoordinator::~QuarnMediTechCoordinator() = default;

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
  return true;
}

bool QuarnMediTechCoordinator::OnMsgVMBackupResult(const std::string& agent, VirtualServer::VMBackupResult* message) {
  if (message->getint64(VirtualServer::VMBackupResult::F_statusCode) == kResultFailed) {
    const std::string name = message->getstring(VirtualServer::VMBackupResult::F_vmName);
    m_jobMgr->addPendingCauseArgument(name);
    m_jobMgr->setPendingCauseAndEvent(0x5B000194, 3);
    m_event.Error(kSigResult, "Failing entire job because MediTech VM [%s] backup failed!", name.c_str());
    m_failJob = true;
    SetQuitFlag();
  }
  return QuarnCoordinator::OnMsgVMBackupResult(agent, message);
}

// One shared shadow serves every VM of the job.
bool QuarnMediTechCoordinator::PrepareVMInfo() {
  const bool prepared = QuarnCoordinator::PrepareVMInfo();
  if (m_vmInfo != nullptr) m_vmInfo->SetOption("singleSharedShadow", 1);
  return prepared;
}
