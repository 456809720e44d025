#include "platform/remoteagent/RAConnection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/msg/CNMessageBase.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/remoteagent/RAServerCore.h"

namespace remoteagent {
namespace {

constexpr const char* kSig = "void remoteagent::Connection::Run()";
// A connection that does not identify itself within this time is dropped (shorter when the start-up
// time-out is shorter). An agent says hello as soon as it is connected; only strangers need longer.
constexpr int kHelloTimeoutMs = 2000;
// A hello is a name and a key; a peer that sends more before it has said who it is is not an agent.
// Without this bound every unidentified connection could hold a whole 16 MiB frame.
constexpr size_t kMaxHelloBytes = 4096;
// Bytes read in one go before the connection looks at its output again.
constexpr size_t kReadBurst = 256 * 1024;

}  // namespace

Connection::Connection(ServerCore* server, int fd)
    : server_(server),
      fd_(fd),
      helloDeadline_(ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(
          std::max(100, std::min(kHelloTimeoutMs, server->StartupTimeoutMs()))))) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Connection::~Connection() {
  Join();
  if (wakeFd_ >= 0) close(wakeFd_);
  ZtMutexLock lock(mu_);
  if (!closed_) {
    closed_ = true;
    close(fd_);
  }
}

bool Connection::Start() {
  if (wakeFd_ < 0) return false;
  std::shared_ptr<Connection> self = shared_from_this();
  try {
    thread_ = std::thread([self] { self->Run(); });
  } catch (...) {
    return false;
  }
  return true;
}

void Connection::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Connection::Wake() {
  if (wakeFd_ < 0) return;
  uint64_t one = 1;
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

void Connection::Close() {
  closeRequested_ = true;
  Wake();
}

void Connection::DrainAndClose() {
  drainRequested_ = true;
  Wake();
}

void Connection::Delivered(size_t bytes) {
  if (backlog_.Take(1, static_cast<long long>(bytes)) && paused_.load()) {
    paused_ = false;
    Wake();
  }
}

bool Connection::Send(const std::string& frame) {
  ZtMutexLock lock(mu_);
  if (closed_ || overflow_ || closeRequested_.load()) return false;
  if (out_.empty()) {
    long n = SendSome(fd_, frame.data(), frame.size());
    if (n < 0) {
      overflow_ = true;
      Wake();
      return false;
    }
    if (static_cast<size_t>(n) == frame.size()) return true;
    out_.append(frame, static_cast<size_t>(n), std::string::npos);
  } else {
    out_.append(frame);
  }
  if (out_.size() > kMaxQueuedBytes) {
    // The peer stopped reading; holding more would only grow memory.
    overflow_ = true;
  }
  Wake();
  return !overflow_;
}

bool Connection::FlushLocked() {
  while (!out_.empty()) {
    long n = SendSome(fd_, out_.data(), out_.size());
    if (n < 0) return false;
    if (n == 0) return true;
    out_.erase(0, static_cast<size_t>(n));
  }
  return true;
}

bool Connection::Identify(FrameReader& reader, bool& attached) {
  char kind = 0;
  std::string body;
  for (;;) {
    FrameReader::Result r = reader.Next(kind, body);
    if (r == FrameReader::Result::kFault) return false;
    if (r == FrameReader::Result::kFrame) break;
    if (closeRequested_.load() || reader.Buffered() > kMaxHelloBytes) return false;
    const int wait = ZtClock::PollMs(helloDeadline_, kTimeOutLookMs);
    if (wait == 0) return false;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int pr = poll(fds, 2, wait);
    if (pr < 0 && errno != EINTR) return false;
    if (pr <= 0) continue;
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      ssize_t ignored = read(wakeFd_, &count, sizeof count);
      (void)ignored;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[4096];
      ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n == 0) return false;
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return false;
      }
      reader.Append(chunk, static_cast<size_t>(n));
    }
  }
  std::string name, key;
  if (kind != kHello || !ParseHello(body, name, key)) {
    server_->Log().Error(kSig, "A loopback connection sent no valid hello; dropped");
    return false;
  }
  // Before the attach makes the agent started: whoever hears of that may admit more connections, and
  // must not take this one for a stranger to evict.
  awaitingHello_ = false;
  if (!server_->AttachConnection(name, key, shared_from_this(), agent_, gen_)) return false;
  // From here on the server knows the agent by this connection, and must hear when it ends, even if
  // the accept cannot be sent.
  attached = true;
  std::string accept;
  EncodeFrame(kAccept, std::string(), accept);
  return Send(accept);
}

