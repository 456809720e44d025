// VM archiving and power management on the lab's hypervisor: a VM's stub record and custom fields, its
// stub, relocation and power, the hypervisor's clock and the idle-VM check.
#include <algorithm>

#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabMount.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr int kErrRefused = 3007;  // the hypervisor refused the change (its text says why)

// The name the fault table and the descriptions know a VM by: its GUID, else its name.
std::string VMKey(const std::string& name, const std::string& guid) { return guid.empty() ? name : guid; }

}  // namespace

void LabVMInfo::FillArchivingInventory(const std::string& server, const lab::VMDescription& vm, uint64_t mask,
                                       VMInfoStructs::SVMInfo& info) {
  info.isTemplate = vm.isTemplate;
  size_t position = 0;
  for (const lab::VMDisk& vmDisk : vm.disks) {
    if (vmDisk.deleted || position >= info.disks.size()) continue;
    VMInfoStructs::SDisk& disk = info.disks[position++];
    disk.diskName2 = lab::DatastorePathOf(vmDisk.file);
    if ((mask & kInventoryChangeIds) != 0) disk.fileName = lab::ImageChangeId(lab::DiskImagePath(server, vmDisk.file));
    if ((mask & kInventoryDiskModes) != 0) {
      disk.independent = vmDisk.mode == "independent";
      disk.rawDeviceMapping = vmDisk.mode == "rdm";
    }
  }
  info.fileLayout.files.clear();
  for (const lab::VMConfigFile& config : vm.configFiles) {
    VMInfoStructs::SVMFile file;
    file.field1 = lab::DatastorePathOf(config.file);
    info.fileLayout.files.push_back(file);
  }
  if ((mask & kInventoryPowerOffTime) != 0)
    info.poweredOffHours = static_cast<int32_t>(lab::PoweredOffHours(vm, lab::ServerClockSeconds(server)));
  if ((mask & kInventoryOptions) != 0) {
    const auto stub = vm.options.find(lab::kStubRecordOption);
    info.stubData = stub != vm.options.end() ? stub->second : std::string();
    info.stubDeletedDisks.clear();
    for (size_t i = 0; i < vm.disks.size(); ++i) {
      if (!vm.disks[i].deleted) continue;
      VMInfoStructs::SStubDeletedDisk deleted;
      deleted.indexName = lab::LabDiskIndexName(i, vm.disks[i].file);
      deleted.stubJob = vm.disks[i].stubJob;
      deleted.changeId = vm.disks[i].stubChangeId;
      info.stubDeletedDisks.push_back(deleted);
    }
  }
}

int LabVMInfo::ChangeVM(const std::string& guidOrName, const lab::VMChange& change) {
  std::string server, error;
  if (!FindServer(server)) return 0;
  if (!lab::UpdateVMDescription(server, guidOrName, change, error)) return Fail(kErrRefused, error);
  Succeed();
  return 1;
}

int LabVMInfo::SetVMOptions(const VMInfoStructs::SVMInfo& vm, int /*code*/, std::string& errorText) {
  const std::string key = VMKey(vm.field01, vm.guid);
  const int done = Faulted("vminfo.SetVMOptions", key) ? 0 : ChangeVM(key, [&](lab::VMDescription& changed, std::string&) {
    for (const VMInfoStructs::SVMOptionValue& option : vm.options) changed.options[option.name] = option.value;
    return true;
  });
  errorText = done != 0 ? std::string() : GetErrorText();
  return done;
}

int LabVMInfo::SetCustomField(const std::string& vmName, const std::string& vmGuid, const std::string& field,
                              const std::string& value) {
  const std::string key = VMKey(vmName, vmGuid);
  if (Faulted("vminfo.SetCustomField", key)) return 0;
  return ChangeVM(key, [&](lab::VMDescription& changed, std::string&) {
    changed.customFields[field] = value;
    return true;
  });
}

int LabVMInfo::PrepareStubVM(StubVMCtx& ctx) {
  const std::string key = VMKey(ctx.vmName, ctx.vmGuid);
  if (Faulted("vminfo.PrepareStubVM", key)) return 0;
  return ChangeVM(key, [](lab::VMDescription&, std::string&) { return true; });
}

