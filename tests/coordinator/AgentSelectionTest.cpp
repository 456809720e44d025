// The selection methods a job tries and the rule of each, against agents and hypervisor hosts of the
// lab.
#include "coordinator/CoordinatorTestSupport.h"

using namespace coordtest;
using Method = QuarnSelectAgentForVMMethod;

namespace {

const char* MethodName(Method method) {
  static const char* const kNames[] = {"First",   "SanDatastore", "Host",     "Datastore",  "Datacenter",
                                       "ClusterAndDatacenter", "DatacenterAndOS", "Subnet", "Any",
                                       "Coordinator", "ClusterAny", "ClusterVolumeOwner", "ClusterVolumeGroup",
                                       "ClusterFaultDomain", "Cluster", "Self", "OS", "Last"};
  const int value = static_cast<int>(method);
  return value >= 0 && value <= 17 ? kNames[value] : "?";
}

std::string Names(const std::vector<Method>& methods) {
  std::string text;
  for (Method method : methods) text += (text.empty() ? "" : ",") + std::string(MethodName(method));
  return text;
}

std::string Names(const std::set<std::string>& agents) {
  std::string text;
  for (const std::string& agent : agents) text += (text.empty() ? "" : ",") + agent;
  return text;
}

}  // namespace

TEST_F(CoordinatorTest, MethodListFollowsInstanceTypeTransportModeSwitchesAndJobKind) {
  struct Row {
    int type;
    int transport;
    const char* settings;  // section VirtualServer
    const char* job;       // "snap", "snaptape", "catalog", "failback" or ""
    const char* expected;
  };
  const Row rows[] = {
      {101, 0, "", "", "First,Self,SanDatastore,Host,ClusterFaultDomain,Cluster,Datastore,Subnet,Any,Coordinator,Last"},
      {100, 1, "", "", "First,Self,SanDatastore,ClusterFaultDomain,Cluster,Any,Coordinator,Last"},
      {101, 2, "", "", "First,Self,Host,ClusterFaultDomain,Cluster,Datastore,Any,Coordinator,Last"},
      {101, 4, "", "", "First,Self,Host,ClusterFaultDomain,Cluster,Subnet,Any,Coordinator,Last"},
      {101, 5, "", "", "First,Self,Host,ClusterFaultDomain,Cluster,Subnet,Any,Coordinator,Last"},
      {101, 0, "", "snaptape", "First,Self,Host,ClusterFaultDomain,Cluster,Datastore,Subnet,Any,Coordinator,Last"},
      {101, 1, "bEnableSelfDispatch=0\nbEnableHostDispatch=1\nbEnableClusterDispatch=0", "",
       "First,SanDatastore,Host,ClusterFaultDomain,Any,Coordinator,Last"},
      {101, 0, "bEnableFailoverOnlyDispatch=1", "", "First,Coordinator,Last"},
      {102, 0, "", "", "First,ClusterVolumeOwner,Host,ClusterAny,Any,Coordinator,Last"},
      {102, 0, "", "snap", "First,ClusterVolumeOwner,ClusterVolumeGroup,Host,ClusterAny,Any,Coordinator,Last"},
      {102, 0, "", "snaptape", "First,Host,Any,Coordinator,Last"},
      {102, 0, "bEnableCSVOwnerDispatch=0\nbEnableHostDispatch=0\nbEnableClusterDispatch=0", "catalog",
       "First,Any,Coordinator,Last"},
      {201, 0, "bEnableHostDispatch=0", "", "First,Datastore,Any,Coordinator,Last"},
      {301, 0, "", "", "First,Datacenter,Any,Coordinator,Last"},
      {301, 0, "bEnableHostDispatch=1", "failback", "First,Datacenter,Last"},
      {402, 0, "", "", "First,Datacenter,Any,Coordinator,Last"},
      {501, 0, "", "", "First,Datacenter,Any,Coordinator,Last"},
      {601, 0, "", "", "First,Host,Cluster,Any,Coordinator,Last"},
      {701, 0, "", "", "First,Host,Datastore,Any,Coordinator,Last"},
      {801, 0, "bEnableSubnetDispatch=0", "", "First,Host,Any,Coordinator,Last"},
      {901, 0, "", "", "First,ClusterAndDatacenter,Cluster,Datacenter,Any,Coordinator,Last"},
      {1102, 0, "", "", "First,SanDatastore,Any,Last"},
      {1301, 0, "", "", "First,Host,Datacenter,Any,Coordinator,Last"},
      {1401, 0, "", "", "First,Host,Coordinator,Last"},
      {1501, 0, "", "", "First,Any,Coordinator,Last"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.type) + " mode " + std::to_string(row.transport) + " " + row.settings + " " +
                 row.job);
    FreshLab();
    Subclient("instanceType=" + std::to_string(row.type) + "\ntransportMode=" + std::to_string(row.transport));
    Settings(row.settings);
    const std::string job = row.job;
    if (job == "failback") JobConf("failback=1");
    ASSERT_TRUE(StartManagers());
    job_->setSnapBackup(job == "snap");
    job_->setSnapToTape(job == "snaptape");
    job_->setSnapCatalogMode(job == "catalog");
    coordinator_->UseManagers(job_.get(), app_.get());
    std::vector<Method> methods;
    coordinator_->ChooseVMSelectionMethods(methods);
    EXPECT_EQ(row.expected, Names(methods));
    if (std::string(row.settings).find("FailoverOnly") != std::string::npos) {
      EXPECT_TRUE(Logged("Using FailoverOnly dispatching"));
    }
    if (job == "failback") {
      EXPECT_TRUE(Logged("Forcing Agent selection by datacenter for failback backups"));
    }
  }
}

