#include "coordinator/QuarnScaleAgentManager.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "coordinator/QuarnCoordinator.h"
#include "platform/config/ZTPlatformInfo.h"
#include "records/messages/IdaMessages.h"

namespace {

const char* const kSigCalculate =
    "virtual void QuarnScaleAgentManager::CalculateAgentsRequired(std::vector<CreateAgentsRequest>&, "
    "std::vector<long long>&)";
const char* const kSigPopulate = "void QuarnScaleAgentManager::PopulateScaleParams()";

using Config = Ida::AutoScaleConfigInfoResp;
using Region = Ida::AutoScaleRegionInfo;

constexpr double kBytesPerGB = 1024.0 * 1024.0 * 1024.0;

// Default throughput of one agent in GB per hour by instance type; 0 for a type auto-scale does not serve.
int64_t DefaultThroughput(int instanceType) {
  switch (instanceType) {
    case kInstanceTypeAmazon:
    case kInstanceTypeK8s:
      return 30;
    case kInstanceTypeAzureResourceManager:
      return 100;
    default:
      return 0;
  }
}

}  // namespace

QuarnScaleAgentManager::QuarnScaleAgentManager(QuarnCoordinator* coordinator)
    : VSScaleAgentManager(coordinator->m_jobMgr, coordinator->m_appMgr, &OnAgentCreationSucceededStatic, this),
      m_coordinator(coordinator) {}

QuarnScaleAgentManager::~QuarnScaleAgentManager() { Stop(); }

void QuarnScaleAgentManager::OnAgentCreationSucceededStatic(void* context) {
  if (context != nullptr) static_cast<QuarnScaleAgentManager*>(context)->m_coordinator->OnAgentCreationSucceeded();
}

void QuarnScaleAgentManager::SetQuitFlag() {
  VSScaleAgentManager::SetQuitFlag();
  ZtMutexLock lock(m_estimateMutex);
  m_estimateChanged.notify_all();
}

void QuarnScaleAgentManager::CalculateAgentsRequired(std::vector<CreateAgentsRequest>& requests,
                                                     std::vector<long long>& activeJobIds) {
  ZtMutexLock lock(m_estimateMutex);
  m_estimateWanted = true;
  m_estimateDone = false;
  m_estimateChanged.notify_all();
  while (!m_estimateDone && !CheckQuitFlag()) m_estimateChanged.wait(m_estimateMutex);
  if (m_estimateDone) {
    requests = m_estimatedRequests;
    activeJobIds = m_estimatedJobIds;
  }
  m_estimateWanted = false;
}

void QuarnScaleAgentManager::ServePendingEstimate() {
  {
    ZtMutexLock lock(m_estimateMutex);
    if (!m_estimateWanted || m_estimateDone) return;
  }
  std::vector<CreateAgentsRequest> requests;
  std::vector<long long> activeJobIds;
  Estimate(requests, activeJobIds);
  ZtMutexLock lock(m_estimateMutex);
  m_estimatedRequests = requests;
  m_estimatedJobIds = activeJobIds;
  m_estimateDone = true;
  m_estimateChanged.notify_all();
}

bool QuarnScaleAgentManager::TEST_WaitForPendingEstimate() {
  return TEST_WaitUntil(m_estimateMutex, m_estimateChanged, [this]() EXCLUSIVE_LOCKS_REQUIRED(m_estimateMutex) {
    return m_estimateWanted && !m_estimateDone;
  });
}

