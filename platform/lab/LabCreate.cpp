#include "platform/lab/LabCreate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/jobclient/JobToken.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabSubclient.h"
#include "platform/lab/LabTasks.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/vsXMLFile.h"

namespace lab {
namespace {

const char* const kServer = "vcenter";
const char* const kMediaAgent = "ma1";
// Client ids: the media agent's, and the first of the clients' in the plan's order.
constexpr int64_t kMediaAgentClientId = 1;
constexpr int64_t kFirstProxyClientId = 2;
const char* const kHosts[] = {"esx1", "esx2"};
const char* const kDatastores[] = {"ds1", "ds2"};
// The size of a sample VM's disk by its position (see LabPlan::disksPerVM and diskBytes).
uint64_t SampleDiskBytes(int64_t position) {
  return position == 0 ? 4 * 1024 * 1024 : 3 * 1024 * 1024 + 512 * static_cast<uint64_t>(position);
}
uint64_t DiskBytes(const LabPlan& plan, int64_t position) {
  return plan.diskBytes > 0 ? plan.diskBytes : SampleDiskBytes(position);
}

// A sample VM's disk at its position: the size of the file it starts as, else the planned size.
uint64_t PlannedDiskBytes(const LabPlan& plan, int64_t position) {
  if (plan.diskImages.empty()) return DiskBytes(plan, position);
  struct stat st;
  return stat(plan.diskImages[static_cast<size_t>(position)].c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size)
                                                                                : 0;
}

constexpr size_t kPatternBytes = 64 * 1024;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool MakeDir(const std::string& path, std::string& error) {
  if (MakeDirs(path)) return true;
  error = "cannot create folder " + path;
  return false;
}

// Writes a record only when its file does not exist yet.
bool WriteNew(const std::string& path, const std::string& text, int& kept, std::string& error) {
  if (Exists(path)) {
    ++kept;
    return true;
  }
  return WriteFileAtomic(path, text, error);
}

std::string VMName(int64_t index) { return SampleVMName(index); }

std::string VMGuid(int64_t index) {
  char guid[64];
  std::snprintf(guid, sizeof(guid), "50290000-0000-4000-8000-%012llx", static_cast<unsigned long long>(index));
  return guid;
}

// Stable for a given id, so that recreating a lab gives the subclient the same GUID.
std::string SubclientGuid(const std::string& subclient) {
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : subclient) hash = (hash ^ c) * 1099511628211ULL;
  char guid[64];
  std::snprintf(guid, sizeof(guid), "5c1e%04x-%04x-4%03x-8%03x-%012llx", static_cast<unsigned>(hash >> 48),
                static_cast<unsigned>((hash >> 32) & 0xFFFF), static_cast<unsigned>((hash >> 20) & 0xFFF),
                static_cast<unsigned>((hash >> 8) & 0xFFF), static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFULL));
  return guid;
}

bool CreateClients(const LabPlan& plan, int& kept, std::string& error) {
  for (size_t i = 0; i < plan.clients.size(); ++i) {
    MachineRecord machine = plan.machine;
    machine.hostName = plan.clients[i];
    machine.addresses = {{"10.0.0." + std::to_string(11 + i), "255.255.255.0"}};
    if (!CreateClient(plan.clients[i], machine, kFirstProxyClientId + static_cast<int64_t>(i), kept, error)) return false;
  }
  return true;
}

// The media agent is a client too: the id its streams are reserved under.
bool CreateMediaAgent(int& kept, std::string& error) {
  return MakeDir(MediaAgentDir(kMediaAgent), error) && MakeDir(ClientRegistryDir(kMediaAgent), error) &&
         WriteNew(SettingsPath(kMediaAgent, "Base"),
                  std::string("# The media agent ") + kMediaAgent + "\nnClientId=" + std::to_string(kMediaAgentClientId) +
                      "\n",
                  kept, error);
}

