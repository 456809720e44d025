#pragma once
// The sample lab with VM archiving on: its job's managers, a controller that lends a real stream of
// the lab's media agent, the lab's hypervisor connection, and one VM's record as the collect file
// hands it over.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "archiving/QuarnVMManagement.h"
#include "platform/appmgr/ClientProperties.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSubclient.h"
#include "platform/vminfo/LabVMInfo.h"
#include "records/messages/IdxMetadataMessages.h"
#include "support/RoadTestSupport.h"

namespace archtest {

using Stub = VirtualServer::VMArchivingData;
constexpr int64_t kJob = 1001;

inline std::string Name(int i) {
  char text[8];
  std::snprintf(text, sizeof text, "vm%02d", i);
  return text;
}
inline std::string Guid(int i) {
  char text[40];
  std::snprintf(text, sizeof text, "50290000-0000-4000-8000-%012d", i);
  return text;
}

// A stub record as a backup or stub phase of this subclient writes it (of job `jobId`).
inline std::string StubText(int state, int64_t subclient = 1, int64_t retries = 0, int64_t keyrealmNumber = 1,
                            int64_t jobId = kJob) {
  Stub record;
  record.setstring(Stub::F_stubVersion, "1.0.0");
  record.setint64(Stub::F_stubKeyrealmId, 1);
  record.setint64(Stub::F_stubKeyrealmNumber, keyrealmNumber);
  record.setint64(Stub::F_stubSubclientId, subclient);
  record.setint64(Stub::F_stubState, state);
  record.setint64(Stub::F_stubJobId, jobId);
  record.setint64(Stub::F_stubRetryCount, retries);
  std::string xml;
  record.serialize(xml, true);
  return xml;
}
inline int64_t StubField(const std::string& xml, const CNField& field) {
  Stub record;
  return record.deserialize(xml) ? record.getint64(field) : -1;
}

class ArchivingLab {
 public:
  explicit ArchivingLab(int vms = 3, int disks = 1) : lab_("coordinator") {
    lab::LabPlan plan;
    plan.vms = vms;
    plan.disksPerVM = disks;
    plan.clients = {"coordinator"};
    lab_.Create(plan);
    lab_.Focus("coordinator");
    lab_.UseJob(kJob);
    lab_.OpenLog();
    QuarnRegistry::TEST_Unload();
    Subclient("keyrealmNumber", "1");
    Subclient("archiveRule", "1");  // days first: a rule without them is refused
    jobMgr.setJobId(std::to_string(kJob));
    jobMgr.setTurboEnabled(true);
    jobMgr.setMediaAgent(lab::SampleMediaAgent());
    jobMgr.initBackup();
    appMgr.setAppIdStr("1");
    appMgr.querySettings();
    controller.reset(new roadtest::RoadController(&jobMgr, &appMgr));
  }
  ~ArchivingLab() { QuarnRegistry::TEST_Unload(); }

