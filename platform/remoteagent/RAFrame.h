#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Wire format of the remote-agent framework (internal).
//
// A frame is a 4-byte big-endian length N followed by N payload bytes; the first payload byte is the
// frame kind, the rest its body. Bodies: kHello "<name>\0<key>", kMessage compact message XML, the
// others empty. A frame longer than kMaxFramePayload, an empty frame or an unknown kind is a protocol
// fault and ends the connection.
namespace remoteagent {

constexpr char kHello = 'H';    // agent -> server, first frame: who the agent is
constexpr char kAccept = 'A';   // server -> agent: hello accepted
constexpr char kMessage = 'M';  // both ways
constexpr char kStop = 'Q';     // server -> agent: leave now
constexpr char kBye = 'B';      // agent -> server: last frame, nothing follows

constexpr size_t kMaxFramePayload = 16u * 1024u * 1024u;
constexpr size_t kKeyLength = 32;  // hex digits

// The framework's own command-line options and the environment variable carrying the launch key.
constexpr const char* kOptAddress = "-raaddr";
constexpr const char* kOptPort = "-raport";
constexpr const char* kOptName = "-raname";
constexpr const char* kOptClient = "-cn";
constexpr const char* kKeyEnv = "QUARN_RA_KEY";

// Builds one frame; false when the payload would exceed the limit.
bool EncodeFrame(char kind, const std::string& body, std::string& out);

// Incremental decoder of a byte stream into frames.
class FrameReader {
 public:
  enum class Result { kNeedMore, kFrame, kFault };
  void Append(const char* data, size_t size) { buffer_.append(data, size); }
  // Takes the next complete frame out of the buffer. kFault for an empty or oversized frame; the reader
  // is unusable after a fault.
  Result Next(char& kind, std::string& body);
  size_t Buffered() const { return buffer_.size() - offset_; }

 private:
  std::string buffer_;
  size_t offset_ = 0;
};

// The messages a reader has handed on that their consumer has not taken yet, counted in messages and
// in bytes (thread-safe). A reader pauses once either count reaches its limit and resumes once both are
// below their resume marks, so a fast peer is slowed down by TCP instead of filling memory. Counting
// messages alone would let 2,048 frames of 16 MiB (32 GiB) wait.
class Backlog {
 public:
  static constexpr long kPauseMessages = 2048;
  static constexpr long kResumeMessages = 512;
  static constexpr long long kPauseBytes = 16LL * 1024 * 1024;
  static constexpr long long kResumeBytes = 4LL * 1024 * 1024;

  // Counts messages handed on; true when the reader should pause.
  bool Add(long messages, long long bytes);
  // Counts messages taken; true when a paused reader may resume.
  bool Take(long messages, long long bytes);
  bool Full() const;
  bool CanResume() const;
  void Clear();
  long Messages() const { return messages_.load(); }
  long long Bytes() const { return bytes_.load(); }

 private:
  std::atomic<long> messages_{0};
  std::atomic<long long> bytes_{0};
};

// Hello body helpers. ParseHello checks the name (a safe client name) and the key (hex of kKeyLength).
std::string MakeHelloBody(const std::string& name, const std::string& key);
bool ParseHello(const std::string& body, std::string& name, std::string& key);
// A fresh random launch key (hex).
std::string NewLaunchKey();
bool IsValidKey(const std::string& key);

// A time-out of a wait on a socket counts on the platform clock; when that clock is virtual and a test
// moves it past the deadline, the wait sees it within this many real milliseconds.
constexpr int kTimeOutLookMs = 50;

// Socket helpers. All sockets are close-on-exec; sends never raise SIGPIPE.
bool SetNonBlocking(int fd, bool on);
// Writes everything on a blocking socket; false on error.
bool SendAllBlocking(int fd, const std::string& data);
// Writes what the socket takes now; returns bytes written, -1 on a fatal error.
long SendSome(int fd, const char* data, size_t size);
// Reads one frame from a blocking-or-not socket within timeoutMs of the platform clock (used before the
// loops start).
bool ReadFrameTimed(int fd, FrameReader& reader, char& kind, std::string& body, int timeoutMs);
// Connects a TCP socket to a dotted IPv4 address within timeoutMs of the platform clock, with Nagle
// off; the socket is left non-blocking. -1 with errno otherwise (ETIMEDOUT when the time ran out);
// noSocket, when given, tells whether no socket could be had at all.
int ConnectTimed(const std::string& address, int port, int timeoutMs, bool* noSocket = nullptr);
// Sends the first frame of a connection and reads the answer within timeoutMs of the platform clock:
// true when it is of kind `accepted`, and the socket is then blocking. Otherwise the socket is
// closed and the reader emptied.
bool Greet(int fd, char hello, const std::string& body, char accepted, FrameReader& reader, int timeoutMs);

// True for a dotted IPv4 loopback address (127.0.0.0/8).
bool IsLoopbackAddress(const std::string& address);

}  // namespace remoteagent
