// A VM's mount over the lab: point-in-time copies of its disks in the mount-path folder.
#include <unistd.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int kErrMountFailed = 3003;     // the copies or the mount's record could not be made
constexpr DiskType_t kLabDiskType = 1;    // a flat image
constexpr int64_t kConfigHeaderKind = 4;  // what configuration-file items carry in their headers

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path under the server folder made only of usable names: a description cannot point elsewhere.
bool IsContainedPath(const std::string& relative) {
  if (relative.empty() || relative[0] == '/') return false;
  for (size_t start = 0; start <= relative.size();) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    if (!lab::IsSafeComponent(relative.substr(start, slash - start))) return false;
    start = slash + 1;
  }
  return true;
}

std::string Label(const MountCtx& ctx) { return ctx.vmGuid.empty() ? ctx.vmName : ctx.vmGuid; }

}  // namespace

std::string LabVMInfo::MountCleanupString(const std::string& server, int64_t jobId, const std::string& guid) {
  return "labmount:" + server + ":" + std::to_string(jobId) + ":" + guid;
}

bool LabVMInfo::ReadMount(const MountCtx& ctx, std::string& server, lab::MountRecord& record) {
  if (!FindServer(server)) return false;
  std::string error;
  switch (lab::ReadMountRecord(server, static_cast<int64_t>(ctx.jobId), ctx.vmGuid, record, error)) {
    case lab::RecordRead::kRead: return true;
    case lab::RecordRead::kMissing:
      Fail(kErrNotFound, "VM [" + Label(ctx) + "] is not mounted");
      return false;
    default:
      Fail(kErrUnreadable, "Cannot read the mount of VM [" + Label(ctx) + "]: " + error);
      return false;
  }
}

bool LabVMInfo::CopyVM(const std::string& server, const lab::VMDescription& vm, const std::string& mountPath,
                       bool checksums, lab::MountRecord& record) {
  std::vector<std::pair<std::string, std::string>> copies;  // source, copy
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    if (!IsContainedPath(vm.disks[i].file)) {
      Fail(kErrMountFailed, "Disk image [" + vm.disks[i].file + "] of VM [" + vm.name + "] is not a usable path");
      return false;
    }
    copies.emplace_back(lab::DiskImagePath(server, vm.disks[i].file), mountPath + "/" + BaseName(vm.disks[i].file));
  }
  copies.emplace_back(lab::VMDescriptionPath(server, vm.name), mountPath + "/" + vm.name + ".vm");
  if (!lab::MakeDirs(mountPath)) {
    Fail(kErrMountFailed, "Cannot create the mount path [" + mountPath + "]");
    return false;
  }
  for (size_t i = 0; i < copies.size(); ++i) {
    // A copy left by a mount that never ended is replaced, never read as this one.
    unlink(copies[i].second.c_str());
    std::string sha;
    std::string error;
    const bool disk = i < vm.disks.size();
    // A disk's copy takes its change journal with it, so its change id describes the copy's bytes.
    const bool copied = disk ? lab::CopyDiskPointInTime(copies[i].first, copies[i].second, checksums ? &sha : nullptr, error)
                             : lab::CopyPointInTime(copies[i].first, copies[i].second, nullptr, error);
    if (!copied) {
      for (size_t made = 0; made < i; ++made) unlink(copies[made].second.c_str());
      Fail(kErrMountFailed, "Cannot mount VM [" + vm.name + "]: " + error);
      return false;
    }
    if (!disk) {
      record.configCopy = copies[i].second;
      continue;
    }
    lab::MountedDisk mounted;
    mounted.indexName = lab::LabDiskIndexName(i, vm.disks[i].file);
    mounted.source = vm.disks[i].file;
    mounted.copy = copies[i].second;
    mounted.datastore = vm.disks[i].Datastore();
    mounted.sizeBytes = vm.disks[i].sizeBytes;
    mounted.sha256 = sha;
    record.disks.push_back(mounted);
  }
  return true;
}

int LabVMInfo::MountVM(MountCtx& ctx) {
  if (Faulted("vminfo.MountVM", Label(ctx))) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::VMDescription vm;
  if (!lab::FindVM(server, Label(ctx), vm)) return Fail(kErrNotFound, "VM [" + Label(ctx) + "] not found");
  if (ctx.mountPath.empty() || ctx.mountPath[0] != '/' || ctx.jobId == 0)
    return Fail(kErrMountFailed, "No usable mount path or job for VM [" + vm.name + "]");
  lab::ServerRecord serverRecord;
  std::string error;
  if (!lab::ReadServerRecord(server, serverRecord, error))
    return Fail(kErrUnreadable, "Cannot read the hypervisor server description: " + error);
  auto checksums = serverRecord.other.find("mountChecksums");
  lab::MountRecord record;
  record.vm = vm.name;
  record.guid = vm.guid;
  record.mountPath = ctx.mountPath;
  record.state = "mounted";
  record.cleanup = MountCleanupString(server, static_cast<int64_t>(ctx.jobId), vm.guid);
  if (!CopyVM(server, vm, ctx.mountPath, checksums == serverRecord.other.end() || checksums->second != "0", record))
    return 0;
  if (!lab::WriteMountRecord(server, static_cast<int64_t>(ctx.jobId), record, error)) {
    for (const lab::MountedDisk& disk : record.disks) unlink(disk.copy.c_str());
    unlink(record.configCopy.c_str());
    return Fail(kErrMountFailed, "Cannot record the mount of VM [" + vm.name + "]: " + error);
  }
  ctx.cleanupString = record.cleanup;
  ctx.fileTime = static_cast<int64_t>(ZtClock::NowSeconds());
  ctx.allocatedSize = 0;
  for (const lab::MountedDisk& disk : record.disks) {
    ctx.allocatedSize += disk.sizeBytes;
    lab::FaultCall call;
    call.op = "vminfo.MountFailure";
    call.vm = vm.guid;
    call.disk = disk.indexName;
    lab::Fault fault;
    if (!lab::CheckFault(call, fault)) continue;
    SFailure failure;
    failure.itemName = disk.indexName;
    failure.errorText = fault.text;
    failure.warning = fault.code == 2;
    ctx.failures.push_back(failure);
  }
  Succeed();
  return 1;
}

