#include "controller/QuarnController.h"

QuarnController::QuarnController(bool coordinatorRole)
    : VSController(coordinatorRole), m_coordinatorRole(coordinatorRole) {}

QuarnController::~QuarnController() = default;

bool QuarnController::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  m_jobMgr = jobMgr;
  m_appMgr = appMgr;
  return true;
}

bool QuarnController::Run(int argc, char** argv) {
  m_event.Error("virtual bool QuarnController::Run(int, char**)",
                "This agent cannot back up virtual machines yet; it takes no work");
  // The agent still serves its coordinator until told to quit, so the coordinator sees it start and stop.
  return Main(argc, argv);
}
