#include "platform/lab/LabFailback.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSubclient.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageTable.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxCRC32.h"

namespace lab {
namespace {

// The replication record, App::VSAReplicationInfo (30/9), and its tracking records,
// App::VSAReplicationTrakingIdInfo (30/901), as their message tables declare them.
constexpr int kAppGroup = 30;
constexpr int kReplicationType = 9;
constexpr int kTrackingType = 901;
struct Field {
  int index;
  int number;
  uint32_t check;
};
constexpr Field kBackupName{4, 10, CNCheckOf("backupName")}, kMountBackupName{5, 14, CNCheckOf("mountBackupName")},
    kSourceVMName{6, 18, CNCheckOf("sourceVMName")}, kTrackingIds{12, 27, CNCheckOf("trackingIds")};
constexpr Field kReplicaDiskName{1, 1, CNCheckOf("replicationText1")}, kTrackingId{2, 5, CNCheckOf("trackingId")},
    kInventoryPath{3, 9, CNCheckOf("replicationText9")}, kSourceIndexName{4, 13, CNCheckOf("replicationText13")},
    kTrackingIdValid{5, 17, CNCheckOf("trackingIdValid")}, kOtherVendorName{9, 27, CNCheckOf("replicaDiskText27")};

void SetText(CNMessageBase& message, const Field& field, const std::string& value) {
  message.setstring(field.index, field.number, value, message.getTagID(), field.check);
}

const char kReplicaOf[] = "replicaOf";
std::string TrackingKey(size_t disk) { return "replicaTrackingId" + std::to_string(disk); }

// A GUID of the replica's own, made from its name.
std::string ReplicaGuid(const std::string& name) {
  CPxCRC32 crc;
  crc.UpdateCRC32(name.data(), name.size());
  char guid[64];
  std::snprintf(guid, sizeof(guid), "5029f000-0000-4000-8000-%012x", crc.GetCRC32());
  return guid;
}

std::vector<std::string> LabClients() {
  std::vector<std::string> clients;
  DIR* dir = opendir(ClientsDir().c_str());
  if (dir == nullptr) return clients;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (IsSafeComponent(name) && name[0] != '.') clients.push_back(name);
  }
  closedir(dir);
  std::sort(clients.begin(), clients.end());
  return clients;
}

// The copy of an image with a change journal begun at it; the journal's id at the copy.
bool CopyDisk(const std::string& source, const std::string& copy, std::string& trackingId, std::string& error) {
  if (!MakeDirs(copy.substr(0, copy.rfind('/')))) {
    error = "cannot create the folder of " + copy;
    return false;
  }
  if (!CopyPointInTime(source, copy, nullptr, error)) return false;
  FileLock lock(copy);
  ChangeJournal journal;
  bool begun = false;
  if (!lock.Held() || !LoadOrBeginJournal(copy, journal, begun, error) ||
      !WriteFileAtomic(ChangeJournalPath(copy), FormatChangeJournal(journal), error, Durability::kDurable)) {
    if (error.empty()) error = "cannot lock " + copy;
    return false;
  }
  trackingId = CurrentChangeId(journal);
  return true;
}

std::string DiskFileName(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

std::string GetText(const CNMessageBase& message, const Field& field) {
  return message.getstring(field.index, field.number, message.getTagID(), field.check);
}

// A replication record of this replica in the same shape is the replication's own: once a failback
// read its tracking ids it marks them used, and the next failback continues from the change ids the
// last one saved rather than read again what was sent since the replica was made.
bool KeepsRecordOf(const std::string& path, const VMDescription& replica, bool crossVendor) {
  CNMessageBase record(kAppGroup, kReplicationType);
  vsXMLFile file(path);
  if (path.empty() || !file.Exists() || !file.Load(record) || GetText(record, kMountBackupName) != replica.guid)
    return false;
  const CNMessageList& tracking =
      record.getlistobject(kTrackingIds.index, kTrackingIds.number, record.getTagID(), kTrackingIds.check);
  if (tracking.empty() || !tracking.front()) return false;
  return GetText(*tracking.front(), kOtherVendorName).empty() != crossVendor;
}

// The replication record of the plan: the name the replica is backed up as, the replica to mount,
// and one tracking record per replica disk (the header describes the two shapes).
bool WriteReplicationRecord(const FailbackPlan& plan, const VMDescription& source, const VMDescription& replica,
                            std::string& error) {
  CNMessageBase record(kAppGroup, kReplicationType);
  if (record.getDecl() == nullptr) {
    error = "the replication record's message tables are not loaded";
    return false;
  }
  SetText(record, kBackupName, source.name);
  SetText(record, kMountBackupName, replica.guid);
  SetText(record, kSourceVMName, replica.name);
  const uint32_t listTag = record.getTagID();
  CNMessageList& tracking =
      record.getlistobject(kTrackingIds.index, kTrackingIds.number, listTag, kTrackingIds.check, true);
  const std::vector<std::string> clients = LabClients();
  for (size_t i = 0; i < replica.disks.size() && i < source.disks.size(); ++i) {
    if (replica.disks[i].deleted) continue;
    CNMessageBase disk(kAppGroup, kTrackingType);
    const std::string file = DiskFileName(replica.disks[i].file);
    SetText(disk, kSourceIndexName, LabDiskIndexName(i, DiskFileName(source.disks[i].file)));
    if (plan.crossVendor) {
      SetText(disk, kOtherVendorName, LabDiskIndexName(i, file));
    } else {
      // The path the failback's mount gives the disk, in the VM's folder of the subclient's job results
      // (the VM's GUID in brackets, ':' written '_') on whichever client backs it up.
      std::string guidForFiles = source.guid;
      std::replace(guidForFiles.begin(), guidForFiles.end(), ':', '_');
      std::string names;
      for (const std::string& client : clients)
        names += "|" + SubclientJobResultsDir(client, plan.appId) + "/(" + guidForFiles + ")/" + file;
      SetText(disk, kReplicaDiskName, names.substr(names.empty() ? 0 : 1));
      SetText(disk, kInventoryPath, replica.disks[i].file);
      auto id = replica.other.find(TrackingKey(i));
      if (id != replica.other.end()) {
        SetText(disk, kTrackingId, id->second);
        disk.setint64(kTrackingIdValid.index, kTrackingIdValid.number, 1, disk.getTagID(), kTrackingIdValid.check);
      }
    }
    tracking.emplace_back(disk);
  }
  vsXMLFile file(ReplicationRecordPath(plan.appId));
  if (file.Path().empty() || !file.Save(record)) {
    error = "cannot keep the replication record: " + file.LastError();
    return false;
  }
  return true;
}

}  // namespace

bool MakeReplicaVM(const std::string& server, const std::string& source, const std::string& replica,
                   std::string& error) {
  VMDescription vm;
  if (!FindVM(server, source, vm)) {
    error = "VM [" + source + "] is not on server " + server;
    return false;
  }
  if (!IsSafeComponent(replica) || VMDescriptionExists(server, replica)) {
    error = "[" + replica + "] cannot be made a replica: it is no usable name or a VM of that name exists";
    return false;
  }
  VMDescription copy = vm;
  copy.name = replica;
  copy.guid = ReplicaGuid(replica);
  copy.options.clear();
  copy.customFields.clear();
  copy.configFiles.clear();
  copy.collections.clear();
  copy.other[kReplicaOf] = vm.guid;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    VMDisk& disk = copy.disks[i];
    const std::string datastore = vm.disks[i].Datastore().empty() ? vm.datastore : vm.disks[i].Datastore();
    disk.file = "datastores/" + datastore + "/" + replica + "/" + replica + "_" + std::to_string(i) + ".img";
    if (vm.disks[i].deleted) continue;
    std::string trackingId;
    if (!CopyDisk(DiskImagePath(server, vm.disks[i].file), DiskImagePath(server, disk.file), trackingId, error))
      return false;
    copy.other[TrackingKey(i)] = trackingId;
  }
  return WriteVMDescription(server, copy, error);
}

