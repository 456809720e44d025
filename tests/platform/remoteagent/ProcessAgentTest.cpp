// The server with real agent processes (quarn-test-agent) and the in-process agent, over loopback.
#include <dirent.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/remoteagent/RATestSupport.h"
#include "platform/os/ZtHandles.h"
#include "platform/os/ZtProcess.h"
#include "support/VirtualClock.h"

namespace {

using ratest::RecordingServer;
using Entries = std::vector<std::string>;

// Runs Main with a watchdog that sets the quit flag if the scenario hangs. True when Main ended by
// itself.
bool RunMain(RecordingServer& server, int seconds = 30) {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false, fired = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; })) {
      fired = true;
      server.SetQuitFlag();
    }
  });
  const bool ran = server.Main();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  watchdog.join();
  return ran && !fired;
}

bool IsPing(CNMessageBase* message, const std::string& payload) {
  return message->getTagID() == RATest::Ping::TAG && message->getstring(RATest::Ping::F_payload) == payload;
}

class ProcessAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ratest::UseTestAgents(server);
    local.serverLoopThread = std::this_thread::get_id();
  }

  ratest::TempLab lab;
  ratest::LocalTestAgent local;  // destroyed after the server
  RecordingServer server;
};

TEST_F(ProcessAgentTest, StartupRoundOrderingAndQuitFromEachAgent) {
  ASSERT_TRUE(server.AddLocalAgent("coord", &local));
  ASSERT_TRUE(server.AddAgent("proxyA", "-j 7 -jt a;b'c", ""));
  ASSERT_TRUE(server.AddAgent("proxyB", "", "hostB"));
  bool unknownSendFalse = true, echoSent = true, quitSent = true;
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (IsPing(message, "hello")) {
      unknownSendFalse = unknownSendFalse && !server.SendMsgToAgent("nobody", RATest::MakeCommand("echo"));
      echoSent = echoSent && server.SendMsgToAgent(name, RATest::MakeCommand("echo", 0, 7));
      if (name == "proxyA") server.SendMsgToAgent(name, RATest::MakeCommand("unknown"));
    } else if (IsPing(message, "echo")) {
      quitSent = quitSent && server.SendMsgToAgent(name, RATest::MakeCommand("quit", 0, 9));
    }
  };
  bool sendAfterStopFalse = true;
  server.onStopped = [&](const std::string& name) {
    sendAfterStopFalse = sendAfterStopFalse && !server.SendMsgToAgent(name, RATest::MakeCommand("echo"));
  };
  ASSERT_TRUE(RunMain(server));

  const Entries normal{"started", "msg 0 hello", "msg 7 echo", "msg 9 last", "msg -1 bye", "stopped"};
  EXPECT_EQ(normal, server.Of("coord"));
  EXPECT_EQ(normal, server.Of("proxyB"));
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg 7 echo", "msg tag 0xFA800007", "msg 9 last", "msg -1 bye",
                     "stopped"}),
            server.Of("proxyA"))
      << "a well-formed message of an unknown tag is delivered in its place";
  const long firstIdle = server.IndexOf("idle");
  for (const char* name : {"coord started", "proxyA started", "proxyB started"}) {
    EXPECT_LT(server.IndexOf(name), firstIdle) << name;
  }
  EXPECT_TRUE(unknownSendFalse);
  EXPECT_TRUE(echoSent);
  EXPECT_TRUE(quitSent);
  EXPECT_TRUE(sendAfterStopFalse);
  EXPECT_FALSE(server.wrongThread);
  EXPECT_FALSE(server.messageAfterEnd);
  EXPECT_FALSE(local.onServerLoopThread) << "the local agent has a message thread of its own";
  EXPECT_EQ(1, local.starts.load());
  EXPECT_EQ(1, local.stops.load());
  EXPECT_EQ("hostB", server.GetAgentHostName("proxyB"));
  struct stat st;
  EXPECT_EQ(0, stat(lab::ClientDir("hostB").c_str(), &st)) << "each agent process is its own client";
  EXPECT_FALSE(server.IsAgentConnected("proxyA"));
}