void QuarnScaleAgentManager::PopulateScaleParams() {
  QuarnCoordinator& c = *m_coordinator;
  // Each estimate counts the VMs still pending now, not those of an earlier estimate as well.
  m_scaleParams.clear();
  const bool k8s = c.m_appMgr->isServerTypeK8s();
  std::string firstLocation;
  for (const auto& entry : c.m_vmMap) {
    const vm_params& vm = entry.second;
    const std::string location =
        k8s ? vm.collect.getstring(VirtualServer::VMCollect::F_serverName) : vm.datacenter;
    if (k8s && firstLocation.empty()) firstLocation = location;
    if (location.empty()) {
      m_event.Debug(kSigPopulate, "Datacenter name is empty for VM [%s] [%s], skipping", vm.vmName.c_str(),
                    vm.vmGuid.c_str());
      continue;
    }
    if (c.m_vmMap.IsVMPhaseComplete(vm.vmGuid)) continue;
    VSScaleAgentParams& params = m_scaleParams[location];
    params.vmCount += 1;
    params.diskCount += static_cast<int32_t>(vm.collect.getint64(VirtualServer::VMCollect::F_diskCount));
    params.totalSizeGB += static_cast<double>(vm.collect.getint64(VirtualServer::VMCollect::F_vmSize)) / kBytesPerGB;
  }
  for (auto& entry : c.m_agents) {
    QuarnAgentInfo& agent = entry.second;
    if (agent.state != AgentInitialized) continue;
    std::string location;
    if (k8s) {
      location = firstLocation;
    } else if (!agent.datacenter.empty()) {
      location = agent.datacenter;
      m_event.Debug(kSigPopulate, "Adding agent for location [%s]", location.c_str());
    } else if (agent.hostName.empty()) {
      m_event.Debug(kSigPopulate, "host name is empty for agent [%s]", entry.first.c_str());
      continue;
    } else {
      const VMInfoStructs::SHostInfo* host = c.GetHostInfo(agent.hostName);
      if (host == nullptr) continue;
      location = host->datacenter2;
      agent.datacenter = location;
    }
    auto it = m_scaleParams.find(location);
    if (it != m_scaleParams.end()) it->second.runningAgents += 1;
  }
}

