#include "archiving/QuarnVMManagement.h"

QuarnVMManagement::QuarnVMManagement(int workerId, QuarnController* controller, vsJobMgr* jobMgr, vsAppMgr* appMgr,
                                     const std::string& subclientDir)
    : m_workerId(workerId), m_controller(controller), m_jobMgr(jobMgr), m_appMgr(appMgr), m_subclientDir(subclientDir) {}

int QuarnVMManagement::PerformVMManagement(vm_params* vm, quarnBackupArgs& args) {
  static const char* const sig = "int QuarnVMManagement::PerformVMManagement(vm_params*, quarnBackupArgs&)";
  if (m_controller == nullptr || vm == nullptr) {
    m_event.Error(sig, "[VMArchiving] [Error] Controller context is NULL.");
    return kContinueBackup;
  }
  if (m_jobMgr != nullptr && m_jobMgr->isVMStubPhase()) {
    vm->failureReason = "The VM was not stubbed: VM archiving is not available on this proxy.";
    m_event.Error(sig, "[VMArchiving] [Error] VM [%s] was not stubbed: VM archiving is not available",
                  vm->vmName.c_str());
    return kStubbingSkipped;
  }
  m_event.DebugLvl(2, sig, "[VMArchiving] VM archiving and power management are not available; VM [%s] is backed up",
                   vm->vmName.c_str());
  return kContinueBackup;
}