bool CreateSubclient(const LabPlan& plan, int& kept, std::string& error) {
  if (!MakeDir(SubclientsDir(), error)) return false;
  if (Exists(SubclientConfPath(plan.subclient))) {
    ++kept;
    return true;
  }
  uint64_t numericId = 0;
  std::string members;
  for (const std::string& client : plan.clients) members += (members.empty() ? "" : ",") + client;
  SubclientRecord record;
  record.settings = {{"instanceType", std::to_string(plan.instanceType)},
                     {"instanceId", "1"},
                     {"keyrealmId", labkv::ParseUInt64(plan.subclient, numericId) ? plan.subclient : "1"},
                     {"subclientGUID", SubclientGuid(plan.subclient)},
                     {"subclientName", "subclient" + plan.subclient},
                     {"server", kServer},
                     {"memberServers", members},
                     {"maxStreams", "4"},
                     {"transportMode", "0"},
                     {"meditech", "0"},
                     {"proxyServerDetails", "0"},
                     {"indexingV2", "1"},
                     // The sample hypervisor tracks changed blocks (change ids, platform/lab/LabDisks.h).
                     {"useCBT", "1"},
                     {"collectFileDetails", "0"},
                     {"collectFileDetailsForSnap", "0"},
                     {"appAware", "0"}};
  return WriteSubclientRecord(plan.subclient, record, error);
}

// Client id and job of the index-V2 job manager's own job (its "pseudo job") of a sample VM.
constexpr int64_t kFirstSampleVMClientId = 101;
int64_t SampleVMClientId(int64_t index) { return kFirstSampleVMClientId + index - 1; }
int64_t SampleVMJobId(const LabPlan& plan, int64_t index) { return plan.jobId * 1000 + index; }

}  // namespace

std::string SampleJobToken(int64_t jobId) {
  constexpr unsigned long kCommCell = 2, kFirstAttempt = 1, kBackupPhase = 4;
  return constructJobToken(jobId, kCommCell, kFirstAttempt, kBackupPhase);
}

