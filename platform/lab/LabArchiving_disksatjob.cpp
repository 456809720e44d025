#include <strings.h>

#include <algorithm>

#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabArchiving_shared.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMount.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

// The lab's archiving model: the disks a VM had at a job, as the job's records show them.
namespace lab {
namespace {

using Stub = VirtualServer::VMArchivingData;

// What the index's record of the VM in a job says of its disks: those it lists, and the job of the stub
// record it carries (0: none).
struct IndexRecordOfJob {
  bool found = false;
  std::set<std::string> disks;
  int64_t stubJob = 0;
  std::string why;  // why a record there does not read
};

// The stub's job of the stub record in the aux text of a VM-level index entry; 0 when it carries none.
int64_t StubJobOfIndexEntry(const std::string& message) {
  using Aux = IdxMetadata::IdxAuxMetaData;
  IdxMetadata::IdxMetaData metadata;
  std::string error;
  if (!metadata.deserialize(message, &error)) return 0;
  const Aux* aux = metadata.getObject<Aux>(IdxMetadata::IdxMetaData::F_aux, false);
  Stub stub;
  if (aux == nullptr || aux->getstring(Aux::F_auxText).empty() || !stub.deserialize(aux->getstring(Aux::F_auxText)))
    return 0;
  return stub.getint64(Stub::F_stubJobId);
}

IndexRecordOfJob ReadIndexRecordOfJob(const std::string& vmGuid, int64_t jobId) {
  IndexRecordOfJob record;
  for (const std::string& subclient : IndexSubclients()) {
    std::vector<std::vector<std::string>> entries;
    std::string error;
    if (!ReadIndexVMEntries(subclient, vmGuid, jobId, entries, error)) {
      record.why = "the index's record of the VM in job " + std::to_string(jobId) + " does not read: " + error;
      continue;
    }
    if (entries.empty()) continue;
    record.found = true;
    for (const auto& entry : entries) {
      if (entry.size() == 3 && entry[0] == "disk") record.disks.insert(entry[1]);
      if (entry.size() == 3 && entry[0] == "meta" && entry[1] == "vm") record.stubJob = StubJobOfIndexEntry(entry[2]);
    }
    return record;
  }
  return record;
}

// Whether the job manager's record of the VM in the job says the job reported it stubbed.
bool ReportedStubbedIn(int64_t jobId, const std::string& vmGuid) {
  JobManager::VMUpdateInfo record;
  std::string error;
  return LoadVMStatus(jobId, vmGuid, record, error) &&
         record.getint64(JobManager::VMUpdateInfo::F_stubStatus) == kVMStubStatusStubbed;
}

// DisksOfVMAtJob by the job's records alone (the hypervisor's marks aside).
VMDisksAtJob RecordedDisksOfVMAtJob(const std::string& vmGuid, int64_t jobId) {
  VMDisksAtJob had;
  had.jobId = jobId;
  const std::string job = "job " + std::to_string(jobId);
  if (AddDisksMountOfJobTook(jobId, vmGuid, had.names)) {
    had.known = true;
    had.mounted = true;
    had.source = "those the mount of " + job + " took";
    return had;
  }
  const IndexRecordOfJob index = ReadIndexRecordOfJob(vmGuid, jobId);
  if (!index.disks.empty()) {
    had.names = index.disks;
    had.known = true;
    had.source = "those the index's record of the VM in " + job + " lists";
    return had;
  }
  if (!index.found) {
    had.source = index.why.empty()
                     ? "neither the job's mount of the VM nor the index's record of it in " + job + " is there"
                     : "the job's mount of the VM is not there, and " + index.why;
    return had;
  }
  const std::string stubJob = "job " + std::to_string(index.stubJob);
  if (index.stubJob <= 0) {
    had.source = "the job's mount of the VM is not there, and the index's record of it in " + job +
                 " lists no disk and carries no stub record";
  } else if (!ReportedStubbedIn(jobId, vmGuid)) {
    had.source = "the job's mount of the VM is not there, and the index's record of it in " + job +
                 " lists no disk; it carries the stub record of " + stubJob + ", but the job manager's record "
                 "of the VM in " + job + " does not say stubbed";
  } else if (index.stubJob >= jobId) {
    had.source = job + " reported the VM as the stub of " + stubJob + ", not of a job before it";
  } else {
    const VMDisksAtJob ofStub = RecordedDisksOfVMAtJob(vmGuid, index.stubJob);
    had.known = ofStub.known;
    had.names = ofStub.names;
    had.source = ofStub.known ? "those of the stub of " + stubJob + " that " + job + " reported: " + ofStub.source
                              : job + " reported the VM as the stub of " + stubJob + ", whose disks cannot be told: " +
                                    ofStub.source;
  }
  return had;
}
}  // namespace

bool VMDisksAtJob::Had(const std::string& name) const {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& had) { return strcasecmp(had.c_str(), name.c_str()) == 0; });
}

bool VMDisksAtJob::HadDisk(const std::string& vmGuid, size_t position, const std::string& imageFile) const {
  return Had(LabDiskIndexName(position, imageFile)) || Had(LabVolumeBackupName(vmGuid, position));
}

VMDisksAtJob DisksOfVMAtJob(const std::string& vmGuid, int64_t jobId) {
  if (jobId <= 0) {
    VMDisksAtJob none;
    none.source = "no job names them";
    return none;
  }
  VMDisksAtJob had = RecordedDisksOfVMAtJob(vmGuid, jobId);
  if (!had.known) return had;
  // A disk a stub deleted by then is the VM's still: a restore as of the job brings it back.
  std::string server;
  VMDescription vm;
  if (!FindLabVM(vmGuid, server, vm)) return had;
  for (size_t i = 0; i < vm.disks.size(); ++i)
    if (vm.disks[i].deleted && vm.disks[i].stubJob > 0 && vm.disks[i].stubJob <= jobId)
      had.names.insert(LabDiskIndexName(i, vm.disks[i].file));
  return had;
}
}  // namespace lab
