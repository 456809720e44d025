// The server's supervision rules, driven on paper: no threads, sockets or sleeps.
#include <gtest/gtest.h>

#include "platform/os/ZtTime.h"
#include "platform/remoteagent/RATestSupport.h"
#include "support/VirtualClock.h"

namespace {

using ratest::RecordingServer;
using Entries = std::vector<std::string>;

class ScriptedServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.SetScriptedMode();
    ASSERT_TRUE(server.IsScriptedMode());
  }
  void TearDown() override { ZtClock::ResetTestOffset(); }

  RecordingServer server;
};

TEST_F(ScriptedServerTest, StartupRoundCompletesBeforeTheFirstIdle) {
  ASSERT_TRUE(server.AddAgent("a", " -j 5  -jt tok ", ""));
  ASSERT_TRUE(server.AddAgent("b", "", "hostB"));
  ASSERT_TRUE(server.AddLocalAgent("local", nullptr));
  EXPECT_EQ("hostB", server.GetAgentHostName("b"));
  EXPECT_EQ("a", server.GetAgentHostName("a"));

  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"a", "b", "local"}), server.ScriptTakeStarts());
  EXPECT_EQ(0, server.idles);

  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentMessage("a", RATest::MakePing(0, "a", "hello")));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ(0, server.idles) << "b and local are not reported yet";

  ASSERT_TRUE(server.ScriptAgentStartFailed("b"));
  ASSERT_TRUE(server.ScriptAgentStarted("local"));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"a started", "a msg 0 hello", "b failed", "local started", "idle"}), server.log);
}

TEST_F(ScriptedServerTest, FirstIdleWaitsForEveryRegisteredAgent) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  ASSERT_TRUE(server.AddAgent("b", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ(0, server.idles);
  ASSERT_TRUE(server.ScriptAgentStarted("b"));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ(1, server.idles);
  EXPECT_LT(server.IndexOf("b started"), server.IndexOf("idle"));
}

TEST_F(ScriptedServerTest, EventsOutsideTheAgentsStateAreRefused) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  EXPECT_FALSE(server.ScriptAgentStarted("a")) << "not started before the loop begins";
  server.ScriptBeginMain();
  EXPECT_FALSE(server.ScriptAgentMessage("a", RATest::MakePing(1, "a", "early")));
  EXPECT_FALSE(server.ScriptAgentStopped("a"));
  EXPECT_FALSE(server.ScriptAgentStarted("nobody"));
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  EXPECT_FALSE(server.ScriptAgentStarted("a"));
  EXPECT_FALSE(server.ScriptAgentStartFailed("a"));
  ASSERT_TRUE(server.ScriptAgentMessage("a", RATest::MakePing(1, "a", "one")));
  ASSERT_TRUE(server.ScriptAgentMessage("a", RATest::MakePing(2, "a", "two")));
  ASSERT_TRUE(server.ScriptAgentStopped("a"));
  EXPECT_FALSE(server.ScriptAgentMessage("a", RATest::MakePing(3, "a", "late")));
  EXPECT_FALSE(server.ScriptRunPass()) << "every agent is down after the start-up round";
  EXPECT_EQ((Entries{"started", "msg 1 one", "msg 2 two", "stopped"}), server.Of("a"));
  EXPECT_FALSE(server.messageAfterEnd);
}

