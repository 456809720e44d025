// Distribution of the VMs over the agents, the priority order, rebalancing, static lists and the
// priority file.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "coordinator/CoordinatorTestSupport.h"
#include "platform/config/ZTPI_Base.h"
#include "platform/lab/LabFaults.h"
#include "support/VirtualClock.h"

using namespace coordtest;

namespace {

std::string Names(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

}  // namespace

// A coordinator with its managers and hand-made agents and VMs; no hypervisor object, so only the
// rules that need no host record place VMs (Host, then Any for the rest).
class DispatchTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    Reset();
  }
  // The coordinator of a new lab, with its three agents initialised.
  void Reset() {
    FreshLab();
    ASSERT_TRUE(StartManagers());
    c().UseManagers(job_.get(), app_.get());
    c().m_agents.clear();
    for (const char* name : {"coordinator", "proxyA", "proxyB"}) ASSERT_TRUE(c().AddAgent(name));
    c().ScriptBeginMain();
    c().ScriptTakeStarts();
    for (const char* name : {"coordinator", "proxyA", "proxyB"}) ASSERT_TRUE(c().ScriptAgentStarted(name));
    Agent("coordinator", "");
    Agent("proxyA", "esx1");
    Agent("proxyB", "esx2");
  }
  TestCoordinator& c() { return *coordinator_; }
  QuarnAgentInfo& Agent(const std::string& name, const std::string& host) {
    QuarnAgentInfo& agent = c().m_agents[name];
    agent.state = AgentInitialized;
    agent.hostName = host;
    agent.streamLimit = 10;
    return agent;
  }
  vm_params& AddVM(const std::string& name, const std::string& host, int64_t disks = 1, int64_t size = 100,
                   int32_t priority = 6, int64_t time = 0) {
    vm_params vm;
    vm.vmName = name;
    vm.vmGuid = "guid-" + name;
    vm.host = host;
    vm.datastore = "ds-" + host;
    vm.priority = priority;
    vm.lastBackupTime = time;
    vm.collect.setstring(VirtualServer::VMCollect::F_vmName, name);
    vm.collect.setstring(VirtualServer::VMCollect::F_vmGuid, vm.vmGuid);
    vm.collect.setint64(VirtualServer::VMCollect::F_diskCount, disks);
    vm.collect.setint64(VirtualServer::VMCollect::F_vmSize, size);
    c().m_vmMap.Add(vm);
    return *c().m_vmMap.Find(vm.vmGuid);
  }
  std::vector<std::string> Order() {
    std::vector<std::string> names;
    for (const std::string& guid : c().PriorityList()) names.push_back(c().m_vmMap.Find(guid)->vmName);
    return names;
  }
};

TEST_F(DispatchTest, OneCandidateIsStaticManyAreDynamicAndEveryVMWeighsAtLeastOneDisk) {
  AddVM("a1", "esx1", 3);
  AddVM("a2", "ESX1", 0);
  AddVM("n1", "esx9", 2);
  c().DistributeVMsToAgents(false);

  const QuarnAgentInfo& a = c().m_agents["proxyA"];
  EXPECT_EQ("guid-a1,guid-a2", Names(a.staticVMs));
  EXPECT_EQ("guid-n1", Names(a.distributedVMs));
  EXPECT_EQ(3 + 1 + 2, a.diskLoad);
  EXPECT_EQ(2, c().m_agents["coordinator"].diskLoad);
  EXPECT_EQ(std::vector<std::string>{"n1"}, Order()) << "a static VM never enters the list";
  EXPECT_TRUE(Logged("Adding VM [a1] on [esx1] to Agent [proxyA] (Host match)  \n"));
  EXPECT_TRUE(Logged("Adding VM [n1] on [esx9] to Agent [coordinator,proxyA,proxyB] (Any)  \n"));
  EXPECT_TRUE(Logged("Agent [proxyA] has 3 VMs (2 static)  6 max streams"));
  EXPECT_TRUE(Logged("Agent [proxyB] has 1 VMs  2 max streams"));

  // The static list goes to the initialised agent only.
  c().m_agents["proxyB"].staticVMs.insert("guid-n1");
  c().m_agents["proxyB"].state = AgentStarted;
  c().DispatchVMLists();
  EXPECT_EQ(std::vector<std::string>({"guid-a1", "guid-a2"}), TakeSent("proxyA").vms);
  EXPECT_TRUE(TakeSent("proxyB").vms.empty());
  EXPECT_TRUE(Logged("Sending Static VM list to [proxyA] with [2] VMs"));
  EXPECT_TRUE(Logged("Agent [proxyB] is not initialized but has [1] VMs statically assigned"));
  EXPECT_EQ(PHASE_STARTED, c().m_vmMap.Find("guid-a1")->vmPhase);
}

