#include "platform/remoteagent/ZTRemoteAgentServer.h"

#include "platform/msg/CNMessageBase.h"
#include "platform/os/ZtThread.h"
#include "platform/remoteagent/RAServerCore.h"

ZTRemoteAgentServer::ZTRemoteAgentServer() : core_(std::make_unique<remoteagent::ServerCore>(this)) {}

ZTRemoteAgentServer::~ZTRemoteAgentServer() { core_->Deinitialize(); }

void ZTRemoteAgentServer::SetAgentCommandName(const std::string& command, const std::string& clientOption) {
  core_->SetAgentCommandName(command, clientOption);
}
void ZTRemoteAgentServer::SetSelectTimeout(int seconds) {
  core_->SetSelectTimeoutMs(seconds > 2000000 ? 2000000000 : seconds * 1000);
}
void ZTRemoteAgentServer::SetSelectTimeoutMs(int milliseconds) { core_->SetSelectTimeoutMs(milliseconds); }
void ZTRemoteAgentServer::SetAgentStartupThreads(int threads) { core_->SetStartupThreads(threads); }
void ZTRemoteAgentServer::SetAgentStartupTimeout(int seconds) {
  if (seconds > 0) core_->SetStartupTimeoutMs(seconds > 2000000 ? 2000000000 : seconds * 1000);
}
void ZTRemoteAgentServer::SetAgentStartupTimeoutMs(int milliseconds) { core_->SetStartupTimeoutMs(milliseconds); }
void ZTRemoteAgentServer::SetQuitDrainTimeoutMs(int milliseconds) { core_->SetQuitDrainTimeoutMs(milliseconds); }

bool ZTRemoteAgentServer::AddLocalAgent(const std::string& name, ZTRemoteAgentClient* controller) {
  return core_->AddLocalAgent(name, controller);
}
bool ZTRemoteAgentServer::AddAgent(const std::string& name, const std::string& arguments,
                                   const std::string& hostName) {
  return core_->AddAgent(name, arguments, hostName);
}

bool ZTRemoteAgentServer::Main() { return core_->Main(); }

void ZTRemoteAgentServer::OnIdle() {}
void ZTRemoteAgentServer::OnAgentStarted(const std::string&) {}
void ZTRemoteAgentServer::OnAgentStopped(const std::string&) {}
void ZTRemoteAgentServer::OnAgentFailed(const std::string&) {}
void ZTRemoteAgentServer::OnMsgReceived(const std::string&, CNMessageBase*) {}

bool ZTRemoteAgentServer::SendMsgToAgent(const std::string& name, const CNMessageBase& message) {
  return core_->SendMsgToAgent(name, message);
}
bool ZTRemoteAgentServer::FailAgent(const std::string& name) { return core_->FailAgent(name); }
bool ZTRemoteAgentServer::RestartAgent(const std::string& name) { return core_->RestartAgent(name); }
void ZTRemoteAgentServer::SetQuitFlag() { core_->SetQuitFlag(); }
bool ZTRemoteAgentServer::CheckQuitFlag() { return core_->QuitFlag(); }
bool ZTRemoteAgentServer::Deinitialize() { return core_->Deinitialize(); }

std::string ZTRemoteAgentServer::GetAgentHostName(const std::string& name) const {
  return core_->GetAgentHostName(name);
}
bool ZTRemoteAgentServer::IsAgentConnected(const std::string& name) const { return core_->IsAgentConnected(name); }
std::vector<std::string> ZTRemoteAgentServer::GetAgentNames() const { return core_->GetAgentNames(); }
ZtThreadPool& ZTRemoteAgentServer::GetThreadPool() { return core_->GetThreadPool(); }
bool ZTRemoteAgentServer::SubmitToThreadPool(std::function<void()> job) {
  return core_->SubmitToThreadPool(std::move(job));
}
int ZTRemoteAgentServer::GetListenPort() const { return core_->GetListenPort(); }

void ZTRemoteAgentServer::SetScriptedMode() { core_->SetScriptedMode(); }
bool ZTRemoteAgentServer::IsScriptedMode() const { return core_->IsScriptedMode(); }
void ZTRemoteAgentServer::SetScriptDriver(std::function<bool()> driver) { core_->SetScriptDriver(std::move(driver)); }
void ZTRemoteAgentServer::ScriptBeginMain() { core_->ScriptBeginMain(); }
bool ZTRemoteAgentServer::ScriptAgentStarted(const std::string& name) { return core_->ScriptAgentStarted(name); }
bool ZTRemoteAgentServer::ScriptAgentStartFailed(const std::string& name) {
  return core_->ScriptAgentStartFailed(name);
}
bool ZTRemoteAgentServer::ScriptAgentStopped(const std::string& name) { return core_->ScriptAgentStopped(name); }
bool ZTRemoteAgentServer::ScriptAgentMessage(const std::string& name, const CNMessageBase& message) {
  return core_->ScriptAgentMessage(name, message);
}
bool ZTRemoteAgentServer::ScriptAgentRawMessage(const std::string& name, const std::string& xml) {
  return core_->ScriptAgentRawMessage(name, xml);
}
bool ZTRemoteAgentServer::ScriptRunPass() { return core_->ScriptRunPass(); }
int ZTRemoteAgentServer::ScriptRunPoolJobs() { return core_->ScriptRunPoolJobs(); }
std::vector<std::unique_ptr<CNMessageBase>> ZTRemoteAgentServer::ScriptTakeSent(const std::string& name) {
  return core_->ScriptTakeSent(name);
}
std::vector<std::string> ZTRemoteAgentServer::ScriptTakeStarts() { return core_->ScriptTakeStarts(); }
bool ZTRemoteAgentServer::ScriptStopRequested(const std::string& name) const {
  return core_->ScriptStopRequested(name);
}
