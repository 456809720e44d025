#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/vmParams.h"
#include "disklayout/quarnconfig.h"
#include "platform/appmgr/VMArchivingParams.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "records/VMArchivingStructs.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

class IVMInfo;
class QuarnController;
class vsArchive;

// VM archiving and power management of one VM, made by the worker for each VM after it connected to
// the hypervisor and before it mounts the VM.
//
// An archiving job runs its VMs twice. In the backup phase the VM's stub record on the hypervisor (its
// option "JyStub.ReparseData") is compared with the one in the index, so that a stub is not backed up
// as a whole VM, a stub cut off is retried, a VM restored from a stub is judged again and a stub deleted
// from the hypervisor expires after the subclient's retention; an idle VM that meets the archiving
// criteria is backed up and marked to be stubbed (archive action 103). The hypervisor's record of this
// subclient stands in for one the index lost (a job run without archiving backs a stub up without its
// record), and one that no stub stands behind is no stub: the VM is backed up whole. Every job that
// reports a stub sends its record to the index in an archive of its own, the stub's backup in that job.
// A VM whose stub record names this
// job (its stub phase began or made the stub) is left as it is by a later attempt of the backup phase,
// with or without the archiving check: its backup by the attempt the stub was made on must stay the
// job's latest. Where that backup cannot be shown to hold every disk the VM has, or the stub was made
// and the VM has disks again, the VM fails instead; it is never backed up over the disks the stub
// deleted. In the stub phase (a run with
// -stubPhase) the job manager hands over only the VMs that were backed up and marked; each is stubbed
// (its disks deleted, the stub record written in the VM) or relocated. Stubbing deletes data, so the
// stub phase refuses a VM whose backup the index does not hold.
//
// Result codes: 108 lets the worker go on with the backup (never in the stub phase); every other code
// ends the VM's road with it.
class QuarnVMManagement {
 public:
  // ---- Result codes ----
  static constexpr int kResultFailed = 95;
  static constexpr int kResultStubbedElsewhere = 100;  // stubbed by another subclient
  static constexpr int kResultAlreadyStubbed = 101;
  static constexpr int kResultStubbed = 102;
  static constexpr int kResultToBeStubbed = 103;  // also the archive action of a VM to be stubbed
  static constexpr int kContinueBackup = 108;     // archiving does not apply: back the VM up
  static constexpr int kResultPruned = 109;
  static constexpr int kResultCloseArchiveFailed = 110;
  static constexpr int kResultIndexUpdateFailed = 110;
  static constexpr int kResultNotToBeArchived = 113;
  static constexpr int kResultRetryStub = 118;
  static constexpr int kResultRelocated = 120;
  static constexpr int kResultNoArchiveFile = 131;
  static constexpr int kResultArchiveIndexFailed = 132;
  // Archive actions (vm_params::archiveAction): decided before the backup. Each but none is also what
  // a backup of the VM that ends well reports.
  static constexpr int32_t kArchiveActionToBeStubbed = 103;
  static constexpr int32_t kArchiveActionNone = 104;
  static constexpr int32_t kArchiveActionRetryStub = 118;  // a stub cut off: backed up again, then retried
  // True for an action whose backup hands the index the VM's stub record (with the VM header).
  static bool CarriesStubRecord(int32_t archiveAction) {
    return archiveAction == kArchiveActionToBeStubbed || archiveAction == kArchiveActionRetryStub;
  }

  // The four flags of a VM as the backup phase finds it.
  struct VMArchivingVMState {
    bool PartOfSubclientContent = false;
    bool StubInIndex = false;
    bool PresentOnESXServer = false;
    bool PresentOnESXAsStub = false;
  };

  QuarnVMManagement(int workerId, QuarnController* controller, vsJobMgr* jobMgr, vsAppMgr* appMgr,
                    const std::string& subclientDir);
  virtual ~QuarnVMManagement();
  QuarnVMManagement(const QuarnVMManagement&) = delete;
  QuarnVMManagement& operator=(const QuarnVMManagement&) = delete;

