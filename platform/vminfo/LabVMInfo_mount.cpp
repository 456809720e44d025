// Mount records and mounts of a VM over the lab: what the lab's hypervisor holds of the VM (its disk
// images, configuration files and file collections) as the layout objects walk it, and the mount's
// snapshot views and point-in-time copies in the mount-path folder that the backup reads instead of
// the live images.
#include <unistd.h>

#include <algorithm>

#include "platform/lab/Lab.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxPath.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int32_t kBackupAsConfigFile = 0;
constexpr int32_t kBackupAsFileCollection = 2;
constexpr int kErrMountFailed = 3003;  // the copies or the mount's record could not be made
constexpr uint64_t kSectorBytes = 512;

VMInfoStructs::SMountInfoFull OneFileRecord(const VMInfoStructs::SDisk& file) {
  VMInfoStructs::SMountInfoFull record;
  record.opened = 1;
  record.disks.push_back(file);
  return record;
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

// Why the disk the mount took cannot be served as its description says: the backup reads as many
// bytes as the description gives, so an image of another size would be backed up in part (or padded
// past its end), and a size that is no whole number of sectors is no disk's. Empty when it can.
std::string WhyDescribedSizeIsWrong(const lab::VMDisk& disk, const std::string& view) {
  const std::string described = "disk [" + CPxPath::GetFileName(disk.file) + "] is described as " +
                                std::to_string(disk.sizeBytes) + " bytes";
  if (disk.sizeBytes % kSectorBytes != 0)
    return described + ", not a whole number of " + std::to_string(kSectorBytes) + "-byte sectors";
  lab::DiskReader reader;
  int errorNumber = 0;
  std::string error;
  if (!reader.Open(view, errorNumber, error)) return "disk [" + CPxPath::GetFileName(disk.file) + "]: " + error;
  if (reader.Size() != disk.sizeBytes)
    return described + ", but its image holds " + std::to_string(reader.Size()) + " bytes";
  return std::string();
}

bool MountHasDisk(const lab::MountRecord& mount, const std::string& source) {
  for (const lab::MountedDisk& disk : mount.disks) {
    if (disk.source == source) return true;
  }
  return false;
}

// Whether the mount took the VM's disks as volumes (a volume-level backup's mount).
bool MountHasVolumes(const lab::MountRecord& mount) {
  for (const lab::MountedDisk& disk : mount.disks) {
    if (!disk.volume.empty()) return true;
  }
  return false;
}

// A volume mount with the backup-copy flag (a catalogue's metadata collection sets it on a copy of
// the VM's mount context) of a VM mounted for the job mounts the VM's volumes at file level over that
// mount. Any other volume mount is a volume-level backup's: it mounts the VM as a disk mount does.
bool IsFileMountOverHeldMount(const std::string& server, const MountCtx& ctx) {
  if (ctx.mountType != IVMInfo::kMountTypeVolumes || !ctx.isSnapToTape) return false;
  lab::MountRecord held;
  std::string error;
  return lab::ReadMountRecord(server, static_cast<int64_t>(ctx.jobId), ctx.vmGuid, held, error) ==
             lab::RecordRead::kRead &&
         held.state == "mounted";
}

// Names each disk the mount took by its volume: the name the guest lists it by and the name a
// volume-level backup keeps it under.
void NameDisksByVolume(const lab::VMDescription& vm, lab::MountRecord& record) {
  for (lab::MountedDisk& disk : record.disks) {
    for (size_t i = 0; i < vm.disks.size(); ++i) {
      if (vm.disks[i].file != disk.source) continue;
      disk.volume = lab::LabVolumeName(vm.guid, i);
      disk.indexName = lab::LabVolumeBackupName(vm.guid, i);
    }
  }
}

std::string Label(const MountCtx& ctx) { return ctx.vmGuid.empty() ? ctx.vmName : ctx.vmGuid; }

// The VM whose disks the mount reads: a failback backs up the replica its replication record names
// (the context's backup name) as the VM of the job.
std::string MountedVM(const MountCtx& ctx) {
  return ctx.failback != 0 && !ctx.backupName.empty() ? ctx.backupName : Label(ctx);
}

// The copy of a source in the mount, or the source itself when the mount has none.
std::string CopyOf(const lab::MountRecord* mount, const std::string& server, const std::string& source) {
  if (mount != nullptr) {
    for (const lab::MountedDisk& disk : mount->disks) {
      if (disk.source == source) return disk.copy;
    }
    for (const lab::MountedFile& file : mount->configs) {
      if (file.source == source) return file.copy;
    }
  }
  return lab::DiskImagePath(server, source);
}

// A view in the mount's own folder is the mount's; one of a shared shadow stays with the shadow.
bool OwnView(const lab::MountRecord& mount, const lab::MountedDisk& disk) {
  return disk.copy.compare(0, mount.mountPath.size() + 1, mount.mountPath + "/") == 0;
}

}  // namespace

