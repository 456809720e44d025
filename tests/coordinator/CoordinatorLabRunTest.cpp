// A coordinator with its local agent and two agent processes runs a job to its end in a lab, over
// the framework's real loop, sockets and processes. The agents speak only the protocol (they back no
// VM up); one of them is killed in the middle of the job.
#include <unistd.h>

#include <cstdlib>

#include "agentprog/VSProtocolAgent.h"
#include "controller/QuarnController.h"
#include "coordinator/CoordinatorTestSupport.h"
#include "support/VirtualClock.h"

namespace coordtest {
namespace {

// The in-process agent: the same protocol, on the framework's local-agent thread. With a gate it asks
// for work only once the gate opens.
class LocalProtocolAgent : public QuarnController {
 public:
  explicit LocalProtocolAgent(std::function<bool()> gate = std::function<bool()>())
      : QuarnController(true),
        logic_([this](const CNMessageBase& m) { return SendMsgToServer(m); }, 1001, 1, false, std::move(gate)) {
    SetSelectTimeoutMs(20);
  }
  void OnAgentStarted() override { logic_.Started(); }
  void OnIdle() override { logic_.Poll(); }
  void OnMsgReceived(const CNMessageBase& message) override {
    if (!logic_.Handle(message)) SetQuitFlag();
  }

 private:
  testagent::VSProtocolLogic logic_;
};

// Starts the test agent program for its remote agents, passes idle quickly and moves the platform
// clock a second per pass (by `advance`, the test's guarded Advance), so that the reclaim delay of a
// minute passes in a moment.
class LabCoordinator : public TestCoordinator {
 public:
  const char* GetApplicationName() override { return QUARN_TEST_AGENT_BINARY; }
  bool InitAgents() override {
    const bool ok = QuarnCoordinator::InitAgents();
    SetSelectTimeoutMs(20);
    return ok;
  }
  void OnIdle() override {
    advance();
    // A job that has not ended within an hour of its own time is stuck: end it so the test fails.
    if (++passes_ > 3600) SetQuitFlag();
    QuarnCoordinator::OnIdle();
  }
  std::function<void()> advance;
  int passes_ = 0;
};

class CoordinatorLabRunTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    const char* env = std::getenv(lab::RootVariable());
    if (env != nullptr) savedLab_ = env;
    setenv(lab::RootVariable(), lab_->Root().c_str(), 1);
  }
  void TearDown() override {
    if (savedLab_.empty())
      unsetenv(lab::RootVariable());
    else
      setenv(lab::RootVariable(), savedLab_.c_str(), 1);
    CoordinatorTest::TearDown();
  }

  // Runs the job with a local agent (gated as given); the coordinator stays for the checks.
  bool RunJob(std::function<bool()> gate = std::function<bool()>()) {
    local_.reset(new LocalProtocolAgent(std::move(gate)));
    EXPECT_TRUE(StartManagers());
    auto* coordinator = new LabCoordinator();
    coordinator->advance = [] { Advance(1); };
    coordinator_.reset(coordinator);
    coordinator->SetAvailableStreams(3);
    if (!coordinator->Initialize(job_.get(), app_.get(), local_.get())) {
      ADD_FAILURE() << "the coordinator did not initialize:\n" << Log();
      return false;
    }
    const bool result = coordinator->Run();
    EXPECT_LT(coordinator->passes_, 3600) << "the job did not end";
    return result;
  }

  void KillOnFirstVM(const std::string& client) {
    ASSERT_TRUE(lab::WriteFileAtomic(lab::ClientTempDir(client) + "/kill-on-first-vm", ""));
  }

  // Only the idle passes move the clock: on the real one, the time a pass takes would add to each.
  testsupport::VirtualClock clock_;
  std::string savedLab_;
  // Outlives the coordinator (members go after TearDown), which drives it until its Deinitialize.
  std::unique_ptr<LocalProtocolAgent> local_;
};

