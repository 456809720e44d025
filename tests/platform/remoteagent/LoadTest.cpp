// Many agent processes sending many messages: nothing lost, each agent's order kept.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>

#include "platform/remoteagent/RATestSupport.h"

namespace {

// Counts instead of writing every message down.
class CountingServer : public ZTRemoteAgentServer {
 public:
  explicit CountingServer(long perAgent) : perAgent_(perAgent) {}
  ~CountingServer() override { ZTRemoteAgentServer::Deinitialize(); }

  void OnAgentStarted(const std::string& name) override { agents_[name].started++; }
  void OnAgentStopped(const std::string& name) override { agents_[name].stopped++; }
  void OnAgentFailed(const std::string& name) override { agents_[name].failed++; }
  void OnMsgReceived(const std::string& name, CNMessageBase* message) override {
    Agent& agent = agents_[name];
    if (message->getTagID() != RATest::Ping::TAG) {
      agent.outOfOrder++;
      return;
    }
    const int64_t seq = message->getint64(RATest::Ping::F_seq);
    if (seq == -1) {
      agent.byes++;
      return;
    }
    if (seq == -2) {  // the answer to the quit, after everything else
      if (agent.next != perAgent_ + 1) agent.outOfOrder++;
      agent.next = -1;
      return;
    }
    if (seq != agent.next) agent.outOfOrder++;
    agent.next = seq + 1;
    if (seq == perAgent_) SendMsgToAgent(name, RATest::MakeCommand("quit", 0, -2));
  }

  struct Agent {
    int started = 0, stopped = 0, failed = 0, byes = 0;
    long next = 0;
    long outOfOrder = 0;
  };
  std::map<std::string, Agent> agents_;

 private:
  const long perAgent_;
};

long MessagesPerAgent() {
  const char* text = std::getenv("QUARN_LOAD_MSGS");
  long value = text ? std::atol(text) : 10000;
  return value > 0 ? value : 10000;
}

TEST(RemoteAgentLoad, ThirtyTwoAgentsLoseNothingAndKeepTheirOrder) {
  ratest::TempLab lab;
  const long perAgent = MessagesPerAgent();
  const int agents = 32;
  CountingServer server(perAgent);
  ratest::UseTestAgents(server);
  server.SetAgentStartupThreads(-1);
  server.SetAgentStartupTimeoutMs(30000);
  for (int i = 0; i < agents; ++i) {
    ASSERT_TRUE(server.AddAgent("load" + std::to_string(i), "-burst " + std::to_string(perAgent), ""));
  }
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(server.Main());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ load ] %d agents x %ld messages in %.2f s (%.0f messages/s)\n", agents, perAgent, seconds,
              agents * static_cast<double>(perAgent) / seconds);

  ASSERT_EQ(static_cast<size_t>(agents), server.agents_.size());
  for (const auto& item : server.agents_) {
    const CountingServer::Agent& agent = item.second;
    EXPECT_EQ(1, agent.started) << item.first;
    EXPECT_EQ(1, agent.stopped) << item.first;
    EXPECT_EQ(0, agent.failed) << item.first;
    EXPECT_EQ(0, agent.outOfOrder) << item.first;
    // 0 (hello) .. perAgent (burst) in order, then the answer to the quit, then the bye.
    EXPECT_EQ(-1, agent.next) << item.first;
    EXPECT_EQ(1, agent.byes) << item.first;
  }
}

}  // namespace
