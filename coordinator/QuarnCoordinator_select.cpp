// The agent-selection methods: which methods a job tries, in which order, and the rule of each (the
// agents on the VM's host, on a host that sees its datastore, in its datacenter, cluster, fault
// domain or subnet, the agent the VM itself is, any agent, the coordinator's own agent).
#include <strings.h>

#include "app/QuarnUtils.h"
#include "coordinator/QuarnCoordinator.h"

using Method = QuarnSelectAgentForVMMethod;

namespace {

const char* const kSigChoose =
    "virtual void QuarnCoordinator::ChooseVMSelectionMethods(std::vector<QuarnSelectAgentForVMMethod>&)";
const char* const kSigDispatcher =
    "bool QuarnCoordinator::_SelectAgentsForVM(QuarnSelectAgentForVMMethod, const vm_params&, std::set<std::string>&, "
    "std::string&)";
const char* const kSigDatacenter =
    "bool QuarnCoordinator::SelectAgentsForVM_Datacenter(const vm_params&, std::set<std::string>&, std::string&)";
const char* const kSigDatacenterAndOS =
    "bool QuarnCoordinator::SelectAgentsForVM_DatacenterAndOS(const vm_params&, std::set<std::string>&, std::string&)";
const char* const kSigLast =
    "bool QuarnCoordinator::SelectAgentsForVM_Last(const vm_params&, std::set<std::string>&, std::string&)";

// Transport modes that switch dispatch methods off by default for instance types 100 and 101.
constexpr int kTransportSan = 1;
constexpr int kTransportHotAdd = 2;
constexpr int kTransportNbd = 4;
constexpr int kTransportNbdSsl = 5;

const char* const kLinkLocalSubnet = "169.254.0.0";

bool SameNoCase(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// The guest-OS family the two operating-system rules compare against the agent's flag.
bool InOSFamily(int64_t code) {
  static const int64_t kFamily[] = {2,  3,  21, 24, 27, 34, 35,  39,  46,  48,  62,  63,  64,
                                    65, 66, 67, 93, 94, 200, 208, 209, 210, 211, 212, 213};
  for (int64_t member : kFamily)
    if (member == code) return true;
  return false;
}

bool OSMatches(const vm_params& vm, const QuarnAgentInfo& agent) {
  return InOSFamily(vm.collect.getint64(VirtualServer::VMCollect::F_guestOsCode)) == agent.osFlag;
}

bool InDatacenter(const VMInfoStructs::SHostInfo& host, const std::string& datacenter) {
  return host.datacenter == datacenter || host.datacenter2 == datacenter;
}

}  // namespace

void QuarnCoordinator::ChooseVMSelectionMethods(std::vector<Method>& methods) {
  methods.push_back(Method::First);
  if (m_registry.CheckEntry(REG_bEnableFailoverOnlyDispatch, false)) {
    m_event.Debug(kSigChoose, "Using FailoverOnly dispatching");
    methods.push_back(Method::Coordinator);
    methods.push_back(Method::Last);
    return;
  }
  const int type = m_appMgr->getInstanceType();
  auto anyAndCoordinator = [&methods] {
    methods.push_back(Method::Any);
    methods.push_back(Method::Coordinator);
  };
  switch (type) {
    case kInstanceTypeVMwareHost:
    case kInstanceTypeVMware: {
      bool self = true, san = !m_jobMgr->isSnapToTape(), host = true, faultDomain = true, cluster = true,
           datastore = true, subnet = true;
      switch (m_appMgr->GetTransportMode()) {
        case kTransportSan:
          host = datastore = subnet = false;
          break;
        case kTransportHotAdd:
          san = subnet = false;
          break;
        case kTransportNbd:
        case kTransportNbdSsl:
          san = datastore = false;
          break;
        default:
          break;
      }
      if (m_registry.CheckEntry(REG_bEnableSelfDispatch, self)) methods.push_back(Method::Self);
      if (m_registry.CheckEntry(REG_bEnableSanDatastoreDispatch, san)) methods.push_back(Method::SanDatastore);
      if (m_registry.CheckEntry(REG_bEnableHostDispatch, host)) methods.push_back(Method::Host);
      if (m_registry.CheckEntry(REG_bEnableClusterFaultDomainDispatch, faultDomain))
        methods.push_back(Method::ClusterFaultDomain);
      if (m_registry.CheckEntry(REG_bEnableClusterDispatch, cluster)) methods.push_back(Method::Cluster);
      if (m_registry.CheckEntry(REG_bEnableDatastoreDispatch, datastore)) methods.push_back(Method::Datastore);
      if (m_registry.CheckEntry(REG_bEnableSubnetDispatch, subnet)) methods.push_back(Method::Subnet);
      anyAndCoordinator();
      break;
    }
    case kInstanceTypeHyperV: {
      const bool multiHost = IVMInfo::IsMultiHostAware(type) &&
                             (!QuarnUtils::IsOSWindows2016OrHigher() || m_jobMgr->isSnapBackup()) &&
                             !m_jobMgr->isSnapCatalogMode() && !m_jobMgr->isSnapToTape();
      if (multiHost) {
        if (m_registry.CheckEntry(REG_bEnableCSVOwnerDispatch, true)) methods.push_back(Method::ClusterVolumeOwner);
        if (m_jobMgr->isSnapBackup()) methods.push_back(Method::ClusterVolumeGroup);
      }
      if (m_registry.CheckEntry(REG_bEnableHostDispatch, true)) methods.push_back(Method::Host);
      if (m_registry.CheckEntry(REG_bEnableClusterDispatch, multiHost)) methods.push_back(Method::ClusterAny);
      anyAndCoordinator();
      break;
    }
    case kInstanceTypeXen:
    case 202:
      if (m_registry.CheckEntry(REG_bEnableHostDispatch, true)) methods.push_back(Method::Host);
      methods.push_back(Method::Datastore);
      anyAndCoordinator();
      break;
    case kInstanceTypeAmazon:
      if (m_jobMgr->isFailbackBackup()) {
        m_event.Debug(kSigChoose, "Forcing Agent selection by datacenter for failback backups");
        methods.push_back(Method::Datacenter);
        break;
      }
      if (m_registry.CheckEntry(REG_bEnableHostDispatch, false)) methods.push_back(Method::Host);
      methods.push_back(Method::Datacenter);
      if (!IsScaleAgentMgmtEnabled()) anyAndCoordinator();
      break;
    case kInstanceTypeAzureResourceManager:
      methods.push_back(Method::Datacenter);
      if (!IsScaleAgentMgmtEnabled() || m_autoScaleFinished) anyAndCoordinator();
      break;
    case kInstanceTypeNutanix:
      methods.push_back(Method::Datacenter);
      anyAndCoordinator();
      break;
    case kInstanceTypeRhev:
      methods.push_back(Method::Host);
      methods.push_back(Method::Cluster);
      anyAndCoordinator();
      break;
    case kInstanceTypeOpenStack:
      methods.push_back(Method::Host);
      methods.push_back(Method::Datastore);
      anyAndCoordinator();
      break;
    case kInstanceTypeFusionCompute:
      if (m_registry.CheckEntry(REG_bEnableHostDispatch, true)) methods.push_back(Method::Host);
      if (m_registry.CheckEntry(REG_bEnableSubnetDispatch, true)) methods.push_back(Method::Subnet);
      anyAndCoordinator();
      break;
    case kInstanceTypeOracleVM:
      methods.push_back(Method::ClusterAndDatacenter);
      methods.push_back(Method::Cluster);
      methods.push_back(Method::Datacenter);
      anyAndCoordinator();
      break;
    case kInstanceTypeOracleCloudInfrastructure:
      methods.push_back(Method::SanDatastore);
      methods.push_back(Method::Any);
      break;
    case kInstanceTypeGoogleCloud:
      methods.push_back(Method::Host);
      methods.push_back(Method::Datacenter);
      anyAndCoordinator();
      break;
    case kInstanceTypeAliCloud:
      methods.push_back(Method::Host);
      methods.push_back(Method::Coordinator);
      break;
    default:
      anyAndCoordinator();
      break;
  }
  methods.push_back(Method::Last);
}

bool QuarnCoordinator::SelectAgentsForVM(Method method, const vm_params& vm, std::set<std::string>& candidates,
                                         std::string& note) {
  candidates.clear();
  const bool selected = _SelectAgentsForVM(method, vm, candidates, note);

  // An agent that can take no stream cannot back a VM up; a name without a record is no agent.
  for (auto it = candidates.begin(); it != candidates.end();) {
    const QuarnAgentInfo* agent = FindAgent(*it);
    if (agent == nullptr || agent->streamLimit <= 0)
      it = candidates.erase(it);
    else
      ++it;
  }

  if (selected && m_dataPathMAAmongAgents && candidates.size() > 1 &&
      m_registry.CheckEntry(REG_bEnableDataPathDispatch, false)) {
    std::set<std::string> dataPath;
    for (const std::string& name : candidates)
      if (FindAgent(name)->dataPathMediaAgent) dataPath.insert(name);
    if (!dataPath.empty() && dataPath.size() < candidates.size()) {
      candidates.swap(dataPath);
      note += " (DataPath)";
    }
  }
  return selected;
}

bool QuarnCoordinator::_SelectAgentsForVM(Method method, const vm_params& vm, std::set<std::string>& candidates,
                                          std::string& note) {
  switch (method) {
    case Method::First: return SelectAgentsForVM_First(vm, candidates, note);
    case Method::SanDatastore: return SelectAgentsForVM_SanDatastore(vm, candidates, note);
    case Method::Host: return SelectAgentsForVM_Host(vm, candidates, note);
    case Method::Datastore: return SelectAgentsForVM_Datastore(vm, candidates, note);
    case Method::Datacenter: return SelectAgentsForVM_Datacenter(vm, candidates, note);
    case Method::ClusterAndDatacenter: return SelectAgentsForVM_ClusterAndDatacenter(vm, candidates, note);
    case Method::DatacenterAndOS: return SelectAgentsForVM_DatacenterAndOS(vm, candidates, note);
    case Method::Subnet: return SelectAgentsForVM_Subnet(vm, candidates, note);
    case Method::Any: return SelectAgentsForVM_Any(vm, candidates, note);
    case Method::Coordinator: return SelectAgentsForVM_Coordinator(vm, candidates, note);
    case Method::ClusterAny: return SelectAgentsForVM_ClusterAny(vm, candidates, note);
    case Method::ClusterVolumeOwner: return SelectAgentsForVM_ClusterVolumeOwner(vm, candidates, note);
    case Method::ClusterVolumeGroup: return SelectAgentsForVM_ClusterVolumeGroup(vm, candidates, note);
    case Method::ClusterFaultDomain: return SelectAgentsForVM_ClusterFaultDomain(vm, candidates, note);
    case Method::Cluster: return SelectAgentsForVM_Cluster(vm, candidates, note);
    case Method::Self: return SelectAgentsForVM_Self(vm, candidates, note);
    case Method::OS: return SelectAgentsForVM_OS(vm, candidates, note);
    case Method::Last: return SelectAgentsForVM_Last(vm, candidates, note);
  }
  m_event.Error(kSigDispatcher, "Unknown selection method [%d]", static_cast<int>(method));
  return false;
}

// ---- The rules ----

bool QuarnCoordinator::SelectAgentsForVM_First(const vm_params&, std::set<std::string>& candidates, std::string& note) {
  const int type = m_appMgr->getInstanceType();
  const bool snap = m_jobMgr->isSnapBackup();
  if (m_jobMgr->isSnapCatalogMode())
    note = "Snap Catalog Phase";
  else if (snap && type == kInstanceTypeVMware)
    note = "Snap backup job for VMware";
  else if (snap && type == kInstanceTypeAmazon)
    note = "Snap backup job for Amazon";
  else if (snap && type == kInstanceTypeGoogleCloud)
    note = "Snap backup job for Google Cloud";
  else if (snap && type == kInstanceTypeHyperV && m_registry.CheckEntry(REG_bForceSingleProxyBackup, false))
    note = "Single proxy backup";
  else
    return false;
  candidates.insert(OwnClientName());
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_SanDatastore(const vm_params& vm, std::set<std::string>& candidates,
                                                      std::string& note) {
  if (vm.datastore.empty()) return false;
  for (const auto& entry : m_agents)
    if (entry.second.sanDatastores.count(vm.datastore) != 0) candidates.insert(entry.first);
  if (candidates.empty()) return false;
  note = "San Datastore match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Host(const vm_params& vm, std::set<std::string>& candidates,
                                              std::string& note) {
  if (vm.host.empty()) return false;
  for (const auto& entry : m_agents)
    if (SameNoCase(entry.second.hostName, vm.host)) candidates.insert(entry.first);
  if (candidates.empty()) return false;
  note = "Host match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Datastore(const vm_params& vm, std::set<std::string>& candidates,
                                                   std::string& note) {
  if (vm.datastore.empty()) return false;
  for (const auto& entry : m_agents) {
    if (entry.second.hostName.empty()) continue;
    const VMInfoStructs::SHostInfo* host = GetHostInfo(entry.second.hostName);
    if (host == nullptr) continue;
    for (const VMInfoStructs::SDatastoreInfo& datastore : host->datastores) {
      if (datastore.name != vm.datastore) continue;
      candidates.insert(entry.first);
      break;
    }
  }
  if (candidates.empty()) return false;
  note = "Datastore match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Datacenter(const vm_params& vm, std::set<std::string>& candidates,
                                                    std::string& note) {
  if (vm.datacenter.empty()) {
    m_event.Error(kSigDatacenter, "Datacenter received from the collect file is empty for: [%s]", vm.vmName.c_str());
    return false;
  }
  for (const auto& entry : m_agents) {
    const QuarnAgentInfo& agent = entry.second;
    if (!agent.datacenter.empty()) {
      if (SameNoCase(agent.datacenter, vm.datacenter)) candidates.insert(entry.first);
      continue;
    }
    if (agent.hostName.empty()) {
      m_event.Debug(kSigDatacenter, "Agent's [%s] host name is empty", entry.first.c_str());
      continue;
    }
    const VMInfoStructs::SHostInfo* host = GetHostInfo(agent.hostName);
    if (host != nullptr && InDatacenter(*host, vm.datacenter)) candidates.insert(entry.first);
  }
  if (candidates.empty()) return false;
  note = "Datacenter match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_ClusterAndDatacenter(const vm_params& vm, std::set<std::string>& candidates,
                                                              std::string& note) {
  if (vm.cluster.empty() || vm.datacenter.empty()) return false;
  for (const auto& entry : m_agents) {
    const VMInfoStructs::SHostInfo* host = GetHostInfo(entry.second.hostName);
    if (host != nullptr && host->cluster == vm.cluster && InDatacenter(*host, vm.datacenter))
      candidates.insert(entry.first);
  }
  if (candidates.empty()) return false;
  note = "Cluster & Datacenter match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_DatacenterAndOS(const vm_params& vm, std::set<std::string>& candidates,
                                                         std::string& note) {
  if (vm.datacenter.empty()) return false;
  for (const auto& entry : m_agents) {
    if (entry.second.hostName.empty()) {
      m_event.Debug(kSigDatacenterAndOS, "host name is empty for agent [%s]", entry.first.c_str());
      continue;
    }
    const VMInfoStructs::SHostInfo* host = GetHostInfo(entry.second.hostName);
    if (host != nullptr && InDatacenter(*host, vm.datacenter) && OSMatches(vm, entry.second))
      candidates.insert(entry.first);
  }
  if (candidates.empty()) return false;
  note = "Datacenter & OS match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Subnet(const vm_params& vm, std::set<std::string>& candidates,
                                                std::string& note) {
  const VMInfoStructs::SHostInfo* host = GetHostInfo(vm.host);
  if (host == nullptr) return false;
  for (const VMInfoStructs::SHostNetworkAdapterInfo& adapter : host->networkAdapters) {
    const std::string& address = adapter.field5;
    if (address.empty()) continue;
    const std::string subnet = VSCoordinator::GetSubnet(address, adapter.field6);
    if (subnet.empty() || subnet == kLinkLocalSubnet) continue;
    for (const auto& entry : m_agents)
      if (entry.second.subnets.count(subnet) != 0) candidates.insert(entry.first);
  }
  // One agent on the host's subnet says little about where the VM's data is best read from.
  if (candidates.size() < 2) {
    candidates.clear();
    return false;
  }
  note = "Subnet match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Any(const vm_params&, std::set<std::string>& candidates, std::string& note) {
  for (const auto& entry : m_agents) candidates.insert(candidates.end(), entry.first);
  note = "Any";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Coordinator(const vm_params&, std::set<std::string>& candidates,
                                                     std::string& note) {
  candidates.insert(OwnClientName());
  note = "coordinator";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_ClusterAny(const vm_params& vm, std::set<std::string>& candidates,
                                                    std::string& note) {
  if (!vm.isClustered) return false;
  for (const auto& entry : m_agents) candidates.insert(candidates.end(), entry.first);
  note = "cluster";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_ClusterVolumeOwner(const vm_params& vm, std::set<std::string>& candidates,
                                                            std::string& note) {
  if (!vm.isClustered) return false;
  const VMInfoStructs::SHostInfo* host = GetHostInfo(vm.host);
  if (host == nullptr) return false;
  const VMInfoStructs::SDatastoreInfo* volume = nullptr;
  for (const VMInfoStructs::SDatastoreInfo& datastore : host->datastores) {
    if (!SameNoCase(datastore.name, vm.datastore)) continue;
    volume = &datastore;
    break;
  }
  if (volume == nullptr) return false;
  const std::string& owner = volume->field17;  // the node that owns the shared volume
  for (const auto& entry : m_agents) {
    if (!SameNoCase(entry.second.hostName, owner)) continue;
    candidates.insert(entry.first);
    note = "csv owner";
    return true;
  }
  return false;
}

bool QuarnCoordinator::SelectAgentsForVM_ClusterVolumeGroup(const vm_params& vm, std::set<std::string>& candidates,
                                                            std::string& note) {
  if (!vm.isClustered) return false;
  for (const auto& entry : m_vmMap) {
    const vm_params& other = entry.second;
    if (&other == &vm || other.candidateAgents.empty() || other.datastore != vm.datastore) continue;
    candidates = other.candidateAgents;
    note = "csv group";
    return true;
  }
  return false;
}

bool QuarnCoordinator::SelectAgentsForVM_ClusterFaultDomain(const vm_params& vm, std::set<std::string>& candidates,
                                                            std::string& note) {
  if (!vm.isClustered && vm.cluster.empty()) return false;
  bool anyFaultDomain = false;
  for (const auto& entry : m_agents) {
    const VMInfoStructs::SHostInfo* host = GetHostInfo(entry.second.hostName);
    if (host != nullptr && !host->faultDomain.empty()) {
      anyFaultDomain = true;
      break;
    }
  }
  if (!anyFaultDomain) return false;
  const VMInfoStructs::SHostInfo* vmHost = GetHostInfo(vm.host);
  if (vmHost == nullptr) return false;
  const std::string faultDomain = vmHost->faultDomain;
  for (const auto& entry : m_agents) {
    const VMInfoStructs::SHostInfo* host = GetHostInfo(entry.second.hostName);
    if (host != nullptr && SameNoCase(host->faultDomain, faultDomain)) candidates.insert(entry.first);
  }
  if (candidates.empty()) return false;
  note = "Cluster Fault Domain match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Cluster(const vm_params& vm, std::set<std::string>& candidates,
                                                 std::string& note) {
  if (vm.cluster.empty()) return false;
  for (const auto& entry : m_agents) {
    if (entry.second.hostName.empty()) continue;
    const VMInfoStructs::SHostInfo* host = GetHostInfo(entry.second.hostName);
    if (host != nullptr && host->cluster == vm.cluster) candidates.insert(entry.first);
  }
  if (candidates.empty()) return false;
  note = "Cluster match";
  return true;
}

// A VM with no host name is never matched here, although the rule compares GUIDs: the collect file
// gives a host to every VM it can place.
bool QuarnCoordinator::SelectAgentsForVM_Self(const vm_params& vm, std::set<std::string>& candidates,
                                              std::string& note) {
  if (vm.host.empty()) return false;
  for (const auto& entry : m_agents)
    if (SameNoCase(entry.second.hostUuid, vm.vmGuid)) candidates.insert(entry.first);
  if (candidates.empty()) return false;
  note = "Self match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_OS(const vm_params& vm, std::set<std::string>& candidates, std::string& note) {
  for (const auto& entry : m_agents)
    if (OSMatches(vm, entry.second)) candidates.insert(entry.first);
  if (candidates.empty()) return false;
  note = "Operating System match";
  return true;
}

bool QuarnCoordinator::SelectAgentsForVM_Last(const vm_params& vm, std::set<std::string>&, std::string& note) {
  note = "No agent selected";
  m_event.Error(kSigLast, "No suitable agent for VM [%s]", vm.vmName.c_str());
  return false;
}