TEST_F(ProcessAgentTest, DeathAfterHelloStopsOnceAfterEveryMessage) {
  ASSERT_TRUE(server.AddAgent("killed", "-burst 300", ""));
  ASSERT_TRUE(server.AddAgent("exits", "", ""));
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (name == "killed" && IsPing(message, "burst") && message->getint64(RATest::Ping::F_seq) == 300) {
      server.SendMsgToAgent(name, RATest::MakeCommand("pid"));
    } else if (name == "killed" && IsPing(message, "pid")) {
      kill(static_cast<pid_t>(message->getint64(RATest::Ping::F_seq)), SIGKILL);
    } else if (name == "exits" && IsPing(message, "hello")) {
      server.SendMsgToAgent(name, RATest::MakeCommand("burst", 20, 0));
      server.SendMsgToAgent(name, RATest::MakeCommand("exit", 0, 0));
    }
  };
  ASSERT_TRUE(RunMain(server));

  Entries killed = server.Of("killed");
  ASSERT_EQ(304u, killed.size());
  EXPECT_EQ("started", killed.front());
  for (int i = 0; i <= 300; ++i) {
    EXPECT_EQ("msg " + std::to_string(i) + (i == 0 ? " hello" : " burst"), killed[1 + i]);
  }
  EXPECT_EQ("stopped", killed.back());
  Entries exits = server.Of("exits");
  ASSERT_EQ(23u, exits.size());
  EXPECT_EQ("msg 20 burst", exits[21]);
  EXPECT_EQ("stopped", exits.back());
  EXPECT_FALSE(server.messageAfterEnd);
}

// The answer a pool thread gives; false if none comes (a restart that was never made), rather than a
// test that hangs.
bool Answered(std::promise<bool>& answer) {
  std::future<bool> future = answer.get_future();
  return future.wait_for(std::chrono::minutes(1)) == std::future_status::ready && future.get();
}

TEST_F(ProcessAgentTest, FailAgentThenRestartFromThePool) {
  ASSERT_TRUE(server.AddAgent("proxyA", "", ""));
  int hellos = 0;
  bool failFirst = false, failSecond = true;
  // The restart's answer comes from a pool thread that may still be returning when the loop ends.
  std::promise<bool> restarted;
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (!IsPing(message, "hello")) return;
    if (++hellos == 1) {
      failFirst = server.FailAgent(name);
      failSecond = server.FailAgent(name);
    } else {
      server.SendMsgToAgent(name, RATest::MakeCommand("quit", 0, 2));
    }
  };
  server.onFailed = [&](const std::string& name) {
    server.SubmitToThreadPool([&, name] { restarted.set_value(server.RestartAgent(name)); });
  };
  ASSERT_TRUE(RunMain(server));
  EXPECT_TRUE(failFirst);
  EXPECT_FALSE(failSecond);
  EXPECT_TRUE(Answered(restarted));
  EXPECT_EQ((Entries{"started", "msg 0 hello", "failed", "started", "msg 0 hello", "msg 2 last", "msg -1 bye",
                     "stopped"}),
            server.Of("proxyA"));
}

