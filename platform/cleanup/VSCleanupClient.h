#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The cleanup service of a proxy host: it removes the snapshots and mounts a dead job left behind.
// Registrations are kept per client of the lab (platform/lab/LabAgent.h); the service's view is what
// remains registered. Fault table operations: "cleanup.RegisterProcess", "cleanup.UnregisterProcess",
// "cleanup.RegisterVM", "cleanup.UnregisterVM".
class VSCleanupClient {
 public:
  bool RegisterProcess(int64_t jobId, uint64_t keyrealmId, uint64_t appId);
  bool UnregisterProcess(int64_t jobId, uint64_t keyrealmId, uint64_t appId);
  bool RegisterVM(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                  const std::string& cleanupText);
  bool UnregisterVM(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                    const std::string& cleanupText);

  // What is registered on a client now, one entry per registration still standing:
  // "process <job> <keyrealm> <app> <pid>" and "vm <host>|<name>|<guid>|<text>".
  static std::vector<std::string> ReadRegistrations(const std::string& client);
};

namespace vscleanup {

// The clean-up string of a VM's mount: what the job manager keeps so that a later job can remove
// what this one left behind. The fields are joined with '|' ('\\' and '|' inside a field escaped).
std::string GenerateVSCleanupString(int64_t jobId, const std::string& appId, const std::string& host,
                                    const std::string& vmName, const std::string& vmGuid,
                                    const std::string& mountCleanupText);

}  // namespace vscleanup
