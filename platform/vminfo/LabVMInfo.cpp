#include "platform/vminfo/LabVMInfo.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"

namespace {

std::string Value(const std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

// Decimal or 0x-prefixed hexadecimal, the whole text, within 32 bits.
bool ParseEventId(const std::string& text, uint32_t& id) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || value > 0xFFFFFFFFULL) return false;
  id = static_cast<uint32_t>(value);
  return true;
}

bool ParseInt32(const std::string& text, int32_t& value) {
  int64_t wide = 0;
  if (!labkv::ParseInt64(text, wide) || wide < INT32_MIN || wide > INT32_MAX) return false;
  value = static_cast<int32_t>(wide);
  return true;
}

}  // namespace

IVMInfo* IVMInfo::CreateObject(int instanceType) { return new LabVMInfo(instanceType); }

void IVMInfo::DeleteObject(IVMInfo* object) { delete object; }

LabVMInfo::LabVMInfo(int instanceType, const std::string& server) : instanceType_(instanceType), server_(server) {}

LabVMInfo::~LabVMInfo() = default;

std::string LabVMInfo::ServerDir() const {
  std::string root = lab::HypervisorDir();
  if (lab::Root().empty()) return std::string();
  std::string named = server_;
  if (named.empty()) {
    ZtMutexLock lock(mutex_);
    named = connectedServer_;
  }
  if (!named.empty()) return lab::IsSafeComponent(named) ? root + "/" + named : std::string();
  // Without a name the lab must hold exactly one server, or the choice would be a guess.
  std::error_code error;
  std::string found;
  for (std::filesystem::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    if (!it->is_directory(error) || !std::filesystem::exists(it->path() / "server.conf", error)) continue;
    if (!found.empty()) return std::string();
    found = it->path().string();
  }
  return found;
}

int LabVMInfo::Fail(int code, const std::string& text, uint32_t eventId) {
  ZtMutexLock lock(mutex_);
  last_.code = code;
  last_.text = text;
  last_.eventId = eventId;
  return 0;
}

void LabVMInfo::Succeed() {
  ZtMutexLock lock(mutex_);
  last_ = Fault();
}

void LabVMInfo::SetFailure(int code, const std::string& text, uint32_t eventId) {
  ZtMutexLock lock(mutex_);
  forced_.code = code;
  forced_.text = code == 0 ? std::string() : text;
  forced_.eventId = code == 0 ? 0 : eventId;
}

bool LabVMInfo::ActiveFault(const std::map<std::string, std::string>& conf, Fault& fault) {
  {
    ZtMutexLock lock(mutex_);
    if (forced_.code != 0) {
      fault = forced_;
      return true;
    }
  }
  std::string codeText = Value(conf, "failCode");
  int32_t code = 0;
  if (codeText.empty() || !ParseInt32(codeText, code) || code == 0) return false;
  fault.code = code;
  fault.text = Value(conf, "failText");
  if (fault.text.empty()) fault.text = "The hypervisor failed the request with code " + codeText;
  fault.eventId = kFailureEvent;
  std::string eventText = Value(conf, "failEvent");
  if (!eventText.empty()) ParseEventId(eventText, fault.eventId);  // checked by ReadServer
  return true;
}

bool LabVMInfo::ReadServer(std::map<std::string, std::string>& conf) {
  Fault fault;
  // A fault set by the caller needs no lab at all.
  if (ActiveFault(std::map<std::string, std::string>(), fault)) {
    Fail(fault.code, fault.text, fault.eventId);
    return false;
  }
  std::string dir = ServerDir();
  if (dir.empty()) {
    Fail(kErrUnreadable, "No hypervisor server found in the lab", kFailureEvent);
    return false;
  }
  std::string error;
  if (!labkv::ReadFile(dir + "/server.conf", conf, error)) {
    Fail(kErrUnreadable, "Cannot read the hypervisor server description: " + error, kFailureEvent);
    return false;
  }
  std::string codeText = Value(conf, "failCode");
  int32_t ignored = 0;
  if (!codeText.empty() && !ParseInt32(codeText, ignored)) {
    Fail(kErrUnreadable, "server.conf: failCode [" + codeText + "] is not a number", kFailureEvent);
    return false;
  }
  std::string eventText = Value(conf, "failEvent");
  uint32_t eventId = 0;
  if (!eventText.empty() && !ParseEventId(eventText, eventId)) {
    Fail(kErrUnreadable, "server.conf: failEvent [" + eventText + "] is not an event id", kFailureEvent);
    return false;
  }
  if (ActiveFault(conf, fault)) {
    Fail(fault.code, fault.text, fault.eventId);
    return false;
  }
  return true;
}

int LabVMInfo::GetErrorCode() {
  ZtMutexLock lock(mutex_);
  return last_.code;
}

