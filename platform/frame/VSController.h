#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/remoteagent/ZTRemoteAgentClient.h"

// Base of every agent controller: the remote-agent client plus the local facts the agent announces in
// its start-up message (computer and address information) and the service shutdown hook.
class VSController : public ZTRemoteAgentClient {
 public:
  explicit VSController(bool isCoordinator = false);
  ~VSController() override;

  // Called when the host service shuts down: sets the client's quit flag.
  virtual void OnServiceShutdown();
  bool CheckServiceShutdown() const;

  // CPU count, memory in MB and the operating-system flag (non-zero: the agent runs the operating
  // system the coordinator's OS rules look for; always 1 here). False when the figures cannot be read
  // (the outputs then hold 0).
  bool FillLocalComputerInfo(int64_t& cpuCount, int64_t& memoryMB, int64_t& osFlag) const;
  // The machine's (address, mask) pairs from getifaddrs: interfaces that are up, not loopback, IPv4
  // and IPv6, in interface order. False when the interfaces cannot be read.
  bool FillLocalIPAddressInfo(std::vector<std::pair<std::string, std::string>>& addresses) const;
  // The name of the computer the agent is: the simulated client this process is in the lab.
  static std::string GetLocalComputerName();

  bool IsCoordinatorProcess() const { return isCoordinator_; }

 private:
  // Constant after construction.
  const bool isCoordinator_;
  std::atomic<bool> serviceShutdown_{false};
};
