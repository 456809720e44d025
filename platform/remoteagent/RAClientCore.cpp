#include "platform/remoteagent/RAClientCore.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/remoteagent/RAServerCore.h"
#include "platform/remoteagent/ZTRemoteAgentClient.h"

namespace remoteagent {
namespace {

const char* const kSigConnect = "bool ZTRemoteAgentClient::ConnectToServer(int, char**)";
const char* const kSigMain = "virtual bool ZTRemoteAgentClient::Main(int, char**)";
const char* const kSigSend = "bool ZTRemoteAgentClient::SendMsgToServer(const CNMessageBase&)";

constexpr int kConnectTimeoutMs = 10000;
// A reader paused for the loop looks whether it should stop at least this often (real milliseconds).
constexpr int kPausedLookMs = 200;
constexpr int kAcceptTimeoutMs = 30000;
// After its last frame the agent waits this long for the server to close, so that nothing it sent is
// cut short by a reset. A server slowed down by its loop reads the rest late, but it does read it (or
// cuts the agent off after its quit drain time), so the wait is generous.
constexpr int kByeTimeoutMs = 60000;

// The first value of an option, or null. Options are matched exactly.
const char* FindOption(int argc, char** argv, const char* option) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], option) == 0) return argv[i + 1];
  }
  return nullptr;
}

bool ParsePort(const char* text, int& port) {
  if (text == nullptr || *text == '\0' || std::strlen(text) > 5) return false;
  int value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = value;
  return true;
}

}  // namespace

bool LocalLink::Post(std::unique_ptr<CNMessageBase> message) {
  ZtMutexLock lock(mu_);
  if (server_ == nullptr) return false;
  server_->PostLocalMessage(agent_, gen_, std::move(message));
  return true;
}

void LocalLink::Detach() {
  ZtMutexLock lock(mu_);
  server_ = nullptr;
}

ClientCore::ClientCore(ZTRemoteAgentClient* owner) : owner_(owner) {}

ClientCore::~ClientCore() {
  stopReading_ = true;
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  if (reader_thread_.joinable()) reader_thread_.join();
  if (fd_ >= 0) close(fd_);
}

void ClientCore::SetSelectTimeoutMs(int ms) { selectTimeoutMs_ = ms < 1 ? 1 : ms; }

std::string ClientCore::Name() {
  ZtMutexLock lock(mu_);
  return name_;
}

void ClientCore::SetQuit() {
  quit_ = true;
  ZtMutexLock lock(mu_);
  cv_.notify_all();
}

void ClientCore::Push(Item item) {
  ZtMutexLock lock(mu_);
  if (item.kind == ItemKind::kMessage) backlog_.Add(1, static_cast<long long>(item.xml.size()));
  incoming_.push_back(std::move(item));
  cv_.notify_all();
}

void ClientCore::PushMessage(std::string xml) { Push(Item{ItemKind::kMessage, std::move(xml)}); }
void ClientCore::PushStop() { Push(Item{ItemKind::kStop, std::string()}); }

bool ClientCore::AttachLocal(const std::shared_ptr<LocalLink>& link, const std::string& name) {
  if (running_.load() || fd_ >= 0) return false;
  ZtMutexLock lock(mu_);
  link_ = link;
  name_ = name;
  incoming_.clear();
  backlog_.Clear();
  // A restart starts afresh: the flag that ended the previous run must not end this one at once. A
  // flag set before the first run (a service shut-down) stands.
  if (localRuns_++ > 0) quit_ = false;
  connected_ = true;
  return true;
}

void ClientCore::DetachLocal() {
  ZtMutexLock lock(mu_);
  link_.reset();
  connected_ = false;
}