bool MakeFailbackJob(const FailbackPlan& plan, std::string& error) {
  std::string server;
  VMDescription source, replica;
  for (const std::string& candidate : ListServers()) {
    if (FindVM(candidate, plan.source, source) && FindVM(candidate, plan.replica, replica)) {
      server = candidate;
      break;
    }
  }
  if (server.empty()) {
    error = "no server of the lab has both VM [" + plan.source + "] and its replica [" + plan.replica + "]";
    return false;
  }
  SubclientRecord subclient;
  if (ReadSubclientRecord(plan.appId, subclient, error) != RecordRead::kRead) return false;

  if (!KeepsRecordOf(ReplicationRecordPath(plan.appId), replica, plan.crossVendor) &&
      !WriteReplicationRecord(plan, source, replica, error))
    return false;

  const std::string own = subclient.settings.count("instanceId") ? subclient.settings["instanceId"] : "1";
  const std::string type = subclient.settings.count("instanceType") ? subclient.settings["instanceType"] : "101";
  const std::string destination = std::to_string(plan.destinationInstanceId);
  const std::string members = subclient.settings["memberServers"];
  const std::vector<std::pair<std::string, std::string>> values = {
      {"failbackReplicationId", std::to_string(plan.replicationId)},
      {"failbackSourceInstanceId", own},
      {"failbackDestinationInstanceId", destination},
      {"failbackSourceName", source.name},
      {"failbackDestinationName", replica.name},
      {"instanceType." + destination, plan.crossVendor ? std::to_string(kCrossVendorInstanceType) : type},
      {"memberServers." + destination, members},
  };
  for (const auto& value : values)
    if (!SetSubclientValue(plan.appId, value.first, value.second, error)) return false;
  return UpdateJobRecord(
      plan.jobId,
      [&](JobRecord& job, std::string&) {
        job.failback = true;
        job.replicationId = plan.replicationId;
        return true;
      },
      error);
}