  // The worker's one entry point.
  int PerformVMManagement(vm_params* vm, quarnBackupArgs& args);

  // ---- Stub phase (QuarnVMManagement_stub.cpp) ----
  int VMArchStubPhase();
  // True when the VM is selected: `stubData` then holds a fresh stub record and `option` is 1 (stub)
  // or 9 (relocate).
  bool VMArchCheckVMArchivingCriteria(VMInfoStructs::SVMInfo& info, std::string& stubData,
                                      VMInfoStructs::VMStubState& option);
  // The name lists: sets each flag whose list names the VM (never clears one).
  void VMArchCheckRegistryForArchivingCriteria(bool& toArchive, bool& toRelocate);
  bool VMArchCheckIfVMHasIndependentDisk(VMInfoStructs::SVMInfo& info);
  bool VMArchIsVMAlreadyRelocated(const VMInfoStructs::SVMInfo& info);
  bool VMArchRelocateVM(VMInfoStructs::SVMInfo& info);
  bool VMArchStubVM(VMInfoStructs::SVMInfo& info);

  // ---- Shared services (QuarnVMManagement.cpp) ----
  // 0, or 65 when the record cannot be written.
  int VMArchGenerateVMStubData(std::string& out, VMInfoStructs::VMStubState state, unsigned long retryCount);
  // Rewrites the record in place: each non-zero argument replaces its field. A text that does not parse
  // is left as it is (0); 65 when the record cannot be written back.
  static int VMArchUpdateVMStubData(std::string& xml, VMInfoStructs::VMStubState state, unsigned long retryCount,
                                    long long vmSize, long long guestSize);
  bool VMArchAddStubDataToVMXFile(const std::string& option, const std::string& value);
  int VMArchSetStubInfoToCustomField(const std::string& value);
  int VMArchUpdateIndexingStubState(VMInfoStructs::VMStubState state);
  // The state's name; "NOT_DEFINED" for a value outside the table.
  std::string VMArchGetStubStateString(int state);
  bool VMArchUpdateJobManagerStatus(JobManager::VMStubStatus status);
  void VMArchSetJPR(int code, unsigned long subclientId, const std::string& text);
  void DumpStubInformation(const VirtualServer::VMArchivingData& record);

