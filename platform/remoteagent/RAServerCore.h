#pragma once
#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ev/EvEvent.h"
#include "platform/os/ZtMutex.h"

class CNMessageBase;
class ZTRemoteAgentClient;
class ZTRemoteAgentServer;
class ZtThreadPool;

// Internals of ZTRemoteAgentServer.
//
// Threads: the loop thread (the caller of Main) delivers every callback; an acceptor thread takes
// loopback connections; one thread per connection reads and writes its socket and parses the frames;
// launcher threads start agents and wait for their hello; the local agent runs on a thread of its own.
// Everything they share is guarded by mu_, except each connection's socket (its own lock) and the
// fields marked "loop thread only".
namespace remoteagent {

class Connection;
class LocalLink;

enum class AgentPhase {
  kRegistered,  // known, never started
  kLaunching,   // process started (or about to be), no hello yet
  kConnected,   // hello accepted (local: its thread runs)
  kDown,        // stopped or failed
};

struct AgentEntry {
  // Constant after registration.
  std::string name;
  std::string host;               // client the process is ("-cn")
  std::vector<std::string> args;  // remote agents: the agent's own arguments
  bool local = false;
  ZTRemoteAgentClient* controller = nullptr;  // local agents; not owned

  // Guarded by ServerCore::mu_. Each start of the agent has its own generation; events of an older
  // generation never reach the callbacks of a newer one.
  uint64_t gen = 0;
  AgentPhase phase = AgentPhase::kRegistered;
  std::string key;                    // launch key of the current generation
  long long helloDeadline = 0;        // scripted mode: when the current launch fails for want of a hello
  pid_t pid = -1;                     // process of the current generation, until reaped
  // A launcher still watches the current generation's process. A failure of the launch meanwhile is
  // owed: the launcher reports it once the process is gone, and no new generation starts before.
  bool launchOpen = false;
  bool failureOwed = false;
  std::shared_ptr<Connection> conn;   // while connected (remote)
  std::shared_ptr<LocalLink> link;    // while connected (local)
  bool stopSent = false;              // told to leave in the current generation
  bool saidHello = false;             // the current generation connected (it may have left since)
  bool scriptStopRequested = false;   // scripted mode: what stopSent means on paper

  // Local agents: the thread of the latest run. Touched only by the launch of the agent (one at a time
  // by the generation rule) and by Deinitialize after every launch ended.
  std::thread localThread;

  // Loop thread only: what the callbacks have been told.
  enum class Told { kNothing, kStarted, kEnded };
  uint64_t toldGen = 0;
  Told told = Told::kNothing;
  bool inStartupRound = false;
};

struct AgentEvent {
  enum class Type { kStarted, kFailed, kStopped, kMessage };
  Type type = Type::kStarted;
  AgentEntry* agent = nullptr;
  uint64_t gen = 0;
  std::unique_ptr<CNMessageBase> message;
  std::shared_ptr<Connection> conn;  // messages read from a socket: for its back-pressure count
  size_t bytes = 0;                  // the message's size on the wire
};

// A message parsed by a connection, with its size on the wire.
struct ReadMessage {
  std::unique_ptr<CNMessageBase> message;
  size_t bytes = 0;
};

class ServerCore {
 public:
  explicit ServerCore(ZTRemoteAgentServer* owner);
  ~ServerCore();

  // ---- Public operations (see ZTRemoteAgentServer) ----
  void SetAgentCommandName(const std::string& command, const std::string& clientOption);
  void SetSelectTimeoutMs(int ms);
  void SetStartupThreads(int threads);
  void SetStartupTimeoutMs(int ms);
  void SetQuitDrainTimeoutMs(int ms);
  bool AddLocalAgent(const std::string& name, ZTRemoteAgentClient* controller);
  bool AddAgent(const std::string& name, const std::string& arguments, const std::string& hostName);
  bool Main();
  bool SendMsgToAgent(const std::string& name, const CNMessageBase& message);
  bool FailAgent(const std::string& name);
  bool RestartAgent(const std::string& name);
  void SetQuitFlag();
  bool QuitFlag() const { return quit_.load(); }
  bool Deinitialize();
  std::string GetAgentHostName(const std::string& name);
  bool IsAgentConnected(const std::string& name);
  std::vector<std::string> GetAgentNames();
  ZtThreadPool& GetThreadPool();
  bool SubmitToThreadPool(std::function<void()> job);
  int GetListenPort() const { return listenPort_.load(); }

