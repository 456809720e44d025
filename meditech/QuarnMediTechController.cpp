#include "meditech/QuarnMediTechController.h"

QuarnMediTechController::QuarnMediTechController(bool coordinatorRole)
    : QuarnController(coordinatorRole), m_mediTech() {}

// The controller thread calls this object's virtual operations: it must end before this part of
// the object is torn down.
QuarnMediTechController::~QuarnMediTechController() { Deinitialize(); }

bool QuarnMediTechController::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  static const char* const sig = "virtual bool QuarnMediTechController::Initialize(vsJobMgr*, vsAppMgr*)";
  if (!QuarnController::Initialize(jobMgr, appMgr)) {
    m_event.Error(sig, "QuarnController initialize error");
    return false;
  }
  return true;
}