TEST_F(ScriptedServerTest, SendMsgToAgentOnlyReachesConnectedAgents) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  ASSERT_TRUE(server.AddAgent("b", "", ""));
  server.ScriptBeginMain();
  const RATest::Command echo = RATest::MakeCommand("echo", 0, 4);
  EXPECT_FALSE(server.SendMsgToAgent("a", echo)) << "still starting";
  EXPECT_FALSE(server.SendMsgToAgent("nobody", echo));
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentStarted("b"));
  EXPECT_TRUE(server.SendMsgToAgent("a", echo));
  EXPECT_TRUE(server.SendMsgToAgent("a", RATest::MakePing(9, "srv", "x")));
  ASSERT_TRUE(server.ScriptAgentStopped("b"));
  EXPECT_FALSE(server.SendMsgToAgent("b", echo)) << "gone";

  auto sent = server.ScriptTakeSent("a");
  ASSERT_EQ(2u, sent.size());
  ASSERT_EQ(RATest::Command::TAG, sent[0]->getTagID());
  auto* command = static_cast<RATest::Command*>(sent[0].get());
  EXPECT_EQ("echo", command->getstring(RATest::Command::F_op));
  EXPECT_EQ(4, command->getint64(RATest::Command::F_arg));
  EXPECT_EQ("9 x", ratest::Describe(*sent[1]));
  EXPECT_TRUE(server.ScriptTakeSent("a").empty());
  EXPECT_TRUE(server.ScriptTakeSent("b").empty());
}

TEST_F(ScriptedServerTest, FailAgentReportsOncePostedAndDropsLaterMessages) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  ASSERT_TRUE(server.AddAgent("b", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentStarted("b"));
  ASSERT_TRUE(server.ScriptRunPass());

  bool firstCall = false, secondCall = true;
  size_t logAtCall = 0;
  server.onIdle = [&] {
    if (server.idles != 2) return;
    logAtCall = server.log.size();
    firstCall = server.FailAgent("a");
    secondCall = server.FailAgent("a");
    EXPECT_EQ(logAtCall, server.log.size()) << "OnAgentFailed ran inside FailAgent";
  };
  ASSERT_TRUE(server.ScriptAgentMessage("a", RATest::MakePing(1, "a", "before")));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_TRUE(firstCall);
  EXPECT_FALSE(secondCall);
  EXPECT_FALSE(server.SendMsgToAgent("a", RATest::MakeCommand("echo")));
  EXPECT_FALSE(server.ScriptAgentMessage("a", RATest::MakePing(2, "a", "after")));
  EXPECT_FALSE(server.ScriptAgentStopped("a"));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"started", "msg 1 before", "failed"}), server.Of("a"));
  EXPECT_FALSE(server.FailAgent("nobody"));
  EXPECT_FALSE(server.FailAgent("a"));
}

TEST_F(ScriptedServerTest, FailAgentWhileStartingIsTheStartOutcome) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  server.ScriptBeginMain();
  EXPECT_TRUE(server.FailAgent("a"));
  EXPECT_FALSE(server.ScriptAgentStarted("a")) << "a late hello does not revive it";
  EXPECT_FALSE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"a failed", "idle"}), server.log);
}

// The start-up time-out counts on the platform clock: a scripted test passes it in no time, and the
// failure comes exactly at it.
TEST_F(ScriptedServerTest, AgentSilentForTheStartupTimeOutFailsAtItOnTheClock) {
  testsupport::VirtualClock clock;
  server.SetAgentStartupTimeout(120);
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  ASSERT_TRUE(server.AddAgent("b", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ZtClock::AdvanceForTest(CTimeInterval(120 * kZtTicksPerSecond - 1));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"a started"}), server.log) << "b still has a tick";
  ZtClock::AdvanceForTest(CTimeInterval(1));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"a started", "b failed", "idle"}), server.log);
  EXPECT_FALSE(server.ScriptAgentStarted("b")) << "a late hello does not revive it";
}