namespace {

bool CreateJob(const LabPlan& plan, int& kept, std::string& error) {
  if (JobRecordExists(plan.jobId)) {
    ++kept;
    return true;
  }
  JobRecord record;
  record.streams = plan.streams >= 0 ? plan.streams : static_cast<int64_t>(plan.clients.size());
  record.token = SampleJobToken(plan.jobId);
  record.mediaAgent = kMediaAgent;
  record.client = plan.clients.front();
  record.subclient = plan.subclient;
  record.timeScale = plan.timeScale;
  record.bkpLevel = plan.level;
  // The subclient indexes by VM (index V2): every VM of the job runs as a job of its own.
  for (int64_t i : PlannedVMNumbers(plan))
    record.other["vm." + std::to_string(SampleVMClientId(i)) + ".jobId"] = std::to_string(SampleVMJobId(plan, i));
  return WriteJobRecord(plan.jobId, record, error);
}

std::string DiskPattern(int64_t vmIndex) {
  std::string pattern(kPatternBytes, '\0');
  for (size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<char>((i * 31 + static_cast<size_t>(vmIndex) * 7) & 0xFF);
  return pattern;
}

// Every sample datastore starts with 2 TiB of which 1.5 TiB are free.
bool CreateDatastoreFigures(int& kept, std::string& error) {
  for (const char* name : kDatastores) {
    DatastoreRecord existing;
    if (ReadDatastoreRecord(kServer, name, existing, error) != RecordRead::kMissing) {
      ++kept;
      continue;
    }
    DatastoreRecord record;
    record.capacityBytes = 2LL << 40;
    record.freeBytes = 3LL << 39;
    if (!WriteDatastoreRecord(kServer, name, record, error)) return false;
  }
  return true;
}

// A disk's image: a copy of the file the plan gives for its position (holes kept), else the sample
// pattern at the disk's size.
bool MakeDiskImage(const LabPlan& plan, int64_t vmIndex, int64_t position, uint64_t sizeBytes, const std::string& image,
                   std::string& error) {
  if (position < static_cast<int64_t>(plan.diskImages.size()))
    return CopyImageAtomic(plan.diskImages[static_cast<size_t>(position)], image, error);
  return WriteImageAtomic(image, DiskPattern(vmIndex + position * 1000), sizeBytes, error);
}

bool CreateHypervisor(const LabPlan& plan, int& kept, std::string& error) {
  const std::string server = ServerDir(kServer);
  if (!MakeDir(server + "/vms", error)) return false;
  if (ServerRecordExists(kServer)) {
    ++kept;
  } else {
    ServerRecord serverRecord;
    serverRecord.type = plan.instanceType;
    serverRecord.hosts = {kHosts[0], kHosts[1]};
    serverRecord.datastores = {kDatastores[0], kDatastores[1]};
    if (!WriteServerRecord(kServer, serverRecord, error)) return false;
  }
  if (!CreateDatastoreFigures(kept, error)) return false;
  for (int64_t i : PlannedVMNumbers(plan)) {
    const std::string name = VMName(i);
    const std::string datastore = kDatastores[(i - 1) % 2];
    std::vector<VMDisk> disks;
    for (int64_t d = 0; d < plan.disksPerVM; ++d) {
      VMDisk disk;
      disk.file = "datastores/" + datastore + "/" + name + "/" + name + "_" + std::to_string(d) + ".img";
      disk.sizeBytes = PlannedDiskBytes(plan, d);
      disk.type = "raw";
      disks.push_back(disk);
    }
    // A VM that is there keeps its disks as they are: a stub's deleted disks stay deleted, a moved VM's
    // lie elsewhere; only an image its description still has and that is gone is made again. One whose
    // description does not read keeps every file it has: which of its disks are gone is not known.
    VMDescription existing;
    std::string text, unreadable;
    const bool exists = VMDescriptionExists(kServer, name);
    const bool described =
        exists && ReadFile(VMDescriptionPath(kServer, name), text) && ParseVMDescription(text, existing, unreadable);
    for (size_t d = 0; d < (described ? existing.disks.size() : exists ? 0 : disks.size()); ++d) {
      const VMDisk& disk = described ? existing.disks[d] : disks[d];
      if (disk.deleted) continue;
      const std::string image = DiskImagePath(kServer, disk.file);
      if (!MakeDir(image.substr(0, image.rfind('/')), error)) return false;
      if (Exists(image)) {
        ++kept;
      } else if (!MakeDiskImage(plan, i, static_cast<int64_t>(d), disk.sizeBytes, image, error)) {
        return false;
      }
    }
    if (exists) {
      ++kept;
      VMDescription existing;
      if (FindVM(kServer, name, existing) && !KeepVMGuidEntry(kServer, existing, error)) return false;
      continue;
    }
    VMDescription vm;
    vm.name = name;
    vm.guid = VMGuid(i);
    vm.host = kHosts[(i - 1) % 2];
    vm.datastore = datastore;
    vm.powerState = "on";
    vm.guestOS = i % 2 ? "linux" : "windows";
    vm.resourcePool = std::string("/lab/host/") + vm.host + "/Resources";
    vm.cpus = 2;
    vm.memoryMB = 1024;
    vm.disks = disks;
    if (!WriteVMDescription(kServer, vm, error)) return false;
  }
  return true;
}

// A field of the collect file's messages (VirtualServer::VMCollectList and VMCollect).
struct CollectField {
  int index;
  int number;
  uint32_t check;
};
constexpr int kVirtualServerGroup = 26;
constexpr int kCollectListType = 28;
constexpr int kCollectType = 27;
constexpr uint32_t kCollectListTag = 0x1A4F75B1;
constexpr CollectField kListJobId{1, 1, 0x09AD98}, kListVMs{2, 2, 0x7FFFF5};
constexpr CollectField kName{1, 1, 0x80C9E2}, kGuid{2, 5, 0x7D69C0}, kHost{3, 9, 0x776522},
    kServerName{4, 13, 0x3904DA}, kClientId{6, 21, 0xFD021D}, kDatastore{8, 23, 0x92F280},
    kDiskCount{10, 28, 0xEA4E90}, kSize{11, 29, 0x2FE535}, kDatacenter{21, 54, 0x0EF2B6},
    kVMJobId{23, 62, 0x664541}, kSubclientId{24, 63, 0xE81AA5}, kSubclientGuid{32, 77, 0x7A11BD},
    kIndexStubData{12, 30, 0xFDC6C9}, kIndexDatastore{13, 34, 0x060C46}, kIndexResourcePool{14, 38, 0x496A1B},
    kIndexDeleteTime{15, 42, 0x2EB51A};

void SetText(CNMessageBase& message, const CollectField& field, const std::string& value) {
  message.setstring(field.index, field.number, value, message.getTagID(), field.check);
}
void SetNumber(CNMessageBase& message, const CollectField& field, int64_t value) {
  message.setint64(field.index, field.number, value, message.getTagID(), field.check);
}

// The job's VM collect file, as the job manager's discovery leaves it: one entry per sample VM, in the
// first client's folder of the subclient and its "SNAP" folder (where a storage-snapshot job or
// catalogue looks) and, under the job's id, in the index cache.
bool CreateCollectFile(const LabPlan& plan, int& kept, std::string& error) {
  SubclientRecord subclient;
  if (ReadSubclientRecord(plan.subclient, subclient, error) != RecordRead::kRead) return false;
  const bool indexingV2 = subclient.settings["indexingV2"] == "1";
  const std::string guid = subclient.settings["subclientGUID"];
  const std::string name = indexingV2 ? "vmcollect_" + std::to_string(plan.jobId) + ".ztf" : "vmcollect.ztf";
  const std::string folder = SubclientJobResultsDir(plan.clients.front(), plan.subclient);
  const std::string cache = IndexJobDir(guid, plan.jobId, error);
  if (folder.empty() || cache.empty() || !MakeDir(folder, error) || !MakeDir(folder + "/SNAP", error) ||
      !MakeDir(cache, error))
    return false;
  vsXMLFile file(folder + "/" + name);
  if (file.Exists()) {
    ++kept;
    return true;
  }
  CNMessageBase list(kVirtualServerGroup, kCollectListType);
  if (list.getTagID() != kCollectListTag || list.getDecl() == nullptr) {
    error = "the collect file's message tables are not loaded";
    return false;
  }
  uint64_t subclientId = 0;
  labkv::ParseUInt64(plan.subclient, subclientId);
  SetNumber(list, kListJobId, plan.jobId);
  CNMessageList& vms = list.getlistobject(kListVMs.index, kListVMs.number, kCollectListTag, kListVMs.check, true);
  std::map<std::string, VMDescription> descriptions;
  std::vector<UnreadableVM> unreadable;
  for (VMDescription& vm : ListVMs(kServer, &unreadable)) descriptions[vm.name] = vm;
  // A VM whose description does not read is the hypervisor's still, as discovery lists it: the job looks
  // for it, and says why it cannot back it up. Its disks are not known.
  for (const UnreadableVM& vm : unreadable) descriptions[vm.name].name = vm.name;
  for (int64_t i : PlannedVMNumbers(plan)) {
    if (!descriptions.count(VMName(i))) {
      error = "the lab has no VM " + VMName(i);
      return false;
    }
    const VMDescription& description = descriptions[VMName(i)];
    uint64_t vmBytes = 0;
    for (const VMDisk& disk : description.disks) vmBytes += disk.sizeBytes;
    CNMessageBase vm(kVirtualServerGroup, kCollectType);
    SetText(vm, kName, VMName(i));
    SetText(vm, kGuid, VMGuid(i));
    SetText(vm, kHost, kHosts[(i - 1) % 2]);
    SetText(vm, kServerName, kServer);
    SetNumber(vm, kClientId, SampleVMClientId(i));
    SetText(vm, kDatastore, kDatastores[(i - 1) % 2]);
    SetNumber(vm, kDiskCount, static_cast<int64_t>(description.disks.size()));
    SetNumber(vm, kSize, static_cast<int64_t>(vmBytes));
    SetText(vm, kDatacenter, "dc1");
    SetNumber(vm, kVMJobId, SampleVMJobId(plan, i));
    SetNumber(vm, kSubclientId, static_cast<int64_t>(subclientId));
    SetText(vm, kSubclientGuid, guid);
    // Discovery hands each job what the index last knew of the VM's stub record, so that one job's
    // stub update reaches the next.
    IndexStubRecord stub;
    if (!ReadIndexStubRecord(guid, VMGuid(i), stub, error)) return false;
    SetText(vm, kIndexStubData, stub.stubData);
    SetText(vm, kIndexDatastore, stub.datastore);
    SetText(vm, kIndexResourcePool, stub.resourcePool);
    SetText(vm, kIndexDeleteTime, stub.deleteTime != 0 ? std::to_string(stub.deleteTime) : std::string());
    vms.emplace_back(vm);
  }
  std::string xml;
  if (!list.serialize(xml, false) || !WriteFileAtomic(cache + "/" + name, xml, error) ||
      !WriteFileAtomic(folder + "/SNAP/" + name, xml, error) || !WriteFileAtomic(file.Path(), xml, error))
    return false;
  return true;
}

bool CheckDiskImages(const LabPlan& plan, std::string& error) {
  if (plan.diskImages.empty()) return true;
  if (plan.diskImages.size() != static_cast<size_t>(plan.disksPerVM)) {
    error = "a sample VM has " + std::to_string(plan.disksPerVM) + " disks but " +
            std::to_string(plan.diskImages.size()) + " disk images are given";
    return false;
  }
  for (const std::string& path : plan.diskImages) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      error = "disk image " + path + " is no regular file";
      return false;
    }
    if (st.st_size == 0 || static_cast<uint64_t>(st.st_size) % kSectorBytes != 0) {
      error = "disk image " + path + " is no whole number of " + std::to_string(kSectorBytes) + "-byte sectors";
      return false;
    }
  }
  return true;
}

}  // namespace

