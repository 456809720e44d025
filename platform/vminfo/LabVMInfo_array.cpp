// Storage-array snapshots over the lab (platform/lab/LabArraySnap.h): the pre-snapshot quiesces the
// guests and takes point-in-time copies of their disks and configuration files under the snapshot
// job's id, the post-snapshot lets the guests go, later jobs mount the snapshot on their proxies, and
// a VM mounted for a snapshot-based job reads the snapshot's copies instead of its live images.
#include <unistd.h>

#include <algorithm>
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
  if (Faulted("vminfo.PreSnap")) {
    // The library answers for each VM of a failed snapshot with the snapshot's failure.
    ZtMutexLock lock(mutex_);
    for (const auto& entry : seen) snapFailures_[entry.first] = last_;
    return 0;
  }
  if (snapJob <= 0) return Fail(kErrSnapshotFailed, "No job to take the storage snapshot for");
  if (vms.empty()) return Fail(kErrNotFound, "None of the VMs to snapshot was found");

  lab::ArraySnapRecord snapshot;
  std::set<std::string> datastores;
  std::map<std::string, std::vector<std::string>> vmsByDatastore;
  for (size_t i = 0; i < vms.size(); ++i) {
    const lab::VMDescription& vm = vms[i];
    lab::ArraySnapVM entry;
    entry.guid = vm.guid;
    entry.name = vm.name;
    // A guest whose file system cannot be quiesced is still taken, crash-consistent; it says why.
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
    snapshot.vms.push_back(entry);
    VMInfoStructs::SVMInfo& info = ctx.vmInfoMap[vm.guid];
    info.quiesceStatus = static_cast<int32_t>(entry.quiesceStatus);
    info.quiesceErrorText = entry.quiesceError;
    for (const lab::VMDisk& disk : vm.disks) {
      const std::string datastore = disk.Datastore().empty() ? kNoDatastore : disk.Datastore();
      if (datastores.insert(datastore).second) snapshot.datastores.push_back(datastore);
      std::vector<std::string>& onIt = vmsByDatastore[datastore];
      if (std::find(onIt.begin(), onIt.end(), vm.guid) == onIt.end()) onIt.push_back(vm.guid);
    }
  }

  // The guests are held quiesced from here until the post-snapshot: the record says so before the
  // first copy is taken, so that a snapshot that fails half-way still shows whom it holds.
  std::string error;
  if (!lab::WriteArraySnapRecord(server, snapJob, snapshot, error))
    return Fail(kErrSnapshotFailed, "Cannot record the storage snapshot: " + error);
  const time_t started = ZtClock::NowSeconds();
  for (const lab::VMDescription& vm : vms) NotifySnapshotOperation(IVMInfo::kCallbackSnapshotCreate, vm, 0, 0);
  for (size_t i = 0; i < vms.size(); ++i) {
    lab::MountRecord copies;
    if (!SnapshotVM(server, snapJob, vms[i], copies)) return 0;
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
  Succeed();
  return 1;
}

int LabVMInfo::PostSnap(MountCtx& ctx) {
  if (Faulted("vminfo.PostSnap")) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  const int64_t snapJob = SnapJobOf(ctx);
  std::string error;
  const bool released = lab::UpdateArraySnapRecord(
      server, snapJob,
      [](lab::ArraySnapRecord& record, std::string&) {
        for (lab::ArraySnapVM& vm : record.vms) vm.quiesced = false;
        return true;
      },
      error);
  if (!released) return Fail(kErrNotFound, "Cannot release the guests of the storage snapshot: " + error);
  lab::AppendArraySnapLog(server, "release " + lab::FocusClient() + " " + std::to_string(snapJob));
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
  VirtualServer::VMSnapBackup metadata;
  VirtualServer::Backup backup;
  backup.setint64(VirtualServer::Backup::F_backupJobId, snapJob);
  auto* list = backup.getObject<VirtualServer::VMDatastoreList>(VirtualServer::Backup::F_backupDatastores, true);
  for (const std::string& name : snapshot.datastores) {
    VirtualServer::VMDatastoreInfo datastore;
    datastore.setstring(VirtualServer::VMDatastoreInfo::F_datastore, name);
    list->getlistobject(VirtualServer::VMDatastoreList::F_datastores, true).emplace_back(datastore);
  }
  metadata.getlistobject(VirtualServer::VMSnapBackup::F_backups, true).emplace_back(backup);
  std::string folder = !ctx.snapshotFolder.empty() ? ctx.snapshotFolder : ctx.subclientDir;
  if (folder.empty()) return Fail(kErrNotFound, "No folder for the snapshot's metadata file");
  if (folder.back() != '/') folder += '/';
  const std::string path = folder + MetadataFileName(snapJob);
  vsXMLFile file(path);
  vsXMLFile kept(dir + "/" + MetadataFileName(snapJob));
  if (!lab::MakeDirs(folder.substr(0, folder.size() - 1)) || !file.Save(metadata) || !kept.Save(metadata))
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

// The snapshot a VM of a later job is read from: the context's snapshot job, or (where the context
// names the VM's own job within it, with the second indexing generation) the job the VM's snapshot
// file in the metadata cache names: "VMSnap_<GUID>_<snapshot job>.snap".
int64_t SnapshotJobOfVM(const std::string& server, const MountCtx& ctx) {
  const int64_t named = SnapJobOf(ctx);
  lab::ArraySnapRecord record;
  std::string error;
  if (ctx.snapMetadataCacheDir.empty() || lab::ReadArraySnapRecord(server, named, record, error) != lab::RecordRead::kMissing)
    return named;
  std::vector<std::string> names;
  CPxDirectory::List(ctx.snapMetadataCacheDir, names);
  const std::string prefix = "VMSnap_" + ctx.vmGuid + "_";
  for (const std::string& name : names) {
    int64_t job = 0;
    if (name.compare(0, prefix.size(), prefix) == 0 && name.size() > prefix.size() + 5 &&
        name.compare(name.size() - 5, 5, ".snap") == 0 &&
        labkv::ParseInt64InRange(name.substr(prefix.size(), name.size() - prefix.size() - 5), 1, INT64_MAX, job))
      return job;
  }
  return named;
}

}  // namespace

bool LabVMInfo::ArraySnapSources(const std::string& server, const MountCtx& ctx,
                                 std::map<std::string, std::string>& copyFrom) {
  const int64_t snapJob = SnapshotJobOfVM(server, ctx);
  const int64_t jobId = static_cast<int64_t>(ctx.jobId);
  // A later job reads the snapshot only where its proxy mounted it.
  if (snapJob != jobId && !lab::IsArraySnapMounted(server, snapJob, lab::FocusClient(), jobId)) {
    Fail(kErrNotFound, "The storage snapshot of job " + std::to_string(snapJob) + " is not mounted on this proxy");
    return false;
  }
  std::string error;
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
