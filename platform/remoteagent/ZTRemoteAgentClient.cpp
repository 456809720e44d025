#include "platform/remoteagent/ZTRemoteAgentClient.h"

#include "platform/msg/CNMessageBase.h"
#include "platform/remoteagent/RAClientCore.h"

ZTRemoteAgentClient::ZTRemoteAgentClient() : core_(std::make_unique<remoteagent::ClientCore>(this)) {}

ZTRemoteAgentClient::~ZTRemoteAgentClient() = default;

bool ZTRemoteAgentClient::ConnectToServer(int argc, char** argv) { return core_->Connect(argc, argv); }

bool ZTRemoteAgentClient::Main(int, char**) { return core_->Run(); }

void ZTRemoteAgentClient::OnIdle() {}
void ZTRemoteAgentClient::OnAgentStarted() {}
void ZTRemoteAgentClient::OnAgentStopped() {}
void ZTRemoteAgentClient::OnMsgReceived(const CNMessageBase&) {}

bool ZTRemoteAgentClient::SendMsgToServer(const CNMessageBase& message) { return core_->Send(message); }
void ZTRemoteAgentClient::SetQuitFlag() { core_->SetQuit(); }
bool ZTRemoteAgentClient::CheckQuitFlag() const { return core_->Quit(); }
void ZTRemoteAgentClient::SetSelectTimeoutMs(int milliseconds) { core_->SetSelectTimeoutMs(milliseconds); }
std::string ZTRemoteAgentClient::GetAgentName() const { return core_->Name(); }
bool ZTRemoteAgentClient::IsConnected() const { return core_->Connected(); }