// The lab's fault table keeps an agent from starting by the client it is: no process runs for it, it
// is reported failed with the rule's code and text, and a restart once the rule is spent starts it.
// Every launch asks, the local agent's too.
TEST_F(ProcessAgentTest, ALaunchTheFaultTableRefusesFailsThatAgentOnly) {
  ASSERT_TRUE(lab.OpenLog());
  lab::FaultRule refuse;
  refuse.op = "ra.LaunchAgent";
  refuse.client = "hostB";
  refuse.code = 71;
  refuse.text = "no route to hostB";
  lab::FaultRule count = refuse;
  count.client.clear();
  count.after = lab::kMaxFaultCount;
  ASSERT_TRUE(lab.Fault(refuse));
  ASSERT_TRUE(lab.Fault(count));
  ASSERT_TRUE(server.AddLocalAgent("coord", &local));
  ASSERT_TRUE(server.AddAgent("proxyA", "", ""));
  ASSERT_TRUE(server.AddAgent("proxyB", "", "hostB"));
  // The restart's answer comes from a pool thread that may still be returning when the loop ends.
  std::promise<bool> restarted;
  server.onFailed = [&](const std::string& name) {
    server.SubmitToThreadPool([&, name] { restarted.set_value(server.RestartAgent(name)); });
  };
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (IsPing(message, "hello")) server.SendMsgToAgent(name, RATest::MakeCommand("quit", 0, 2));
  };
  ASSERT_TRUE(RunMain(server));

  const Entries normal{"started", "msg 0 hello", "msg 2 last", "msg -1 bye", "stopped"};
  EXPECT_EQ(normal, server.Of("coord"));
  EXPECT_EQ(normal, server.Of("proxyA"));
  Entries failedFirst = normal;
  failedFirst.insert(failedFirst.begin(), "failed");
  EXPECT_EQ(failedFirst, server.Of("proxyB"));
  EXPECT_TRUE(Answered(restarted));
  const std::string log = lab.Log();
  EXPECT_EQ(1u, testsupport::CountOf(log, "Agent [proxyB] failed to start: error 71: no route to hostB")) << log;
  EXPECT_EQ(1u, testsupport::CountOf(log, "Started agent [proxyB] as process")) << "only the restart ran";
  lab::FaultTable table;
  std::string error;
  ASSERT_TRUE(lab::ReadFaultTable(table, error)) << error;
  EXPECT_EQ(2, table.rules[0].calls);
  EXPECT_EQ(1, table.rules[0].fired);
  EXPECT_EQ(4, table.rules[1].calls) << "coord, proxyA and proxyB twice";
}

TEST_F(ProcessAgentTest, AgentAddedDuringMainAndQuitFromTheServer) {
  ASSERT_TRUE(server.AddLocalAgent("coord", &local));
  std::set<std::string> hellos;
  bool added = false;
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (!IsPing(message, "hello")) return;
    hellos.insert(name);
    if (name == "coord") added = server.AddAgent("late", "", "");
    if (hellos.size() == 2) server.SetQuitFlag();
  };
  ASSERT_TRUE(RunMain(server));
  EXPECT_TRUE(added);
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg -1 bye", "stopped"}), server.Of("coord"));
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg -1 bye", "stopped"}), server.Of("late"));
  EXPECT_LT(server.IndexOf("idle"), server.IndexOf("late started"));
  EXPECT_EQ(1, local.stops.load());
}

TEST_F(ProcessAgentTest, MalformedFramesCutOffOnlyTheirSender) {
  ASSERT_TRUE(server.AddAgent("garbage", "-mode raw-garbage", ""));
  ASSERT_TRUE(server.AddAgent("oversize", "-mode raw-oversize", ""));
  ASSERT_TRUE(server.AddAgent("badkind", "-mode raw-badkind", ""));
  ASSERT_TRUE(server.AddAgent("good", "", ""));
  int badStopped = 0;
  bool goodHello = false, echoAsked = false;
  auto maybeEcho = [&] {
    if (badStopped == 3 && goodHello && !echoAsked) {
      echoAsked = server.SendMsgToAgent("good", RATest::MakeCommand("echo", 0, 5));
    }
  };
  server.onStopped = [&](const std::string& name) {
    if (name != "good") ++badStopped;
    maybeEcho();
  };
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (name != "good") return;
    if (IsPing(message, "hello")) goodHello = true;
    if (IsPing(message, "echo")) server.SendMsgToAgent("good", RATest::MakeCommand("quit", 0, 6));
    maybeEcho();
  };
  ASSERT_TRUE(RunMain(server));
  for (const char* bad : {"garbage", "oversize", "badkind"}) {
    EXPECT_EQ((Entries{"started", "msg 1 before", "stopped"}), server.Of(bad)) << bad;
  }
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg 5 echo", "msg 6 last", "msg -1 bye", "stopped"}),
            server.Of("good"));
}

