// The VM-information library's callbacks into the worker, the VM's progress percentage and the
// forwarding of its job-manager status record.
#include <cmath>

#include "app/QuarnUtils.h"
#include "controller/QuarnController.h"
#include "worker/QuarnWorker.h"

namespace {

using U = JobManager::VMUpdateInfo;

constexpr int kUnexpectedReason = 9000;
constexpr int32_t kSnapshotOperationDone = 100;

}  // namespace

int QuarnWorker::CallbackStatic(int reason, void* context, void* data) {
  if (context == nullptr) return static_cast<int>(0xFFFFFFFFu);
  return static_cast<QuarnWorker*>(context)->Callback(reason, data);
}

int QuarnWorker::Callback(int reason, void* data) {
  static const char* const sig = "int QuarnWorker::Callback(int, void*)";
  switch (reason) {
    case 0:
      m_event.Error(sig, "Callback progress update is not supported");
      return 0;
    case 1:
      if (data != nullptr) *static_cast<bool*>(data) = CheckQuitFlag(nullptr);
      return 0;
    case 2:
      if (data != nullptr) *static_cast<bool*>(data) = m_jobMgr != nullptr && m_jobMgr->isJobCommitted();
      return 0;
    case 3:
      if (data != nullptr && m_controller != nullptr)
        m_controller->StartAndWaitForAppAwareWorkflow(*static_cast<std::string*>(data));
      return 0;
    case 4:
      if (data != nullptr) SaveCleanupString(*static_cast<std::string*>(data));
      return 0;
    case 5:
    case 6: {
      const auto* args = static_cast<const SCallbackSnapshotOperationArgs*>(data);
      if (args == nullptr || args->state != kSnapshotOperationDone || m_currentVM == nullptr) return 0;
      if (reason == 5) {
        m_currentVM->updateInfo.setint64(U::F_snapCreateDuration, static_cast<int32_t>(args->value1));
      } else {
        m_currentVM->updateInfo.setint64(U::F_snapDeleteDuration, static_cast<int32_t>(args->value1));
        m_currentVM->updateInfo.setint64(U::F_snapDeleteValue, args->value2);
      }
      return 0;
    }
    case 7:
      if (data != nullptr && m_controller != nullptr)
        m_controller->SendDeleteApplicationSnapReq(*static_cast<std::string*>(data), true);
      return 0;
    default:
      m_event.Error(sig, "Unexpected reason [%d] received", reason);
      return kUnexpectedReason;
  }
}

int QuarnWorker::ScalePercentProgress(int low, int high, uint64_t done, uint64_t total) {
  if (total == 0) return low;
  if (done >= total) return high;
  const double share = static_cast<double>(done) / static_cast<double>(total) * 100.0;
  const int step = 100 / (high - low);
  return low + static_cast<int>(std::trunc(share / step));
}

int QuarnWorker::getPercentageCompletion(QuarnVMProgressPhase phase, uint64_t done, uint64_t total) {
  switch (phase) {
    case VM_PROGRESS_NOT_STARTED: return 0;
    case VM_PROGRESS_STARTED:
      m_progressRegressionReported = false;
      return 1;
    case VM_PROGRESS_MOUNTED: return 20;
    case VM_PROGRESS_CONFIG_FILES: return ScalePercentProgress(20, 30, done, total);
    case VM_PROGRESS_DISKS: return ScalePercentProgress(30, 80, done, total);
    case VM_PROGRESS_GRANULAR_METADATA: return 90;
    case VM_PROGRESS_UNMOUNTED: return 99;
    case VM_PROGRESS_COMPLETE: return 100;
  }
  return 0;
}

