// A VM's completion: its result code becomes its phase, stub state, status and job-manager record;
// and the VM's clean-up string and datastores while it is mounted.
#include <ctime>
#include <set>

#include "app/QuarnUtils.h"
#include "controller/QuarnController.h"
#include "platform/cleanup/VSCleanupClient.h"
#include "platform/os/ZtTime.h"
#include "records/EventMessageXml.h"
#include "records/VMArchivingStructs.h"
#include "worker/QuarnWorker.h"

namespace {

using U = JobManager::VMUpdateInfo;

constexpr int kResultInterrupted = 11;
constexpr int kResultArchiveIndexFailed = 132;

// 1234567 -> "1,234,567".
std::string IntToCommaString(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

int StatusOfPhase(phase value) {
  switch (value) {
    case PHASE_DONE: return 1;
    case PHASE_FAILED: return 2;
    case PHASE_STOPPED: return 3;
    case PHASE_SKIPPED: return 4;
    default: return 0;
  }
}

// What the administrator is told of a VM whose backup ended on the result when the failing step
// gave no reason of its own: a VM that is not backed up always says why.
std::string DefaultFailureReason(int result) {
  switch (result) {
    case 17: return "Failed to connect to the hypervisor server";
    case 27: return "No media stream was available for the backup of the VM";
    case 29:
    case 31: return "Failed to send the backup of the VM to the media agent";
    case 53: return "Failed to open a virtual disk of the VM";
    case 54: return "Failed to read a virtual disk of the VM";
    case 110: return "Failed to close the archive file of the VM on the media agent";
    case 131: return "Failed to create the archive file of the VM on the media agent";
    case 133: return "Failed to record the volume header of a virtual disk of the VM";
    default: return "The backup of the VM failed with error [" + std::to_string(result) + "]";
  }
}

}  // namespace

void QuarnWorker::HandleVMComplete_Status(int result) {
  static const char* const sig = "virtual void QuarnWorker::HandleVMComplete_Status(int)";
  vm_params* vm = m_currentVM;
  if (vm == nullptr) return;
  const char* name = vm->vmName.c_str();
  vm->archivingStatus = VMInfoStructs::STUB_STATE_NOT_TO_BE_STUBBED;
  switch (result) {
    case 0:
      m_event.Debug(sig, "Successfully backed up VM [%s]   [%s] Bytes @ [%f] MB/Sec", name,
                    IntToCommaString(m_speedCounter.Size()).c_str(), m_speedCounter.BytesPerSecond() / (1024.0 * 1024.0));
      vm->vmPhase = PHASE_DONE;
      break;
    case kResultInterrupted: {
      const long long jobId = CurrentChildJobId();
      if (m_controller == nullptr || !m_controller->CheckQuitFlagForVM(jobId, vm->vmGuid)) {
        // The whole job stopped, not this VM: it is backed up by the job's next attempt.
        vm->vmPhase = PHASE_NOT_STARTED;
        m_event.Debug(sig, "Master Job Interruption Flag for VM [%s]", name);
        break;
      }
      if (m_controller->GetQuitFlagReasonForVM(vm->vmGuid, vm->failureReason)) {
        vm->failureEvent.SetMessageID(QuarnUtils::kEventVMNotBackedUpWithReason, true);
        vm->failureEvent << vm->vmName << vm->failureReason;
        if (m_jobMgr != nullptr)
          m_jobMgr->setPendingCauseAndEvent(vm->failureEvent, QuarnUtils::kVMNotBackedUpSeverity);
        vm->vmPhase = PHASE_PENDING;
      } else {
        vm->vmPhase = PHASE_STOPPED;
      }
      m_event.Debug(sig, "VM Job [%lld] Interruption Flag for VM [%s] - [%s]", jobId, name, vm->failureReason.c_str());
      break;
    }
    case 17: case 21: case 27: case 28: case 29: case 31: case 32: case 53: case 54:
    case 110: case 123: case 131: case 132: case 133: case 140: case 147:
      m_event.Error(sig, "Error while backing up VM [%s], backup will be retried on the next attempt", name);
      vm->vmPhase = PHASE_PENDING;
      break;
    case 95: case 129: case 130: case 139: case 146:
      m_event.Error(sig, "Error backing up VM [%s], failing the VM for this job", name);
      vm->vmPhase = PHASE_FAILED;
      break;
    case 96:
      m_event.Error(sig, "Fatal Error while backing up VM [%s], backup will be retried on the next attempt", name);
      vm->vmPhase = PHASE_PENDING;
      vm->fatalError = true;
      break;
    case 100:
      m_event.Error(sig, "Failed to backup VM [%s]. This VM is already archived in another subclient.", name);
      vm->vmPhase = PHASE_FAILED;
      vm->archivingStatus = VMInfoStructs::STUB_STATE_ALREADY_STUBBED;
      break;
    case 101:
      m_event.Debug(sig, "Successfully backed up VM [%s]. Already stubbed.", name);
      vm->vmPhase = PHASE_DONE;
      vm->archivingStatus = VMInfoStructs::STUB_STATE_ALREADY_STUBBED;
      break;
    case 102:
      m_event.Debug(sig, "Successfully stubbed VM [%s]=[%s]", name, vm->vmGuid.c_str());
      vm->vmPhase = PHASE_DONE;
      vm->archivingStatus = VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED;
      break;
    case 103:
      m_event.Debug(sig, "Successfully backed up VM [%s]. To be stubbed.", name);
      vm->vmPhase = PHASE_DONE;
      vm->archivingStatus = VMInfoStructs::STUB_STATE_TO_BE_STUBBED;
      break;
    case 113:
      m_event.Error(sig, "Skipped stubbing of VM [%s]", name);
      vm->vmPhase = PHASE_FAILED;
      break;
    case 115:
      m_event.Error(sig, "Job last attempt for VM[%s]", name);
      vm->vmPhase = PHASE_FAILED;
      break;
    case 118:
      m_event.Debug(sig, "Successfully backed up VM [%s]. Retry stubbing.", name);
      vm->vmPhase = PHASE_DONE;
      vm->archivingStatus = VMInfoStructs::STUB_STATE_IN_PROGRESS;
      break;
    case 119:
      m_event.Debug(sig, "VM [%s]=[%s] is already relocated.", name, vm->vmGuid.c_str());
      vm->vmPhase = PHASE_DONE;
      vm->archivingStatus = VMInfoStructs::STUB_STATE_ALREADY_RELOCATED;
      break;
    case 120:
      m_event.Debug(sig, "Successfully relocated VM [%s]=[%s]", name, vm->vmGuid.c_str());
      vm->vmPhase = PHASE_DONE;
      vm->archivingStatus = VMInfoStructs::STUB_STATE_SUCCESSFULLY_RELOCATED;
      break;
    case 137:
      m_event.Error(sig, "Invalid extent size value detected for at least one of the disks in VM [%s]", name);
      vm->vmPhase = PHASE_PENDING;
      break;
    case 138:
      m_event.Error(sig, "Backup will be retried for VM: [%s]", name);
      vm->vmPhase = PHASE_PENDING;
      break;
    case 148:
      m_event.Error(sig, "Skipping VM [%s], backup is not supported", name);
      vm->vmPhase = PHASE_SKIPPED;
      break;
    default:
      m_event.Error(sig, "Unknown Error (%d) backing up VM [%s], backup will be retired on the next attempt", result,
                    name);
      vm->vmPhase = PHASE_PENDING;
      break;
  }
}

void QuarnWorker::HandleVMComplete(int result) {
  static const char* const sig = "void QuarnWorker::HandleVMComplete(int)";
  vm_params* vm = m_currentVM;
  if (vm == nullptr) return;
  HandleVMComplete_Status(result);
  if (m_jobMgr != nullptr && m_jobMgr->isLastAttempt() && vm->vmPhase == PHASE_PENDING) vm->vmPhase = PHASE_FAILED;
  if (result != 0 && vm->failureReason.empty() &&
      (vm->vmPhase == PHASE_PENDING || vm->vmPhase == PHASE_FAILED || vm->vmPhase == PHASE_SKIPPED))
    vm->failureReason = DefaultFailureReason(result);
  vm->statusCode = StatusOfPhase(vm->vmPhase);

  const bool stubPhase = m_jobMgr != nullptr && m_jobMgr->isVMStubPhase();
  switch (vm->vmPhase) {
    case PHASE_DONE:
    case PHASE_DONE_WITH_ERRORS:
      if (m_jobMgr != nullptr && m_appMgr != nullptr && m_jobMgr->isSnapBackup() && m_appMgr->isUseIndexingV2Enabled()) {
        vm->updateInfo.setint64(U::F_vmStatus, 2);
        vm->updateInfo.setint64(U::F_progressPercent, 90);
      } else {
        vm->updateInfo.setint64(U::F_progressPercent, 100);
      }
      SendVMUpdateInfo(true);
      break;
    case PHASE_STOPPED:
      vm->updateInfo.setint64(U::F_vmStatus, 6);
      SendVMUpdateInfo(true);
      break;
    case PHASE_FAILED:
    case PHASE_PENDING:
    case PHASE_SKIPPED: {
      if (stubPhase) break;
      if (vm->vmPhase == PHASE_PENDING) {
        vm->updateInfo.setint64(U::F_vmStatus, result == kResultArchiveIndexFailed ? 7 : 4);
      } else {
        vm->updateInfo.setint64(U::F_vmStatus, 1);
        vm->updateInfo.setint64(U::F_endTime, static_cast<int64_t>(ZtClock::NowSeconds()));
        vm->updateInfo.setint64(U::F_progressPercent, 100);
      }
      vm->updateInfo.setstring(U::F_failureText, QuarnUtils::TruncateStatusText(vm->failureReason));
      if (vm->failureEvent.GetMessageID() != 0) {
        auto* event = vm->updateInfo.getObject<Common::EventMessage>(U::F_statusEvent, true);
        if (event != nullptr) setEvMessageContainerToXML(vm->failureEvent, *event);
      }
      SendVMUpdateInfo(true);
      break;
    }
    default:
      break;
  }

  if (m_jobMgr != nullptr && m_jobMgr->isFailbackBackup() && vm->statusCode == 1 && m_replicationInfo != nullptr) {
    m_event.Debug(sig, "Set tracking Id's as invalid in VSAReplicationInfo table");
    CNMessageList& tracking = m_replicationInfo->getlistobject(App::VSAReplicationInfo::F_trackingIds, false);
    for (CNMessagePtr& record : tracking) {
      if (record && record->getTagID() == App::VSAReplicationTrakingIdInfo::TAG)
        record->setint64(App::VSAReplicationTrakingIdInfo::F_trackingIdValid, 0);
    }
    if (m_appMgr != nullptr) m_appMgr->setVSAReplicationInfo(*m_replicationInfo);
  }
}

void QuarnWorker::SaveCleanupString(const std::string& mountCleanupText) {
  static const char* const sig = "void QuarnWorker::SaveCleanupString(const std::string&)";
  if (m_currentVM == nullptr || m_jobMgr == nullptr || m_appMgr == nullptr) return;
  if (m_mountCtx != nullptr && m_mountCtx->isSnapToTape) return;
  const std::string text = vscleanup::GenerateVSCleanupString(m_jobMgr->getJobId(), m_appMgr->getAppIdStr(),
                                                              m_currentVM->host, m_currentVM->vmName,
                                                              m_currentVM->vmGuid, mountCleanupText);
  if (!m_cleanupString.empty()) {
    if (m_cleanupString == text) return;
    m_event.Debug(sig, "Cleanup string changed from [%s] to [%s]", m_cleanupString.c_str(), text.c_str());
    RemoveCleanupString();
  }
  m_cleanupString = text;
  m_previousCleanupString = mountCleanupText;
  if (!m_registry.CheckEntry(REG_bDisableJMCleanupString, false)) {
    m_event.Debug(sig, "Saving Cleanup string [%s] with JobManager", m_cleanupString.c_str());
    m_jobMgr->AddCleanupString(m_cleanupString);
  }
  if ((m_mountCtx == nullptr || m_mountCtx->failback != 1) && m_controller != nullptr)
    m_controller->RegisterVMForCleanup(m_currentVM->host, m_currentVM->vmName, m_currentVM->vmGuid,
                                       m_previousCleanupString);
}

void QuarnWorker::RemoveCleanupString() {
  static const char* const sig = "void QuarnWorker::RemoveCleanupString()";
  if (m_currentVM == nullptr || m_jobMgr == nullptr) return;
  if (!m_registry.CheckEntry(REG_bDisableJMCleanupString, false)) {
    m_event.Debug(sig, "Removing Cleanup string [%s] from JobManager", m_cleanupString.c_str());
    m_jobMgr->RemoveCleanupString(m_cleanupString);
  }
  if ((m_mountCtx == nullptr || m_mountCtx->failback != 1) && m_controller != nullptr)
    m_controller->UnregisterVMFromCleanup(m_currentVM->host, m_currentVM->vmName, m_currentVM->vmGuid,
                                          m_previousCleanupString);
}

void QuarnWorker::RegisterDatastores() {
  if (m_currentVM == nullptr || m_mountCtx == nullptr || m_controller == nullptr) return;
  if (m_mountCtx->isSnapToTape) return;
  std::set<std::string> datastores;
  datastores.insert(m_mountCtx->vmInfo.datastore);
  for (const VMInfoStructs::SDisk& disk : m_mountCtx->vmInfo.disks) datastores.insert(disk.datastore);
  for (const std::string& datastore : datastores) {
    if (!datastore.empty())
      m_controller->RegisterDatastore(m_currentVM->vmName, m_currentVM->vmGuid, m_mountCtx->vmInfo.host, datastore);
  }
}

void QuarnWorker::UnregisterDatastores() {
  if (m_currentVM == nullptr || m_controller == nullptr) return;
  m_controller->UnregisterDatastores(m_currentVM->vmName, m_currentVM->vmGuid);
}
