#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/os/ZtMutex.h"
#include "platform/remoteagent/RAFrame.h"

namespace remoteagent {

class ServerCore;
struct AgentEntry;

// One loopback connection of the server (internal). Its thread owns the socket: it waits for the hello,
// binds the connection to its agent, then reads frames (parsing messages on its own thread, so that
// several agents are parsed in parallel) and writes what senders queued. A peer that sends anything
// out of protocol is cut off; the server decides what is reported.
//
// Back-pressure: when too many of its messages, or too many bytes of them, wait for the loop, the
// connection stops reading until the loop caught up (Backlog).
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(ServerCore* server, int fd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Start();
  // Queues a frame for the peer; false once the connection is closing or its queue is over the limit
  // (the connection is then cut off).
  bool Send(const std::string& frame);
  // Stops at once; nothing more is read.
  void Close();
  // The peer's process is gone: reads what the socket still holds, then stops.
  void DrainAndClose();
  // One of this connection's messages (of that size on the wire) was handed to the callbacks.
  void Delivered(size_t bytes);
  void Join();
  bool Finished() const { return finished_.load(); }
  // Neither identified as an agent nor dropped yet (and not told to close).
  bool AwaitingHello() const { return awaitingHello_.load() && !closeRequested_.load(); }

  static constexpr size_t kMaxQueuedBytes = 256u * 1024u * 1024u;

 private:
  void Run();
  // Reads the hello before the hello deadline and binds the connection. False: not an agent.
  // attached: the hello was accepted, whether or not the accept could be sent.
  bool Identify(class FrameReader& reader, bool& attached);
  void Wake();
  // REQUIRES: mu_ held. Writes what the socket takes; false on a socket error.
  bool FlushLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);

  ServerCore* const server_;
  const int fd_;
  const long long helloDeadline_;  // platform clock; counted from the connection's arrival
  int wakeFd_ = -1;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> closeRequested_{false};
  std::atomic<bool> drainRequested_{false};
  std::atomic<bool> awaitingHello_{true};
  Backlog backlog_;
  std::atomic<bool> paused_{false};

  // Set once by Identify, before any message is read.
  AgentEntry* agent_ = nullptr;
  uint64_t gen_ = 0;

  ZtMutex mu_;
  std::string out_ GUARDED_BY(mu_);
  bool closed_ GUARDED_BY(mu_) = false;  // the socket is closed; nothing may be written
  bool overflow_ GUARDED_BY(mu_) = false;
};

}  // namespace remoteagent
