// Storage-array snapshots over the lab (platform/lab/LabArraySnap.h): the pre-snapshot quiesces the
// guests and takes point-in-time copies of their disks and configuration files under the snapshot
// job's id, the post-snapshot lets the guests go, later jobs mount the snapshot on their proxies, and
// a VM mounted for a snapshot-based job reads the snapshot's copies instead of its live images.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "platform/lab/Lab.h"
#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/LabVMInfo.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

constexpr int kErrSnapshotFailed = 3005;  // the copies or the snapshot's records could not be made
constexpr const char* kNoDatastore = "nodatastore";

int64_t SnapJobOf(const MountCtx& ctx) {
  return static_cast<int64_t>(ctx.snapBackupJobId != 0 ? ctx.snapBackupJobId : ctx.jobId);
}

std::string MetadataFileName(int64_t snapJobId) { return "backup_" + std::to_string(snapJobId) + ".xml"; }

// A snapshot's metadata file: the snapshot job and the datastores it holds.
VirtualServer::VMSnapBackup SnapshotMetadata(int64_t snapJobId, const std::vector<std::string>& datastores) {
  VirtualServer::VMSnapBackup metadata;
  VirtualServer::Backup backup;
  backup.setint64(VirtualServer::Backup::F_backupJobId, snapJobId);
  auto* list = backup.getObject<VirtualServer::VMDatastoreList>(VirtualServer::Backup::F_backupDatastores, true);
  for (const std::string& name : datastores) {
    VirtualServer::VMDatastoreInfo datastore;
    datastore.setstring(VirtualServer::VMDatastoreInfo::F_datastore, name);
    list->getlistobject(VirtualServer::VMDatastoreList::F_datastores, true).emplace_back(datastore);
  }
  metadata.getlistobject(VirtualServer::VMSnapBackup::F_backups, true).emplace_back(backup);
  return metadata;
}

// The datastore a file of the lab lies on: the folder after "datastores/" of a live image, or the
// folder a snapshot keeps its copies of that datastore in.
std::string DatastoreOfPath(const std::string& path) {
  const std::string marker = "/datastores/";
  const size_t at = path.find(marker);
  if (at != std::string::npos) {
    const size_t start = at + marker.size();
    return path.substr(start, path.find('/', start) - start);
  }
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return kNoDatastore;
  const size_t before = path.rfind('/', slash - 1);
  return path.substr(before == std::string::npos ? 0 : before + 1, slash - (before == std::string::npos ? 0 : before + 1));
}

}  // namespace

bool LabVMInfo::ReadArraySnap(const MountCtx& ctx, std::string& server, lab::ArraySnapRecord& record) {
  if (!FindServer(server)) return false;
  const int64_t snapJob = SnapJobOf(ctx);
  std::string error;
  switch (lab::ReadArraySnapRecord(server, snapJob, record, error)) {
    case lab::RecordRead::kRead:
      return true;
    case lab::RecordRead::kMissing:
      Fail(kErrNotFound, "No storage snapshot of job " + std::to_string(snapJob));
      return false;
    default:
      Fail(kErrUnreadable, "Cannot read the storage snapshot of job " + std::to_string(snapJob) + ": " + error);
      return false;
  }
}

void LabVMInfo::NotifySnapshotOperation(int reason, const lab::VMDescription& vm, int state, int64_t duration) {
  SCallbackSnapshotOperationArgs args;
  args.vmGuid = vm.guid;
  args.vmName = vm.name;
  args.state = state;
  args.value1 = duration;
  InvokeCallback(reason, &args);
}

