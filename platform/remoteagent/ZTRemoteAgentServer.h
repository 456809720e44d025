#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CNMessageBase;
class ZTRemoteAgentClient;
class ZtThreadPool;

namespace remoteagent {
class ServerCore;
}

// The coordinator side of the remote-agent framework.
//
// The server owns a set of agents, each known by its name (the proxy's client name):
//   - remote agents (AddAgent) are processes of the agent command, started with "-client", the agent's
//     arguments and the framework's own options; they connect back over loopback TCP and exchange
//     length-prefixed frames of compact message XML;
//   - the local agent (AddLocalAgent) is a ZTRemoteAgentClient in this process, driven on its own
//     message thread; messages cross between the two through the same codec (serialised and parsed,
//     never shared objects).
//
// Main() runs the loop on the calling thread. Guarantees:
//   1. Every callback (OnIdle, OnAgentStarted/Stopped/Failed, OnMsgReceived) runs on the thread that
//      called Main.
//   2. Before the first OnIdle every agent registered before Main has been reported started or failed
//      (the start-up round).
//   3. Per start of an agent: OnAgentStarted before any of its messages, all its messages before its
//      OnAgentStopped, and at most one of OnAgentStopped / OnAgentFailed.
//   4. FailAgent reports OnAgentFailed once, posted to the loop (never from inside the call).
//      RestartAgent is meant for a pool thread; its outcome is posted as OnAgentStarted / OnAgentFailed.
//   5. Main returns once the quit flag is set (after telling the agents to stop and letting them leave
//      within the quit drain time), or when every agent is stopped or failed after the start-up round.
//   6. OnIdle runs after each batch of events and at least once per select time-out.
//   7. SendMsgToAgent is false when the agent is not connected.
//   8. An agent process that fails to start is killed and reaped before its failure is reported.
// Every time-out and period here counts on the platform clock (ZtClock), so a test with a virtual clock
// passes them without waiting and a lab run with a scaled clock shortens them.
// Peers are untrusted: a malformed, oversized or unexpected frame cuts that peer off (reported as
// stopped, or failed before its start-up) and the others are served on. A connection that has not said
// hello within 2 seconds is dropped, and when 64 such connections are open the oldest makes room for a
// newcomer, so strangers cannot keep agents from connecting. Reading from an agent pauses while its
// messages waiting for the loop reach 2,048 or 16 MiB.
class ZTRemoteAgentServer {
 public:
  ZTRemoteAgentServer();
  // Calls Deinitialize. A derived class whose pool jobs or callbacks use its own members must call
  // ZTRemoteAgentServer::Deinitialize in its own destructor (or Deinitialize) first.
  virtual ~ZTRemoteAgentServer();

  ZTRemoteAgentServer(const ZTRemoteAgentServer&) = delete;
  ZTRemoteAgentServer& operator=(const ZTRemoteAgentServer&) = delete;

  // ---- Set-up ---------------------------------------------------------------------------------
  // The program started for remote agents and the option that puts it in the agent role. An empty
  // command means this very program (/proc/self/exe); so does a bare name equal to this program's
  // file name. Another bare name is first looked for next to this program, then in PATH.
  void SetAgentCommandName(const std::string& command, const std::string& clientOption);
  // Longest wait of the loop between two OnIdle passes. Values below 1 ms are raised to 1 ms.
  void SetSelectTimeout(int seconds);
  void SetSelectTimeoutMs(int milliseconds);
  // Agents started at the same time; -1 (or any value below 1) means one thread per agent.
  void SetAgentStartupThreads(int threads);
  // How long a started process has to say hello; values below 1 keep the default (60 s).
  void SetAgentStartupTimeout(int seconds);
  void SetAgentStartupTimeoutMs(int milliseconds);
  // After the quit flag: how long Main waits for agents to leave before it cuts them off (default 30 s).
  void SetQuitDrainTimeoutMs(int milliseconds);

  // Registers the in-process agent. False for an empty or unsafe name, a name already registered, a
  // null controller (allowed only in scripted mode) or a controller already registered.
  bool AddLocalAgent(const std::string& name, ZTRemoteAgentClient* controller);
  // Registers a remote agent. `arguments` is split on white space into separate argv entries (never
  // given to a shell); `hostName` is the client the process is (its "-cn"), empty meaning the agent's
  // name. False for an empty or unsafe name or host, a name already registered, or an argument that
  // repeats one of the framework's own options. Allowed while Main runs: the agent is started at once
  // and reported like any other.
  virtual bool AddAgent(const std::string& name, const std::string& arguments, const std::string& hostName);

  // ---- The loop -------------------------------------------------------------------------------
  // Starts the registered agents and runs the loop until quit or until every agent is down. False
  // when Main is already running or after Deinitialize (agents that fail to start are reported, and
  // Main still returns true).
  virtual bool Main();

