// Agent start-up, supervision and the idle states, driven in the framework's scripted mode with the
// platform clock moved by hand.
#include <algorithm>
#include <cstdio>

#include "coordinator/CoordinatorTestSupport.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/AppMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/ZtEntitiesMessages.h"
#include "support/VirtualClock.h"

namespace coordtest {
namespace {

using VS = VirtualServer::VMAgentStartup;

TEST_F(CoordinatorTest, RemoteAgentsGetTheJobsCommandLineAsArguments) {
  JobConf("restart=");
  ASSERT_TRUE(Initialize({"-lastAttempt"}));
  TestCoordinator& c = *coordinator_;
  EXPECT_EQ((std::vector<std::string>{"coordinator", "proxyA", "proxyB"}), c.GetAgentNames());
  EXPECT_TRUE(Logged("Adding [coordinator] as a local agent"));
  EXPECT_TRUE(Logged("Adding [proxyA] as a remote agent"));
  for (const auto& entry : c.m_agents) EXPECT_EQ(AgentStarting, entry.second.state) << entry.first;
  EXPECT_TRUE(Logged("vm collect file = [" + CollectPath() + "]"));
}

// The job's options may name its proxies: they replace the subclient's member servers; a client id
// that names no client is passed over, and a list that names none leaves the coordinator alone.
TEST_F(CoordinatorTest, ProxiesNamedByTheJobOptionsReplaceTheSubclientsMemberServers) {
  struct Case {
    std::vector<int64_t> clientIds;  // proxyA is client 3 of the sample lab
    std::vector<std::string> agents;
  } cases[] = {{{3, 999}, {"proxyA"}}, {{999}, {"coordinator"}}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.agents.front());
    FreshLab();
    TMMsg::BackupOption options;
    auto* list = options.getObject<TMMsg::VirtualServerOption>(TMMsg::BackupOption::F_virtualServerOption, true)
                     ->getObject<App::MemberServerList>(TMMsg::VirtualServerOption::F_memberServerList, true);
    for (int64_t id : test.clientIds) {
      ZtEntities::GenericEntity entity;
      entity.setint64(ZtEntities::GenericEntity::F_clientId, id);
      list->getlistobject(App::MemberServerList::F_memberServers, true).emplace_back(entity);
    }
    ASSERT_TRUE(vsXMLFile(lab::JobOptionsPath(kJobId)).Save(options));
    ASSERT_TRUE(Initialize());
    EXPECT_EQ(test.agents, coordinator_->GetAgentNames());
    EXPECT_EQ(test.agents.front() == "proxyA", Logged("Found member server in jobOptions [proxyA]"));
    coordinator_.reset();
  }
}

TEST_F(CoordinatorTest, StartupTimeoutCountsFromTheWaitStartForEveryAgent) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  // proxyB says nothing after it started; the others announce themselves.
  StartAllAgents({"proxyB"});
  EXPECT_EQ(QuarnCoordinator::kStarting, c.GetState());
  EXPECT_TRUE(Logged("Waiting for [1] agents to initialize.  [proxyB]"));

  Advance(120);  // at the limit: still waited for
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(AgentStarted, c.m_agents["proxyB"].state);
  EXPECT_FALSE(c.ScriptStopRequested("proxyB"));

  Advance(1);  // one past it: failed through the framework, once
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("Timeout waiting for agent [proxyB] to initialize."));
  EXPECT_TRUE(Logged("All Agents have initialized"));
  EXPECT_EQ(QuarnCoordinator::kRunning, c.GetState());
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(1u, CountOf(Log(), "Agent [proxyB] has failed to start"));
  EXPECT_EQ(1, c.m_agents["proxyB"].startFailures);
  // Its start was more than the restart interval ago, so it is started again at once.
  EXPECT_EQ(AgentStarting, c.m_agents["proxyB"].state);
  EXPECT_EQ(1u, CountOf(Log(), "Timeout waiting for agent [proxyB]"));
  int events = 0;
  for (const std::string& line : Events()) events += line.find("0x5B000079 proxyB|coordinator|proxyB") != std::string::npos;
  EXPECT_EQ(1, events);
}

