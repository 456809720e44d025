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

  // The machine the agent runs on: in a lab the machine record of the client this process is
  // (platform/lab/LabMachine.h); only without a lab the real machine.
  //
  // CPU count, memory in MB and the operating-system flag (non-zero: the agent runs the operating
  // system the coordinator's OS rules look for: the "windows" family in a lab, always 1 on the real
  // machine). False when the figures cannot be read, the client's machine record included (the
  // outputs then hold 0).
  bool FillLocalComputerInfo(int64_t& cpuCount, int64_t& memoryMB, int64_t& osFlag) const;
  // The machine's (address, mask) pairs: the record's, or from getifaddrs the interfaces that are up,
  // not loopback, IPv4 and IPv6, in interface order. False when they cannot be read (outputs empty).
  bool FillLocalIPAddressInfo(std::vector<std::pair<std::string, std::string>>& addresses) const;
  // The name of the computer the agent is: the host name of the client's machine record, else the
  // client's own name; the real host name without a lab.
  static std::string GetLocalComputerName();

  bool IsCoordinatorProcess() const { return isCoordinator_; }

 private:
  // Constant after construction.
  const bool isCoordinator_;
  std::atomic<bool> serviceShutdown_{false};
};
