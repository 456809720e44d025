// Guest metadata of a VM: granular metadata and the guest size.
//
// This build cannot collect guest metadata yet (it comes with the guest metadata work): each step
// says so; the road goes on without it.
#include "worker/QuarnWorker.h"

int QuarnWorker::CollectGranularMetadata(quarnBackupArgs& args) {
  m_event.Error("virtual int QuarnWorker::CollectGranularMetadata(quarnBackupArgs&)",
                "Granular metadata of VM [%s] not collected: not available on this agent yet", args.mVMName.c_str());
  return 1;
}

int QuarnWorker::ComputeVMGuestSize(quarnBackupArgs& args, bool) {
  m_event.Error("int QuarnWorker::ComputeVMGuestSize(quarnBackupArgs&, bool)",
                "Guest size of VM [%s] not computed: not available on this agent yet", args.mVMName.c_str());
  return 1;
}