bool ReplicaSourceOf(const std::string& replica, std::string& server, std::string& sourceGuid, std::string& error) {
  for (const std::string& candidate : ListServers()) {
    VMDescription vm;
    if (!FindVM(candidate, replica, vm)) continue;
    auto source = vm.other.find(kReplicaOf);
    if (source == vm.other.end() || source->second.empty()) {
      error = "VM [" + replica + "] is no replica: make one with quarn-lab vm LAB VM replica NAME";
      return false;
    }
    server = candidate;
    sourceGuid = source->second;
    return true;
  }
  error = "VM [" + replica + "] is on no server of the lab";
  return false;
}

bool FailbackMountedDisk(int64_t jobId, const std::string& sourceGuid, const std::string& indexName,
                         MountRecord& mount, MountedDisk& disk) {
  for (const MountRecord& candidate : ListMountRecords(jobId)) {
    VMDescription replica, source;
    if (!FindVM(candidate.server, candidate.guid, replica)) continue;
    auto of = replica.other.find(kReplicaOf);
    if (of == replica.other.end() || strcasecmp(of->second.c_str(), sourceGuid.c_str()) != 0 ||
        !FindVM(candidate.server, sourceGuid, source))
      continue;
    for (size_t i = 0; i < source.disks.size() && i < replica.disks.size(); ++i) {
      if (LabDiskIndexName(i, DiskFileName(source.disks[i].file)) != indexName) continue;
      for (const MountedDisk& mounted : candidate.disks) {
        if (mounted.source != replica.disks[i].file) continue;
        mount = candidate;
        disk = mounted;
        return true;
      }
    }
  }
  return false;
}

}  // namespace lab
