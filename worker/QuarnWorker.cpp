#include "worker/QuarnWorker.h"

#include <new>

#include "controller/QuarnController.h"
#include "platform/jobclient/SubclientDir.h"
#include "platform/os/CPxDirectory.h"

namespace {

// How long Stop and Terminate wait for the thread to notice its quit flag. The controller has
// already waited its own stop time-out before it asks for a Terminate.
constexpr unsigned long kStopJoinMs = 60000;
constexpr unsigned long kTerminateJoinMs = 30000;

}  // namespace

QuarnWorker::QuarnWorker(QuarnController* controller, int workerId)
    : m_controller(controller), m_workerId(workerId) {}

QuarnWorker::~QuarnWorker() {
  quarnConfig::ClearQuitFlagCallback(this);
  Deinitialize();
  if (m_thread.IsRunning()) {
    // Freeing the worker under its own thread would corrupt whatever that thread touches next; a
    // hang here is the lesser fault, and the controller never gets here with a live thread.
    m_event.Error("virtual QuarnWorker::~QuarnWorker()", "Worker [%d] is still running; waiting for it to end",
                  m_workerId);
    m_thread.Join();
  }
}

bool QuarnWorker::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  static const char* const sig = "virtual bool QuarnWorker::Initialize(vsJobMgr*, vsAppMgr*)";
  if (jobMgr == nullptr || appMgr == nullptr) {
    m_event.Error(sig, "Invalid Parameter");
    return false;
  }
  m_jobMgr = jobMgr;
  m_appMgr = appMgr;
  if (GetSubclientDirAndFiles(appMgr->getKeyrealmId(), appMgr->getAppId(), &m_subclientFiles,
                              jobMgr->getBkpLevel(), nullptr) != 0) {
    m_event.Error(sig, "Failed to get the location of the subclient directory");
    return false;
  }
  if (jobMgr->isSnapBackup() || jobMgr->isSnapCatalogMode()) {
    const std::string snapDir = std::string(m_subclientFiles.subclientDir) + "/SNAP";
    if (snapDir.size() >= sizeof(m_subclientFiles.subclientDir)) {
      m_event.Error(sig, "CreateDirectory failed for [%s] Err=%s", snapDir.c_str(), "the path is too long");
      return false;
    }
    std::snprintf(m_subclientFiles.subclientDir, sizeof(m_subclientFiles.subclientDir), "%s", snapDir.c_str());
    if (!CPxDirectory::Exists(snapDir)) {
      CPxError error = CPxDirectory::Create(snapDir, true);
      if (error.IsError()) {
        // A worker without its folder would run without a layout object; it is not started.
        m_event.Error(sig, "CreateDirectory failed for [%s] Err=%s", snapDir.c_str(), error.AsString().c_str());
        return false;
      }
    }
  }

  delete m_config;
  m_config = nullptr;
  if (appMgr->isVolumeLevelBackup()) {
    m_config = new (std::nothrow) quarnVolumeConfig();
  } else if (appMgr->isDiskLevelBackup()) {
    m_config = new (std::nothrow) quarnDiskConfig();
  } else if (appMgr->isFileLevelBackup()) {
    m_event.Error(sig, "File level backup is not supported");
    return false;
  } else {
    m_event.Error(sig, "Unknown backup type.. Cannot Initialize backup object");
    return false;
  }
  if (m_config == nullptr) {
    m_event.Error(sig, "Failed to allocate backup config object");
    return false;
  }
  m_config->setMetadataSupport(jobMgr->isCollectMetadataEnabled());

  if (jobMgr->isFailbackBackup()) {
    delete m_replicationInfo;
    m_replicationInfo = new (std::nothrow) App::VSAReplicationInfo();
  }
  return true;
}

void QuarnWorker::Deinitialize() {
  static const char* const sig = "virtual void QuarnWorker::Deinitialize()";
  Stop();
  if (m_state.load() == WORKER_TERMINATED && m_thread.IsRunning())
    m_event.Debug(sig, "Not doing clean up for VM info object (worker terminated)");
  else
    CleanUpVMInfo();
  delete m_config;
  m_config = nullptr;
  delete m_mountCtx;
  m_mountCtx = nullptr;
  delete m_replicationInfo;
  m_replicationInfo = nullptr;
}

bool QuarnWorker::Start() {
  static const char* const sig = "bool QuarnWorker::Start()";
  // A restart: the previous run has left its loop (the worker is not running); wait for its thread
  // to be gone, so that two threads never share this worker.
  if (m_thread.IsRunning() && !m_thread.Join(kStopJoinMs)) {
    m_event.Error(sig, "Worker [%d] cannot be restarted: its previous thread has not ended", m_workerId);
    return false;
  }
  m_thread.Join(0);
  m_quitFlag = false;
  m_state = WORKER_RUNNING;
  if (m_thread.createThread(&QuarnWorker::WorkerThreadStatic, this, "worker") == 0xFFFFFFFFu) {
    m_state = WORKER_STOPPED;
    m_event.Error(sig, "Failed to begin worker thread");
    return false;
  }
  return true;
}

