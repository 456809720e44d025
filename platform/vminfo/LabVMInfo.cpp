#include "platform/vminfo/LabVMInfo.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"

IVMInfo* IVMInfo::CreateObject(int instanceType) {
  // No library serves an instance of unknown type.
  if (instanceType <= 0) return nullptr;
  return new (std::nothrow) LabVMInfo(instanceType);
}

void IVMInfo::DeleteObject(IVMInfo* object) { delete object; }

// In the lab only the Microsoft hypervisor's clusters share volumes between nodes.
bool IVMInfo::IsMultiHostAware(int instanceType) { return vsAppMgr::isServerTypeMS(instanceType); }

LabVMInfo::LabVMInfo(int instanceType, const std::string& server) : instanceType_(instanceType), server_(server) {}

LabVMInfo::~LabVMInfo() = default;

int LabVMInfo::Fail(int code, const std::string& text, uint32_t eventId) {
  ZtMutexLock lock(mutex_);
  last_.code = code;
  last_.text = text;
  last_.eventId = eventId;
  return 0;
}

void LabVMInfo::Succeed() {
  ZtMutexLock lock(mutex_);
  last_ = Failure();
}

int LabVMInfo::FailNoVM(const std::string& server, const std::string& guidOrName) {
  lab::UnreadableVM unreadable;
  if (lab::FindUnreadableVM(server, guidOrName, unreadable)) return Fail(kErrUnreadable, unreadable.Text());
  return Fail(kErrNotFound, "VM [" + guidOrName + "] not found");
}

bool LabVMInfo::Faulted(const char* op, const std::string& vm) {
  lab::FaultCall call;
  call.op = op;
  call.vm = vm;
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return false;
  Fail(fault.code, fault.text, fault.eventId);
  return true;
}

bool LabVMInfo::FindServer(std::string& server) {
  {
    ZtMutexLock lock(mutex_);
    server = server_.empty() ? connectedServer_ : server_;
  }
  if (!server.empty()) return true;
  // Without a name the lab must hold exactly one server, or the choice would be a guess.
  std::vector<std::string> servers = lab::ListServers();
  if (servers.size() == 1) {
    server = servers.front();
    return true;
  }
  Fail(kErrUnreadable, servers.empty() ? "No hypervisor server found in the lab"
                                       : "The lab has several hypervisor servers and none was named");
  return false;
}

int LabVMInfo::GetErrorCode() {
  ZtMutexLock lock(mutex_);
  return last_.code;
}

void LabVMInfo::GetErrorReport(MountCtx& ctx, std::string& text, EvMessageContainer& message) {
  Failure last;
  {
    ZtMutexLock lock(mutex_);
    last = last_;
  }
  text = last.text;
  message.SetMessageID(last.eventId, true);
  if (last.eventId != 0) message << (ctx.vmLabel.empty() ? ctx.vmName : ctx.vmLabel) << last.text;
}

int LabVMInfo::GetInstanceType() { return instanceType_; }

int LabVMInfo::GetHostInfo(const std::string& hostName, VMInfoStructs::SHostInfo& info, uint64_t mask,
                           int /*flags*/) {
  if (Faulted("vminfo.GetHostInfo")) return 0;
  if (hostName.empty() && mask == kLocalHostMask) return GetProxyHostInfo(info);
  std::string server;
  if (!FindServer(server)) return 0;
  lab::ServerRecord record;
  std::string error;
  if (!lab::ReadServerRecord(server, record, error))
    return Fail(kErrUnreadable, "Cannot read the hypervisor server description: " + error);
  lab::HostRecord details;
  lab::RecordRead read = lab::ReadHostRecord(server, hostName, details, error);
  if (read == lab::RecordRead::kUnreadable || read == lab::RecordRead::kMalformed)
    return Fail(kErrUnreadable, "Cannot read host [" + hostName + "]: " + error);
  bool listed = std::find(record.hosts.begin(), record.hosts.end(), hostName) != record.hosts.end();
  if (hostName.empty() || (!listed && read == lab::RecordRead::kMissing))
    return Fail(kErrNotFound, "Host [" + hostName + "] not found");

  VMInfoStructs::SHostInfo filled;
  filled.name = hostName;
  filled.field34 = details.field34;
  filled.datacenter = details.datacenter;
  filled.datacenter2 = details.datacenter2;
  filled.cluster = details.cluster;
  filled.faultDomain = details.faultDomain;
  for (const std::string& name : details.hasDatastores ? details.datastores : record.datastores) {
    VMInfoStructs::SDatastoreInfo datastore;
    datastore.name = name;
    auto owner = details.owners.find(name);
    if (owner != details.owners.end()) datastore.field17 = owner->second;
    filled.datastores.push_back(datastore);
  }
  for (const auto& address : details.addresses) {
    VMInfoStructs::SHostNetworkAdapterInfo adapter;
    adapter.field5 = address.first;
    adapter.field6 = address.second;
    filled.networkAdapters.push_back(adapter);
  }
  info = filled;
  Succeed();
  return 1;
}

int LabVMInfo::LoadVMInfo(const std::string& guidOrName, VMInfoStructs::SVMInfo& info, uint64_t mask) {
  if (Faulted("vminfo.LoadVMInfo", guidOrName)) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::VMDescription vm;
  if (!lab::FindVM(server, guidOrName, vm)) return FailNoVM(server, guidOrName);

  VMInfoStructs::SVMInfo filled;
  DescribeVM(vm, filled);
  FillArchivingInventory(server, vm, mask, filled);
  info = filled;
  Succeed();
  return 1;
}