void QuarnWorker::UpdateVMJobProgress(QuarnVMProgressPhase phase, uint64_t done, uint64_t total) {
  static const char* const sig = "void QuarnWorker::UpdateVMJobProgress(QuarnVMProgressPhase, u64, u64)";
  if (m_currentVM == nullptr || CheckQuitFlag(nullptr)) return;
  // A phase measured in bytes with nothing to measure says nothing about progress.
  if ((phase == VM_PROGRESS_CONFIG_FILES || phase == VM_PROGRESS_DISKS) && total == 0) return;
  const int current = static_cast<int>(m_currentVM->updateInfo.getint64(U::F_progressPercent));
  const int percent = getPercentageCompletion(phase, done, total);
  if (percent < current && phase != VM_PROGRESS_STARTED) {
    if (!m_progressRegressionReported)
      m_event.Error(sig, "Progress percentage [%d] is less than the current percentage [%d]", percent, current);
    m_progressRegressionReported = true;
    return;
  }
  if (percent == current) return;
  SetProgressPercent(percent);
  if (m_jobMgr != nullptr) m_jobMgr->setVMStatusProgressPercentage(m_currentVM->vmGuid, percent);
}

void QuarnWorker::SetProgressPercent(int percent) {
  if (m_controller != nullptr)
    m_controller->SetVMProgressPercent(m_currentVM, percent);
  else
    m_currentVM->updateInfo.setint64(U::F_progressPercent, percent);
}

void QuarnWorker::UpdateVMJobProgressForDisks(uint64_t bytes) {
  ZtCriticalSectionLock lock(&m_progressLock);
  m_diskBytesDone += bytes;
  UpdateVMJobProgress(VM_PROGRESS_DISKS, m_diskBytesDone, m_diskBytesTotal);
  SendVMUpdateInfo(false);
}

void QuarnWorker::TEST_SetDiskBytesTotal(uint64_t total) {
  ZtCriticalSectionLock lock(&m_progressLock);
  m_diskBytesTotal = total;
  m_diskBytesDone = 0;
}

void QuarnWorker::SendVMUpdateInfo(bool flag) { QuarnUtils::SendVMUpdateInfo(m_currentVM, m_jobMgr, m_appMgr, flag); }

void QuarnWorker::FillVMUpdateInfoForStartedVM(JobManager::VMUpdateInfo& info, const std::string& name,
                                               const std::string& guid, int clientId, long long childJobId) {
  QuarnUtils::FillVMUpdateInfoForStartedVM(info, m_jobMgr, m_appMgr, name, guid, clientId, childJobId);
}

void QuarnWorker::FillVMUpdateInfoForMountedVM(JobManager::VMUpdateInfo& info, MountCtx& ctx, int clientId,
                                               long long size) {
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, m_jobMgr, m_appMgr, m_vmInfo, ctx, clientId, size);
}

void QuarnWorker::FillVMUpdateInfoForCompletedVM(JobManager::VMUpdateInfo& info, bool failures, uint64_t backedUp,
                                                 uint64_t guestSize, bool guestSizeKnown, const std::string& failure,
                                                 const std::string& changeTrackingStatus, bool lvmFailed,
                                                 bool guestSizeFromLastJob) {
  QuarnUtils::FillVMUpdateInfoForCompletedVM(info, m_jobMgr, m_appMgr, failures, backedUp, guestSize, guestSizeKnown,
                                             failure, changeTrackingStatus, lvmFailed, guestSizeFromLastJob);
}

void QuarnWorker::FillVMUpdateInfoForFailedVM(JobManager::VMUpdateInfo& info, MountCtx& ctx, int clientId) {
  QuarnUtils::FillVMUpdateInfoForFailedVM(info, m_jobMgr, m_appMgr, m_vmInfo, ctx, clientId);
}

uint64_t QuarnWorker::GetVMAllocatedSize() {
  if (m_appMgr != nullptr && m_appMgr->isServerTypeOpenStack()) return 0;
  return m_config != nullptr ? m_config->getTotalSizeOnDisk() : 0;
}

void QuarnWorker::GetOriginalDatastoreName(std::string& name) {
  static const char* const sig = "void QuarnWorker::GetOriginalDatastoreName(std::string&)";
  const size_t marker = name.rfind("_JY_BACKUP_");
  if (marker == std::string::npos || marker == 0) return;
  name = name.substr(0, marker);
  m_event.Debug(sig, "Changed datastore name for Move to tape [%s]", name.c_str());
}