TEST_F(CoordinatorTest, WaitingListIsCutOnceAndNoAgentMeansStopping) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  Subclient("memberServers=proxyAAAAAAAAAAAA1,proxyAAAAAAAAAAAA2,proxyAAAAAAAAAAAA3,proxyAAAAAAAAAAAA4,proxyAAAAAAAAAAAA5");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_state = QuarnCoordinator::kStarting;
  c.ScriptBeginMain();
  for (const auto& entry : c.m_agents) ASSERT_TRUE(c.ScriptAgentStarted(entry.first));
  ASSERT_TRUE(c.ScriptRunPass());
  const std::string line = "Waiting for [5] agents to initialize.  [proxyAAAAAAAAAAAA1, proxyAAAAAAAAAAAA2, "
                           "proxyAAAAAAAAAAAA3...]";
  EXPECT_TRUE(Logged(line)) << Log();

  Advance(121);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("No Agents are running, stopping"));
  EXPECT_EQ(QuarnCoordinator::kStopping, c.GetState());
}

TEST_F(CoordinatorTest, AnAgentStillStartingIsNeitherWaitedForNorFailed) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents({"proxyB"});
  c.m_agents["proxyB"].state = AgentStarting;  // a restart in progress
  Advance(500);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_FALSE(c.ScriptStopRequested("proxyB"));
  EXPECT_EQ(QuarnCoordinator::kRunning, c.GetState());
}

TEST_F(CoordinatorTest, ProtocolVersionMismatchFailsTheAgentForGood) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_state = QuarnCoordinator::kStarting;
  c.ScriptBeginMain();
  for (const auto& entry : c.m_agents) ASSERT_TRUE(c.ScriptAgentStarted(entry.first));
  ASSERT_TRUE(c.ScriptAgentMessage("coordinator", Startup("coordinator")));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", Startup("proxyA", 1119)));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Startup("proxyB", 1121)));
  ASSERT_TRUE(c.ScriptRunPass());
  c.ScriptTakeStarts();

  EXPECT_TRUE(Logged("Agent [proxyA] is running protocol version [1119], version [1120] is expected."));
  EXPECT_TRUE(Logged("Agent [proxyB] is running protocol version [1121], version [1120] is expected."));
  std::vector<std::string> events = Events();
  EXPECT_NE(events.end(), std::find(events.begin(), events.end(), "MAJOR 0x5B0000BB proxyA"));
  EXPECT_NE(events.end(), std::find(events.begin(), events.end(), "MAJOR 0x5B0000BC proxyB"));
  for (const char* agent : {"proxyA", "proxyB"}) {
    Sent sent = TakeSent(agent);
    ASSERT_EQ(1u, sent.tags.size()) << agent;
    EXPECT_EQ(VirtualServer::VMAgentQuit::TAG, sent.tags[0]);
    EXPECT_FALSE(sent.messages[0]->isSet(VirtualServer::VMAgentQuit::F_commit));
    const QuarnAgentInfo& record = c.m_agents[agent];
    EXPECT_EQ(AgentFailed, record.state);
    EXPECT_TRUE(record.noRestart);
  }
  EXPECT_FALSE(c.CheckQuitFlag()) << "a mismatch is answered, not a failed handler";

  // Never restarted, however long the job runs.
  Advance(1000);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(0, c.ScriptRunPoolJobs());
  EXPECT_TRUE(c.ScriptTakeStarts().empty());
}