TEST_F(ScriptedServerTest, RestartFromThePoolBringsAFailedAgentBack) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  ASSERT_TRUE(server.AddAgent("b", "", ""));
  server.ScriptBeginMain();
  server.ScriptTakeStarts();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentStartFailed("b"));
  bool restarted = false;
  server.onFailed = [&](const std::string& name) {
    server.SubmitToThreadPool([&, name] { restarted = server.RestartAgent(name); });
  };
  ASSERT_TRUE(server.ScriptRunPass());
  EXPECT_FALSE(restarted) << "pool jobs wait for the test in scripted mode";
  ASSERT_TRUE(server.ScriptAgentStopped("a"));
  EXPECT_TRUE(server.ScriptRunPass()) << "a restart still queued keeps the loop alive";
  EXPECT_EQ(1, server.ScriptRunPoolJobs());
  EXPECT_TRUE(restarted);
  EXPECT_EQ((Entries{"b"}), server.ScriptTakeStarts());
  EXPECT_TRUE(server.ScriptRunPass()) << "b is starting again";
  ASSERT_TRUE(server.ScriptAgentStarted("b"));
  ASSERT_TRUE(server.ScriptAgentMessage("b", RATest::MakePing(0, "b", "hello")));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"failed", "started", "msg 0 hello"}), server.Of("b"));
  EXPECT_FALSE(server.RestartAgent("nobody"));
}

TEST_F(ScriptedServerTest, RestartOfAConnectedAgentEndsTheOldStartFirst) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentMessage("a", RATest::MakePing(1, "a", "old")));
  ASSERT_TRUE(server.RestartAgent("a"));
  EXPECT_FALSE(server.RestartAgent("a")) << "already starting";
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentMessage("a", RATest::MakePing(2, "a", "new")));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"started", "msg 1 old", "stopped", "started", "msg 2 new"}), server.Of("a"));
}

TEST_F(ScriptedServerTest, AddAgentDuringMainStartsItOutsideTheStartupRound) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  int step = 0;
  server.SetScriptDriver([&] {
    switch (step++) {
      case 0:
        server.ScriptAgentStarted("a");
        break;
      case 2:
        EXPECT_TRUE(server.AddAgent("late", "-x 1", ""));
        EXPECT_EQ((Entries{"a", "late"}), server.ScriptTakeStarts());
        break;
      case 3:
        server.ScriptAgentStarted("late");
        server.ScriptAgentMessage("late", RATest::MakePing(0, "late", "hello"));
        break;
      case 5:
        server.ScriptAgentStopped("a");
        server.ScriptAgentStopped("late");
        break;
      default:
        break;
    }
    return step < 50;
  });
  EXPECT_TRUE(server.Main());
  EXPECT_LT(step, 50) << "Main did not end when every agent was down";
  EXPECT_EQ((Entries{"started", "msg 0 hello", "stopped"}), server.Of("late"));
  EXPECT_LT(server.IndexOf("idle"), server.IndexOf("late started"));
  EXPECT_FALSE(server.AddAgent("late", "", "")) << "a name is registered once";
}

TEST_F(ScriptedServerTest, QuitLetsAgentsLeaveWithTheirLastMessage) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  ASSERT_TRUE(server.AddAgent("b", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentStarted("b"));
  ASSERT_TRUE(server.ScriptRunPass());
  server.SetQuitFlag();
  EXPECT_TRUE(server.CheckQuitFlag());
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_TRUE(server.ScriptStopRequested("a"));
  EXPECT_TRUE(server.ScriptStopRequested("b"));
  ASSERT_TRUE(server.ScriptAgentMessage("a", RATest::MakePing(-1, "a", "bye")));
  ASSERT_TRUE(server.ScriptAgentStopped("a"));
  EXPECT_TRUE(server.ScriptRunPass()) << "b has not left and the drain time is not over";
  // b never leaves: once the drain time is over on the platform clock it is cut off.
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(31));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_FALSE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"started", "msg -1 bye", "stopped"}), server.Of("a"));
  EXPECT_EQ((Entries{"started", "stopped"}), server.Of("b"));
  EXPECT_FALSE(server.RestartAgent("a")) << "nothing starts while quitting";
}

TEST_F(ScriptedServerTest, QuitDuringStartupFailsTheAgentsStillStarting) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  ASSERT_TRUE(server.AddAgent("b", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  server.SetQuitFlag();
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"failed"}), server.Of("b"));
  ASSERT_TRUE(server.ScriptAgentStopped("a"));
  EXPECT_FALSE(server.ScriptRunPass());
}

