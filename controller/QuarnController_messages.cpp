// The agent's side of the coordinator's messages.
#include <cstdlib>

#include "app/QuarnUtils.h"
#include "controller/QuarnController.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/WinCompat.h"

namespace {

using namespace VirtualServer;

// A stream error is forgiven for a new grant only when it is older than this.
constexpr long long kStreamErrorResetSeconds = 60;

}  // namespace

void QuarnController::OnMsgReceived(const CNMessageBase& message) {
  static const char* const sig = "virtual void QuarnController::OnMsgReceived(const CNMessageBase&)";
  m_event.Debug(sig, "Message [%s] received from Server", message.getTagName().c_str());
  // The framework hands each message in as its generated class; the casts below rely on that.
  CNMessageBase& typed = const_cast<CNMessageBase&>(message);
  bool ok = true;
  switch (message.getTagID()) {
    case VMAgentInit::TAG: ok = OnMsgVMAgentInit(static_cast<VMAgentInit*>(&typed)); break;
    case VMAgentStatus::TAG: ok = OnMsgVMAgentStatus(static_cast<VMAgentStatus*>(&typed)); break;
    case VMCollectList::TAG: ok = OnMsgVMCollectList(static_cast<VMCollectList*>(&typed)); break;
    case VMBackupStream::TAG: ok = OnMsgVMBackupStream(static_cast<VMBackupStream*>(&typed)); break;
    case VMBackupStopVM::TAG: ok = OnMsgVMBackupStopVM(static_cast<VMBackupStopVM*>(&typed)); break;
    case VMAgentQuit::TAG: ok = OnMsgVMAgentQuit(static_cast<VMAgentQuit*>(&typed)); break;
    case VMSharedShadow::TAG: ok = OnMsgVMSharedShadow(static_cast<VMSharedShadow*>(&typed)); break;
    case VMSnapBackup::TAG: ok = OnMsgSnapBackupMetadata(static_cast<VMSnapBackup*>(&typed)); break;
    case MountSnapInfo::TAG: ok = OnMsgMountSnapInfo(static_cast<MountSnapInfo*>(&typed)); break;
    default: break;
  }
  if (!ok) SetQuitFlag();
  m_wakeEvent.set();
}

bool QuarnController::OnMsgVMAgentInit(VMAgentInit* message) {
  static const char* const sig = "virtual bool QuarnController::OnMsgVMAgentInit(VirtualServer::VMAgentInit*)";
  if (!message->isSet(VMAgentInit::F_masterIndexFileId)) return true;
  m_masterIndexFileId = static_cast<uint32_t>(message->getint64(VMAgentInit::F_masterIndexFileId));
  m_event.Debug(sig, "Received master index archive file Id [%u]", m_masterIndexFileId.load());
  m_masterIndexFileTime = static_cast<uint64_t>(message->getint64(VMAgentInit::F_masterIndexFileTime));
  m_event.Debug(sig, "Received master index archive file Creation time [%lu]",
                static_cast<unsigned long>(m_masterIndexFileTime.load()));
  return true;
}

bool QuarnController::OnMsgVMAgentStatus(VMAgentStatus*) {
  SendAgentStatus();
  return true;
}

bool QuarnController::OnMsgVMCollectList(VMCollectList* message) {
  static const char* const sig = "virtual bool QuarnController::OnMsgVMCollectList(VirtualServer::VMCollectList*)";
  ZtCriticalSectionLock lock(&m_vmLock);
  const CNMessageList& vms = message->getlistobject(VMCollectList::F_vms, false);
  m_event.Debug(sig, "Received [%d] VMs", static_cast<int>(vms.size()));
  for (const CNMessagePtr& entry : vms) {
    if (entry && entry->getTagID() == VMCollect::TAG) QueueCollectedVM(static_cast<const VMCollect&>(*entry));
  }
  // Every list answers the one outstanding request; an empty one tells the waiting worker to end.
  ++m_answers;
  if (vms.empty()) m_lastEmptyAnswer = m_answers;
  m_requestOutstanding = false;
  if (m_workerWaiting.load()) m_vmQueueEvent.set();
  return true;
}

