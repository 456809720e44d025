// quarn-test-agent: an agent process for the remote-agent framework's tests.
//
//   quarn-test-agent -client [-mode M] [-burst N] [-hold FILE] <framework options>
//
// Modes: "normal" (default) connects and runs the agent loop; "noshow" ends at once with code 3 without
// connecting; "hang" never connects; "raw-garbage", "raw-oversize" and "raw-badkind" say hello by hand,
// send one good Ping and then a malformed message, an oversized frame or a frame of an unknown kind.
// -hold waits until FILE exists, so a test can act while the agent is starting.
//
// A normal agent sends Ping(0, "hello") when started, then -burst N Pings numbered 1..N, answers the
// Commands of RATestMessages.def, and sends Ping(-1, "bye") when it stops. Command "big" sends count
// Pings "big" numbered 1..count whose sender field holds arg bytes.
//
// Started by a coordinator (its command line carries the job's "-j" and the subclient's "-a"), it
// speaks the coordinator's protocol instead (VSProtocolAgent.h); the file "kill-on-first-vm" in its
// client's Temp folder makes it kill itself when its first VM arrives. A job whose folder has the
// file "stream-job" runs as a whole job process instead, coordinator or agent (StreamJob.h).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "agentprog/RATestMessages.h"
#include "agentprog/StreamJob.h"
#include "agentprog/VSProtocolAgent.h"
#include "platform/lab/Lab.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/remoteagent/ZTRemoteAgentClient.h"

namespace {

const char* Option(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  return nullptr;
}

class TestAgent : public ZTRemoteAgentClient {
 public:
  explicit TestAgent(long burst) : burst_(burst) {}

  void OnAgentStarted() override {
    name_ = GetAgentName();
    SendMsgToServer(RATest::MakePing(0, name_, "hello"));
    for (long i = 1; i <= burst_; ++i) SendMsgToServer(RATest::MakePing(i, name_, "burst"));
  }

  void OnMsgReceived(const CNMessageBase& message) override {
    if (message.getTagID() != RATest::Command::TAG) {
      // Anything else comes back as is, so tests can check what the agent received.
      SendMsgToServer(message);
      return;
    }
    const std::string op = message.getstring(RATest::Command::F_op);
    const int64_t count = message.getint64(RATest::Command::F_count);
    const int64_t arg = message.getint64(RATest::Command::F_arg);
    if (op == "echo") {
      SendMsgToServer(RATest::MakePing(arg, name_, "echo"));
    } else if (op == "burst") {
      for (int64_t i = 1; i <= count; ++i) SendMsgToServer(RATest::MakePing(arg + i, name_, "burst"));
    } else if (op == "quit") {
      SendMsgToServer(RATest::MakePing(arg, name_, "last"));
      SetQuitFlag();
    } else if (op == "pid") {
      SendMsgToServer(RATest::MakePing(static_cast<int64_t>(getpid()), name_, "pid"));
    } else if (op == "exit") {
      _exit(static_cast<int>(arg));
    } else if (op == "big") {
      const std::string bulk(static_cast<size_t>(arg), 'x');
      for (int64_t i = 1; i <= count; ++i) SendMsgToServer(RATest::MakePing(i, bulk, "big"));
    } else if (op == "unknown") {
      CNMessageBase unknown(250, 7);
      SendMsgToServer(unknown);
    }
  }

  void OnAgentStopped() override { SendMsgToServer(RATest::MakePing(-1, name_, "bye")); }

 private:
  const long burst_;
  std::string name_;
};

class ProtocolAgent : public ZTRemoteAgentClient {
 public:
  ProtocolAgent(int64_t jobId, uint64_t appId, bool killOnFirstVM)
      : logic_([this](const CNMessageBase& m) { return SendMsgToServer(m); }, jobId, appId, killOnFirstVM) {}
  void OnAgentStarted() override { logic_.Started(); }
  void OnMsgReceived(const CNMessageBase& message) override {
    if (!logic_.Handle(message)) SetQuitFlag();
  }

 private:
  testagent::VSProtocolLogic logic_;
};

int RunProtocolAgent(int argc, char** argv) {
  const char* job = Option(argc, argv, "-j");
  const char* app = Option(argc, argv, "-a");
  const bool kill = access((lab::ClientTempDir(lab::FocusClient()) + "/kill-on-first-vm").c_str(), F_OK) == 0;
  ProtocolAgent agent(std::atoll(job), app ? std::strtoull(app, nullptr, 10) : 0, kill);
  if (!agent.ConnectToServer(argc, argv)) return 2;
  return agent.Main(argc, argv) ? 0 : 1;
}

bool SendFrame(int fd, char kind, const std::string& body) {
  std::string frame;
  return remoteagent::EncodeFrame(kind, body, frame) && remoteagent::SendAllBlocking(fd, frame);
}

// A peer that speaks the protocol by hand and then breaks it.
int RunRaw(int argc, char** argv, const std::string& mode) {
  const char* port = Option(argc, argv, remoteagent::kOptPort);
  const char* name = Option(argc, argv, remoteagent::kOptName);
  const char* key = std::getenv(remoteagent::kKeyEnv);
  if (port == nullptr || name == nullptr || key == nullptr) return 2;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 2;
  remoteagent::FrameReader reader;
  char kind = 0;
  std::string body;
  if (!SendFrame(fd, remoteagent::kHello, remoteagent::MakeHelloBody(name, key)) ||
      !remoteagent::ReadFrameTimed(fd, reader, kind, body, 10000) || kind != remoteagent::kAccept) {
    return 2;
  }
  std::string xml;
  RATest::MakePing(1, name, "before").serialize(xml, true);
  SendFrame(fd, remoteagent::kMessage, xml);
  if (mode == "raw-garbage") {
    SendFrame(fd, remoteagent::kMessage, "<RATest_Ping tag=\"0xCB800001\"><seq>1</seq");
  } else if (mode == "raw-oversize") {
    const unsigned char header[5] = {0x01, 0x40, 0x00, 0x00, 'M'};  // 20 MiB announced
    ssize_t ignored = send(fd, header, sizeof header, MSG_NOSIGNAL);
    (void)ignored;
  } else {
    SendFrame(fd, 'Z', "what");
  }
  // Stay until the server hangs up (or a minute passes).
  pollfd p{fd, POLLIN, 0};
  for (int i = 0; i < 600; ++i) {
    if (poll(&p, 1, 100) > 0) {
      char buffer[4096];
      if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
  }
  close(fd);
  return 0;
}

void WaitAtGate(const char* file) {
  while (access(file, F_OK) != 0) usleep(2000);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  lab::SetFocusClientFromArgs(argc, argv);
  if (const char* file = Option(argc, argv, "-hold")) WaitAtGate(file);
  const char* modeText = Option(argc, argv, "-mode");
  const std::string mode = modeText ? modeText : "normal";
  if (mode == "noshow") return 3;
  if (mode == "hang") {
    sleep(60);
    return 0;
  }
  if (mode.rfind("raw-", 0) == 0) return RunRaw(argc, argv, mode);
  if (IsStreamJob(argc, argv)) return RunStreamJob(argc, argv);
  if (Option(argc, argv, "-j") != nullptr && Option(argc, argv, "-a") != nullptr) return RunProtocolAgent(argc, argv);

  const char* burstText = Option(argc, argv, "-burst");
  TestAgent agent(burstText ? std::atol(burstText) : 0);
  if (!agent.ConnectToServer(argc, argv)) return 2;
  return agent.Main(argc, argv) ? 0 : 1;
}
