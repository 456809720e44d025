#include "meditech/QuarnMediTechController.h"

QuarnMediTechController::QuarnMediTechController(bool coordinatorRole)
    : QuarnController(coordinatorRole), m_mediTech() {}

QuarnMediTechController::~QuarnMediTechController() = default;

bool QuarnMediTechController::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  static const char* const sig = "virtual bool QuarnMediTechController::Initialize(vsJobMgr*, vsAppMgr*)";
  if (!QuarnController::Initialize(jobMgr, appMgr)) {
    m_event.Error(sig, "QuarnController initialize error");
    return false;
  }
  return true;
}