void QuarnController::QueueCollectedVM(const VMCollect& collect) {
  static const char* const sig = "virtual bool QuarnController::OnMsgVMCollectList(VirtualServer::VMCollectList*)";
  vm_params vm;
  vm.vmName = collect.getstring(VMCollect::F_vmName);
  vm.vmGuid = collect.getstring(VMCollect::F_vmGuid);
  vm.host = collect.getstring(VMCollect::F_vmHost);
  vm.collectText13 = collect.getstring(VMCollect::F_serverName);
  vm.datastore = collect.getstring(VMCollect::F_datastore);
  vm.collect = collect;
  vm.archivingStatus = static_cast<int32_t>(collect.getint64(VMCollect::F_archivingStatus));
  vm.indexingMetadata.vmGuid = vm.vmGuid;
  vm.indexingMetadata.vmName = vm.vmName;
  vm.indexingMetadata.host = vm.host;
  vm.indexingMetadata.stubData = collect.getstring(VMCollect::F_indexStubData);
  vm.indexingMetadata.datastore = collect.getstring(VMCollect::F_indexDatastore);
  vm.indexingMetadata.resourcePool = collect.getstring(VMCollect::F_indexResourcePool);
  vm.indexingMetadata.deleteTimestampText = collect.getstring(VMCollect::F_indexDeleteTime);
  using U = JobManager::VMUpdateInfo;
  vm.updateInfo.setstring(U::F_vmName, vm.vmName);
  vm.updateInfo.setstring(U::F_recordGuid, vm.vmGuid);
  vm.updateInfo.setstring(U::F_hostName, vm.host);
  vm.updateInfo.setint64(U::F_clientId, collect.getint64(VMCollect::F_vmClientId));
  vm.updateInfo.setint64(U::F_vmStatus, 4);
  // A VM handed over to be stubbed keeps that stub status with the job manager until its stub says how
  // it went: a stub phase cut off is then resumed by the phase's next attempt.
  if (m_jobMgr != nullptr && m_jobMgr->isVMStubPhase() && vm.archivingStatus == VMInfoStructs::STUB_STATE_TO_BE_STUBBED)
    vm.updateInfo.setint64(U::F_stubStatus, JobManager::kStubStatusToBeArchived);
  // What the job's stub phase did to the VM stays with the job manager while a later attempt of the
  // backup phase has the VM, until its archiving is decided again: it tells that attempt (and one after
  // it, should it be cut off first) that a backup of the job stands on which a stub deleted disks.
  U found;
  if (m_jobMgr != nullptr && !m_jobMgr->isVMStubPhase() && vsJobMgr::ReadVMStatus(m_jobMgr->getJobId(), vm.vmGuid, found) &&
      found.getint64(U::F_stubStatus) != 0)
    vm.updateInfo.setint64(U::F_stubStatus, found.getint64(U::F_stubStatus));
  m_event.Debug(sig, "Received VM [%s]", vm.vmName.c_str());

  if (vm.vmGuid.empty()) {
    m_event.Error(sig, "VM [%s] has no GUID; it cannot be backed up", vm.vmName.c_str());
    return;
  }
  const vm_params* known = m_vmMap.Find(vm.vmGuid);
  if (known != nullptr && known->vmPhase == PHASE_STARTED) {
    // A worker holds this record: replacing it would change it under the worker's feet, and queueing
    // the VM again would back it up twice at once.
    m_event.Error(sig, "VM [%s] is being processed by a worker; the repeated VM is ignored", vm.vmName.c_str());
    return;
  }
  const bool queued = known != nullptr && known->vmPhase == PHASE_NOT_STARTED;
  m_vmMap.Add(vm);
  if (!queued) m_vmQueue.push_back(vm.vmGuid);
}