int LabVMInfo::StubVM(StubVMCtx& ctx) {
  const std::string key = VMKey(ctx.vmName, ctx.vmGuid);
  ctx.disksDeleted = 0;
  ctx.totalDisks = 0;
  ctx.failed = true;
  if (Faulted("vminfo.StubVM", key)) return 0;
  std::string server;
  if (!FindServer(server)) return 0;
  lab::VMDescription vm;
  if (!lab::FindVM(server, key, vm)) return FailNoVM(server, key);
  ctx.totalDisks = static_cast<int32_t>(vm.disks.size());
  auto given = [&ctx](const std::string& name) -> const StubVMDisk* {
    for (const StubVMDisk& disk : ctx.disks)
      if (disk.indexName == name) return &disk;
    return nullptr;
  };
  // A disk the caller did not name was never proved backed up, and one that a restore of the job's
  // backup would not bring back as it is now may not go: the stub refuses before anything goes.
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    const std::string name = lab::LabDiskIndexName(i, vm.disks[i].file);
    if (!vm.disks[i].deleted && given(name) == nullptr)
      return Fail(kErrRefused, "Disk [" + name + "] of VM [" + key + "] is not among the disks the stub may delete");
  }
  // The job's backup as a restore reads it, once for every disk: only the chain it stands in is read.
  archive::VMBackup backup;
  std::string chainWhy;
  const bool toDelete =
      std::any_of(vm.disks.begin(), vm.disks.end(), [](const lab::VMDisk& disk) { return !disk.deleted; });
  const bool reassembled = toDelete && lab::ReassembleJobBackup(lab::ReadVMChainArchives(vm.guid, ctx.jobId), vm.guid,
                                                                ctx.jobId, backup, chainWhy);
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    const std::string name = lab::LabDiskIndexName(i, vm.disks[i].file);
    archive::RestoredDisk restored;
    std::string why = chainWhy;
    if (!vm.disks[i].deleted &&
        (!reassembled || !lab::DiskOfJobBackup(backup, name, given(name)->changeId, restored, why)))
      return Fail(kErrRefused, "Disk [" + name + "] of VM [" + key + "] would not come back from the backup of job " +
                                   std::to_string(ctx.jobId) + ": " + why);
  }
  // A stub comes back whole or not at all: over a disk an earlier stub deleted that no longer comes back,
  // the disks it would delete now would come back with no restore either.
  std::string lostWhy;
  const bool deletedBefore =
      std::any_of(vm.disks.begin(), vm.disks.end(), [](const lab::VMDisk& disk) { return disk.deleted; });
  if (toDelete && deletedBefore && !lab::DeletedDisksComeBack(vm, lostWhy))
    return Fail(kErrRefused, "VM [" + key + "] keeps its disks: a disk its stub deleted before does not come back, "
                             "and a restore of the stub brings back every disk or none: " + lostWhy);
  // Each disk's deletion is on record as it happens: a stub cut off leaves the disks it deleted deleted.
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    if (!vm.disks[i].deleted) {
      const std::string name = lab::LabDiskIndexName(i, vm.disks[i].file);
      lab::FaultCall call;
      call.op = "vminfo.StubVMDisk";
      call.vm = key;
      call.disk = name;
      lab::Fault cutOff;
      if (lab::CheckFault(call, cutOff))
        return Fail(cutOff.code, cutOff.text.empty() ? "The stub of VM [" + key + "] was cut off" : cutOff.text);
      std::string error;
      if (!lab::DeleteStubbedDisk(server, key, name, given(name)->changeId, ctx.jobId, error))
        return Fail(kErrRefused, error);
    }
    ++ctx.disksDeleted;
  }
  ctx.failed = false;
  Succeed();
  return 1;
}

int LabVMInfo::CompleteStubVM(StubVMCtx& ctx) {
  const std::string key = VMKey(ctx.vmName, ctx.vmGuid);
  if (Faulted("vminfo.CompleteStubVM", key)) return 0;
  return ChangeVM(key, [](lab::VMDescription&, std::string&) { return true; });
}

int LabVMInfo::RelocateVM(VMRelocateCtx& ctx) {
  const std::string key = VMKey(ctx.vmName, ctx.vmGuid);
  ctx.errorText.clear();
  std::string server, error;
  if (Faulted("vminfo.RelocateVM", key) || !FindServer(server)) {
    ctx.errorText = GetErrorText();
    return 0;
  }
  if (!lab::MoveVM(server, key, ctx.destinationHost, ctx.destinationDatastore, ctx.destinationResourcePool, error)) {
    ctx.errorText = error;
    return Fail(kErrRefused, error);
  }
  Succeed();
  return 1;
}

int64_t LabVMInfo::GetServerCurrentTime() {
  std::string server;
  if (Faulted("vminfo.GetServerCurrentTime") || !FindServer(server)) return 0;
  Succeed();
  return lab::ServerClockSeconds(server);
}

int LabVMInfo::CheckIdleVM(const std::string& vmName, const std::string& vmGuid,
                           const std::map<std::string, std::string>& conditions) {
  const std::string key = VMKey(vmName, vmGuid);
  std::string server;
  if (Faulted("vminfo.CheckIdleVM", key) || !FindServer(server)) return -1;
  if (conditions.empty()) {
    Fail(kErrRefused, "No idle-VM condition was given");
    return -1;
  }
  lab::VMDescription vm;
  if (!lab::FindVM(server, key, vm)) {
    FailNoVM(server, key);
    return -1;
  }
  Succeed();
  return vm.idle == 1 ? 1 : 0;
}

int LabVMInfo::PerformVMOperation(OperationCtx& ctx) {
  const std::string key = VMKey(ctx.vmInfo.field01, ctx.vmInfo.guid);
  std::string server;
  if (Faulted("vminfo.PerformVMOperation", key) || !FindServer(server)) return 0;
  if (ctx.operation != OperationCtx::kPowerOff && ctx.operation != OperationCtx::kGuestShutdown)
    return Fail(kErrRefused, "Unknown power operation " + std::to_string(ctx.operation));
  const int64_t now = lab::ServerClockSeconds(server);
  const bool shutdown = ctx.operation == OperationCtx::kGuestShutdown;
  return ChangeVM(key, [&](lab::VMDescription& vm, std::string&) {
    if (shutdown && vm.ignoresShutdown) return true;
    if (vm.powerState != "off") {
      vm.powerState = "off";
      vm.poweredOffAt = now;
    }
    return true;
  });
}
