#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/QuarnRegistry.h"
#include "app/vmParams.h"
#include "coordinator/QuarnAgentInfo.h"
#include "coordinator/QuarnStreamInfo.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"
#include "platform/frame/VSCoordinator.h"
#include "platform/index/TVMContentTable.h"
#include "platform/index/TVMGUIDTable.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/StoreResults.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/FixedRecords.h"
#include "records/MountCtx.h"
#include "records/VMInfoStructs.h"
#include "records/ZtCriticalSection.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

class QuarnController;
class QuarnScaleAgentManager;

// The agent-selection methods; the rule of each is the coordinator's SelectAgentsForVM_<name>.
enum class QuarnSelectAgentForVMMethod : int {
  First = 0,
  SanDatastore = 1,
  Host = 2,
  Datastore = 3,
  Datacenter = 4,
  ClusterAndDatacenter = 5,
  DatacenterAndOS = 6,
  Subnet = 7,
  Any = 8,
  Coordinator = 9,
  ClusterAny = 10,
  ClusterVolumeOwner = 11,
  ClusterVolumeGroup = 12,
  ClusterFaultDomain = 13,
  Cluster = 14,
  Self = 15,
  OS = 16,
  Last = 17,
};

// The coordinator of one backup job: builds the job's VM list from the collect file, starts and
// supervises its agents (its own in-process agent and one process per further proxy), answers their
// messages, lends the job's streams, keeps every VM's status with the job manager, writes the result
// file and decides the job's outcome.
//
// Threads: Initialize, Run, CheckJobPhaseSuccess and Deinitialize run on the application's main
// thread, and the server loop calls the idle states and every handler on that same thread, so most
// members are plain fields of that thread. Restart work items (thread pool) share only the restart
// queue; the VM-information library's callbacks reach only the shared-snapshot hooks; the auto-scale
// base's thread reaches only OnAgentCreationSucceeded and hands its estimate to the loop thread. The
// locks below name what they guard.
class QuarnCoordinator : public VSCoordinator {
 public:
  // The coordinator states.
  enum State : uint32_t { kConstructed = 0, kStarting = 1, kRunning = 2, kStopping = 3 };

  QuarnCoordinator();
  ~QuarnCoordinator() override;
  QuarnCoordinator(const QuarnCoordinator&) = delete;
  QuarnCoordinator& operator=(const QuarnCoordinator&) = delete;

  // ---- Framework callbacks and quit flags ----
  bool CheckQuitFlag() override;
  void OnIdle() override;
  void OnAgentStarted(const std::string& name) override;
  void OnAgentStopped(const std::string& name) override;
  void OnAgentFailed(const std::string& name) override;
  void OnMsgReceived(const std::string& name, CNMessageBase* message) override;
  virtual int GetProtocolVersion() { return 1120; }

