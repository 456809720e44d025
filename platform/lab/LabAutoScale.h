#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The agent-creation jobs of auto-scale, as the lab keeps them: jobs/<job>/autoscale.log, one line per
// step, in order:
//   "start <creation job> <region> <client>"   a creation job began making the client
//   "done <creation job> <client>"             the client exists and is a member server of the instance
//   "failed <creation job> <client> <code>"    the creation failed
// A created agent is a new client of the lab with the machine of the client that asked for it (under
// its own name and address), added to the member servers of the subclient's instance; the coordinator
// then starts its agent process like any other.
namespace lab {

// Names the client, starts its creation job and records it; false (with the reason) when no name or
// job id could be had.
bool StartAgentCreation(int64_t jobId, const std::string& region, const std::string& fromClient,
                        int64_t& creationJobId, std::string& client, std::string& error);
// Makes the client and adds it to the subclient's member servers.
bool CompleteAgentCreation(int64_t jobId, const std::string& appId, const std::string& fromClient,
                           int64_t creationJobId, const std::string& client, std::string& error);
bool FailAgentCreation(int64_t jobId, int64_t creationJobId, const std::string& client, int code);
std::vector<std::string> ReadAutoScaleLog(int64_t jobId);

}  // namespace lab