TEST_F(ProcessAgentTest, BareCommandNameIsTheProgramNextToThisOne) {
  // The coordinator names its agents' program by the application's name alone; a job started by its
  // full path, outside PATH, must still find it.
  const std::string agentProgram = QUARN_TEST_AGENT_BINARY;
  const std::string folder = agentProgram.substr(0, agentProgram.rfind('/'));
  if (ZtProcess::SelfFolder() != folder) GTEST_SKIP() << "built apart";
  server.SetAgentCommandName(agentProgram.substr(folder.size() + 1), "-client");
  ASSERT_TRUE(server.AddAgent("proxyA", "", ""));
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (IsPing(message, "hello")) server.SendMsgToAgent(name, RATest::MakeCommand("quit", 0, 1));
  };
  ASSERT_TRUE(RunMain(server));
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg 1 last", "msg -1 bye", "stopped"}), server.Of("proxyA"));
}

TEST_F(ProcessAgentTest, LocalAgentWaitingForItsQuitFlagIsReachedByTheCutOff) {
  // The local agent sits in a callback until its quit flag is set, like a controller waiting for its
  // workers; the stop queued behind that callback cannot end it.
  server.SetQuitDrainTimeoutMs(200);
  ASSERT_TRUE(server.AddLocalAgent("coord", &local));
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (IsPing(message, "hello")) server.SendMsgToAgent(name, RATest::MakeCommand("wait"));
  };
  bool quitAsked = false;
  server.onIdle = [&] {
    if (local.waiting.load() && !quitAsked) {
      quitAsked = true;
      server.SetQuitFlag();
    }
  };
  ASSERT_TRUE(RunMain(server));
  EXPECT_TRUE(server.Deinitialize());
  EXPECT_TRUE(local.waitEndedByQuit.load()) << "the local agent's quit flag was never set";
  EXPECT_EQ((Entries{"started", "msg 0 hello", "stopped"}), server.Of("coord"));
  EXPECT_EQ(1, local.stops.load());
}

TEST_F(ProcessAgentTest, LocalAgentQuitBeforeItsFirstRunStopsAtOnce) {
  ASSERT_TRUE(server.AddLocalAgent("coord", &local));
  local.SetQuitFlag();  // a service shut-down before the loop started
  ASSERT_TRUE(RunMain(server, 20));
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg -1 bye", "stopped"}), server.Of("coord"));
}

// Processes whose parent is this process (zombies included).
std::set<int> ChildProcesses() {
  std::set<int> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    int ppid = 0;
    char state = 0;
    if (close != std::string::npos && std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
        ppid == getpid()) {
      children.insert(pid);
    }
  }
  closedir(proc);
  return children;
}

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return 0;
  while (readdir(fds) != nullptr) ++count;
  closedir(fds);
  return count;
}

TEST(ProcessAgentShutdown, LeavesNoProcessOrDescriptorBehind) {
  auto scenario = [] {
    ratest::TempLab lab;
    ratest::LocalTestAgent local;
    RecordingServer server;
    ratest::UseTestAgents(server);
    server.SetAgentStartupTimeoutMs(60000);
    ASSERT_TRUE(server.AddLocalAgent("coord", &local));
    ASSERT_TRUE(server.AddAgent("a", "-burst 50", ""));
    ASSERT_TRUE(server.AddAgent("b", "", ""));
    server.onMessage = [&](const std::string& name, CNMessageBase* message) {
      if (!IsPing(message, "hello") || name != "coord") return;
      // Joins now, and never says hello: it is still starting when the loop quits.
      server.AddAgent("hang", "-mode hang", "");
    };
    server.onStarted = [&](const std::string& name) {
      if (name == "b") server.FailAgent(name);  // its process is told to end, not waited for
    };
    server.onFailed = [&](const std::string& name) {
      server.SubmitToThreadPool([&, name] { server.RestartAgent(name); });
    };
    int idles = 0;
    server.onIdle = [&] {
      if (++idles == 10) server.SetQuitFlag();
    };
    ASSERT_TRUE(RunMain(server));
    EXPECT_TRUE(server.Deinitialize());
  };
  scenario();  // the first run may open what the process keeps (logs, the XML runtime)
  const std::set<int> children = ChildProcesses();
  const size_t descriptors = OpenDescriptors();
  scenario();
  scenario();
  for (int pid : ChildProcesses()) EXPECT_EQ(1u, children.count(pid)) << "process " << pid << " was left behind";
  EXPECT_EQ(descriptors, OpenDescriptors());
}

int ConnectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// True when the server hangs up on the connection within the given time.
bool HungUp(int fd, int seconds = 10) {
  timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buffer[64];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Whether the server still holds the connection (nothing to read, no end) at this moment.
bool StillOpen(int fd) {
  char byte;
  return recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// True when the server hangs up on a connection that sent the bytes within the given time.
bool HungUpOn(int port, const std::string& bytes, int seconds) {
  const int fd = ConnectTo(port);
  if (fd < 0) return false;
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  const bool hungUp = HungUp(fd, seconds);
  close(fd);
  return hungUp;
}

// Connects to the server's loopback port and sends the bytes; returns once the server hung up or after
// 200 ms.
void Stranger(int port, const std::string& bytes) {
  const int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  timeval tv{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buffer[64];
  EXPECT_LE(recv(fd, buffer, sizeof buffer, 0), 0) << "a stranger was answered";
  close(fd);
}

std::string Frame(char kind, const std::string& body) {
  std::string frame;
  remoteagent::EncodeFrame(kind, body, frame);
  return frame;
}

TEST_F(ProcessAgentTest, StrangersOnTheLoopbackPortChangeNothing) {
  ASSERT_TRUE(server.AddAgent("good", "", ""));
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (IsPing(message, "hello")) {
      const int port = server.GetListenPort();
      const std::string key = remoteagent::NewLaunchKey();
      Stranger(port, Frame(remoteagent::kHello, remoteagent::MakeHelloBody("good", key)));  // already here
      Stranger(port, Frame(remoteagent::kHello, remoteagent::MakeHelloBody("ghost", key)));
      Stranger(port, Frame(remoteagent::kMessage, "<RATest_Ping tag=\"0xCB800001\"/>"));    // no hello
      Stranger(port, std::string("\xff\xff\xff\xff garbage", 12));
      Stranger(port, std::string());
      // A frame far longer than any hello is refused at once, not read for the whole hello time (10 s).
      std::string big = Frame(remoteagent::kHello, std::string(1 << 20, 'x')).substr(0, 64 * 1024);
      EXPECT_TRUE(HungUpOn(port, big, 5)) << "an unidentified peer may fill memory";
      server.SendMsgToAgent(name, RATest::MakeCommand("echo", 0, 3));
    } else if (IsPing(message, "echo")) {
      server.SendMsgToAgent(name, RATest::MakeCommand("quit", 0, 4));
    }
  };
  ASSERT_TRUE(RunMain(server));
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg 3 echo", "msg 4 last", "msg -1 bye", "stopped"}),
            server.Of("good"));
  EXPECT_EQ(-1, server.IndexOf("ghost started"));
  EXPECT_EQ((Entries{"good"}), server.GetAgentNames());
}

// The start-up time-out counts on the platform clock: 120 seconds pass in a moment under a virtual one.
// A failure to start is reported once the agent's process is gone, not merely told to go.
TEST_F(ProcessAgentTest, SilenceBeforeHelloFailsOnTheClockAndLeavesNoProcess) {
  testsupport::VirtualClock clock;
  server.SetAgentStartupTimeout(120);
  server.SetSelectTimeoutMs(1000);
  ASSERT_TRUE(server.AddAgent("noshow", "-mode noshow", ""));
  ASSERT_TRUE(server.AddAgent("hang", "-mode hang", ""));
  const std::set<int> before = ChildProcesses();
  const long long start = ZtClock::MonotonicTicks();
  long long failedAfter = 0;
  std::set<int> childrenAtFailure;
  std::atomic<bool> mainEnded{false};
  ZtEventH driverStopped(true);
  std::thread clockDriver;
  server.onFailed = [&](const std::string& name) {
    if (name == "noshow") {  // its process ended in real time; now the clock moves
      clockDriver = std::thread([&] {
        while (!mainEnded.load()) ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
        driverStopped.set();
      });
      return;
    }
    failedAfter = ZtClock::MonotonicTicks() - start;
    childrenAtFailure = ChildProcesses();  // zombies included
  };
  const bool ended = RunMain(server);
  mainEnded = true;
  if (clockDriver.joinable()) {
    driverStopped.wait();  // a wait the clock sees: an advance that woke this thread can finish
    clockDriver.join();
  }
  ASSERT_TRUE(ended);
  EXPECT_EQ((Entries{"failed"}), server.Of("noshow"));
  EXPECT_EQ((Entries{"failed"}), server.Of("hang"));
  EXPECT_GE(failedAfter, 120 * kZtTicksPerSecond);
  EXPECT_TRUE(std::includes(before.begin(), before.end(), childrenAtFailure.begin(), childrenAtFailure.end()))
      << "the silent agent's process outlived the report of its failure";
}

// While an agent is starting, a local process that knows its name but not its launch key is refused and
// reported nothing, and 64 idle connections (every place for strangers) cannot keep the agent out: the
// oldest makes room. Strangers are let go at the 2-second hello limit of the platform clock.
TEST_F(ProcessAgentTest, StrangersCanNeitherTakeNorBlockAnAgentThatIsStarting) {
  testsupport::VirtualClock clock;
  const std::string gate = lab.Root() + "/gate";
  ASSERT_TRUE(server.AddAgent("first", "", ""));
  ASSERT_TRUE(server.AddAgent("late", "-hold " + gate, ""));
  std::vector<int> strangers;
  bool wrongKeyRefused = false, connectedEarly = true, oldestEvicted = false, othersOpen = false,
       openBeforeLimit = false, closedAtLimit = false;
  auto othersAre = [&](bool (*state)(int)) { return std::all_of(strangers.begin() + 1, strangers.end(), state); };
  server.onStarted = [&](const std::string& name) {
    if (name == "first") {  // "late" is starting: its process waits at the gate and has not said hello
      const int port = server.GetListenPort();
      const std::string hello = remoteagent::MakeHelloBody("late", remoteagent::NewLaunchKey());
      wrongKeyRefused = HungUpOn(port, Frame(remoteagent::kHello, hello), 5);
      connectedEarly = server.IsAgentConnected("late");
      for (int i = 0; i < 64; ++i) strangers.push_back(ConnectTo(port));
      lab::WriteFileAtomic(gate, "go");  // late's connection comes after all of them
      return;
    }
    oldestEvicted = HungUp(strangers[0]);
    othersOpen = othersAre(StillOpen);
    ZtClock::AdvanceForTest(CTimeInterval(2 * kZtTicksPerSecond - 1));
    openBeforeLimit = othersAre(StillOpen);
    ZtClock::AdvanceForTest(CTimeInterval(1));
    closedAtLimit = othersAre([](int fd) { return HungUp(fd); });
    for (const char* agent : {"first", "late"}) server.SendMsgToAgent(agent, RATest::MakeCommand("quit", 0, 1));
  };
  server.onFailed = [&](const std::string&) { server.SetQuitFlag(); };
  const bool ended = RunMain(server);
  for (int fd : strangers) close(fd);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(wrongKeyRefused) << "a hello with the wrong key was answered";
  EXPECT_FALSE(connectedEarly);
  EXPECT_EQ((Entries{"started", "msg 0 hello", "msg 1 last", "msg -1 bye", "stopped"}), server.Of("late"));
  EXPECT_TRUE(oldestEvicted) << "the oldest stranger should have made room";
  EXPECT_TRUE(othersOpen) << "only the oldest stranger should have gone";
  EXPECT_TRUE(openBeforeLimit);
  EXPECT_TRUE(closedAtLimit) << "strangers are kept past the hello limit";
}

// True once the log holds the text (the loop waits here while a connection fills up).
bool LogShows(const std::string& path, const std::string& text) {
  for (int i = 0; i < 6000; ++i) {
    std::string content;
    if (lab::ReadFile(path, content) && content.find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// An agent sending large messages while the loop is behind: what waits for the loop is bounded in
// bytes, not only in messages.
TEST_F(ProcessAgentTest, ReadingPausesWhenTheLoopIsBehindByBytes) {
  ASSERT_TRUE(EvDebug::initializeLog(1, "ratest"));
  struct LogGuard {
    ~LogGuard() { EvDebug::shutdownLog(); }
  } logGuard;
  const std::string log = EvDebug::getLogPath();
  constexpr int kBig = 48;
  constexpr int kSize = 1 << 20;
  ASSERT_TRUE(server.AddAgent("fast", "", ""));
  int received = 0, inBatch = 0, largestBatch = 0;
  bool paused = false;
  server.onMessage = [&](const std::string& name, CNMessageBase* message) {
    if (IsPing(message, "hello")) server.SendMsgToAgent(name, RATest::MakeCommand("big", kBig, kSize));
    if (!IsPing(message, "big")) return;
    ++inBatch;
    // The loop stays behind until the connection stops reading.
    if (++received == 1) paused = LogShows(log, "ahead of the loop; reading paused");
    if (received == kBig) server.SendMsgToAgent(name, RATest::MakeCommand("quit", 0, 1));
  };
  server.onIdle = [&] {
    largestBatch = std::max(largestBatch, inBatch);
    inBatch = 0;
  };
  ASSERT_TRUE(RunMain(server, 120));
  EXPECT_TRUE(paused) << "reading never paused";
  EXPECT_EQ(kBig, received);
  // At most the pause mark, the message that crossed it and one more completed by the same read.
  EXPECT_LE(largestBatch, remoteagent::Backlog::kPauseBytes / kSize + 2);
}

TEST(RemoteAgentClientOptions, RefusesToConnectWithoutSoundOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* key;
  };
  const std::string key(32, 'a');
  const Case cases[] = {
      {{"agent", "-client"}, key.c_str()},
      {{"agent", "-raaddr", "10.0.0.1", "-raport", "4000", "-raname", "a"}, key.c_str()},
      {{"agent", "-raaddr", "127.0.0.1", "-raport", "70000", "-raname", "a"}, key.c_str()},
      {{"agent", "-raaddr", "127.0.0.1", "-raport", "12x", "-raname", "a"}, key.c_str()},
      {{"agent", "-raaddr", "127.0.0.1", "-raport", "4000", "-raname", "../a"}, key.c_str()},
      {{"agent", "-raaddr", "127.0.0.1", "-raport", "4000", "-raname", "a"}, nullptr},
      {{"agent", "-raaddr", "127.0.0.1", "-raport", "4000", "-raname", "a"}, "short"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
    if (c.key) {
      setenv("QUARN_RA_KEY", c.key, 1);
    } else {
      unsetenv("QUARN_RA_KEY");
    }
    ZTRemoteAgentClient client;
    EXPECT_FALSE(client.ConnectToServer(static_cast<int>(argv.size()), argv.data())) << c.args.size();
    EXPECT_FALSE(client.Main(static_cast<int>(argv.size()), argv.data()));
    EXPECT_FALSE(client.SendMsgToServer(RATest::MakeCommand("echo")));
  }
  unsetenv("QUARN_RA_KEY");
}

}  // namespace
