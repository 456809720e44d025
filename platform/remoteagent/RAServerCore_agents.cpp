// Agents of the server: registration, launches (processes and the local run), failing, restarting,
// sending, and the shut-down of everything that still runs.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/os/ZtProcess.h"
#include "platform/os/ZtThread.h"
#include "platform/remoteagent/RAClientCore.h"
#include "platform/remoteagent/RAConnection.h"
#include "platform/remoteagent/RAFrame.h"
#include "platform/remoteagent/RAServerCore.h"
#include "platform/remoteagent/ZTRemoteAgentClient.h"

namespace remoteagent {
namespace {

const char* const kSigAddAgent =
    "virtual bool ZTRemoteAgentServer::AddAgent(const std::string&, const std::string&, const std::string&)";
const char* const kSigAddLocal = "bool ZTRemoteAgentServer::AddLocalAgent(const std::string&, ZTRemoteAgentClient*)";
const char* const kSigLaunch = "bool ZTRemoteAgentServer::LaunchAgent(const std::string&)";
const char* const kSigFail = "bool ZTRemoteAgentServer::FailAgent(const std::string&)";
const char* const kSigRestart = "bool ZTRemoteAgentServer::RestartAgent(const std::string&)";
const char* const kSigSend = "bool ZTRemoteAgentServer::SendMsgToAgent(const std::string&, const CNMessageBase&)";
const char* const kSigDeinit = "bool ZTRemoteAgentServer::Deinitialize()";

constexpr int kPoolThreads = 4;
// How often (real milliseconds) a launch looks whether its process ended before saying hello, and the
// shut-down whether the agent processes have left: a child's run time is real whatever the clock.
constexpr int kChildLookMs = 20;

std::vector<std::string> SplitArguments(const std::string& text) {
  std::vector<std::string> tokens;
  std::string current;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!current.empty()) tokens.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) tokens.push_back(current);
  return tokens;
}

bool IsFrameworkOption(const std::string& token) {
  return token == kOptAddress || token == kOptPort || token == kOptName || token == kOptClient;
}

// The program an agent runs. A bare name (the application's name, as the coordinator gives it) means
// this program when it is this program's name, else a program of that name next to this one; only
// then is it looked up in PATH. Otherwise a job started by its full path, outside PATH, could never
// start its agents, or would start some other installed copy.
std::string AgentProgram(const std::string& command) {
  const std::string self = ZtProcess::SelfPath();
  if (command.empty()) return self;
  if (command.find('/') != std::string::npos || self.empty()) return command;
  const size_t slash = self.rfind('/');
  if (self.compare(slash + 1, std::string::npos, command) == 0) return self;
  const std::string sibling = self.substr(0, slash + 1) + command;
  if (access(sibling.c_str(), X_OK) == 0) return sibling;
  return command;
}

}  // namespace

ServerCore::ServerCore(ZTRemoteAgentServer* owner) : owner_(owner) {}

ServerCore::~ServerCore() { Deinitialize(); }

void ServerCore::SetAgentCommandName(const std::string& command, const std::string& clientOption) {
  ZtMutexLock lock(mu_);
  command_ = command;
  clientOption_ = clientOption;
}

void ServerCore::SetSelectTimeoutMs(int ms) {
  selectTimeoutMs_ = std::max(1, ms);
  eventsCv_.notify_all();
}

void ServerCore::SetStartupThreads(int threads) { startupThreads_ = threads; }

void ServerCore::SetStartupTimeoutMs(int ms) {
  if (ms > 0) startupTimeoutMs_ = ms;
}

void ServerCore::SetQuitDrainTimeoutMs(int ms) { drainTimeoutMs_ = std::max(0, ms); }

AgentEntry* ServerCore::FindLocked(const std::string& name) {
  auto it = agents_.find(name);
  return it == agents_.end() ? nullptr : it->second.get();
}

bool ServerCore::RegisterLocked(std::unique_ptr<AgentEntry> entry) {
  if (deinitialized_ || agents_.count(entry->name) != 0) return false;
  AgentEntry* agent = entry.get();
  agents_.emplace(agent->name, std::move(entry));
  // Added while the loop runs: started at once, outside the start-up round.
  if (mainBegun_ && !quit_.load()) QueueLaunchLocked(agent);
  return true;
}