// Four agents: the coordinator on a physical machine, proxyA on host esx1 (in family, the VM "self"
// is its own machine), proxyB on esx2 (out of family, datacenter set at start-up, a SAN datastore and
// a second subnet), proxyC on esx3 with no stream to give. Hosts: esx1 and esx2 in cluster c1, esx3 in
// cluster c2; fault domains fd1 (esx1, esx3) and FD2 (esx2).
class AgentSelectionTest : public CoordinatorTest {
 protected:
  void SetUp() override {
    CoordinatorTest::SetUp();
    Subclient("serverUser=admin\nserverPassword=secret");
    Server("hosts=esx1,esx2,esx3");
    WriteHost("esx1", "datacenter=dc-west\ncluster=c1\nfaultDomain=fd1\ndatastores=ds1,ds2\n"
                      "addresses=10.0.0.5/255.255.255.0,169.254.1.1/255.255.0.0\nowner.ds1=ESX2\nowner.ds2=esx1");
    WriteHost("esx2", "datacenter=DC-East\ndatacenter2=dc-west\ncluster=c1\nfaultDomain=FD2\ndatastores=ds2\n"
                      "addresses=10.9.0.7/255.255.0.0");
    WriteHost("esx3", "datacenter=dc-west\ncluster=c2\nfaultDomain=fd1\ndatastores=ds1,ds2");
    ASSERT_TRUE(StartManagers());
    c().UseManagers(job_.get(), app_.get());
    ASSERT_TRUE(c().PrepareVMInfo());
    c().m_agents.clear();
    Agent("coordinator", "", true, {"10.0.0.0"});
    Agent("proxyA", "esx1", true, {"10.0.0.0"}).hostUuid = "ABCD-SELF";
    QuarnAgentInfo& b = Agent("proxyB", "esx2", false, {"10.0.0.0", "10.9.0.0"});
    b.datacenter = "DC-East";
    b.sanDatastores = {"san1"};
    Agent("proxyC", "esx3", true, {"10.0.0.0"}).streamLimit = 0;
  }

  TestCoordinator& c() { return *coordinator_; }
  void WriteHost(const std::string& host, const std::string& text) {
    lab::HostRecord record;
    std::string error;
    ASSERT_TRUE(lab::ParseHostRecord(text, record, error)) << error;
    ASSERT_TRUE(lab::WriteHostRecord(lab::SampleServer(), host, record, error)) << error;
  }
  QuarnAgentInfo& Agent(const std::string& name, const std::string& host, bool osFlag,
                        const std::set<std::string>& subnets) {
    QuarnAgentInfo& agent = c().m_agents[name];
    agent.state = AgentInitialized;
    agent.hostName = host;
    agent.osFlag = osFlag;
    agent.subnets = subnets;
    agent.streamLimit = 10;
    return agent;
  }
  static vm_params VM(const std::string& host, const std::string& datastore, const std::string& datacenter = "",
                      const std::string& cluster = "", bool clustered = false, int64_t guestOs = -1) {
    vm_params vm;
    vm.vmName = "vmX";
    vm.vmGuid = "guid-x";
    vm.host = host;
    vm.datastore = datastore;
    vm.datacenter = datacenter;
    vm.cluster = cluster;
    vm.isClustered = clustered;
    if (guestOs >= 0) vm.collect.setint64(VirtualServer::VMCollect::F_guestOsCode, guestOs);
    return vm;
  }
};

