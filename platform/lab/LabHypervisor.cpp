#include "platform/lab/LabHypervisor.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>

#include "platform/lab/Lab.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMachine.h"
#include "platform/os/FXString.h"

namespace lab {
namespace {

const char* const kServerFile = "server.conf";
const char* const kHostsFolder = "hosts";
const char* const kHostSuffix = ".host";
const char* const kHypervisorFolder = "hypervisor";
const char* const kVMsFolder = "vms";
const char* const kVMSuffix = ".vm";
const char* const kGuidSuffix = ".guid";
const char* const kDatastoresFolder = "datastores/";
const char* const kOwnerPrefix = "owner.";
const char* const kDatastoreSuffix = ".datastore";
const char* const kOptionPrefix = "option.";
const char* const kCustomFieldPrefix = "customField.";

using labkv::Take;
using labkv::TakeNumber;

std::string JoinList(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

std::string HostPath(const std::string& server, const std::string& host) {
  std::string dir = ServerDir(server);
  if (dir.empty() || !IsSafeComponent(host + kHostSuffix)) return std::string();
  return dir + "/" + kHostsFolder + "/" + host + kHostSuffix;
}

std::string DatastorePath(const std::string& server, const std::string& datastore) {
  std::string dir = ServerDir(server);
  if (dir.empty() || !IsSafeComponent(datastore + kDatastoreSuffix)) return std::string();
  return dir + "/" + kDatastoresFolder + datastore + kDatastoreSuffix;
}

std::string VMPath(const std::string& server, const std::string& name) {
  std::string dir = ServerDir(server);
  if (dir.empty() || !IsSafeComponent(name + kVMSuffix)) return std::string();
  return dir + "/" + kVMsFolder + "/" + name + kVMSuffix;
}

// The entry that names the VM of a GUID (any case); empty when the GUID cannot name a file.
std::string GuidPath(const std::string& server, const std::string& guid) {
  std::string dir = ServerDir(server);
  const std::string name = FXString::ToLower(guid) + kGuidSuffix;
  if (dir.empty() || guid.empty() || !IsSafeComponent(name)) return std::string();
  return dir + "/" + kVMsFolder + "/" + name;
}

// The description at the path when it is one of `match`: its name, or its GUID in any case.
bool ReadVMAt(const std::string& path, const std::string& match, VMDescription& vm) {
  std::string text, error;
  VMDescription candidate;
  if (path.empty() || ReadOptionalFile(path, kMaxRecordBytes, text, error) != ReadResult::kRead ||
      !ParseVMDescription(text, candidate, error))
    return false;
  if (candidate.name != match && (candidate.guid.empty() || strcasecmp(candidate.guid.c_str(), match.c_str()) != 0))
    return false;
  vm = candidate;
  return true;
}

// The GUID (in lower case) whose entry names the VM; empty when no entry does.
std::string GuidWhoseEntryNames(const std::string& server, const std::string& name) {
  const std::string dir = ServerDir(server);
  if (dir.empty()) return std::string();
  std::error_code fsError;
  for (std::filesystem::directory_iterator it(dir + "/" + kVMsFolder, fsError), end; !fsError && it != end;
       it.increment(fsError)) {
    std::string text, error;
    if (it->path().extension() == kGuidSuffix &&
        ReadOptionalFile(it->path().string(), kMaxRecordBytes, text, error) == ReadResult::kRead && text == name + "\n")
      return it->path().stem().string();
  }
  return std::string();
}

// A description of the server by that name that does not read (`text`, what was read of it), and why.
// Its GUID is the one its own text names, else `guid` (what its GUID's entry was found by), else that of
// the entry that names it (a description emptied or cut short keeps no GUID of its own).
UnreadableVM DescribeUnreadableVM(const std::string& server, const std::string& name, const std::string& text,
                                  const std::string& guid, const std::string& why) {
  std::map<std::string, std::string> values;
  std::string ignored;
  UnreadableVM unreadable;
  unreadable.name = name;
  unreadable.guid = labkv::Parse(text, values, ignored) && !values["guid"].empty() ? values["guid"] : guid;
  if (unreadable.guid.empty()) unreadable.guid = GuidWhoseEntryNames(server, name);
  unreadable.file = std::string(kHypervisorFolder) + "/" + server + "/" + kVMsFolder + "/" + name + kVMSuffix;
  unreadable.reason = why;
  return unreadable;
}

// The description at the path when it is there and does not read, with why; false when it reads or is
// not there.
bool ReadUnreadableVMAt(const std::string& server, const std::string& name, const std::string& guid,
                        UnreadableVM& unreadable) {
  const std::string path = VMPath(server, name);
  std::string text, error;
  VMDescription vm;
  if (path.empty()) return false;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing: return false;
    case ReadResult::kFailed: break;
    case ReadResult::kRead:
      if (ParseVMDescription(text, vm, error)) return false;
      break;
  }
  unreadable = DescribeUnreadableVM(server, name, text, guid, error);
  return true;
}

// The disk count must be there and agree with the disk entries (disk<i>.<key>, i from 0 below the count):
// one missing, or any other count, would read the VM without disks it has or with disks it has not. False
// with why.
bool DiskCountAgreesWithEntries(const std::map<std::string, std::string>& values, bool counted, int64_t diskCount,
                                std::string& error) {
  std::set<int64_t> entries;
  std::string beyond;  // the first entry the count does not cover
  for (const auto& value : values) {
    const std::string& key = value.first;
    const size_t dot = key.find('.');
    if (key.compare(0, 4, "disk") != 0 || dot == std::string::npos || dot == 4 ||
        key.find_first_not_of("0123456789", 4) != dot)
      continue;
    const std::string digits = key.substr(4, dot - 4);
    int64_t index = 0;
    if (labkv::ParseInt64InRange(digits, 0, diskCount - 1, index) && std::to_string(index) == digits)
      entries.insert(index);
    else if (beyond.empty())
      beyond = "disk" + digits;
  }
  if (!counted) {
    error = "diskCount is missing" + (beyond.empty() ? std::string() : " beside entries of " + beyond);
    return false;
  }
  const std::string disagrees =
      "value of diskCount [" + std::to_string(diskCount) + "] disagrees with its disk entries: ";
  if (!beyond.empty()) {
    error = disagrees + "it has entries of " + beyond;
    return false;
  }
  if (static_cast<int64_t>(entries.size()) == diskCount) return true;
  int64_t lacking = 0;
  while (entries.count(lacking) != 0) ++lacking;
  error = disagrees + "disk" + std::to_string(lacking) + " has none";
  return false;
}

}  // namespace

std::string UnreadableVM::Text() const {
  return "the description of VM [" + name + "] (" + file + ") does not read: " + reason;
}

std::vector<UnreadableVM> ListUnreadableVMs(const std::string& server) {
  std::vector<UnreadableVM> vms;
  ListVMs(server, &vms);
  return vms;
}

bool FindUnreadableVM(const std::string& server, const std::string& guidOrName, UnreadableVM& vm) {
  if (guidOrName.empty()) return false;
  std::string name, error;
  const std::string guidPath = GuidPath(server, guidOrName);
  if (!guidPath.empty() && ReadOptionalFile(guidPath, kMaxRecordBytes, name, error) == ReadResult::kRead &&
      ReadUnreadableVMAt(server, name.substr(0, name.find('\n')), guidOrName, vm))
    return true;
  return ReadUnreadableVMAt(server, guidOrName, std::string(), vm);
}

std::string VMDisk::Datastore() const {
  const std::string folder = kDatastoresFolder;
  if (file.compare(0, folder.size(), folder) != 0) return std::string();
  size_t slash = file.find('/', folder.size());
  return file.substr(folder.size(), slash == std::string::npos ? std::string::npos : slash - folder.size());
}

bool ParseServerRecord(const std::string& text, ServerRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  ServerRecord parsed;
  if (!TakeNumber(values, "type", 0, INT32_MAX, parsed.type, error)) return false;
  parsed.hosts = labkv::SplitList(Take(values, "hosts"));
  parsed.datastores = labkv::SplitList(Take(values, "datastores"));
  parsed.other.swap(values);
  record = parsed;
  return true;
}

std::string FormatServerRecord(const ServerRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["type"] = std::to_string(record.type);
  values["hosts"] = JoinList(record.hosts);
  values["datastores"] = JoinList(record.datastores);
  return labkv::Format(values);
}

bool ParseHostRecord(const std::string& text, HostRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  HostRecord parsed;
  int64_t field34 = 0;
  if (!TakeNumber(values, "field34", INT32_MIN, INT32_MAX, field34, error)) return false;
  parsed.field34 = static_cast<int32_t>(field34);
  parsed.datacenter = Take(values, "datacenter");
  parsed.datacenter2 = Take(values, "datacenter2");
  parsed.cluster = Take(values, "cluster");
  parsed.faultDomain = Take(values, "faultDomain");
  parsed.hasDatastores = values.count("datastores") != 0;
  parsed.datastores = labkv::SplitList(Take(values, "datastores"));
  if (!ParseAddressList(Take(values, "addresses"), parsed.addresses, error)) return false;
  for (auto it = values.begin(); it != values.end();) {
    if (it->first.rfind(kOwnerPrefix, 0) == 0 && it->first.size() > std::strlen(kOwnerPrefix)) {
      parsed.owners[it->first.substr(std::strlen(kOwnerPrefix))] = it->second;
      it = values.erase(it);
    } else {
      ++it;
    }
  }
  parsed.other.swap(values);
  record = parsed;
  return true;
}

std::string FormatHostRecord(const HostRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["datacenter"] = record.datacenter;
  values["datacenter2"] = record.datacenter2;
  values["cluster"] = record.cluster;
  values["faultDomain"] = record.faultDomain;
  values["field34"] = std::to_string(record.field34);
  if (record.hasDatastores || !record.datastores.empty()) {
    std::string list;
    for (const std::string& name : record.datastores) list += (list.empty() ? "" : ",") + name;
    values["datastores"] = list;
  }
  if (!record.addresses.empty()) values["addresses"] = FormatAddressList(record.addresses);
  for (const auto& owner : record.owners) values[kOwnerPrefix + owner.first] = owner.second;
  return labkv::Format(values);
}

bool ParseVMDescription(const std::string& text, VMDescription& vm, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  // An emptied file says nothing of the VM, not that it has nothing.
  if (values.empty()) {
    error = "it is empty (no key=value line)";
    return false;
  }
  VMDescription parsed;
  int64_t diskCount = 0;
  const auto count = values.find("diskCount");
  const bool counted = count != values.end() && !count->second.empty();
  if (!TakeNumber(values, "cpus", 0, INT32_MAX, parsed.cpus, error) ||
      !TakeNumber(values, "memoryMB", 0, INT64_MAX, parsed.memoryMB, error) ||
      !TakeNumber(values, "diskCount", 0, kMaxVMDisks, diskCount, error) ||
      !DiskCountAgreesWithEntries(values, counted, diskCount, error))
    return false;
  for (int64_t i = 0; i < diskCount; ++i) {
    const std::string prefix = "disk" + std::to_string(i) + ".";
    VMDisk disk;
    disk.file = Take(values, prefix + "file");
    disk.type = Take(values, prefix + "type");
    int64_t inactive = 0;
    if (!TakeNumber(values, prefix + "inactive", 0, 1, inactive, error)) return false;
    disk.inactive = inactive == 1;
    disk.mode = Take(values, prefix + "mode");
    if (!disk.mode.empty() && disk.mode != "independent" && disk.mode != "rdm") {
      error = "value of " + prefix + "mode [" + disk.mode + "] is not independent or rdm";
      return false;
    }
    int64_t deleted = 0;
    if (!TakeNumber(values, prefix + "deleted", 0, 1, deleted, error)) return false;
    disk.deleted = deleted == 1;
    // A description written before stubs recorded their backups has neither key.
    if (!TakeNumber(values, prefix + "stubJob", 0, INT64_MAX, disk.stubJob, error)) return false;
    disk.stubChangeId = Take(values, prefix + "stubChangeId");
    int64_t size = 0;
    if (!TakeNumber(values, prefix + "sizeBytes", 0, INT64_MAX, size, error)) return false;
    disk.sizeBytes = static_cast<uint64_t>(size);
    parsed.disks.push_back(disk);
  }
  int64_t configCount = 0, collectionCount = 0;
  if (!TakeNumber(values, "configCount", 0, kMaxVMDisks, configCount, error) ||
      !TakeNumber(values, "collectionCount", 0, kMaxVMDisks, collectionCount, error))
    return false;
  for (int64_t i = 0; i < configCount; ++i) {
    VMConfigFile config;
    config.file = Take(values, "config" + std::to_string(i) + ".file");
    parsed.configFiles.push_back(config);
  }
  for (int64_t i = 0; i < collectionCount; ++i) {
    const std::string prefix = "collection" + std::to_string(i) + ".";
    VMCollection collection;
    collection.folder = Take(values, prefix + "folder");
    if (!TakeNumber(values, prefix + "type", 0, INT32_MAX, collection.type, error)) return false;
    parsed.collections.push_back(collection);
  }
  parsed.name = Take(values, "name");
  parsed.guid = Take(values, "guid");
  parsed.host = Take(values, "host");
  parsed.datastore = Take(values, "datastore");
  parsed.location = Take(values, "location");
  parsed.version = Take(values, "version");
  parsed.toolsVersion = Take(values, "toolsVersion");
  parsed.powerState = Take(values, "powerState");
  parsed.guestOS = Take(values, "guestOS");
  parsed.resourcePool = Take(values, "resourcePool");
  int64_t isTemplate = 0, ignoresShutdown = 0;
  if (!TakeNumber(values, "template", 0, 1, isTemplate, error) ||
      !TakeNumber(values, "poweredOffAt", 0, INT64_MAX, parsed.poweredOffAt, error) ||
      !TakeNumber(values, "idle", 0, 1, parsed.idle, error) ||
      !TakeNumber(values, "ignoresShutdown", 0, 1, ignoresShutdown, error))
    return false;
  parsed.isTemplate = isTemplate == 1;
  parsed.ignoresShutdown = ignoresShutdown == 1;
  for (auto it = values.begin(); it != values.end();) {
    const bool option = it->first.rfind(kOptionPrefix, 0) == 0 && it->first.size() > std::strlen(kOptionPrefix);
    const bool field = it->first.rfind(kCustomFieldPrefix, 0) == 0 && it->first.size() > std::strlen(kCustomFieldPrefix);
    if (option) parsed.options[it->first.substr(std::strlen(kOptionPrefix))] = it->second;
    if (field) parsed.customFields[it->first.substr(std::strlen(kCustomFieldPrefix))] = it->second;
    it = option || field ? values.erase(it) : std::next(it);
  }
  parsed.other.swap(values);
  vm = parsed;
  return true;
}

std::string FormatVMDescription(const VMDescription& vm) {
  std::map<std::string, std::string> values = vm.other;
  values["name"] = vm.name;
  values["guid"] = vm.guid;
  values["host"] = vm.host;
  values["datastore"] = vm.datastore;
  values["location"] = vm.location;
  values["version"] = vm.version;
  values["toolsVersion"] = vm.toolsVersion;
  values["powerState"] = vm.powerState;
  values["guestOS"] = vm.guestOS;
  if (!vm.resourcePool.empty()) values["resourcePool"] = vm.resourcePool;
  if (vm.isTemplate) values["template"] = "1";
  if (vm.poweredOffAt != 0) values["poweredOffAt"] = std::to_string(vm.poweredOffAt);
  if (vm.idle != 0) values["idle"] = std::to_string(vm.idle);
  if (vm.ignoresShutdown) values["ignoresShutdown"] = "1";
  for (const auto& option : vm.options) values[kOptionPrefix + option.first] = option.second;
  for (const auto& field : vm.customFields) values[kCustomFieldPrefix + field.first] = field.second;
  values["cpus"] = std::to_string(vm.cpus);
  values["memoryMB"] = std::to_string(vm.memoryMB);
  if (!vm.configFiles.empty()) values["configCount"] = std::to_string(vm.configFiles.size());
  for (size_t i = 0; i < vm.configFiles.size(); ++i) values["config" + std::to_string(i) + ".file"] = vm.configFiles[i].file;
  if (!vm.collections.empty()) values["collectionCount"] = std::to_string(vm.collections.size());
  for (size_t i = 0; i < vm.collections.size(); ++i) {
    const std::string prefix = "collection" + std::to_string(i) + ".";
    values[prefix + "folder"] = vm.collections[i].folder;
    values[prefix + "type"] = std::to_string(vm.collections[i].type);
  }
  values["diskCount"] = std::to_string(vm.disks.size());
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    const std::string prefix = "disk" + std::to_string(i) + ".";
    values[prefix + "file"] = vm.disks[i].file;
    values[prefix + "sizeBytes"] = std::to_string(vm.disks[i].sizeBytes);
    values[prefix + "type"] = vm.disks[i].type;
    if (vm.disks[i].inactive) values[prefix + "inactive"] = "1";
    if (!vm.disks[i].mode.empty()) values[prefix + "mode"] = vm.disks[i].mode;
    if (vm.disks[i].deleted) values[prefix + "deleted"] = "1";
    if (vm.disks[i].stubJob > 0) values[prefix + "stubJob"] = std::to_string(vm.disks[i].stubJob);
    if (!vm.disks[i].stubChangeId.empty()) values[prefix + "stubChangeId"] = vm.disks[i].stubChangeId;
  }
  return labkv::Format(values);
}