void LabVMInfo::GetErrorReport(MountCtx& ctx, std::string& text, EvMessageContainer& message) {
  Fault last;
  {
    ZtMutexLock lock(mutex_);
    last = last_;
  }
  text = last.text;
  message.SetMessageID(last.eventId, true);
  if (last.eventId != 0) message << (ctx.vmLabel.empty() ? ctx.vmName : ctx.vmLabel) << last.text;
}

int LabVMInfo::GetInstanceType() { return instanceType_; }

int LabVMInfo::GetHostInfo(const std::string& hostName, VMInfoStructs::SHostInfo& info, uint64_t /*mask*/,
                           int /*flags*/) {
  std::map<std::string, std::string> conf;
  if (!ReadServer(conf)) return 0;
  bool listed = false;
  for (const std::string& host : labkv::SplitList(Value(conf, "hosts"))) listed = listed || host == hostName;
  std::string hostFile = lab::IsSafeComponent(hostName) ? ServerDir() + "/hosts/" + hostName + ".host" : std::string();
  std::error_code fsError;
  bool hasFile = !hostFile.empty() && std::filesystem::exists(hostFile, fsError);
  if (hostName.empty() || (!listed && !hasFile))
    return Fail(kErrNotFound, "Host [" + hostName + "] not found", kFailureEvent);

  VMInfoStructs::SHostInfo filled;
  filled.name = hostName;
  if (hasFile) {
    std::map<std::string, std::string> details;
    std::string error;
    if (!labkv::ReadFile(hostFile, details, error))
      return Fail(kErrUnreadable, "Cannot read host [" + hostName + "]: " + error, kFailureEvent);
    std::string number = Value(details, "field34");
    if (!number.empty() && !ParseInt32(number, filled.field34))
      return Fail(kErrUnreadable, "Host [" + hostName + "]: field34 [" + number + "] is not a number", kFailureEvent);
    filled.datacenter = Value(details, "datacenter");
    filled.datacenter2 = Value(details, "datacenter2");
    filled.cluster = Value(details, "cluster");
    filled.faultDomain = Value(details, "faultDomain");
  }
  for (const std::string& name : labkv::SplitList(Value(conf, "datastores"))) {
    VMInfoStructs::SDatastoreInfo datastore;
    datastore.name = name;
    filled.datastores.push_back(datastore);
  }
  info = filled;
  Succeed();
  return 1;
}

int LabVMInfo::LoadVMInfo(const std::string& guidOrName, VMInfoStructs::SVMInfo& info) {
  std::map<std::string, std::string> conf;
  if (!ReadServer(conf)) return 0;
  std::string vmsDir = ServerDir() + "/vms";
  std::error_code fsError;
  for (std::filesystem::directory_iterator it(vmsDir, fsError), end; !fsError && it != end; it.increment(fsError)) {
    if (it->path().extension() != ".vm") continue;
    std::map<std::string, std::string> vm;
    std::string error;
    if (!labkv::ReadFile(it->path().string(), vm, error)) continue;
    std::string guid = Value(vm, "guid");
    std::string name = Value(vm, "name");
    bool match = (!guid.empty() && strcasecmp(guid.c_str(), guidOrName.c_str()) == 0) || name == guidOrName;
    if (guidOrName.empty() || !match) continue;

    VMInfoStructs::SVMInfo filled;
    filled.field01 = name;
    filled.guid = guid;
    filled.host = Value(vm, "host");
    filled.datastore = Value(vm, "datastore");
    filled.location = Value(vm, "location");
    filled.version = Value(vm, "version");
    filled.toolsVersion = Value(vm, "toolsVersion");
    int64_t diskCount = 0;
    std::string countText = Value(vm, "diskCount");
    if (!countText.empty() && (!labkv::ParseInt64(countText, diskCount) || diskCount < 0 || diskCount > 4096))
      return Fail(kErrUnreadable, "VM [" + name + "]: diskCount [" + countText + "] is not usable", kFailureEvent);
    for (int64_t i = 0; i < diskCount; ++i) {
      VMInfoStructs::SDisk disk;
      std::string prefix = "disk" + std::to_string(i) + ".";
      disk.path = Value(vm, prefix + "file");
      // Images lie under datastores/<datastore>/...; the datastore's name is the second component.
      const std::string folder = "datastores/";
      if (disk.path.compare(0, folder.size(), folder) == 0) {
        size_t slash = disk.path.find('/', folder.size());
        disk.datastore = disk.path.substr(folder.size(), slash == std::string::npos ? std::string::npos
                                                                                          : slash - folder.size());
      }
      disk.snapCopyDatastore = disk.datastore;
      filled.disks.push_back(disk);
    }
    info = filled;
    Succeed();
    return 1;
  }
  return Fail(kErrNotFound, "VM [" + guidOrName + "] not found", kFailureEvent);
}