TEST_F(CoordinatorLabRunTest, ALocalAgentAndTwoAgentProcessesRunAJobToItsEnd) {
  EXPECT_FALSE(RunJob());
  TestCoordinator& c = *coordinator_;
  for (const char* agent : {"coordinator", "proxyA", "proxyB"}) {
    EXPECT_TRUE(Logged(std::string("Agent [") + agent + "] has initialized")) << agent;
    EXPECT_FALSE(c.m_agents[agent].dropped) << agent;
  }
  EXPECT_TRUE(Logged("All VMs have been processed, stopping agents"));
  // Every VM ended, none as backed up, each with the reason it was not.
  for (int vm = 1; vm <= 3; ++vm) {
    EXPECT_EQ(PHASE_FAILED, PhaseOf(vm)) << vm;
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
    EXPECT_EQ(1, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    EXPECT_EQ(testagent::kNotBackedUp, record.getstring(JobManager::VMUpdateInfo::F_failureText));
  }
  const std::vector<std::string> lines = BackupOut();
  ASSERT_EQ(3u, lines.size());
  for (const std::string& line : lines)
    EXPECT_NE(std::string::npos, line.find(std::string(" Skipped ") + testagent::kNotBackedUp)) << line;
  EXPECT_EQ(0, c.m_vmSuccesses);
  EXPECT_EQ(3, c.m_vmFailures);
  EXPECT_TRUE(Logged("all VMs reported an error, failing the job."));
  EXPECT_EQ("0x5B0001D9 " + std::to_string(0x5B0001D8u), Pending().back());
  bool partial, failJob, setupFailed, resumeNow;
  EXPECT_FALSE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
  EXPECT_TRUE(failJob);
  EXPECT_FALSE(CPxFile::Exists(CollectPath())) << "a failed job's collect file is gone";
}

TEST_F(CoordinatorLabRunTest, AKilledAgentsVMIsFinishedByAnotherAgent) {
  // The local agent takes work only after proxyB has its VM, so the kill always falls mid-job.
  Subclient("memberServers=coordinator,proxyB");
  KillOnFirstVM("proxyB");
  const std::string marker = lab::ClientTempDir("proxyB") + "/got-first-vm";
  EXPECT_FALSE(RunJob([marker] { return access(marker.c_str(), F_OK) == 0; }));
  TestCoordinator& c = *coordinator_;

  EXPECT_TRUE(Logged("Agent [proxyB] has stopped"));
  EXPECT_TRUE(c.m_agents["proxyB"].dropped);
  EXPECT_TRUE(Logged("is still assigned to Agent [proxyB] phase [STARTED]"));
  EXPECT_TRUE(Logged("All VMs have been processed, stopping agents"));
  // Every VM ended, none as backed up, each with the reason it was not.
  for (int vm = 1; vm <= 3; ++vm) {
    EXPECT_EQ(PHASE_FAILED, PhaseOf(vm)) << vm;
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
    EXPECT_EQ(1, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    EXPECT_EQ(testagent::kNotBackedUp, record.getstring(JobManager::VMUpdateInfo::F_failureText));
    EXPECT_NE("proxyB", c.m_vmMap.Find(VMGuid(vm))->assignedAgent) << "finished by an agent that lives";
  }
  const std::vector<std::string> lines = BackupOut();
  ASSERT_EQ(3u, lines.size());
  for (const std::string& line : lines)
    EXPECT_NE(std::string::npos, line.find(std::string(" Skipped ") + testagent::kNotBackedUp)) << line;
  EXPECT_EQ(0, c.m_vmSuccesses);
  EXPECT_TRUE(Logged("all VMs reported an error, failing the job."));
  EXPECT_EQ("0x5B0001D9 " + std::to_string(0x5B0001D8u), Pending().back());
  bool partial, failJob, setupFailed, resumeNow;
  EXPECT_FALSE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
  EXPECT_TRUE(failJob);
  EXPECT_FALSE(CPxFile::Exists(CollectPath()));
}

TEST_F(CoordinatorLabRunTest, AKilledOnlyAgentLeavesItsVMsPending) {
  // The only agent takes its VMs one by one (not as a static list, which would make them pending
  // with "Agent Failure" and count as errors).
  Subclient("memberServers=proxyB");
  Settings("bStaticVMAssignmentAllowed=0");
  KillOnFirstVM("proxyB");
  EXPECT_FALSE(RunJob());
  TestCoordinator& c = *coordinator_;
  EXPECT_TRUE(Logged("Agent [proxyB] has stopped"));
  for (int vm = 1; vm <= 3; ++vm) EXPECT_EQ(PHASE_NOT_STARTED, PhaseOf(vm)) << vm;
  EXPECT_TRUE(Logged("no VMs were processed successfully, job will go to pending."));
  EXPECT_TRUE(BackupOut().empty());
  EXPECT_EQ(0, c.m_vmSuccesses + c.m_vmFailures);
  bool partial, failJob, setupFailed, resumeNow;
  EXPECT_FALSE(c.CheckJobPhaseSuccess(partial, failJob, setupFailed, resumeNow));
  EXPECT_FALSE(failJob) << "the job stays pending for another attempt";
  EXPECT_TRUE(CPxFile::Exists(CollectPath())) << "the next attempt reads it again";
}

}  // namespace
}  // namespace coordtest