  virtual void OnIdle();
  virtual void OnAgentStarted(const std::string& name);
  virtual void OnAgentStopped(const std::string& name);
  virtual void OnAgentFailed(const std::string& name);
  // The message is owned by the framework and lives until the callback returns. Known tags arrive as
  // their typed classes; unknown but well-formed ones as plain messages carrying the tag id.
  virtual void OnMsgReceived(const std::string& name, CNMessageBase* message);

  // ---- Operations (thread-safe) ---------------------------------------------------------------
  // Queues the message for the agent; false when the agent is not connected or the message cannot be
  // serialised.
  bool SendMsgToAgent(const std::string& name, const CNMessageBase& message);
  // Cuts the agent off (a process is killed; the local agent's quit flag is set) and posts one
  // OnAgentFailed. False when the agent is unknown or neither starting nor connected (nothing is
  // reported then).
  bool FailAgent(const std::string& name);
  // Starts a stopped or failed agent again and waits for the outcome, which is also posted to the
  // loop. An agent still connected is first cut off and reported stopped. True when it started; false
  // (nothing done) for an agent still starting, whose outcome is on its way.
  bool RestartAgent(const std::string& name);
  void SetQuitFlag();
  // The framework's own quit flag. Derived classes may add their own sources; the loop itself
  // watches only the flag set by SetQuitFlag.
  virtual bool CheckQuitFlag();
  // Stops whatever still runs (agents told to stop, processes killed after a short grace, the local
  // agent's quit flag set, threads joined, the pool drained, every process reaped). No callback runs
  // from here. Safe twice and without Main.
  bool Deinitialize();

  // The client name the agent's process is ("-cn"); empty for an unknown agent.
  std::string GetAgentHostName(const std::string& name) const;
  bool IsAgentConnected(const std::string& name) const;
  std::vector<std::string> GetAgentNames() const;
  // The framework's thread pool, for work items such as restarts.
  ZtThreadPool& GetThreadPool();
  // Runs a job on the thread pool; in scripted mode the job waits for ScriptRunPoolJobs. Until the job
  // has finished Main does not end for lack of agents (unless quitting), so a queued restart is not
  // lost. False after Deinitialize.
  bool SubmitToThreadPool(std::function<void()> job);
  // The loopback port agents connect to; 0 until the first remote agent is started.
  int GetListenPort() const;

  // ---- Scripted mode (tests) ------------------------------------------------------------------
  // No threads, sockets or processes: agents start on paper, the test says how each start ends and
  // what each agent sends, and reads what was sent to each agent. Every delivery keeps the same
  // ordering and once-only rules as the real loop, and a start the test has not ended by the start-up
  // time-out (on the platform clock) fails as it would there. Call before any agent is added.
  void SetScriptedMode();
  bool IsScriptedMode() const;
  // In scripted mode Main calls the driver before each pass; a false result sets the quit flag.
  // Without a driver Main runs passes while events are queued and returns after an idle pass.
  void SetScriptDriver(std::function<bool()> driver);
  // What Main does before its loop: every registered agent becomes "starting". Done by the first pass
  // when not called.
  void ScriptBeginMain();
  // Agent events, queued for the next pass. False when the event does not fit the agent's state
  // (e.g. started while not starting), which is exactly when the real loop would ignore it.
  bool ScriptAgentStarted(const std::string& name);
  bool ScriptAgentStartFailed(const std::string& name);
  bool ScriptAgentStopped(const std::string& name);
  bool ScriptAgentMessage(const std::string& name, const CNMessageBase& message);
  // A message payload as read from the wire (for malformed input): a peer sending something that does
  // not parse is cut off exactly as on the wire.
  bool ScriptAgentRawMessage(const std::string& name, const std::string& xml);
  // One pass of the loop: delivers every queued event, then OnIdle once the start-up round is over.
  // False once Main would return.
  bool ScriptRunPass();
  // Runs the jobs submitted with SubmitToThreadPool; returns how many ran.
  int ScriptRunPoolJobs();
  // Messages sent to the agent since the last call, parsed back from their wire form.
  std::vector<std::unique_ptr<CNMessageBase>> ScriptTakeSent(const std::string& name);
  // Agents started on paper since the last call (start-up round, AddAgent in Main, RestartAgent; in
  // scripted mode RestartAgent returns true at once and the test decides the outcome).
  std::vector<std::string> ScriptTakeStarts();
  // Whether the agent has been told to stop (quit flag or FailAgent) in its current start.
  bool ScriptStopRequested(const std::string& name) const;

 private:
  friend class remoteagent::ServerCore;
  std::unique_ptr<remoteagent::ServerCore> core_;
};
