// The coordinator's streams: how many the job needs, each agent's limit, which agent gets the next
// stream, exchanges to data-path media agents, releases, errors, reclaims and additional streams,
// with the reservation ledger of the lab as the job manager's and media agent's side.
#include "coordinator/CoordinatorTestSupport.h"
#include "platform/jobclient/ZTClient.h"
#include "support/VirtualClock.h"

using namespace coordtest;

namespace {

using StartupMsg = VirtualServer::VMAgentStartup;
using Stream = VirtualServer::VMBackupStream;

// The stream grants the agent was sent, as "stream/rcid/reservation/media agent".
std::vector<std::string> Grants(const std::vector<std::unique_ptr<CNMessageBase>>& sent) {
  std::vector<std::string> grants;
  for (const auto& message : sent) {
    if (message->getTagID() != Stream::TAG) continue;
    grants.push_back(std::to_string(message->getint64(Stream::F_streamId)) + "/" +
                     std::to_string(message->getint64(Stream::F_rcid)) + "/" +
                     std::to_string(message->getint64(Stream::F_reservationId)) + "/" +
                     std::to_string(message->getint64(Stream::F_clientId)));
  }
  return grants;
}

}  // namespace

TEST_F(CoordinatorTest, RequiredStreamsFollowTheVMsDisksAndTheSubclientsMaximum) {
  struct Row {
    int max;
    int available;
    int64_t disks[3];
    bool firstStarted;
    const char* job;  // "", "snap", "ci", "stub"
    int required, availableAfter, unavailable;
    const char* line;
  };
  const Row rows[] = {
      {4, 3, {1, 1, 1}, false, "", 3, 3, 0, "All the streams that are required have been allocated"},
      {10, 2, {3, 0, 2}, false, "", 6, 2, 4,
       "[2] streams have been allocated, [6] streams are allowed, [4] additional streams will be requested"},
      {2, 5, {1, 1, 1}, false, "", 2, 5, 0,
       "[5] streams have been allocated, [2] streams are allowed, [3] streams will be released"},
      {10, 3, {4, 1, 1}, true, "", 2, 3, 0, "There are [2] VMs and [2] Disks to be processed by a max of [10] streams"},
      {10, 3, {1, 1, 1}, false, "snap", 1, 1, 0, ""},
      {10, 3, {1, 1, 1}, false, "ci", 1, 1, 0, ""},
      {10, 3, {1, 1, 1}, false, "stub", 0, 0, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.max) + " " + std::to_string(row.available) + " " + row.job);
    FreshLab();
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    const std::string job = row.job;
    job_->setSnapBackup(job == "snap");
    job_->setBkpLevel(job == "ci" ? 64 : 2);
    job_->setVMStubPhase(job == "stub");
    Subclient("maxStreams=" + std::to_string(row.max));
    ASSERT_EQ(vsAppMgr::kRetOk, app_->querySettings());
    for (int vm = 1; vm <= 3; ++vm)
      c.m_vmMap.Find(VMGuid(vm))->collect.setint64(VirtualServer::VMCollect::F_diskCount, row.disks[vm - 1]);
    if (row.firstStarted) c.m_vmMap.Find(VMGuid(1))->vmPhase = PHASE_STARTED;
    c.m_availableStreams = row.available;
    c.m_unavailableStreams = 0;
    c.calculateRequiredStreams();
    EXPECT_EQ(row.required, c.m_requiredStreams);
    EXPECT_EQ(row.availableAfter, c.m_availableStreams);
    EXPECT_EQ(row.unavailable, c.m_unavailableStreams);
    if (*row.line != '\0') {
      EXPECT_TRUE(Logged(row.line));
    }
  }

  // No stream at all: the job cannot start.
  FreshLab();
  streams_ = 0;
  EXPECT_FALSE(Initialize());
  EXPECT_TRUE(Logged("No streams are available. Moving the job to pending"));
}

