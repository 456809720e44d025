// The VM backup phases: pre-backup, backup, post-backup, and the failed VM's record.
//
// This build cannot back up a VM's disks yet (they come with the data path): the phases fail with a
// reason that says so, so no VM is reported as backed up when nothing of it was.
#include "app/QuarnUtils.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kResultNotAvailable = 95;
constexpr int kResultInterrupted = 11;

int NotAvailable(vm_params* vm, EvEvent& log, const char* sig) {
  if (vm != nullptr) vm->failureReason = "The VM was not backed up: this agent cannot back up virtual disks yet.";
  log.Error(sig, "VM [%s] was not backed up: this agent cannot back up virtual disks yet",
            vm != nullptr ? vm->vmName.c_str() : "");
  return kResultNotAvailable;
}

}  // namespace

int QuarnWorker::PreBackupVM(quarnBackupArgs&) {
  return NotAvailable(m_currentVM, m_event, "virtual int QuarnWorker::PreBackupVM(quarnBackupArgs&)");
}

int QuarnWorker::BackupVM(quarnBackupArgs&) {
  return NotAvailable(m_currentVM, m_event, "virtual int QuarnWorker::BackupVM(quarnBackupArgs&)");
}

int QuarnWorker::PostBackupVM(quarnBackupArgs&) {
  return NotAvailable(m_currentVM, m_event, "virtual int QuarnWorker::PostBackupVM(quarnBackupArgs&)");
}

int QuarnWorker::SendFailedVM(quarnBackupArgs&) {
  if (m_jobMgr != nullptr && m_jobMgr->checkQuitFlag()) return kResultInterrupted;
  if (m_currentVM != nullptr && m_mountCtx != nullptr)
    FillVMUpdateInfoForFailedVM(m_currentVM->updateInfo, *m_mountCtx,
                                static_cast<int>(m_currentVM->collect.getint64(VirtualServer::VMCollect::F_vmClientId)));
  return 0;
}