int LabVMInfo::UpdateVMInfoForIdentifier(const std::string& identifier, const VMInfoStructs::SVMInfo& info) {
  if (Faulted("vminfo.UpdateVMInfoForIdentifier", info.guid)) return 0;
  if (identifier.empty()) return Fail(kErrNotFound, "No identifier for VM [" + info.guid + "]");
  Succeed();
  return 1;
}

int LabVMInfo::UnmountVM(MountCtx& ctx) {
  if (Faulted("vminfo.UnmountVM", Label(ctx))) return 0;
  std::string server;
  lab::MountRecord record;
  if (!ReadMount(ctx, server, record)) {
    if (GetErrorCode() != kErrNotFound) return 0;
    // Nothing of this VM is mounted for the job: nothing is left to remove.
    ctx.cleanupString.clear();
    Succeed();
    return 1;
  }
  for (const lab::MountedDisk& disk : record.disks) unlink(disk.copy.c_str());
  if (!record.configCopy.empty()) unlink(record.configCopy.c_str());
  // The folder goes only when it is the one this caller mounted into.
  if (record.mountPath == ctx.mountPath && CPxDirectory::Remove(record.mountPath, true, false).IsError())
    return Fail(kErrMountFailed, "Cannot remove the mount path [" + record.mountPath + "]");
  record.state = "unmounted";
  std::string error;
  if (!lab::WriteMountRecord(server, static_cast<int64_t>(ctx.jobId), record, error))
    return Fail(kErrMountFailed, "Cannot record the unmount of VM [" + record.vm + "]: " + error);
  ctx.cleanupString.clear();
  Succeed();
  return 1;
}

int LabVMInfo::GetMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& mounts) {
  if (Faulted("vminfo.GetMountInfo", Label(ctx))) return 0;
  std::string server;
  lab::MountRecord record;
  if (!ReadMount(ctx, server, record)) return 0;
  if (record.state != "mounted") return Fail(kErrNotFound, "VM [" + Label(ctx) + "] is not mounted");
  std::vector<VMInfoStructs::SMountInfoFull> filled;
  if (!record.configCopy.empty()) {
    VMInfoStructs::SDisk file;
    file.path = record.configCopy;
    file.indexName = file.displayName = BaseName(record.configCopy);
    file.backupType = 0;
    file.headerKind = kConfigHeaderKind;
    file.status = 0;
    VMInfoStructs::SMountInfoFull mount;
    mount.opened = 1;
    mount.disks.push_back(file);
    filled.push_back(mount);
  }
  for (const lab::MountedDisk& disk : record.disks) {
    VMInfoStructs::SDisk file;
    file.path = disk.copy;
    file.diskType = kLabDiskType;
    file.diskName2 = file.diskId = file.indexName = disk.indexName;
    file.displayName = BaseName(disk.source);
    file.datastore = disk.datastore;
    file.maxSize = file.fileSize = file.allocatedSize = static_cast<int64_t>(disk.sizeBytes);
    file.backupType = 1;
    file.fileName = lab::ImageChangeId(disk.copy);
    VMInfoStructs::SMountInfoFull mount;
    mount.opened = 1;
    mount.disks.push_back(file);
    filled.push_back(mount);
  }
  mounts = filled;
  Succeed();
  return 1;
}

int LabVMInfo::PostBackupVM(MountCtx& ctx) {
  if (Faulted("vminfo.PostBackupVM", Label(ctx))) return 0;
  Succeed();
  return 1;
}

int LabVMInfo::SetBackupCompletion(MountCtx& ctx) {
  if (Faulted("vminfo.SetBackupCompletion", Label(ctx))) return 0;
  Succeed();
  return 1;
}

int LabVMInfo::GetSnapConfigFiles(MountCtx& ctx, int /*flags*/, std::vector<std::string>& files) {
  if (Faulted("vminfo.GetSnapConfigFiles", Label(ctx))) return 0;
  std::string server;
  lab::MountRecord record;
  if (!ReadMount(ctx, server, record)) return 0;
  files.clear();
  if (!record.configCopy.empty() && record.state == "mounted") files.push_back(record.configCopy);
  Succeed();
  return 1;
}