bool ServerCore::AddLocalAgent(const std::string& name, ZTRemoteAgentClient* controller) {
  if (!lab::IsSafeComponent(name)) {
    ev_.Error(kSigAddLocal, "Refusing local agent with an unusable name [%s]", name.c_str());
    return false;
  }
  if (controller == nullptr && !scripted_.load()) {
    ev_.Error(kSigAddLocal, "Local agent [%s] has no controller", name.c_str());
    return false;
  }
  ZtMutexLock lock(mu_);
  if (controller != nullptr) {
    for (auto& item : agents_) {
      if (item.second->controller == controller) {
        ev_.Error(kSigAddLocal, "The controller of [%s] is already the local agent [%s]", name.c_str(),
                  item.first.c_str());
        return false;
      }
    }
  }
  auto entry = std::make_unique<AgentEntry>();
  entry->name = name;
  entry->host = name;
  entry->local = true;
  entry->controller = controller;
  if (!RegisterLocked(std::move(entry))) {
    ev_.Error(kSigAddLocal, "Agent [%s] cannot be added: %s", name.c_str(),
              deinitialized_ ? "the server is shut down" : "the name is already registered");
    return false;
  }
  return true;
}

bool ServerCore::AddAgent(const std::string& name, const std::string& arguments, const std::string& hostName) {
  const std::string host = hostName.empty() ? name : hostName;
  if (!lab::IsSafeComponent(name) || !lab::IsSafeComponent(host)) {
    ev_.Error(kSigAddAgent, "Refusing agent with an unusable name [%s] or host [%s]", name.c_str(), host.c_str());
    return false;
  }
  std::vector<std::string> args = SplitArguments(arguments);
  for (const std::string& token : args) {
    if (IsFrameworkOption(token) || token.find('\0') != std::string::npos) {
      ev_.Error(kSigAddAgent, "Agent [%s]: argument [%s] is reserved for the framework", name.c_str(),
                token.c_str());
      return false;
    }
  }
  auto entry = std::make_unique<AgentEntry>();
  entry->name = name;
  entry->host = host;
  entry->args = std::move(args);
  ZtMutexLock lock(mu_);
  if (!RegisterLocked(std::move(entry))) {
    ev_.Error(kSigAddAgent, "Agent [%s] cannot be added: %s", name.c_str(),
              deinitialized_ ? "the server is shut down" : "the name is already registered");
    return false;
  }
  return true;
}

uint64_t ServerCore::NewGenerationLocked(AgentEntry* agent) {
  ++agent->gen;
  agent->phase = AgentPhase::kLaunching;
  agent->saidHello = false;
  agent->key = scripted_.load() ? std::string() : NewLaunchKey();
  agent->helloDeadline = ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(startupTimeoutMs_.load()));
  agent->pid = -1;
  agent->conn.reset();
  agent->link.reset();
  agent->stopSent = false;
  agent->scriptStopRequested = false;
  return agent->gen;
}

void ServerCore::QueueLaunchLocked(AgentEntry* agent) {
  const uint64_t gen = NewGenerationLocked(agent);
  if (scripted_.load()) {
    scriptStarts_.push_back(agent->name);
    return;
  }
  launchQueue_.emplace_back(agent, gen);
  const int limit = startupThreads_.load();
  if (static_cast<int>(launchQueue_.size()) > idleLaunchers_ &&
      (limit < 1 || static_cast<int>(launchers_.size()) < limit)) {
    try {
      launchers_.emplace_back([this] { LauncherThread(); });
    } catch (...) {
      // Without a thread of its own the launch waits for a busy launcher, or fails now if none exists.
      if (launchers_.empty()) {
        launchQueue_.pop_back();
        LaunchFailedLocked(agent, gen, "no start-up thread could be created");
      }
    }
  }
  workCv_.notify_one();
}

void ServerCore::LauncherThread() NO_THREAD_SAFETY_ANALYSIS {
  mu_.lock();
  for (;;) {
    while (launchQueue_.empty() && !closing_) {
      ++idleLaunchers_;
      workCv_.wait(mu_);
      --idleLaunchers_;
    }
    if (closing_) break;
    std::pair<AgentEntry*, uint64_t> item = launchQueue_.front();
    launchQueue_.pop_front();
    mu_.unlock();
    LaunchAndWait(item.first, item.second);
    mu_.lock();
  }
  mu_.unlock();
}

