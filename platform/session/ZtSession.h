#pragma once
#include <string>

// Types of the session services: named listening services on loopback that other processes attach to
// and send messages (XML messages and typed data buffers) to.

class CZtNetwork;

// Why a server calls a callback.
enum ZtnCallback_e : int {
  ZTN_CALLBACK_READY = 1,       // the service is ready; no session
  ZTN_CALLBACK_CONNECT = 2,     // a session was attached
  ZTN_CALLBACK_MESSAGE = 3,     // a session sent something
  ZTN_CALLBACK_DISCONNECT = 5,  // a session ended without a disconnect
};

// A session of a server: the server-side end of an attached connection. Valid while its server lives.
using ZtnHandle_t = CZtNetwork*;

// A typed data buffer sent over a session.
struct ztsDatabuf_v2 {
  unsigned long type = 0;
  std::string data;
};

// Types of the data buffers the session layer itself uses.
constexpr unsigned long ZTS_TYPE_READY = 1;
constexpr unsigned long ZTS_TYPE_NEW_CONNECTION = 2;
constexpr unsigned long ZTS_TYPE_DISCONNECTED = 5;
constexpr unsigned long ZTS_PM_READY = 0x09000101;
constexpr unsigned long ZTS_PM_DISCONNECT_REQ = 0x09000102;
constexpr unsigned long ZTS_PM_CONNECTION_ABORTED = 0x09000103;
constexpr unsigned long ZTS_PM_CONNECTION_DROPPED = 0x0900030C;

// The port kind a service listens on; the lab's services all listen on loopback TCP.
class CSessionPort {
 public:
  explicit CSessionPort(int type) : type_(type) {}
  int getType() const { return type_; }

 private:
  int type_;
};