TEST_F(DispatchTest, WithoutDynamicAssignmentEachVMGetsTheInitialisedAgentWithFewestStaticVMs) {
  c().m_dynamicVMAssignment = false;
  c().m_agents["coordinator"].state = AgentFailed;
  for (const char* name : {"v1", "v2", "v3", "v4"}) AddVM(name, "esx9");
  c().DistributeVMsToAgents(false);
  EXPECT_EQ("guid-v1,guid-v3", Names(c().m_agents["proxyA"].staticVMs));
  EXPECT_EQ("guid-v2,guid-v4", Names(c().m_agents["proxyB"].staticVMs));
  EXPECT_TRUE(c().m_agents["coordinator"].staticVMs.empty());
  EXPECT_TRUE(Order().empty());

  // A rebalance cannot change anything without dynamic assignment.
  c().DistributeVMsToAgents(true);
  EXPECT_TRUE(Logged("Cannot redistribute VMs to agents when dynamic VM assignment is disabled"));
}

TEST_F(DispatchTest, NoInitialisedCandidateLeavesTheVMUnplacedRatherThanGivenToAnEmptyName) {
  c().m_dynamicVMAssignment = false;
  for (auto& entry : c().m_agents) entry.second.state = AgentStarted;
  vm_params& vm = AddVM("v1", "esx1");
  c().DistributeVMsToAgents(false);
  EXPECT_TRUE(vm.candidateAgents.empty());
  EXPECT_EQ(0u, c().m_agents.count(""));
  for (const auto& entry : c().m_agents) EXPECT_TRUE(entry.second.staticVMs.empty()) << entry.first;
  EXPECT_TRUE(Order().empty());
  EXPECT_TRUE(Logged("No initialized agent among [proxyA] for VM [v1] (Host match)"));
  EXPECT_TRUE(Logged("No suitable agent for VM [v1]"));
  EXPECT_EQ("", c().SelectAgentFromList({}));
}

TEST_F(DispatchTest, SnapshotBackupGivesEachVMTheCoordinatorStatically) {
  job_->setSnapBackup(true);
  AddVM("v1", "esx1");
  AddVM("v2", "esx2");
  c().DistributeVMsToAgents(false);
  EXPECT_FALSE(c().m_dynamicVMAssignment);
  EXPECT_EQ("guid-v1,guid-v2", Names(c().m_agents["coordinator"].staticVMs));
  EXPECT_TRUE(Order().empty());
  EXPECT_TRUE(Logged("Disabling dynamic VM assignment for snap backup"));
  EXPECT_TRUE(Logged("(Snap backup job for VMware)"));
}

TEST_F(DispatchTest, PriorityOrderTakesEachKeyInTurnAndPutsEqualVMsInReverse) {
  // Every VM on no agent's host: candidates are all three agents, except "few", which only proxyA
  // may take.
  AddVM("late", "esx9", 1, 100, 7);
  AddVM("old", "esx9", 1, 100, 6, 10);
  AddVM("new", "esx9", 1, 100, 6, 30);
  AddVM("few", "esx1", 1, 100, 6, 20);
  AddVM("disks", "esx9", 4, 100, 6, 20);
  AddVM("big", "esx9", 1, 900, 6, 20);
  AddVM("eq1", "esx9", 1, 100, 6, 20);
  AddVM("eq2", "esx9", 1, 100, 6, 20);
  c().m_staticVMAssignment = false;
  c().DistributeVMsToAgents(false);
  EXPECT_EQ(std::vector<std::string>({"old", "few", "disks", "big", "eq2", "eq1", "new", "late"}), Order());

  std::string reason;
  EXPECT_TRUE(c()._OrderVMPriorityListCompare("guid-few", "guid-disks", reason));
  EXPECT_EQ("agents", reason);
  EXPECT_FALSE(c()._OrderVMPriorityListCompare("guid-new", "guid-old", reason));
  EXPECT_EQ("time", reason);
  auto line = [](const std::string& name, const std::string& size, const std::string& time, const std::string& why) {
    return " VM " + name + std::string(35 - name.size(), ' ') + "  Agents [3]  Disks [1]  Size [" +
           std::string(18 - size.size(), ' ') + size + "]  Priority [6]  Time [" + std::string(10 - time.size(), ' ') +
           time + "] [" + why + "]\n";
  };
  EXPECT_TRUE(Logged(line("eq2", "100", "20", "equal")));
  EXPECT_TRUE(Logged(line("big", "900", "20", "size")));
  EXPECT_TRUE(Logged(line("new", "100", "30", "priority")));
  EXPECT_TRUE(Logged("Priority [7]  Time [         0] []\n")) << "the last VM has no reason";

  // Handed out, a VM is no longer in the list.
  EXPECT_TRUE(c().RemoveVMFromVMPriorityList("guid-old"));
  EXPECT_FALSE(c().RemoveVMFromVMPriorityList("guid-old"));
  EXPECT_FALSE(c().RemoveVMFromVMPriorityList("GUID-FEW")) << "the list compares GUIDs exactly";
}

