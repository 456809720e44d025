#include "platform/remoteagent/RAFrame.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>

#include "platform/lab/Lab.h"
#include "platform/os/ZtTime.h"

namespace remoteagent {

bool EncodeFrame(char kind, const std::string& body, std::string& out) {
  const size_t payload = body.size() + 1;
  if (payload > kMaxFramePayload) return false;
  out.clear();
  out.reserve(payload + 4);
  out.push_back(static_cast<char>((payload >> 24) & 0xFF));
  out.push_back(static_cast<char>((payload >> 16) & 0xFF));
  out.push_back(static_cast<char>((payload >> 8) & 0xFF));
  out.push_back(static_cast<char>(payload & 0xFF));
  out.push_back(kind);
  out.append(body);
  return true;
}

FrameReader::Result FrameReader::Next(char& kind, std::string& body) {
  const size_t available = buffer_.size() - offset_;
  if (available < 4) return Result::kNeedMore;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(buffer_.data() + offset_);
  const size_t length = (static_cast<size_t>(p[0]) << 24) | (static_cast<size_t>(p[1]) << 16) |
                        (static_cast<size_t>(p[2]) << 8) | static_cast<size_t>(p[3]);
  if (length == 0 || length > kMaxFramePayload) return Result::kFault;
  if (available < 4 + length) return Result::kNeedMore;
  kind = buffer_[offset_ + 4];
  body.assign(buffer_, offset_ + 5, length - 1);
  offset_ += 4 + length;
  // Compact now and then so that a long stream does not keep every byte it ever read.
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > 1024 * 1024) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  return Result::kFrame;
}

bool Backlog::Add(long messages, long long bytes) {
  messages_ += messages;
  bytes_ += bytes;
  return Full();
}

bool Backlog::Take(long messages, long long bytes) {
  messages_ -= messages;
  bytes_ -= bytes;
  return CanResume();
}

bool Backlog::Full() const { return messages_.load() >= kPauseMessages || bytes_.load() >= kPauseBytes; }

bool Backlog::CanResume() const { return messages_.load() < kResumeMessages && bytes_.load() < kResumeBytes; }

void Backlog::Clear() {
  messages_ = 0;
  bytes_ = 0;
}

std::string MakeHelloBody(const std::string& name, const std::string& key) {
  std::string body = name;
  body.push_back('\0');
  body.append(key);
  return body;
}

bool IsValidKey(const std::string& key) {
  if (key.size() != kKeyLength) return false;
  for (char c : key) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool ParseHello(const std::string& body, std::string& name, std::string& key) {
  const size_t zero = body.find('\0');
  if (zero == std::string::npos) return false;
  std::string n = body.substr(0, zero);
  std::string k = body.substr(zero + 1);
  if (!lab::IsSafeComponent(n) || !IsValidKey(k)) return false;
  name = n;
  key = k;
  return true;
}

std::string NewLaunchKey() {
  unsigned char bytes[kKeyLength / 2] = {};
  bool filled = false;
  std::ifstream urandom("/dev/urandom", std::ios::binary);
  if (urandom) {
    urandom.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    filled = urandom.gcount() == static_cast<std::streamsize>(sizeof bytes);
  }
  if (!filled) {
    std::random_device device;
    std::mt19937_64 engine(device() ^ static_cast<uint64_t>(ZtClock::NowTicks()) ^
                           static_cast<uint64_t>(ZtClock::MonotonicTicks()));
    for (auto& b : bytes) b = static_cast<unsigned char>(engine());
  }
  static const char digits[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) {
    key.push_back(digits[b >> 4]);
    key.push_back(digits[b & 15]);
  }
  return key;
}

bool SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

long SendSome(int fd, const char* data, size_t size) {
  for (;;) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

bool SendAllBlocking(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR) return false;
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadFrameTimed(int fd, FrameReader& reader, char& kind, std::string& body, int timeoutMs) {
  const long long deadline = ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(timeoutMs));
  for (;;) {
    switch (reader.Next(kind, body)) {
      case FrameReader::Result::kFrame:
        return true;
      case FrameReader::Result::kFault:
        return false;
      case FrameReader::Result::kNeedMore:
        break;
    }
    const int wait = ZtClock::PollMs(deadline, kTimeOutLookMs);
    if (wait == 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) continue;
    char chunk[4096];
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    if (n == 0) return false;
    reader.Append(chunk, static_cast<size_t>(n));
  }
}

int ConnectTimed(const std::string& address, int port, int timeoutMs, bool* noSocket) {
  if (noSocket != nullptr) *noSocket = false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    errno = EINVAL;
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    if (noSocket != nullptr) *noSocket = true;
    return -1;
  }
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    const long long deadline = ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(timeoutMs));
    pollfd p{fd, POLLOUT, 0};
    int ready = 0;
    for (;;) {
      const int wait = ZtClock::PollMs(deadline, kTimeOutLookMs);
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
    const int failure = errno;
    close(fd);
    errno = failure;
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool Greet(int fd, char hello, const std::string& body, char accepted, FrameReader& reader, int timeoutMs) {
  std::string frame;
  EncodeFrame(hello, body, frame);
  char kind = 0;
  std::string answer;
  if (!SendAllBlocking(fd, frame) || !ReadFrameTimed(fd, reader, kind, answer, timeoutMs) || kind != accepted) {
    close(fd);
    reader = FrameReader();
    return false;
  }
  SetNonBlocking(fd, false);
  return true;
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr addr{};
  if (inet_pton(AF_INET, address.c_str(), &addr) != 1) return false;
  return (ntohl(addr.s_addr) >> 24) == 127;
}

}  // namespace remoteagent
