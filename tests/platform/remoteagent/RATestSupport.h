#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agentprog/RATestMessages.h"
#include "support/TestLab.h"
#include "platform/remoteagent/ZTRemoteAgentClient.h"
#include "platform/remoteagent/ZTRemoteAgentServer.h"

namespace ratest {

using TempLab = testsupport::TestLab;

// "<seq> <payload>" of a Ping, "tag 0x..." of anything else.
std::string Describe(const CNMessageBase& message);

// A server that writes down every callback as "<agent> started|failed|stopped|msg <seq> <payload>"
// (and "idle"), and lets a test react from the callbacks.
class RecordingServer : public ZTRemoteAgentServer {
 public:
  RecordingServer();
  ~RecordingServer() override;

  void OnIdle() override;
  void OnAgentStarted(const std::string& name) override;
  void OnAgentStopped(const std::string& name) override;
  void OnAgentFailed(const std::string& name) override;
  void OnMsgReceived(const std::string& name, CNMessageBase* message) override;

  // The entries of one agent, without the agent's name, in order.
  std::vector<std::string> Of(const std::string& agent) const;
  size_t Count(const std::string& entry) const;
  // Position of the first entry equal to `entry`, or -1.
  long IndexOf(const std::string& entry) const;

  std::function<void()> onIdle;
  std::function<void(const std::string&)> onStarted, onStopped, onFailed;
  std::function<void(const std::string&, CNMessageBase*)> onMessage;

  // Callbacks run on the loop thread only; read after Main returned (or between scripted passes).
  std::vector<std::string> log;
  int idles = 0;
  bool wrongThread = false;
  bool messageAfterEnd = false;

 private:
  void Note(const std::string& entry);
  std::thread::id loopThread_{};
  std::vector<std::string> ended_;
};

// An in-process agent that behaves like quarn-test-agent.
class LocalTestAgent : public ZTRemoteAgentClient {
 public:
  void OnAgentStarted() override;
  void OnAgentStopped() override;
  void OnMsgReceived(const CNMessageBase& message) override;

  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::atomic<bool> onServerLoopThread{false};
  // Command "wait": stays in the callback until the quit flag is set (at most 20 s).
  std::atomic<bool> waiting{false};
  std::atomic<bool> waitEndedByQuit{false};
  std::thread::id serverLoopThread{};  // set by the test before Main

 private:
  void CheckThread();
};

// Sets the server up for agent processes of quarn-test-agent with short waits.
void UseTestAgents(ZTRemoteAgentServer& server);

}  // namespace ratest
