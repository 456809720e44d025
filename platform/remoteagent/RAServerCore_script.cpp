// Scripted mode: the same agent states, queue and delivery rules as the real loop, with the test in
// the place of processes, sockets and threads.
#include "platform/lab/Lab.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/remoteagent/RAServerCore.h"

namespace remoteagent {
namespace {

const char* const kSigScript = "bool ZTRemoteAgentServer::ScriptAgentMessage(const std::string&)";

}  // namespace

void ServerCore::SetScriptedMode() {
  ZtMutexLock lock(mu_);
  if (!agents_.empty() || mainBegun_) {
    ev_.Error(kSigScript, "Scripted mode must be chosen before agents are added");
    return;
  }
  scripted_ = true;
}

void ServerCore::SetScriptDriver(std::function<bool()> driver) {
  ZtMutexLock lock(mu_);
  scriptDriver_ = std::move(driver);
}

void ServerCore::ScriptBeginMain() {
  ZtMutexLock lock(mu_);
  if (scripted_.load() && !mainBegun_) BeginMainLocked();
}

bool ServerCore::ScriptAgentStarted(const std::string& name) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  if (!scripted_.load() || agent == nullptr || agent->phase != AgentPhase::kLaunching) return false;
  agent->phase = AgentPhase::kConnected;
  QueueSimpleLocked(AgentEvent::Type::kStarted, agent, agent->gen);
  return true;
}

bool ServerCore::ScriptAgentStartFailed(const std::string& name) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  if (!scripted_.load() || agent == nullptr || agent->phase != AgentPhase::kLaunching) return false;
  LaunchFailedLocked(agent, agent->gen, "scripted start failure");
  return true;
}

bool ServerCore::ScriptAgentStopped(const std::string& name) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  if (!scripted_.load() || agent == nullptr || agent->phase != AgentPhase::kConnected) return false;
  agent->phase = AgentPhase::kDown;
  QueueSimpleLocked(AgentEvent::Type::kStopped, agent, agent->gen);
  return true;
}

bool ServerCore::ScriptAgentMessage(const std::string& name, const CNMessageBase& message) {
  std::string xml;
  if (!message.serialize(xml, true)) return false;
  return ScriptAgentRawMessage(name, xml);
}

bool ServerCore::ScriptAgentRawMessage(const std::string& name, const std::string& xml) {
  std::unique_ptr<CNMessageBase> parsed;
  std::string error;
  if (xml.size() + 1 <= kMaxFramePayload) parsed = CNMessageBase::CreateFromXml(xml, &error);
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  if (!scripted_.load() || agent == nullptr || agent->phase != AgentPhase::kConnected) return false;
  if (!parsed) {
    // Exactly what a connection does with such a frame: the peer is cut off and reported stopped.
    ev_.Error(kSigScript, "Agent [%s] sent a malformed message (%s); cutting it off", name.c_str(), error.c_str());
    agent->phase = AgentPhase::kDown;
    QueueSimpleLocked(AgentEvent::Type::kStopped, agent, agent->gen);
    return true;
  }
  AgentEvent event;
  event.type = AgentEvent::Type::kMessage;
  event.agent = agent;
  event.gen = agent->gen;
  event.message = std::move(parsed);
  QueueEventLocked(std::move(event));
  return true;
}

bool ServerCore::ScriptRunPass() {
  {
    ZtMutexLock lock(mu_);
    if (!scripted_.load() || deinitialized_) return false;
    if (!mainBegun_) BeginMainLocked();
  }
  return RunPass();
}

int ServerCore::ScriptRunPoolJobs() {
  int ran = 0;
  for (;;) {
    std::function<void()> job;
    {
      ZtMutexLock lock(mu_);
      if (scriptJobs_.empty()) break;
      job = std::move(scriptJobs_.front());
      scriptJobs_.pop_front();
    }
    job();
    ++ran;
  }
  return ran;
}

std::vector<std::unique_ptr<CNMessageBase>> ServerCore::ScriptTakeSent(const std::string& name) {
  std::vector<std::string> texts;
  {
    ZtMutexLock lock(mu_);
    auto it = scriptOutbox_.find(name);
    if (it != scriptOutbox_.end()) texts.swap(it->second);
  }
  std::vector<std::unique_ptr<CNMessageBase>> messages;
  for (const std::string& xml : texts) {
    std::unique_ptr<CNMessageBase> message = CNMessageBase::CreateFromXml(xml, nullptr);
    if (message) messages.push_back(std::move(message));
  }
  return messages;
}

std::vector<std::string> ServerCore::ScriptTakeStarts() {
  ZtMutexLock lock(mu_);
  std::vector<std::string> starts;
  starts.swap(scriptStarts_);
  return starts;
}

bool ServerCore::ScriptStopRequested(const std::string& name) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  return agent != nullptr && agent->scriptStopRequested;
}

}  // namespace remoteagent