void Connection::Run() {
  FrameReader reader;
  bool attached = false;
  const bool identified = Identify(reader, attached);
  awaitingHello_ = false;
  const char* why = "the connection was closed";
  if (identified) {
    std::vector<ReadMessage> batch;
    long long batchBytes = 0;
    bool ending = false;
    while (!ending) {
      if (closeRequested_.load()) {
        why = "the connection was closed by the server";
        break;
      }
      bool wantOut = false;
      {
        ZtMutexLock lock(mu_);
        if (overflow_) {
          why = "its messages could not be sent (send queue full or socket error)";
          break;
        }
        wantOut = !out_.empty();
      }
      const bool draining = drainRequested_.load();
      const bool reading = !paused_.load() || draining;
      pollfd fds[2] = {{fd_, static_cast<short>((reading ? POLLIN : 0) | (wantOut ? POLLOUT : 0)), 0},
                       {wakeFd_, POLLIN, 0}};
      if (!reading && !wantOut) fds[0].fd = -1;
      int pr = poll(fds, 2, draining ? 0 : -1);
      if (pr < 0) {
        if (errno == EINTR) continue;
        why = "waiting on the socket failed";
        break;
      }
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        ssize_t ignored = read(wakeFd_, &count, sizeof count);
        (void)ignored;
      }
      const short rev = fds[0].fd < 0 ? 0 : fds[0].revents;
      // A hang-up is read through even while paused: what the peer sent before it left is finite.
      if ((rev & (POLLIN | POLLHUP | POLLERR)) || draining) {
        size_t total = 0;
        bool atEnd = false;
        while (total < kReadBurst) {
          char chunk[65536];
          ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
          if (n > 0) {
            reader.Append(chunk, static_cast<size_t>(n));
            total += static_cast<size_t>(n);
            continue;
          }
          if (n < 0 && errno == EINTR) continue;
          if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
          atEnd = true;  // end of stream, or an error such as a reset: either way nothing more comes
          break;
        }
        char kind = 0;
        std::string body;
        for (;;) {
          FrameReader::Result r = reader.Next(kind, body);
          if (r == FrameReader::Result::kNeedMore) break;
          if (r == FrameReader::Result::kFault) {
            why = "it sent an empty or oversized frame";
            server_->Log().Error(kSig, "Agent [%s] sent an empty or oversized frame; cutting it off",
                                 agent_->name.c_str());
            ending = true;
            break;
          }
          if (kind == kMessage) {
            std::string error;
            std::unique_ptr<CNMessageBase> message = CNMessageBase::CreateFromXml(body, &error);
            if (!message) {
              why = "it sent a malformed message";
              server_->Log().Error(kSig, "Agent [%s] sent a malformed message (%s); cutting it off",
                                   agent_->name.c_str(), error.c_str());
              ending = true;
              break;
            }
            const size_t bytes = body.size() + 5;  // length, kind and body
            batch.push_back(ReadMessage{std::move(message), bytes});
            batchBytes += static_cast<long long>(bytes);
          } else if (kind == kBye) {
            why = "it left";
            ending = true;
            break;
          } else {
            why = "it sent an unexpected frame";
            server_->Log().Error(kSig, "Agent [%s] sent an unexpected frame kind %d; cutting it off",
                                 agent_->name.c_str(), static_cast<int>(static_cast<unsigned char>(kind)));
            ending = true;
            break;
          }
        }
        if (!batch.empty()) {
          // Counted before posting so the loop's decrements never run ahead of this count.
          const bool full = backlog_.Add(static_cast<long>(batch.size()), batchBytes);
          server_->PostMessages(agent_, gen_, batch, shared_from_this());
          batch.clear();
          batchBytes = 0;
          if (full && !paused_.load()) {
            server_->Log().Debug(kSig, "Agent [%s] is %ld messages (%lld bytes) ahead of the loop; reading paused",
                                 agent_->name.c_str(), backlog_.Messages(), backlog_.Bytes());
            paused_ = true;
            // The loop may have caught up already, without seeing the pause.
            if (backlog_.CanResume()) paused_ = false;
          }
        }
        if (!ending && (atEnd || (draining && total < kReadBurst))) {
          why = atEnd ? "the connection ended" : "its process ended";
          ending = true;
        }
      }
      if (!ending && (rev & POLLOUT)) {
        ZtMutexLock lock(mu_);
        if (!FlushLocked()) {
          why = "writing to it failed";
          ending = true;
        }
      }
    }
  }
  {
    ZtMutexLock lock(mu_);
    closed_ = true;
    out_.clear();
    close(fd_);
  }
  if (attached) server_->ConnectionEnded(agent_, gen_, this, why);
  finished_ = true;
}

}  // namespace remoteagent