TEST_F(CoordinatorTest, StartupRecordsAddressesDatacenterAndCopiesTheCollectFile) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_state = QuarnCoordinator::kStarting;
  c.ScriptBeginMain();
  for (const auto& entry : c.m_agents) ASSERT_TRUE(c.ScriptAgentStarted(entry.first));
  VS startup = Startup("proxyA");
  VirtualServer::VMAgentAddress bad;
  bad.setstring(VirtualServer::VMAgentAddress::F_ipAddress, "10.9.9.9");
  bad.setstring(VirtualServer::VMAgentAddress::F_subnetMask, "255.0.255.0");
  startup.getlistobject(VS::F_addresses, true).emplace_back(bad);
  startup.setstring(VS::F_hypervisorHost, "esx1");
  startup.setstring(VS::F_location, "dc1");
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", startup));
  ASSERT_TRUE(c.ScriptRunPass());

  const QuarnAgentInfo& record = c.m_agents["proxyA"];
  EXPECT_EQ(std::set<std::string>{"10.1.2.0"}, record.subnets);
  EXPECT_EQ("esx1", record.hostName);
  EXPECT_EQ("dc1", record.datacenter);
  EXPECT_EQ(40, record.streamLimit);
  EXPECT_TRUE(Logged("Skipping address [10.9.9.9]/[255.0.255.0]"));
  EXPECT_TRUE(Logged("Agent [proxyA] is running on host [esx1] Datacenter [] Uuid [] Agent Address: [10.1.2.3] "
                     "Subnets: [10.1.2.0]"));
  EXPECT_TRUE(Logged("Agent [proxyA] stream limit is bound to [40] streams"));
  EXPECT_TRUE(CPxFile::Exists(lab::SubclientJobResultsDir("proxyA", "1") + "/vmcollect_1001.ztf"));
  EXPECT_EQ(AgentInitialized, record.state);
  Sent sent = TakeSent("proxyA");
  ASSERT_EQ(1u, sent.tags.size());
  EXPECT_EQ(VirtualServer::VMAgentInit::TAG, sent.tags[0]);
  EXPECT_FALSE(sent.messages[0]->isSet(VirtualServer::VMAgentInit::F_masterIndexFileId));
}

TEST_F(CoordinatorTest, CollectFileCopyStaysInsideTheAgentsFolder) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_state = QuarnCoordinator::kStarting;
  c.ScriptBeginMain();
  for (const auto& entry : c.m_agents) ASSERT_TRUE(c.ScriptAgentStarted(entry.first));
  VS startup = Startup("proxyA");
  // A start-up message names a folder of another client: refused, logged, and the agent still starts.
  startup.setstring(VS::F_subclientDir, lab::ClientTempDir("coordinator"));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", startup));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("Failed to copy file to remote machine [proxyA]."));
  EXPECT_FALSE(CPxFile::Exists(lab_->Root() + "/clients/coordinator/Temp/vmcollect_1001.ztf"));
  EXPECT_EQ(AgentInitialized, c.m_agents["proxyA"].state);
}

TEST_F(CoordinatorTest, FailedStartsAreRestartedAfterTheIntervalOnly) {
  // Only the test moves the clock: a second of real time under load would shift the interval.
  testsupport::VirtualClock clock;
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_state = QuarnCoordinator::kStarting;
  c.ScriptBeginMain();
  ASSERT_TRUE(c.ScriptAgentStarted("coordinator"));
  ASSERT_TRUE(c.ScriptAgentStarted("proxyA"));
  ASSERT_TRUE(c.ScriptAgentStartFailed("proxyB"));
  ASSERT_TRUE(c.ScriptAgentMessage("coordinator", Startup("coordinator")));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", Startup("proxyA")));
  ASSERT_TRUE(c.ScriptRunPass());
  ASSERT_EQ(QuarnCoordinator::kRunning, c.GetState());
  EXPECT_TRUE(Logged("Agent [proxyB] has failed to start"));
  c.ScriptTakeStarts();

  Advance(120);  // at the interval: not yet
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(0, c.ScriptRunPoolJobs());
  Advance(1);  // one past: queued for a pool thread, which asks the framework
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(AgentStarting, c.m_agents["proxyB"].state);
  EXPECT_EQ(1, c.ScriptRunPoolJobs());
  EXPECT_EQ(std::vector<std::string>{"proxyB"}, c.ScriptTakeStarts());

  // The restart fails again: one event in all, and the next try waits the interval again.
  ASSERT_TRUE(c.ScriptAgentStartFailed("proxyB"));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(2, c.m_agents["proxyB"].startFailures);
  int events = 0;
  for (const std::string& line : Events()) events += line.find("0x5B000079") != std::string::npos;
  EXPECT_EQ(1, events);

  // Then it comes up and announces itself while the job runs: a rebalance is asked for.
  Advance(121);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(1, c.ScriptRunPoolJobs());
  ASSERT_TRUE(c.ScriptAgentStarted("proxyB"));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Startup("proxyB")));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(AgentInitialized, c.m_agents["proxyB"].state);
  // Every agent is initialised, so the rebalance is forced at once and the VMs not yet handed out
  // gain the late agent.
  EXPECT_FALSE(c.m_rebalanceRequested);
  EXPECT_TRUE(Logged("Updating VM [vm01] on [esx1] to Agent [coordinator,proxyA,proxyB] (Any) was "
                     "[coordinator,proxyA]"));
}