const char* SampleServer() { return kServer; }

std::string SampleVMGuid(int64_t index) { return VMGuid(index); }

std::string SampleVMName(int64_t number) {
  char name[32];
  std::snprintf(name, sizeof(name), "vm%02lld", static_cast<long long>(number));
  return name;
}

std::vector<int64_t> PlannedVMNumbers(const LabPlan& plan) {
  if (!plan.vmNumbers.empty()) return plan.vmNumbers;
  std::vector<int64_t> numbers;
  for (int64_t i = 1; i <= plan.vms; ++i) numbers.push_back(i);
  return numbers;
}

const char* SampleMediaAgent() { return kMediaAgent; }

bool CreateClient(const std::string& client, const MachineRecord& machine, int64_t clientId, int& kept,
                  std::string& error) {
  if (!MakeDir(ClientRegistryDir(client), error) || !MakeDir(ClientTempDir(client), error) ||
      !MakeDir(ClientJobResultsDir(client), error) || !MakeDir(ClientLogDir(client), error))
    return false;
  // A new lab starts with the job process's own defaults written out, and a log level that shows
  // which settings keys the process looked for and did not find.
  if (!WriteNew(SettingsPath(client, "VirtualServer"),
                "# Settings of the section VirtualServer on " + client +
                    "\nnStartAgentThreads=4\nnAutoResumeIntervalSeconds=120\n",
                kept, error) ||
      !WriteNew(SettingsPath(client, "Base"),
                "# Settings of the section Base on " + client + "\nnQuarnDebugLevel=2\nnClientId=" +
                    std::to_string(clientId) + "\n",
                kept, error))
    return false;
  MachineRecord existing;
  std::string ignored;
  if (ReadMachineRecord(client, existing, ignored) != RecordRead::kMissing) {
    ++kept;
    return true;
  }
  return WriteMachineRecord(client, machine, error);
}

