// Messages per second through the remote-agent framework: from an agent process over loopback, and
// from the in-process agent. Each iteration asks the agent for a burst and waits until the server loop
// has delivered all of it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "agentprog/RATestMessages.h"
#include "agentprog/RATestMessagesDefine.inc"
#include "bench/BenchSupport.h"
#include "platform/lab/Lab.h"
#include "platform/remoteagent/ZTRemoteAgentClient.h"
#include "platform/remoteagent/ZTRemoteAgentServer.h"
#include "platform/os/ZtProcess.h"

namespace {

constexpr int kBurst = 20000;

// quarn-test-agent is built next to this program.
std::string TestAgentPath() { return ZtProcess::SelfFolder() + "/quarn-test-agent"; }

class BenchServer : public ZTRemoteAgentServer {
 public:
  ~BenchServer() override { ZTRemoteAgentServer::Deinitialize(); }

  void OnAgentStarted(const std::string&) override { Bump(0, true); }
  void OnAgentFailed(const std::string&) override { Bump(0, false); }
  void OnMsgReceived(const std::string&, CNMessageBase* message) override {
    if (message->getTagID() == RATest::Ping::TAG && message->getstring(RATest::Ping::F_payload) == "burst") Bump(1, true);
  }

  // Waits until `count` messages arrived since the last call, or the agent is up when count is 0.
  bool Wait(long count) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool ok = cv_.wait_for(lock, std::chrono::seconds(60), [&] { return !alive_ || (count == 0 ? started_ : received_ >= count); });
    received_ -= count;
    return ok && alive_;
  }

 private:
  void Bump(long messages, bool alive) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += messages;
    if (messages == 0) started_ = true;
    alive_ = alive_ && alive;
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  long received_ = 0;
  bool started_ = false;
  bool alive_ = true;
};

class QuietAgent : public ZTRemoteAgentClient {
 public:
  void OnMsgReceived(const CNMessageBase& message) override {
    const int64_t count = message.getint64(RATest::Command::F_count);
    for (int64_t i = 1; i <= count; ++i) SendMsgToServer(RATest::MakePing(i, "local", "burst"));
  }
};

void RunBursts(benchmark::State& state, bool local) {
  const benchsupport::ScratchFolder root("quarn-agent-bench");
  lab::SetRoot(root.Path());
  QuietAgent controller;
  {
    BenchServer server;
    server.SetSelectTimeoutMs(50);
    server.SetQuitDrainTimeoutMs(5000);
    server.SetAgentCommandName(TestAgentPath(), "-client");
    if (local) {
      server.AddLocalAgent("local", &controller);
    } else {
      server.AddAgent("remote", "", "");
    }
    const std::string name = local ? "local" : "remote";
    std::thread loop([&] { server.Main(); });
    if (!server.Wait(0)) {
      state.SkipWithError("the agent did not start (is quarn-test-agent built?)");
    } else {
      for (auto _ : state) {
        server.SendMsgToAgent(name, RATest::MakeCommand("burst", kBurst, 0));
        if (!server.Wait(kBurst)) {
          state.SkipWithError("the agent stopped");
          break;
        }
      }
      state.SetItemsProcessed(state.iterations() * kBurst);
    }
    server.SetQuitFlag();
    loop.join();
  }
  lab::SetRoot("");
}

void BM_AgentProcessToServer(benchmark::State& state) { RunBursts(state, false); }
void BM_LocalAgentToServer(benchmark::State& state) { RunBursts(state, true); }

BENCHMARK(BM_AgentProcessToServer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LocalAgentToServer)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
