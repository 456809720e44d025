#pragma once
#include <memory>
#include <string>

class CNMessageBase;

namespace remoteagent {
class ClientCore;
class ServerCore;
}

// The agent side of the remote-agent framework.
//
// In an agent process the application calls ConnectToServer(argc, argv) with the process's command line
// (the framework put its own options there: "-raaddr", "-raport", "-raname", "-cn") and then
// Main(argc, argv). In the coordinator's process the same object is registered with the server as the
// local agent (ZTRemoteAgentServer::AddLocalAgent) and the server drives the same loop on a thread of its
// own; ConnectToServer and Main are not used then.
//
// The loop calls OnAgentStarted() once, then OnMsgReceived() for each message from the server in the
// order they were sent, and OnIdle() after each batch and at least once per select time-out. It ends when
// the server says stop, the connection ends, or the quit flag is set; it then calls OnAgentStopped() once
// (messages sent from there still reach the server, before the agent is reported stopped) and returns.
// A local agent's object must outlive the server's Deinitialize, which ends its run; each new run (a
// restart) clears the quit flag the previous run ended with, while a flag set before the first run
// ends that run at once. Failing or cutting off the local agent sets its quit flag.
class ZTRemoteAgentClient {
 public:
  ZTRemoteAgentClient();
  virtual ~ZTRemoteAgentClient();

  ZTRemoteAgentClient(const ZTRemoteAgentClient&) = delete;
  ZTRemoteAgentClient& operator=(const ZTRemoteAgentClient&) = delete;

  // Reads the framework's options, connects to the loopback address and announces the agent; true
  // once the server accepted it. False (with a logged reason) for missing or bad options, a non-loopback
  // address, a refused connection or a refused hello.
  bool ConnectToServer(int argc, char** argv);

  // The agent's loop (see above). False when the client is not connected; true after a normal end.
  virtual bool Main(int argc, char** argv);
  virtual void OnIdle();
  virtual void OnAgentStarted();
  virtual void OnAgentStopped();
  // The message lives until the callback returns. Unknown but well-formed tags arrive as plain messages.
  virtual void OnMsgReceived(const CNMessageBase& message);

  // Thread-safe. False when the client is not connected (or no longer) or the message cannot be
  // serialised.
  bool SendMsgToServer(const CNMessageBase& message);
  // Thread-safe; ends the loop soon after.
  void SetQuitFlag();
  bool CheckQuitFlag() const;

  // Longest wait of the loop between two OnIdle passes (default 10 s; at least 1 ms).
  void SetSelectTimeoutMs(int milliseconds);
  // The agent's name as the server knows it (from "-raname", or the local agent's name).
  std::string GetAgentName() const;
  bool IsConnected() const;

 private:
  friend class remoteagent::ServerCore;
  std::unique_ptr<remoteagent::ClientCore> core_;
};