std::string LabVMInfo::MountCleanupString(const std::string& server, int64_t jobId, const std::string& guid) {
  return "labmount:" + server + ":" + std::to_string(jobId) + ":" + guid;
}

bool LabVMInfo::ReadMount(const MountCtx& ctx, std::string& server, lab::MountRecord& record) {
  if (!FindServer(server)) return false;
  std::string error;
  std::string guid = ctx.vmGuid;
  lab::VMDescription mounted;
  if (ctx.failback != 0 && lab::FindVM(server, MountedVM(ctx), mounted)) guid = mounted.guid;
  switch (lab::ReadMountRecord(server, static_cast<int64_t>(ctx.jobId), guid, record, error)) {
    case lab::RecordRead::kRead:
      return true;
    case lab::RecordRead::kMissing:
      Fail(kErrNotFound, "VM [" + Label(ctx) + "] is not mounted");
      return false;
    default:
      Fail(kErrUnreadable, "Cannot read the mount of VM [" + Label(ctx) + "]: " + error);
      return false;
  }
}

int LabVMInfo::GetMountInfoFull(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& mounts) {
  if (Faulted("vminfo.GetMountInfoFull", ctx.vmGuid)) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::VMDescription vm;
  if (!lab::FindVM(server, MountedVM(ctx), vm)) return FailNoVM(server, MountedVM(ctx));
  lab::MountRecord mount;
  std::string error;
  const bool mounted = lab::ReadMountRecord(server, static_cast<int64_t>(ctx.jobId), vm.guid, mount, error) ==
                           lab::RecordRead::kRead &&
                       mount.state == "mounted";

  std::vector<VMInfoStructs::SMountInfoFull> records;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    // A disk a filter left out of the mount is not the backup's.
    if ((mounted && !MountHasDisk(mount, vm.disks[i].file)) || vm.disks[i].deleted) continue;
    VMInfoStructs::SDisk disk = DiskRecord(vm, i);
    disk.path = CopyOf(mounted ? &mount : nullptr, server, vm.disks[i].file);
    disk.snapCopyDatastore.clear();
    disk.proxyName = lab::FocusClient();
    // The change id the hypervisor gives this backup: the generation of what is read.
    disk.fileName = lab::ImageChangeId(disk.path);
    records.push_back(OneFileRecord(disk));
  }
  for (const lab::VMConfigFile& config : vm.configFiles) {
    VMInfoStructs::SDisk file;
    file.path = CopyOf(mounted ? &mount : nullptr, server, config.file);
    file.displayName = CPxPath::GetFileName(config.file);
    file.indexName = file.displayName;
    file.backupType = kBackupAsConfigFile;
    file.proxyName = lab::FocusClient();
    records.push_back(OneFileRecord(file));
  }
  for (const lab::VMCollection& collection : vm.collections) {
    VMInfoStructs::SDisk folder;
    folder.path = lab::DiskImagePath(server, collection.folder);
    folder.displayName = CPxPath::GetFileName(collection.folder);
    folder.indexName = folder.displayName;
    folder.backupType = kBackupAsFileCollection;
    folder.diskType = static_cast<DiskType_t>(collection.type);
    // The collection's change ids are kept under its name; its size is the bytes of its files.
    folder.diskName2 = folder.indexName;
    folder.fileSize = folder.maxSize = static_cast<int64_t>(lab::FolderBytes(folder.path));
    folder.proxyName = lab::FocusClient();
    records.push_back(OneFileRecord(folder));
  }
  mounts.swap(records);
  Succeed();
  return 1;
}