bool QuarnWorker::Stop() {
  static const char* const sig = "bool QuarnWorker::Stop()";
  SetQuitFlag();
  if (!m_thread.IsRunning()) {
    m_thread.Join(0);
    if (m_state.load() == WORKER_RUNNING) m_state = WORKER_STOPPED;
    return true;
  }
  if (m_thread.Join(kStopJoinMs)) {
    if (m_state.load() == WORKER_RUNNING) m_state = WORKER_STOPPED;
    return true;
  }
  m_event.Error(sig, "Terminating non-responsive worker [%d] thread [%lx]", m_workerId,
                static_cast<unsigned long>(m_thread.getThreadID()));
  Terminate();
  return true;
}

bool QuarnWorker::Terminate() {
  static const char* const sig = "bool QuarnWorker::Terminate()";
  SetQuitFlag();
  if (m_thread.IsRunning() && !m_thread.Join(kTerminateJoinMs)) {
    m_event.Error(sig, "Worker [%d] did not end when asked; it keeps its streams and is left running",
                  m_workerId);
    return false;
  }
  m_thread.Join(0);
  m_state = WORKER_TERMINATED;
  ReleaseHeldStreams();
  return true;
}

void QuarnWorker::ReleaseHeldStreams() {
  static const char* const sig = "bool QuarnWorker::Terminate()";
  std::vector<vsArchive*> extra;
  {
    ZtCriticalSectionLock lock(&m_streamLock);
    extra.swap(m_extraStreams);
  }
  if (extra.empty() && m_currentStream == nullptr) return;
  m_event.Debug(sig, "Releasing any streams held by worker [%d]", m_workerId);
  if (m_controller == nullptr) return;
  for (vsArchive* stream : extra) {
    if (stream != nullptr) m_controller->RelinquishStream(m_workerId, stream);
  }
  if (m_currentStream != nullptr) m_controller->RelinquishStream(m_workerId, m_currentStream);
}

bool QuarnWorker::CheckQuitFlag(quarnBackupArgs* args) {
  if (m_quitFlag.load()) return true;
  // Set by a disk thread that failed, read by the VM's other threads.
  if (args != nullptr && __atomic_load_n(&args->mStopFlag, __ATOMIC_ACQUIRE)) return true;
  if (m_jobMgr != nullptr && m_jobMgr->checkQuitFlag()) {
    SetQuitFlag();
    return true;
  }
  if (m_controller == nullptr) return true;
  if (m_currentVM == nullptr) return m_controller->CheckQuitFlag(0, std::string());
  return m_controller->CheckQuitFlag(CurrentChildJobId(), m_currentVM->vmGuid);
}

long long QuarnWorker::CurrentChildJobId() const {
  if (m_currentVM == nullptr) return 0;
  return m_currentVM->collect.getint64(VirtualServer::VMCollect::F_vmJobId);
}

void QuarnWorker::ResetTimers() {
  m_mountTimer.Reset();
  m_unmountTimer.Reset();
  m_metadataTimer.Reset();
  m_speedCounter.Reset();
}

void* QuarnWorker::WorkerThreadStatic(void* worker) {
  if (worker == nullptr) return nullptr;
  QuarnWorker* self = static_cast<QuarnWorker*>(worker);
  self->m_state = WORKER_RUNNING;
  self->WorkerThread();
  self->m_state = WORKER_STOPPED;
  if (self->m_controller != nullptr) self->m_controller->NotifyWorkerExited();
  return nullptr;
}

void QuarnWorker::WorkerThread() {
  static const char* const sig = "void QuarnWorker::WorkerThread()";
  m_event.Debug(sig, "Worker [%d] started", m_workerId);
  bool allSucceeded = true;
  while (m_controller != nullptr) {
    if (!m_controller->GetNextVM(m_workerId, m_currentVM, m_vmIndex)) break;
    if (CheckQuitFlag(nullptr)) {
      allSucceeded = false;
      m_event.Debug(sig, "Worker [%d] detected quit flag", m_workerId);
      // The VM was handed out but not processed: it is no longer in a worker.
      if (m_currentVM != nullptr) {
        ZtCriticalSectionLock lock(&m_controller->GetVMLock());
        m_currentVM->vmPhase = PHASE_NOT_STARTED;
      }
      break;
    }
    if (m_currentVM == nullptr) continue;
    ResetTimers();
    m_cleanupString.clear();
    m_event.Debug(sig, "Worker [%d] Processing VM [%d] [%s]", m_workerId, m_vmIndex, m_currentVM->vmName.c_str());
    const int result = ProcessVM();
    m_currentArgs = nullptr;
    {
      // The controller reads the phase of VMs in workers (progress, stop requests).
      ZtCriticalSectionLock lock(&m_controller->GetVMLock());
      HandleVMComplete(result);
    }
    if (!m_controller->CompleteVM(m_currentVM, m_vmIndex)) {
      allSucceeded = false;
      m_event.Error(sig, "Worker [%d] could not complete VM", m_workerId);
      break;
    }
    if (result != 0) allSucceeded = false;
  }
  m_currentVM = nullptr;
  if (m_jobMgr != nullptr && m_appMgr != nullptr && (m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode()))
    m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  PostProcessVirtualMachines(allSucceeded);
  CleanUpVMInfo();
  m_event.Debug(sig, "Worker [%d] exiting", m_workerId);
}