TEST_F(DispatchTest, ARebalanceMovesOnlyVMsNotStartedWithTheirDiskLoad) {
  Settings("UseDifferentProxyOnNextAttempt=1");
  vm_params& started = AddVM("started", "esx9", 2);
  vm_params& moved = AddVM("moved", "esx9", 3);
  vm_params& retried = AddVM("retried", "esx9");
  retried.previousAgent = "proxyB";
  c().DistributeVMsToAgents(false);
  EXPECT_EQ("coordinator,proxyA", Names(retried.candidateAgents));
  EXPECT_TRUE(Logged("Adding VM [retried] on [esx9] to Agent [coordinator,proxyA] (Any)  Dropped previous agent "
                     "[proxyB]"));
  EXPECT_EQ(2 + 3, c().m_agents["proxyB"].diskLoad);
  EXPECT_EQ(2 + 3 + 1, c().m_agents["proxyA"].diskLoad);

  started.vmPhase = PHASE_STARTED;
  c().m_agents["proxyB"].hostName = "esx9";
  c().DistributeVMsToAgents(true);
  EXPECT_EQ("proxyB", Names(moved.candidateAgents));
  EXPECT_EQ("coordinator,proxyA,proxyB", Names(started.candidateAgents)) << "a started VM keeps its candidates";
  EXPECT_EQ(2, c().m_agents["proxyA"].diskLoad) << "moved and retried left proxyA";
  EXPECT_EQ(0u, c().m_agents["proxyA"].distributedVMs.count("guid-moved"));
  EXPECT_EQ(2 + 3 + 1, c().m_agents["proxyB"].diskLoad) << "retried now goes to proxyB alone";
  EXPECT_EQ(0u, c().m_agents["proxyB"].staticVMs.size()) << "a rebalance assigns nothing statically";
  EXPECT_TRUE(Logged("Updating VM [moved] on [esx9] to Agent [proxyB] (Host match) was [coordinator,proxyA,proxyB]"));
  EXPECT_EQ(std::vector<std::string>({"moved", "retried"}), Order());

  // An agent that can no longer take streams: a VM only it could have is no one's work any more.
  c().m_agents["coordinator"].streamLimit = c().m_agents["proxyA"].streamLimit = c().m_agents["proxyB"].streamLimit = 0;
  c().DistributeVMsToAgents(true);
  EXPECT_TRUE(moved.candidateAgents.empty());
  EXPECT_EQ(2, c().m_agents["proxyB"].diskLoad) << "only the started VM is left";
  EXPECT_EQ(0, c().m_agents["coordinator"].diskLoad + c().m_agents["proxyA"].diskLoad - 2 - 2);
  EXPECT_TRUE(Order().empty());
}

TEST_F(DispatchTest, VolumeActivityCountsPerDatastoreAndNeverBelowZero) {
  vm_params& vm = AddVM("v1", "esx1");
  vm_params& other = AddVM("v2", "esx2");
  EXPECT_EQ(0u, c().GetVolumeActivityForVM(vm)) << "a datastore nothing started on";
  c().DistributeVMsToAgents(false);
  c().DispatchVMLists();
  EXPECT_EQ(1u, c().GetVolumeActivityForVM(vm));
  EXPECT_EQ(1u, c().GetVolumeActivityForVM(other));
  c().DecrementVolumeActivityForVM(vm);
  c().DecrementVolumeActivityForVM(vm);
  EXPECT_EQ(0u, c().GetVolumeActivityForVM(vm));
  EXPECT_EQ(1u, c().GetVolumeActivityForVM(other));
}