TEST_F(CoordinatorTest, EachAgentsStreamLimitComesFromItsStartup) {
  struct Row {
    const char* settings;
    int64_t cpus, memory, limit, source;
    int32_t expected;
    const char* wording;
    bool hypervisorBound;
  };
  const Row rows[] = {
      {"", 4, 4096, 0, 0, 40, "bound", false},
      {"", 2, 4096, 0, 0, 20, "cpu bound", false},
      {"", 8, 1000, 0, 0, 10, "memory bound", false},
      {"nStreamsPerCPU=3\nnMemoryMBPerStream=50", 8, 1000, 0, 0, 20, "memory bound", false},
      {"nMemoryMBPerStream=0", 4, 4096, 0, 0, 40, "cpu bound", false},
      {"nStreamsPerCPU=0", 4, 4096, 0, 0, 0, "cpu bound", false},
      {"", 4, 4096, 5, 1, 5, "forced", false},
      {"", 4, 4096, 3, 2, 3, "hypervisor bound", true},
      {"", 4, 4096, -1, 1, -1, "", false},
      {"", 4, 4096, 0xFFFFFFFFLL, 1, -1, "", false},
      {"", 4, 4096, 0xFFFFFFFFLL, 2, -1, "hypervisor bound", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.settings) + " limit " + std::to_string(row.limit));
    FreshLab();
    Settings(row.settings);
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    StartupMsg startup;
    startup.setint64(StartupMsg::F_cpuCount, row.cpus);
    startup.setint64(StartupMsg::F_memoryMB, row.memory);
    if (row.limit != 0) startup.setint64(StartupMsg::F_streamLimit, row.limit);
    if (row.source != 0) startup.setint64(StartupMsg::F_streamLimitSource, row.source);
    c.CalculateStreamLimitForAgent("proxyA", &startup);
    EXPECT_EQ(row.expected, c.m_agents["proxyA"].streamLimit);
    EXPECT_EQ(row.hypervisorBound, c.m_hypervisorBoundLimit);
    if (*row.wording != '\0')
      EXPECT_TRUE(Logged("Agent [proxyA] stream limit is " + std::string(row.wording) + " to [" +
                         std::to_string(row.expected) + "] streams"));
    else
      EXPECT_TRUE(Logged("Agent [proxyA] is disabled"));
    bool delayed = false;
    c.m_agents["proxyA"].state = AgentInitialized;
    c.m_agents["proxyA"].diskLoad = 1;
    EXPECT_EQ(row.expected != -1, c.IsAgentEligibleForStreams(c.m_agents["proxyA"], delayed))
        << "a disabled agent takes no stream";
  }
}