bool ServerCore::LaunchAndWait(AgentEntry* agent, uint64_t gen) {
  // The lab's fault table can keep an agent from starting, by the client it is: a failed start reaches
  // the caller as any other does.
  lab::FaultCall call;
  call.op = "ra.LaunchAgent";
  call.client = agent->host;
  lab::Fault fault;
  if (lab::CheckFault(call, fault)) {
    const std::string why = "error " + std::to_string(fault.code) + ": " + fault.text;
    ZtMutexLock lock(mu_);
    if (!closing_) LaunchFailedLocked(agent, gen, why.c_str());
    return false;
  }
  return agent->local ? LaunchLocal(agent, gen) : LaunchRemote(agent, gen);
}

void ServerCore::LaunchFailedLocked(AgentEntry* agent, uint64_t gen, const char* why) {
  if (agent->gen != gen || agent->phase != AgentPhase::kLaunching) return;
  agent->phase = AgentPhase::kDown;
  ev_.Error(kSigLaunch, "Agent [%s] failed to start: %s", agent->name.c_str(), why);
  launchCv_.notify_all();
  // Its process may still run: the failure is reported once it is gone, so that whoever hears of the
  // failure never meets the process (a restart would otherwise race with it).
  if (agent->launchOpen) {
    agent->failureOwed = true;
    return;
  }
  QueueSimpleLocked(AgentEvent::Type::kFailed, agent, gen);
}

void ServerCore::FailOverdueScriptLaunchesLocked() {
  const long long now = ZtClock::MonotonicTicks();
  for (auto& item : agents_) {
    AgentEntry* agent = item.second.get();
    if (agent->phase == AgentPhase::kLaunching && now >= agent->helloDeadline) {
      LaunchFailedLocked(agent, agent->gen, "it did not say hello in time");
    }
  }
}

bool ServerCore::LaunchRemote(AgentEntry* agent, uint64_t gen) {
  const bool listening = EnsureListener();
  std::vector<std::string> argv;
  std::vector<std::pair<std::string, std::string>> env;
  std::string host;
  {
    ZtMutexLock lock(mu_);
    if (closing_ || agent->gen != gen || agent->phase != AgentPhase::kLaunching) return false;
    if (!listening) {
      LaunchFailedLocked(agent, gen, "the loopback listener could not be opened");
      return false;
    }
    argv.push_back(AgentProgram(command_));
    if (!clientOption_.empty()) argv.push_back(clientOption_);
    argv.insert(argv.end(), agent->args.begin(), agent->args.end());
    argv.insert(argv.end(), {kOptAddress, "127.0.0.1", kOptPort, std::to_string(listenPort_.load()), kOptName,
                             agent->name, kOptClient, agent->host});
    env.emplace_back(kKeyEnv, agent->key);
    host = agent->host;
    agent->launchOpen = true;
  }
  const std::string root = lab::Root();
  if (!root.empty()) {
    // Each agent process is its own simulated client; an explicit root reaches it through the environment.
    env.emplace_back(lab::RootVariable(), root);
    lab::MakeDirs(lab::ClientDir(host));
  }
  pid_t pid = -1;
  if (argv[0].empty() || !ZtProcess::Spawn(argv, env, pid)) {
    {
      ZtMutexLock lock(mu_);
      LaunchFailedLocked(agent, gen, "the agent program could not be started");
    }
    return EndRemoteLaunch(agent, gen, -1, true);
  }
  ev_.Debug(kSigLaunch, "Started agent [%s] as process %d on client [%s]", agent->name.c_str(),
            static_cast<int>(pid), host.c_str());

  const long long deadline = ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(startupTimeoutMs_.load()));
  bool reaped = false;
  {
    ZtMutexLock lock(mu_);
    if (agent->gen == gen) agent->pid = pid;
    for (;;) {
      if (agent->gen != gen || agent->phase != AgentPhase::kLaunching) break;  // hello, FailAgent or quit
      if (closing_) {
        LaunchFailedLocked(agent, gen, "the server is closing");
        break;
      }
      int status = 0;
      const pid_t waited = waitpid(pid, &status, WNOHANG);
      // ECHILD: someone else reaped it (for instance SIGCHLD ignored): gone all the same.
      if (waited == pid || (waited < 0 && errno == ECHILD)) {
        reaped = true;
        LaunchFailedLocked(agent, gen, "its process ended before it said hello");
        break;
      }
      if (ZtClock::MonotonicTicks() >= deadline) {
        LaunchFailedLocked(agent, gen, "it did not say hello in time");
        break;
      }
      launchCv_.wait_until(mu_, deadline, kChildLookMs);
    }
  }
  return EndRemoteLaunch(agent, gen, pid, reaped);
}