bool ClientCore::Connect(int argc, char** argv) {
  if (connected_.load() || fd_ >= 0) {
    ev_.Error(kSigConnect, "Already connected");
    return false;
  }
  const char* address = FindOption(argc, argv, kOptAddress);
  const char* portText = FindOption(argc, argv, kOptPort);
  const char* name = FindOption(argc, argv, kOptName);
  const char* key = std::getenv(kKeyEnv);
  int port = 0;
  if (address == nullptr || portText == nullptr || name == nullptr) {
    ev_.Error(kSigConnect, "This process was not started by a coordinator (missing %s, %s or %s)", kOptAddress,
              kOptPort, kOptName);
    return false;
  }
  if (!IsLoopbackAddress(address)) {
    ev_.Error(kSigConnect, "Refusing coordinator address [%s]: only loopback addresses are used", address);
    return false;
  }
  if (!ParsePort(portText, port)) {
    ev_.Error(kSigConnect, "Bad coordinator port [%s]", portText);
    return false;
  }
  if (!lab::IsSafeComponent(name)) {
    ev_.Error(kSigConnect, "Bad agent name [%s]", name);
    return false;
  }
  if (key == nullptr || !IsValidKey(key)) {
    ev_.Error(kSigConnect, "The launch key of agent [%s] is missing or malformed", name);
    return false;
  }

  bool noSocket = false;
  const int fd = ConnectTimed(address, port, kConnectTimeoutMs, &noSocket);
  if (fd < 0) {
    if (noSocket)
      ev_.Error(kSigConnect, "socket failed, errno %d", errno);
    else
      ev_.Error(kSigConnect, "Cannot connect to the coordinator at %s:%d, errno %d", address, port, errno);
    return false;
  }
  if (!Greet(fd, kHello, MakeHelloBody(name, key), kAccept, reader_, kAcceptTimeoutMs)) {
    ev_.Error(kSigConnect, "The coordinator did not accept agent [%s]", name);
    return false;
  }
  fd_ = fd;
  {
    ZtMutexLock lock(mu_);
    name_ = name;
    incoming_.clear();
    backlog_.Clear();
  }
  {
    ZtMutexLock lock(writeMu_);
    writeClosed_ = false;
  }
  stopReading_ = false;
  readerEnded_ = false;
  connected_ = true;
  try {
    reader_thread_ = std::thread([this] { ReaderThread(); });
  } catch (...) {
    ev_.Error(kSigConnect, "No thread for the connection of agent [%s]", name);
    CloseSocket();
    return false;
  }
  ev_.Debug(kSigConnect, "Agent [%s] connected to the coordinator at %s:%d", name, address, port);
  return true;
}

void ClientCore::WaitForRoom() {
  ZtMutexLock lock(mu_);
  if (!backlog_.Full()) return;
  ev_.Debug(kSigMain, "%ld messages (%lld bytes) wait for the agent's loop; reading paused", backlog_.Messages(),
            backlog_.Bytes());
  while (!backlog_.CanResume() && !stopReading_.load()) cv_.wait_until(mu_, ZtClock::kNoDeadline, kPausedLookMs);
}

void ClientCore::ReaderThread() {
  bool fault = false;
  for (;;) {
    WaitForRoom();
    char kind = 0;
    std::string body;
    FrameReader::Result r = reader_.Next(kind, body);
    if (r == FrameReader::Result::kFault) {
      fault = true;
      break;
    }
    if (r == FrameReader::Result::kFrame) {
      if (stopReading_.load()) continue;  // leaving: what still comes is read only to reach the end
      if (kind == kMessage) {
        Push(Item{ItemKind::kMessage, std::move(body)});
      } else if (kind == kStop) {
        Push(Item{ItemKind::kStop, std::string()});
      } else {
        fault = true;
        break;
      }
      continue;
    }
    pollfd p{fd_, POLLIN, 0};
    int pr = poll(&p, 1, 200);
    if (pr < 0 && errno != EINTR) break;
    if (pr <= 0) continue;
    char chunk[65536];
    ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      reader_.Append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    break;  // end of stream or an error
  }
  if (fault) ev_.Error(kSigMain, "The coordinator sent a frame out of protocol; leaving");
  ZtMutexLock lock(mu_);
  readerEnded_ = true;
  incoming_.push_back(Item{ItemKind::kClosed, std::string()});
  cv_.notify_all();
}