// Three agents with loads set by hand; the stream's best taker by each method.
TEST_F(CoordinatorTest, TheThreeDistributionMethodsAndTheLimit) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  auto set = [&](const std::string& name, int assigned, int limit, int remaining, int returned = 0) {
    QuarnAgentInfo& agent = c.m_agents[name];
    agent.state = AgentInitialized;
    agent.streamsAssigned = assigned;
    agent.streamLimit = limit;
    agent.diskLoad = 100;
    agent.streamsReturned = returned;
    agent.distributedVMs.clear();
    for (int i = 0; i < remaining; ++i) agent.distributedVMs.insert(name + std::to_string(i));
    agent.completedCount = 0;
  };
  struct Row {
    uint32_t method;
    int a[4], b[4], cc[4];  // assigned, limit, remaining, returned of coordinator, proxyA, proxyB
    bool enforce;
    const char* expected;
  };
  const Row rows[] = {
      // Percentage: an agent with no stream beats any with streams; else the lowest share.
      {2, {1, 4, 5, 0}, {1, 10, 5, 0}, {0, 10, 5, 0}, true, "proxyB"},
      {2, {1, 4, 5, 0}, {1, 10, 5, 0}, {2, 10, 5, 0}, true, "proxyA"},
      {2, {0, 10, 5, 0}, {0, 10, 5, 0}, {0, 10, 5, 0}, true, "coordinator"},
      // By VM count: the most VMs per stream held; among agents with none, the most VMs.
      {0, {1, 10, 6, 0}, {2, 10, 10, 0}, {3, 10, 9, 0}, true, "coordinator"},
      {0, {0, 10, 3, 0}, {0, 10, 5, 0}, {2, 10, 9, 0}, true, "proxyA"},
      // Sequential: the first that never gave a stream back.
      {1, {0, 10, 5, 1}, {0, 10, 5, 0}, {0, 10, 5, 0}, true, "proxyA"},
      // At the limit (other processes' streams count) only when the limit is not enforced.
      {2, {4, 4, 5, 0}, {10, 10, 5, 0}, {0, 0, 5, 0}, true, ""},
      {2, {4, 4, 5, 0}, {10, 10, 5, 0}, {0, 0, 5, 0}, false, "proxyB"},
      // Nothing left to do: no stream.
      {2, {0, 10, 0, 0}, {0, 10, 0, 0}, {0, 10, 0, 0}, true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("method " + std::to_string(row.method) + " expecting " + row.expected);
    c.m_streamDistributionMethod = row.method;
    set("coordinator", row.a[0], row.a[1], row.a[2], row.a[3]);
    set("proxyA", row.b[0], row.b[1], row.b[2], row.b[3]);
    set("proxyB", row.cc[0], row.cc[1], row.cc[2], row.cc[3]);
    bool delayed = false;
    EXPECT_EQ(row.expected, c.SelectAgentForStream(row.enforce, delayed));
  }
  EXPECT_TRUE(Logged("Selecting agent [proxyA] for stream as it has [1] streams, [5] VMs remaining and is using 10% of "
                     "its stream resources"));
}

TEST_F(CoordinatorTest, EligibilityEndsWithAVoluntaryReturnAndComesBackTwoMinutesAfterAnError) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  QuarnAgentInfo agent;
  agent.state = AgentInitialized;
  agent.streamLimit = 5;
  agent.diskLoad = 2;
  bool delayed = false;
  EXPECT_TRUE(c.IsAgentEligibleForStreams(agent, delayed));
  agent.streamsAssigned = 2;
  EXPECT_FALSE(c.IsAgentEligibleForStreams(agent, delayed)) << "as many streams as its disks";
  agent.streamsAssigned = 0;
  agent.sendFailed = true;
  EXPECT_FALSE(c.IsAgentEligibleForStreams(agent, delayed));
  agent.sendFailed = false;
  agent.state = AgentStarted;
  EXPECT_FALSE(c.IsAgentEligibleForStreams(agent, delayed));
  agent.state = AgentInitialized;

  const time_t now = ZtClock::NowSeconds();
  agent.streamsReturned = 1;
  agent.lastStreamReturn = now;
  EXPECT_FALSE(c.IsAgentEligibleForStreams(agent, delayed)) << "gave a stream back without an error";
  EXPECT_FALSE(delayed);
  agent.streamErrors = 1;
  agent.lastStreamError = now;
  agent.lastStreamReturn = now - 1;
  EXPECT_FALSE(c.IsAgentEligibleForStreams(agent, delayed));
  EXPECT_TRUE(delayed) << "an error is forgiven later";
  Advance(119);
  delayed = false;
  EXPECT_FALSE(c.IsAgentEligibleForStreams(agent, delayed));
  EXPECT_TRUE(delayed);
  Advance(1);
  delayed = false;
  EXPECT_TRUE(c.IsAgentEligibleForStreams(agent, delayed));
  agent.lastStreamReturn = agent.lastStreamError + 1;
  EXPECT_FALSE(c.IsAgentEligibleForStreams(agent, delayed)) << "it gave one back since the error";
}