TEST_F(DispatchTest, PriorityFileSetsPrioritiesByGUIDOrNameForVMsNotStarted) {
  vm_params& one = AddVM("vm one", "esx9");
  vm_params& two = AddVM("two", "esx9");
  vm_params& three = AddVM("three", "esx9");
  vm_params& started = AddVM("started", "esx9");
  started.vmPhase = PHASE_STARTED;
  const std::string path = ZTPI_Base::getJobResultsDir("coordinator") + "/VMPriorities.csv";
  const std::string longLine = "\"" + std::string(3000, 'x') + "\",1\n";
  ASSERT_TRUE(lab::WriteFileAtomic(path, "\"vm one\",3\n"
                                         "two,4\n"
                                         "guid-two,5,ignored\n"
                                         "three\n"
                                         "three,0\n"
                                         "started,2\n"
                                         "\"a\\\"quoted,name\",9\n" +
                                             longLine + "two,8\n"));
  bool changed = false;
  c().UpdateVMPrioritiesFromFile(changed);
  EXPECT_TRUE(changed);
  EXPECT_EQ(3, one.priority);
  EXPECT_EQ(5, two.priority) << "the GUID's entry wins over the name's";
  EXPECT_EQ(6, three.priority) << "one field and a priority of 0 change nothing";
  EXPECT_EQ(6, started.priority);
  EXPECT_TRUE(Logged("Updated priority for VM [vm one] from 6 to 3"));

  // Without a file nothing changes and nothing is said.
  ASSERT_EQ(0, std::remove(path.c_str()));
  changed = false;
  c().UpdateVMPrioritiesFromFile(changed);
  EXPECT_FALSE(changed);
}