bool QuarnController::OnMsgVMBackupStream(VMBackupStream* message) {
  static const char* const sig = "virtual bool QuarnController::OnMsgVMBackupStream(VirtualServer::VMBackupStream*)";
  ZtCriticalSectionLock streamLock(&m_streamMsgLock);
  const int count = static_cast<int>(message->getint64(VMBackupStream::F_streamCount));
  const int granted = (m_streamsGranted += count);
  int open = 0;
  {
    ZtCriticalSectionLock lock(&m_streamPoolLock);
    open = m_openStreams;
  }
  if (count == 1) {
    // One grant is one stream whatever its id: a stream id of 0 is a stream all the same, and dropping
    // its grant would leave it counted but never opened or returned.
    {
      ZtCriticalSectionLock lock(&m_unopenedLock);
      m_unopenedGrants.push_back(*message);
    }
    m_event.Debug(sig, "Received stream ID [%d] RCID [%d], [%d] available, [%d] open",
                  static_cast<int>(message->getint64(VMBackupStream::F_streamId)),
                  static_cast<int>(message->getint64(VMBackupStream::F_rcid)), granted, open);
  } else {
    m_event.Debug(sig, "Received [%d] streams, [%d] available, [%d] open", count, granted, open);
  }

  RaisePlannedWorkers(granted);

  if (m_jobMgr != nullptr && m_appMgr != nullptr && m_jobMgr->isSnapBackup() &&
      QuarnUtils::IsMultiworkerSnapBackupSupported(static_cast<VirtualServerInstanceType>(m_appMgr->getInstanceType()),
                                                   m_appMgr->isUseIndexingV2Enabled())) {
    int workers = QuarnUtils::GetSnapBackupWorkerCount(
        static_cast<VirtualServerInstanceType>(m_appMgr->getInstanceType()), &m_registry);
    {
      ZtCriticalSectionLock lock(&m_vmLock);
      if (workers > static_cast<int>(m_vmMap.size())) workers = static_cast<int>(m_vmMap.size());
    }
    m_plannedWorkers = workers;
    m_event.Debug(sig, "Maximum planned worker count: [%d]", workers);
  }

  if (m_streamError.load()) {
    int maxResets = 0;
    m_registry.GetEntry(REG_nMaxStreamErrorResets, maxResets, 0);
    const long long elapsed = static_cast<long long>(ZtClock::NowSeconds()) - m_streamErrorTime.load();
    if ((maxResets == 0 || m_streamErrorResets < maxResets) && elapsed > kStreamErrorResetSeconds) {
      m_event.Debug(sig,
                    "Resetting the stream error because a new stream has been received and it has been %lu seconds "
                    "since the error was detected",
                    static_cast<unsigned long>(elapsed));
      m_streamError = false;
      ++m_streamErrorResets;
      m_streamErrorTime = 0;
      m_restartWorkers = true;
    }
  }

  const int extra = ExtraWorkersTarget(granted);
  if (extra != 0) {
    m_plannedWorkers = extra;
    m_event.Debug(sig, "Using %d workers for %d streams", extra, granted);
  }
  return true;
}

void QuarnController::RaisePlannedWorkers(int target) {
  int planned = m_plannedWorkers.load();
  while (planned < target && !m_plannedWorkers.compare_exchange_weak(planned, target)) {
  }
}

int QuarnController::ExtraWorkersTarget(int streams) {
  ZTPlatformInfo platform;
  unsigned int number = 0;
  char mode = '+';
  int n = 0;
  if (platform.getNumber("VirtualServer", "ExtraWorkers", &number) != 0) {
    n = static_cast<int>(number);
  } else {
    std::string text;
    if (platform.getString("VirtualServer", "ExtraWorkers", &text) == 0 || text.empty()) return 0;
    if (text[0] == '*' || text[0] == '/') {
      mode = text[0];
      text.erase(0, 1);
    }
    n = std::atoi(text.c_str());
  }
  if (n == 0) return 0;
  if (mode == '*') return streams * n;
  if (mode == '/') return streams + streams / n;
  return streams + n;
}

