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

// What the job manager's record of the VM in a job says of a stub: no record that reads, the VM reported
// stubbed, or anything else.
enum class StubReport { kNoRecord, kStubbed, kOther };
StubReport JobManagerStubReport(int64_t jobId, const std::string& vmGuid) {
  JobManager::VMUpdateInfo record;
  std::string error;
  if (!LoadVMStatus(jobId, vmGuid, record, error)) return StubReport::kNoRecord;
  return record.getint64(JobManager::VMUpdateInfo::F_stubStatus) == kVMStubStatusStubbed ? StubReport::kStubbed
                                                                                            : StubReport::kOther;
}

// The disks (their names in backups) the VM's description marks as deleted by a stub of a job at or before
// `jobId`; none when the lab's hypervisor has no description of the VM that reads.
std::set<std::string> DisksAStubDeletedBy(const std::string& vmGuid, int64_t jobId) {
  std::set<std::string> names;
  std::string server;
  VMDescription vm;
  if (!FindLabVM(vmGuid, server, vm)) return names;
  for (size_t i = 0; i < vm.disks.size(); ++i)
    if (vm.disks[i].deleted && vm.disks[i].stubJob > 0 && vm.disks[i].stubJob <= jobId)
      names.insert(LabDiskIndexName(i, vm.disks[i].file));
  return names;
}

// Whether the job reported the VM as a stub, as its records tell it with no record of it saying
// otherwise: the index's record of the VM in the job names the stub's job (and lists no disk), or the job
// manager's record says stubbed. `stubJob` is the stub's job where the index's record names it (0 where
// only the job manager's record tells); `said` what tells it, or why nothing does.
bool ReportedAsStub(const std::string& vmGuid, int64_t jobId, const IndexRecordOfJob& index, int64_t& stubJob,
                    std::string& said) {
  const std::string job = "job " + std::to_string(jobId);
  const StubReport report = JobManagerStubReport(jobId, vmGuid);
  stubJob = 0;
  // A job manager's record that is gone says nothing of the stub: only one there that says otherwise
  // outweighs the index's record.
  if (index.found && index.stubJob > 0 && report != StubReport::kOther) {
    stubJob = index.stubJob;
    said = "the index's record of the VM in " + job + " names the stub of job " + std::to_string(stubJob);
    return true;
  }
  if (report == StubReport::kStubbed) {
    said = "the job manager's record of the VM in " + job + " says stubbed";
    return true;
  }
  if (!index.found) {
    said = index.why.empty()
               ? "neither the job's mount of the VM nor the index's record of it in " + job + " is there"
               : "the job's mount of the VM is not there, and " + index.why;
  } else if (index.stubJob <= 0) {
    said = "the job's mount of the VM is not there, and the index's record of it in " + job +
           " lists no disk and carries no stub record";
  } else {
    said = "the job's mount of the VM is not there, and the index's record of it in " + job +
           " lists no disk; it carries the stub record of job " + std::to_string(index.stubJob) +
           ", but the job manager's record of the VM in " + job + " does not say stubbed";
  }
  return false;
}

// DisksOfVMAtJob by the job's records, and where they show a stub whose own job's records are lost, by the
// hypervisor's marks of the disks the stub deleted: a stub has no other disk.
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
  std::string said;
  if (!ReportedAsStub(vmGuid, jobId, index, had.stubJob, said)) {
    had.source = said;
    return had;
  }
  had.stub = true;
  if (had.stubJob >= jobId) {
    had.source =
        job + " reported the VM as the stub of job " + std::to_string(had.stubJob) + ", not of a job before it";
    return had;
  }
  std::string ofStubJob;
  if (had.stubJob > 0) {
    const VMDisksAtJob ofStub = RecordedDisksOfVMAtJob(vmGuid, had.stubJob);
    if (ofStub.known) {
      had.known = true;
      had.names = ofStub.names;
      had.source = "those of the stub of job " + std::to_string(had.stubJob) + " that " + job + " reported: " +
                   ofStub.source;
      return had;
    }
    ofStubJob = job + " reported the VM as the stub of job " + std::to_string(had.stubJob) +
                ", whose disks cannot be told: " + ofStub.source;
    // Where the stub's job reported a stub too, its reason says already that no disk is marked.
    if (!ofStub.stub) ofStubJob += ", and the hypervisor marks no disk as deleted by a stub at or before " + job;
  }
  had.names = DisksAStubDeletedBy(vmGuid, jobId);
  had.known = !had.names.empty();
  if (had.known) {
    had.source = "those the hypervisor marks as deleted by the stub " + job + " reported (" + said + ")";
  } else if (!ofStubJob.empty()) {
    had.source = ofStubJob;
  } else {
    had.source = job + " reported the VM as a stub (" + said + "), and the hypervisor marks no disk as deleted by "
                 "a stub at or before it";
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
  for (const std::string& name : DisksAStubDeletedBy(vmGuid, jobId)) had.names.insert(name);
  return had;
}
}  // namespace lab