// A VM whose dispatch cannot be recorded never goes out: an agent's archives carry the number of the
// VM's latest dispatch to it, and without one they lose to those of an earlier attempt. The VM is tried
// again a minute later, up to three tries; then it ends pending (the job goes pending for it) with its
// reason, an event and a pending cause; and a VM that can never be recorded fails at once.
TEST_F(DispatchTest, AVMWhoseDispatchIsNotRecordedIsNotSentAndEndsWithItsReason) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  constexpr int kNever = 0;
  constexpr int kRetrySeconds = 60;
  struct Case {
    const char* name;
    const char* vm;       // its host esx1 makes it proxyA's alone (static), esx9 anyone's (dynamic)
    const char* host;
    int64_t failedTries;  // of the fault rule
    int sentAtTry;        // kNever: the VM ends
    phase end;
  } cases[] = {
      {"not written once", "v1", "esx9", 1, 2, PHASE_STARTED},
      {"not written twice: the last try", "v1", "esx9", 2, 3, PHASE_STARTED},
      {"never written", "v1", "esx9", lab::kFaultAlways, kNever, PHASE_PENDING},
      {"a static VM not written once", "v1", "esx1", 1, 2, PHASE_STARTED},
      {"a static VM never written", "v1", "esx1", lab::kFaultAlways, kNever, PHASE_PENDING},
      {"a VM that cannot name a record", "v/1", "esx9", 0, kNever, PHASE_FAILED},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_NO_FATAL_FAILURE(Reset());
    c().m_state = QuarnCoordinator::kRunning;
    ASSERT_TRUE(c().InitBackupResults());
    vm_params& vm = AddVM(test.vm, test.host);
    vm.collect.setint64(VirtualServer::VMCollect::F_vmClientId, 7);
    vm_params& other = AddVM("v2", "esx1");  // proxyA's alone
    const std::string guid = vm.vmGuid;
    std::string error;
    if (test.failedTries != 0) {
      lab::FaultRule rule;
      rule.op = "ra.RecordVMDispatch";
      rule.vm = guid;
      rule.code = 28;
      rule.times = test.failedTries;
      ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
    }
    c().DistributeVMsToAgents(false);
    c().DispatchVMLists();
    EXPECT_EQ(std::vector<std::string>({other.vmGuid}), TakeSent("proxyA").vms) << "the other static VM goes out";
    VirtualServer::VMBackupGetNextVM request;
    ASSERT_TRUE(c().OnMsgVMBackupGetNextVM("proxyA", &request));
    int tries = 1;
    while (vm.vmPhase == PHASE_NOT_STARTED && tries <= 3) {
      EXPECT_TRUE(TakeSent("proxyA").vms.empty()) << "try " << tries << ": the request waits for the VM";
      EXPECT_EQ(0u, lab::VMDispatchNumber(kJobId, guid, "proxyA"));
      Advance(kRetrySeconds - 1);
      c().RetryDueDispatches();
      EXPECT_TRUE(TakeSent("proxyA").vms.empty()) << "try " << tries << ": a second early";
      Advance(1);
      c().RetryDueDispatches();
      ++tries;
    }
    if (vm.vmPhase == PHASE_STARTED) {
      EXPECT_EQ(std::vector<std::string>({guid}), TakeSent("proxyA").vms);
    }
    EXPECT_EQ(test.end, vm.vmPhase);
    if (test.sentAtTry != kNever) {
      EXPECT_EQ(test.sentAtTry, tries);
      EXPECT_EQ(1u, lab::VMDispatchNumber(kJobId, guid, "proxyA")) << "the lines cut short count for none";
      EXPECT_TRUE(Events().empty());
      EXPECT_TRUE(Pending().empty());
      EXPECT_TRUE(vm.failureReason.empty());
      continue;
    }
    // The VM ended: the request is answered that there is no more work, and the VM says why.
    EXPECT_EQ(test.end == PHASE_FAILED ? 1 : 3, tries);
    const std::string why = test.end == PHASE_FAILED ? "its dispatch can never be recorded"
                                                      : "its dispatch could not be recorded in [3] tries";
    EXPECT_NE(std::string::npos, vm.failureReason.find("The VM was not sent to proxy [proxyA]: " + why))
        << vm.failureReason;
    if (test.end == PHASE_PENDING) {
      EXPECT_NE(std::string::npos, vm.failureReason.find(std::strerror(28))) << vm.failureReason;
    }
    EXPECT_EQ(std::vector<std::string>{"-"}, TakeSent("proxyA").vms);
    EXPECT_TRUE(Logged("VM [" + std::string(test.vm) + "]: " + vm.failureReason));
    const std::string side = "0x5B0001DB " + std::string(test.vm) + "|" + vm.failureReason;
    ASSERT_EQ(1u, Pending().size());
    EXPECT_EQ(side, Pending()[0]);
    ASSERT_EQ(1u, Events().size());
    EXPECT_NE(std::string::npos, Events()[0].find(side)) << Events()[0];
    EXPECT_EQ(0u, lab::VMDispatchNumber(kJobId, guid, "proxyA")) << "nothing went out";
    if (test.end == PHASE_FAILED) {
      // Failed at once, in the counts and in "backup.out" (a GUID that names no file has no record with
      // the job manager either).
      EXPECT_EQ(1, c().m_vmFailures);
      ASSERT_EQ(1u, BackupOut().size());
      EXPECT_NE(std::string::npos, BackupOut()[0].find(vm.failureReason)) << BackupOut()[0];
      continue;
    }
    // Left to the job's next attempt: the job goes pending, and the job manager keeps the VM to be
    // backed up, saying why.
    EXPECT_EQ(0, c().m_vmFailures);
    other.vmPhase = PHASE_DONE;
    EXPECT_FALSE(c().FinishJob());
    EXPECT_TRUE(Logged("1 VMs were not sent to a proxy because their dispatch could not be recorded, job will go to "
                       "pending."));
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, guid, record));
    EXPECT_EQ(4, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    EXPECT_EQ(vm.failureReason, record.getstring(JobManager::VMUpdateInfo::F_failureText));
  }
}