std::string ServerDir(const std::string& server) {
  if (Root().empty() || !IsSafeComponent(server)) return std::string();
  return HypervisorDir() + "/" + server;
}

std::vector<std::string> ListServers() {
  std::vector<std::string> servers;
  if (Root().empty()) return servers;
  std::error_code error;
  for (std::filesystem::directory_iterator it(HypervisorDir(), error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && std::filesystem::exists(it->path() / kServerFile, ignored))
      servers.push_back(it->path().filename().string());
  }
  std::sort(servers.begin(), servers.end());
  return servers;
}

std::string DiskImagePath(const std::string& server, const std::string& relative) {
  std::string dir = ServerDir(server);
  return dir.empty() ? std::string() : dir + "/" + relative;
}

bool ServerRecordExists(const std::string& server) {
  std::string dir = ServerDir(server);
  std::error_code ignored;
  return !dir.empty() && std::filesystem::exists(dir + "/" + kServerFile, ignored);
}

bool ReadServerRecord(const std::string& server, ServerRecord& record, std::string& error) {
  std::string dir = ServerDir(server);
  std::string text;
  if (dir.empty()) {
    error = "no lab, or server [" + server + "] is not a usable name";
    return false;
  }
  if (!ReadRegularFile(dir + "/" + kServerFile, kMaxRecordBytes, text, error)) return false;
  if (ParseServerRecord(text, record, error)) return true;
  error = dir + "/" + kServerFile + ": " + error;
  return false;
}