TEST_F(CoordinatorTest, StreamsComeFromTheReservationsAndExcessIsReleased) {
  // A secondary copy is not a stream of its own; a stream whose token cannot be set stays out.
  std::string error;
  Subclient("maxStreams=2");
  ASSERT_TRUE(StartManagers());
  ASSERT_TRUE(lab::UpdateReservationLedger(kJobId, [](lab::ReservationLedger& ledger, std::string&) {
    ledger.Reserve(9, 1)->primary = false;
    return true;
  }, error));
  ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
  TestCoordinator& c = *coordinator_;
  lab::FaultRule rule;
  rule.op = "media.setClientToken";
  rule.stream = "2";
  rule.code = 12;
  ASSERT_TRUE(lab_->Fault(rule));
  StartAllAgents();
  EXPECT_TRUE(Logged("Ignoring secondary stream, StreamId = 9, RCID = 4, ReservationId = 4, MediaAgentId = 1, "
                     "InUse = 0, CopyId = 1"));
  EXPECT_TRUE(Logged("Failed to set client token on stream RCID [2], 12"));
  EXPECT_TRUE(Logged("Added StreamId = 1, RCID = 1, ReservationId = 1, MediaAgentId = 1, InUse = 0"));
  EXPECT_TRUE(Logged("StreamId = 1, RCID = 1, ReservationId = 1, MediaAgent = [ma1], Agent = []  [Available]"));

  // Two are required of the three granted: streams 1 and 3 are lent (2 never made the list), and the
  // excess finds no available stream left to release.
  EXPECT_EQ(2, c.m_assignedStreams);
  EXPECT_EQ(2, c.m_availableStreams);
  EXPECT_TRUE(Logged("Releasing excessive stream.  [2] streams are assigned, [3] streams are available, max of [2] "
                     "streams are required"));
  lab::ReservationLedger ledger = Ledger();
  EXPECT_EQ(1001, ledger.Find(1)->token);
  EXPECT_EQ(0, ledger.Find(2)->token);
  EXPECT_EQ(std::vector<std::string>({"1/1/1/1"}), Grants(TakeSent("coordinator").messages));
  EXPECT_EQ(std::vector<std::string>({"3/3/3/1"}), Grants(TakeSent("proxyA").messages));
  EXPECT_TRUE(Grants(TakeSent("proxyB").messages).empty());
  EXPECT_TRUE(Logged("Could not find an available stream to release")) << "stream 2 is not the job's to release";
}

TEST_F(CoordinatorTest, AgentsAtTheirLimitGetStreamsUnlessTheLimitIsHard) {
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard limit" : "soft limit");
    FreshLab();
    if (hard) Settings("bHardStreamLimit=1");
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    // Each agent's host already runs one stream of another job process, and one is its limit.
    StartAllAgents({}, [](const std::string&, StartupMsg& startup) {
      startup.setint64(StartupMsg::F_streamLimit, 1);
      startup.setint64(StartupMsg::F_streamLimitSource, 1);
      auto* status = startup.getObject<VirtualServer::VMAgentStatus>(StartupMsg::F_agentStatus, true);
      status->setint64(VirtualServer::VMAgentStatus::F_hostStreams, 1);
    });
    EXPECT_TRUE(Logged("Agent [proxyA] has reached it's stream limit of [1] streams"));
    EXPECT_EQ(1u, CountOf(Log(), "Agent [proxyA] has reached it's stream limit")) << "said once per agent";
    EXPECT_NE(Events().end(), std::find(Events().begin(), Events().end(), "MINOR 0x5B0000F0 proxyA"));
    if (!hard) {
      EXPECT_TRUE(Logged("All agents are at the stream limit, disabling stream limit"));
      EXPECT_EQ(3, c.m_assignedStreams);
    } else {
      EXPECT_TRUE(Logged("All agents are at the stream limit, stream will be released"));
      EXPECT_TRUE(Logged("No streams have been assigned, job will go to pending"));
      EXPECT_EQ(0, c.m_assignedStreams);
      ASSERT_FALSE(Pending().empty());
      EXPECT_EQ("0x5B0000F4", Pending().back());
      EXPECT_EQ(1u, CountOf(Log(), "No streams have been assigned, job will go to pending")) << "raised once";
      // Released from the back; the last one's reservation is held; then the job has no stream.
      EXPECT_TRUE(Logged("Releasing Stream Id [3], [2] streams are still reserved"));
      EXPECT_TRUE(Logged("Releasing Stream Id [2], [1] streams are still reserved"));
      EXPECT_TRUE(Logged("Holding Stream Id [1] reservation on last stream"));
      const lab::ReservationLedger ledger = Ledger();
      EXPECT_EQ("free", ledger.Find(3)->why);
      EXPECT_EQ("free", ledger.Find(2)->why);
      EXPECT_EQ(lab::ReservationState::kReserved, ledger.Find(1)->state);
      EXPECT_EQ(0, c.m_availableStreams);
      ASSERT_TRUE(c.ScriptRunPass());
      EXPECT_TRUE(Logged("No streams are available, stopping agents"));
      EXPECT_EQ(QuarnCoordinator::kStopping, c.m_state);
    }
  }
}

