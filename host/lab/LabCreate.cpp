// quarn-lab create: builds the folders and files of a lab. Existing files are kept as they are, so
// running create again on a lab (for example with another --job) adds what is missing and loses
// nothing a test or a user has changed.
//
// Layout written:
//   clients/<client>/registry/{VirtualServer.ini,Base.ini}, Temp/, JobResults/, Log_Files/
//   subclients/<subclient>.conf          settings of the application manager (see vsAppMgr.h)
//   jobs/<job>/job.conf                  the job manager's job record and fault knobs (see vsJobMgr.h);
//                                        also read by "run": token, bkpLevel, mediaAgent, client, subclient
//   hypervisor/<server>/server.conf      type=<instance type>, hosts=<list>, datastores=<list>
//   hypervisor/<server>/vms/<vm>.vm      one VM description (below)
//   hypervisor/<server>/datastores/<ds>/<vm>/<vm>_<n>.img   raw disk images
//   media/<media agent>/   index/
//   clients/<first client>/JobResults/<subclient>/vmcollect_<job>.ztf  (vmcollect.ztf without indexing
//                                        version 2): the job's VM collect file as discovery writes it,
//                                        with a copy in the index cache under the job's id
//
// A VM description is key=value lines:
//   name=<vm name>            guid=<VM GUID>          host=<hypervisor host>   datastore=<datastore>
//   powerState=on|off         guestOS=<text>          cpus=<n>                 memoryMB=<n>
//   diskCount=<n>
//   disk<i>.file=<image path relative to the server folder>   disk<i>.sizeBytes=<n>   disk<i>.type=raw
// Disk images are sparse; their first 64 KiB hold a pattern that differs per VM, the rest reads as zeros.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <set>

#include "host/lab/LabTool.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobclient/SubclientDir.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/VirtualServerMessages.h"