bool CheckLabPlan(const LabPlan& plan, std::string& error) {
  if (plan.vms < 0 || plan.vms > kMaxLabVMs) {
    error = "the number of VMs must be from 0 to " + std::to_string(kMaxLabVMs);
    return false;
  }
  for (int64_t number : plan.vmNumbers) {
    if (number < 1 || number > kMaxLabVMs) {
      error = "a sample VM's number must be from 1 to " + std::to_string(kMaxLabVMs);
      return false;
    }
  }
  if (plan.level < 1 || plan.level > INT32_MAX) {
    error = "the backup level must be a number from 1";
    return false;
  }
  if (plan.disksPerVM < 1 || plan.disksPerVM > kMaxPlanDisks) {
    error = "a sample VM has from 1 to " + std::to_string(kMaxPlanDisks) + " disks";
    return false;
  }
  if (plan.clients.empty() || plan.clients.size() > kMaxLabClients) {
    error = "a lab has from 1 to " + std::to_string(kMaxLabClients) + " clients";
    return false;
  }
  std::set<std::string> seen;
  for (const std::string& client : plan.clients) {
    if (!IsSafeComponent(client) || !IsSafeArgument(client)) {
      error = "client name '" + client + "' is not usable";
      return false;
    }
    if (!seen.insert(client).second) {
      error = "client '" + client + "' is named twice";
      return false;
    }
  }
  if (!IsSafeComponent(plan.subclient + ".conf") || !IsSafeArgument(plan.subclient)) {
    error = "subclient id '" + plan.subclient + "' is not usable";
    return false;
  }
  if (plan.jobId <= 0) {
    error = "the job id must be a positive number";
    return false;
  }
  if (plan.timeScale < 1 || plan.timeScale > kMaxTimeScale) {
    error = "the time scale must be from 1 to " + std::to_string(kMaxTimeScale);
    return false;
  }
  if (plan.diskBytes % kSectorBytes != 0 || plan.diskBytes > kMaxPlanDiskBytes ||
      (plan.diskBytes > 0 && plan.diskBytes < static_cast<uint64_t>(kPatternBytes))) {
    error = "a disk's size must be a whole number of sectors from " + std::to_string(kPatternBytes) + " bytes to " +
            std::to_string(kMaxPlanDiskBytes) + " bytes";
    return false;
  }
  if (plan.streams < -1 || plan.streams > kMaxJobStreams) {
    error = "a job is granted 0 to " + std::to_string(kMaxJobStreams) + " streams";
    return false;
  }
  if (!CheckDiskImages(plan, error)) return false;
  MachineRecord machine = plan.machine;
  std::string text;
  return labkv::StorableText(machine, FormatMachineRecord, ParseMachineRecord, text, error);
}