// A VM that ends over its dispatch record is no agent's work any more: an agent left with nothing to
// back up is given no stream (a stream lent to it waits until the agent finds out there is nothing
// and gives it back, while the agents with VMs wait for it), and the job ends once the other VMs are
// done. The VM ends at once (its GUID names no record) or after its last try (every record cut short);
// its two disks would weigh on its agent's share of the streams.
TEST_F(CoordinatorTest, AnAgentWhoseOnlyVMEndedOverItsDispatchIsGivenNoStreamAndTheJobEnds) {
  testsupport::VirtualClock clock;  // the tries are counted in minutes of the platform clock alone
  constexpr int kRetrySeconds = 60;
  struct Case {
    const char* guid;
    bool cutShort;  // a fault rule cuts every record short; else the GUID cannot name one
    phase end;
  } cases[] = {
      {"v/4", false, PHASE_FAILED},
      {"50290000-0000-4000-8000-0000000000f4", true, PHASE_PENDING},
  };
  // The stream grants among what was sent to an agent.
  auto grants = [](const Sent& sent) {
    return static_cast<int>(std::count(sent.tags.begin(), sent.tags.end(), VirtualServer::VMBackupStream::TAG));
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.guid);
    FreshLab();
    ASSERT_TRUE(Initialize());
    TestCoordinator& c = *coordinator_;
    // proxyA's host is the new VM's alone; the coordinator's agent takes vm02 and proxyB vm01 and vm03.
    vm_params added;
    added.vmName = "vm04";
    added.vmGuid = test.guid;
    added.host = "esx9";
    added.datastore = "ds9";
    added.collect.setstring(VirtualServer::VMCollect::F_vmName, added.vmName);
    added.collect.setstring(VirtualServer::VMCollect::F_vmGuid, added.vmGuid);
    added.collect.setint64(VirtualServer::VMCollect::F_diskCount, 2);
    added.collect.setint64(VirtualServer::VMCollect::F_vmClientId, 7);
    c.m_vmMap.Add(added);
    vm_params& vm = *c.m_vmMap.Find(test.guid);
    if (test.cutShort) {
      lab::FaultRule rule;
      rule.op = "ra.RecordVMDispatch";
      rule.vm = test.guid;
      rule.code = 28;
      rule.times = lab::kFaultAlways;
      std::string error;
      ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
    }
    StartAllAgents({}, [](const std::string& agent, VirtualServer::VMAgentStartup& startup) {
      startup.setstring(VirtualServer::VMAgentStartup::F_hypervisorHost,
                        agent == "coordinator" ? "esx2" : (agent == "proxyA" ? "esx9" : "esx1"));
    });
    ASSERT_EQ(std::vector<std::string>{VMGuid(2)}, TakeSent("coordinator").vms);
    const Sent toB = TakeSent("proxyB");
    ASSERT_EQ((std::vector<std::string>{VMGuid(1), VMGuid(3)}), toB.vms);
    int grantsToB = grants(toB);
    if (!test.cutShort) {
      EXPECT_EQ(test.end, vm.vmPhase);
      EXPECT_EQ(0, grants(TakeSent("proxyA"))) << "nothing to back up";
    } else {
      // The VM is still to be tried: its agent takes a stream and asks for it, and the VM ends at the
      // third try.
      EXPECT_EQ(1, grants(TakeSent("proxyA")));
      ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
      for (int pass = 0; pass < 3; ++pass) {
        ASSERT_TRUE(c.ScriptRunPass());
        Advance(kRetrySeconds);
      }
      EXPECT_EQ(test.end, vm.vmPhase);
      EXPECT_EQ(std::vector<std::string>{"-"}, TakeSent("proxyA").vms);
    }
    // vm02 is done and its stream comes back: proxyB, whose VMs wait, has one stream for each of its
    // disks, and proxyA no more than it took for its VM's tries.
    const auto lent = std::find_if(c.m_streams.begin(), c.m_streams.end(),
                                   [](const QuarnStreamInfo& s) { return s.agent == "coordinator"; });
    ASSERT_NE(c.m_streams.end(), lent);
    const QuarnStreamInfo stream = *lent;
    ASSERT_TRUE(c.ScriptAgentMessage("coordinator", Result(VMGuid(2), 1)));
    VirtualServer::VMBackupStream back;
    back.setint64(VirtualServer::VMBackupStream::F_streamCount, 1);
    back.setint64(VirtualServer::VMBackupStream::F_streamId, stream.StreamId);
    back.setint64(VirtualServer::VMBackupStream::F_rcid, stream.RCID);
    back.setint64(VirtualServer::VMBackupStream::F_reservationId, stream.ReservationId);
    ASSERT_TRUE(c.ScriptAgentMessage("coordinator", back));
    ASSERT_TRUE(c.ScriptRunPass());
    EXPECT_EQ(0, grants(TakeSent("proxyA")));
    grantsToB += grants(TakeSent("proxyB"));
    EXPECT_EQ(2, grantsToB);

    // With proxyB's VMs done the job ends: pending for a VM left to the next attempt, else complete.
    for (int done : {1, 3}) ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Result(VMGuid(done), 1)));
    ASSERT_TRUE(c.ScriptRunPass());
    EXPECT_EQ(QuarnCoordinator::kStopping, c.GetState());
    EXPECT_TRUE(Logged("All VMs have been processed, stopping agents"));
    EXPECT_EQ(test.end == PHASE_FAILED, c.FinishJob());
    JobManager::VMUpdateInfo record;
    if (test.end == PHASE_PENDING) {
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, test.guid, record));
      EXPECT_EQ(vm.failureReason, record.getstring(JobManager::VMUpdateInfo::F_failureText));
    }
    EXPECT_NE(std::string::npos, vm.failureReason.find("The VM was not sent to proxy [proxyA]")) << vm.failureReason;
  }
}
