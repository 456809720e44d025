// Shared shadows of the lab's hypervisor, a VM's inventory on request and the figures of a datastore.
#include <algorithm>
#include <cstdio>
#include <random>

#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMediTech.h"
#include "platform/lab/LabShadow.h"
#include "platform/os/CPxPath.h"
#include "platform/os/FXString.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int kErrRefused = 3006;  // the hook before the creation of a shared shadow said no
constexpr int kNoCallback = static_cast<int>(0xFFFFFFFFu);

std::string NewShadowName() {
  std::random_device random;
  char name[32];
  std::snprintf(name, sizeof(name), "shadow-%08x%08x", random(), random());
  return name;
}

}  // namespace

int LabVMInfo::CreateSharedShadow(MountCtx& ctx) {
  std::string server;
  if (!FindServer(server)) return 0;
  if (ctx.vmBasicInfos.empty()) return Fail(kErrNotFound, "No VM was submitted for the shared shadow");
  std::vector<std::string> guids;
  std::vector<lab::VMDescription> vms;
  for (const SVMBasicInfo& vm : ctx.vmBasicInfos) {
    lab::VMDescription description;
    if (!lab::FindVM(server, vm.vmGuid, description)) return FailNoVM(server, vm.vmGuid);
    guids.push_back(vm.vmGuid);
    vms.push_back(description);
  }
  const int before = InvokeCallback(kCallbackPreCreateSharedShadow, nullptr);
  if (before != 0 && before != kNoCallback)
    return Fail(kErrRefused, "The shared shadow was refused before its creation (" + std::to_string(before) + ")");
  // A failure from here on comes after the hook before the creation: whoever it prepared for the
  // shadow hears nothing more from the library.
  if (Faulted("vminfo.CreateSharedShadow")) return 0;
  const std::string text1 = NewShadowName();
  if (!TakeSharedShadow(server, static_cast<int64_t>(ctx.jobId), text1, vms)) return 0;
  if (!lab::AppendSharedShadowCreation(server, lab::FocusClient(), text1, server, guids)) {
    RemoveSharedShadow(server, static_cast<int64_t>(ctx.jobId), text1);
    return Fail(kErrUnreadable, "Cannot record the shared shadow");
  }
  lab::RecordMediTechSnapshot(lab::FocusClient(), text1);
  ctx.sharedShadowText1 = text1;
  ctx.sharedShadowText2 = server;
  // What the hook after the creation says does not undo the shadow: it stands either way.
  InvokeCallback(kCallbackPostCreateSharedShadow, nullptr);
  Succeed();
  return 1;
}

int LabVMInfo::DeleteSharedShadow(MountCtx& ctx) {
  if (Faulted("vminfo.DeleteSharedShadow")) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  const int64_t jobId = static_cast<int64_t>(ctx.jobId);
  if (ctx.sharedShadowText1.empty()) {
    bool logged = false;
    if (!NameJobSharedShadow(server, ctx, logged)) return 0;
    if (ctx.sharedShadowText1.empty()) {
      Succeed();
      return 1;
    }
    // Made, but cut off before its making was logged: no deletion to log either.
    if (!logged) {
      if (!EndSharedShadowMounts(server, jobId, ctx.sharedShadowText1)) return 0;
      RemoveSharedShadow(server, jobId, ctx.sharedShadowText1);
      Succeed();
      return 1;
    }
  }
  const std::vector<std::string> standing = lab::StandingSharedShadows(server);
  if (ctx.sharedShadowText1.empty() ||
      std::find(standing.begin(), standing.end(), ctx.sharedShadowText1) == standing.end()) {
    // Deleting a shadow that is gone already does what was asked: a caller that died before it could
    // note the deletion asks again.
    lab::SharedShadowRecord record;
    std::string error;
    if (!ctx.sharedShadowText1.empty() &&
        lab::ReadSharedShadowRecord(server, static_cast<int64_t>(ctx.jobId), record, error) == lab::RecordRead::kRead &&
        record.name == ctx.sharedShadowText1 && record.state == "deleted") {
      Succeed();
      return 1;
    }
    return Fail(kErrNotFound, "Shared shadow [" + ctx.sharedShadowText1 + "] not found");
  }
  if (!EndSharedShadowMounts(server, static_cast<int64_t>(ctx.jobId), ctx.sharedShadowText1)) return 0;
  if (!lab::AppendSharedShadowDeletion(server, lab::FocusClient(), ctx.sharedShadowText1, ctx.sharedShadowText2))
    return Fail(kErrUnreadable, "Cannot record the deletion of the shared shadow");
  RemoveSharedShadow(server, static_cast<int64_t>(ctx.jobId), ctx.sharedShadowText1);
  Succeed();
  return 1;
}

