// The auto-scale estimate and the agents made for a job while it runs, in the framework's scripted
// mode: the estimate's caps and defaults by instance type and policy, and the base's creation jobs on
// the platform clock.
#include <thread>

#include "coordinator/CoordinatorTestSupport.h"
#include "coordinator/QuarnScaleAgentManager.h"
#include "platform/lab/LabAutoScale.h"
#include "support/VirtualClock.h"

namespace coordtest {
namespace {

constexpr int64_t kGB = 1024LL * 1024 * 1024;
// A whole policy, as the management server keeps it.
const std::string kPolicy =
    "autoScale.throughputGBPerHour=30\nautoScale.rpoMinutes=1440\nautoScale.backupCopyRpoMinutes=1440\n"
    "autoScale.averageVMSizeGB=100\n";

class AutoScaleTest : public CoordinatorTest {
 protected:
  // Replaces the job's VMs with `count` pending VMs of the location, each of `sizeGB`.
  void SetVMs(int count, const std::string& location, int64_t sizeGB, int completed = 0) {
    SVMParamsMap& vms = coordinator_->m_vmMap;
    vms = SVMParamsMap();
    for (int i = 1; i <= count + completed; ++i) {
      vm_params vm;
      vm.vmName = "vm" + std::to_string(i);
      vm.vmGuid = VMGuid(100 + i);
      vm.datacenter = location;
      vm.collect.setstring(VirtualServer::VMCollect::F_serverName, location);
      vm.collect.setint64(VirtualServer::VMCollect::F_diskCount, 2);
      vm.collect.setint64(VirtualServer::VMCollect::F_vmSize, sizeGB * kGB);
      vm.vmPhase = i > count ? PHASE_DONE : PHASE_NOT_STARTED;
      vms.Add(vm);
    }
  }
  // One estimate on the loop thread (the test's): "<region>:<count>" per request.
  std::vector<std::string> Estimate(QuarnScaleAgentManager& manager, std::vector<long long>& ids) {
    std::vector<CreateAgentsRequest> requests;
    manager.TEST_Estimate(requests, ids);
    std::vector<std::string> out;
    for (const CreateAgentsRequest& request : requests) {
      EXPECT_EQ(QuarnScaleAgentManager::kBackupAgentRequest, request.type);
      out.push_back(request.region + ":" + std::to_string(request.count));
    }
    return out;
  }
};

TEST_F(AutoScaleTest, OnlyABackupJobOfAnAutoScaleInstanceScalesItsAgents) {
  struct Case {
    const char* subclient;
    bool snapBackup, contentIndex, enabled;
  } cases[] = {
      {"autoScale=1", false, false, true},
      {"autoScale=0", false, false, false},
      {"autoScale=1", true, false, false},
      {"autoScale=1", false, true, false},
  };
  for (const Case& test : cases) {
    FreshLab();
    Subclient(test.subclient);
    ASSERT_TRUE(StartManagers(test.contentIndex ? std::vector<std::string>{"-ci"} : std::vector<std::string>{}));
    job_->setSnapBackup(test.snapBackup);
    coordinator_->Initialize(job_.get(), app_.get(), nullptr);
    EXPECT_EQ(test.enabled, coordinator_->IsScaleAgentMgmtEnabled()) << test.subclient << test.snapBackup;
  }
}

TEST_F(AutoScaleTest, EstimateWithItsDefaultsCapsAndExistingAgents) {
  struct Case {
    const char* name;
    int type, vms, sizeGB;
    std::string policy;
    int maxStreams;
    std::vector<std::string> requests;
    size_t activeJobs;
    bool capped = false;
  } cases[] = {
      {"not integrated", 101, 10, 20, "", 100, {}, 0},
      {"one agent covers 200 GB in 24 h", 301, 10, 20, "", 100, {"r1:1"}, 0},
      {"an existing agent covers it", 301, 10, 20, kPolicy + "autoScale.regions=r1\nautoScale.region.r1.existingAgents=1",
       100, {}, 0},
      {"unsized VMs count the average", 301, 10, 0, "", 100, {"r1:2"}, 0},
      {"at most one agent per VM", 301, 3, 5000, "", 100, {"r1:3"}, 0},
      {"policy limit", 301, 10, 1000, kPolicy + "autoScale.maxAgents=4", 100, {"r1:4"}, 0},
      {"policy limit 0 is none", 301, 10, 1000, kPolicy + "autoScale.maxAgents=0", 100, {"r1:10"}, 0},
      {"streams at the estimate", 301, 10, 1000, "", 10, {"r1:10"}, 0},
      {"one stream fewer caps it", 301, 10, 1000, "", 9, {"r1:9"}, 0, true},
      {"existing and running creations exceed it", 301, 10, 1000,
       kPolicy + "autoScale.regions=r1\nautoScale.region.r1.existingAgents=6\nautoScale.region.r1.creationJobs=1,2,3,4,5",
       100, {}, 5},
      {"Kubernetes with a policy: 0.1 GB per unsized VM", 1501, 10, 0, kPolicy + "autoScale.averageVMSizeGB=500", 100,
       {"r1:1"}, 0},
      {"Azure skips an unconfigured region", 402, 10, 1000, kPolicy + "autoScale.regions=r2", 100, {}, 0},
      {"Azure serves a configured one", 402, 10, 1000, kPolicy + "autoScale.regions=r1", 100, {"r1:10"}, 0},
      {"other clouds serve every location", 301, 10, 100, kPolicy + "autoScale.regions=r2", 100, {"r1:2"}, 0},
      {"a policy without throughput estimates nothing", 301, 10, 1000, "autoScale.rpoMinutes=1440", 100, {}, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    Subclient("instanceType=" + std::to_string(test.type) + "\n" + test.policy);
    ASSERT_TRUE(Initialize());
    StartAllAgents();
    SetVMs(test.vms, "r1", test.sizeGB, 2);
    coordinator_->m_requiredStreams = test.maxStreams;
    QuarnScaleAgentManager manager(coordinator_.get());
    std::vector<long long> ids;
    EXPECT_EQ(test.requests, Estimate(manager, ids));
    EXPECT_EQ(test.activeJobs, ids.size());
    EXPECT_EQ(test.capped, Logged("Putting a cap on agents to be created based on Max stream value set as : [9]"));
    EXPECT_EQ(test.vms, manager.ScaleParams().count("r1") ? manager.ScaleParams().at("r1").vmCount : test.vms)
        << "completed VMs are not counted";
  }
}

TEST_F(AutoScaleTest, EachEstimateCountsThePendingVMsAfreshAndTheCoordinatorsRegionCounts) {
  Subclient("instanceType=301\nnothing=0");
  Settings("nAutoScaleAverageVMSizeGB=360");
  ASSERT_TRUE(Initialize());
  StartAllAgents();
  SetVMs(4, "r1", 0);
  coordinator_->m_requiredStreams = 100;
  QuarnScaleAgentManager manager(coordinator_.get());
  std::vector<long long> ids;
  EXPECT_EQ(std::vector<std::string>{"r1:2"}, Estimate(manager, ids));  // 4 x 360 GB over 720 GB
  EXPECT_EQ(std::vector<std::string>{"r1:2"}, Estimate(manager, ids));
  EXPECT_EQ(4, manager.ScaleParams().at("r1").vmCount);
  EXPECT_TRUE(Logged("Regkey nAutoScaleAverageVMSizeGB set as : [360]"));

  coordinator_->m_agents["coordinator"].datacenter = "r1";
  EXPECT_EQ(std::vector<std::string>{"r1:1"}, Estimate(manager, ids));
  EXPECT_TRUE(Logged("Coordinator [coordinator] is running in auto scale target region [r1]"));
  EXPECT_EQ(1, manager.ScaleParams().at("r1").runningAgents) << "the coordinator's own record counts once";

  coordinator_->m_vmMap.Find(VMGuid(101))->datacenter.clear();
  Estimate(manager, ids);
  EXPECT_TRUE(Logged("Datacenter name is empty for VM [vm1] [" + VMGuid(101) + "], skipping"));
  EXPECT_EQ(3, manager.ScaleParams().at("r1").vmCount);
}

TEST_F(AutoScaleTest, AgentsMadeWhileTheJobRunsJoinItOnce) {
  testsupport::VirtualClock clock;
  Subclient("autoScale=1\ninstanceType=301\nautoScaleCreationSeconds=60\nautoScale.maxAgents=1\n" + kPolicy);
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  for (auto& entry : c.m_vmMap) entry.second.datacenter = "r1";
  StartAllAgents();
  QuarnScaleAgentManager* manager = c.m_scaleAgentManager;
  ASSERT_NE(nullptr, manager);
  EXPECT_TRUE(Logged("Auto Scale Management of Agents is enabled"));
  // The base asks on its own thread; the estimate is made on the loop's next pass.
  ASSERT_TRUE(manager->TEST_WaitForPendingEstimate());
  EXPECT_TRUE(c.IsAnyAgentBeingCreated());
  ASSERT_TRUE(c.ScriptRunPass());
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1)) << Log();
  ASSERT_EQ(1u, lab::ReadAutoScaleLog(kJobId).size());
  const std::string agent = lab::ReadAutoScaleLog(kJobId)[0].substr(lab::ReadAutoScaleLog(kJobId)[0].rfind(' ') + 1);
  EXPECT_EQ(1, manager->AgentCreationJobCount());

