// Two agent processes of the host program, driven by a coordinator that speaks the protocol through
// the remote-agent framework: VMs, stream grants, a stop request, answers to requests for work and the
// quit.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>

#include "platform/cleanup/VSCleanupClient.h"
#include "platform/remoteagent/ZTRemoteAgentServer.h"
#include "support/ControllerTestSupport.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::Grant;

// Gives each agent its VMs when it starts (stopping one of proxyA's before any worker runs), then a
// stream; answers every request for more with nothing; tells both agents to quit once every VM has
// come back.
class ScriptCoordinator : public ZTRemoteAgentServer {
 public:
  std::map<std::string, std::vector<std::string>> vmsOf = {{"proxyA", {"a1", "a2", "a3"}}, {"proxyB", {"b1", "b2"}}};
  const std::string stopped = "a2";

  void OnMsgReceived(const std::string& agent, CNMessageBase* message) override {
    const uint32_t tag = message->getTagID();
    std::lock_guard<std::mutex> lock(mutex);
    seen[agent].insert(tag);
    if (tag == VMAgentStartup::TAG) {
      version[agent] = message->getint64(VMAgentStartup::F_protocolVersion);
      std::vector<VMCollect> vms;
      for (const std::string& name : vmsOf[agent]) vms.push_back(Collect(name, "G-" + name, 700));
      SendMsgToAgent(agent, CollectList(vms));
      if (agent == "proxyA") {
        VMBackupStopVM stop;
        stop.setstring(VMBackupStopVM::F_vmName, stopped);
        stop.setstring(VMBackupStopVM::F_vmGuid, "G-" + stopped);
        stop.setint64(VMBackupStopVM::F_vmJobId, 700);
        SendMsgToAgent(agent, stop);
      }
      SendMsgToAgent(agent, Grant(1, agent == "proxyA" ? 1 : 2));
    } else if (tag == VMBackupGetNextVM::TAG) {
      SendMsgToAgent(agent, CollectList({}));
    } else if (tag == VMBackupResult::TAG) {
      results[message->getstring(VMBackupResult::F_vmName)].push_back(message->getint64(VMBackupResult::F_vmPhase));
      if (results.size() == 5 && !quitSent) {
        quitSent = true;
        for (const auto& entry : vmsOf) SendMsgToAgent(entry.first, VMAgentQuit());
      }
    } else if (tag == VMBackupStream::TAG) {
      ++returnedStreams[agent];
    }
  }
  void OnAgentStopped(const std::string& agent) override {
    std::lock_guard<std::mutex> lock(mutex);
    stoppedAgents.insert(agent);
  }

  std::mutex mutex;
  std::map<std::string, std::set<uint32_t>> seen;
  std::map<std::string, int64_t> version;
  std::map<std::string, std::vector<int64_t>> results;  // VM name -> phases reported
  std::map<std::string, int> returnedStreams;
  std::set<std::string> stoppedAgents;
  bool quitSent = false;
};

TEST(ControllerProcess, TwoAgentsReportEveryVMOnceAndAStopStopsThatVMAlone) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Create());
  lab.UseJob(ctltest::kJobId);
  {
    ScriptCoordinator coordinator;
    coordinator.SetAgentCommandName(QUARN_HOST_BINARY, "-client");
    coordinator.SetSelectTimeoutMs(50);
    coordinator.SetAgentStartupTimeoutMs(20000);
    for (const char* agent : {"proxyA", "proxyB"})
      ASSERT_TRUE(coordinator.AddAgent(agent, "-j 1001 -jt tok-1001 -a 1 -t 2 -d ma1", agent));
    ASSERT_TRUE(coordinator.Main());
    coordinator.Deinitialize();

    EXPECT_EQ((std::set<std::string>{"proxyA", "proxyB"}), coordinator.stoppedAgents);
    std::map<std::string, std::vector<int64_t>> expected = {
        {"a1", {PHASE_FAILED}}, {"a2", {PHASE_STOPPED}}, {"a3", {PHASE_FAILED}}, {"b1", {PHASE_FAILED}},
        {"b2", {PHASE_FAILED}}};
    EXPECT_EQ(expected, coordinator.results) << "each VM once; the shipped worker backs none up";
    for (const char* agent : {"proxyA", "proxyB"}) {
      SCOPED_TRACE(agent);
      EXPECT_EQ(1120, coordinator.version[agent]);
      EXPECT_EQ(1, coordinator.returnedStreams[agent]) << "the grant goes back at the end";
      EXPECT_EQ(1u, coordinator.seen[agent].count(VMAgentShutdown::TAG));
      EXPECT_TRUE(VSCleanupClient::ReadRegistrations(agent).empty()) << "the process unregistered";
    }
  }
  const std::string log = lab.Log("proxyA");
  EXPECT_NE(std::string::npos, log.find("VM [a2] is waiting to be processed and will be removed from the queue"));
  EXPECT_NE(std::string::npos, log.find("All [3] VMs have been processed"));
  EXPECT_NE(std::string::npos, lab.Log("proxyB").find("All [2] VMs have been processed"));
}

}  // namespace