bool ServerCore::EndRemoteLaunch(AgentEntry* agent, uint64_t gen, pid_t pid, bool reaped) {
  // reaped: no process is left (it was reaped, or none was started).
  bool connected = false;
  {
    ZtMutexLock lock(mu_);
    // An agent that said hello was started, even if it has left again before this look.
    connected = agent->gen == gen && agent->saidHello;
    if (connected) {
      children_.insert(pid);  // reaped by the loop, or by Deinitialize
    } else if (!reaped) {
      ZtProcess::Kill(pid, SIGKILL);
    }
  }
  if (!connected && !reaped) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ZtMutexLock lock(mu_);
  if (!connected && agent->pid == pid) agent->pid = -1;
  agent->launchOpen = false;
  launchCv_.notify_all();
  if (agent->failureOwed) {
    agent->failureOwed = false;
    QueueSimpleLocked(AgentEvent::Type::kFailed, agent, gen);
  }
  return connected;
}

bool ServerCore::LaunchLocal(AgentEntry* agent, uint64_t gen) {
  std::thread previous;
  {
    ZtMutexLock lock(mu_);
    if (closing_ || agent->gen != gen || agent->phase != AgentPhase::kLaunching) return false;
    previous = std::move(agent->localThread);
  }
  // One run at a time per controller: the last one ends (it was told to stop) before the next begins.
  if (previous.joinable()) previous.join();

  ZtMutexLock lock(mu_);
  if (closing_ || agent->gen != gen || agent->phase != AgentPhase::kLaunching) return false;
  ZTRemoteAgentClient* client = agent->controller;
  auto link = std::make_shared<LocalLink>(this, agent, gen);
  if (client == nullptr || !client->core_->AttachLocal(link, agent->name)) {
    LaunchFailedLocked(agent, gen, "its controller is already running");
    return false;
  }
  agent->link = link;
  agent->phase = AgentPhase::kConnected;
  // Queued before the run starts, so the agent is reported started before anything it sends.
  QueueSimpleLocked(AgentEvent::Type::kStarted, agent, gen);
  try {
    agent->localThread = std::thread([this, agent, gen, client, link] {
      client->core_->Run();
      link->Detach();
      client->core_->DetachLocal();
      LocalRunEnded(agent, gen);
    });
  } catch (...) {
    link->Detach();
    client->core_->DetachLocal();
    agent->phase = AgentPhase::kDown;
    agent->link.reset();
    ev_.Error(kSigLaunch, "No thread for local agent [%s]", agent->name.c_str());
    QueueSimpleLocked(AgentEvent::Type::kStopped, agent, gen);
    return false;
  }
  ev_.Debug(kSigLaunch, "Local agent [%s] is running", agent->name.c_str());
  return true;
}

void ServerCore::LocalRunEnded(AgentEntry* agent, uint64_t gen) {
  ZtMutexLock lock(mu_);
  if (agent->gen == gen && agent->phase == AgentPhase::kConnected) {
    agent->phase = AgentPhase::kDown;
    agent->link.reset();
    QueueSimpleLocked(AgentEvent::Type::kStopped, agent, gen);
  }
}

void ServerCore::PostLocalMessage(AgentEntry* agent, uint64_t gen, std::unique_ptr<CNMessageBase> message) {
  ZtMutexLock lock(mu_);
  if (agent->gen != gen || agent->phase != AgentPhase::kConnected) return;
  AgentEvent event;
  event.type = AgentEvent::Type::kMessage;
  event.agent = agent;
  event.gen = gen;
  event.message = std::move(message);
  QueueEventLocked(std::move(event));
}

void ServerCore::CutOffLocked(AgentEntry* agent, int signal) {
  if (!scripted_.load()) {
    if (agent->local) {
      // The run may be inside a callback that waits for its quit flag (a worker waiting for work):
      // a stop queued behind it alone would never be reached.
      if (agent->controller != nullptr) {
        agent->controller->core_->SetQuit();
        agent->controller->core_->PushStop();
      }
    } else {
      if (agent->conn) agent->conn->Close();
      if (signal != 0 && agent->pid > 0 && children_.count(agent->pid) != 0) ZtProcess::Kill(agent->pid, signal);
    }
  }
  agent->phase = AgentPhase::kDown;
  agent->conn.reset();
}

