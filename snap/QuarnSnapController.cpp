#include "snap/QuarnSnapController.h"

QuarnSnapController::QuarnSnapController(bool coordinatorRole) : QuarnController(coordinatorRole) {}

QuarnSnapController::~QuarnSnapController() = default;

bool QuarnSnapController::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  static const char* const sig = "virtual bool QuarnSnapController::Initialize(vsJobMgr*, vsAppMgr*)";
  if (!QuarnController::Initialize(jobMgr, appMgr)) return false;
  if (!jobMgr->isSnapBackup() && !jobMgr->isSnapToTape() && !jobMgr->isSnapCatalogMode()) {
    m_event.Error(sig, "Snap Controller is being used for non snap backup");
    return false;
  }
  return true;
}
