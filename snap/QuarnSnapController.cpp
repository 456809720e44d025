// The snapshot controller's life cycle, its streams (none in a snapshot backup or catalogue) and the
// coordinator's messages it handles its own way.
#include "snap/QuarnSnapController.h"

#include <new>

#include "app/QuarnUtils.h"
#include "snap/QuarnSnapWorker.h"

namespace {

using namespace VirtualServer;

constexpr int kPseudoStreamId = 1;
constexpr int kPseudoStreamRcid = -1;

}  // namespace

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

void QuarnSnapController::Deinitialize() {
  // A snapshot this agent mounted is let go whatever the hypervisor: a mount left behind would stay
  // for good when the coordinator's quit never came. Unmounting what is not mounted does nothing.
  if (m_appMgr != nullptr && !UnmountSnap()) ReportSnapshotLeftMounted();
  CleanupJobMetadataFiles(m_snapMountCtx.snapshotFolder);
  QuarnController::Deinitialize();
}

bool QuarnSnapController::IsStreamlessMode() const {
  return m_jobMgr != nullptr && (m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode());
}

bool QuarnSnapController::CompleteVM(vm_params*& vm, int& vmIndex) {
  if (vm != nullptr && m_jobMgr != nullptr && m_jobMgr->isSnapBackup()) {
    int64_t appSize = 0;
    std::string guid;
    {
      ZtCriticalSectionLock lock(&m_vmLock);
      if (vm->statusCode == 1) appSize = static_cast<int64_t>(vm->appSize);
      guid = vm->vmGuid;
    }
    if (appSize != 0) {
      ZtCriticalSectionLock lock(&m_appSizeLock);
      m_appSize += appSize;
    }
    CloseIndexingForVM(guid);
  }
  return QuarnController::CompleteVM(vm, vmIndex);
}

bool QuarnSnapController::AcquireStream(int workerIndex, vsArchive*& stream, bool wait) {
  if (!IsStreamlessMode()) return QuarnController::AcquireStream(workerIndex, stream, wait);
  stream = nullptr;
  return true;
}

bool QuarnSnapController::RelinquishStream(int workerIndex, vsArchive*& stream) {
  if (!IsStreamlessMode()) return QuarnController::RelinquishStream(workerIndex, stream);
  stream = nullptr;
  return true;
}

bool QuarnSnapController::OpenStream(int& id, int& rcid, int& reservationId, int& clientId) {
  static const char* const sig = "virtual bool QuarnSnapController::OpenStream(int&, int&, int&, int&)";
  if (!IsStreamlessMode()) return QuarnController::OpenStream(id, rcid, reservationId, clientId);
  // The grant stands for the job's one data path; it is taken as opened, with nothing to open.
  GetUnopenedStreamInfo(id, rcid, reservationId, clientId);
  int open = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    open = m_openStreams;
  }
  const int granted = m_streamsGranted.load();
  m_event.Debug(sig, "Opening stream [%d] of [%d]", open + 1, granted);
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    open = ++m_openStreams;
  }
  m_event.Debug(sig, "Opened stream [%d] of [%d]", open, granted);
  return true;
}

bool QuarnSnapController::CloseStream(int& id, int& rcid, int& reservationId, int& clientId) {
  static const char* const sig = "virtual bool QuarnSnapController::CloseStream(int&, int&, int&, int&)";
  if (!IsStreamlessMode()) return QuarnController::CloseStream(id, rcid, reservationId, clientId);
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    m_event.Debug(sig, "Closing stream [%d]. ", m_openStreams);
    if (m_openStreams > 0) --m_openStreams;
  }
  id = kPseudoStreamId;
  rcid = kPseudoStreamRcid;
  reservationId = kPseudoStreamRcid;
  clientId = m_appMgr != nullptr ? m_appMgr->getPhysicalClientId() : 0;
  return true;
}

bool QuarnSnapController::OnMsgVMCollectList(VMCollectList* message) {
  // Workers start when the first stream arrives (the set-up of a snapshot backup runs then); a list
  // that comes later must not take the target of the workers already running.
  if (m_streamsGranted.load() == 0) m_plannedWorkers = 0;
  if (!QuarnController::OnMsgVMCollectList(message)) return false;
  // The server each VM is reached through: what the set-up checks is one server for all of them.
  ZtCriticalSectionLock lock(&m_vmLock);
  for (auto& entry : m_vmMap) {
    vm_params& vm = entry.second;
    if (vm.snapServerName.empty()) vm.snapServerName = vm.collectText13.empty() ? vm.host : vm.collectText13;
  }
  return true;
}

bool QuarnSnapController::OnMsgVMBackupStream(VMBackupStream* message) {
  static const char* const sig = "virtual bool QuarnSnapController::OnMsgVMBackupStream(VirtualServer::VMBackupStream*)";
  if (m_jobMgr != nullptr && m_jobMgr->isSnapBackup()) {
    // One set-up per job: a second grant must not quiesce the guests and take the array snapshot
    // again. Grants are handled one at a time on the message thread.
    int state = m_setupState.load();
    if (state == kSetupNotRun) {
      state = InitSnapBackup() ? kSetupSucceeded : kSetupFailed;
      m_setupState = state;
    }
    if (state == kSetupFailed) {
      if (message == nullptr) return false;
      m_event.Debug(sig, "Returning stream id [%d] rcid [%d] ", static_cast<int>(message->getint64(VMBackupStream::F_streamId)),
                    static_cast<int>(message->getint64(VMBackupStream::F_rcid)));
      SendToCoordinator(*message);
      return false;
    }
  }
  return QuarnController::OnMsgVMBackupStream(message);
}

bool QuarnSnapController::OnMsgVMAgentQuit(VMAgentQuit* message) {
  // Before the agent's shutdown message: the job's outcome must know of a snapshot left mounted.
  if (!UnmountSnap()) ReportSnapshotLeftMounted();
  QuarnController::OnMsgVMAgentQuit(message);
  CleanupVMInfo();
  return true;
}

QuarnWorker* QuarnSnapController::CreateWorker(QuarnController* controller, int index) {
  return new (std::nothrow) QuarnSnapWorker(static_cast<QuarnSnapController*>(controller), index);
}

vm_params* QuarnSnapController::FindVM(const std::string& guid) { return m_vmMap.Find(guid); }

void QuarnSnapController::SendVMUpdate(vm_params& vm) {
  QuarnUtils::SendVMUpdateInfo(&vm, m_jobMgr, m_appMgr, false);
}

int64_t QuarnSnapController::GetAppSize() {
  ZtCriticalSectionLock lock(&m_appSizeLock);
  return m_appSize;
}
