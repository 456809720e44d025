#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "platform/ev/EvEvent.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/os/ZtMutex.h"

class CNMessageBase;
class ZTRemoteAgentClient;

namespace remoteagent {

class ServerCore;
struct AgentEntry;

// The path from a local agent to its server for one run (internal). Detached when the run ends or the
// server goes away; posts after that are refused.
class LocalLink {
 public:
  LocalLink(ServerCore* server, AgentEntry* agent, uint64_t gen) : server_(server), agent_(agent), gen_(gen) {}
  bool Post(std::unique_ptr<CNMessageBase> message);
  void Detach();

 private:
  ZtMutex mu_;
  ServerCore* server_ GUARDED_BY(mu_);
  AgentEntry* const agent_;
  const uint64_t gen_;
};

// Internals of ZTRemoteAgentClient: the incoming queue and the loop, over a socket (agent process) or
// over a LocalLink (the coordinator's own agent).
class ClientCore {
 public:
  explicit ClientCore(ZTRemoteAgentClient* owner);
  ~ClientCore();

  bool Connect(int argc, char** argv);
  bool Run();
  bool Send(const CNMessageBase& message);
  void SetQuit();
  bool Quit() const { return quit_.load(); }
  void SetSelectTimeoutMs(int ms);
  std::string Name();
  bool Connected() const { return connected_.load(); }

  // Local runs, driven by the server. Attach resets the quit flag and the queue for a new run.
  bool AttachLocal(const std::shared_ptr<LocalLink>& link, const std::string& name);
  void DetachLocal();
  void PushMessage(std::string xml);
  void PushStop();

 private:
  enum class ItemKind { kMessage, kStop, kClosed };
  struct Item {
    ItemKind kind;
    std::string xml;
  };
  void Push(Item item);
  void ReaderThread();
  // The reader's pause while the loop is behind (Backlog), until it caught up or reading stops.
  void WaitForRoom();
  void CloseSocket();

  ZTRemoteAgentClient* const owner_;
  EvEvent ev_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> running_{false};
  std::atomic<int> selectTimeoutMs_{10000};

  ZtMutex mu_;
  ZtCondition cv_;
  std::deque<Item> incoming_ GUARDED_BY(mu_);
  Backlog backlog_;  // the messages of incoming_; changed under mu_
  std::string name_ GUARDED_BY(mu_);
  std::shared_ptr<LocalLink> link_ GUARDED_BY(mu_);
  int localRuns_ GUARDED_BY(mu_) = 0;  // local runs attached so far

  // Agent process only.
  int fd_ = -1;               // set by Connect, closed by Run's end (or the destructor)
  FrameReader reader_;        // Connect's reader; the reader thread continues with it
  std::thread reader_thread_;
  std::atomic<bool> stopReading_{false};
  std::atomic<bool> readerEnded_{false};
  ZtMutex writeMu_;
  bool writeClosed_ GUARDED_BY(writeMu_) = true;
};

}  // namespace remoteagent