namespace labtool {
namespace {

const char* const kServer = "vcenter";
const char* const kMediaAgent = "ma1";
const char* const kHosts[] = {"esx1", "esx2"};
const char* const kDatastores[] = {"ds1", "ds2"};
constexpr int kMaxVMs = 500;
constexpr int64_t kDiskBytes = 4 * 1024 * 1024;
constexpr size_t kPatternBytes = 64 * 1024;
constexpr int64_t kFirstVMClientId = 101;

struct CreatePlan {
  std::string root;
  int vms = 3;
  std::vector<std::string> clients{"coordinator", "proxyA", "proxyB"};
  std::string subclient = "1";
  int64_t jobId = 1001;
};

// Writes the file only when it does not exist yet; false when it could not be written.
bool WriteNew(const std::string& path, const std::string& content, int& kept) {
  if (FileExists(path)) {
    ++kept;
    return true;
  }
  if (!lab::WriteFileAtomic(path, content)) {
    std::fprintf(stderr, "quarn-lab: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

bool MakeDir(const std::string& path) {
  if (lab::MakeDirs(path)) return true;
  std::fprintf(stderr, "quarn-lab: cannot create folder %s\n", path.c_str());
  return false;
}

std::string VMName(int index) {
  char name[32];
  std::snprintf(name, sizeof(name), "vm%02d", index);
  return name;
}

std::string VMGuid(int index) {
  char guid[64];
  std::snprintf(guid, sizeof(guid), "50290000-0000-4000-8000-%012x", index);
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

bool WriteDiskImage(const std::string& path, int vmIndex, int& kept) {
  if (FileExists(path)) {
    ++kept;
    return true;
  }
  std::string temp = path + ".tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  if (ok) {
    std::string pattern(kPatternBytes, '\0');
    for (size_t i = 0; i < pattern.size(); ++i)
      pattern[i] = static_cast<char>((i * 31 + static_cast<size_t>(vmIndex) * 7) & 0xFF);
    ok = ftruncate(fd, kDiskBytes) == 0 &&
         pwrite(fd, pattern.data(), pattern.size(), 0) == static_cast<ssize_t>(pattern.size());
    ok = close(fd) == 0 && ok;
  }
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    std::fprintf(stderr, "quarn-lab: cannot write disk image %s\n", path.c_str());
  }
  return ok;
}

bool CreateClients(const CreatePlan& plan, int& kept) {
  for (const std::string& client : plan.clients) {
    std::string registry = lab::ClientRegistryDir(client);
    if (!MakeDir(registry) || !MakeDir(lab::ClientTempDir(client)) || !MakeDir(lab::ClientJobResultsDir(client)) ||
        !MakeDir(lab::ClientLogDir(client)))
      return false;
    // A new lab starts with the job process's own defaults written out, and a log level that shows
    // which settings keys the process looked for and did not find.
    if (!WriteNew(registry + "/VirtualServer.ini",
                  "# Settings of the section VirtualServer on " + client +
                      "\nnStartAgentThreads=4\nnAutoResumeIntervalSeconds=120\n",
                  kept) ||
        !WriteNew(registry + "/Base.ini",
                  "# Settings of the section Base on " + client + "\nnQuarnDebugLevel=2\n", kept))
      return false;
  }
  return true;
}

bool CreateSubclient(const CreatePlan& plan, int& kept) {
  if (!MakeDir(lab::SubclientsDir())) return false;
  uint64_t numericId = 0;
  std::string keyrealm = labkv::ParseUInt64(plan.subclient, numericId) ? plan.subclient : "1";
  std::string members;
  for (const std::string& client : plan.clients) members += (members.empty() ? "" : ",") + client;
  std::map<std::string, std::string> settings = {
      {"instanceType", "101"},     {"instanceId", "1"},
      {"keyrealmId", keyrealm},    {"subclientGUID", SubclientGuid(plan.subclient)},
      {"subclientName", "subclient" + plan.subclient},
      {"server", kServer},         {"memberServers", members},
      {"maxStreams", "4"},         {"transportMode", "0"},
      {"meditech", "0"},           {"proxyServerDetails", "0"},
      {"indexingV2", "1"},         {"collectFileDetails", "0"},
      {"collectFileDetailsForSnap", "0"},
      {"appAware", "0"},           {"querySettingsFails", "0"},
      {"snapFailoverHostsCode", "0"}};
  return WriteNew(lab::SubclientConfPath(plan.subclient),
                  "# Subclient " + plan.subclient + " of the lab\n" + labkv::Format(settings), kept);
}

bool CreateJob(const CreatePlan& plan, int& kept) {
  std::string dir = lab::JobDir(plan.jobId);
  if (!MakeDir(dir)) return false;
  std::map<std::string, std::string> conf = {
      {"token", "token-" + std::to_string(plan.jobId)},
      {"bkpLevel", "1"},
      {"mediaAgent", kMediaAgent},
      {"client", plan.clients.front()},
      {"subclient", plan.subclient},
      {"initFails", "0"},
      {"restart", ""},
      {"failback", "0"},
      {"opType", ""},
      {"selectedVMsOnly", "0"},
      {"autoResumeFails", "0"}};
  return WriteNew(dir + "/job.conf", "# Job " + std::to_string(plan.jobId) + " of the lab\n" + labkv::Format(conf),
                  kept);
}

bool CreateHypervisor(const CreatePlan& plan, int& kept) {
  std::string server = lab::HypervisorDir() + "/" + kServer;
  if (!MakeDir(server + "/vms")) return false;
  std::map<std::string, std::string> serverConf = {
      {"type", "101"}, {"hosts", "esx1,esx2"}, {"datastores", "ds1,ds2"}};
  if (!WriteNew(server + "/server.conf", labkv::Format(serverConf), kept)) return false;
  for (int i = 1; i <= plan.vms; ++i) {
    std::string name = VMName(i);
    std::string datastore = kDatastores[(i - 1) % 2];
    std::string diskRelative = "datastores/" + datastore + "/" + name + "/" + name + "_0.img";
    if (!MakeDir(server + "/datastores/" + datastore + "/" + name)) return false;
    if (!WriteDiskImage(server + "/" + diskRelative, i, kept)) return false;
    std::map<std::string, std::string> vm = {
        {"name", name},
        {"guid", VMGuid(i)},
        {"host", kHosts[(i - 1) % 2]},
        {"datastore", datastore},
        {"powerState", "on"},
        {"guestOS", i % 2 ? "linux" : "windows"},
        {"cpus", "2"},
        {"memoryMB", "1024"},
        {"diskCount", "1"},
        {"disk0.file", diskRelative},
        {"disk0.sizeBytes", std::to_string(kDiskBytes)},
        {"disk0.type", "raw"}};
    if (!WriteNew(server + "/vms/" + name + ".vm", labkv::Format(vm), kept)) return false;
  }
  return true;
}

// The job's VM collect file, written the way the job manager's discovery writes it: one entry per
// VM of the hypervisor, in the coordinator client's subclient folder and in the index cache.
bool CreateCollectFile(const CreatePlan& plan, int& kept) {
  using Collect = VirtualServer::VMCollect;
  std::map<std::string, std::string> settings;
  std::string error;
  if (!labkv::ReadFile(lab::SubclientConfPath(plan.subclient), settings, error)) {
    std::fprintf(stderr, "quarn-lab: %s\n", error.c_str());
    return false;
  }
  const bool indexingV2 = settings["indexingV2"] == "1";
  uint64_t subclientId = 0;
  labkv::ParseUInt64(plan.subclient, subclientId);
  lab::SetFocusClient(plan.clients.front());
  subclientFiles files;
  if (GetSubclientDirAndFiles(0, subclientId, &files, 1, nullptr) != 0) {
    std::fprintf(stderr, "quarn-lab: cannot make the subclient folder of %s\n", plan.clients.front().c_str());
    return false;
  }
  const std::string name = indexingV2 ? "vmcollect_" + std::to_string(plan.jobId) + ".ztf" : "vmcollect.ztf";
  const std::string path = std::string(files.files[0]) + "/" + name;
  vsXMLFile file(path);
  if (file.Exists()) {
    ++kept;
    return true;
  }

  VirtualServer::VMCollectList list;
  list.setint64(VirtualServer::VMCollectList::F_jobId, plan.jobId);
  CNMessageList& vms = list.getlistobject(VirtualServer::VMCollectList::F_vms, true);
  for (int i = 1; i <= plan.vms; ++i) {
    Collect vm;
    vm.setstring(Collect::F_vmName, VMName(i));
    vm.setstring(Collect::F_vmGuid, VMGuid(i));
    vm.setstring(Collect::F_vmHost, kHosts[(i - 1) % 2]);
    vm.setstring(Collect::F_serverName, kServer);
    vm.setint64(Collect::F_vmClientId, kFirstVMClientId + i - 1);
    vm.setstring(Collect::F_datastore, kDatastores[(i - 1) % 2]);
    vm.setint64(Collect::F_diskCount, 1);
    vm.setint64(Collect::F_vmSize, kDiskBytes);
    vm.setstring(Collect::F_datacenter, "dc1");
    vm.setint64(Collect::F_vmJobId, plan.jobId);
    vm.setint64(Collect::F_subclientId, static_cast<int64_t>(subclientId));
    vm.setstring(Collect::F_subclientGuid, settings["subclientGUID"]);
    vms.emplace_back(vm);
  }
  if (!file.Save(list)) {
    std::fprintf(stderr, "quarn-lab: cannot write %s: %s\n", path.c_str(), file.LastError().c_str());
    return false;
  }
  vsIndexClient index(nullptr, nullptr, kMediaAgent);
  if (index.UploadMetadataFiles({path}, plan.jobId, settings["subclientGUID"]) != 1) {
    std::fprintf(stderr, "quarn-lab: cannot put %s in the index cache: %s\n", name.c_str(),
                 index.GetLastError().c_str());
    return false;
  }
  return true;
}

}  // namespace

int Create(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, {"vms", "clients", "subclient", "job"}, parsed, error)) return UsageError(error);
  if (parsed.positional.size() != 1 || !parsed.passThrough.empty())
    return UsageError("create takes exactly one lab folder");