int LabVMInfo::GetMountedVolumes(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& volumes) {
  if (Faulted("vminfo.GetMountedVolumes", ctx.vmGuid)) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::VMDescription vm;
  if (!lab::FindVM(server, MountedVM(ctx), vm)) return FailNoVM(server, MountedVM(ctx));
  lab::MountRecord mount;
  std::string error;
  const bool mounted = lab::ReadMountRecord(server, static_cast<int64_t>(ctx.jobId), vm.guid, mount, error) ==
                           lab::RecordRead::kRead &&
                       mount.state == "mounted";
  // One volume per disk image: those a volume-level mount took (what it left out is not the backup's),
  // else every disk the VM still has.
  std::vector<VMInfoStructs::SMountInfoFile> found;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    if (vm.disks[i].deleted) continue;
    const lab::MountedDisk* taken = nullptr;
    for (const lab::MountedDisk& disk : mount.disks)
      if (mounted && disk.source == vm.disks[i].file && !disk.volume.empty()) taken = &disk;
    if (mounted && taken == nullptr && MountHasVolumes(mount)) continue;
    VMInfoStructs::SMountInfoFile volume;
    volume.volumeName = lab::LabVolumeName(vm.guid, i);
    volume.guidPath = volume.volumeName;
    volume.displayName = std::string(1, static_cast<char>('C' + i % 24)) + ":";
    // The generation the mount's view holds: what an incremental's changes are counted from next time.
    if (taken != nullptr) volume.changeId = lab::ImageChangeId(taken->copy);
    found.push_back(volume);
  }
  volumes.swap(found);
  Succeed();
  return 1;
}

bool LabVMInfo::CopyVM(const std::string& server, const lab::VMDescription& vm, const std::string& mountPath,
                       const std::map<std::string, std::string>& copyFrom, const std::vector<size_t>& filtered,
                       lab::MountRecord& record) {
  std::vector<std::string> sources;
  for (const lab::VMDisk& disk : vm.disks) sources.push_back(disk.file);
  for (const lab::VMConfigFile& config : vm.configFiles) sources.push_back(config.file);
  for (const std::string& source : sources) {
    if (!IsContainedPath(source)) {
      Fail(kErrMountFailed, "File [" + source + "] of VM [" + vm.name + "] is not a usable path");
      return false;
    }
  }
  if (!lab::MakeDirs(mountPath)) {
    Fail(kErrMountFailed, "Cannot create the mount path [" + mountPath + "]");
    return false;
  }
  std::vector<std::string> made;
  auto undo = [&made] {
    std::string ignored;
    for (const std::string& done : made) lab::DropSnapshot(done, ignored);
  };
  for (size_t i = 0; i < sources.size(); ++i) {
    const bool disk = i < vm.disks.size();
    if (disk && std::find(filtered.begin(), filtered.end(), i) != filtered.end()) continue;
    // A stub's deleted disks (all of them, or those a stub cut off got to) are no longer the VM's.
    if (disk && vm.disks[i].deleted) continue;
    // Disks and files of one VM may share a name in different folders: each configuration file gets
    // a folder of its own, so that every copy keeps its name.
    const std::string folder = disk ? mountPath : mountPath + "/config" + std::to_string(i - vm.disks.size());
    if (!disk && !lab::MakeDirs(folder)) {
      undo();
      Fail(kErrMountFailed, "Cannot create the mount path [" + folder + "]");
      return false;
    }
    const auto shadowCopy = copyFrom.find(sources[i]);
    const std::string source =
        shadowCopy != copyFrom.end() ? shadowCopy->second : lab::DiskImagePath(server, sources[i]);
    // A shared shadow's view of a disk holds the disk as the shadow took it: the mount reads it as it
    // is, and it stays the shadow's.
    const bool shared = disk && shadowCopy != copyFrom.end();
    const std::string copy = shared ? source : folder + "/" + CPxPath::GetFileName(sources[i]);
    // A copy or view left by a mount that never ended is replaced, never read as this one.
    if (!disk) unlink(copy.c_str());
    std::string changeId;
    std::string error = "the shared shadow's view " + source + " names no generation of the disk";
    // A disk's view takes its change journal with it, so its change id describes the view's bytes.
    if (shared) changeId = lab::ImageChangeId(source);
    const bool copied = shared ? !changeId.empty()
                        : disk ? lab::TakeSnapshot(source, copy, changeId, error)
                               : lab::CopyPointInTime(source, copy, nullptr, error);
    if (!copied) {
      undo();
      Fail(kErrMountFailed, "Cannot mount VM [" + vm.name + "]: " + error);
      return false;
    }
    if (!shared) made.push_back(copy);
    const std::string wrongSize = disk ? WhyDescribedSizeIsWrong(vm.disks[i], copy) : std::string();
    if (!wrongSize.empty()) {
      undo();
      Fail(kErrMountFailed, "Cannot mount VM [" + vm.name + "]: " + wrongSize);
      return false;
    }
    if (!disk) {
      record.configs.push_back(lab::MountedFile{sources[i], copy});
      continue;
    }
    lab::MountedDisk mounted;
    mounted.indexName = lab::LabDiskIndexName(i, sources[i]);
    mounted.source = sources[i];
    mounted.copy = copy;
    mounted.datastore = vm.disks[i].Datastore();
    mounted.sizeBytes = vm.disks[i].sizeBytes;
    mounted.changeId = changeId;
    record.disks.push_back(mounted);
  }
  return true;
}