void ServerCore::TellToStopLocked(AgentEntry* agent) {
  if (agent->phase != AgentPhase::kConnected || agent->stopSent) return;
  agent->stopSent = true;
  if (scripted_.load()) {
    agent->scriptStopRequested = true;
  } else if (agent->local) {
    if (agent->controller != nullptr) agent->controller->core_->PushStop();
  } else if (agent->conn) {
    std::string frame;
    EncodeFrame(kStop, std::string(), frame);
    agent->conn->Send(frame);
  }
}

bool ServerCore::FailAgent(const std::string& name) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  if (agent == nullptr) {
    ev_.Error(kSigFail, "Agent [%s] is not known", name.c_str());
    return false;
  }
  if (agent->phase == AgentPhase::kLaunching) {
    LaunchFailedLocked(agent, agent->gen, "it was failed by the coordinator");
    return true;
  }
  if (agent->phase == AgentPhase::kConnected) {
    const uint64_t gen = agent->gen;
    ev_.Debug(kSigFail, "Failing agent [%s]", name.c_str());
    CutOffLocked(agent, SIGTERM);
    QueueSimpleLocked(AgentEvent::Type::kFailed, agent, gen);
    return true;
  }
  return false;
}

bool ServerCore::RestartAgent(const std::string& name) {
  AgentEntry* agent = nullptr;
  uint64_t gen = 0;
  {
    ZtMutexLock lock(mu_);
    agent = FindLocked(name);
    if (agent == nullptr) {
      ev_.Error(kSigRestart, "Agent [%s] is not known", name.c_str());
      return false;
    }
    if (closing_ || quit_.load()) return false;
    // Its outcome is on its way already.
    if (agent->phase == AgentPhase::kLaunching || agent->failureOwed) return false;
    // A launcher that is only closing its watch of the agent's earlier process (which said hello, so
    // it owes no failure) is done in a moment: wait for it rather than lose the restart.
    while (agent->launchOpen && !closing_ && !quit_.load()) launchCv_.wait(mu_);
    if (closing_ || quit_.load() || agent->launchOpen || agent->phase == AgentPhase::kLaunching) return false;
    if (agent->phase == AgentPhase::kConnected) {
      const uint64_t old = agent->gen;
      CutOffLocked(agent, SIGTERM);
      QueueSimpleLocked(AgentEvent::Type::kStopped, agent, old);
    }
    gen = NewGenerationLocked(agent);
    ev_.Debug(kSigRestart, "Restarting agent [%s]", name.c_str());
    if (scripted_.load()) {
      scriptStarts_.push_back(name);
      return true;
    }
  }
  return LaunchAndWait(agent, gen);
}

bool ServerCore::SendMsgToAgent(const std::string& name, const CNMessageBase& message) {
  std::string xml;
  if (!message.serialize(xml, true)) {
    ev_.Error(kSigSend, "Message [%s] for agent [%s] could not be serialised", message.getTagName().c_str(),
              name.c_str());
    return false;
  }
  std::shared_ptr<Connection> conn;
  {
    ZtMutexLock lock(mu_);
    AgentEntry* agent = FindLocked(name);
    if (agent == nullptr || agent->phase != AgentPhase::kConnected) return false;
    if (scripted_.load()) {
      scriptOutbox_[name].push_back(std::move(xml));
      return true;
    }
    if (agent->local) {
      agent->controller->core_->PushMessage(std::move(xml));
      return true;
    }
    conn = agent->conn;
  }
  if (!conn) return false;
  std::string frame;
  if (!EncodeFrame(kMessage, xml, frame)) {
    ev_.Error(kSigSend, "Message [%s] for agent [%s] is too large (%zu bytes)", message.getTagName().c_str(),
              name.c_str(), xml.size());
    return false;
  }
  return conn->Send(frame);
}

std::string ServerCore::GetAgentHostName(const std::string& name) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  return agent ? agent->host : std::string();
}

bool ServerCore::IsAgentConnected(const std::string& name) {
  ZtMutexLock lock(mu_);
  AgentEntry* agent = FindLocked(name);
  return agent != nullptr && agent->phase == AgentPhase::kConnected;
}

std::vector<std::string> ServerCore::GetAgentNames() {
  ZtMutexLock lock(mu_);
  std::vector<std::string> names;
  for (auto& item : agents_) names.push_back(item.first);
  return names;
}

ZtThreadPool& ServerCore::GetThreadPool() {
  ZtMutexLock lock(mu_);
  if (!pool_) {
    pool_ = std::make_unique<ZtThreadPool>(kPoolThreads);
    if (deinitialized_) pool_->Shutdown();
  }
  return *pool_;
}