TEST_F(ScriptedServerTest, MalformedMessageCutsOnlyThatAgentOff) {
  ASSERT_TRUE(server.AddAgent("bad", "", ""));
  ASSERT_TRUE(server.AddAgent("good", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("bad"));
  ASSERT_TRUE(server.ScriptAgentStarted("good"));
  ASSERT_TRUE(server.ScriptAgentMessage("bad", RATest::MakePing(1, "bad", "fine")));
  ASSERT_TRUE(server.ScriptAgentRawMessage("bad", "<RATest_Ping tag=\"0xCB800001\"><seq>x</seq></RATest_Ping>"));
  EXPECT_FALSE(server.ScriptAgentRawMessage("bad", "<still>broken")) << "already cut off";
  EXPECT_FALSE(server.ScriptAgentStopped("bad"));
  ASSERT_TRUE(server.ScriptAgentMessage("good", RATest::MakePing(1, "good", "fine")));
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ((Entries{"started", "msg 1 fine", "stopped"}), server.Of("bad"));
  EXPECT_EQ((Entries{"started", "msg 1 fine"}), server.Of("good"));
  EXPECT_TRUE(server.SendMsgToAgent("good", RATest::MakeCommand("echo")));
}

TEST_F(ScriptedServerTest, UnknownButWellFormedTagIsDelivered) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  server.ScriptBeginMain();
  ASSERT_TRUE(server.ScriptAgentStarted("a"));
  ASSERT_TRUE(server.ScriptAgentRawMessage("a", "<Nobody_Knows tag=\"0x7F000001\"><f>1</f></Nobody_Knows>"));
  uint32_t tag = 0;
  server.onMessage = [&](const std::string&, CNMessageBase* message) { tag = message->getTagID(); };
  EXPECT_TRUE(server.ScriptRunPass());
  EXPECT_EQ(0x7F000001u, tag);
  EXPECT_TRUE(server.IsAgentConnected("a"));
}

TEST_F(ScriptedServerTest, MainWithoutDriverEndsAfterAnIdlePass) {
  ASSERT_TRUE(server.AddAgent("a", "", ""));
  EXPECT_TRUE(server.Main());
  EXPECT_EQ((Entries{"a"}), server.ScriptTakeStarts());
  EXPECT_EQ(0, server.idles);
  EXPECT_TRUE(server.ScriptAgentStartFailed("a"));
  EXPECT_TRUE(server.Main());
  EXPECT_EQ((Entries{"a failed", "idle"}), server.log);
}

TEST(RemoteAgentServerSetup, RefusesBadRegistrationsAndShutsDownTwice) {
  ZTRemoteAgentServer server;
  EXPECT_FALSE(server.AddAgent("", "", ""));
  EXPECT_FALSE(server.AddAgent("../etc", "", ""));
  EXPECT_FALSE(server.AddAgent("a", "", "bad/host"));
  EXPECT_FALSE(server.AddAgent("a", "-j 1 -cn other", "")) << "would change the client the process is";
  EXPECT_FALSE(server.AddAgent("a", "-raport 1", ""));
  EXPECT_FALSE(server.AddLocalAgent("local", nullptr)) << "a real local agent needs a controller";
  ratest::LocalTestAgent controller;
  EXPECT_TRUE(server.AddLocalAgent("local", &controller));
  EXPECT_FALSE(server.AddLocalAgent("local2", &controller));
  EXPECT_TRUE(server.AddAgent("a", "-j 1", ""));
  EXPECT_FALSE(server.AddAgent("a", "", ""));
  EXPECT_EQ((Entries{"a", "local"}), server.GetAgentNames());
  EXPECT_FALSE(server.SendMsgToAgent("a", RATest::MakeCommand("echo")));
  EXPECT_TRUE(server.Deinitialize());
  EXPECT_TRUE(server.Deinitialize());
  EXPECT_FALSE(server.Main());
  EXPECT_FALSE(server.SubmitToThreadPool([] {}));
  EXPECT_FALSE(server.AddAgent("b", "", ""));
}

}  // namespace
