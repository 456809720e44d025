#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "app/QuarnRegistry.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/config/CCommandLineArguments.h"
#include "platform/ev/EvEvent.h"
#include "platform/frame/VSApp.h"
#include "platform/jobmgr/vsJobMgr.h"

class QuarnCoordinator;
class QuarnController;

// The application object of the job process: reads the command line, opens the log, chooses the role
// (coordinator of the job, or agent on a further proxy), creates and runs the coordinator and the
// controller, and at the end sets the job phase's result.
class QuarnApp : public VSApp {
 public:
  QuarnApp(int argc, char** argv);
  ~QuarnApp() override;
  QuarnApp(const QuarnApp&) = delete;
  QuarnApp& operator=(const QuarnApp&) = delete;

  using VSApp::Initialize;
  void Deinitialize() override;
  void OnServiceShutdown() override;
  virtual bool PreInitialize(int argc, char** argv);
  virtual bool Initialize(int argc, char** argv);
  virtual bool Run(int argc, char** argv);
  virtual bool InitializeAppMgr();
  virtual bool CreateCoordinator();
  virtual bool CreateController();

  void Main(int argc, char** argv);
  bool InitializeController(int argc, char** argv);
  bool InitializeLogFile();

  // Read-only views for tests.
  bool IsCoordinatorRole() const { return m_coordinatorRole; }
  const std::string& GetPhaseName() const { return m_phaseName; }
  int64_t GetJobId() const { return m_jobId; }
  vsJobMgr& GetJobMgr() { return m_jobMgr; }
  vsAppMgr& GetAppMgr() { return m_appMgr; }
  QuarnCoordinator* GetCoordinator() const { return m_coordinator; }
  QuarnController* GetController() const { return m_controller; }

 protected:
  // Takes ownership of the object a CreateCoordinator / CreateController override made.
  void AdoptCoordinator(QuarnCoordinator* coordinator);
  void AdoptController(QuarnController* controller);

 private:
  // Sets the job phase's result of a coordinator run from the coordinator's verdict.
  void SetJobPhaseResult();

  std::string m_appName;
  std::string m_phaseName;
  int64_t m_jobId;
  EvEvent m_event;
  CCommandLineArguments m_commandLine;
  bool m_coordinatorRole;
  bool m_jobMgrStarted;
  vsJobMgr m_jobMgr;
  vsAppMgr m_appMgr;
  // Owned; the service-shutdown hook reads them from the signal watcher thread while Deinitialize
  // deletes them on the main thread, so both hold m_objectsMutex around the pointers.
  QuarnCoordinator* m_coordinator;
  QuarnController* m_controller;
  QuarnRegistry m_registry;
  std::mutex m_objectsMutex;
  // The code of the last querySettings, for the event Initialize raises when it failed.
  int m_appMgrRetCode = 0;
};