void QuarnScaleAgentManager::Estimate(std::vector<CreateAgentsRequest>& requests,
                                      std::vector<long long>& activeJobIds) {
  QuarnCoordinator& c = *m_coordinator;
  PopulateScaleParams();
  m_event.Debug(kSigCalculate, "Calculating additional agents required for the job");

  const int instanceType = c.m_appMgr->getInstanceType();
  int64_t throughput = DefaultThroughput(instanceType);
  if (throughput == 0) {
    m_event.Debug(kSigCalculate, "Hypervisor not integrated for Auto scaling.");
    return;
  }
  int64_t rpoMinutes = 1440;
  int64_t copyRpoMinutes = 1440;
  int64_t policyLimit = 0;
  double averageVMSizeGB = 100.0;
  Config config;
  const bool configured = c.m_appMgr->GetAutoScaleConfigInfo(config);
  if (configured) {
    throughput = config.getint64(Config::F_agentThroughputGBPerHour);
    rpoMinutes = config.getint64(Config::F_rpoMinutes);
    copyRpoMinutes = config.getint64(Config::F_backupCopyRpoMinutes);
    averageVMSizeGB = static_cast<double>(config.getint64(Config::F_averageVMSizeGB));
    policyLimit = config.getint64(Config::F_maxAgents);
    if (instanceType == kInstanceTypeK8s) averageVMSizeGB = 0.1;
  }
  unsigned int averageOverride = 0;
  ZTPlatformInfo().getNumber("VirtualServer", "nAutoScaleAverageVMSizeGB", &averageOverride);
  if (averageOverride != 0) {
    averageVMSizeGB = averageOverride;
    m_event.Debug(kSigCalculate, "Regkey nAutoScaleAverageVMSizeGB set as : [%u]", averageOverride);
  }

  // A later entry of a region replaces an earlier one.
  std::map<std::string, Region*> regions;
  if (configured) {
    for (const CNMessagePtr& entry : config.getlistobject(Config::F_regions, false))
      regions[entry->getstring(Region::F_regionName)] = static_cast<Region*>(entry.get());
  }

  const double rpoHours = static_cast<double>(c.m_jobMgr->isSnapToTape() ? copyRpoMinutes : rpoMinutes) / 60.0;
  m_event.Debug(kSigCalculate, "Data throughput in GB/Hr : [%d], RPO in hours : [%.2f]", static_cast<int>(throughput),
                rpoHours);
  const double capacity = static_cast<double>(throughput) * rpoHours;
  m_event.Debug(kSigCalculate,
                "Estimated Data that single agent can backup in the given RPO duration at given throughput : [%.2f] GB",
                capacity);
  // A policy without throughput or recovery point gives no agent any capacity: nothing sensible
  // can be estimated from it, and a division by it would ask for any number of agents.
  if (!(capacity > 0.0)) {
    m_event.Error(kSigCalculate, "The capacity of one agent is not above 0, no agents are estimated for the job");
    return;
  }

  std::string coordinatorDatacenter;
  const std::string ownName = c.OwnClientName();
  const QuarnAgentInfo* own = c.FindAgent(ownName);
  if (own != nullptr) coordinatorDatacenter = own->datacenter;
  const bool azure = c.m_appMgr->isServerTypeAzure();
  const bool k8s = c.m_appMgr->isServerTypeK8s();
  const int32_t maxStreams = c.m_requiredStreams;

  // In location order, so that the requests and the log read the same on every run.
  std::map<std::string, VSScaleAgentParams*> locations;
  for (auto& entry : m_scaleParams) locations[entry.first] = &entry.second;
  for (auto& entry : locations) {
    const std::string& location = entry.first;
    VSScaleAgentParams& params = *entry.second;
    auto region = regions.find(location);
    Region* configuredRegion = region == regions.end() ? nullptr : region->second;
    if (azure && configuredRegion == nullptr) {
      m_event.Debug(kSigCalculate, "Region [%s] is not configured in autoscale settings, so skipping for agent calculation",
                    location.c_str());
      m_event.Debug(kSigCalculate, "VM Count :[%d], VM Disk Count :[%d], Total Data size GB : [%f]", params.vmCount,
                    params.diskCount, params.totalSizeGB);
      continue;
    }
    m_event.Debug(kSigCalculate, "Region : [%s]", location.c_str());
    if (params.totalSizeGB <= 1.0) params.totalSizeGB = params.vmCount * averageVMSizeGB;
    if (k8s)
      m_event.Debug(kSigCalculate, "APP Count :[%d], Volume Count :[%d], Total Data size GB : [%f]", params.vmCount,
                    params.diskCount, params.totalSizeGB);
    else
      m_event.Debug(kSigCalculate, "VM Count :[%d], VM Disk Count :[%d], Total Data size GB : [%f]", params.vmCount,
                    params.diskCount, params.totalSizeGB);

    // In floating point until it is bounded by the VM count, so a huge ratio cannot overflow.
    const int32_t estimate = static_cast<int32_t>(
        std::min(std::ceil(params.totalSizeGB / capacity), static_cast<double>(params.vmCount)));
    params.agentsToCreate = estimate;
    if (policyLimit > 0) params.agentsToCreate = static_cast<int32_t>(std::min<int64_t>(estimate, policyLimit));
    if (params.agentsToCreate > maxStreams) {
      m_event.Debug(kSigCalculate, "Putting a cap on agents to be created based on Max stream value set as : [%d]",
                    maxStreams);
      params.agentsToCreate = maxStreams;
    }
    int32_t existing = 0;
    if (configuredRegion != nullptr && configuredRegion->isSet(Region::F_existingAgents))
      existing = static_cast<int32_t>(configuredRegion->getint64(Region::F_existingAgents));
    if (!coordinatorDatacenter.empty() && strcasecmp(coordinatorDatacenter.c_str(), location.c_str()) == 0) {
      m_event.Debug(kSigCalculate,
                    "Coordinator [%s] is running in auto scale target region [%s]. Adding it as an existing agent for "
                    "current region",
                    ownName.c_str(), location.c_str());
      existing += 1;
    }
    m_event.Debug(kSigCalculate, "Region : [%s], Running Agents count: [%d] , Existing auto scale agents count in region: [%d]",
                  location.c_str(), params.runningAgents, existing);
    params.agentsToCreate -= existing;
    if (params.agentsToCreate != 0 && configuredRegion != nullptr && configuredRegion->isSet(Region::F_creationJobIds)) {
      const std::vector<int64_t>& running =
          configuredRegion->getlistint(Region::F_creationJobIds, false);
      activeJobIds.insert(activeJobIds.end(), running.begin(), running.end());
      m_event.Debug(kSigCalculate, "Active auto scale agent creation jobs count : [%d]", static_cast<int>(running.size()));
      params.agentsToCreate -= static_cast<int32_t>(running.size());
    }
    if (params.agentsToCreate < 0) params.agentsToCreate = 0;
    m_event.Debug(kSigCalculate,
                  "Total Running agents : [%d], Existing total Auto scale agents : [%d],  Agents required estimate within "
                  "RPO : [%d], Auto Scale Policy limit : [%d], Agents to be created : [%d], Max streams: [%d]",
                  params.runningAgents, existing, estimate, static_cast<int>(policyLimit), params.agentsToCreate,
                  maxStreams);
    if (params.agentsToCreate > 0) {
      CreateAgentsRequest request;
      request.region = location;
      request.type = kBackupAgentRequest;
      request.count = params.agentsToCreate;
      requests.push_back(request);
    }
  }
}