bool LabVMInfo::SnapshotVM(const std::string& server, int64_t snapJob, const lab::VMDescription& vm,
                           lab::MountRecord& record) {
  if (Faulted("vminfo.SnapshotVM", vm.guid)) return false;
  const std::string folder = lab::ArraySnapVMFolder(server, snapJob, vm.guid);
  if (folder.empty()) {
    Fail(kErrSnapshotFailed, "VM [" + vm.name + "] has a GUID that cannot name a folder");
    return false;
  }
  record = lab::MountRecord();
  record.vm = vm.name;
  record.guid = vm.guid;
  record.server = server;
  record.mountPath = folder;
  record.state = "snapshot";
  std::string error;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    const lab::VMDisk& disk = vm.disks[i];
    const std::string datastore = disk.Datastore().empty() ? kNoDatastore : disk.Datastore();
    const std::string dir = folder + "/" + datastore;
    const std::string copy = dir + "/" + CPxPath::GetFileName(disk.file);
    lab::MountedDisk taken;
    // A view left by a snapshot of this job that never finished is replaced, never taken as this one.
    if (!lab::MakeDirs(dir) || !lab::TakeSnapshot(lab::DiskImagePath(server, disk.file), copy, taken.changeId, error)) {
      Fail(kErrSnapshotFailed, "Cannot snapshot disk [" + disk.file + "] of VM [" + vm.name + "]: " + error);
      return false;
    }
    taken.indexName = lab::LabDiskIndexName(i, disk.file);
    taken.source = disk.file;
    taken.copy = copy;
    taken.datastore = disk.Datastore();
    taken.sizeBytes = disk.sizeBytes;
    record.disks.push_back(taken);
  }
  for (size_t i = 0; i < vm.configFiles.size(); ++i) {
    const std::string dir = folder + "/config" + std::to_string(i);
    const std::string copy = dir + "/" + CPxPath::GetFileName(vm.configFiles[i].file);
    unlink(copy.c_str());
    if (!lab::MakeDirs(dir) ||
        !lab::CopyPointInTime(lab::DiskImagePath(server, vm.configFiles[i].file), copy, nullptr, error)) {
      Fail(kErrSnapshotFailed, "Cannot snapshot file [" + vm.configFiles[i].file + "] of VM [" + vm.name + "]: " + error);
      return false;
    }
    record.configs.push_back(lab::MountedFile{vm.configFiles[i].file, copy});
  }
  if (!lab::WriteArraySnapVM(server, snapJob, record, error)) {
    Fail(kErrSnapshotFailed, "Cannot record the snapshot of VM [" + vm.name + "]: " + error);
    return false;
  }
  return true;
}

