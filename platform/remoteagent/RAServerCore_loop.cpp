// The server loop: the event queue, delivery to the callbacks under the ordering rules, idle passes,
// quit handling and the end of Main.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/msg/CNMessageBase.h"
#include "platform/os/ZtTime.h"
#include "platform/remoteagent/RAConnection.h"
#include "platform/remoteagent/RAServerCore.h"
#include "platform/remoteagent/ZTRemoteAgentServer.h"

namespace remoteagent {
namespace {

const char* const kSigMain = "virtual bool ZTRemoteAgentServer::Main()";
constexpr long long kReapIntervalTicks = 100 * kZtTicksPerMillisecond;

}  // namespace

void ServerCore::QueueEventLocked(AgentEvent event) {
  events_.push_back(std::move(event));
  eventsCv_.notify_all();
}

void ServerCore::QueueSimpleLocked(AgentEvent::Type type, AgentEntry* agent, uint64_t gen) {
  AgentEvent event;
  event.type = type;
  event.agent = agent;
  event.gen = gen;
  QueueEventLocked(std::move(event));
}

void ServerCore::SetQuitFlag() {
  quit_ = true;
  ZtMutexLock lock(mu_);
  eventsCv_.notify_all();
}

bool ServerCore::AllDownLocked() {
  for (auto& item : agents_) {
    AgentPhase phase = item.second->phase;
    if (phase == AgentPhase::kLaunching || phase == AgentPhase::kConnected) return false;
  }
  return true;
}

bool ServerCore::BeginMainLocked() {
  mainBegun_ = true;
  quitHandled_ = false;
  startupRemaining_ = 0;
  for (auto& item : agents_) {
    AgentEntry* agent = item.second.get();
    // Agents already reported in an earlier loop are not waited for again.
    if (agent->told == AgentEntry::Told::kNothing) {
      agent->inStartupRound = true;
      ++startupRemaining_;
    }
    if (agent->phase == AgentPhase::kRegistered) QueueLaunchLocked(agent);
  }
  return true;
}

void ServerCore::MarkStartupResolved(AgentEntry* agent) {
  if (agent->inStartupRound) {
    agent->inStartupRound = false;
    --startupRemaining_;
  }
}

void ServerCore::Deliver(AgentEvent& event) {
  AgentEntry* agent = event.agent;
  using Told = AgentEntry::Told;
  switch (event.type) {
    case AgentEvent::Type::kStarted:
      // Only the first report of a generation counts, and never one older than what was told.
      if (event.gen <= agent->toldGen) return;
      agent->toldGen = event.gen;
      agent->told = Told::kStarted;
      MarkStartupResolved(agent);
      ev_.Debug(kSigMain, "Agent [%s] started", agent->name.c_str());
      owner_->OnAgentStarted(agent->name);
      return;
    case AgentEvent::Type::kFailed:
      if (event.gen < agent->toldGen) return;
      if (event.gen == agent->toldGen && agent->told != Told::kStarted) return;
      agent->toldGen = event.gen;
      agent->told = Told::kEnded;
      MarkStartupResolved(agent);
      ev_.Debug(kSigMain, "Agent [%s] failed", agent->name.c_str());
      owner_->OnAgentFailed(agent->name);
      return;
    case AgentEvent::Type::kStopped:
      if (event.gen != agent->toldGen || agent->told != Told::kStarted) return;
      agent->told = Told::kEnded;
      ev_.Debug(kSigMain, "Agent [%s] stopped", agent->name.c_str());
      owner_->OnAgentStopped(agent->name);
      return;
    case AgentEvent::Type::kMessage:
      if (event.conn) event.conn->Delivered(event.bytes);
      if (event.gen != agent->toldGen || agent->told != Told::kStarted || !event.message) return;
      owner_->OnMsgReceived(agent->name, event.message.get());
      return;
  }
}

bool ServerCore::DeliverQueued() {
  std::deque<AgentEvent> batch;
  {
    ZtMutexLock lock(mu_);
    if (scripted_.load()) FailOverdueScriptLaunchesLocked();
    batch.swap(events_);
  }
  for (AgentEvent& event : batch) Deliver(event);
  return !batch.empty();
}

bool ServerCore::DrainDue() { return ZtClock::MonotonicTicks() >= drainDeadline_; }

void ServerCore::ReapChildren() {
  const long long now = ZtClock::MonotonicTicks();
  if (now < nextReap_) return;
  nextReap_ = now + kReapIntervalTicks;
  std::vector<pid_t> pids;
  {
    ZtMutexLock lock(mu_);
    pids.assign(children_.begin(), children_.end());
  }
  for (pid_t pid : pids) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r != pid && !(r < 0 && errno == ECHILD)) continue;
    ZtMutexLock lock(mu_);
    children_.erase(pid);
    for (auto& item : agents_) {
      AgentEntry* agent = item.second.get();
      if (agent->pid != pid) continue;
      agent->pid = -1;
      // Normally its socket has ended already; if something else still holds it open, what the
      // process sent is read and the agent reported stopped all the same.
      if (agent->phase == AgentPhase::kConnected && agent->conn) agent->conn->DrainAndClose();
    }
  }
}

