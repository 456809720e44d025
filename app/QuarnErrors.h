#pragma once
#include <string>

#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/ev/EvMessageContainer.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/CPxError.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/MountCtx.h"

// Per-VM result codes of the error classification.
enum QuarnVMResult : int {
  kVMResultSuccess = 0,
  kVMResultInterrupted = 11,
  kVMResultDiskReadFailed = 54,
  kVMResultFailed = 95,
  kVMResultFatal = 96,
  kVMResultRetryable = 123,
  kVMResultRetried = 138,
  kVMResultNotSupported = 148,
};

// Classifies the VM-information library's last failure for one VM into a per-VM result code,
// logs it and, as the failure's class and the flags ask, raises its job event and sets it as the
// job's pending cause. errorText and message receive the library's report of the failure.
int CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& errorText, EvMessageContainer& message,
                     vsJobMgr* jobMgr, bool raiseEvent, bool setPendingCause, bool coordinatorAgent);

// Classifies a failure of the virtual-disk reader: errors that come from the VM-information
// library go to CheckVMInfoError, every other read failure gives 54 with a minor event and/or
// pending cause naming the disk and the VM.
int CheckJyNTFSError(CArchiveVirtualDiskFile* disk, const CPxError& error, IVMInfo* vmInfo, MountCtx& ctx,
                     std::string& errorText, EvMessageContainer& message, vsJobMgr* jobMgr, bool raiseEvent,
                     bool setPendingCause);
