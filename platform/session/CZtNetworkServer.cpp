#include "platform/session/CZtNetworkServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/lab/Lab.h"
#include "platform/lab/LabSessions.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/session/CZtNetwork.h"
#include "platform/session/SessionWire.h"

namespace {

constexpr int32_t kErrListen = -3041;

}  // namespace

CZtNetworkServer::CZtNetworkServer(XdrCallback xdr, XmlCallback xml, const std::string& serviceName, CSessionPort*)
    : xdr_(xdr), xml_(xml), serviceName_(serviceName), client_(lab::FocusClient()) {
  if (session::Faulted("session.Listen", setupError_)) return;
  if (!Listen()) return;
  std::string error;
  if (!lab::RegisterSessionService(client_, serviceName_, port_, error)) {
    setupError_ = CPxError(kErrListen, "Cannot register service [" + serviceName_ + "]: " + error);
    return;
  }
  try {
    reader_ = std::thread([this] { ReaderThread(); });
  } catch (...) {
    setupError_ = CPxError(kErrListen, "Cannot start the reader of service [" + serviceName_ + "]");
    lab::UnregisterSessionService(client_, serviceName_, port_);
  }
}

CZtNetworkServer::~CZtNetworkServer() {
  stopping_ = true;
  if (wakeFd_ >= 0) {
    const uint64_t one = 1;
    ssize_t ignored = write(wakeFd_, &one, sizeof one);
    (void)ignored;
  }
  if (reader_.joinable()) reader_.join();
  if (port_ != 0) lab::UnregisterSessionService(client_, serviceName_, port_);
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
  ZtMutexLock lock(mutex_);
  events_.clear();
  sessions_.clear();
}

bool CZtNetworkServer::Listen() {
  if (!lab::IsSafeComponent(client_) || !lab::IsSafeComponent(serviceName_)) {
    setupError_ = CPxError(kErrListen, "Service [" + serviceName_ + "] of client [" + client_ + "] is not a usable name");
    return false;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    setupError_ = CPxError::FromErrno(errno, "socket");
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    setupError_ = CPxError::FromErrno(errno, "listen on the loopback address");
    close(fd);
    return false;
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    setupError_ = CPxError::FromErrno(errno, "eventfd");
    close(fd);
    return false;
  }
  listenFd_ = fd;
  port_ = ntohs(addr.sin_port);
  return true;
}

void CZtNetworkServer::SetIdleAcceptCallback(IdleCallback callback, int seconds, void* context) {
  idle_ = callback;
  idleSeconds_ = seconds;
  idleContext_ = context;
}

void CZtNetworkServer::ReaderThread() {
  while (!stopping_.load()) {
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::vector<CZtNetwork*> polled;
    {
      ZtMutexLock lock(mutex_);
      for (const auto& session : sessions_) {
        if (session->ended_) continue;
        fds.push_back(pollfd{session->fd_.load(), POLLIN, 0});
        polled.push_back(session.get());
      }
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      ZtMutexLock lock(mutex_);
      readerFailed_ = true;
      changed_.notify_all();
      return;
    }
    if (fds[0].revents != 0) {
      uint64_t count = 0;
      ssize_t ignored = read(wakeFd_, &count, sizeof count);
      (void)ignored;
      continue;
    }
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        ZtMutexLock lock(mutex_);
        if (sessions_.size() < kMaxSessions)
          sessions_.emplace_back(new CZtNetwork(fd));
        else
          close(fd);
      }
    }
    for (size_t i = 0; i < polled.size(); ++i) {
      if (fds[i + 2].revents == 0) continue;
      CZtNetwork& session = *polled[i];
      if (ReadSession(session)) continue;
      session.ended_ = true;
      shutdown(session.fd_.load(), SHUT_RDWR);
      if (session.hello_ && !session.answered_.load()) {
        Event event;
        event.session = &session;
        event.reason = ZTN_CALLBACK_DISCONNECT;
        event.type = ZTS_PM_CONNECTION_ABORTED;
        Post(std::move(event));
      }
    }
  }
}

