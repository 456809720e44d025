#include "coordinator/QuarnCoordinator.h"

QuarnCoordinator::QuarnCoordinator() = default;

// The framework's agents and pool jobs must be gone before the coordinator's members are.
QuarnCoordinator::~QuarnCoordinator() { ZTRemoteAgentServer::Deinitialize(); }

bool QuarnCoordinator::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController) {
  m_jobMgr = jobMgr;
  m_appMgr = appMgr;
  m_localController = localController;
  return true;
}

bool QuarnCoordinator::Run() {
  m_event.Error("virtual bool QuarnCoordinator::Run()",
                "This job process cannot back up virtual machines yet: no VM was backed up, the job ends "
                "pending");
  m_jobSucceeded = false;
  return false;
}

void QuarnCoordinator::Deinitialize() { ZTRemoteAgentServer::Deinitialize(); }

bool QuarnCoordinator::CheckJobPhaseSuccess(bool& partial, bool& failJob, bool& setupFailed, bool& resumeNow) {
  partial = false;
  failJob = false;
  setupFailed = false;
  resumeNow = false;
  return m_jobSucceeded;
}