TEST_F(AgentSelectionTest, EachRuleNamesTheAgentsItsMatchFindsAndNoAgentWithoutStreams) {
  // Another VM on ds2 already placed on proxyB: the volume group follows it.
  vm_params placed = VM("esx2", "ds2");
  placed.vmGuid = "guid-placed";
  placed.candidateAgents = {"proxyB"};
  c().m_vmMap.Add(placed);

  vm_params self = VM("esx1", "ds1");
  self.vmGuid = "abcd-self";
  struct Row {
    Method method;
    vm_params vm;
    bool result;
    const char* agents;
    const char* note;
  };
  const Row rows[] = {
      {Method::First, VM("esx1", "ds1"), false, "", ""},
      {Method::SanDatastore, VM("esx1", "san1"), true, "proxyB", "San Datastore match"},
      {Method::SanDatastore, VM("esx1", ""), false, "", ""},
      {Method::Host, VM("ESX1", "ds1"), true, "proxyA", "Host match"},
      {Method::Host, VM("", "ds1"), false, "", ""},
      {Method::Host, VM("esx3", "ds1"), true, "", "Host match"},  // proxyC matches, then has no stream
      {Method::Datastore, VM("esx1", "ds2"), true, "proxyA,proxyB", "Datastore match"},
      {Method::Datastore, VM("esx1", "ds1"), true, "proxyA", "Datastore match"},
      {Method::Datastore, VM("esx1", "DS1"), false, "", ""},
      {Method::Datacenter, VM("esx1", "ds1", "dc-east"), true, "proxyB", "Datacenter match"},
      {Method::Datacenter, VM("esx1", "ds1", "dc-west"), true, "proxyA", "Datacenter match"},
      {Method::Datacenter, VM("esx1", "ds1", ""), false, "", ""},
      {Method::ClusterAndDatacenter, VM("esx1", "ds1", "dc-west", "c1"), true, "proxyA,proxyB",
       "Cluster & Datacenter match"},
      {Method::ClusterAndDatacenter, VM("esx1", "ds1", "", "c1"), false, "", ""},
      {Method::DatacenterAndOS, VM("esx1", "ds1", "dc-west", "", false, 21), true, "proxyA", "Datacenter & OS match"},
      {Method::DatacenterAndOS, VM("esx1", "ds1", "dc-west", "", false, 1), true, "proxyB", "Datacenter & OS match"},
      {Method::Subnet, VM("esx1", "ds1"), true, "coordinator,proxyA,proxyB", "Subnet match"},
      {Method::Subnet, VM("esx2", "ds2"), false, "", ""},  // only proxyB (proxyC has no stream) is there
      {Method::Subnet, VM("nohost", "ds2"), false, "", ""},
      {Method::Any, VM("", ""), true, "coordinator,proxyA,proxyB", "Any"},
      {Method::Coordinator, VM("", ""), true, "coordinator", "coordinator"},
      {Method::ClusterAny, VM("esx1", "ds1"), false, "", ""},
      {Method::ClusterAny, VM("esx1", "ds1", "", "", true), true, "coordinator,proxyA,proxyB", "cluster"},
      {Method::ClusterVolumeOwner, VM("esx1", "DS1", "", "", true), true, "proxyB", "csv owner"},
      {Method::ClusterVolumeOwner, VM("esx1", "ds9", "", "", true), false, "", ""},
      {Method::ClusterVolumeOwner, VM("esx1", "ds1"), false, "", ""},
      {Method::ClusterVolumeGroup, VM("esx1", "ds2", "", "", true), true, "proxyB", "csv group"},
      {Method::ClusterVolumeGroup, VM("esx1", "ds1", "", "", true), false, "", ""},
      {Method::ClusterFaultDomain, VM("esx1", "ds1", "", "c1"), true, "proxyA", "Cluster Fault Domain match"},
      {Method::ClusterFaultDomain, VM("esx2", "ds1", "", "", true), true, "proxyB", "Cluster Fault Domain match"},
      {Method::ClusterFaultDomain, VM("esx1", "ds1"), false, "", ""},
      {Method::Cluster, VM("esx1", "ds1", "", "c1"), true, "proxyA,proxyB", "Cluster match"},
      {Method::Cluster, VM("esx1", "ds1", "", "C1"), false, "", ""},
      {Method::Self, self, true, "proxyA", "Self match"},
      {Method::Self, VM("", "ds1"), false, "", ""},
      {Method::OS, VM("", "", "", "", false, 212), true, "coordinator,proxyA", "Operating System match"},
      {Method::OS, VM("", "", "", "", false, 1), true, "proxyB", "Operating System match"},
      {Method::Last, VM("", ""), false, "", "No agent selected"},
      {static_cast<Method>(42), VM("", ""), false, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(MethodName(row.method)) + " host " + row.vm.host + " datastore " + row.vm.datastore);
    std::set<std::string> candidates = {"stale"};
    std::string note;
    EXPECT_EQ(row.result, c().SelectAgentsForVM(row.method, row.vm, candidates, note));
    EXPECT_EQ(row.agents, Names(candidates));
    if (row.result || row.method == Method::Last) {
      EXPECT_EQ(row.note, note);
    }
  }
  EXPECT_TRUE(Logged("Datacenter received from the collect file is empty for: [vmX]"));
  EXPECT_TRUE(Logged("Agent's [coordinator] host name is empty"));
  EXPECT_TRUE(Logged("host name is empty for agent [coordinator]"));
  EXPECT_TRUE(Logged("No suitable agent for VM [vmX]"));
  EXPECT_TRUE(Logged("Unknown selection method [42]"));
}

