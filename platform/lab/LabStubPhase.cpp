#include "platform/lab/LabStubPhase.h"

#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "records/VMArchivingStructs.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

namespace lab {
namespace {

using Stub = VirtualServer::VMArchivingData;
using Info = JobManager::VMUpdateInfo;

enum class StubOfJob { kNone, kBegun, kMade };

// What the VM's stub record says of the job: begun (in progress) or made by it, or neither. A record
// of another subclient is not the job's (`subclient` empty: not known, any).
StubOfJob RecordOfJob(const VMDescription& vm, int64_t jobId, const std::string& subclient) {
  const auto option = vm.options.find(kStubRecordOption);
  Stub record;
  if (option == vm.options.end() || !record.deserialize(option->second) ||
      record.getint64(Stub::F_stubJobId) != jobId ||
      (!subclient.empty() && std::to_string(record.getint64(Stub::F_stubSubclientId)) != subclient))
    return StubOfJob::kNone;
  switch (record.getint64(Stub::F_stubState)) {
    case VMInfoStructs::STUB_STATE_IN_PROGRESS:
      return StubOfJob::kBegun;
    case VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED:
      return StubOfJob::kMade;
    default:
      return StubOfJob::kNone;
  }
}

bool DiskDeletedOnJob(const VMDescription& vm, int64_t jobId) {
  for (const VMDisk& disk : vm.disks)
    if (disk.deleted && disk.stubJob == jobId) return true;
  return false;
}

}  // namespace

StubPhaseTraces FindStubPhaseTraces(int64_t jobId) {
  StubPhaseTraces traces;
  JobRecord job;
  std::string error;
  const std::string subclient = ReadJobRecord(jobId, job, error) ? job.subclient : std::string();
  // A stub phase stubs only VMs its job backed up: those the job manager keeps a record of.
  for (const std::string& guid : VMStatusGuids(jobId)) {
    Info record;
    if (!LoadVMStatus(jobId, guid, record, error)) continue;
    std::string server;
    VMDescription vm;
    StubOfJob stub = StubOfJob::kNone;
    if (FindVMServer(guid, server) && FindVM(server, guid, vm)) {
      stub = RecordOfJob(vm, jobId, subclient);
      if (stub != StubOfJob::kNone || DiskDeletedOnJob(vm, jobId)) traces.stubbed.push_back(vm.name);
      if (stub == StubOfJob::kMade) traces.made.push_back(vm.name);
    }
    const int64_t stubStatus = record.getint64(Info::F_stubStatus);
    if (record.getint64(Info::F_vmStatus) != kVMStatusToBeBackedUp || !record.getstring(Info::F_failureText).empty() ||
        (stubStatus != kVMStubStatusToBeArchived && stubStatus != kVMStubStatusStubFailed))
      continue;
    const std::string name = record.getstring(Info::F_vmName);
    traces.taken.push_back(name);
    if (stubStatus == kVMStubStatusToBeArchived && stub == StubOfJob::kBegun) traces.underWay.push_back(name);
  }
  return traces;
}

}  // namespace lab