  CreatePlan plan;
  plan.root = AbsolutePath(parsed.positional[0]);
  if (parsed.options.count("vms")) {
    int64_t vms = 0;
    if (!labkv::ParseInt64(parsed.options["vms"], vms) || vms < 0 || vms > kMaxVMs)
      return UsageError("--vms must be a number from 0 to " + std::to_string(kMaxVMs));
    plan.vms = static_cast<int>(vms);
  }
  if (parsed.options.count("clients")) {
    plan.clients = labkv::SplitList(parsed.options["clients"]);
    std::set<std::string> seen;
    for (const std::string& client : plan.clients) {
      if (!lab::IsSafeComponent(client)) return UsageError("client name '" + client + "' is not usable");
      if (!seen.insert(client).second) return UsageError("client '" + client + "' is named twice");
    }
    if (plan.clients.empty()) return UsageError("--clients names no client");
  }
  if (parsed.options.count("subclient")) {
    plan.subclient = parsed.options["subclient"];
    if (!lab::IsSafeComponent(plan.subclient)) return UsageError("subclient id '" + plan.subclient + "' is not usable");
  }
  if (parsed.options.count("job")) {
    if (!labkv::ParseInt64(parsed.options["job"], plan.jobId) || plan.jobId <= 0)
      return UsageError("--job must be a positive number");
  }

  if (!MakeDir(plan.root)) return kExitFailed;
  lab::SetRoot(plan.root);
  int kept = 0;
  bool ok = CreateClients(plan, kept) && CreateSubclient(plan, kept) && CreateJob(plan, kept) &&
            CreateHypervisor(plan, kept) && MakeDir(lab::MediaDir() + "/" + kMediaAgent) && MakeDir(lab::IndexDir()) &&
            CreateCollectFile(plan, kept);
  if (!ok) return kExitFailed;
  std::printf("lab %s: %zu clients, subclient %s, job %lld, %d VMs on %s", plan.root.c_str(), plan.clients.size(),
              plan.subclient.c_str(), static_cast<long long>(plan.jobId), plan.vms, kServer);
  if (kept > 0) std::printf(" (%d existing files kept)", kept);
  std::printf("\n");
  return kExitOk;
}

}  // namespace labtool
