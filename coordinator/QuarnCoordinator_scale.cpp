// The coordinator's hooks of the auto-scale of agents: whether the job manages its agents by
// auto-scale, the manager, agents made for the job while it runs, and whether any are still coming.
#include "coordinator/QuarnCoordinator.h"
#include "coordinator/QuarnScaleAgentManager.h"

namespace {

const char* const kSigCheckAndAdd = "virtual bool QuarnCoordinator::CheckAndAddAgents()";

}  // namespace

bool QuarnCoordinator::IsScaleAgentMgmtEnabled() {
  return !m_jobMgr->isSnapBackup() && !m_jobMgr->isVMContentIndexMode() && m_appMgr->IsScaleAgentManagementEnabled();
}

QuarnScaleAgentManager* QuarnCoordinator::CreateScaleAgentManager() { return new QuarnScaleAgentManager(this); }

void QuarnCoordinator::OnAgentCreationSucceeded() { m_recheckAgentList = true; }

bool QuarnCoordinator::IsAnyAgentBeingCreated() {
  if (m_scaleAgentManager == nullptr) return false;
  if (m_scaleAgentManager->IsAnyAgentBeingCreated() || m_recheckAgentList.load() || m_rebalanceRequested.load())
    return true;
  for (const auto& entry : m_agents)
    if (entry.second.state == AgentStarting || entry.second.state == AgentStarted) return true;
  return false;
}

bool QuarnCoordinator::CheckAndAddAgents() {
  // Cleared before the list is read: an agent made after that sets it again for the next pass.
  const bool recheck = m_recheckAgentList.exchange(false);
  const int code = m_appMgr->queryMemberServersForInstance(0);
  if (vsAppMgr::isRetCodeError(code)) {
    m_event.Error(kSigCheckAndAdd, "Failed to get member server list, %d", code);
    if (recheck) m_recheckAgentList = true;
    return false;
  }
  for (const std::string& name : m_appMgr->getMemberServers()) {
    if (name.empty() || m_agents.count(name) != 0) continue;
    if (!AddAgent(name)) continue;
    QuarnAgentInfo* agent = FindAgent(name);
    agent->state = AgentFailed;
    agent->lateMessagePending = true;
  }
  return true;
}
