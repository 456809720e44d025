#pragma once
#include <string>
#include <vector>

#include "coordinator/QuarnCoordinator.h"

// The coordinator of a MEDITECH subclient: all its VMs are backed up from one shared snapshot, and
// the failure of any of them fails the whole job.
class QuarnMediTechCoordinator : public QuarnCoordinator {
 public:
  QuarnMediTechCoordinator();
  ~QuarnMediTechCoordinator() override;

  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController) override;
  bool OnMsgVMBackupResult(const std::string& agent, VirtualServer::VMBackupResult* message) override;
  bool PrepareVMInfo() override;

 private:
  std::vector<std::string> m_mediTechVMs;
};
