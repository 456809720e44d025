// The session services: attaching by client and service name, what a server's callbacks see in order,
// peers that break the protocol, idle ticks on the platform clock and a service that cannot listen.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/lab/LabSessions.h"
#include "platform/os/ZtTime.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/session/CZtNetwork.h"
#include "platform/session/CZtNetworkServer.h"
#include "platform/session/SessionWire.h"
#include "records/messages/VirtualServerMessages.h"
#include "support/TestLab.h"
#include "support/VirtualClock.h"

namespace {

// A server whose callbacks write down what they see: "connect <peer>", "xml 0x<tag>", "xdr 0x<type>";
// it answers disconnect requests and quits on the first abort or after `quitAfter` entries.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> seen;
  size_t quitAfter = 100;
  int ticks = 0;
  int quitAtTick = 0;
  CZtNetworkServer* server = nullptr;

  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(entry);
    if (seen.size() >= quitAfter) server->Quit(false, false);
  }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
  }
  static std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", value);
    return text;
  }
  static void OnXml(ZtnCallback_e, CZtNetworkServer* server, ZtnHandle_t, CNMessageBase* message) {
    static_cast<Recorder*>(server->GetCustomData())->Add("xml " + Hex(message->getTagID()));
    delete message;
  }
  static void OnXdr(ZtnCallback_e reason, CZtNetworkServer* server, ZtnHandle_t handle, unsigned long type,
                    ztsDatabuf_v2* buffer) {
    auto* self = static_cast<Recorder*>(server->GetCustomData());
    if (reason == ZTN_CALLBACK_CONNECT) {
      self->Add("connect " + handle->GetPeerName());
    } else {
      self->Add("xdr " + Hex(type) + (buffer->data.empty() ? "" : " " + buffer->data));
      if (type == ZTS_PM_DISCONNECT_REQ) handle->ReplyDisconnect(30, false);
      if (type == ZTS_PM_CONNECTION_ABORTED) server->Quit(false, false);
    }
    server->CleanXdrBuffer(buffer);
    delete buffer;
  }
  static void OnIdle(void* context) {
    auto* self = static_cast<Recorder*>(context);
    if (++self->ticks == self->quitAtTick) self->server->Quit(false, false);
  }
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lab_.Create()); }
  // Starts the service "svc" of proxyA with the recorder; SelectData runs on another thread.
  void StartServer() {
    lab::SetFocusClient("proxyA");
    server_.reset(new CZtNetworkServer(&Recorder::OnXdr, &Recorder::OnXml, "svc", &port_));
    lab::SetFocusClient("coordinator");
    recorder_.server = server_.get();
    server_->SetCustomData(&recorder_);
    server_->SetIdleAcceptCallback(&Recorder::OnIdle, 30, &recorder_);
    result_ = std::async(std::launch::async, [this] { return server_->SelectData(1, 1, 30); });
  }
  CPxError Finish() {
    CPxError result = result_.get();
    server_.reset();
    return result;
  }

  testsupport::TestLab lab_{"coordinator"};
  CSessionPort port_{4};
  Recorder recorder_;
  std::unique_ptr<CZtNetworkServer> server_;
  std::future<CPxError> result_;
};

TEST_F(SessionTest, ASessionDeliversItsMessagesInOrderAndEndsByDisconnect) {
  recorder_.quitAfter = 4;
  StartServer();
  CZtNetwork session;
  EXPECT_TRUE(session.Attach_RemoteService("proxyA", "other", "coordinator", 5, false).IsError());
  ASSERT_FALSE(session.Attach_RemoteService("proxyA", "svc", "coordinator", 5, false).IsError());
  VirtualServer::VSAAppAwareSWSnapDeletion message;
  ASSERT_FALSE(session.SendXMLMessage(message, 0, 5, false).IsError());
  ASSERT_FALSE(session.SendXdrMessage(0x1A5AC068, "data", 5).IsError());
  EXPECT_FALSE(session.Disconnect(5, false).IsError());
  EXPECT_FALSE(Finish().IsError());
  EXPECT_EQ((std::vector<std::string>{"connect coordinator", "xml " + Recorder::Hex(message.getTagID()),
                                      "xdr 0x1A5AC068 data", "xdr 0x09000102"}),
            recorder_.Seen());
  int port = 0;
  std::string error;
  EXPECT_FALSE(lab::LookupSessionService("proxyA", "svc", port, error)) << "the service took its record back";
}

TEST_F(SessionTest, APeerThatBreaksTheProtocolIsCutOffAndADroppedSessionIsReported) {
  StartServer();
  int port = 0;
  std::string error;
  ASSERT_TRUE(lab::LookupSessionService("proxyA", "svc", port, error));
  // No hello first: cut off without a callback.
  CPxError failure;
  const int stranger = session::ConnectLoopback(port, 5000, failure);
  ASSERT_GE(stranger, 0);
  std::string frame;
  remoteagent::EncodeFrame(session::kXml, "<x/>", frame);
  ASSERT_TRUE(remoteagent::SendAllBlocking(stranger, frame));
  remoteagent::SetNonBlocking(stranger, false);
  char byte = 0;
  EXPECT_EQ(0, recv(stranger, &byte, 1, 0)) << "the server closes the stranger's connection";
  close(stranger);
  // Attached, then gone without a disconnect: reported as aborted.
  {
    CZtNetwork session;
    ASSERT_FALSE(session.Attach_RemoteService("proxyA", "svc", "peer", 5, false).IsError());
  }
  EXPECT_FALSE(Finish().IsError());
  EXPECT_EQ((std::vector<std::string>{"connect peer", "xdr 0x09000103"}), recorder_.Seen());
}

TEST_F(SessionTest, IdleTicksFollowThePlatformClock) {
  testsupport::VirtualClock clock;
  recorder_.quitAtTick = 3;
  StartServer();
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(89));
  EXPECT_EQ(2, recorder_.ticks);
  EXPECT_EQ(std::future_status::timeout, result_.wait_for(std::chrono::seconds(0)));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
  EXPECT_FALSE(Finish().IsError());
  EXPECT_EQ(3, recorder_.ticks);
}

TEST_F(SessionTest, AServiceThatCannotListenFailsItsSelect) {
  ASSERT_TRUE(lab_.Fault("session.Listen", 77, "no port"));
  StartServer();
  const CPxError result = Finish();
  EXPECT_TRUE(result.IsError());
  EXPECT_EQ("no port", result.GetText());
  CZtNetwork session;
  EXPECT_TRUE(session.Attach_RemoteService("proxyA", "svc", "coordinator", 5, false).IsError());
}

}  // namespace