std::vector<int64_t> SampleVMNumbersOfJob(int64_t jobId) {
  JobRecord record;
  std::string error;
  std::set<int64_t> numbers;
  if (!ReadJobRecord(jobId, record, error)) return {};
  for (const auto& value : record.other) {
    const std::string& key = value.first;
    int64_t clientId = 0;
    if (key.size() <= 9 || key.compare(0, 3, "vm.") != 0 || key.compare(key.size() - 6, 6, ".jobId") != 0 ||
        !labkv::ParseInt64InRange(key.substr(3, key.size() - 9), kFirstSampleVMClientId,
                                  kFirstSampleVMClientId + kMaxLabVMs - 1, clientId))
      continue;
    numbers.insert(clientId - kFirstSampleVMClientId + 1);
  }
  return std::vector<int64_t>(numbers.begin(), numbers.end());
}

std::vector<std::string> SampleVMsOfJob(int64_t jobId) {
  std::vector<std::string> names;
  for (int64_t number : SampleVMNumbersOfJob(jobId)) names.push_back(VMName(number));
  return names;
}

int64_t NewestJob(const std::string& subclient, bool unreadableMayBeIts) {
  const std::vector<int64_t> jobs = ListJobs();
  for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
    if (*job >= kFirstServerJobId) continue;
    JobRecord record;
    std::string error;
    if (ReadJobRecord(*job, record, error)) {
      if (subclient.empty() || SubclientOfRecord(record) == subclient) return *job;
    } else if (unreadableMayBeIts && JobRecordExists(*job)) {
      return *job;
    }
  }
  return 0;
}