  // ---- Lifecycle ----
  virtual bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController);
  virtual bool Run();
  virtual bool Deinitialize();
  virtual bool CheckJobPhaseSuccess(bool& partial, bool& failJob, bool& setupFailed, bool& resumeNow);
  virtual const char* GetApplicationName() { return "quarn"; }
  virtual std::string GetDiscoveryCollectFilePath();
  virtual bool InitVMList();
  virtual void UpdateVMJobIds();
  virtual void UpdateVMBackupLevel(std::vector<JobManager::VMUpdateInfo>& records);
  virtual void UpdateVMPriorities();
  virtual bool InitAgents();
  // False, with the job's pending cause and event, when the subclient's backup type is one no agent
  // can back a VM up in (neither disk nor volume).
  bool CheckBackupType();
  virtual void ChooseVMSelectionMethods(std::vector<QuarnSelectAgentForVMMethod>& methods);

  // ---- Message handlers ----
  virtual bool OnMsgVMAgentStartup(const std::string& agent, VirtualServer::VMAgentStartup* message);
  virtual bool OnMsgVMAgentShutdown(const std::string& agent, VirtualServer::VMAgentShutdown* message);
  virtual bool OnMsgVMAgentStatus(const std::string& agent, VirtualServer::VMAgentStatus* message);
  virtual bool OnMsgVMBackupResult(const std::string& agent, VirtualServer::VMBackupResult* message);
  virtual bool OnMsgVMBackupProgress(const std::string& agent, VirtualServer::VMBackupProgress* message);
  virtual bool OnMsgVMBackupGetNextVM(const std::string& agent, VirtualServer::VMBackupGetNextVM* message);
  virtual bool OnMsgVMBackupStream(const std::string& agent, VirtualServer::VMBackupStream* message);
  virtual bool OnMsgVMSnapMetaData(const std::string& agent, VirtualServer::VMSnapBackup* message);

  // ---- Streams (QuarnCoordinator_streams.cpp) ----
  virtual bool InitStreams();
  virtual void calculateRequiredStreams();
  virtual bool UpdateStreamInfo();
  virtual void ExchangeStreamReservationForClient(QuarnStreamInfo& stream, const std::string& client);
  virtual void CalculateStreamLimitForAgent(const std::string& agent, VirtualServer::VMAgentStartup* message);

  // ---- Index, shared snapshot and auto-scale hooks ----
  virtual bool FinalizeIndex();
  virtual bool DistributeSharedShadow();
  virtual int PreCreateSharedShadow();
  virtual int PostCreateSharedShadow();
  virtual bool CreateSharedShadow();
  virtual bool DeleteSharedShadow();
  virtual bool DistributeMountSnapInfo();
  virtual bool PrepareVMInfo();
  virtual bool CheckAndAddAgents();
  virtual bool IsScaleAgentMgmtEnabled();
  virtual QuarnScaleAgentManager* CreateScaleAgentManager();

  // ---- Quit flags and outcome ----
  void SetQuitFlag();
  void CheckVMQuitFlags();
  bool ShouldResumeImmediately();
  bool JobRestarted();
  bool GetCarryForwardVMList();
  bool InitializeCluster();

  // ---- Result file "backup.out" ----
  bool InitBackupResults();
  void WriteBackupDotOut(const std::string& line);
  void WriteBackupDotOut(const std::string& vmName, const std::string& item, const std::string& reason,
                         bool skipped, bool warning);

  // ---- Shared snapshot and auto-scale ----
  // Called by the auto-scale manager's base on its own thread when an agent-creation job succeeded.
  void OnAgentCreationSucceeded();

  // ---- Log-archiver results (QuarnCoordinator_index.cpp) ----
  // One VM's answer from the log-archiver batch: 0 archived, anything else failed. An answer for a
  // VM that is not waiting for one is ignored.
  void HandleLogArchiverComplete(const std::string& vmGuid, int64_t status);

  // The streams the job manager granted ("-numStreams").
  void SetAvailableStreams(int streams) { m_availableStreams = streams; }
  int GetAvailableStreams() const { return m_availableStreams; }
  uint32_t GetState() const { return m_state; }

 protected:
  // Whether a VM's result may change anything: its VM is being backed up, by the agent that sent it,
  // and every number of it is in range. A refused result is logged with why. (QuarnCoordinator_messages.cpp)
  bool AcceptVMBackupResult(const std::string& agent, const VirtualServer::VMBackupResult& message);
  // A snapshot backup's VM that ended backed up, reported failed afterwards by the agent that ended
  // it (the storage snapshot its backup is could not be finished): it is failed, and counted so.
  // False, changing nothing, for any other result. (QuarnCoordinator_messages.cpp)
  bool FailEndedSnapshotVM(const std::string& agent, const VirtualServer::VMBackupResult& message);

  // ---- Agents (QuarnCoordinator_agents.cpp) ----
  bool AddAgent(const std::string& name);
  using VSCoordinator::AddAgent;
  void StartAgents();
  std::string GetCommandArgsToAddRemoteAgent();
  void StopAllAgents();
  bool CopyFileToRemoteNode(const std::string& file, const std::string& host, const std::string& sourceFolder,
                            const std::string& destinationFolder);
  bool SendMsgToAgent(const std::string& name, const CNMessageBase& message);
  void SentAgentStatusRequest(const std::string& name);
  void QueueAgentForRestart(const std::string& name);
  static void RestartAgentThreadStatic(void* context);
  void RestartAgentThread();
  // The agent's record, or null for a name the coordinator does not know.
  QuarnAgentInfo* FindAgent(const std::string& name);
  std::string OwnClientName() const;
  // Any agent but the coordinator's own (its controller gets what the others are sent directly).
  bool IsRemoteAgent(const std::string& name) const;
  void SendToInitializedRemoteAgents(const CNMessageBase& message);

  // ---- Idle states (QuarnCoordinator_idle.cpp) ----
  void OnIdle_Starting();
  void OnIdle_Running();
  void OnIdle_Stopping();
  void CheckAndRebalanceVMS(bool force);
  // True when one of the VM's candidate agents runs or may still come back.
  bool HasRunnableCandidate(const vm_params& vm);

  // ---- Messages (QuarnCoordinator_messages.cpp) ----
  void ProcessGetNextVMAgentQueue();
  bool ProcessGetNextVMForAgent(const std::string& agent);
  // The walk of the priority list for the agent: the VM to give it (none, with `found` set, when VMs
  // are eligible for it but none may go now; none, with `found` clear, when none is eligible). False
  // when the request cannot be answered in this call (the coordinator is not running, or a VM that
  // had started was taken off the list).
  bool SelectVMForAgent(const std::string& agent, std::set<std::string>& selection, bool& found);
  bool GiveVMsToAgent(const std::string& agent, const std::set<std::string>& vms);
  bool LookupSnapMetaDataForJobId(int64_t jobId, size_t& position);
  bool AddSnapDSListToMetaData(const CNMessageList& source, CNMessageList& destination);
  // Puts a VM an agent held back into the job: to the end of the priority list, or pending when it
  // was statically assigned. Its volume activity is given back.
  void TakeBackVM(const std::string& agent, const std::string& guid, bool staticallyAssigned);

  // ---- Dispatch (QuarnCoordinator_dispatch.cpp) ----
  void DistributeVMsToAgents(bool redistribute);
  std::string SelectAgentFromList(const std::set<std::string>& candidates);
  void OrderVMPriorityList(bool redistribute) EXCLUSIVE_LOCKS_REQUIRED(m_priorityListLock);
  // Whether VM a goes before VM b in the priority list (GUIDs of the VM map); the second form also
  // names the key that decided.
  bool OrderVMPriorityListCompare(const std::string& a, const std::string& b);
  bool _OrderVMPriorityListCompare(const std::string& a, const std::string& b, std::string& reason);
  bool RemoveVMFromVMPriorityList(const std::string& guid);
  // Takes the VM out of the agent's VM sets and its disk load out of the agent's.
  void ForgetCandidate(const std::string& agent, const vm_params& vm);
  void DispatchVMLists();
  // Records each VM's dispatch to the agent before any of them goes out (a VM whose dispatch is not on
  // record must not go out) and gives back the VMs whose dispatch is recorded; each other VM is held
  // back (HoldBackUnrecordedVM). The set is a copy: holding a VM back changes the agent's sets.
  std::set<std::string> RecordVMDispatches(const std::string& agent, std::set<std::string> vms);
  // A VM whose dispatch to the agent could not be recorded: while a later try may pass, it goes back to
  // the priority list (its candidates kept) and no agent is given it before kDispatchRetrySeconds; a
  // VM whose record can never be written fails, and one whose record was not written at its last try
  // ends pending (the job goes pending for it); either says why, with an event and a pending cause.
  void HoldBackUnrecordedVM(const std::string& agent, vm_params& vm, DispatchRecord record, const std::string& error);
  // True while the VM waits for its next try at a dispatch.
  bool WaitsForDispatchRetry(const std::string& guid, time_t now) const;
  // Serves the held requests for work once a VM's next try at a dispatch is due.
  void RetryDueDispatches();
  uint32_t GetVolumeActivityForVM(const vm_params& vm);
  void IncrementVolumeActivityForVM(const vm_params& vm);
  void DecrementVolumeActivityForVM(const vm_params& vm);

  // ---- Agent selection (QuarnCoordinator_select.cpp) ----
  // The frame every rule runs in: the rule, then the agents that can take no stream are dropped and
  // data-path media agents preferred. The rules fill the candidates (emptied first) and the note.
  bool SelectAgentsForVM(QuarnSelectAgentForVMMethod method, const vm_params& vm, std::set<std::string>& candidates,
                         std::string& note);
  bool _SelectAgentsForVM(QuarnSelectAgentForVMMethod method, const vm_params& vm, std::set<std::string>& candidates,
                          std::string& note);
  bool SelectAgentsForVM_First(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_SanDatastore(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Host(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Datastore(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Datacenter(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_ClusterAndDatacenter(const vm_params& vm, std::set<std::string>& candidates,
                                              std::string& note);
  bool SelectAgentsForVM_DatacenterAndOS(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Subnet(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Any(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Coordinator(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_ClusterAny(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_ClusterVolumeOwner(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_ClusterVolumeGroup(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_ClusterFaultDomain(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Cluster(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Self(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_OS(const vm_params& vm, std::set<std::string>& candidates, std::string& note);
  bool SelectAgentsForVM_Last(const vm_params& vm, std::set<std::string>& candidates, std::string& note);

  // ---- Job status with the job manager (QuarnCoordinator_jobstatus.cpp) ----
  bool UpdateJobManagerVMList_Initial();
  bool UpdateJobManagerVMList_Restart();
  bool UpdateJobManagerVMList_LastAttempt();
  bool UpdateJobManagerVMList_FailPendingVMs();
  bool UpdateJobManagerVMList_StubPhase();
  // A VM's status with the job manager as the stub phase finds it, counted as its backup phase's result:
  // one the stub phase took, or whose stub it made (to be backed up with no reason beside a stub status),
  // was backed up; one still to be backed up otherwise, or in progress, was left unfinished.
  void CountBackupPhaseResult(int status, bool takenByStubPhase);
  // Keeps the VMs of the job (its collect file) of which the job manager holds none of the records the
  // stub phase begins with: their status in the backup phase could not be recorded, or was lost.
  void NoteVMsWithoutRecord(const std::vector<JobManager::VMUpdateInfo>& records);
  // Whether the stub phase finds the VM's record as a backup phase left it when it did not finish the
  // VM and said nothing of why (its job process died): in progress, or still to be backed up with no
  // reason and no stub status.
  static bool LeftUnfinishedWithoutAWord(const JobManager::VMUpdateInfo& record);
  // A stub phase that ends the job archives nothing of a VM its backup phase left unfinished without a
  // word: each is named with why, its record (to be backed up, with the reason, which a later attempt
  // of the job backs up), the log, event and pending cause 0x5B0001DB and a line of the result file.
  // Each is named once, and not in any other phase.
  void NameVMsTheBackupPhaseLeftUnfinished();
  // Priorities from "VMPriorities.csv" for the VMs not started yet; `changed` is set when one changed.
  void UpdateVMPrioritiesFromFile(bool& changed);
  // Logs the job manager's status list (a diagnostic).
  void DumpJobManagerVMList();
  // Fails the VM with the reason: its phase and reason, its record kept for the job manager's next
  // status update, and the failure count.
  void FailVMWithReason(vm_params& vm, const std::string& reason);
  void AddVMFileFailures(int count);
  void AddVMFailures(int count);
  void AddVMSuccesses(int count);
  // The job's status records; false (logged) when the job manager cannot give them.
  bool GetJobManagerVMList(std::vector<JobManager::VMUpdateInfo>& records, const char* sig, const char* errorText);

  // ---- Streams (QuarnCoordinator_streams.cpp) ----
  void DumpStreamInfo();
  void DispatchStreams();
  bool GiveStreamToAgent(const std::string& agent);
  bool SetStreamClientToken(QuarnStreamInfo& stream);
  bool IsAgentEligibleForStreams(const QuarnAgentInfo& agent, bool& delayed);
  std::string SelectAgentForStream(bool enforceLimit, bool& delayed);
  bool CheckAdditionalStreams(int disksRemaining);
  bool CheckAndReclaimStreams();
  bool CheckAndReclaimErrorStreams();
  // Marks the agent's lent streams Reclaiming (the agent stopped with them).
  void ReclaimStreamsOfAgent(const std::string& agent, QuarnAgentInfo& record);

  // ---- Index tables (QuarnCoordinator_index.cpp) ----
  bool InitIndex();
  bool CreateIndex();
  // The table operations give 0 or the code of the failure (see QuarnCoordinator_index.cpp).
  int initBkpIndexingTables();
  int checkBkpIndexingTablesSanity();
  bool CreateMasterIndexArchiveFile();
  int addVMGuidToTable(const std::string& vmName, const std::string& vmGuid);
  int insertContentMapTable(VirtualServer::VMContentRecord& record);
  int insertContentMapTable(const TVMContentRecord2& record);
  void CheckAndHandleLogArchiverFailures(const std::list<VMArchiveIndexParam>& batch);
  // The VM's index logs could not be archived: it fails.
  void FailLogArchiverVM(vm_params& vm);
  // Reports the VM's log-archiver outcome to the job manager.
  void ReportLogArchiverStatus(vm_params& vm);
  // Sends the in-image record of an item the index keeps as stubbed or failed.
  void SendInImageRecord(const std::string& item);

  // ---- Shared snapshot (QuarnCoordinator_snap.cpp) ----
  bool DispatchSnapBackupMetadata();
  // Brings the snapshot job's metadata file of that name from the index cache into the subclient
  // directory; false when the cache has none.
  bool FetchSnapBackupMetadata(const std::string& name);
  // A backup copy or catalogue whose collect entries name no snapshot job: each VM is copied from
  // its own job within the job's snapshot job, else from the snapshot job itself.
  void FillVMSnapJobIds();
  bool IsCopyParentSnapIndexOnlyJob();
  bool IsPreferProxylessApplicable();
  // The parent snapshot job's index as this backup copy's; FinalizeIndex's step for such a job.
  bool CopyParentSnapIndexToBackupCopy();
  // Shared shadows outlive a job that dies, or whose deletion of its shadow fails: each one made is
  // recorded in the subclient directory until it is deleted, and the subclient's next job deletes
  // those its earlier jobs (and earlier attempts of itself) left, and what was mounted from them,
  // before it makes its own. Each deletion is logged; one that fails raises the event and ends the
  // job completed with errors, and its record stays for the next job. A record that cannot be read
  // stays too, and is reported the same way: the shadow it was of may stand.
  void DeleteLeftoverSharedShadows();
  // Writes the record of the shadow being made with the texts the context has (none before the
  // library names it), so that a coordinator that dies at any point of the making leaves it.
  void RecordSharedShadow();
  void ForgetSharedShadowRecord();
  // A record path of the job that no record holds yet.
  std::string NewSharedShadowRecordPath(int64_t jobId) const;
  // Asks the library to delete the shadow the context names (of the context's job); false with the
  // library's reason.
  bool DeleteSharedShadowOf(MountCtx& ctx, std::string& reason);
  void ReportSharedShadowLeftStanding(const char* sig, const std::string& shadow, const std::string& reason);

  // ---- Auto-scale (QuarnCoordinator_scale.cpp) ----
  bool IsAnyAgentBeingCreated();
  // The estimate reads the VM map, the agent records and the host records, which belong to the loop
  // thread.
  friend class QuarnScaleAgentManager;

  // ---- Collect file and hypervisor link (QuarnCoordinator_collect.cpp, QuarnCoordinator_vminfo.cpp) ----
  void GetCollectFileName(std::string& name);
  int LoadVMCollectFile(VirtualServer::VMCollectList& list);
  int ReadVMCollectFile();
  bool DownloadCollectFromIndexCache();
  bool UploadCollectFileToIndex();
  bool UploadCollectToIndexCache();
  bool UploadMetadataFilesToCache(const std::vector<std::string>& files);
  bool DeleteVMCollectFile();
  void CleanupVMInfo();
  void FetchVMInfoTerminology();
  VMInfoStructs::SHostInfo* GetHostInfo(const std::string& hostName);
  static int VMInfoCallbackStatic(int reason, void* context, void* data);
  int Callback(int reason, void* data);
  // The VM record built from one entry of the collect file.
  static vm_params MakeVMParams(const VirtualServer::VMCollect& collect);

  // ---- Run (QuarnCoordinator_run.cpp) ----
  // Logs each VM's phase and the job summary; fills the counts the outcome decision reads.
  struct PhaseCounts {
    int notProcessed = 0, succeeded = 0, succeededPrevious = 0, failed = 0, pending = 0, stopped = 0, skipped = 0;
  };
  PhaseCounts LogJobSummary();
  // What Run does after the server loop: log-archiver results, last-attempt statuses, the summary,
  // the outcome and the index; false when the job ends pending or failed.
  bool FinishJob();
  // The outcome decision of Run: false when the job ends pending (or failed).
  bool DecideOutcome(const PhaseCounts& counts);
  // Logs why the job goes pending and keeps it for the VMs it leaves to do; false.
  bool GoPending(const std::string& why);
  // A VM this attempt backed up, failed or skipped whose status the job manager does not hold (no record
  // of it, or a VM backed up that its record does not show so): the job completes with errors at best,
  // and the VM is named with why in the log, an event and the result file.
  void ReportVMsWhoseStatusIsNotRecorded();
  // The same at the end of a stub phase, whose records are its backup phase's changed one by one: each
  // VM of the job the job manager held no record of when the phase began, and each VM the phase took
  // whose record is gone or does not show the stub or relocation the phase made of it.
  void ReportStubPhaseVMsNotRecorded();
  // Names a VM whose status the job manager does not hold, with why: the log, event and pending cause
  // 0x5B0001DB, a line of the result file (a warning, else a failure); the job completes with errors at
  // best. The log line carries the signature of the check that found it.
  void NameVMWhoseStatusIsNotRecorded(const char* signature, const vm_params& vm, const std::string& reason,
                                      bool warning);
  // A VM not backed up, named with why where the job's outcome is read: the event and pending cause
  // 0x5B0001DB and a line of the result file (a warning, else a failure); the job completes with errors
  // at best.
  void ReportVMNotBackedUp(const std::string& name, const std::string& reason, bool warning);
  // A job that goes pending leaves VMs to its next attempt: each of them that has no reason of its own
  // says, with the job manager, why it was not backed up.
  void RecordWhyUnfinishedVMsWait();
  // A stub phase that does not end leaves each VM it took and did not archive as the backup phase left
  // it: backed up and to be archived, saying why it is not archived yet, so that the phase's next
  // attempt takes it again.
  void KeepBackupResultsOfVMsNotArchived();
  // A stub phase ends the job its backup phase began: the VMs that phase failed, backed up with errors or
  // left unfinished (the job manager's records, as the stub phase found them) keep the job completed
  // with errors, or failed when it backed none up, whatever the stubs did. False when the job fails.
  bool KeepBackupPhaseOutcome();
  // A job none of whose VMs was backed up fails, with the pending cause that says so; false.
  bool FailJobAsEveryVMFailed();
  // Whether a job that fails ends so: the setting "bPendingOnAllFailures" takes it pending instead.
  bool FailureEndsTheJob();
  bool IsSnapJob() const;  // snapshot backup or snapshot catalogue

  // Seconds of the platform clock, which every time-out of the coordinator is measured against.
  static time_t ClockSeconds() { return ZtClock::NowSeconds(); }

  // ---- Members ----
  EvEvent m_event;
  uint32_t m_state = kConstructed;
  time_t m_agentWaitStart = 0;
  bool m_jobSucceeded = false;
  bool m_completedWithErrors = false;
  bool m_setupFailed = false;
  bool m_failJob = false;
  // What the backup phase did to the VMs, as a stub phase finds the job manager's records.
  struct BackupPhaseResults {
    int backedUp = 0, withErrors = 0, failed = 0, unfinished = 0;
  } m_backupPhase;
  // The VMs of the job the job manager held no record of when the stub phase began (NoteVMsWithoutRecord).
  SVMParamsMap m_vmsWithoutRecord;
  // The job manager's records, as the stub phase began, of the VMs its backup phase left unfinished
  // without a word (LeftUnfinishedWithoutAWord).
  std::vector<JobManager::VMUpdateInfo> m_vmsLeftUnfinished;
  // Why the VMs that the job's end finds unfinished failed, when they have no reason of their own.
  std::string m_unfinishedVMReason;
  // Why the job goes pending; empty when it does not.
  std::string m_pendingReason;
  bool m_parentIndexCopiedToTape = false;
  vsJobMgr* m_jobMgr = nullptr;
  vsAppMgr* m_appMgr = nullptr;
  vsIndexClient* m_indexClient = nullptr;  // owned
  QuarnController* m_localController = nullptr;
  QuarnScaleAgentManager* m_scaleAgentManager = nullptr;  // owned
  subclientFiles m_subclientFiles;
  std::string m_subclientDir;  // the job-results directory (with "SNAP" for snapshot jobs)
  QuarnRegistry m_registry;
  SVMParamsMap m_vmMap;
  ZtCriticalSection m_priorityListLock;
  std::list<std::string> m_vmPriorityList GUARDED_BY(m_priorityListLock);
  bool m_dynamicVMAssignment = true;
  bool m_staticVMAssignment = true;
  bool m_dataPathMAAmongAgents = false;
  ZtCriticalSection m_volumeActivityLock;
  std::map<std::string, uint32_t> m_volumeActivity GUARDED_BY(m_volumeActivityLock);
  uint32_t m_volumeActivityLimit = 0;
  uint32_t m_getNextVMMethod = 1;
  std::deque<std::string> m_heldGetNextVMRequests;
  std::map<std::string, QuarnAgentInfo> m_agents;
  bool m_restartAgents = true;
  uint32_t m_restartInterval = 120;
  ZtCriticalSection m_restartLock;
  std::deque<std::string> m_restartQueue GUARDED_BY(m_restartLock);
  std::atomic<bool> m_rebalanceRequested{false};
  time_t m_rebalanceRequestTime = 0;
  time_t m_lastRebalanceTime = 0;
  uint32_t m_rebalanceInterval = 60;
  bool m_fatalVMError = false;
  // Tries at recording a VM's dispatch, and the seconds between two of them.
  static constexpr int kDispatchRecordTries = 3;
  static constexpr time_t kDispatchRetrySeconds = 60;
  // The VMs whose dispatch could not be recorded, by GUID: failed tries so far, and the time before
  // which no agent is given the VM again (0: any time). Loop thread.
  struct UnrecordedDispatch {
    int failedTries = 0;
    time_t retryAt = 0;
  };
  std::map<std::string, UnrecordedDispatch> m_unrecordedDispatches;
  // VMs left pending because their dispatch was not recorded by their last try. Loop thread.
  int m_vmsNotDispatched = 0;
  int32_t m_fileFailures = 0;
  int32_t m_vmFailures = 0;
  int32_t m_vmSuccesses = 0;
  int32_t m_vmsAlreadyBackedUp = 0;
  int32_t m_availableStreams = 0;
  int32_t m_requiredStreams = 0;
  int32_t m_assignedStreams = 0;
  int32_t m_unavailableStreams = 0;
  int32_t m_additionalStreamRequest = 0;
  int32_t m_streamErrors = 0;
  time_t m_lastStreamError = 0;
  std::list<QuarnStreamInfo> m_streams;
  uint32_t m_streamDistributionMethod = 2;
  bool m_streamExchangeAllowed = true;
  bool m_reclaimPending = false;
  time_t m_reclaimStart = 0;
  bool m_streamLimitReached = false;  // the pending cause 0x5B0000F4 was raised
  bool m_hypervisorBoundLimit = false;  // some agent's stream limit came from its hypervisor
  uint32_t m_reclaimDelay = 60;
  std::atomic<bool> m_streamRedispatchPending{false};
  std::atomic<time_t> m_streamRedispatchTime{0};
  ZtCriticalSection m_carryForwardLock;
  std::vector<std::string> m_carryForwardVMList GUARDED_BY(m_carryForwardLock);
  ZtCriticalSection m_collectFileLock;
  std::string m_collectFilePath;
  bool m_jobRestarted = false;
  bool m_restartKnown = false;
  VirtualServer::VMSnapBackup m_snapMetadata;
  StoreResults* m_results = nullptr;  // owned; "backup.out"
  uint32_t m_uploadCollectFile = 1;
  uint32_t m_masterIndexFileNumber = 0;
  uint64_t m_masterIndexFileTime = 0;
  // The snapshot job's index tables; absent unless the job keeps them. The content map takes the
  // records of results as they come.
  ZtCriticalSection m_contentMapLock;
  TVMContentTable* m_contentMapTable GUARDED_BY(m_contentMapLock) = nullptr;  // owned
  TVMGUIDTable* m_vmGuidTable = nullptr;                                       // owned
  IVMInfo* m_vmInfo = nullptr;  // owned
  bool m_vmInfoConnected = false;
  std::map<std::string, VMInfoStructs::SHostInfo> m_hostInfoCache;
  MountCtx m_sharedShadowCtx;
  // The record of the shadow this attempt makes or made; empty when there is none to keep.
  std::string m_sharedShadowRecord;
  std::vector<std::string> m_metadataFilesToUpload;
  ZtCriticalSection m_logArchiverLock;
  std::list<VMArchiveIndexParam> m_logArchiverBatch GUARDED_BY(m_logArchiverLock);
  bool m_snapMountedOnCoordinator = false;
  // Set by the auto-scale base's thread when an agent was made; the loop clears it as it looks for
  // new member servers, and sets it back when it could not read them.
  std::atomic<bool> m_recheckAgentList{false};
  ZtCriticalSection m_lateMessageLock;
  std::unique_ptr<CNMessageBase> m_lateAgentMessage GUARDED_BY(m_lateMessageLock);
  bool m_autoScaleFinished = false;
  uint32_t m_autoScaleStreamHoldTime = 900;
  CTimeStamp m_autoScaleStart;
  uint32_t m_terminologyEventId = 0x5B0001D8;
  bool m_pendingOnConnectFailure = false;

  // Once per job rather than once per process: a process has one coordinator, and a test makes several.
  time_t m_lastWaitingMessage = 0;  // the Running state's last "Waiting for" line
  bool m_finalRebalanceDone = false;
  bool m_snapMetadataRegistered = false;  // the snapshot metadata file joined the index's files
  bool m_deinitialized = false;
};
