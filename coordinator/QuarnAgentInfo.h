#pragma once
#include <cstdint>
#include <ctime>
#include <set>
#include <string>

// Agent states of the coordinator's record.
enum QuarnAgentState : uint32_t {
  AgentNew = 0,
  AgentStarting = 1,
  AgentStarted = 2,
  AgentInitialized = 3,
  AgentStopped = 4,  // told to quit
  AgentFailed = 5,   // failed or stopped
};

// The coordinator's record of one agent, kept in a map by agent name (the proxy's client name).
struct QuarnAgentInfo {
  uint32_t state = AgentNew;
  bool restartPending = false;  // failed to start or runs another protocol version
  bool sendFailed = false;      // a message to the agent failed to go out
  int32_t startFailures = 0;
  time_t startTime = 0;         // last start or restart attempt
  bool dropped = false;         // stopped without being told to and without a quit
  bool noRestart = false;       // runs another protocol version
  int32_t streamLimit = 0;
  bool streamLimitLogged = false;
  int32_t streamsAssigned = 0;
  int32_t streamsReturned = 0;
  int32_t streamErrors = 0;
  int32_t streamsOfOtherProcesses = 0;
  int32_t diskLoad = 0;
  bool dataPathMediaAgent = false;
  time_t lastStreamReturn = 0;
  time_t lastStreamError = 0;
  std::string hostName;
  std::string datacenter;
  std::string hostUuid;
  std::set<std::string> subnets;
  std::set<std::string> sanDatastores;
  bool osFlag = true;
  std::set<std::string> distributedVMs;
  std::set<std::string> staticVMs;
  std::set<std::string> assignedVMs;
  std::set<std::string> completedVMs;
  int32_t completedCount = 0;
  bool lateMessagePending = false;

  // True while the agent runs or may still come back (a pending restart it is allowed to have).
  bool CanStillRun(bool restartsEnabled) const {
    if (state != AgentFailed && state != AgentStopped) return true;
    return state == AgentFailed && restartsEnabled && restartPending && !noRestart;
  }
};