  // ---- Scripted mode ----
  void SetScriptedMode();
  bool IsScriptedMode() const { return scripted_; }
  void SetScriptDriver(std::function<bool()> driver);
  void ScriptBeginMain();
  bool ScriptAgentStarted(const std::string& name);
  bool ScriptAgentStartFailed(const std::string& name);
  bool ScriptAgentStopped(const std::string& name);
  bool ScriptAgentMessage(const std::string& name, const CNMessageBase& message);
  bool ScriptAgentRawMessage(const std::string& name, const std::string& xml);
  bool ScriptRunPass();
  int ScriptRunPoolJobs();
  std::vector<std::unique_ptr<CNMessageBase>> ScriptTakeSent(const std::string& name);
  std::vector<std::string> ScriptTakeStarts();
  bool ScriptStopRequested(const std::string& name);

  // ---- Called by connections and local runs ----
  // A connection said hello: binds it to the agent when name and key fit the agent's current launch.
  bool AttachConnection(const std::string& name, const std::string& key, const std::shared_ptr<Connection>& conn,
                        AgentEntry*& agent, uint64_t& gen);
  // Messages parsed from a connection, in order.
  void PostMessages(AgentEntry* agent, uint64_t gen, std::vector<ReadMessage>& messages,
                    const std::shared_ptr<Connection>& conn);
  // The connection's thread is ending. Reports the agent stopped unless someone else already ended
  // this generation (FailAgent, restart, quit).
  void ConnectionEnded(AgentEntry* agent, uint64_t gen, const Connection* conn, const char* why);
  // A message from the local agent (already through the codec).
  void PostLocalMessage(AgentEntry* agent, uint64_t gen, std::unique_ptr<CNMessageBase> message);
  // The local agent's run returned.
  void LocalRunEnded(AgentEntry* agent, uint64_t gen);

  EvEvent& Log() { return ev_; }
  int StartupTimeoutMs() const { return startupTimeoutMs_.load(); }

 private:
  AgentEntry* FindLocked(const std::string& name) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  bool RegisterLocked(std::unique_ptr<AgentEntry> entry) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void QueueEventLocked(AgentEvent event) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void QueueSimpleLocked(AgentEvent::Type type, AgentEntry* agent, uint64_t gen) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  // Starts a new generation of the agent (phase kLaunching) and returns it.
  uint64_t NewGenerationLocked(AgentEntry* agent) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  // Hands the launch to the launcher threads (scripted mode: records it).
  void QueueLaunchLocked(AgentEntry* agent) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  // Ends the current generation of a connected agent without a report from the connection: the socket
  // is closed (the process is asked to end) or the local run is told to stop.
  void CutOffLocked(AgentEntry* agent, int signal) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  // Marks a launching generation failed (reported once; by its launcher when it watches a process).
  void LaunchFailedLocked(AgentEntry* agent, uint64_t gen, const char* why) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  // Scripted mode: fails the launches whose hello deadline has passed on the platform clock.
  void FailOverdueScriptLaunchesLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void TellToStopLocked(AgentEntry* agent) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  bool AllDownLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);

  // Launching.
  void LauncherThread();
  bool LaunchAndWait(AgentEntry* agent, uint64_t gen);
  bool LaunchRemote(AgentEntry* agent, uint64_t gen);
  // The launcher's end of a remote launch: a process that did not become the agent is killed and reaped
  // before the failure owed for it is reported. True when the launch connected.
  bool EndRemoteLaunch(AgentEntry* agent, uint64_t gen, pid_t pid, bool reaped);
  bool LaunchLocal(AgentEntry* agent, uint64_t gen);
  // Opens the loopback listener and its acceptor thread once; false when it cannot.
  bool EnsureListener();
  void AcceptorThread(int listenFd, int wakeFd);
  // Admits an accepted connection; when too many have not said hello, the oldest of those is closed
  // to make room, so strangers holding connections open cannot keep agents out.
  void AdmitConnectionLocked(int fd) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void MarkStartupResolved(AgentEntry* agent);
  bool DrainDue();
  // Scripted and real passes share this: one batch, then AfterBatch.
  bool RunPass();