  // ---- Backup phase (QuarnVMManagement_backup.cpp) ----
  int VMArchDoArchiveManagmentForVM();
  int VMArchBackupPhase();
  int VMArchHandleStubCases(VMInfoStructs::SVMInfo& info, const VirtualServer::VMArchivingData& onServer,
                            const VirtualServer::VMArchivingData& inIndex, VMArchivingVMState& state);
  int VMArchHandlePrunedOrDeletedVM(const VirtualServer::VMArchivingData& onServer,
                                    const VirtualServer::VMArchivingData& inIndex, int serverState, int indexState,
                                    VMArchivingVMState& state);
  int VMArchHandleVMStubbedInVCenterAndIndex(const VirtualServer::VMArchivingData& onServer,
                                             const VirtualServer::VMArchivingData& inIndex, int serverState,
                                             int indexState);
  int VMArchHandleDeletedStubVM();
  int VMArchHandleNonStubVM(VMInfoStructs::SVMInfo& info);
  int VMArchHandleVMStubbedInIndex(VMInfoStructs::SVMInfo& info);
  int VMArchHandleVMStubbedInVCenter(const VirtualServer::VMArchivingData& onServer);
  bool CreateArchiveFile(quarnBackupArgs& args, vsArchive* archive);
  int VMArchSendMetadata(VSAIndexingMetadata& metadata);
  int VMArchSendVSIdxMetadata(const VSAIndexingMetadata& metadata);
  // The header of the update's closing item (the "\\" pseudo item after the VM's own).
  int SendClosingItemHeader();
  // The check for a subclient backed up without turbo: 100 for a VM that is a stub, 108 otherwise.
  int VMArchHandleNonTurboEnbaledSubclientVM();
  // A stub record on the hypervisor that this job's own stub phase wrote (begun or made), as a later
  // attempt of the job's backup phase finds it.
  bool IsStubOfThisJob(const VirtualServer::VMArchivingData& onServer) const;
  // A stub record of this subclient and Keyrealm.
  bool IsOwnStubRecord(const VirtualServer::VMArchivingData& record) const;
  // What stands behind a stub record of this subclient on the hypervisor: a stub, nothing (the VM is
  // backed up as a whole one), or what cannot be told (the VM fails, neither backed up nor reported).
  enum class StubRecordVerdict { kStub, kNoStub, kUndecided };
  // A stub made of an earlier job deleted every disk the VM had, so its record stands only while the VM
  // has none: a disk added since, or a record copied onto a whole VM, is backed up. A stub under way of
  // an earlier job is retried on a backup made first, whatever it deleted. A record naming this job is
  // judged by JudgeStubOfThisJob. `why`: why it is no stub, or cannot be told.
  StubRecordVerdict JudgeStubRecord(const VirtualServer::VMArchivingData& onServer,
                                    const VMInfoStructs::SVMInfo& info, std::string& why);
  // A record naming this job: a backup by this attempt would replace the one the job's stub deleted
  // disks on, so the VM is never backed up where the hypervisor shows the job's stub (the VM has no
  // disk, or one the job's stub deleted), whatever the index and the job manager lost, nor where an
  // earlier attempt of the job backed it up (EarlierAttemptBackedUpVM). It stands as a stub while the
  // VM has no disk, or while the stub is under way and every disk the VM has is one the job's backup
  // holds (JobBackupHoldsEveryDisk). It cannot be told (the VM fails, neither backed up nor reported)
  // for a stub under way with a disk that backup does not hold or that nothing shows it holds, for a
  // stub made that has disks again whatever that backup holds, and where the index cannot be asked and
  // the job manager's record shows nothing. It is no stub only where nothing shows the job's stub and
  // no earlier attempt of the job backed the VM up.
  StubRecordVerdict JudgeStubOfThisJob(const VirtualServer::VMArchivingData& onServer,
                                       const VMInfoStructs::SVMInfo& info, std::string& why);
  // The same, said: a record no stub stands behind in the log and, once the VM is backed up, in its
  // status text; one that cannot be judged in the log and in the VM's failure reason.
  StubRecordVerdict JudgeStubRecordAndSay(const VirtualServer::VMArchivingData& onServer,
                                          const VMInfoStructs::SVMInfo& info);
  enum class Answer { kYes, kNo, kUnknown };
  // Whether the index holds this job's backup of the VM (kUnknown: it cannot be asked); `items`: what
  // that backup holds, by name.
  Answer IndexHoldsBackupOfThisJob(IdxMetadataByName& items);
  // Whether an earlier attempt of this job backed the VM up: the index holds the job's backup of it
  // (`indexed`), or the job manager's record of the VM in the job shows that the job's stub phase took
  // it (it takes only a VM the job backed up). kUnknown when the index cannot be asked and the record
  // shows nothing.
  Answer EarlierAttemptBackedUpVM(Answer indexed) const;
  bool JobManagerShowsStubPhaseTookVM() const;
  // Whether the hypervisor keeps a disk of the VM that this job's stub deleted.
  bool StubOfThisJobDeletedADisk(const VMInfoStructs::SVMInfo& info) const;
  // Whether this job's backup of the VM, as the index holds it (`indexed`, its items by name), holds
  // every disk the VM has; where the index has no record of it or cannot be asked, nothing shows that
  // it holds any. `why`: the disks it may not hold, and why they fail the VM.
  bool JobBackupHoldsEveryDisk(const VMInfoStructs::SVMInfo& info, Answer indexed, const IdxMetadataByName& items,
                               std::string& why) const;
  // Such a VM is left as it is and says so: 101 for a stub made (it has no disk), 103 for one under way
  // (it stays to be archived, for the stub phase to finish).
  int LeaveStubOfThisJob(const VirtualServer::VMArchivingData& onServer);
  // Where the archiving check is left out (settings that cannot be read, no turbo, no stream, a
  // subclient that archives nothing) the VM's stub record is still asked for: 108 unless it is a stub
  // of this job, which is left as it is all the same.
  int LeaveStubOfThisJobOrGoOn();
  // A VM reported done without a backup in this attempt (101, 103): its content entry and its status
  // with the job manager. Other results are left as they are.
  void ReportDoneWithoutBackup(int result);

