#pragma once
#include <string>
#include <vector>

#include "coordinator/QuarnCoordinator.h"

// The coordinator of a MEDITECH subclient: all its VMs are backed up from one shared snapshot.
class QuarnMediTechCoordinator : public QuarnCoordinator {
 public:
  QuarnMediTechCoordinator();
  ~QuarnMediTechCoordinator() override;

  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController) override;

 private:
  std::vector<std::string> m_mediTechVMs;
};