TEST_F(CoordinatorTest, DataPathMediaAgentsGetTheirStreamsExchangedToThem) {
  Subclient("dataPathMediaAgents=proxyA,proxyB");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  lab::FaultRule rule;
  rule.op = "media.exchangeMAAndDPReservation";
  rule.code = 44;
  rule.after = 1;  // the first exchange (proxyA's) goes through, the second (proxyB's) fails
  ASSERT_TRUE(lab_->Fault(rule));
  StartAllAgents();
  int64_t proxyA = 0;
  ASSERT_TRUE(ZTClient::getId("proxyA", proxyA));
  EXPECT_TRUE(Logged("Exchanging reservation on stream RCID [2] from [1][ma1] to [" + std::to_string(proxyA) +
                     "][proxyA]"));
  lab::ReservationLedger ledger = Ledger();
  EXPECT_EQ(lab::ReservationState::kRetired, ledger.reservations[1].state);
  const lab::Reservation* moved = ledger.Find(4);
  ASSERT_NE(nullptr, moved);
  EXPECT_EQ(proxyA, moved->mediaAgentId);
  EXPECT_EQ(std::vector<std::string>({"2/4/4/" + std::to_string(proxyA)}), Grants(TakeSent("proxyA").messages))
      << "the grant carries the new reservation";
  EXPECT_TRUE(Logged("Failed to exchange reservation id on stream [3], 44"));
  EXPECT_FALSE(c.m_agents["proxyB"].dataPathMediaAgent) << "no further exchange for proxyB";
  EXPECT_EQ(std::vector<std::string>({"3/3/3/1"}), Grants(TakeSent("proxyB").messages)) << "lent as it was";
  EXPECT_EQ(std::vector<std::string>({"1/1/1/1"}), Grants(TakeSent("coordinator").messages)) << "not a data-path agent";

  // A stream already reserved on the agent's media agent is not exchanged again.
  QuarnStreamInfo stream = *std::find_if(c.m_streams.begin(), c.m_streams.end(),
                                         [](const QuarnStreamInfo& s) { return s.agent == "proxyA"; });
  c.ExchangeStreamReservationForClient(stream, "proxyA");
  EXPECT_TRUE(Logged("Not Exchanging reservation on stream RCID [4] as it is already reserved on [" +
                     std::to_string(proxyA) + "][proxyA]"));
}

