#pragma once
#include <string>

#include "app/vmParams.h"
#include "disklayout/quarnconfig.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"
#include "platform/jobmgr/vsJobMgr.h"

class QuarnController;

// VM archiving and power management of one VM, run by the worker before the VM is mounted.
//
// This build has only the entry point: stubbing, relocation, stub reconciliation and power
// management come with VM archiving. A backup goes on (108); in the stub phase, where stubbing is
// the whole work, the VM fails with a reason that says it was not stubbed.
class QuarnVMManagement {
 public:
  // The result that lets the worker go on with the backup.
  static constexpr int kContinueBackup = 108;
  // The VM was not stubbed.
  static constexpr int kStubbingSkipped = 113;

  QuarnVMManagement(int workerId, QuarnController* controller, vsJobMgr* jobMgr, vsAppMgr* appMgr,
                    const std::string& subclientDir);
  QuarnVMManagement(const QuarnVMManagement&) = delete;
  QuarnVMManagement& operator=(const QuarnVMManagement&) = delete;

  // 108: go on with the backup; any other result ends the VM's road with it.
  int PerformVMManagement(vm_params* vm, quarnBackupArgs& args);

 private:
  EvEvent m_event;
  // Constant after construction.
  const int m_workerId;
  QuarnController* const m_controller;
  vsJobMgr* const m_jobMgr;
  vsAppMgr* const m_appMgr;
  const std::string m_subclientDir;
};
