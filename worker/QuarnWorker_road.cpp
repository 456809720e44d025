// The road of one VM.
//
// This build cannot back a VM up yet (connection, mount, data path and metadata come with the road of
// one VM). Each VM it is given fails with a reason that says so: a VM is never reported as backed up
// when nothing of it was.
#include "platform/vminfo/IVMInfo.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kResultInterrupted = 11;
constexpr int kResultFailed = 95;

}  // namespace

int QuarnWorker::ProcessVM() {
  static const char* const sig = "virtual int QuarnWorker::ProcessVM()";
  if (m_currentVM == nullptr) return kResultFailed;
  // A VM stopped before its road began (the coordinator's stop, the job's quit) is not failed.
  if (CheckQuitFlag(nullptr)) return kResultInterrupted;
  m_currentVM->failureReason = "The VM was not backed up: this agent cannot back up virtual machines yet.";
  m_event.Error(sig, "VM [%s] was not backed up: this agent cannot back up virtual machines yet",
                m_currentVM->vmName.c_str());
  return kResultFailed;
}

void QuarnWorker::CleanUpVMInfo() {
  if (m_vmInfo == nullptr) return;
  IVMInfo::DeleteObject(m_vmInfo);
  m_vmInfo = nullptr;
  m_connectedServer.clear();
}