bool QuarnController::OnMsgVMBackupStopVM(VMBackupStopVM* message) {
  static const char* const sig = "virtual bool QuarnController::OnMsgVMBackupStopVM(VirtualServer::VMBackupStopVM*)";
  const std::string name = message->getstring(VMBackupStopVM::F_vmName);
  const std::string guid = message->getstring(VMBackupStopVM::F_vmGuid);
  const long long jobId = message->getint64(VMBackupStopVM::F_vmJobId);
  m_event.Debug(sig, "Received a stop request for VM [%s][%s] JobID [%lld]", name.c_str(), guid.c_str(), jobId);

  ZtCriticalSectionLock handOutLock(&m_getNextVMLock);
  ZtCriticalSectionLock lock(&m_vmLock);
  vm_params* vm = m_vmMap.Find(guid);
  if (vm == nullptr) {
    m_event.Error(sig, "VM [%s][%s] is not known to this agent; the stop request is ignored", name.c_str(),
                  guid.c_str());
    return true;
  }
  switch (vm->vmPhase) {
    case PHASE_NOT_STARTED: {
      m_event.Debug(sig, "VM [%s] is waiting to be processed and will be removed from the queue", name.c_str());
      vm->vmPhase = PHASE_STOPPED;
      vm->statusCode = 3;
      for (auto it = m_vmQueue.begin(); it != m_vmQueue.end(); ++it) {
        if (_stricmp(it->c_str(), vm->vmGuid.c_str()) == 0) {
          m_vmQueue.erase(it);
          break;
        }
      }
      using U = JobManager::VMUpdateInfo;
      vm->updateInfo.setint64(U::F_clientId, message->getint64(VMBackupStopVM::F_vmClientId));
      vm->updateInfo.setint64(U::F_vmStatus, 6);
      if (m_jobMgr != nullptr) {
        m_jobMgr->setVMStatus(vm->vmGuid, vm->updateInfo);
        m_jobMgr->updateVMBkpJobStatus(m_appMgr != nullptr ? m_appMgr->getKeyrealmId() : 0, true);
      }
      vm_params* record = vm;
      int result = 0;
      CompleteVM(record, result);
      break;
    }
    case PHASE_STARTED: {
      m_event.Debug(sig,
                    "VM [%s] is currently being processed by a worker, waiting for the worker to acknowledge the stop "
                    "request",
                    name.c_str());
      ZtCriticalSectionLock quitLock(&m_quitLock);
      m_stoppedJobIds.insert(jobId);
      break;
    }
    default:
      m_event.Error(sig, "Unexpected vm phase [%d] for VM [%s][%s] JobID [%lld]", static_cast<int>(vm->vmPhase),
                    name.c_str(), guid.c_str(), jobId);
      break;
  }
  return true;
}

bool QuarnController::OnMsgVMAgentQuit(VMAgentQuit* message) {
  static const char* const sig = "virtual bool QuarnController::OnMsgVMAgentQuit(VirtualServer::VMAgentQuit*)";
  if (message->isSet(VMAgentQuit::F_commit) && message->getint64(VMAgentQuit::F_commit) != 0) {
    m_event.Debug(sig, "Received Quit (Commit) message from coordinator");
    if (m_jobMgr != nullptr) m_jobMgr->setCommitFlag();
  } else {
    m_event.Debug(sig, "Received Quit message from coordinator");
  }
  SetQuitFlag();
  StopControllerThread();
  OuputDatastoreMedaiSpeedCounters();
  ZtCriticalSectionLock lock(&m_getNextVMLock);
  m_event.Debug(sig, "Time spent in [%s]: [%.3f] seconds", m_getNextVMWatch.Name().c_str(),
                m_getNextVMWatch.Elapsed().AsSeconds());
  m_getNextVMWatch.Reset();
  return true;
}

bool QuarnController::OnMsgVMSharedShadow(VMSharedShadow* message) {
  static const char* const sig = "virtual bool QuarnController::OnMsgVMSharedShadow(VirtualServer::VMSharedShadow*)";
  MountCtx ctx;
  QuarnUtils::InitMountCtx(m_jobMgr, m_appMgr, &m_subclientFiles, &m_registry, &ctx);
  ctx.sharedShadowText1 = message->getstring(VMSharedShadow::F_sharedShadowText1);
  ctx.sharedShadowText2 = message->getstring(VMSharedShadow::F_sharedShadowText2);
  auto_lock lock;
  IVMInfo* vmInfo = GetVMInfoPtr(lock);
  if (vmInfo == nullptr) return false;
  if (vmInfo->AttachSharedShadow(ctx) == 0) {
    m_event << "Unable to attach to the shared shadow, host will create it's own shadow to backup the clustered "
               "virtual machines.";
    m_event.MajorEvent(0x4800006A);
    m_event.Error(sig, "Failed to attach to shared shadow");
  }
  return true;
}

bool QuarnController::OnMsgSnapBackupMetadata(VMSnapBackup*) { return true; }

bool QuarnController::OnMsgMountSnapInfo(MountSnapInfo*) { return true; }
