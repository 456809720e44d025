// The local VM queue: hand-outs to workers, requests to the coordinator, completed VMs.
#include "controller/QuarnController.h"
#include "records/WinCompat.h"

namespace {

using namespace VirtualServer;

constexpr unsigned long kQueueWaitMs = 10000;

}  // namespace

bool QuarnController::GetNextVM(int workerIndex, vm_params*& vm, int& vmIndex) {
  static const char* const sig = "virtual bool QuarnController::GetNextVM(int, vm_params*&, int&)";
  vm = nullptr;
  vmIndex = -1;
  {
    ZtCriticalSectionLock lock(&m_getNextVMLock);
    m_getNextVMWatch.Start();
  }
  bool found = false;
  // The wait for the coordinator's answer holds neither the GetNextVM lock nor the VM lock: the
  // message thread needs them to deliver that answer and to handle stop requests meanwhile.
  while (!m_fatalVMError.load() && !m_streamError.load() && !m_closing.load()) {
    uint64_t answersSeen = 0;
    bool sendRequest = false;
    {
      ZtCriticalSectionLock handOutLock(&m_getNextVMLock);
      ZtCriticalSectionLock lock(&m_vmLock);
      if (PopQueuedVM(vm, vmIndex)) {
        found = true;
        break;
      }
      if (!m_requestOutstanding) {
        if (m_waitingWorkers == 0 && m_vmQueueEvent.wait(0) != 0)
          m_event.Debug(sig, "VM Queue event is already signaled, resetting");
        m_workerWaiting = true;
        m_requestOutstanding = true;
        sendRequest = true;
      }
      answersSeen = m_answers;
      ++m_waitingWorkers;
    }
    if (sendRequest && !SendGetNextVM()) {
      ZtCriticalSectionLock lock(&m_vmLock);
      m_requestOutstanding = false;
      --m_waitingWorkers;
      break;
    }

    bool emptyAnswer = false;
    bool answered = false;
    while (!CheckQuitFlag() && !m_closing.load()) {
      {
        ZtCriticalSectionLock lock(&m_vmLock);
        answered = m_answers != answersSeen || !m_vmQueue.empty();
        emptyAnswer = m_lastEmptyAnswer > answersSeen;
      }
      if (answered) break;
      m_vmQueueEvent.wait(kQueueWaitMs);
    }
    {
      ZtCriticalSectionLock lock(&m_vmLock);
      // Several workers may wait on one request; the event releases one wait, so pass it on.
      if (--m_waitingWorkers > 0) m_vmQueueEvent.set();
    }
    if (!answered) break;  // quitting
    {
      ZtCriticalSectionLock handOutLock(&m_getNextVMLock);
      ZtCriticalSectionLock lock(&m_vmLock);
      if (PopQueuedVM(vm, vmIndex)) {
        found = true;
        break;
      }
    }
    if (emptyAnswer) {
      m_event.Debug(sig, "VM Queue is empty");
      break;
    }
    // The VMs of the answer went to other workers: ask again.
  }
  {
    ZtCriticalSectionLock lock(&m_getNextVMLock);
    m_getNextVMWatch.Stop();
  }
  (void)workerIndex;
  return found;
}

bool QuarnController::PopQueuedVM(vm_params*& vm, int& vmIndex) {
  static const char* const sig = "virtual bool QuarnController::GetNextVM(int, vm_params*&, int&)";
  while (!m_vmQueue.empty()) {
    const std::string guid = m_vmQueue.front();
    m_vmQueue.pop_front();
    vm_params* record = m_vmMap.Find(guid);
    if (record == nullptr) continue;
    vm = record;
    vmIndex = m_nextVMIndex++;
    record->vmPhase = PHASE_STARTED;
    m_event.Debug(sig, "Returning VM [%s]", record->vmName.c_str());
    return true;
  }
  return false;
}

