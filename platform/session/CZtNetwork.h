#pragma once
#include <atomic>
#include <string>

#include "platform/os/CPxError.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/session/ZtSession.h"

class CNMessageBase;
class CZtNetworkServer;

// One connection to a session service. A process attaches to a service by the client it runs on and
// its name (the lab's record of platform/lab/LabSessions.h names the port), sends messages and
// disconnects; a server hands its end of each attached connection to its callbacks as the session
// handle and answers a disconnect request with ReplyDisconnect. Every time-out counts on the platform
// clock. Fault table operations: "session.Attach", "session.SendXMLMessage", "session.Disconnect".
//
// A connection belongs to one thread at a time (a server's session: the thread running the server's
// callbacks, besides the server's reader).
class CZtNetwork {
 public:
  CZtNetwork();
  ~CZtNetwork();
  CZtNetwork(const CZtNetwork&) = delete;
  CZtNetwork& operator=(const CZtNetwork&) = delete;

  // Attaches to the service of the client, presenting this process's client name.
  CPxError Attach_RemoteService(const std::string& clientName, const std::string& service,
                                const std::string& ownClientName, int timeoutSeconds, bool flag);
  CPxError SendXMLMessage(const CNMessageBase& message, int flags, int timeoutSeconds, bool flag);
  CPxError SendXdrMessage(unsigned long type, const std::string& data, int timeoutSeconds);
  // Asks the service to end the session and waits for its answer; a service that ends the session
  // itself (or is gone) also ends it. Only a missing answer within the time is an error.
  CPxError Disconnect(int timeoutSeconds, bool flag);
  // A server's session: answers the peer's disconnect request and ends the session.
  CPxError ReplyDisconnect(int timeoutSeconds, bool flag);

  bool IsConnected() const { return fd_.load() >= 0; }
  // The client name the peer presented (a server's session).
  const std::string& GetPeerName() const { return peerName_; }

 private:
  friend class CZtNetworkServer;
  // A server's end of an accepted connection.
  explicit CZtNetwork(int acceptedFd);
  CPxError SendFrame(char kind, const std::string& body);
  void CloseSocket();

  std::atomic<int> fd_{-1};
  remoteagent::FrameReader reader_;
  std::string peerName_;
  // A server's session: hello_ and ended_ belong to the server's reader, acquired_ to its callbacks'
  // thread. The socket of a session stays open until its server goes, so that an answer sent while
  // the reader sees the end never reaches another connection that took the same descriptor.
  bool hello_ = false;
  bool ended_ = false;
  std::atomic<bool> answered_{false};  // ReplyDisconnect ended it: its end is no abort
  int acquired_ = 0;
};
