#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "platform/os/ZtMutex.h"
#include "platform/remoteagent/ZTRemoteAgentServer.h"

// Base of the job's coordinator: the remote-agent server plus the few services the coordinator takes
// from its platform base (service shutdown, subnet arithmetic, the record of each VM's dispatch).
class VSCoordinator : public ZTRemoteAgentServer {
 public:
  VSCoordinator();
  ~VSCoordinator() override;

  // Called when the host service shuts down: remembers it and sets the framework's quit flag, which
  // ends the server loop. Takes no lock the loop could hold.
  virtual void OnServiceShutdown();
  // True once OnServiceShutdown has run.
  bool CheckServiceShutdown() const;

  // The network address of `ip` under `mask` as text ("10.1.2.0" for "10.1.2.3" / "255.255.255.0");
  // IPv6 pairs give the IPv6 network text. Empty when either is not a valid address of the same family
  // or the mask is not contiguous.
  static std::string GetSubnet(const std::string& ip, const std::string& mask);

  // What became of the record of a VM's dispatch.
  enum class DispatchRecord {
    kRecorded,
    kNotWritten,  // the record could not be written (a full or failing file system): a later try may pass
    kRefused,     // the VM or the agent cannot name a record: no try ever will
  };
  // Records that the VM goes to the agent, as its dispatch to the agent's client in the lab's job
  // (platform/lab/LabJob.h), before the agent can hear of it: an agent's archives carry the number of
  // the VM's latest dispatch to it, so that the archives of an attempt the coordinator gave up on are
  // told from those of the agent it gave the VM to next; each dispatch is numbered above every earlier
  // one of the VM in the job, the record lost or not. A VM whose dispatch is not on record must not
  // go out, or its archives could lose to those of an earlier attempt. A process outside a lab's job
  // keeps no record, and every dispatch counts as recorded there. `error` says why one is not.
  DispatchRecord RecordVMDispatch(const std::string& agent, const std::string& vmGuid, std::string& error);

 private:
  std::atomic<bool> serviceShutdown_{false};
  ZtMutex dispatchMutex_;
  // The number of each VM's latest dispatch this process recorded, by GUID in lower case: a retry is
  // numbered above it even when the record was lost in between.
  std::map<std::string, uint64_t> latestDispatches_ GUARDED_BY(dispatchMutex_);
};
