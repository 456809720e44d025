#pragma once
#include "platform/msg/CNMessageBase.h"
#include "records/messages/CommonMessages.h"

#define CN_TABLE "records/messages/JobManagerMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"

namespace JobManager {

// A VM's stub status in the job (VMUpdateInfo::stubStatus): what an archiving job chose for the VM and
// how it went. The job manager keeps these numbers in its records: they never change.
enum VMStubStatus : int {
  kStubStatusToBeArchived = 1,  // the backup phase selected the VM: its stub phase stubs or relocates it
  kStubStatusStubbed = 5,
  kStubStatusStubFailed = 6,    // the stub did not complete: it is retried
  kStubStatusRelocated = 8,
  kStubStatusRelocateFailed = 9,
};

}  // namespace JobManager
