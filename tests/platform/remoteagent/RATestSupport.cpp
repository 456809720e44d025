#include "platform/remoteagent/RATestSupport.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "agentprog/RATestMessagesDefine.inc"
#include "platform/lab/Lab.h"

namespace ratest {

std::string Describe(const CNMessageBase& message) {
  if (message.getTagID() == RATest::Ping::TAG) {
    return std::to_string(message.getint64(RATest::Ping::F_seq)) + " " +
           message.getstring(RATest::Ping::F_payload);
  }
  char text[32];
  std::snprintf(text, sizeof text, "tag 0x%08X", message.getTagID());
  return text;
}

RecordingServer::RecordingServer() = default;

// The callbacks use this object's members; nothing may call them once it is being destroyed.
RecordingServer::~RecordingServer() { ZTRemoteAgentServer::Deinitialize(); }

void RecordingServer::Note(const std::string& entry) {
  if (loopThread_ == std::thread::id()) loopThread_ = std::this_thread::get_id();
  if (loopThread_ != std::this_thread::get_id()) wrongThread = true;
  log.push_back(entry);
}

void RecordingServer::OnIdle() {
  ++idles;
  Note("idle");
  if (onIdle) onIdle();
}

void RecordingServer::OnAgentStarted(const std::string& name) {
  ended_.erase(std::remove(ended_.begin(), ended_.end(), name), ended_.end());
  Note(name + " started");
  if (onStarted) onStarted(name);
}

void RecordingServer::OnAgentStopped(const std::string& name) {
  ended_.push_back(name);
  Note(name + " stopped");
  if (onStopped) onStopped(name);
}

void RecordingServer::OnAgentFailed(const std::string& name) {
  ended_.push_back(name);
  Note(name + " failed");
  if (onFailed) onFailed(name);
}

void RecordingServer::OnMsgReceived(const std::string& name, CNMessageBase* message) {
  if (std::find(ended_.begin(), ended_.end(), name) != ended_.end()) messageAfterEnd = true;
  Note(name + " msg " + Describe(*message));
  if (onMessage) onMessage(name, message);
}

std::vector<std::string> RecordingServer::Of(const std::string& agent) const {
  std::vector<std::string> entries;
  const std::string prefix = agent + " ";
  for (const std::string& entry : log) {
    if (entry.compare(0, prefix.size(), prefix) == 0) entries.push_back(entry.substr(prefix.size()));
  }
  return entries;
}

size_t RecordingServer::Count(const std::string& entry) const {
  return static_cast<size_t>(std::count(log.begin(), log.end(), entry));
}

long RecordingServer::IndexOf(const std::string& entry) const {
  auto it = std::find(log.begin(), log.end(), entry);
  return it == log.end() ? -1 : static_cast<long>(it - log.begin());
}

void LocalTestAgent::CheckThread() {
  if (std::this_thread::get_id() == serverLoopThread) onServerLoopThread = true;
}

void LocalTestAgent::OnAgentStarted() {
  CheckThread();
  ++starts;
  SendMsgToServer(RATest::MakePing(0, GetAgentName(), "hello"));
}

void LocalTestAgent::OnAgentStopped() {
  CheckThread();
  ++stops;
  SendMsgToServer(RATest::MakePing(-1, GetAgentName(), "bye"));
}

void LocalTestAgent::OnMsgReceived(const CNMessageBase& message) {
  CheckThread();
  if (message.getTagID() != RATest::Command::TAG) return;
  const std::string op = message.getstring(RATest::Command::F_op);
  const int64_t count = message.getint64(RATest::Command::F_count);
  const int64_t arg = message.getint64(RATest::Command::F_arg);
  if (op == "echo") {
    SendMsgToServer(RATest::MakePing(arg, GetAgentName(), "echo"));
  } else if (op == "burst") {
    for (int64_t i = 1; i <= count; ++i) SendMsgToServer(RATest::MakePing(arg + i, GetAgentName(), "burst"));
  } else if (op == "quit") {
    SendMsgToServer(RATest::MakePing(arg, GetAgentName(), "last"));
    SetQuitFlag();
  } else if (op == "wait") {
    waiting = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!CheckQuitFlag() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    waitEndedByQuit = CheckQuitFlag();
  }
}

void UseTestAgents(ZTRemoteAgentServer& server) {
  server.SetAgentCommandName(QUARN_TEST_AGENT_BINARY, "-client");
  server.SetSelectTimeoutMs(20);
  server.SetAgentStartupTimeoutMs(10000);
  server.SetQuitDrainTimeoutMs(5000);
}

}  // namespace ratest