bool ServerCore::SubmitToThreadPool(std::function<void()> job) {
  if (!job) return false;
  {
    ZtMutexLock lock(mu_);
    if (deinitialized_) return false;
    ++poolJobsInFlight_;
  }
  auto counted = [this, job = std::move(job)] {
    job();
    ZtMutexLock lock(mu_);
    --poolJobsInFlight_;
    eventsCv_.notify_all();
  };
  if (scripted_.load()) {
    ZtMutexLock lock(mu_);
    scriptJobs_.push_back(std::move(counted));
    return true;
  }
  if (!GetThreadPool().Submit(std::move(counted))) {
    ZtMutexLock lock(mu_);
    --poolJobsInFlight_;
    return false;
  }
  return true;
}

bool ServerCore::Deinitialize() {
  std::vector<std::thread> launchers;
  std::vector<std::shared_ptr<Connection>> connections;
  std::vector<AgentEntry*> locals;
  std::unique_ptr<ZtThreadPool> pool;
  {
    ZtMutexLock lock(mu_);
    if (deinitialized_) return true;
    deinitialized_ = true;
    closing_ = true;
    quit_ = true;
    for (auto& item : agents_) {
      AgentEntry* agent = item.second.get();
      if (agent->phase == AgentPhase::kConnected) TellToStopLocked(agent);
      if (agent->phase == AgentPhase::kLaunching) agent->phase = AgentPhase::kDown;  // no callbacks any more
      if (agent->local) locals.push_back(agent);
    }
    launchers.swap(launchers_);
    workCv_.notify_all();
    launchCv_.notify_all();
    eventsCv_.notify_all();
  }
  std::thread acceptor;
  {
    ZtMutexLock lock(listenerMu_);
    listenerClosed_ = true;
    if (acceptorWake_ >= 0) {
      uint64_t one = 1;
      ssize_t ignored = write(acceptorWake_, &one, sizeof one);
      (void)ignored;
    }
    acceptor = std::move(acceptor_);
  }
  if (acceptor.joinable()) acceptor.join();
  {
    ZtMutexLock lock(listenerMu_);
    if (listenFd_ >= 0) close(listenFd_);
    if (acceptorWake_ >= 0) close(acceptorWake_);
    listenFd_ = -1;
    acceptorWake_ = -1;
  }
  for (std::thread& launcher : launchers) launcher.join();

  // Agent processes were told to stop; give them a moment to leave on their own, then make sure.
  const long long grace =
      ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(std::min(drainTimeoutMs_.load(), 5000)));
  for (;;) {
    std::set<pid_t> children;
    {
      ZtMutexLock lock(mu_);
      children = children_;
    }
    for (pid_t pid : children) {
      int status = 0;
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid || (r < 0 && errno == ECHILD)) {
        ZtMutexLock lock(mu_);
        children_.erase(pid);
      }
    }
    {
      ZtMutexLock lock(mu_);
      if (children_.empty()) break;
    }
    if (ZtClock::MonotonicTicks() >= grace) break;
    ZtClock::Pause(grace, kChildLookMs);
  }
  std::set<pid_t> left;
  {
    ZtMutexLock lock(mu_);
    left.swap(children_);
    connections.swap(connections_);
    pool = std::move(pool_);
  }
  for (pid_t pid : left) {
    ev_.Error(kSigDeinit, "Agent process %d did not end; killing it", static_cast<int>(pid));
    ZtProcess::Kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  for (auto& conn : connections) conn->Close();
  for (auto& conn : connections) conn->Join();
  connections.clear();
  for (AgentEntry* agent : locals) {
    std::thread run;
    {
      ZtMutexLock lock(mu_);
      run = std::move(agent->localThread);
    }
    if (!run.joinable()) continue;
    // Also its quit flag: a run inside a callback that waits for it would never reach the stop.
    agent->controller->core_->SetQuit();
    agent->controller->core_->PushStop();
    run.join();
  }
  if (pool) pool->Shutdown();
  std::set<pid_t> late;
  {
    // A pool object must outlive references handed out by GetThreadPool; keep a refusing one.
    ZtMutexLock lock(mu_);
    pool_ = std::move(pool);
    late.swap(children_);
  }
  // A restart already under way on a pool thread when the shut-down began may have started a process
  // after the reaping above; its launch killed it, and it is reaped here so that no zombie stays.
  for (pid_t pid : late) {
    ZtProcess::Kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return true;
}

}  // namespace remoteagent