TEST_F(CoordinatorTest, RestartsCanBeSwitchedOff) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  Settings("bEnableRestartAgents=0");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_state = QuarnCoordinator::kStarting;
  c.ScriptBeginMain();
  ASSERT_TRUE(c.ScriptAgentStarted("coordinator"));
  ASSERT_TRUE(c.ScriptAgentStartFailed("proxyA"));
  ASSERT_TRUE(c.ScriptAgentStartFailed("proxyB"));
  ASSERT_TRUE(c.ScriptAgentMessage("coordinator", Startup("coordinator")));
  ASSERT_TRUE(c.ScriptRunPass());
  Advance(1000);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(0, c.ScriptRunPoolJobs());
}

TEST_F(CoordinatorTest, RebalanceWaitsHalfTheIntervalAfterTheRequestAndTheWholeIntervalAfterTheLast) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  const size_t before = CountOf(Log(), "Agent [proxyA] has 3 VMs");
  c.m_rebalanceRequested = true;
  c.CheckAndRebalanceVMS(false);  // stores the request time
  Advance(30);
  c.CheckAndRebalanceVMS(false);  // half the interval: not yet
  EXPECT_TRUE(c.m_rebalanceRequested);
  Advance(31);
  c.CheckAndRebalanceVMS(false);  // 61 s after the last rebalance and 31 s after the request
  EXPECT_FALSE(c.m_rebalanceRequested);
  EXPECT_EQ(before + 1, CountOf(Log(), "Agent [proxyA] has 3 VMs"));
}

TEST_F(CoordinatorTest, StaticallyAssignedVMsOfAStoppedAgentGoPendingOthersGoBackToTheList) {
  Subclient("memberServers=coordinator");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  // One agent: every VM has exactly one candidate and is assigned statically.
  Sent sent = TakeSent("coordinator");
  EXPECT_EQ((std::vector<std::string>{VMGuid(1), VMGuid(2), VMGuid(3)}), sent.vms);
  EXPECT_TRUE(c.PriorityList().empty());
  EXPECT_EQ(2u, c.GetVolumeActivityForVM(*c.m_vmMap.Find(VMGuid(1)))) << "vm01 and vm03 share ds1";

  ASSERT_TRUE(c.ScriptAgentStopped("coordinator"));
  c.ScriptRunPass();
  for (int vm = 1; vm <= 3; ++vm) {
    EXPECT_EQ(PHASE_PENDING, PhaseOf(vm));
    EXPECT_EQ("Agent Failure", c.m_vmMap.Find(VMGuid(vm))->failureReason);
  }
  EXPECT_EQ(0u, c.GetVolumeActivityForVM(*c.m_vmMap.Find(VMGuid(1)))) << "the activity is given back";
  EXPECT_TRUE(c.m_agents["coordinator"].dropped);
  const std::vector<std::string> events = Events();
  EXPECT_NE(events.end(),
            std::find(events.begin(), events.end(), "MAJOR 0x5B00007A coordinator|coordinator|coordinator"));
  EXPECT_TRUE(Logged("VM [vm01] is still assigned to Agent [coordinator] phase [STARTED]"));
}