bool LabVMInfo::NameJobSharedShadow(const std::string& server, MountCtx& ctx, bool& logged) {
  logged = false;
  const int64_t jobId = static_cast<int64_t>(ctx.jobId);
  lab::SharedShadowRecord record;
  std::string error;
  const lab::RecordRead read = lab::ReadSharedShadowRecord(server, jobId, record, error);
  if (read == lab::RecordRead::kMissing || (read == lab::RecordRead::kRead && record.state != "standing")) return true;
  if (read != lab::RecordRead::kRead) {
    Fail(kErrUnreadable, "The shared shadow of job " + std::to_string(jobId) + " cannot be read: " + error);
    return false;
  }
  ctx.sharedShadowText1 = record.name;
  ctx.sharedShadowText2 = server;
  const std::vector<std::string> standing = lab::StandingSharedShadows(server);
  logged = std::find(standing.begin(), standing.end(), record.name) != standing.end();
  return true;
}

VMInfoStructs::SDisk LabVMInfo::DiskRecord(const lab::VMDescription& vm, size_t index) {
  const lab::VMDisk& image = vm.disks[index];
  VMInfoStructs::SDisk disk;
  disk.path = image.file;
  disk.diskType = kLabDiskType;
  disk.diskId = vm.guid + ":" + std::to_string(index);
  disk.displayName = CPxPath::GetFileName(image.file);
  disk.indexName = lab::LabDiskIndexName(index, image.file);
  disk.maxSize = static_cast<int64_t>(image.sizeBytes);
  disk.fileSize = static_cast<int64_t>(image.sizeBytes);
  disk.allocatedSize = static_cast<int64_t>(image.sizeBytes);
  disk.datastore = image.Datastore();
  disk.snapCopyDatastore = disk.datastore;
  disk.osDisk = index == 0;
  disk.inActiveChain = !image.inactive;
  return disk;
}

void LabVMInfo::DescribeVM(const lab::VMDescription& vm, VMInfoStructs::SVMInfo& info) {
  info.field01 = vm.name;
  info.guid = vm.guid;
  info.host = vm.host;
  info.datastore = vm.datastore;
  info.location = vm.location;
  info.version = vm.version;
  info.toolsVersion = vm.toolsVersion;
  info.field24 = vm.resourcePool;
  // Only a description that says so is powered off.
  info.powerState = vm.powerState == "off" ? 0 : 1;
  const bool windows = FXString::CompareNoCase(vm.guestOS, "windows") == 0;
  const bool linux = FXString::CompareNoCase(vm.guestOS, "linux") == 0;
  info.field64 = windows ? kGuestOSWindows : 0;
  info.guestOS.field1 = info.field64;
  info.guestOS.field2 = windows ? "Windows" : linux ? "Linux" : vm.guestOS;
  info.disks.clear();
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    // A stub's deleted disks are no longer the VM's.
    if (!vm.disks[i].deleted) info.disks.push_back(DiskRecord(vm, i));
  }
}

int LabVMInfo::GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid, const std::string& host,
                              uint64_t mask, bool flag, VMInfoStructs::SVMInfo& info) {
  const std::string wanted = vmGuid.empty() ? vmName : vmGuid;
  if (Faulted("vminfo.GetVMInfoForVM", wanted)) return 0;
  return LoadVMInfo(wanted, info, mask);
}

int LabVMInfo::GetDatastoreInfo(const std::string& datastore, const std::string& text, const std::string& host,
                                int number1, int number2, VMInfoStructs::SDatastoreInfo& info) {
  if (Faulted("vminfo.GetDatastoreInfo")) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::DatastoreRecord record;
  std::string error;
  switch (lab::ReadDatastoreRecord(server, datastore, record, error)) {
    case lab::RecordRead::kRead: break;
    case lab::RecordRead::kMissing: return Fail(kErrNotFound, "Datastore [" + datastore + "] not found");
    default: return Fail(kErrUnreadable, "Cannot read datastore [" + datastore + "]: " + error);
  }
  info.name = datastore;
  info.capacity = record.capacityBytes;
  info.freeSpace = record.freeBytes;
  Succeed();
  return 1;
}