int LabVMInfo::MountVM(MountCtx& ctx) {
  if (Faulted("vminfo.MountVM", Label(ctx))) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  if (IsFileMountOverHeldMount(server, ctx)) {
    if (!SetFileMount(ctx, true)) return 0;
    Succeed();
    return 1;
  }
  lab::VMDescription vm;
  if (!lab::FindVM(server, MountedVM(ctx), vm)) return FailNoVM(server, MountedVM(ctx));
  if (ctx.mountPath.empty() || ctx.mountPath[0] != '/' || ctx.jobId == 0)
    return Fail(kErrMountFailed, "No usable mount path or job for VM [" + vm.name + "]");
  std::string error;
  std::map<std::string, std::string> copyFrom;
  // A storage-snapshot job reads the VM as the array snapshot holds it; a VM-centric engine's
  // snapshot backup takes the VM's own snapshot here.
  const bool ownSnapshot = ctx.isSnapBackup && ctx.vmCentricSnapBackup;
  const bool fromSnapshot = (ctx.isSnapBackup || ctx.isSnapToTape || ctx.isSnapCatalog) && !ctx.vmCentricSnapBackup;
  const bool sourced = ownSnapshot    ? SnapshotVMForMount(server, ctx, vm, copyFrom)
                       : fromSnapshot ? ArraySnapSources(server, ctx, copyFrom)
                                      : SharedShadowSources(ctx, server, vm, copyFrom);
  if (!sourced) return 0;
  const std::vector<size_t> filtered = FilteredDisks(ctx, vm);
  lab::MountRecord record;
  record.vm = vm.name;
  record.guid = vm.guid;
  record.server = server;
  record.mountPath = ctx.mountPath;
  record.state = "mounted";
  record.cleanup = MountCleanupString(server, static_cast<int64_t>(ctx.jobId), vm.guid);
  if (!CopyVM(server, vm, ctx.mountPath, copyFrom, filtered, record)) return 0;
  if (ctx.mountType == kMountTypeVolumes) NameDisksByVolume(vm, record);
  ctx.m_nSkippedDisksCount = static_cast<int32_t>(filtered.size());
  lab::KeepEarlierAttemptsDisks(server, static_cast<int64_t>(ctx.jobId), record);
  if (!lab::WriteMountRecord(server, static_cast<int64_t>(ctx.jobId), record, error)) {
    for (const lab::MountedDisk& disk : record.disks)
      if (OwnView(record, disk)) lab::DropSnapshot(disk.copy, error);
    for (const lab::MountedFile& file : record.configs) unlink(file.copy.c_str());
    return Fail(kErrMountFailed, "Cannot record the mount of VM [" + vm.name + "]: " + error);
  }
  ctx.cleanupString = record.cleanup;
  {
    ZtMutexLock lock(mutex_);
    mountJob_ = static_cast<int64_t>(ctx.jobId);
    mountedVM_ = Label(ctx);
  }
  // The caller's copy of the VM's record may hold no more than its name and GUID.
  DescribeVM(vm, ctx.vmInfo);
  FillArchivingInventory(server, vm, ~0ULL, ctx.vmInfo);
  // A hypervisor whose change tracking of the VM was reset can only serve a full backup of it.
  lab::FaultCall reset;
  reset.op = "vminfo.ChangeTrackingReset";
  reset.vm = vm.guid;
  lab::Fault resetFault;
  if (ctx.vmBackupLevel != 0 && lab::CheckFault(reset, resetFault)) ctx.vmBackupLevel = 1;
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
  // The end of a file-level mount leaves the VM's own mount as it is.
  if (ctx.mountType == kMountTypeVolumes && ctx.isSnapToTape && record.other.count("fileMount") != 0 &&
      record.other["fileMount"] == "mounted") {
    if (!SetFileMount(ctx, false)) return 0;
    Succeed();
    return 1;
  }
  std::string error;
  // The folder goes only when it is the one this caller mounted into.
  if (!lab::EndMount(server, static_cast<int64_t>(ctx.jobId), record, record.mountPath == ctx.mountPath, {}, error))
    return Fail(kErrMountFailed, error);
  ctx.cleanupString.clear();
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
  std::vector<std::string> listed;
  if (record.state == "mounted") {
    for (const lab::MountedFile& file : record.configs) listed.push_back(file.copy);
  }
  files.swap(listed);
  Succeed();
  return 1;
}
