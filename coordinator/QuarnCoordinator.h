#pragma once
#include <atomic>
#include <string>

#include "app/QuarnRegistry.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"
#include "platform/frame/VSCoordinator.h"
#include "platform/jobmgr/vsJobMgr.h"

class QuarnController;

// The coordinator of one backup job. This build carries its lifecycle as the process frame drives
// it; it does not yet back up virtual machines, and says so rather than report work it did not do.
class QuarnCoordinator : public VSCoordinator {
 public:
  QuarnCoordinator();
  ~QuarnCoordinator() override;
  QuarnCoordinator(const QuarnCoordinator&) = delete;
  QuarnCoordinator& operator=(const QuarnCoordinator&) = delete;

  virtual int GetProtocolVersion() { return 1120; }
  virtual bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController);
  virtual bool Run();
  virtual void Deinitialize();
  virtual bool CheckJobPhaseSuccess(bool& partial, bool& failJob, bool& setupFailed, bool& resumeNow);
  virtual std::string GetApplicationName() { return "quarn"; }

  void SetAvailableStreams(int streams) { m_availableStreams = streams; }
  int GetAvailableStreams() const { return m_availableStreams; }

 protected:
  EvEvent m_event;
  bool m_jobSucceeded = false;
  bool m_completedWithErrors = false;
  bool m_setupFailed = false;
  bool m_failJob = false;
  vsJobMgr* m_jobMgr = nullptr;
  vsAppMgr* m_appMgr = nullptr;
  QuarnController* m_localController = nullptr;
  QuarnRegistry m_registry;
  int m_availableStreams = 0;
};