  // ---- Power management (QuarnVMManagement_power.cpp) ----
  int DoPowerManagmentForVM();
  // The same for a caller outside the worker.
  int DoPowerManagmentForVM(const std::string& vmName, const std::string& vmGuid, IVMInfo* vmInfo, vsAppMgr* appMgr);
  bool PowerOffVMIdleVM();

  // Name lists: splits ';'-separated names, '"' quoting, '\' escaping the next character.
  static std::vector<std::string> SplitVMNameList(const std::string& list);

  // Test hook: takes the VM, its argument block and the settings as PerformVMManagement does, without
  // reading the settings.
  void TEST_Prepare(vm_params* vm, quarnBackupArgs& args, const VMArchivingParams& params) {
    Attach(vm, args);
    m_params = params;
  }

  // The guest shutdown is waited for this many times this long (through the platform clock).
  static constexpr int kShutdownPolls = 10;
  static constexpr long long kShutdownPollMs = 30000;

 private:
  // Sets the VM's record and its parts: what PerformVMManagement keeps of its arguments.
  void Attach(vm_params* vm, quarnBackupArgs& args);
  bool IsStubPhase() const;
  // The VM's inventory by the option flags; false when no data came back.
  bool QueryVM(uint64_t flags, const std::string& host, VMInfoStructs::SVMInfo& info);
  // The criteria for a VM that is whole on the hypervisor, and what the worker is told of it; 108. A VM
  // not selected loses the index's stub record when `dropIndexStubWhenNot` (it was restored from one).
  int JudgeWholeVM(VMInfoStructs::SVMInfo& info, bool dropIndexStubWhenNot);
  // The stub's safety check: this job's backup of the VM, as the index holds it, selected the VM for
  // stubbing and holds every disk the VM has now at the change id the disk has now. `disks`: those
  // disks with their change ids, all a stub may delete; `reason`: why not.
  bool IndexHoldsBackupOfVM(const VMInfoStructs::SVMInfo& info, std::vector<StubVMDisk>& disks, std::string& reason);
  // A stub that was cut off (118): the VM is backed up like any other before its stub is retried, so
  // that the retry deletes only what this job's backup holds; 108.
  int RetryStubAfterBackup(VMInfoStructs::SVMInfo& info);
  // A failure of the stub phase: the VM's reason and the log line.
  int FailStubPhase(int code, const std::string& reason);
  // Sets a field of the VM's job-manager record.
  void SetUpdateInfo(const CNField& field, int64_t value);
  // True when the settings name a host, datastore, resource pool or disk provisioning to relocate to.
  bool HasRelocationDestination() const;
  // Days (or hours) the VM has been off, as the criteria compare them.
  int32_t PoweredOffUnits(const VMInfoStructs::SVMInfo& info) const;
  // The VM's client id (VMCollect 21).
  int64_t VMClientId() const;
  // The delete-timestamp expiry: the server's current time, false when it cannot be had (logged).
  bool ServerTime(int64_t& now);
  void LogTime(const char* sig, const char* format, int64_t seconds);

  EvEvent m_event;
  // Constant after construction.
  const int m_workerId;
  QuarnController* const m_controller;
  vsJobMgr* const m_jobMgr;
  vsAppMgr* const m_appMgr;
  const std::string m_subclientDir;

  // Set by PerformVMManagement; all of it belongs to the worker thread that runs the VM.
  IVMInfo* m_vmInfo = nullptr;
  vm_params* m_vm = nullptr;
  quarnBackupArgs m_args;
  std::string m_vmName;
  std::string m_vmGuid;
  VSAIndexingMetadata* m_indexingMetadata = nullptr;
  VMArchivingParams m_params;
  // The stream borrowed for the index update of the backup phase; null otherwise.
  vsArchive* m_archive = nullptr;
};