  // The loop.
  bool BeginMainLocked() EXCLUSIVE_LOCKS_REQUIRED(mu_);
  // Delivers every queued event; true when there were any.
  bool DeliverQueued();
  void Deliver(AgentEvent& event);
  // After the batch: OnIdle when the start-up round is over, quit handling, end check. False when
  // the loop is over.
  bool AfterBatch();
  void ReapChildren();
  void JoinFinishedConnections();

  ZTRemoteAgentServer* const owner_;
  EvEvent ev_;

  // Settings (atomic: set before Main, read by several threads).
  std::atomic<int> selectTimeoutMs_{10000};
  std::atomic<int> startupThreads_{4};
  std::atomic<int> startupTimeoutMs_{60000};
  std::atomic<int> drainTimeoutMs_{30000};
  std::atomic<int> listenPort_{0};
  std::atomic<bool> quit_{false};
  std::atomic<bool> scripted_{false};  // set before anything else happens

  mutable ZtMutex mu_;
  ZtCondition eventsCv_;   // loop waits here for events
  ZtCondition workCv_;     // launcher threads wait for launches
  ZtCondition launchCv_;   // launches wait for their hello (or failure, or closing)
  std::string command_ GUARDED_BY(mu_);
  std::string clientOption_ GUARDED_BY(mu_) = "-client";
  std::map<std::string, std::unique_ptr<AgentEntry>> agents_ GUARDED_BY(mu_);
  std::deque<AgentEvent> events_ GUARDED_BY(mu_);
  std::deque<std::pair<AgentEntry*, uint64_t>> launchQueue_ GUARDED_BY(mu_);
  std::vector<std::thread> launchers_ GUARDED_BY(mu_);
  int idleLaunchers_ GUARDED_BY(mu_) = 0;
  std::set<pid_t> children_ GUARDED_BY(mu_);   // started processes not yet reaped
  std::vector<std::shared_ptr<Connection>> connections_ GUARDED_BY(mu_);  // in the order of arrival
  bool mainRunning_ GUARDED_BY(mu_) = false;
  bool mainBegun_ GUARDED_BY(mu_) = false;
  bool closing_ GUARDED_BY(mu_) = false;
  bool deinitialized_ GUARDED_BY(mu_) = false;
  std::unique_ptr<ZtThreadPool> pool_ GUARDED_BY(mu_);
  // Scripted mode.
  std::function<bool()> scriptDriver_ GUARDED_BY(mu_);
  std::map<std::string, std::vector<std::string>> scriptOutbox_ GUARDED_BY(mu_);
  std::vector<std::string> scriptStarts_ GUARDED_BY(mu_);
  std::deque<std::function<void()>> scriptJobs_ GUARDED_BY(mu_);
  // Jobs of SubmitToThreadPool not yet finished: a queued restart keeps the loop from ending.
  int poolJobsInFlight_ GUARDED_BY(mu_) = 0;

  ZtMutex listenerMu_;    // taken before mu_ when both are needed
  int listenFd_ GUARDED_BY(listenerMu_) = -1;
  int acceptorWake_ GUARDED_BY(listenerMu_) = -1;
  bool listenerClosed_ GUARDED_BY(listenerMu_) = false;
  std::thread acceptor_;  // started under listenerMu_, joined by Deinitialize

  // Loop thread only. Times are deadlines of the platform clock (ZtClock::MonotonicTicks).
  int startupRemaining_ = 0;
  bool quitHandled_ = false;
  long long drainDeadline_ = 0;
  long long nextReap_ = LLONG_MIN;
};

}  // namespace remoteagent
