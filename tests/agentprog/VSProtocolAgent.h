#pragma once
// An agent that speaks the coordinator's protocol and nothing more: it announces itself, asks for a
// VM whenever it is lent a stream and after each VM, and ends every VM it is given as failed with a
// reason that says it was not backed up (recorded with the job manager as an agent does). It quits
// when told to. With killOnFirstVM it kills its own process when the first VM arrives, the way an
// agent dies in the middle of a job, after leaving the file "got-first-vm" in its client's Temp
// folder. An agent given a gate asks for work only once the gate opens (Poll asks what it held back).
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/jobclient/SubclientDir.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

namespace testagent {

constexpr const char* kNotBackedUp = "This agent does not back up VMs: the VM was not backed up";

class VSProtocolLogic {
 public:
  using Send = std::function<bool(const CNMessageBase&)>;

  VSProtocolLogic(Send send, int64_t jobId, uint64_t appId, bool killOnFirstVM,
                  std::function<bool()> gate = std::function<bool()>())
      : send_(std::move(send)), appId_(appId), killOnFirstVM_(killOnFirstVM), gate_(std::move(gate)) {
    job_.setJobId(std::to_string(jobId));
  }

  // Sends the requests for work the gate held back, once it is open.
  void Poll() {
    if (!gate_ || !gate_()) return;
    for (; heldRequests_ > 0; --heldRequests_) send_(VirtualServer::VMBackupGetNextVM());
  }

  void Started() {
    using S = VirtualServer::VMAgentStartup;
    S startup;
    startup.setint64(S::F_protocolVersion, 1120);
    startup.setint64(S::F_cpuCount, 2);
    startup.setint64(S::F_memoryMB, 2048);
    subclientFiles files;
    if (GetSubclientDirAndFiles(0, appId_, &files, 1, nullptr) == 0) startup.setstring(S::F_subclientDir, files.files[0]);
    send_(startup);
  }

  // False when the agent is to quit.
  bool Handle(const CNMessageBase& message) {
    switch (message.getTagID()) {
      case VirtualServer::VMBackupStream::TAG:
        Ask();
        return true;
      case VirtualServer::VMCollectList::TAG: {
        CNMessageBase list(message);
        const CNMessageList& vms = list.getlistobject(VirtualServer::VMCollectList::F_vms, false);
        for (const CNMessagePtr& vm : vms) {
          if (killOnFirstVM_) {
            lab::WriteFileAtomic(lab::ClientTempDir(lab::FocusClient()) + "/got-first-vm", "");
            kill(getpid(), SIGKILL);
          }
          Fail(*vm);
        }
        // An empty list: no more work for this worker.
        if (!vms.empty()) Ask();
        return true;
      }
      case VirtualServer::VMAgentQuit::TAG:
        return false;
      default:
        return true;
    }
  }

 private:
  void Ask() {
    if (gate_ && !gate_()) {
      ++heldRequests_;
      return;
    }
    send_(VirtualServer::VMBackupGetNextVM());
  }

  void Fail(const CNMessageBase& vm) {
    using C = VirtualServer::VMCollect;
    using Info = JobManager::VMUpdateInfo;
    const std::string guid = vm.getstring(C::F_vmGuid);
    Info info;
    info.setint64(Info::F_clientId, vm.getint64(C::F_vmClientId));
    info.setstring(Info::F_vmName, vm.getstring(C::F_vmName));
    info.setint64(Info::F_vmStatus, 1);
    info.setstring(Info::F_failureText, kNotBackedUp);
    info.setstring(Info::F_recordGuid, guid);
    job_.setVMStatus(guid, info);

    using R = VirtualServer::VMBackupResult;
    R result;
    result.setstring(R::F_vmName, vm.getstring(C::F_vmName));
    result.setstring(R::F_vmGuid, guid);
    result.setint64(R::F_vmPhase, 5);
    result.setint64(R::F_statusCode, 2);
    result.setstring(R::F_failureReason, kNotBackedUp);
    send_(result);
  }

  Send send_;
  const uint64_t appId_;
  const bool killOnFirstVM_;
  const std::function<bool()> gate_;
  int heldRequests_ = 0;
  vsJobMgr job_;
};

}  // namespace testagent
