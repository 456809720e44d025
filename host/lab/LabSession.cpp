// quarn-lab session: the two ends of the application-aware workflow's session services that a lab has
// no real peer for: the workflow's go-ahead to a waiting backup, and a guest agent's service that
// receives the requests to delete application snapshots.
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/Lab.h"
#include "platform/os/ZtTime.h"
#include "platform/session/CZtNetwork.h"
#include "platform/session/CZtNetworkServer.h"
#include "records/messages/VirtualServerMessages.h"

namespace labtool {
namespace {

constexpr int kTimeoutSeconds = 120;
constexpr int64_t kDefaultListenSeconds = 600;

int GoAhead(const Arguments& parsed) {
  const std::string client = TextOption(parsed, "client");
  const std::string service = TextOption(parsed, "service");
  const std::string vm = TextOption(parsed, "vm");
  if (client.empty() || service.empty() || vm.empty()) return UsageError("go-ahead needs --client, --service and --vm", "session");
  int64_t vmClientId = 0;
  std::string error;
  if (!CheckClient(client, error)) return UsageError(error, "session");
  if (!NumberOption(parsed, "vm-client-id", 0, INT32_MAX, vmClientId, error)) return UsageError(error, "session");
  using G = VirtualServer::VSAAppAwareWorkflowGoAhead;
  G message;
  message.setstring(G::F_guid, vm);
  message.setint64(G::F_vmClientId, vmClientId);
  CZtNetwork session;
  CPxError result = session.Attach_RemoteService(client, service, TextOption(parsed, "as", "workflow"), kTimeoutSeconds, false);
  if (result.IsError()) return Failure("cannot attach to service [" + service + "]: " + result.AsString());
  result = session.SendXMLMessage(message, 0, kTimeoutSeconds, false);
  if (result.IsError()) return Failure("cannot send the go-ahead: " + result.AsString());
  result = session.Disconnect(kTimeoutSeconds, false);
  if (result.IsError()) return Failure("the go-ahead was sent, the disconnect failed: " + result.AsString());
  std::printf("go-ahead for VM [%s] sent to service [%s] of client [%s]\n", vm.c_str(), service.c_str(),
              client.c_str());
  return kExitOk;
}

// What the listening end has seen.
struct Listener {
  CZtNetworkServer* server = nullptr;
  int requests = 0;
  long long deadline = 0;
};

void OnXml(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t, CNMessageBase* message) {
  auto* listener = static_cast<Listener*>(server->GetCustomData());
  using D = VirtualServer::VSAAppAwareSWSnapDeletion;
  if (reason == ZTN_CALLBACK_MESSAGE && message != nullptr && message->getTagID() == D::TAG) {
    std::printf("snapshot deletion: parentJobId=%lld appJobId=%lld requestFlag=%lld\n",
                static_cast<long long>(message->getint64(D::F_parentJobId)),
                static_cast<long long>(message->getint64(D::F_appJobId)),
                static_cast<long long>(message->getint64(D::F_requestFlag)));
    std::fflush(stdout);
    ++listener->requests;
  } else if (message != nullptr) {
    std::printf("message [0x%08X]\n", message->getTagID());
  }
  delete message;
}

void OnXdr(ZtnCallback_e, CZtNetworkServer* server, ZtnHandle_t handle, unsigned long type, ztsDatabuf_v2* buffer) {
  auto* listener = static_cast<Listener*>(server->GetCustomData());
  if (type == ZTS_PM_DISCONNECT_REQ) handle->ReplyDisconnect(30, false);
  // A session that sent a request and ended is all this end waits for.
  if ((type == ZTS_PM_DISCONNECT_REQ || type == ZTS_PM_CONNECTION_ABORTED) && listener->requests > 0)
    server->Quit(false, false);
  server->CleanXdrBuffer(buffer);
  delete buffer;
}

void OnIdle(void* context) {
  auto* listener = static_cast<Listener*>(context);
  if (ZtClock::MonotonicTicks() >= listener->deadline) listener->server->Quit(false, false);
}

int Listen(const Arguments& parsed) {
  const std::string client = TextOption(parsed, "client");
  const std::string service = TextOption(parsed, "service");
  if (client.empty() || service.empty()) return UsageError("listen needs --client and --service", "session");
  int64_t seconds = kDefaultListenSeconds;
  std::string error;
  if (!CheckClient(client, error)) return UsageError(error, "session");
  if (!NumberOption(parsed, "seconds", 1, 86400, seconds, error)) return UsageError(error, "session");
  lab::SetFocusClient(client);
  Listener listener;
  listener.deadline = ZtClock::DeadlineAfter(CTimeInterval::FromSeconds(seconds));
  CSessionPort port(4);
  CZtNetworkServer server(&OnXdr, &OnXml, service, &port);
  listener.server = &server;
  server.SetCustomData(&listener);
  server.SetIdleAcceptCallback(&OnIdle, 1, &listener);
  std::printf("listening on service [%s] of client [%s] for up to %lld s%s\n", service.c_str(), client.c_str(),
              static_cast<long long>(seconds), parsed.options.count("seconds") ? "" : " (the default; --seconds N)");
  std::fflush(stdout);
  const CPxError result = server.SelectData(1, 1, 1);
  if (result.IsError()) return Failure("service [" + service + "]: " + result.AsString());
  if (listener.requests == 0) return Failure("no snapshot deletion request arrived within " + std::to_string(seconds) + " s");
  return kExitOk;
}

}  // namespace

int Session(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("session"), parsed, error))
    return UsageError(error, "session");
  if (parsed.positional.size() != 2 || !parsed.passThrough.empty())
    return UsageError("session takes <lab> go-ahead|listen and options", "session");
  if (!SelectLab(parsed.positional[0], error)) return UsageError(error, "session");
  if (parsed.positional[1] == "go-ahead") return GoAhead(parsed);
  if (parsed.positional[1] == "listen") return Listen(parsed);
  return UsageError("unknown session command '" + parsed.positional[1] + "'", "session");
}

}  // namespace labtool
