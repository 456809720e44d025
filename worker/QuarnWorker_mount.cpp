// Mount and unmount of a VM.
//
// This build cannot mount a VM yet (the mount comes with the mount and archive-file work): every VM
// fails its mount with a reason that says so, and no VM is reported as backed up when nothing of it
// was.
#include "disklayout/QuarnChangeIdFile.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kResultNotAvailable = 95;
constexpr int kResultNoMountContext = 10;

}  // namespace

int QuarnWorker::MountVM() {
  if (m_currentVM == nullptr) return kResultNotAvailable;
  m_currentVM->failureReason = "The VM was not backed up: this agent cannot mount virtual machines yet.";
  m_event.Error("int QuarnWorker::MountVM()", "VM [%s] was not mounted: this agent cannot mount virtual machines yet",
                m_currentVM->vmName.c_str());
  return kResultNotAvailable;
}

int QuarnWorker::UnmountVM() {
  if (m_mountCtx == nullptr) return kResultNoMountContext;
  if (m_currentArgs != nullptr) {
    delete m_currentArgs->mChangeIdFile;
    m_currentArgs->mChangeIdFile = nullptr;
  }
  return 0;
}