TEST_F(CoordinatorTest, AFailedStreamIsFreedAtOnceAndReclaimedAMinuteLater) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  const QuarnStreamInfo lent = *std::find_if(c.m_streams.begin(), c.m_streams.end(),
                                             [](const QuarnStreamInfo& s) { return s.agent == "proxyB"; });
  Stream failed;
  failed.setint64(Stream::F_streamCount, 1);
  failed.setint64(Stream::F_streamFailed, 1);
  failed.setint64(Stream::F_streamId, lent.StreamId);
  failed.setint64(Stream::F_rcid, lent.RCID);
  failed.setint64(Stream::F_reservationId, lent.ReservationId);
  // The error's time is kept in whole seconds: a real clock that crosses a second while the test runs
  // would reclaim the stream a second early.
  testsupport::VirtualClock frozen;
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", failed));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ("free", Ledger().Find(lent.RCID)->why) << "given back to the job manager with the error";
  EXPECT_EQ(2, c.m_availableStreams);
  EXPECT_EQ(1, c.m_agents["proxyB"].streamErrors);

  Advance(59);
  EXPECT_FALSE(c.CheckAndReclaimErrorStreams());
  Advance(1);
  EXPECT_TRUE(c.CheckAndReclaimErrorStreams());
  const auto it = std::find_if(c.m_streams.begin(), c.m_streams.end(),
                               [&](const QuarnStreamInfo& s) { return s.RCID == lent.RCID; });
  EXPECT_EQ(StreamReclaimed, it->state);
  EXPECT_EQ("stream error", it->reason);
  EXPECT_EQ(1, c.m_unavailableStreams);
  EXPECT_FALSE(c.CheckAndReclaimErrorStreams()) << "nothing is reclaimed twice";

  // A return of several streams without ids: the job manager is told how many.
  Stream two;
  two.setint64(Stream::F_streamCount, 1);
  two.setint64(Stream::F_streamFailed, 1);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", two));
  ASSERT_TRUE(c.ScriptRunPass());
  const std::vector<std::string> calls = lab::ReadJobStreamCalls(kJobId);
  EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "freeN 1"));
  // A stranger's return is not counted.
  EXPECT_TRUE(c.OnMsgVMBackupStream("stranger", &two));
  EXPECT_TRUE(Logged("Agent [stranger] is not recognized"));
}

TEST_F(CoordinatorTest, AdditionalStreamRequestsWaitFailAndGrant) {
  Subclient("maxStreams=3");
  streams_ = 1;
  JobConf("additionalStreamsDelay=1\nadditionalStreams=1");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  EXPECT_EQ(2, c.m_unavailableStreams);
  StartAllAgents();
  ASSERT_TRUE(c.CheckAdditionalStreams(5));
  EXPECT_EQ(std::vector<std::string>({"allocate 2"}), lab::ReadJobStreamCalls(kJobId));
  ASSERT_TRUE(c.CheckAdditionalStreams(5));
  EXPECT_EQ(1u, lab::ReadJobStreamCalls(kJobId).size()) << "the job manager is still working on it";
  ASSERT_TRUE(c.CheckAdditionalStreams(5));
  EXPECT_TRUE(Logged("Received [1] additional streams, there are now [2] streams available"));
  EXPECT_EQ(2, c.m_availableStreams);
  EXPECT_EQ(std::vector<std::string>({"allocate 2", "allocate 1"}), lab::ReadJobStreamCalls(kJobId))
      << "the one not granted is asked for again";
  EXPECT_EQ(2, Ledger().CountReserved());

  // A request whose status fails closes it and asks no more; a refused request asks no more either.
  ASSERT_TRUE(lab_->Fault("jobmgr.checkStatusOfAdditionalResourceRequest", 8));
  ASSERT_TRUE(c.CheckAdditionalStreams(5));
  EXPECT_TRUE(Logged("Request for allocation of additional streams failed. The job will continue with available streams"));
  EXPECT_EQ(0, c.m_unavailableStreams);
  c.m_unavailableStreams = 3;
  ASSERT_TRUE(lab_->Fault("jobmgr.allocateAdditionalStreams", 9));
  ASSERT_TRUE(c.CheckAdditionalStreams(2));
  EXPECT_TRUE(Logged("Error requesting for additional streams.. The job will continue with available streams"));
  EXPECT_EQ(0, c.m_unavailableStreams);
  c.m_unavailableStreams = 3;
  ASSERT_TRUE(c.CheckAdditionalStreams(0));
  EXPECT_EQ(0, c.m_unavailableStreams) << "no more than the disks still to do";
}
