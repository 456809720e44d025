#include "meditech/QuarnMediTechCoordinator.h"

QuarnMediTechCoordinator::QuarnMediTechCoordinator() : QuarnCoordinator(), m_mediTechVMs() {}

QuarnMediTechCoordinator::~QuarnMediTechCoordinator() = default;

bool QuarnMediTechCoordinator::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController) {
  static const char* const sig =
      "virtual bool QuarnMediTechCoordinator::Initialize(vsJobMgr*, vsAppMgr*, QuarnController*)";
  if (!QuarnCoordinator::Initialize(jobMgr, appMgr, localController)) {
    m_event.Error(sig, "QuarnCoordinator initialize error");
    return false;
  }
  return true;
}