TEST_F(CoordinatorTest, DynamicVMsOfAStoppedAgentReturnToTheListAndItsStreamsAreReclaimed) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  EXPECT_EQ(3, c.m_assignedStreams);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());
  const std::vector<std::string> taken = TakeSent("proxyA").vms;
  ASSERT_EQ(1u, taken.size());
  const std::string given = taken[0];
  ASSERT_EQ(PHASE_STARTED, c.m_vmMap.Find(given)->vmPhase);
  ASSERT_EQ(1u, c.GetVolumeActivityForVM(*c.m_vmMap.Find(given)));

  ASSERT_TRUE(c.ScriptAgentStopped("proxyA"));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(PHASE_NOT_STARTED, c.m_vmMap.Find(given)->vmPhase);
  EXPECT_EQ(given, c.PriorityList().back());
  EXPECT_EQ(0u, c.GetVolumeActivityForVM(*c.m_vmMap.Find(given))) << "the activity is given back";
  EXPECT_TRUE(Logged("Agent [proxyA] stopped with 1 streams still assigned"));
  EXPECT_TRUE(Logged("Reclaiming Stream Id ["));

  // The stream is freed after the reclaim delay (at 60 s not yet), then asked for again and lent to
  // an agent that is still there.
  Advance(59);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_FALSE(Logged("streams have been reclaimed"));
  Advance(1);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("[1] streams have been reclaimed"));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("Received [1] additional streams, there are now [3] streams available"));
  EXPECT_EQ(3, c.m_assignedStreams);
  // The job manager has the reclaimed reservation back, and the one it granted instead is lent.
  const lab::ReservationLedger ledger = Ledger();
  ASSERT_EQ(4u, ledger.reservations.size());
  EXPECT_EQ(1u, std::count_if(ledger.reservations.begin(), ledger.reservations.end(),
                              [](const lab::Reservation& r) { return r.why == "free"; }));
  EXPECT_EQ(kJobId, ledger.reservations[3].token);
  EXPECT_EQ(3, std::count_if(c.m_streams.begin(), c.m_streams.end(),
                             [](const QuarnStreamInfo& s) { return s.state == StreamAssigned; }));
  EXPECT_EQ(std::vector<std::string>{"reset"}, lab::ReadLines(lab::JobDir(kJobId) + "/pending.txt"))
      << "the reclaim clears the job's pending cause";

  // The VM is waited for while a candidate can still take it, and served from the list.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.ScriptAgentMessage("proxyB", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());
  const std::vector<std::string> served = TakeSent("proxyB").vms;
  EXPECT_EQ(3u, served.size());
  EXPECT_NE(served.end(), std::find(served.begin(), served.end(), given));
}

// A VM taken back from a stopped agent goes to the next agent as a dispatch numbered above the one it
// follows, whatever became of its record in between: the stopped agent wrote no archive of it, and
// the coordinator counts on from its own count.
TEST_F(CoordinatorTest, AVMTakenBackFromAStoppedAgentIsNumberedAboveItsDispatchWhateverBecameOfTheRecord) {
  enum class Record { kKept, kDeleted, kEmptied };
  struct Case {
    const char* name;
    Record record;
    uint64_t stoppedAgentsAfter;  // the stopped agent's dispatch number once the VM went out again
  } cases[] = {{"kept", Record::kKept, 1}, {"deleted", Record::kDeleted, 0}, {"emptied", Record::kEmptied, 0}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    StartAllAgents();
    ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
    ASSERT_TRUE(c.ScriptRunPass());
    const std::vector<std::string> taken = TakeSent("proxyA").vms;
    ASSERT_EQ(1u, taken.size());
    const std::string given = taken[0];
    ASSERT_EQ(1u, lab::VMDispatchNumber(kJobId, given, "proxyA"));
    const std::string record = lab::VMDispatchRecordPath(kJobId, given);
    if (test.record == Record::kDeleted) {
      ASSERT_EQ(0, std::remove(record.c_str()));
    } else if (test.record == Record::kEmptied) {
      ASSERT_TRUE(lab::WriteFileAtomic(record, ""));
    }

    ASSERT_TRUE(c.ScriptAgentStopped("proxyA"));
    ASSERT_TRUE(c.ScriptRunPass());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.ScriptAgentMessage("proxyB", GetNextVM()));
    ASSERT_TRUE(c.ScriptRunPass());
    const std::vector<std::string> served = TakeSent("proxyB").vms;
    ASSERT_NE(served.end(), std::find(served.begin(), served.end(), given));
    EXPECT_EQ(2u, lab::VMDispatchNumber(kJobId, given, "proxyB"));
    EXPECT_EQ(test.stoppedAgentsAfter, lab::VMDispatchNumber(kJobId, given, "proxyA"));
  }
}