  Advance(59);
  EXPECT_TRUE(manager->IsAnyAgentBeingCreated());
  Advance(1);
  ASSERT_TRUE(manager->TEST_WaitUntilDone());
  EXPECT_FALSE(manager->IsAnyAgentBeingCreated());
  EXPECT_TRUE(c.m_recheckAgentList.load());
  c.ScriptTakeStarts();
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("Recheck Agent list flag is set, adding any newly created agents"));
  ASSERT_EQ(1u, c.m_agents.count(agent));
  EXPECT_TRUE(c.m_agents[agent].lateMessagePending);
  EXPECT_EQ(std::vector<std::string>{agent}, c.ScriptTakeStarts());
  EXPECT_FALSE(c.m_recheckAgentList.load());

  ASSERT_TRUE(c.CheckAndAddAgents());
  EXPECT_EQ(4u, c.m_agents.size()) << "an agent is added once";
  EXPECT_TRUE(c.ScriptTakeStarts().empty());
}

TEST_F(AutoScaleTest, AMemberServerListThatCannotBeReadKeepsTheRecheckForLater) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  c.m_recheckAgentList = true;
  ASSERT_TRUE(lab_->Fault("appmgr.queryMemberServersForInstance", 4));
  EXPECT_FALSE(c.CheckAndAddAgents());
  EXPECT_TRUE(Logged("Failed to get member server list, 4"));
  EXPECT_TRUE(c.m_recheckAgentList.load());
  EXPECT_TRUE(c.CheckAndAddAgents());
  EXPECT_FALSE(c.m_recheckAgentList.load());
}

TEST_F(AutoScaleTest, CreationReportsFromSeveralThreadsMeetTheLoop) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  std::vector<std::thread> reporters;
  for (int i = 0; i < 4; ++i)
    reporters.emplace_back([&c] {
      for (int n = 0; n < 50; ++n) c.OnAgentCreationSucceeded();
    });
  for (int n = 0; n < 20; ++n) c.CheckAndAddAgents();
  for (auto& reporter : reporters) reporter.join();
  c.OnAgentCreationSucceeded();
  EXPECT_TRUE(c.m_recheckAgentList.load());
  EXPECT_TRUE(c.CheckAndAddAgents());
  EXPECT_FALSE(c.m_recheckAgentList.load());
  EXPECT_EQ(3u, c.m_agents.size());
}

}  // namespace
}  // namespace coordtest
