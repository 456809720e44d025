// The coordinator's hooks of the auto-scale of agents. The estimate that creates agents is not built
// yet: no job manages its agents by auto-scale, so every hook answers as for a fixed set of agents.
#include "coordinator/QuarnCoordinator.h"
#include "coordinator/QuarnScaleAgentManager.h"

bool QuarnCoordinator::IsScaleAgentMgmtEnabled() { return false; }

QuarnScaleAgentManager* QuarnCoordinator::CreateScaleAgentManager() { return nullptr; }

bool QuarnCoordinator::IsAnyAgentBeingCreated() {
  return m_scaleAgentManager != nullptr && m_scaleAgentManager->IsAnyAgentBeingCreated();
}

bool QuarnCoordinator::CheckAndAddAgents() {
  m_recheckAgentList = false;
  return true;
}
