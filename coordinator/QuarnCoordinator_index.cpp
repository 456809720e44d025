// The job's index at the coordinator: set-up before the agents start, content records of finished
// VMs, and the index work after the loop.
//
// The index tables ("VMtoContentMap", "VMtoGUID"), the master index archive file and the in-image
// records are not built yet: set-up only hands the collect file to the index cache, content records
// are not kept, and nothing further is sent at the end.
#include "coordinator/QuarnCoordinator.h"

namespace {

const char* const kSigLogArchiver =
    "bool QuarnCoordinator::CheckAndHandleLogArchiverFailures(std::list<VMArchiveIndexParam>&)";

constexpr int64_t kStatusFailed = 1;
constexpr int64_t kStatusInProgress = 2;

}  // namespace

bool QuarnCoordinator::InitIndex() {
  if (!m_appMgr->isUseIndexingV2Enabled() && m_jobMgr->isVMStubPhase()) return true;
  return UploadCollectFileToIndex();
}

bool QuarnCoordinator::FinalizeIndex() { return true; }

int QuarnCoordinator::insertContentMapTable(VirtualServer::VMContentRecord& record) { return 0; }

bool QuarnCoordinator::CheckAndHandleLogArchiverFailures(std::list<VMArchiveIndexParam>& batch) {
  for (const VMArchiveIndexParam& param : batch) {
    vm_params* vm = m_vmMap.Find(param.vmGuid);
    if (vm == nullptr) continue;
    if (vm->updateInfo.getint64(JobManager::VMUpdateInfo::F_vmStatus) != kStatusInProgress) continue;
    m_event.Error(kSigLogArchiver, "No log archiver answer for VM [%s], failing it", vm->vmName.c_str());
    vm->vmPhase = PHASE_FAILED;
    vm->updateInfo.setint64(JobManager::VMUpdateInfo::F_vmStatus, kStatusFailed);
    vm->updateInfo.setstring(JobManager::VMUpdateInfo::F_failureText, "Failed to Archive Index logs");
    vm->updateInfo.setint64(JobManager::VMUpdateInfo::F_clientId,
                            vm->collect.getint64(VirtualServer::VMCollect::F_vmClientId));
    AddVMFailures(1);
    m_jobMgr->setVMStatus(vm->vmGuid, vm->updateInfo);
  }
  return true;
}
