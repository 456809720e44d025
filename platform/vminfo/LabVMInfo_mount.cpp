// Mount records of a mounted VM: what the lab's hypervisor holds of the VM (its disk images,
// configuration files and file collections) as the layout objects walk it.
#include <cstdio>

#include "platform/lab/Lab.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxPath.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int32_t kBackupAsConfigFile = 0;
constexpr int32_t kBackupAsFileCollection = 2;

VMInfoStructs::SMountInfoFull OneFileRecord(const VMInfoStructs::SDisk& file) {
  VMInfoStructs::SMountInfoFull record;
  record.opened = 1;
  record.disks.push_back(file);
  return record;
}

}  // namespace

int LabVMInfo::GetMountInfoFull(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& mounts) {
  if (Faulted("vminfo.GetMountInfoFull", ctx.vmGuid)) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::VMDescription vm;
  if (!lab::FindVM(server, ctx.vmGuid.empty() ? ctx.vmName : ctx.vmGuid, vm))
    return Fail(kErrNotFound, "VM [" + ctx.vmGuid + "] not found");

  std::vector<VMInfoStructs::SMountInfoFull> records;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    const lab::VMDisk& image = vm.disks[i];
    VMInfoStructs::SDisk disk;
    disk.path = lab::DiskImagePath(server, image.file);
    disk.diskType = kLabDiskType;
    disk.diskId = vm.guid + ":" + std::to_string(i);
    disk.displayName = CPxPath::GetFileName(image.file);
    disk.indexName = "scsi0-" + std::to_string(i) + "-" + disk.displayName;
    disk.maxSize = static_cast<int64_t>(image.sizeBytes);
    disk.fileSize = static_cast<int64_t>(image.sizeBytes);
    disk.allocatedSize = static_cast<int64_t>(image.sizeBytes);
    disk.datastore = image.Datastore();
    disk.proxyName = lab::FocusClient();
    disk.osDisk = i == 0;
    records.push_back(OneFileRecord(disk));
  }
  for (const lab::VMConfigFile& config : vm.configFiles) {
    VMInfoStructs::SDisk file;
    file.path = lab::DiskImagePath(server, config.file);
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
  if (!lab::FindVM(server, ctx.vmGuid.empty() ? ctx.vmName : ctx.vmGuid, vm))
    return Fail(kErrNotFound, "VM [" + ctx.vmGuid + "] not found");
  // One volume per disk image, named by a GUID made of the VM's GUID and the disk's number.
  CPxCRC32 crc;
  crc.UpdateCRC32(vm.guid.data(), vm.guid.size());
  std::vector<VMInfoStructs::SMountInfoFile> found;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    char guid[64];
    std::snprintf(guid, sizeof(guid), "%08x-0000-4000-8000-%012zx", crc.GetCRC32(), i);
    VMInfoStructs::SMountInfoFile volume;
    volume.volumeName = std::string("\\\\?\\Volume{") + guid + "}\\";
    volume.guidPath = volume.volumeName;
    volume.displayName = std::string(1, static_cast<char>('C' + i % 24)) + ":";
    found.push_back(volume);
  }
  volumes.swap(found);
  Succeed();
  return 1;
}