bool WriteServerRecord(const std::string& server, const ServerRecord& record, std::string& error) {
  std::string dir = ServerDir(server);
  return labkv::WriteRecordFile(dir.empty() ? dir : dir + "/" + kServerFile, record, FormatServerRecord, ParseServerRecord,
                     error);
}

RecordRead ReadHostRecord(const std::string& server, const std::string& host, HostRecord& record,
                          std::string& error) {
  std::string path = HostPath(server, host);
  if (path.empty()) {
    error = "host [" + host + "] is not a usable name";
    return RecordRead::kMissing;
  }
  return ReadRecordFile(path, record, error, ParseHostRecord);
}

bool WriteHostRecord(const std::string& server, const std::string& host, const HostRecord& record,
                     std::string& error) {
  return labkv::WriteRecordFile(HostPath(server, host), record, FormatHostRecord, ParseHostRecord, error);
}

const std::vector<std::pair<std::string, int64_t>>& HypervisorKinds() {
  static const std::vector<std::pair<std::string, int64_t>> kinds = {
      {"vmware", 101},  {"vmware-host", 100}, {"hyperv", 102},        {"xen", 201},       {"amazon", 301},
      {"azure", 401},   {"azure-rm", 402},    {"azure-stack", 403},   {"nutanix", 501},   {"rhev", 601},
      {"openstack", 701}, {"fusioncompute", 801}, {"oraclevm", 901}, {"oraclecloud", 1101}, {"oci", 1102},
      {"google", 1301}, {"alicloud", 1401},   {"k8s", 1501}};
  return kinds;
}

