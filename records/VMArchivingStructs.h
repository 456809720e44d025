#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "records/VMInfoStructs.h"

// The records VM archiving hands to the VM-information library: stubbing, relocation and power
// operations of one VM.
namespace VMInfoStructs {

// Where a VM stands in VM archiving. The stub record carries it, and a job's VM record too (1 selects
// the VM in the stub phase), as does an agent's result of a VM. The job manager's stub status of a VM
// is another set of numbers (JobManager::VMStubStatus).
enum VMStubState : int32_t {
  STUB_STATE_UNKNOWN = 0,
  STUB_STATE_TO_BE_STUBBED = 1,
  STUB_STATE_ALREADY_STUBBED = 2,
  STUB_STATE_IN_PROGRESS = 3,
  STUB_STATE_SUCCESSFULLY_STUBBED = 4,
  STUB_STATE_NOT_TO_BE_STUBBED = 5,
  STUB_STATE_NON_STUB = 6,
  STUB_STATE_FAILED = 7,
  STUB_STATE_PRUNED = 8,
  STUB_STATE_TO_BE_RELOCATED = 9,
  STUB_STATE_ALREADY_RELOCATED = 10,
  STUB_STATE_SUCCESSFULLY_RELOCATED = 11,
};

}  // namespace VMInfoStructs

// A disk a stub may delete: its name in backups and the change id the backup that holds it read.
struct StubVMDisk {
  std::string indexName;
  std::string changeId;
};

// One VM to stub: its identity, the disks it may delete and, filled by the library, how far the stub
// got. The library deletes no disk that `disks` does not name at its change id, nor one the backup of
// `jobId` would not bring back as it read it there.
struct StubVMCtx {
  std::string vmName;
  std::string vmGuid;
  std::string host;        // the host text of the VM's job record
  std::string datastore;   // of the VM's inventory
  std::string vmVersion;   // of the VM's inventory
  std::vector<StubVMDisk> disks;
  int64_t jobId = 0;         // the job whose backup of the VM holds the disks at those change ids
  int32_t disksDeleted = 0;  // out
  int32_t totalDisks = 0;    // out
  bool failed = false;       // out: the stub did not complete
};

// One VM to move: where to and where from. The library fills the error text on failure.
struct VMRelocateCtx {
  std::string vmName;
  std::string vmGuid;
  std::string destinationHost;
  std::string sourceHost;
  std::string destinationResourcePool;
  std::string sourceResourcePool;
  std::string destinationDatastore;
  std::string sourceDatastore;
  uint32_t destinationProvisioning = 0;  // 0: keep the disks as they are
  VMInfoStructs::SVMInfo vmInfo;
  std::string errorText;  // out
};

// A power operation on one VM.
struct OperationCtx {
  static constexpr int kPowerOff = 2;
  static constexpr int kGuestShutdown = 3;
  VMInfoStructs::SVMInfo vmInfo;  // a copy with the VM's name (field01) and GUID
  int operation = 0;
};
