// The loopback side of the server: the listener, accepted connections and what they report.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/msg/CNMessageBase.h"
#include "platform/remoteagent/RAConnection.h"
#include "platform/remoteagent/RAServerCore.h"

namespace remoteagent {
namespace {

const char* const kSigListen = "bool ZTRemoteAgentServer::OpenListener()";
const char* const kSigHello = "bool ZTRemoteAgentServer::AcceptAgent(const std::string&)";
// Connections that have not said who they are yet; a newcomer beyond this closes the oldest of them.
constexpr int kMaxUnidentified = 64;

}  // namespace

bool ServerCore::EnsureListener() {
  ZtMutexLock lock(listenerMu_);
  if (listenFd_ >= 0) return true;
  if (listenerClosed_) return false;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ev_.Error(kSigListen, "socket failed, errno %d", errno);
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 256) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ev_.Error(kSigListen, "Cannot listen on the loopback address, errno %d", errno);
    close(fd);
    return false;
  }
  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    close(fd);
    return false;
  }
  try {
    acceptor_ = std::thread([this, fd, wake] { AcceptorThread(fd, wake); });
  } catch (...) {
    close(fd);
    close(wake);
    return false;
  }
  listenFd_ = fd;
  acceptorWake_ = wake;
  listenPort_ = ntohs(addr.sin_port);
  ev_.Debug(kSigListen, "Listening for agents on 127.0.0.1:%d", listenPort_.load());
  return true;
}

void ServerCore::AcceptorThread(int listenFd, int wakeFd) {
  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int pr = poll(fds, 2, -1);
    if (pr < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents & POLLIN) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      // Out of descriptors or similar: wait a little instead of spinning on the same error.
      poll(&fds[1], 1, 50);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ZtMutexLock lock(mu_);
    if (closing_) {
      close(fd);
      continue;
    }
    AdmitConnectionLocked(fd);
  }
}

void ServerCore::AdmitConnectionLocked(int fd) {
  // Refusing the newcomer instead would let anyone who keeps connections open stop every agent from
  // starting; an agent says hello as soon as it is connected, so it is never the oldest for long.
  int waiting = 0;
  Connection* oldest = nullptr;
  for (auto& conn : connections_) {
    if (!conn->AwaitingHello()) continue;
    if (oldest == nullptr) oldest = conn.get();
    ++waiting;
  }
  if (waiting >= kMaxUnidentified && oldest != nullptr) {
    ev_.Error(kSigListen, "%d loopback connections have not said hello; closing the oldest", waiting);
    oldest->Close();
  }
  auto conn = std::make_shared<Connection>(this, fd);
  connections_.push_back(conn);
  if (!conn->Start()) connections_.pop_back();
}

bool ServerCore::AttachConnection(const std::string& name, const std::string& key,
                                  const std::shared_ptr<Connection>& conn, AgentEntry*& agentOut, uint64_t& genOut) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  if (agent == nullptr || agent->local) {
    ev_.Error(kSigHello, "Hello from unknown agent [%s]; dropped", name.c_str());
    return false;
  }
  // Only the process of the current launch may become the agent: a stale process of an earlier start,
  // or anyone else on the machine, does not know the key.
  if (closing_ || agent->phase != AgentPhase::kLaunching || agent->key != key || agent->conn) {
    ev_.Error(kSigHello, "Unexpected hello for agent [%s]; dropped", name.c_str());
    return false;
  }
  agent->phase = AgentPhase::kConnected;
  agent->saidHello = true;
  agent->conn = conn;
  agentOut = agent;
  genOut = agent->gen;
  QueueSimpleLocked(AgentEvent::Type::kStarted, agent, agent->gen);
  launchCv_.notify_all();
  return true;
}

void ServerCore::PostMessages(AgentEntry* agent, uint64_t gen, std::vector<ReadMessage>& messages,
                              const std::shared_ptr<Connection>& conn) {
  ZtMutexLock lock(mu_);
  if (agent->gen != gen || agent->phase != AgentPhase::kConnected) {
    for (const ReadMessage& read : messages) conn->Delivered(read.bytes);
    return;
  }
  for (ReadMessage& read : messages) {
    AgentEvent event;
    event.type = AgentEvent::Type::kMessage;
    event.agent = agent;
    event.gen = gen;
    event.message = std::move(read.message);
    event.conn = conn;
    event.bytes = read.bytes;
    events_.push_back(std::move(event));
  }
  eventsCv_.notify_all();
}

void ServerCore::ConnectionEnded(AgentEntry* agent, uint64_t gen, const Connection* conn, const char* why) {
  ZtMutexLock lock(mu_);
  if (agent->gen != gen || agent->phase != AgentPhase::kConnected || agent->conn.get() != conn) return;
  agent->phase = AgentPhase::kDown;
  agent->conn.reset();
  ev_.Debug(kSigHello, "Agent [%s] is gone: %s", agent->name.c_str(), why);
  QueueSimpleLocked(AgentEvent::Type::kStopped, agent, gen);
}

}  // namespace remoteagent
