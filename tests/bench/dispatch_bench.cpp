// Planning a job of 10,000 VMs over 100 agents: the agent-selection methods of a VMware job (host,
// datastore, subnet ... then any agent), the static and dynamic placement, and the priority order,
// with the coordinator's log written as in a job. The rebalance of a running job is measured too.
//
// The world: 25 hypervisor hosts with two datastores each and one network; 100 agents, four on each
// of the first 20 hosts and five physical ones; VMs spread over the 25 hosts (those on the last five
// have no agent on their host and fall to the later methods) with 1 to 4 disks, ten priorities and
// distinct last-backup times. Counters: heap bytes the plan keeps (VM candidates, agents' VM sets,
// the list) and the peak resident size of the process.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "bench/BenchSupport.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabSubclient.h"

namespace {

constexpr int kVMs = 10000;
constexpr int kAgents = 100;
constexpr int kHosts = 25;

class PlanningCoordinator : public QuarnCoordinator {
 public:
  bool Prepare(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
    m_jobMgr = jobMgr;
    m_appMgr = appMgr;
    if (!PrepareVMInfo()) return false;
    for (int i = 0; i < kAgents; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "proxy%03d", i);
      QuarnAgentInfo& agent = m_agents[name];
      agent.state = AgentInitialized;
      agent.streamLimit = 20;
      agent.hostName = i < 80 ? "esx" + std::to_string(i / 4) : std::string();
      agent.subnets = {"10.1.0.0"};
    }
    for (int i = 0; i < kVMs; ++i) {
      char name[32], guid[64];
      std::snprintf(name, sizeof name, "vm%05d", i);
      std::snprintf(guid, sizeof guid, "50290000-0000-4000-8000-%012x", i);
      vm_params vm;
      vm.vmName = name;
      vm.vmGuid = guid;
      vm.host = "esx" + std::to_string(i % kHosts);
      vm.datastore = "ds" + std::to_string(i % kHosts) + "-" + std::to_string(i % 2);
      vm.datacenter = "dc1";
      vm.priority = i % 10;
      vm.lastBackupTime = 1700000000 + (i * 7919) % kVMs;
      vm.collect.setstring(VirtualServer::VMCollect::F_vmName, name);
      vm.collect.setstring(VirtualServer::VMCollect::F_vmGuid, guid);
      vm.collect.setint64(VirtualServer::VMCollect::F_diskCount, 1 + i % 4);
      vm.collect.setint64(VirtualServer::VMCollect::F_vmSize, (1 + i % 13) * 1024LL * 1024 * 1024);
      m_vmMap.Add(vm);
    }
    return true;
  }
  // Back to before the first distribution.
  void Reset() {
    for (auto& entry : m_vmMap) entry.second.candidateAgents.clear();
    for (auto& entry : m_agents) {
      entry.second.staticVMs.clear();
      entry.second.distributedVMs.clear();
      entry.second.diskLoad = 0;
    }
    ZtCriticalSectionLock lock(&m_priorityListLock);
    m_vmPriorityList.clear();
  }
  size_t ListSize() {
    ZtCriticalSectionLock lock(&m_priorityListLock);
    return m_vmPriorityList.size();
  }
  using QuarnCoordinator::DistributeVMsToAgents;
};

// A lab with the hosts and the subclient's credentials, the managers and the coordinator.
struct World {
  World() {
    lab::LabPlan plan;
    plan.vms = 0;
    plan.clients = {"coordinator"};
    int kept = 0;
    std::string error;
    lab::CreateLab(root.Path(), plan, kept, error);
    lab::SetFocusClient("coordinator");
    lab::SetSubclientValue("1", "serverUser", "admin", error);
    lab::SetSubclientValue("1", "serverPassword", "secret", error);
    lab::ServerRecord server;
    lab::ReadServerRecord(lab::SampleServer(), server, error);
    server.hosts.clear();
    server.datastores.clear();
    for (int h = 0; h < kHosts; ++h) {
      const std::string host = "esx" + std::to_string(h);
      server.hosts.push_back(host);
      lab::HostRecord record;
      record.datacenter = "dc1";
      record.cluster = "c" + std::to_string(h % 5);
      record.hasDatastores = true;
      record.datastores = {"ds" + std::to_string(h) + "-0", "ds" + std::to_string(h) + "-1"};
      record.addresses = {{"10.1.0." + std::to_string(10 + h), "255.255.0.0"}};
      lab::WriteHostRecord(lab::SampleServer(), host, record, error);
    }
    lab::WriteServerRecord(lab::SampleServer(), server, error);
    EvDebug::initializeLog(1, "quarn");
    jobMgr.setJobId("1001");
    jobMgr.initBackup();
    appMgr.setAppIdStr("1");
    appMgr.querySettings();
    ready = coordinator.Prepare(&jobMgr, &appMgr);
  }
  ~World() { EvDebug::shutdownLog(); }
  benchsupport::ScratchFolder root{"quarn-dispatch-bench"};
  vsJobMgr jobMgr;
  vsAppMgr appMgr;
  PlanningCoordinator coordinator;
  bool ready = false;
};

// Shared by the benchmarks; its lab goes when the process ends.
World& TheWorld() {
  static World world;
  return world;
}

long PeakResidentKB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_PlanJob(benchmark::State& state) {
  World& world = TheWorld();
  if (!world.ready) {
    state.SkipWithError("the lab's hypervisor could not be reached");
    return;
  }
  size_t planBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    world.coordinator.Reset();
    malloc_trim(0);
    const size_t before = mallinfo2().uordblks;
    state.ResumeTiming();
    world.coordinator.DistributeVMsToAgents(false);
    state.PauseTiming();
    planBytes = mallinfo2().uordblks - before;
    state.ResumeTiming();
  }
  state.counters["listedVMs"] = static_cast<double>(world.coordinator.ListSize());
  state.counters["planMB"] = static_cast<double>(planBytes) / (1024.0 * 1024.0);
  state.counters["peakRssMB"] = static_cast<double>(PeakResidentKB()) / 1024.0;
}
BENCHMARK(BM_PlanJob)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_RebalanceJob(benchmark::State& state) {
  World& world = TheWorld();
  if (!world.ready) {
    state.SkipWithError("the lab's hypervisor could not be reached");
    return;
  }
  world.coordinator.Reset();
  world.coordinator.DistributeVMsToAgents(false);
  for (auto _ : state) world.coordinator.DistributeVMsToAgents(true);
  state.counters["listedVMs"] = static_cast<double>(world.coordinator.ListSize());
}
BENCHMARK(BM_RebalanceJob)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
