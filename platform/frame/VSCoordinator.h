#pragma once
#include <atomic>
#include <string>

#include "platform/remoteagent/ZTRemoteAgentServer.h"

// Base of the job's coordinator: the remote-agent server plus the few services the coordinator takes
// from its platform base (service shutdown, subnet arithmetic).
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

  // Sends as the framework does. A list of VMs given to an agent is first recorded as the VMs'
  // dispatch to that agent's client in the lab's job (platform/lab/LabJob.h), so that the archives of
  // an attempt the coordinator gave up on are told from those of the agent it gave the VM to next.
  bool SendMsgToAgent(const std::string& name, const CNMessageBase& message);

 private:
  void RecordDispatch(const std::string& name, const CNMessageBase& list);

  std::atomic<bool> serviceShutdown_{false};
};