bool QuarnController::SendGetNextVM() {
  static const char* const sig = "bool QuarnController::SendGetNextVM()";
  m_event.Debug(sig, "Requesting Next VM from coordinator");
  VMBackupGetNextVM request;
  auto* status = request.getObject<VMAgentStatus>(VMBackupGetNextVM::F_currentStatus, true);
  if (status != nullptr) FillAgentStatus(*status);
  return SendToCoordinator(request);
}

bool QuarnController::CompleteVM(vm_params*& vm, int& result) {
  static const char* const sig = "virtual bool QuarnController::CompleteVM(vm_params*&, int&)";
  ZtCriticalSectionLock lock(&m_vmLock);
  vm_params* record = vm;
  vm = nullptr;
  result = -1;
  ++m_completedVMs;
  if (record == nullptr) return false;

  if (record->fatalError) {
    m_event.Error(sig, "Detected a fatal error processing VM [%s]", record->vmName.c_str());
    m_fatalVMError = true;
  }
  if (record->vmPhase == PHASE_NOT_STARTED || record->vmPhase == PHASE_STARTED) {
    // Not an error of the hand-back: a job-wide stop puts the VM back to NOT_STARTED. Nothing is
    // reported, and the worker goes on to its next look at the queue and the quit flag.
    m_event.Error(sig, "Incomplete vm phase [%d-%s] returned by worker", static_cast<int>(record->vmPhase),
                  GetVMPhaseString(record->vmPhase));
    return true;
  }
  const bool stubPhase = m_jobMgr != nullptr && m_jobMgr->isVMStubPhase();
  if (record->statusCode == 1 && !stubPhase && !record->metadataFiles.empty()) {
    if (!SendVMMetadataFiles(record->vmGuid, record->metadataFiles, record->collect.getint64(VMCollect::F_vmJobId),
                             record->collect.getstring(VMCollect::F_subclientGuid))) {
      record->vmPhase = PHASE_PENDING;
      m_fatalVMError = true;
      return true;
    }
  }
  DeleteVMMetadataFiles(record->vmGuid, record->metadataFiles);

  VMBackupResult message;
  message.setstring(VMBackupResult::F_vmGuid, record->vmGuid);
  message.setstring(VMBackupResult::F_vmName, record->vmName);
  message.setstring(VMBackupResult::F_vmHost, record->host);
  message.setstring(VMBackupResult::F_serverName, record->collectText13);
  message.setint64(VMBackupResult::F_vmPhase, record->vmPhase);
  message.setint64(VMBackupResult::F_statusCode, record->statusCode);
  message.setstring(VMBackupResult::F_failureReason, record->failureReason);
  message.setint64(VMBackupResult::F_fatalError, record->fatalError ? 1 : 0);
  message.setint64(VMBackupResult::F_errorCount, record->errorCount);
  message.setliststring(VMBackupResult::F_messages, record->messages);
  CNMessageList& contents = message.getlistobject(VMBackupResult::F_contentRecords, true);
  for (const VMContentRecord& content : record->contentRecords) contents.emplace_back(content);
  message.setint64(VMBackupResult::F_archivingStatus, record->archivingStatus);
  return SendToCoordinator(message);
}

bool QuarnController::GetBasicVMList(std::vector<SVMBasicInfo>* list) {
  if (list == nullptr) return false;
  ZtCriticalSectionLock lock(&m_vmLock);
  for (const auto& entry : m_vmMap) {
    SVMBasicInfo info;
    entry.second.GetVMBasicInfo(info);
    list->push_back(info);
  }
  return true;
}

void QuarnController::SetVMProgressPercent(vm_params* vm, int percent) {
  if (vm == nullptr) return;
  vm->updateInfo.setint64(JobManager::VMUpdateInfo::F_progressPercent, percent);
  ZtCriticalSectionLock lock(&m_vmLock);
  vm->progressPercent = percent;
}

size_t QuarnController::GetQueuedVMCount() {
  ZtCriticalSectionLock lock(&m_vmLock);
  return m_vmQueue.size();
}
