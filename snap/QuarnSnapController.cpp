#include "snap/QuarnSnapController.h"

QuarnSnapController::QuarnSnapController(bool coordinatorRole) : QuarnController(coordinatorRole) {}

// The controller thread calls this object's virtual operations: it must end before this part of
// the object is torn down.
QuarnSnapController::~QuarnSnapController() { Deinitialize(); }

bool QuarnSnapController::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  static const char* const sig = "virtual bool QuarnSnapController::Initialize(vsJobMgr*, vsAppMgr*)";
  // A catalogue job that collects no metadata has nothing for this agent to do.
  if (jobMgr->isSnapCatalogMode() && !jobMgr->isCollectMetadataEnabled()) {
    m_event.Error(sig, "As per job option, no metadata collection will be done for this job");
    return true;
  }
  if (!QuarnController::Initialize(jobMgr, appMgr)) return false;
  if (!jobMgr->isSnapBackup() && !jobMgr->isSnapToTape() && !jobMgr->isSnapCatalogMode()) {
    m_event.Error(sig, "Snap Controller is being used for non snap backup");
    return false;
  }
  return true;
}