int64_t HypervisorKindType(const std::string& name) {
  for (const auto& kind : HypervisorKinds())
    if (kind.first == name) return kind.second;
  return 0;
}

bool FindVM(const std::string& server, const std::string& guidOrName, VMDescription& vm) {
  if (guidOrName.empty()) return false;
  // A GUID's entry names its VM's description; a description is named by its VM's name. An entry
  // left by a VM whose GUID has changed since names a description of another GUID, and is no match.
  std::string name, error;
  const std::string guidPath = GuidPath(server, guidOrName);
  if (!guidPath.empty() && ReadOptionalFile(guidPath, kMaxRecordBytes, name, error) == ReadResult::kRead &&
      ReadVMAt(VMPath(server, name.substr(0, name.find('\n'))), guidOrName, vm))
    return true;
  return ReadVMAt(VMPath(server, guidOrName), guidOrName, vm);
}

std::vector<VMDescription> ListVMs(const std::string& server, std::vector<UnreadableVM>* unreadable) {
  std::vector<VMDescription> vms;
  const std::string dir = ServerDir(server);
  if (dir.empty()) return vms;
  std::error_code fsError;
  for (std::filesystem::directory_iterator it(dir + "/" + kVMsFolder, fsError), end; !fsError && it != end;
       it.increment(fsError)) {
    if (it->path().extension() != kVMSuffix) continue;
    std::string text, error;
    VMDescription vm;
    if (ReadRegularFile(it->path().string(), kMaxRecordBytes, text, error) && ParseVMDescription(text, vm, error))
      vms.push_back(vm);
    else if (unreadable != nullptr)
      unreadable->push_back(DescribeUnreadableVM(server, it->path().stem().string(), text, std::string(), error));
  }
  std::sort(vms.begin(), vms.end(), [](const VMDescription& a, const VMDescription& b) { return a.name < b.name; });
  if (unreadable != nullptr)
    std::sort(unreadable->begin(), unreadable->end(),
              [](const UnreadableVM& a, const UnreadableVM& b) { return a.name < b.name; });
  return vms;
}