  // A key of the subclient's record; false with the record's refusal.
  bool Subclient(const std::string& key, const std::string& value, std::string* refusal = nullptr) {
    std::string error;
    if (key == "archiveRule" && value == "1") lab::SetSubclientValue("1", "archiveDays", "2", error);
    const bool set = lab::SetSubclientValue("1", key, value, error);
    if (refusal != nullptr) *refusal = error;
    return set;
  }
  // Changes the VM's description on the hypervisor.
  void ChangeVM(int i, const std::function<void(lab::VMDescription&)>& change) {
    std::string error;
    lab::UpdateVMDescription(lab::SampleServer(), Name(i), [&](lab::VMDescription& vm, std::string&) {
      change(vm);
      return true;
    }, error);
  }
  lab::VMDescription Description(int i) const {
    lab::VMDescription vm;
    lab::FindVM(lab::SampleServer(), Name(i), vm);
    return vm;
  }
  void PowerOff(int i, int64_t hoursAgo) {
    std::string error;
    lab::SetVMPower(lab::SampleServer(), Name(i), false, lab::ServerClockSeconds(lab::SampleServer()) - hoursAgo * 3600,
                    error);
  }
  // The VM's record as the controller builds it from the collect file.
  vm_params VM(int i) const {
    vm_params vm;
    vm.vmName = Name(i);
    vm.vmGuid = Guid(i);
    vm.host = i % 2 == 1 ? "esx1" : "esx2";
    vm.collect = ctltest::Collect(vm.vmName, vm.vmGuid, kJob * 1000 + i);
    vm.collect.setint64(VirtualServer::VMCollect::F_vmClientId, 100 + i);
    vm.collect.setint64(VirtualServer::VMCollect::F_subclientId, 1);
    vm.indexingMetadata.vmGuid = vm.vmGuid;
    vm.indexingMetadata.vmName = vm.vmName;
    vm.indexingMetadata.host = vm.host;
    return vm;
  }
  // What VM management answers for the VM, as the worker asks.
  int Run(vm_params& vm) {
    QuarnVMManagement management(0, controller.get(), &jobMgr, &appMgr, lab_.Path("subclient"));
    quarnBackupArgs args;
    args.mVMInfo = &vmInfo;
    args.mBackupLevel = 2;
    return management.PerformVMManagement(&vm, args);
  }
  // What the index learns of the VM from the job's archive files (its archive index run): the stub
  // record the next job's collect file carries.
  lab::IndexStubRecord Indexed(int i) {
    controller->RunArchiveIndexForVM(Guid(i), kJob * 1000 + i, 1, 0, 0);
    lab::IndexStubRecord record;
    std::string error;
    lab::ReadIndexStubRecord(appMgr.getSubclientGUID(), Guid(i), record, error);
    return record;
  }
  // The index's record of a backup of the VM by `jobId` that held every disk the VM has now, as a
  // stub's job leaves it.
  void IndexBackup(int i, int64_t jobId) {
    using Idx = IdxMetadata::IdxMetaData;
    using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
    std::vector<std::vector<std::string>> entries;
    Idx vmRecord;
    vmRecord.getObject<VSMeta>(Idx::F_virtualServer, true)->setstring(VSMeta::F_esxHost, VM(i).host);
    std::string text;
    vmRecord.serialize(text, true);
    entries.push_back({"meta", "vm", text});
    const lab::VMDescription vm = Description(i);
    for (size_t d = 0; d < vm.disks.size(); ++d) {
      Idx disk;
      disk.getObject<VSMeta>(Idx::F_virtualServer, true)->setint64(VSMeta::F_sectorSize, 512);
      disk.serialize(text, true);
      entries.push_back({"meta", "disk", lab::LabDiskIndexName(d, vm.disks[d].file), text});
    }
    std::string error;
    lab::WriteIndexVMEntries(appMgr.getSubclientGUID(), Guid(i), jobId, entries, error);
  }
  // The VM made a stub by `jobId`: its backup by that job in the index and every disk gone.
  void MakeStub(int i, int64_t jobId) {
    IndexBackup(i, jobId);
    DeleteDisks(i, jobId, ~size_t{0});
  }
  // The first `count` disks of the VM deleted by a stub of `jobId`, which the hypervisor keeps with them.
  void DeleteDisks(int i, int64_t jobId, size_t count) {
    ChangeVM(i, [&](lab::VMDescription& vm) {
      for (size_t d = 0; d < vm.disks.size() && d < count; ++d) {
        vm.disks[d].deleted = true;
        vm.disks[d].stubJob = jobId;
      }
    });
  }
  // A disk added to the VM since: a new image, beside those it had.
  void AddDisk(int i, const std::string& file = "added.img") {
    ChangeVM(i, [&](lab::VMDescription& vm) {
      lab::VMDisk added = vm.disks.back();
      added.file = added.file.substr(0, added.file.rfind('/') + 1) + file;
      added.deleted = false;
      added.stubJob = 0;
      vm.disks.push_back(added);
    });
  }
  // The job manager's record of the VM as the job's stub phase leaves one it took: to be backed up with
  // no reason, its stub status (5 stubbed, 6 stub failed) saying how the stub went.
  void StatusFromStubPhase(int i, int64_t stubStatus) {
    JobManager::VMUpdateInfo record;
    record.setstring(JobManager::VMUpdateInfo::F_recordGuid, Guid(i));
    record.setint64(JobManager::VMUpdateInfo::F_vmStatus, 4);
    record.setint64(JobManager::VMUpdateInfo::F_stubStatus, stubStatus);
    jobMgr.setVMStatus(Guid(i), record);
  }
  // The job's archive files of the VM.
  size_t ArchivesOf(int i) const {
    size_t count = 0;
    for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(kJob)) {
      archive::ArchiveContents begin;
      archive::Problem problem;
      if (archive::ReadArchiveBegin(location.path, begin, problem) && begin.vmGuid == Guid(i)) ++count;
    }
    return count;
  }
  // A VM management object for the VM with these settings, as PerformVMManagement sets it up.
  std::unique_ptr<QuarnVMManagement> Management(vm_params& vm, const VMArchivingParams& params) {
    std::unique_ptr<QuarnVMManagement> management(
        new QuarnVMManagement(0, controller.get(), &jobMgr, &appMgr, std::string()));
    quarnBackupArgs args;
    args.mVMInfo = &vmInfo;
    management->TEST_Prepare(&vm, args, params);
    return management;
  }
  std::string Log() const { return lab_.Log("coordinator"); }
  size_t Count(const std::string& needle) const { return testsupport::CountOf(Log(), needle); }
  std::vector<std::string> Events() const { return lab_.Events(); }
  std::vector<std::string> Pending() const { return lab_.Pending(); }
  // Starts the job manager's record of the VM afresh.
  void ResetStatus(int i) {
    JobManager::VMUpdateInfo empty;
    jobMgr.setVMStatus(Guid(i), empty);
  }
  // The job manager's record of the VM.
  JobManager::VMUpdateInfo Status(int i) const {
    JobManager::VMUpdateInfo record;
    vsJobMgr::ReadVMStatus(kJob, Guid(i), record);
    return record;
  }
  testsupport::TestLab& Lab() { return lab_; }

 private:
  testsupport::TestLab lab_;

 public:
  vsJobMgr jobMgr;
  vsAppMgr appMgr;
  std::unique_ptr<roadtest::RoadController> controller;
  LabVMInfo vmInfo{kInstanceTypeVMware, lab::SampleServer()};
};

}  // namespace archtest
