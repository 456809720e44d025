// The host program started as an agent by a coordinator's framework, the way a job runs it on a
// further proxy.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "support/TestLab.h"
#include "platform/lab/Lab.h"
#include "platform/remoteagent/ZTRemoteAgentServer.h"

namespace {

class QuitWhenStartedServer : public ZTRemoteAgentServer {
 public:
  void OnIdle() override {
    if (!started.empty()) SetQuitFlag();
  }
  void OnAgentStarted(const std::string& name) override { started.insert(name); }
  void OnAgentStopped(const std::string& name) override { stopped.insert(name); }
  void OnAgentFailed(const std::string& name) override { failed.insert(name); }

  std::set<std::string> started, stopped, failed;
};

TEST(QuarnAgentProcess, AgentConnectsServesAndSetsNoPhase) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Create());
  {
    QuitWhenStartedServer server;
    server.SetAgentCommandName(QUARN_HOST_BINARY, "-client");
    server.SetSelectTimeoutMs(50);
    server.SetAgentStartupTimeoutMs(20000);
    ASSERT_TRUE(server.AddAgent("proxyA", "-j 1001 -jt tok-1001 -a 1 -t 2 -d ma1", "proxyA"));
    server.Main();
    server.Deinitialize();
    EXPECT_EQ(std::set<std::string>{"proxyA"}, server.started);
    EXPECT_EQ(std::set<std::string>{"proxyA"}, server.stopped);
    EXPECT_TRUE(server.failed.empty());
  }
  std::string log = lab.Log("proxyA");
  EXPECT_NE(std::string::npos, log.find("= quarn [BACKUP PHASE] has started "));
  EXPECT_NE(std::string::npos, log.find("-client -j 1001"));
  EXPECT_NE(std::string::npos, log.find("= [quarn] has exited [BACKUP PHASE]"));
  EXPECT_TRUE(lab.PhaseLines().empty());  // an agent never sets the job's phase result
}

}  // namespace