void ServerCore::JoinFinishedConnections() {
  std::vector<std::shared_ptr<Connection>> finished;
  {
    ZtMutexLock lock(mu_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->Finished()) {
        finished.push_back(*it);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& conn : finished) conn->Join();
}

bool ServerCore::AfterBatch() {
  if (!scripted_.load()) {
    ReapChildren();
    JoinFinishedConnections();
  }
  if (startupRemaining_ <= 0) owner_->OnIdle();

  ZtMutexLock lock(mu_);
  if (quit_.load() && !closing_) {
    if (!quitHandled_) {
      quitHandled_ = true;
      drainDeadline_ = ZtClock::RealDeadlineAfter(CTimeInterval::FromMilliseconds(drainTimeoutMs_.load()));
      ev_.Debug(kSigMain, "Quit flag is set, telling the agents to stop");
      for (auto& item : agents_) {
        AgentEntry* agent = item.second.get();
        // Nothing new starts once the loop is quitting.
        if (agent->phase == AgentPhase::kLaunching) LaunchFailedLocked(agent, agent->gen, "the server is quitting");
      }
    }
    // Also reaches agents whose hello raced with the quit.
    for (auto& item : agents_) TellToStopLocked(item.second.get());
    if (DrainDue()) {
      for (auto& item : agents_) {
        AgentEntry* agent = item.second.get();
        if (agent->phase != AgentPhase::kConnected) continue;
        const uint64_t gen = agent->gen;
        ev_.Error(kSigMain, "Agent [%s] did not stop in time; cutting it off", agent->name.c_str());
        CutOffLocked(agent, SIGKILL);
        QueueSimpleLocked(AgentEvent::Type::kStopped, agent, gen);
      }
    }
  }
  if (!events_.empty() || startupRemaining_ > 0) return true;
  if (poolJobsInFlight_ > 0 && !quit_.load()) return true;
  return !AllDownLocked();
}

bool ServerCore::RunPass() {
  DeliverQueued();
  return AfterBatch();
}

bool ServerCore::Main() {
  {
    ZtMutexLock lock(mu_);
    if (mainRunning_ || deinitialized_ || closing_) {
      ev_.Error(kSigMain, "The loop cannot run now (already running or shut down)");
      return false;
    }
    mainRunning_ = true;
    if (!mainBegun_) BeginMainLocked();
  }
  ev_.Debug(kSigMain, "Remote agent loop started");
  if (scripted_.load()) {
    for (;;) {
      std::function<bool()> driver;
      {
        ZtMutexLock lock(mu_);
        driver = scriptDriver_;
      }
      if (driver && !driver()) SetQuitFlag();
      bool delivered = DeliverQueued();
      if (!AfterBatch()) break;
      if (!driver && !delivered) break;
    }
  } else {
    for (;;) {
      if (!RunPass()) break;
      ZtMutexLock lock(mu_);
      long long until = ZtClock::DeadlineAfter(CTimeInterval::FromMilliseconds(selectTimeoutMs_.load()));
      if (quitHandled_ && drainDeadline_ < until) until = drainDeadline_;
      while (events_.empty() && !(quit_.load() && !quitHandled_) && !closing_) {
        if (eventsCv_.wait_until(mu_, until) == std::cv_status::timeout) break;
      }
      if (closing_) break;
    }
  }
  {
    ZtMutexLock lock(mu_);
    mainRunning_ = false;
    mainBegun_ = false;
  }
  ev_.Debug(kSigMain, "Remote agent loop ended");
  return true;
}

}  // namespace remoteagent