TEST_F(CoordinatorTest, AnAgentStoppingDuringAQuitIsNotDropped) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  lab::RequestJobQuit(kJobId);
  ASSERT_TRUE(c.ScriptAgentStopped("proxyA"));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_FALSE(c.m_agents["proxyA"].dropped);
  for (const std::string& line : Events()) EXPECT_EQ(std::string::npos, line.find("0x5B00007A")) << line;
}

TEST_F(CoordinatorTest, AnAgentToldToQuitBeforeItsStartupStaysStoppedAndIsNotDroppedWhenItLeaves) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  // proxyA is slow to announce itself; the job ends before it does.
  StartAllAgents({"proxyA"});
  c.StopAllAgents();
  for (const char* agent : {"coordinator", "proxyA", "proxyB"}) TakeSent(agent);
  const std::string collect = lab::SubclientJobResultsDir("proxyA", "1") + "/vmcollect_1001.ztf";
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", Startup("proxyA")));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(AgentStopped, c.m_agents["proxyA"].state);
  EXPECT_TRUE(TakeSent("proxyA").tags.empty()) << "no VMAgentInit for an agent that is leaving";
  EXPECT_FALSE(CPxFile::Exists(collect)) << "the job's collect file is not sent after its end";
  EXPECT_TRUE(Logged("Agent [proxyA] was told to quit before it initialized; it is not taken up"));
  ASSERT_TRUE(c.ScriptAgentStopped("proxyA"));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_FALSE(c.m_agents["proxyA"].dropped);
  for (const std::string& line : Events()) EXPECT_EQ(std::string::npos, line.find("0x5B00007A")) << line;
}

TEST_F(CoordinatorTest, VMsWhoseAgentsAreAllGoneEndTheJobInsteadOfHangingIt) {
  Settings("bEnableRestartAgents=0");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  // Every VM's candidates are proxyA and proxyB only, and both stop for good.
  for (auto& entry : c.m_vmMap) entry.second.candidateAgents = {"proxyA", "proxyB"};
  ASSERT_TRUE(c.ScriptAgentStopped("proxyA"));
  ASSERT_TRUE(c.ScriptAgentStopped("proxyB"));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("No running agent can back up the [3] VMs left, stopping agents.  [vm01, vm02, vm03]"));
  EXPECT_FALSE(Logged("All VMs have been processed")) << "three VMs were not";
  EXPECT_EQ(QuarnCoordinator::kStopping, c.GetState());
  EXPECT_FALSE(c.FinishJob());
  EXPECT_TRUE(Logged("no VMs were processed successfully, job will go to pending."));
}

TEST_F(CoordinatorTest, StopAllAgentsSendsQuitWithTheCommitFieldOnlyForACommittedJob) {
  for (bool committed : {false, true}) {
    SCOPED_TRACE(committed);
    ASSERT_TRUE(Initialize(committed ? std::vector<std::string>{"-co"} : std::vector<std::string>{}));
    TestCoordinator& c = *coordinator_;
    StartAllAgents();
    for (const char* agent : {"coordinator", "proxyA", "proxyB"}) TakeSent(agent);
    ASSERT_TRUE(c.ScriptAgentStopped("proxyB"));
    lab::RequestJobQuit(kJobId);
    ASSERT_TRUE(c.ScriptRunPass());
    EXPECT_TRUE(Logged("Quit flag is set, stopping agents"));
    for (const char* agent : {"coordinator", "proxyA"}) {
      Sent sent = TakeSent(agent);
      ASSERT_EQ(1u, sent.tags.size()) << agent;
      ASSERT_EQ(VirtualServer::VMAgentQuit::TAG, sent.tags[0]);
      EXPECT_EQ(committed, sent.messages[0]->isSet(VirtualServer::VMAgentQuit::F_commit));
      EXPECT_EQ(committed ? 1 : 0, sent.messages[0]->getint64(VirtualServer::VMAgentQuit::F_commit));
      EXPECT_EQ(AgentStopped, c.m_agents[agent].state);
    }
    EXPECT_TRUE(TakeSent("proxyB").tags.empty()) << "a stopped agent is not told";
    lab::ClearJobQuit(kJobId);
    coordinator_.reset();
  }
}

}  // namespace
}  // namespace coordtest
