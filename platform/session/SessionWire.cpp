#include "platform/session/SessionWire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/os/ZtTime.h"
#include "platform/remoteagent/RAFrame.h"

namespace session {

std::string MakeXdrBody(unsigned long type, const std::string& data) {
  char head[16];
  std::snprintf(head, sizeof(head), "%08lx", type & 0xFFFFFFFFUL);
  return head + data;
}

bool ParseXdrBody(const std::string& body, unsigned long& type, std::string& data) {
  if (body.size() < 8) return false;
  unsigned long value = 0;
  for (size_t i = 0; i < 8; ++i) {
    const char c = body[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  type = value;
  data = body.substr(8);
  return true;
}

int ConnectLoopback(int port, int timeoutMs, CPxError& error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = CPxError::FromErrno(errno, "socket");
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    const long long deadline = ZtClock::DeadlineAfter(CTimeInterval::FromMilliseconds(timeoutMs));
    pollfd p{fd, POLLOUT, 0};
    int ready = 0;
    for (;;) {
      const int wait = ZtClock::PollMs(deadline, remoteagent::kTimeOutLookMs);
      if (wait == 0) break;
      ready = poll(&p, 1, wait);
      if (ready > 0 || (ready < 0 && errno != EINTR)) break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
      rc = 0;
    } else {
      errno = ready == 1 ? err : ETIMEDOUT;
    }
  }
  if (rc != 0) {
    error = CPxError::FromErrno(errno, "connect to port " + std::to_string(port));
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace session