bool WriteVMDescription(const std::string& server, const VMDescription& vm, std::string& error) {
  if (!labkv::WriteRecordFile(VMPath(server, vm.name), vm, FormatVMDescription, ParseVMDescription, error))
    return false;
  return KeepVMGuidEntry(server, vm, error);
}

bool KeepVMGuidEntry(const std::string& server, const VMDescription& vm, std::string& error) {
  const std::string path = GuidPath(server, vm.guid);
  std::string name;
  if (path.empty() || (ReadOptionalFile(path, kMaxRecordBytes, name, error) == ReadResult::kRead &&
                       name == vm.name + "\n"))
    return true;
  return WriteFileAtomic(path, vm.name + "\n", error);
}

std::string VMDescriptionPath(const std::string& server, const std::string& name) { return VMPath(server, name); }

bool VMDescriptionExists(const std::string& server, const std::string& name) {
  std::string path = VMPath(server, name);
  std::error_code ignored;
  return !path.empty() && std::filesystem::exists(path, ignored);
}

bool ParseDatastoreRecord(const std::string& text, DatastoreRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  DatastoreRecord parsed;
  if (!TakeNumber(values, "capacityBytes", 0, INT64_MAX, parsed.capacityBytes, error) ||
      !TakeNumber(values, "freeBytes", 0, INT64_MAX, parsed.freeBytes, error))
    return false;
  if (parsed.freeBytes > parsed.capacityBytes) {
    error = "freeBytes [" + std::to_string(parsed.freeBytes) + "] is above capacityBytes [" +
            std::to_string(parsed.capacityBytes) + "]";
    return false;
  }
  parsed.other.swap(values);
  record = parsed;
  return true;
}

std::string FormatDatastoreRecord(const DatastoreRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["capacityBytes"] = std::to_string(record.capacityBytes);
  values["freeBytes"] = std::to_string(record.freeBytes);
  return labkv::Format(values);
}

RecordRead ReadDatastoreRecord(const std::string& server, const std::string& datastore, DatastoreRecord& record,
                               std::string& error) {
  const std::string path = DatastorePath(server, datastore);
  if (path.empty()) {
    error = "datastore [" + datastore + "] is not a usable name";
    return RecordRead::kMissing;
  }
  return ReadRecordFile(path, record, error, ParseDatastoreRecord);
}

bool WriteDatastoreRecord(const std::string& server, const std::string& datastore, const DatastoreRecord& record,
                          std::string& error) {
  return labkv::WriteRecordFile(DatastorePath(server, datastore), record, FormatDatastoreRecord, ParseDatastoreRecord, error);
}

}  // namespace lab
