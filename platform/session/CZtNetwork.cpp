#include "platform/session/CZtNetwork.h"

#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include "platform/lab/Lab.h"
#include "platform/lab/LabSessions.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/os/ZtTime.h"
#include "platform/session/SessionWire.h"

namespace {

constexpr int32_t kErrSession = -3040;

CPxError SessionError(const std::string& text) { return CPxError(kErrSession, text); }

int TimeoutMs(int seconds) { return seconds <= 0 ? 0 : seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000; }

}  // namespace

CZtNetwork::CZtNetwork() = default;

CZtNetwork::CZtNetwork(int acceptedFd) : fd_(acceptedFd) {}

CZtNetwork::~CZtNetwork() { CloseSocket(); }

void CZtNetwork::CloseSocket() {
  const int fd = fd_.exchange(-1);
  if (fd >= 0) close(fd);
}

CPxError CZtNetwork::SendFrame(char kind, const std::string& body) {
  const int fd = fd_.load();
  if (fd < 0) return SessionError("The session is not attached");
  std::string frame;
  if (!remoteagent::EncodeFrame(kind, body, frame)) return SessionError("The message is too large for a session");
  if (!remoteagent::SendAllBlocking(fd, frame)) return CPxError::FromErrno(errno, "send");
  return CPxError();
}

CPxError CZtNetwork::Attach_RemoteService(const std::string& clientName, const std::string& service,
                                          const std::string& ownClientName, int timeoutSeconds, bool) {
  CPxError error;
  if (session::Faulted("session.Attach", error)) return error;
  if (IsConnected()) return SessionError("The connection is attached already");
  if (!lab::IsSafeComponent(ownClientName)) return SessionError("[" + ownClientName + "] is not a usable client name");
  int port = 0;
  std::string reason;
  if (!lab::LookupSessionService(clientName, service, port, reason)) return SessionError(reason);
  const int fd = session::ConnectLoopback(port, TimeoutMs(timeoutSeconds), error);
  if (fd < 0) return error;
  if (!remoteagent::Greet(fd, session::kHello, ownClientName, session::kAccept, reader_, TimeoutMs(timeoutSeconds)))
    return SessionError("Service [" + service + "] on client [" + clientName + "] did not accept the session");
  fd_ = fd;
  return CPxError();
}

CPxError CZtNetwork::SendXMLMessage(const CNMessageBase& message, int, int, bool) {
  CPxError error;
  if (session::Faulted("session.SendXMLMessage", error)) return error;
  std::string xml;
  if (!message.serialize(xml, true)) return SessionError("The message cannot be written as XML");
  return SendFrame(session::kXml, xml);
}

CPxError CZtNetwork::SendXdrMessage(unsigned long type, const std::string& data, int) {
  return SendFrame(session::kXdr, session::MakeXdrBody(type, data));
}

CPxError CZtNetwork::Disconnect(int timeoutSeconds, bool) {
  CPxError error;
  if (session::Faulted("session.Disconnect", error)) {
    CloseSocket();
    return error;
  }
  const int fd = fd_.load();
  if (fd < 0) return SessionError("The session is not attached");
  error = SendFrame(session::kXdr, session::MakeXdrBody(ZTS_PM_DISCONNECT_REQ, std::string()));
  char kind = 0;
  std::string body;
  bool answered = false;
  if (!error.IsError()) {
    // The answer, or the end of the session: either way the service has let go of it. Only a
    // service that neither answers nor ends it within the time fails the disconnect.
    const long long deadline = ZtClock::RealDeadlineAfter(CTimeInterval::FromSeconds(timeoutSeconds));
    answered = remoteagent::ReadFrameTimed(fd, reader_, kind, body, TimeoutMs(timeoutSeconds)) &&
               kind == session::kDisconnectReply;
    if (!answered && ZtClock::MonotonicTicks() >= deadline)
      error = SessionError("The service did not answer the disconnect request");
  }
  CloseSocket();
  return error;
}

CPxError CZtNetwork::ReplyDisconnect(int, bool) {
  CPxError error = SendFrame(session::kDisconnectReply, std::string());
  answered_ = true;
  const int fd = fd_.load();
  // The server's reader sees the end and closes the socket.
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  return error;
}