bool ReadLabPlan(LabPlan& plan, std::string& error) {
  if (!IsLab(Root())) {
    error = "no lab at " + Root();
    return false;
  }
  LabPlan read = plan;
  SubclientRecord subclient;
  if (ReadSubclientRecord(read.subclient, subclient, error) == RecordRead::kRead) {
    const std::vector<std::string> members = labkv::SplitList(subclient.settings["memberServers"]);
    if (!members.empty()) read.clients = members;
    int64_t instanceType = 0;
    if (labkv::ParseInt64InRange(subclient.settings["instanceType"], 1, INT64_MAX, instanceType))
      read.instanceType = instanceType;
  }
  // A subclient's first job takes the settings of the lab's newest job.
  int64_t newest = NewestJob(read.subclient);
  if (newest == 0) newest = NewestJob(std::string());
  JobRecord job;
  if (newest > 0 && ReadJobRecord(newest, job, error)) {
    read.timeScale = job.timeScale;
    read.streams = job.streams;
    // The job process runs on the first client.
    auto first = std::find(read.clients.begin(), read.clients.end(), job.client);
    if (first != read.clients.end()) std::rotate(read.clients.begin(), first, first + 1);
  }
  // Every sample VM the server has, whatever is missing between them: a VM deleted from the
  // hypervisor leaves the job's other VMs in it.
  std::map<std::string, VMDescription> byName;
  std::vector<UnreadableVM> unreadableVMs;
  for (VMDescription& vm : ListVMs(kServer, &unreadableVMs)) byName[vm.name] = vm;
  // One whose description does not read is a VM of the hypervisor still, and of the job; the disks of the
  // first that reads are the lab's.
  std::set<std::string> unreadable;
  for (const UnreadableVM& vm : unreadableVMs) unreadable.insert(vm.name);
  read.vmNumbers.clear();
  VMDescription first;
  bool firstRead = false;
  for (int64_t i = 1; i <= kMaxLabVMs; ++i) {
    auto vm = byName.find(VMName(i));
    const bool reads = vm != byName.end();
    if (!reads && !unreadable.count(VMName(i))) continue;
    if (reads && !firstRead) {
      first = vm->second;
      firstRead = true;
    }
    read.vmNumbers.push_back(i);
  }
  read.vms = static_cast<int64_t>(read.vmNumbers.size());
  if (!read.vmNumbers.empty() && !first.disks.empty()) {
    read.disksPerVM = std::min<int64_t>(static_cast<int64_t>(first.disks.size()), kMaxPlanDisks);
    bool sample = true, alike = true;
    for (size_t d = 0; d < first.disks.size(); ++d) {
      sample = sample && first.disks[d].sizeBytes == SampleDiskBytes(static_cast<int64_t>(d));
      alike = alike && first.disks[d].sizeBytes == first.disks[0].sizeBytes;
    }
    if (!sample && alike) read.diskBytes = first.disks[0].sizeBytes;
  }
  plan = read;
  return true;
}

bool CreateLab(const std::string& root, const LabPlan& plan, int& kept, std::string& error) {
  if (!CheckLabPlan(plan, error) || !MakeDir(root, error)) return false;
  SetRoot(root);
  return CreateClients(plan, kept, error) && CreateSubclient(plan, kept, error) && CreateJob(plan, kept, error) &&
         CreateHypervisor(plan, kept, error) && CreateMediaAgent(kept, error) &&
         MakeDir(IndexDir(), error) && CreateCollectFile(plan, kept, error);
}

}  // namespace lab