bool CZtNetworkServer::ReadSession(CZtNetwork& session) {
  char chunk[16384];
  const ssize_t n = recv(session.fd_.load(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
  if (n == 0) return false;
  session.reader_.Append(chunk, static_cast<size_t>(n));
  for (;;) {
    char kind = 0;
    std::string body;
    switch (session.reader_.Next(kind, body)) {
      case remoteagent::FrameReader::Result::kNeedMore:
        return true;
      case remoteagent::FrameReader::Result::kFault:
        return false;
      case remoteagent::FrameReader::Result::kFrame:
        if (!OnFrame(session, kind, body)) return false;
        break;
    }
  }
}

bool CZtNetworkServer::OnFrame(CZtNetwork& session, char kind, const std::string& body) {
  Event event;
  event.session = &session;
  if (!session.hello_) {
    if (kind != session::kHello || !lab::IsSafeComponent(body)) return false;
    session.peerName_ = body;
    session.hello_ = true;
    if (session.SendFrame(session::kAccept, std::string()).IsError()) return false;
    event.reason = ZTN_CALLBACK_CONNECT;
    event.type = ZTS_TYPE_NEW_CONNECTION;
  } else if (kind == session::kXml) {
    event.message = CNMessageBase::CreateFromXml(body, nullptr);
    if (!event.message) return false;
    event.xml = true;
  } else if (kind == session::kXdr) {
    if (!session::ParseXdrBody(body, event.type, event.data)) return false;
  } else {
    return false;
  }
  Post(std::move(event));
  return true;
}

void CZtNetworkServer::Post(Event event) {
  ZtMutexLock lock(mutex_);
  events_.push_back(std::move(event));
  changed_.notify_all();
}

CPxError CZtNetworkServer::SelectData(int, int, int) {
  if (setupError_.IsError()) return setupError_;
  const bool ticks = idle_ != nullptr && idleSeconds_ > 0;
  const CTimeInterval interval = CTimeInterval::FromSeconds(idleSeconds_);
  long long nextIdle = ticks ? ZtClock::DeadlineAfter(interval) : ZtClock::kNoDeadline;
  for (;;) {
    Event event;
    bool have = false;
    {
      ZtMutexLock lock(mutex_);
      while (!quit_ && !readerFailed_ && events_.empty() && ZtClock::MonotonicTicks() < nextIdle)
        changed_.wait_until(mutex_, nextIdle);
      if (quit_) return CPxError();
      if (readerFailed_) return CPxError(kErrListen, "The reader of service [" + serviceName_ + "] failed");
      if (!events_.empty()) {
        event = std::move(events_.front());
        events_.pop_front();
        have = true;
      }
    }
    if (have) {
      Dispatch(event);
      continue;
    }
    // Every interval that has passed gets its tick, however late the loop looks.
    idle_(idleContext_);
    nextIdle = (CTimeInterval(nextIdle) + interval).Ticks();
  }
}

void CZtNetworkServer::Dispatch(Event& event) {
  if (event.xml) {
    if (xml_ != nullptr) xml_(event.reason, this, event.session, event.message.release());
    return;
  }
  if (xdr_ == nullptr) return;
  ztsDatabuf_v2* buffer = new ztsDatabuf_v2();
  buffer->type = event.type;
  buffer->data = std::move(event.data);
  xdr_(event.reason, this, event.session, event.type, buffer);
}

void CZtNetworkServer::Quit(bool, bool) {
  ZtMutexLock lock(mutex_);
  quit_ = true;
  changed_.notify_all();
}

bool CZtNetworkServer::IsOwnSession(ZtnHandle_t handle) {
  ZtMutexLock lock(mutex_);
  for (const auto& session : sessions_)
    if (session.get() == handle) return true;
  return false;
}

CPxError CZtNetworkServer::AcquireSession(ZtnHandle_t handle) {
  if (handle == nullptr || !IsOwnSession(handle)) return CPxError(kErrListen, "No such session");
  ++handle->acquired_;
  return CPxError();
}

CPxError CZtNetworkServer::ReleaseSession(ZtnHandle_t handle) {
  if (handle == nullptr || !IsOwnSession(handle) || handle->acquired_ == 0)
    return CPxError(kErrListen, "The session is not acquired");
  --handle->acquired_;
  return CPxError();
}

void CZtNetworkServer::CleanXdrBuffer(ztsDatabuf_v2* buffer) {
  if (buffer == nullptr) return;
  buffer->type = 0;
  buffer->data.clear();
}
