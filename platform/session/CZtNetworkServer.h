#pragma once
#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/CPxError.h"
#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"
#include "platform/session/ZtSession.h"

class CNMessageBase;

// A named listening service on loopback. Made with its callbacks, it listens at once and registers its
// name for the focus client (platform/lab/LabSessions.h), so that peers can attach before SelectData
// runs; SelectData then runs the callbacks on the calling thread, in arrival order, and the idle
// callback once per idle interval of the platform clock, until Quit. A session's end without a
// disconnect reaches the XDR callback as ZTS_PM_CONNECTION_ABORTED. The XML callback owns the message
// it is given (delete it) and the XDR callback the buffer (CleanXdrBuffer, then delete it).
// Fault table operation: "session.Listen" (the service cannot listen: SelectData fails).
//
// Peers are untrusted: a peer whose first frame is not a hello, or that sends a malformed frame or
// message, is cut off; at most kMaxSessions sessions are accepted over the service's life.
class CZtNetworkServer {
 public:
  using XdrCallback = void (*)(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                               unsigned long type, ztsDatabuf_v2* buffer);
  using XmlCallback = void (*)(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle,
                               CNMessageBase* message);
  using IdleCallback = void (*)(void* context);
  static constexpr size_t kMaxSessions = 256;

  CZtNetworkServer(XdrCallback xdr, XmlCallback xml, const std::string& serviceName, CSessionPort* port);
  // Stops listening, takes the registration back and ends every session.
  ~CZtNetworkServer();
  CZtNetworkServer(const CZtNetworkServer&) = delete;
  CZtNetworkServer& operator=(const CZtNetworkServer&) = delete;

  void SetIdleAcceptCallback(IdleCallback callback, int seconds, void* context);
  void SetCustomData(void* data) { customData_ = data; }
  void* GetCustomData() const { return customData_; }
  // Runs the callbacks until Quit; an error when the service could not listen or its reader failed.
  CPxError SelectData(int flags1, int flags2, int seconds);
  // Ends SelectData once the callback running now (if any) returns. Any thread.
  void Quit(bool flag1, bool flag2);
  CPxError AcquireSession(ZtnHandle_t handle);
  CPxError ReleaseSession(ZtnHandle_t handle);
  void CleanXdrBuffer(ztsDatabuf_v2* buffer);

  const std::string& GetServiceName() const { return serviceName_; }
  int GetPort() const { return port_; }

 private:
  struct Event {
    ZtnHandle_t session = nullptr;
    bool xml = false;
    ZtnCallback_e reason = ZTN_CALLBACK_MESSAGE;
    unsigned long type = 0;
    std::string data;
    std::unique_ptr<CNMessageBase> message;
  };
  bool Listen();
  void ReaderThread();
  // Reads what the session sent; false once it has ended.
  bool ReadSession(CZtNetwork& session);
  // Handles one frame; false when the peer is to be cut off.
  bool OnFrame(CZtNetwork& session, char kind, const std::string& body);
  void Post(Event event);
  void Dispatch(Event& event);
  bool IsOwnSession(ZtnHandle_t handle);

  // Constant after construction.
  const XdrCallback xdr_;
  const XmlCallback xml_;
  const std::string serviceName_;
  const std::string client_;
  int port_ = 0;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  CPxError setupError_;

  // Set before SelectData, read by it.
  IdleCallback idle_ = nullptr;
  int idleSeconds_ = 0;
  void* idleContext_ = nullptr;
  void* customData_ = nullptr;

  std::thread reader_;
  std::atomic<bool> stopping_{false};
  ZtMutex mutex_;
  ZtCondition changed_;
  std::deque<Event> events_ GUARDED_BY(mutex_);
  bool quit_ GUARDED_BY(mutex_) = false;
  bool readerFailed_ GUARDED_BY(mutex_) = false;
  // Sessions live as long as the server, so a handle in a queued event stays valid.
  std::vector<std::unique_ptr<CZtNetwork>> sessions_ GUARDED_BY(mutex_);
};
