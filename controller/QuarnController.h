#pragma once
#include "app/QuarnRegistry.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"
#include "platform/frame/VSController.h"
#include "platform/jobmgr/vsJobMgr.h"

// The agent side of the job in every proxy process, the coordinator's included. This build carries
// the lifecycle the process frame drives; it takes no VMs yet.
class QuarnController : public VSController {
 public:
  explicit QuarnController(bool coordinatorRole);
  ~QuarnController() override;
  QuarnController(const QuarnController&) = delete;
  QuarnController& operator=(const QuarnController&) = delete;

  virtual bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr);
  virtual bool Run(int argc, char** argv);

  bool IsCoordinatorRole() const { return m_coordinatorRole; }

  // Called by the coordinator on its in-process agent: unmounts the hardware snapshot the agent
  // mounted for a backup copy. The base mounts none.
  virtual bool UnmountSnap() { return true; }

 protected:
  EvEvent m_event;
  const bool m_coordinatorRole;
  vsJobMgr* m_jobMgr = nullptr;
  vsAppMgr* m_appMgr = nullptr;
  QuarnRegistry m_registry;
};
