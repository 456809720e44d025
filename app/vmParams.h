#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/ev/EvMessageContainer.h"
#include "records/MountCtx.h"
#include "records/VMInfoStructs.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

// A VM's progress through the job.
enum phase : int32_t {
  PHASE_NOT_STARTED = 0,
  PHASE_STARTED = 1,
  PHASE_DONE = 2,
  PHASE_DONE_WITH_ERRORS = 3,
  PHASE_PREVIOUS_ATTEMPT = 4,
  PHASE_FAILED = 5,
  PHASE_PENDING = 6,
  PHASE_STOPPING = 7,
  PHASE_STOPPED = 8,
  PHASE_SKIPPED = 9,
};

// The name of a phase; "UNKNOWN" for any value outside the enumeration. Never null.
const char* GetVMPhaseString(phase value) __attribute__((visibility("default")));

// What the indexing services hand to the index for one VM; VM archiving keeps the VM's stub record
// and its delete timestamp here between the index and the hypervisor.
struct VSAIndexingMetadata {
  std::string vmGuid;        // VMCollect 5; "\\" + it names the VM's item in an archive file
  std::string vmName;        // VMCollect 1
  std::string host;          // VMCollect 9: the ESX server
  std::string stubData;      // VMCollect 30: the stub record the index holds (XML), empty for none
  std::string datastore;     // VMCollect 34
  std::string resourcePool;  // VMCollect 38
  std::string deleteTimestampText;  // VMCollect 42: when the hypervisor was first seen without the VM
  int64_t deleteTimestamp = 0;      // the same, seconds of the hypervisor's clock; 0 for none
  uint8_t stubDataChanged = 0;      // 1: the stub record or the delete timestamp changed, the index needs them
  uint8_t flag2 = 0;
};

// The record of one VM of the job. It owns everything by value; copies are deep.
struct vm_params {
  vm_params() = default;
  vm_params(const vm_params& other) = default;
  vm_params& operator=(const vm_params& other) = default;
  ~vm_params() = default;

  // Copies the VM's identity and collect-entry values into a mount request's basic-info record.
  void GetVMBasicInfo(SVMBasicInfo& info) const;

  std::string vmName;
  std::string vmGuid;  // key in SVMParamsMap
  phase vmPhase = PHASE_NOT_STARTED;
  std::string failureReason;
  EvMessageContainer failureEvent;  // event and arguments for pending causes and job events
  int32_t priority = 0;
  int64_t lastBackupTime = 0;  // second key of the priority order, older first
  int32_t backupLevel = 0;
  VirtualServer::VMCollect collect;
  VMInfoStructs::SVMInfo vmInfo;
  std::string host;        // VMCollect 9
  std::string datastore;   // VMCollect 23
  std::string datacenter;  // VMCollect 54
  std::string cluster;     // VMCollect 68
  bool isClustered = false;  // VMCollect 27 not 0
  std::string text16;
  std::string assignedAgent;
  std::string previousAgent;
  std::set<std::string> candidateAgents;
  bool fatalError = false;
  int32_t errorCount = 0;
  std::vector<std::string> messages;
  std::vector<VirtualServer::VMContentRecord> contentRecords;
  std::vector<std::string> metadataFiles;
  int32_t statusCode = 0;
  JobManager::VMUpdateInfo updateInfo;  // written by the worker that has the VM, on its own thread
  // The worker's last progress percent, written and read under the owner's VM lock: the controller's
  // progress report reads it while the worker goes on filling updateInfo.
  int32_t progressPercent = 0;
  bool postBackupDone = false;
  uint64_t snapNumber = 0;  // summed over completed VMs by the snapshot controller
  // The VM's stub state (VMInfoStructs::VMStubState, never the job manager's JobManager::VMStubStatus):
  // STUB_STATE_TO_BE_STUBBED selects it in the stub phase; the worker's completion sets it from the VM's
  // result; VMBackupResult 26.
  int32_t archivingStatus = 0;
  // The VM is in the subclient's content (every VM of a job's list is); read by VM archiving.
  bool partOfSubclientContent = true;
  // What VM archiving decided before the backup: 103 the VM meets the archiving criteria and is
  // stubbed after this backup, 104 it does not, 0 when archiving did not look at it.
  int32_t archiveAction = 0;
  VSAIndexingMetadata indexingMetadata;
  bool appAwareFailed = false;
  bool hadFailures = false;        // the VM completed, but something of it failed
  uint32_t snapshotStatus = 0;     // 2000: the guest file-system quiesce failed while the snapshot was taken
  int32_t completionStatus = 0;    // 1 success
  uint64_t appSize = 0;            // bytes
  std::string collectText13;  // VMCollect 13
  std::string snapServerName;
  std::string snapText;
};

// Case-insensitive byte order of GUIDs.
struct __less_nocase_cmp {
  bool operator()(const std::string& a, const std::string& b) const;
};

// The job's VM records keyed by GUID, without regard to case. No lock of its own: the owner
// (coordinator or controller) guards it.
class SVMParamsMap {
 public:
  using Map = std::map<std::string, vm_params, __less_nocase_cmp>;
  using iterator = Map::iterator;
  using const_iterator = Map::const_iterator;

  // Stores a copy under the record's GUID, replacing a record whose GUID differs only in case.
  void Add(const vm_params& vm);
  bool Contains(const std::string& guid) const;
  // The record of a known VM, or null; never inserts. Use this for GUIDs that come from messages
  // and files: operator[] would add an empty record for a GUID nobody asked for.
  vm_params* Find(const std::string& guid);
  const vm_params* Find(const std::string& guid) const;
  // False for an unknown VM; nothing is inserted.
  bool UpdateVMPhase(const std::string& guid, phase value);
  bool QueryVMPhase(const std::string& guid, phase& value) const;
  bool UpdateVMFailureReason(const std::string& guid, const std::string& reason);
  // Phases 2 to 5 count as complete; false for an unknown VM.
  bool IsVMPhaseComplete(const std::string& guid) const;
  // Inserts a default record when the GUID is missing.
  vm_params& operator[](const std::string& guid);

  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  iterator begin() { return map_.begin(); }
  iterator end() { return map_.end(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }

 private:
  Map map_;
};
