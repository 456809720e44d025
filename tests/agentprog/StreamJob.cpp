#include "agentprog/StreamJob.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/QuarnApp.h"
#include "controller/QuarnController.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/archive/vsArchive.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/os/ZtProcess.h"
#include "platform/os/ZtTime.h"
#include "worker/QuarnWorker.h"

namespace {

int64_t JobIdOf(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "-j") == 0) return std::atoll(argv[i + 1]);
  return 0;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class StreamWorker : public QuarnWorker {
 public:
  StreamWorker(QuarnController* controller, int index) : QuarnWorker(controller, index) {}
  ~StreamWorker() override { Deinitialize(); }

  int ProcessVM() override {
    m_streamsRequired = 1;
    if (!m_controller->AcquireStream(m_workerId, m_currentStream, true) || m_currentStream == nullptr)
      return 123;  // retried on the next attempt
    if (Exists(lab::ClientTempDir(lab::FocusClient()) + "/kill-holding-stream")) kill(getpid(), SIGKILL);
    const std::string gate = lab::JobDir(m_jobMgr->getJobId()) + "/release-vms";
    for (int i = 0; i < 60000 && !Exists(gate) && !CheckQuitFlag(nullptr); ++i) usleep(1000);
    int result = m_currentStream->createArchiveFile(m_currentVM->vmGuid, m_jobMgr->getJobId(), 0, 0, "", 1);
    if (result == 0) result = m_currentStream->closeArchiveFile();
    m_controller->RelinquishStream(m_workerId, m_currentStream);
    // Its status with the job manager, as a worker's backup that ends well records it.
    if (result == 0) m_currentVM->updateInfo.setint64(JobManager::VMUpdateInfo::F_vmStatus, 0);
    return result == 0 ? 0 : 123;
  }
};

class StreamAgentController : public QuarnController {
 public:
  using QuarnController::QuarnController;
  ~StreamAgentController() override { Deinitialize(); }
  QuarnWorker* CreateWorker(QuarnController* controller, int index) override {
    return new StreamWorker(controller, index);
  }
};

class StreamJobCoordinator : public QuarnCoordinator {
 public:
  StreamJobCoordinator() : m_self(ZtProcess::SelfPath()) {}
  const char* GetApplicationName() override { return m_self.c_str(); }
  bool InitAgents() override {
    const bool ok = QuarnCoordinator::InitAgents();
    SetSelectTimeoutMs(20);
    return ok;
  }
  void OnIdle() override {
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
    if (++m_passes > 3600) SetQuitFlag();  // an hour of job time: stuck
    QuarnCoordinator::OnIdle();
    int reclaimed = 0, assigned = 0;
    for (const QuarnStreamInfo& stream : m_streams) {
      reclaimed += stream.state == StreamReclaimed ? 1 : 0;
      assigned += stream.state == StreamAssigned ? 1 : 0;
    }
    if (reclaimed > 0 && assigned >= m_availableStreams && m_availableStreams > 0)
      lab::WriteFileAtomic(lab::JobDir(m_jobMgr->getJobId()) + "/release-vms", "");
  }

 private:
  const std::string m_self;
  int m_passes = 0;
};

class StreamJobApp : public QuarnApp {
 public:
  using QuarnApp::QuarnApp;
  bool CreateCoordinator() override {
    AdoptCoordinator(new StreamJobCoordinator());
    return true;
  }
  bool CreateController() override {
    AdoptController(new StreamAgentController(IsCoordinatorRole()));
    return true;
  }
};

}  // namespace

bool IsStreamJob(int argc, char** argv) {
  const int64_t job = JobIdOf(argc, argv);
  return job > 0 && !lab::Root().empty() && Exists(lab::JobDir(job) + "/stream-job");
}

int RunStreamJob(int argc, char** argv) {
  StreamJobApp app(argc, argv);
  app.Main(argc, argv);
  return 0;
}