TEST_F(AgentSelectionTest, WithoutAHypervisorObjectTheHostRulesSelectNothing) {
  c().CleanupVMInfo();
  std::set<std::string> candidates;
  std::string note;
  EXPECT_FALSE(c().SelectAgentsForVM(Method::Datastore, VM("esx1", "ds1"), candidates, note));
  EXPECT_FALSE(c().SelectAgentsForVM(Method::Subnet, VM("esx1", "ds1"), candidates, note));
  EXPECT_TRUE(Logged("VMInfo Object is not available"));
  EXPECT_TRUE(c().SelectAgentsForVM(Method::Host, VM("esx1", "ds1"), candidates, note)) << "needs no host record";
}

TEST_F(AgentSelectionTest, DataPathMediaAgentsArePreferredOnlyWhenSwitchedOnAndTheyNarrowTheSet) {
  c().m_dataPathMAAmongAgents = true;
  c().m_agents["proxyB"].dataPathMediaAgent = true;
  std::set<std::string> candidates;
  std::string note;
  ASSERT_TRUE(c().SelectAgentsForVM(Method::Any, VM("", ""), candidates, note));
  EXPECT_EQ("coordinator,proxyA,proxyB", Names(candidates)) << "the setting is off by default";

  Settings("bEnableDataPathDispatch=1");
  ASSERT_TRUE(c().SelectAgentsForVM(Method::Any, VM("", ""), candidates, note));
  EXPECT_EQ("proxyB", Names(candidates));
  EXPECT_EQ("Any (DataPath)", note);

  // Every candidate a data-path agent, or a single candidate: nothing to prefer.
  c().m_agents["coordinator"].dataPathMediaAgent = c().m_agents["proxyA"].dataPathMediaAgent = true;
  ASSERT_TRUE(c().SelectAgentsForVM(Method::Any, VM("", ""), candidates, note));
  EXPECT_EQ("coordinator,proxyA,proxyB", Names(candidates));
  EXPECT_EQ("Any", note);
  ASSERT_TRUE(c().SelectAgentsForVM(Method::Host, VM("esx1", ""), candidates, note));
  EXPECT_EQ("Host match", note);
}