namespace {

// A guest's quiesce for its snapshot: one whose file system cannot be quiesced is still taken,
// crash-consistent, and says why.
lab::ArraySnapVM QuiesceForSnapshot(const lab::VMDescription& vm) {
  lab::ArraySnapVM entry;
  entry.guid = vm.guid;
  entry.name = vm.name;
  lab::FaultCall call;
  call.op = "vminfo.Quiesce";
  call.vm = vm.guid;
  lab::Fault fault;
  if (lab::CheckFault(call, fault)) {
    entry.quiesceStatus = fault.code;
    entry.quiesceError = fault.text.empty() ? "The guest file system could not be quiesced" : fault.text;
  } else {
    entry.quiesced = true;
  }
  return entry;
}

std::string DatastoreOf(const lab::VMDisk& disk) { return disk.Datastore().empty() ? kNoDatastore : disk.Datastore(); }

std::string LowerText(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The VMs a context's snapshot concerns (lower-case GUIDs): those its pre-snapshot saw, and the VMs
// it was asked for. Each proxy of a job snapshots, lets go and describes its own VMs only.
std::set<std::string> VMsOfContext(const MountCtx& ctx) {
  std::set<std::string> guids;
  for (const auto& entry : ctx.vmInfoMap) guids.insert(LowerText(entry.first));
  for (const SVMBasicInfo& basic : ctx.vmBasicInfos)
    if (!basic.vmGuid.empty()) guids.insert(LowerText(basic.vmGuid));
  return guids;
}

bool Concerns(const std::set<std::string>& guids, const std::string& guid) {
  return guids.empty() || guids.count(LowerText(guid)) != 0;
}

}  // namespace

int LabVMInfo::PreSnap(MountCtx& ctx) {
  std::string server;
  if (!FindServer(server)) return 0;
  const int64_t snapJob = SnapJobOf(ctx);
  // The VMs as the snapshot will see them, known before anything is taken: a failure afterwards
  // still names every VM it concerns.
  std::vector<lab::VMDescription> vms;
  std::map<std::string, VMInfoStructs::SVMInfo> seen;
  for (const SVMBasicInfo& basic : ctx.vmBasicInfos) {
    lab::VMDescription vm;
    if (!lab::FindVM(server, basic.vmGuid.empty() ? basic.vmName : basic.vmGuid, vm)) continue;
    VMInfoStructs::SVMInfo info;
    info.field01 = vm.name;
    info.guid = vm.guid;
    info.host = vm.host;
    info.datastore = vm.datastore;
    info.clientId = basic.clientId;
    seen[vm.guid] = info;
    vms.push_back(vm);
  }
  ctx.vmInfoMap = seen;
  {
    ZtMutexLock lock(mutex_);
    snapFailures_.clear();
  }
  bool taken = false;
  std::string failedVM;
  if (Faulted("vminfo.PreSnap"))
    taken = false;
  else if (snapJob <= 0)
    Fail(kErrSnapshotFailed, "No job to take the storage snapshot for");
  else if (vms.empty())
    Fail(kErrNotFound, "None of the VMs to snapshot was found");
  else
    taken = TakeArraySnapshot(ctx, server, snapJob, vms, failedVM);
  if (!taken) {
    // The library answers for each VM of a failed snapshot: the VM it failed on with its failure,
    // every other VM with the snapshot's, which names what could not be taken.
    ZtMutexLock lock(mutex_);
    for (const auto& entry : seen) {
      Failure failure = last_;
      if (!failedVM.empty() && entry.first != failedVM)
        failure.text = "The storage snapshot of the job was not taken: " + last_.text;
      snapFailures_[entry.first] = failure;
    }
    return 0;
  }
  Succeed();
  return 1;
}

bool LabVMInfo::TakeArraySnapshot(MountCtx& ctx, const std::string& server, int64_t snapJob,
                                  const std::vector<lab::VMDescription>& vms, std::string& failedVM) {
  lab::ArraySnapRecord snapshot;
  std::map<std::string, std::vector<std::string>> vmsByDatastore;
  for (const lab::VMDescription& vm : vms) {
    const lab::ArraySnapVM entry = QuiesceForSnapshot(vm);
    snapshot.vms.push_back(entry);
    VMInfoStructs::SVMInfo& info = ctx.vmInfoMap[vm.guid];
    info.quiesceStatus = static_cast<int32_t>(entry.quiesceStatus);
    info.quiesceErrorText = entry.quiesceError;
    for (const lab::VMDisk& disk : vm.disks) {
      const std::string datastore = DatastoreOf(disk);
      std::vector<std::string>& onIt = vmsByDatastore[datastore];
      if (onIt.empty()) snapshot.datastores.push_back(datastore);
      if (std::find(onIt.begin(), onIt.end(), vm.guid) == onIt.end()) onIt.push_back(vm.guid);
    }
  }

  // The guests are held quiesced from here until the post-snapshot: the record says so before the
  // first copy is taken, so that a snapshot that fails half-way still shows whom it holds. Another
  // proxy's VMs of the same job stay as its own pre-snapshot left them.
  std::string error;
  if (!lab::MergeIntoArraySnapRecord(server, snapJob, snapshot, error)) {
    Fail(kErrSnapshotFailed, "Cannot record the storage snapshot: " + error);
    return false;
  }
  const time_t started = ZtClock::NowSeconds();
  for (const lab::VMDescription& vm : vms) NotifySnapshotOperation(IVMInfo::kCallbackSnapshotCreate, vm, 0, 0);
  for (size_t i = 0; i < vms.size(); ++i) {
    lab::MountRecord copies;
    if (!SnapshotVM(server, snapJob, vms[i], copies)) {
      failedVM = vms[i].guid;
      return false;
    }
    NotifySnapshotOperation(IVMInfo::kCallbackSnapshotCreate, vms[i], 100,
                            static_cast<int64_t>(ZtClock::NowSeconds() - started));
    SCallbackUpdateProgressBarArgs progress;
    progress.percent = static_cast<int32_t>((i + 1) * 100 / vms.size());
    InvokeCallback(IVMInfo::kCallbackProgress, &progress);
  }
  // The hypervisor snapshots the array snapshot was taken through go again at once.
  for (const lab::VMDescription& vm : vms) {
    NotifySnapshotOperation(IVMInfo::kCallbackSnapshotDelete, vm, 0, 0);
    NotifySnapshotOperation(IVMInfo::kCallbackSnapshotDelete, vm, 100, 0);
  }
  lab::AppendArraySnapLog(server, "snapshot " + lab::FocusClient() + " " + std::to_string(snapJob) + " " +
                                      std::to_string(vms.size()));

  ctx.snapVolumes.clear();
  for (const std::string& name : snapshot.datastores) {
    SVolSnap volume;
    volume.datastore.name = name;
    for (const std::string& guid : vmsByDatastore[name]) {
      VMInfoStructs::SVMInfo onIt;
      onIt.guid = guid;
      volume.datastore.vms.push_back(onIt);
    }
    ctx.snapVolumes.push_back(volume);
  }
  ctx.snapReferenceTime = static_cast<int64_t>(started);
  return true;
}

bool LabVMInfo::SnapshotVMForMount(const std::string& server, MountCtx& ctx, const lab::VMDescription& vm,
                                   std::map<std::string, std::string>& copyFrom) {
  const int64_t snapJob = SnapJobOf(ctx);
  const time_t taken = ZtClock::NowSeconds();
  lab::ArraySnapRecord part;
  part.perVM = true;
  lab::ArraySnapVM entry = QuiesceForSnapshot(vm);
  // The guest is let go as soon as its own snapshot is taken.
  entry.quiesced = false;
  part.vms.push_back(entry);
  for (const lab::VMDisk& disk : vm.disks) {
    if (std::find(part.datastores.begin(), part.datastores.end(), DatastoreOf(disk)) == part.datastores.end())
      part.datastores.push_back(DatastoreOf(disk));
  }
  lab::MountRecord copies;
  std::string error;
  if (snapJob <= 0) {
    Fail(kErrSnapshotFailed, "No job to take the snapshot of VM [" + vm.name + "] for");
    return false;
  }
  if (!SnapshotVM(server, snapJob, vm, copies)) return false;
  if (!lab::MergeIntoArraySnapRecord(server, snapJob, part, error)) {
    Fail(kErrSnapshotFailed, "Cannot record the snapshot of VM [" + vm.name + "]: " + error);
    return false;
  }
  lab::AppendArraySnapLog(server, "snapshot " + lab::FocusClient() + " " + std::to_string(snapJob) + " 1");
  ctx.snapVolumes.clear();
  for (const std::string& name : part.datastores) {
    SVolSnap onIt;
    onIt.datastore.name = name;
    VMInfoStructs::SVMInfo member;
    member.guid = vm.guid;
    onIt.datastore.vms.push_back(member);
    ctx.snapVolumes.push_back(onIt);
  }
  ctx.snapReferenceTime = static_cast<int64_t>(taken);
  for (const lab::MountedDisk& disk : copies.disks) copyFrom[disk.source] = disk.copy;
  for (const lab::MountedFile& file : copies.configs) copyFrom[file.source] = file.copy;
  return true;
}

int LabVMInfo::PostSnap(MountCtx& ctx) {
  std::string server;
  if (!FindServer(server)) return 0;
  const int64_t snapJob = SnapJobOf(ctx);
  // A failed post-snapshot still lets its guests go (the library thaws whatever it froze), but the
  // snapshot is left unfinished: no later job mounts it.
  const bool faulted = Faulted("vminfo.PostSnap");
  std::string why;
  {
    ZtMutexLock lock(mutex_);
    why = last_.text.empty() ? "the post-snapshot failed (" + std::to_string(last_.code) + ")" : last_.text;
  }
  std::replace(why.begin(), why.end(), '\n', ' ');
  lab::ArraySnapRecord existing;
  std::string error;
  if (lab::ReadArraySnapRecord(server, snapJob, existing, error) == lab::RecordRead::kMissing) {
    // Nothing was taken (a pre-snapshot that failed before its first step): nothing is held.
    if (faulted) return 0;
    Succeed();
    return 1;
  }
  const std::set<std::string> mine = VMsOfContext(ctx);
  const bool released = lab::UpdateArraySnapRecord(
      server, snapJob,
      [&](lab::ArraySnapRecord& record, std::string&) {
        for (lab::ArraySnapVM& vm : record.vms)
          if (Concerns(mine, vm.guid)) vm.quiesced = false;
        if (faulted && record.unfinished.empty()) record.unfinished = why;
        return true;
      },
      error);
  if (!released) return Fail(kErrNotFound, "Cannot release the guests of the storage snapshot: " + error);
  lab::AppendArraySnapLog(server, "release " + lab::FocusClient() + " " + std::to_string(snapJob));
  // The rule's failure stands as the library's error.
  if (faulted) return 0;
  Succeed();
  return 1;
}

int LabVMInfo::GetSnapBackupInfo(MountCtx& ctx, std::vector<std::string>& files, int perVM) {
  if (Faulted("vminfo.GetSnapBackupInfo", ctx.vmGuid)) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  const int64_t snapJob = SnapJobOf(ctx);
  // A VM's own file: what the snapshot holds of it, for the VM's later copies to find.
  if (perVM != 0 && !ctx.vmGuid.empty()) {
    lab::MountRecord record;
    std::string error;
    files.clear();
    if (lab::ReadArraySnapVM(server, snapJob, ctx.vmGuid, record, error) != lab::RecordRead::kRead) {
      Succeed();
      return 1;
    }
    if (ctx.subclientDir.empty() || !lab::IsSafeComponent(ctx.vmGuid))
      return Fail(kErrNotFound, "No folder for the snapshot file of VM [" + ctx.vmGuid + "]");
    const std::string path = ctx.subclientDir + "/VMSnap_" + ctx.vmGuid + "_" + std::to_string(snapJob) + ".snap";
    if (!lab::WriteFileAtomic(path, lab::FormatMountRecord(record), error))
      return Fail(kErrSnapshotFailed, "Cannot write the snapshot file of VM [" + ctx.vmGuid + "]: " + error);
    files.push_back(path);
    Succeed();
    return 1;
  }
  const std::string dir = lab::ArraySnapDir(server, snapJob);
  std::string error;
  if (ctx.isSnapToTape && !files.empty()) {
    // An earlier snapshot's files, fetched into the subclient folder.
    for (const std::string& name : files) {
      if (!lab::IsSafeComponent(name) || dir.empty() || ctx.subclientDir.empty())
        return Fail(kErrNotFound, "File [" + name + "] of snapshot job " + std::to_string(snapJob) + " is not usable");
      if (!lab::CopyFileAtomic(dir + "/" + name, ctx.subclientDir + "/" + name, error))
        return Fail(kErrNotFound, "Cannot fetch [" + name + "] of snapshot job " + std::to_string(snapJob) + ": " + error);
    }
    Succeed();
    return 1;
  }
  // A later job of the snapshot lists the file it fetched; only the snapshot's own job writes it.
  if (!ctx.isSnapBackup) {
    const std::string fetched = ctx.subclientDir + "/" + MetadataFileName(snapJob);
    files.clear();
    if (!ctx.subclientDir.empty() && CPxFile::Exists(fetched)) files.push_back(fetched);
    Succeed();
    return 1;
  }
  lab::ArraySnapRecord snapshot;
  if (!ReadArraySnap(ctx, server, snapshot)) return 0;
  // This proxy's file describes the datastores of its own VMs (the coordinator merges the proxies'
  // files); the array keeps one of the whole snapshot.
  const std::set<std::string> mine = VMsOfContext(ctx);
  std::vector<std::string> ownDatastores;
  for (const lab::ArraySnapVM& vm : snapshot.vms) {
    lab::MountRecord copies;
    if (!Concerns(mine, vm.guid) || lab::ReadArraySnapVM(server, snapJob, vm.guid, copies, error) != lab::RecordRead::kRead)
      continue;
    for (const lab::MountedDisk& disk : copies.disks) {
      const std::string name = disk.datastore.empty() ? kNoDatastore : disk.datastore;
      if (std::find(ownDatastores.begin(), ownDatastores.end(), name) == ownDatastores.end())
        ownDatastores.push_back(name);
    }
  }
  std::string folder = !ctx.snapshotFolder.empty() ? ctx.snapshotFolder : ctx.subclientDir;
  if (folder.empty()) return Fail(kErrNotFound, "No folder for the snapshot's metadata file");
  if (folder.back() != '/') folder += '/';
  const std::string path = folder + MetadataFileName(snapJob);
  vsXMLFile file(path);
  vsXMLFile kept(dir + "/" + MetadataFileName(snapJob));
  if (!lab::MakeDirs(folder.substr(0, folder.size() - 1)) || !file.Save(SnapshotMetadata(snapJob, ownDatastores)) ||
      !kept.Save(SnapshotMetadata(snapJob, snapshot.datastores)))
    return Fail(kErrSnapshotFailed, "Cannot write the snapshot's metadata file [" + path + "]");
  files.assign(1, path);
  Succeed();
  return 1;
}

int LabVMInfo::GetVMSnapBackupInfo(const MountCtx& ctx, std::string& text) {
  if (Faulted("vminfo.GetVMSnapBackupInfo", ctx.vmGuid)) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::MountRecord record;
  std::string error;
  if (lab::ReadArraySnapVM(server, SnapJobOf(ctx), ctx.vmGuid, record, error) != lab::RecordRead::kRead)
    return Fail(kErrNotFound, "VM [" + ctx.vmGuid + "] is not in the storage snapshot");
  text = lab::FormatMountRecord(record);
  Succeed();
  return 1;
}

int LabVMInfo::MountSnap(MountCtx& ctx) {
  if (Faulted("vminfo.MountSnap")) return 0;
  std::string server;
  lab::ArraySnapRecord snapshot;
  if (!ReadArraySnap(ctx, server, snapshot)) return 0;
  const int64_t snapJob = SnapJobOf(ctx);
  const int64_t jobId = static_cast<int64_t>(ctx.jobId);
  if (!snapshot.unfinished.empty())
    return Fail(kErrSnapshotFailed,
                "The storage snapshot of job " + std::to_string(snapJob) + " was never finished: " + snapshot.unfinished);
  // Mounted once per proxy and job, however often it is asked.
  if (!lab::IsArraySnapMounted(server, snapJob, lab::FocusClient(), jobId) &&
      !lab::AppendArraySnapMount(server, snapJob, lab::FocusClient(), jobId, ctx.mountPath))
    return Fail(kErrSnapshotFailed, "Cannot record the mount of the storage snapshot of job " + std::to_string(snapJob));
  Succeed();
  return 1;
}

int LabVMInfo::UnmountSnap(MountCtx& ctx) {
  if (Faulted("vminfo.UnmountSnap")) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  const int64_t snapJob = SnapJobOf(ctx);
  const int64_t jobId = static_cast<int64_t>(ctx.jobId);
  if (lab::IsArraySnapMounted(server, snapJob, lab::FocusClient(), jobId) &&
      !lab::AppendArraySnapUnmount(server, snapJob, lab::FocusClient(), jobId))
    return Fail(kErrSnapshotFailed, "Cannot record the unmount of the storage snapshot of job " + std::to_string(snapJob));
  Succeed();
  return 1;
}

uint32_t LabVMInfo::GetArchiveFileId(const MountCtx& ctx, const std::string& fileName, DiskType_t) {
  if (Faulted("vminfo.GetArchiveFileId", ctx.vmGuid)) return 0;
  if (fileName.empty()) return static_cast<uint32_t>(Fail(kErrNotFound, "No file to find the archive file of"));
  // One archive file per datastore of the snapshot.
  const std::string key = std::to_string(SnapJobOf(ctx)) + ":" + DatastoreOfPath(fileName);
  CPxCRC32 crc;
  crc.UpdateCRC32(key.data(), key.size());
  Succeed();
  return (crc.GetCRC32() & 0x7FFFFFFFu) | 1u;
}

int LabVMInfo::SetVMSnapFailure(const std::string& vmGuid, int quiesceStatus, const std::string& details) {
  if (Faulted("vminfo.SetVMSnapFailure", vmGuid)) return 0;
  ZtMutexLock lock(mutex_);
  Failure failure;
  auto known = snapFailures_.find(vmGuid);
  if (known != snapFailures_.end()) failure = known->second;
  if (!details.empty()) failure.text = details;
  if (quiesceStatus != 0) failure.code = quiesceStatus;
  if (failure.text.empty())
    failure.text = quiesceStatus != 0 ? "The guest file system could not be quiesced (" + std::to_string(quiesceStatus) +
                                            ")"
                                      : "The storage snapshot of the VM failed";
  if (failure.code == 0) failure.code = kErrSnapshotFailed;
  if (failure.eventId == 0) failure.eventId = kFailureEvent;
  last_ = failure;
  return 1;
}

int LabVMInfo::ResetFailure(int) {
  if (Faulted("vminfo.ResetFailure")) return 0;
  Succeed();
  return 1;
}

int LabVMInfo::GetLocalHostInfo(VMInfoStructs::SHostInfo& info) {
  if (Faulted("vminfo.GetLocalHostInfo")) return 0;
  return GetProxyHostInfo(info);
}

int LabVMInfo::AddDiskForMetadata(const MountCtx& ctx) {
  if (Faulted("vminfo.AddDiskForMetadata", ctx.vmGuid)) return 0;
  Succeed();
  return 1;
}

namespace {

// The snapshot job a file of the metadata cache names for the VM: "VMSnap_<GUID>_<job>.snap" (the
// VM's own file) or "backup_<job>.xml" (the job's metadata, which a Microsoft hypervisor's snapshot
// keeps for each of its VMs); 0 when the name is neither.
int64_t SnapshotJobNamed(const std::string& name, const std::string& guid) {
  struct Pattern {
    std::string prefix, suffix;
  };
  const Pattern patterns[] = {{"VMSnap_" + guid + "_", ".snap"}, {"backup_", ".xml"}};
  for (const Pattern& pattern : patterns) {
    const size_t fixed = pattern.prefix.size() + pattern.suffix.size();
    int64_t job = 0;
    if (name.size() > fixed && name.compare(0, pattern.prefix.size(), pattern.prefix) == 0 &&
        name.compare(name.size() - pattern.suffix.size(), pattern.suffix.size(), pattern.suffix) == 0 &&
        labkv::ParseInt64InRange(name.substr(pattern.prefix.size(), name.size() - fixed), 1, INT64_MAX, job))
      return job;
  }
  return 0;
}

// The snapshot a VM of a later job is read from: the context's snapshot job, or (where the context
// names the VM's own job within it, with the second indexing generation) the snapshot job a file of
// the VM's metadata cache names, when that snapshot holds the VM.
int64_t SnapshotJobOfVM(const std::string& server, const MountCtx& ctx) {
  const int64_t named = SnapJobOf(ctx);
  lab::ArraySnapRecord record;
  std::string error;
  if (ctx.snapMetadataCacheDir.empty() || lab::ReadArraySnapRecord(server, named, record, error) != lab::RecordRead::kMissing)
    return named;
  std::vector<std::string> names;
  CPxDirectory::List(ctx.snapMetadataCacheDir, names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const int64_t job = SnapshotJobNamed(name, ctx.vmGuid);
    lab::MountRecord copies;
    if (job != 0 && lab::ReadArraySnapVM(server, job, ctx.vmGuid, copies, error) == lab::RecordRead::kRead) return job;
  }
  return named;
}

}  // namespace

bool LabVMInfo::ArraySnapSources(const std::string& server, const MountCtx& ctx,
                                 std::map<std::string, std::string>& copyFrom) {
  const int64_t snapJob = SnapshotJobOfVM(server, ctx);
  const int64_t jobId = static_cast<int64_t>(ctx.jobId);
  lab::ArraySnapRecord snapshot;
  std::string error;
  const bool recorded = lab::ReadArraySnapRecord(server, snapJob, snapshot, error) == lab::RecordRead::kRead;
  if (snapJob != jobId && recorded && !snapshot.unfinished.empty()) {
    Fail(kErrSnapshotFailed,
         "The storage snapshot of job " + std::to_string(snapJob) + " was never finished: " + snapshot.unfinished);
    return false;
  }
  // A later job reads an array snapshot only where its proxy mounted it; a VM's own snapshot is
  // mounted by the VM's mount.
  if (snapJob != jobId && !(recorded && snapshot.perVM) &&
      !lab::IsArraySnapMounted(server, snapJob, lab::FocusClient(), jobId)) {
    Fail(kErrNotFound, "The storage snapshot of job " + std::to_string(snapJob) + " is not mounted on this proxy");
    return false;
  }
  lab::MountRecord copies;
  if (lab::ReadArraySnapVM(server, snapJob, ctx.vmGuid.empty() ? ctx.vmName : ctx.vmGuid, copies, error) !=
      lab::RecordRead::kRead) {
    Fail(kErrNotFound, "VM [" + ctx.vmGuid + "] is not in the storage snapshot of job " + std::to_string(snapJob));
    return false;
  }
  // The views stay the snapshot's: the VM's unmount leaves them.
  for (const lab::MountedDisk& disk : copies.disks) copyFrom[disk.source] = disk.copy;
  for (const lab::MountedFile& file : copies.configs) copyFrom[file.source] = file.copy;
  return true;
}

bool LabVMInfo::SetFileMount(const MountCtx& ctx, bool mounted) {
  lab::MountRecord record;
  std::string server, error;
  if (!ReadMount(ctx, server, record)) return false;
  if (mounted && record.state != "mounted") {
    Fail(kErrNotFound, "VM [" + ctx.vmGuid + "] is not mounted");
    return false;
  }
  record.other["fileMount"] = mounted ? "mounted" : "unmounted";
  if (!lab::WriteMountRecord(server, static_cast<int64_t>(ctx.jobId), record, error)) {
    Fail(kErrSnapshotFailed, "Cannot record the volume mount of VM [" + record.vm + "]: " + error);
    return false;
  }
  return true;
}