void ClientCore::CloseSocket() {
  {
    ZtMutexLock lock(writeMu_);
    writeClosed_ = true;
  }
  stopReading_ = true;
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  if (reader_thread_.joinable()) reader_thread_.join();
  if (fd_ >= 0) {
    // Closing with unread input makes the kernel reset the connection, which throws away what this
    // side sent and the server has not read yet.
    char chunk[4096];
    while (recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
    close(fd_);
  }
  fd_ = -1;
  connected_ = false;
}

bool ClientCore::Send(const CNMessageBase& message) {
  std::string xml;
  if (!message.serialize(xml, true)) {
    ev_.Error(kSigSend, "Message [%s] could not be serialised", message.getTagName().c_str());
    return false;
  }
  std::shared_ptr<LocalLink> link;
  {
    ZtMutexLock lock(mu_);
    link = link_;
  }
  if (link) {
    // Through the codec all the same: the server gets its own object, never the sender's.
    std::unique_ptr<CNMessageBase> copy = CNMessageBase::CreateFromXml(xml, nullptr);
    if (!copy) {
      ev_.Error(kSigSend, "Message [%s] does not read back", message.getTagName().c_str());
      return false;
    }
    return link->Post(std::move(copy));
  }
  std::string frame;
  if (!EncodeFrame(kMessage, xml, frame)) {
    ev_.Error(kSigSend, "Message [%s] is too large (%zu bytes)", message.getTagName().c_str(), xml.size());
    return false;
  }
  ZtMutexLock lock(writeMu_);
  if (writeClosed_ || fd_ < 0) return false;
  if (!SendAllBlocking(fd_, frame)) {
    writeClosed_ = true;
    ev_.Error(kSigSend, "Sending to the coordinator failed, errno %d", errno);
    return false;
  }
  return true;
}

bool ClientCore::Run() {
  if (!connected_.load()) {
    ev_.Error(kSigMain, "The agent is not connected to a coordinator");
    return false;
  }
  bool expected = false;
  if (!running_.compare_exchange_strong(expected, true)) return false;
  const std::string name = Name();
  owner_->OnAgentStarted();
  bool running = true;
  while (running && !quit_.load()) {
    std::deque<Item> batch;
    {
      ZtMutexLock lock(mu_);
      const long long until = ZtClock::DeadlineAfter(CTimeInterval::FromMilliseconds(selectTimeoutMs_.load()));
      while (incoming_.empty() && !quit_.load()) {
        if (cv_.wait_until(mu_, until) == std::cv_status::timeout) break;
      }
      batch.swap(incoming_);
      long long bytes = 0;
      long messages = 0;
      for (const Item& item : batch) {
        if (item.kind != ItemKind::kMessage) continue;
        ++messages;
        bytes += static_cast<long long>(item.xml.size());
      }
      backlog_.Take(messages, bytes);
      cv_.notify_all();  // the reader may be waiting for room
    }
    for (Item& item : batch) {
      if (quit_.load()) break;
      if (item.kind != ItemKind::kMessage) {
        running = false;
        break;
      }
      std::string error;
      std::unique_ptr<CNMessageBase> message = CNMessageBase::CreateFromXml(item.xml, &error);
      if (!message) {
        ev_.Error(kSigMain, "Agent [%s] received a malformed message (%s); leaving", name.c_str(), error.c_str());
        running = false;
        break;
      }
      owner_->OnMsgReceived(*message);
    }
    if (running && !quit_.load()) owner_->OnIdle();
  }
  owner_->OnAgentStopped();
  if (fd_ >= 0) {
    std::string bye;
    EncodeFrame(kBye, std::string(), bye);
    {
      ZtMutexLock lock(writeMu_);
      if (!writeClosed_) SendAllBlocking(fd_, bye);
      writeClosed_ = true;
    }
    // Read on until the server closes, so the connection ends without a reset that could cut off
    // what was sent last.
    stopReading_ = true;
    shutdown(fd_, SHUT_WR);
    const long long until = ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(kByeTimeoutMs));
    {
      ZtMutexLock lock(mu_);
      while (!readerEnded_.load()) {
        incoming_.clear();
        backlog_.Clear();
        if (cv_.wait_until(mu_, until) == std::cv_status::timeout) break;
      }
      incoming_.clear();
      backlog_.Clear();
    }
    CloseSocket();
  }
  running_ = false;
  ev_.Debug(kSigMain, "Agent [%s] loop ended", name.c_str());
  return true;
}

}  // namespace remoteagent
