#pragma once
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ev/EvMessageContainer.h"
#include "platform/lab/LabJob.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/os/ZtMutex.h"
#include "platform/os/ThreadAnnotations.h"

// A job's backup level as the job manager numbers it: 1 full, otherwise incremental or differential.
using ZTBkpLevel = int;

// The job manager client of one job process. The job manager itself is the job's folder in the lab
// (platform/lab/LabJob.h has its files and their formats); every process of the job (coordinator and
// agents) works on the same files, so every write is either an append under a file lock or an atomic
// replacement under the record's lock.
//
// The job record's values read here: restart text, failback, replicationId, opType, selectedVMsOnly,
// sourceParentBackupJob, committable. Operations that the lab's fault table can make fail (see
// platform/lab/LabFaults.h): "jobmgr.initBackup" (the rule's code is returned),
// "jobmgr.setPendingCause" (every form), "jobmgr.setPhaseResult" (phaseSuccessful,
// phasePartialSuccess, phaseFailed), "jobmgr.StopAndAutoResume" (the resume is refused),
// "jobmgr.setVMStatus" (selector vm: the GUID) and "jobmgr.updateVMBkpJobStatus", and for the
// coordinator's calls (vsJobMgr_coordinator.cpp) "jobmgr.getVMBkpJobStatus", "jobmgr.setRefTime",
// "jobmgr.setJobCommittable", "jobmgr.freeStream", "jobmgr.allocateAdditionalStreams" and
// "jobmgr.checkStatusOfAdditionalResourceRequest". Per-VM job data, the result file, progress,
// counters and stream calls are the lab's job records of platform/lab/LabCoordinator.h.
class vsJobMgr {
 public:
  // Result codes of initBackup (0 = success).
  enum InitResult : int {
    kInitOk = 0,
    kInitNoLab = 1,           // QUARN_LAB not set
    kInitNoJobId = 2,         // no usable job id was given
    kInitNoJobFolder = 3,     // the job's folder does not exist
    kInitBadJobConf = 4,      // the job record is missing, unreadable or malformed
    kInitCannotRecord = 6,    // the start could not be recorded in the job folder
    // A fault rule of the lab returns its own code.
  };

  vsJobMgr();
  ~vsJobMgr();
  vsJobMgr(const vsJobMgr&) = delete;
  vsJobMgr& operator=(const vsJobMgr&) = delete;

  // ---- Options from the command line (set before initBackup) ----
  void setVMContentIndexMode(bool on);
  bool isVMContentIndexMode() const;
  // Decimal text; anything else (sign, letters, blanks, overflow) gives job id 0.
  void setJobId(const std::string& text);
  int64_t getJobId() const;
  std::string getJobIdStr() const;
  void setVMStubPhase(bool on);
  bool isVMStubPhase() const;
  void setJobMgrToken(const std::string& token);
  std::string getJobToken() const;
  void setBkpLevel(int level);  // 1 = full
  int getBkpLevel() const;
  bool isFullBkp() const;
  void setMediaAgent(const std::string& name);
  std::string getMediaAgent() const;
  void setPrevRefTime(int64_t time);
  int64_t getPrevRefTime() const;
  void setPrevMasterArchFile(int64_t number);
  int64_t getPrevMasterArchFile() const;
  void setPrevMasterAFileCTime(int64_t time);
  int64_t getPrevMasterAFileCTime() const;
  // The job's own master index archive file: what a later attempt of the job in this process reads
  // back as its previous one instead of making its own.
  void setMasterArchFile(int64_t number, int64_t time);
  void setSnapBackup(bool on);
  bool isSnapBackup() const;
  void setProgBarModeSnapOnlyBackup();
  bool isProgBarModeSnapOnlyBackup() const;
  void setSnapToTape(bool on);
  bool isSnapToTape() const;
  void setSnapCatalogMode(bool on);
  bool isSnapCatalogMode() const;
  void setSnapBkpJobId(int64_t jobId);
  int64_t getSnapBkpJobId() const;
  void setLastSuccessfulSnapBkpJobId(int64_t jobId);
  int64_t getLastSucessfulSnapBkpJobId() const;
  void setLastIncrementalSnapBkpJobId(int64_t jobId);
  int64_t getLastIncrementalSnapBkpJobId() const;
  void setCopyParentJobToTape(bool on);  // true unless the job manager says otherwise
  bool isCopyParentJobToTape() const;
  void setTurboEnabled(bool on);
  bool isTurboEnabled() const;
  void setCommitPhase(bool on);
  bool isCommitPhase() const;
  void setCommitFlag();
  bool isJobCommitted() const;
  void setLastAttempt(bool on);
  bool isLastAttempt() const;
  void setFileIndexingJobBasedOnBackupLevel(int64_t jobId);
  int64_t getFileIndexingJobBasedOnBackupLevel() const;
  void setNonCtrlMonitor();
  bool isNonCtrlMonitor() const;

  // ---- Start and stop ----
  // Reads the job's record and records this process as started. A code that isError judges.
  int initBackup();
  static bool isError(int code) { return code != kInitOk; }
  bool isInitialized() const;
  // Records the end of this process's session; calling it again does nothing.
  void deinit();

  // ---- Job options from the job record (valid after initBackup) ----
  bool isFailbackBackup() const;
  uint64_t getReplicationIdForFailback() const;
  int getOpType() const;
  bool isBackupSelectedVMsOnly() const;
  bool isJobCommittable() const;
  uint64_t getSourceParentBackupJobToProcess() const;
  // Fills the text the job manager keeps for a restarted job (empty on a first attempt): the record's,
  // else "resumed attempt <n>" when earlier runs of the job have ended (runs.log); 0 = success.
  int CheckForRestart(std::string& text) const;

  // Records the metadata-collection defaults of the job (in memory and in the job folder). Collection
  // is on when the subclient asks for file details: for a snapshot backup the snapshot form of the
  // option counts, for any other job the plain one. setMetatdataCollectionOption changes it later.
  void initBackupMetadaCollectionDefault(int instanceType, bool honorTaskOptionsForLVM, bool collectFileDetails,
                                         bool collectFileDetailsForSnap, bool indexingV2);
  void setMetatdataCollectionOption(int option);
  bool isCollectMetadataEnabled() const;

  // ---- Pending causes and job events ----
  // The arguments of the next pending cause this thread sets by id (setPendingCause(int),
  // setPendingCauseAndEvent(id, ..)). Each thread collects its own, so causes set by workers at the
  // same time never take each other's arguments. The reference stays valid for the object's life.
  ArgumentInfo& getJobClient();
  void addPendingCauseArgument(int value);
  void addPendingCauseArgument(long long value);
  void addPendingCauseArgument(unsigned long value);
  void addPendingCauseArgument(const std::string& text);
  // Each returns whether the cause (and event) reached the job folder. The collected arguments are
  // used by and cleared after the id forms.
  bool setPendingCause(int id);
  bool setPendingCause(const EvMessageContainer& container);
  bool setPendingCauseAndEvent(const EvMessageContainer& container, int severity);
  bool setPendingCauseAndEvent(uint32_t id, int severity);
  bool resetPendingCause();

  // True when the job is to stop (suspend or kill).
  bool checkQuitFlag() const;

  // ---- Per-VM progress and clean-up strings (vsJobMgr_progress.cpp) ----
  // Fault table operations: "jobmgr.setVMStatusProgressPercentage" (selector vm: the GUID),
  // "jobmgr.AddCleanupString", "jobmgr.RemoveCleanupString", "jobmgr.ClearCleanupString".
  // The VM's progress percentage, one line of the job's VM progress per call.
  bool setVMStatusProgressPercentage(const std::string& guid, int percent);
  // The job's clean-up strings: what a dead job leaves for a later job to clean up.
  bool AddCleanupString(const std::string& text);
  bool RemoveCleanupString(const std::string& text);
  // Takes back every clean-up string of the job (what a dead job left is gone already).
  bool ClearCleanupString();
  // "<guid> <percent>" per progress call, and the clean-up strings that stand.
  static std::vector<std::string> ReadVMProgressLines(int64_t jobId);
  static std::vector<std::string> ReadCleanupStrings(int64_t jobId);

  // ---- Phase result: each call appends exactly one line to the job's phase file; false when it could not ----
  bool phaseSuccessful(bool flag);
  bool phasePartialSuccess();
  bool phaseFailed(bool failJob, bool setupFailed);
  // True only when the automatic resume was arranged.
  bool StopAndAutoResume(int seconds, const std::string& text);

  // ---- Readers for tests and tools ----
  static std::vector<std::string> ReadPhaseLines(int64_t jobId);
  // The pending causes after the last reset.
  static std::vector<std::string> ReadPendingCauses(int64_t jobId);
  static std::vector<std::string> ReadEvents(int64_t jobId);

  // ---- Per-VM status records (vsJobMgr_vmstatus.cpp) ----
  // Keeps the VM's status record (a JobManager::VMUpdateInfo message) in the job folder under the GUID
  // in lower case (GUIDs are compared without regard to case), replacing the earlier record. False
  // when it was not kept: no job folder, a GUID that is no usable file name, a message of another
  // type, or a failed save.
  bool setVMStatus(const std::string& guid, CNMessageBase& info);
  // Records a job-status update of the VMs in the job folder.
  bool updateVMBkpJobStatus(uint64_t keyrealmId, bool flag);
  // The kept record of a VM; false (info unchanged) when there is none or it cannot be read.
  static bool ReadVMStatus(int64_t jobId, const std::string& guid, CNMessageBase& info);
  // GUIDs (lower case, sorted) of the VMs with a kept record.
  static std::vector<std::string> ReadVMStatusGuids(int64_t jobId);

  // ---- The coordinator's job-wide calls (vsJobMgr_coordinator.cpp) ----
  // Every VM status record of the job (typed JobManager::VMUpdateInfo messages), in GUID order.
  // 0 on success; isError judges the code (no job folder, or a record that cannot be read: never a
  // partial list).
  int getVMBkpJobStatus(uint64_t keyrealmId, CNMessageList& records);
  // Keeps each record under its GUID (field 33). 0 when every record was kept.
  int updateVMBkpJobStatus(uint64_t keyrealmId, const CNMessageList& records);
  // Changes to the records kept inside the client, written by updateVMBkpJobStatus(keyrealmId, true).
  // The first change of a VM starts from its stored record (or an empty one).
  void setVMStatusVMName(const std::string& guid, const std::string& name, const std::string& host);
  void setVMStatusClientId(const std::string& guid, int64_t clientId);
  void setVMStatusState(const std::string& guid, int status, const std::string& text);
  void setVMStatusEvent(const std::string& guid, const CNMessageBase& event);
  // Starts the VM's kept record afresh (GUID only).
  void resetVMStatus(const std::string& guid);
  static std::string convertVMClientBkupStatusToString(int status);
  static std::string convertVMStubStatusToString(int state);

  // Per-VM job data by the VM's client id.
  int64_t GetVMJobId(int64_t clientId) const;          // the job's own id when the VM has none
  uint32_t GetVMJobPriority(int64_t clientId) const;   // 0xFFFFFFFF: none
  int64_t GetVMJobLastSuccessTime(int64_t clientId) const;
  std::string GetVMFailureReason(int64_t clientId) const;

  bool isBackupFailedVMsOnly() const;
  // The job's options; false when the job has none (or they cannot be read).
  bool GetJobOptions(CNMessageBase& options) const;
  bool checkVMQuitFlag() const;

  // Reference time of the job (0 = success).
  int setRefTime(int64_t seconds);
  int64_t getRefTime() const;
  void setNumberOfVMsForProgressBar(int count);
  void setNumberOfVMsAlreadyBackedUp(int count);
  void updateProgressBar(const std::string& guid);
  void updateProgressBar();
  void updatePerVMSubProgress(const std::string& guid, int percent);
  // True when the job was marked committable.
  bool setJobCommittable();
  void UpdateAppSize(int64_t size, int kind, bool flag);
  void addBackupFileFailures(int count);
  void addBackupFolderFailures(int count);
  void addBackupFolderSuccesses(int count);

  // ---- Streams (vsJobMgr_streams.cpp) ----
  // They work on the job's reservation ledger (platform/lab/LabReservations.h) and each call is also
  // a line of the job's stream calls (platform/lab/LabCoordinator.h). 0 = success.
  // Releases the reservation with these ids ("free").
  int freeStream(int32_t streamId, int32_t rcid, int32_t reservationId);
  // Releases `count` reserved streams the job does not say which of: those no data stream has open
  // first, the latest first ("freeN").
  int freeNStreams(int count);
  // Asks for `count` more streams; the request stays open until its status is asked.
  int allocateAdditionalStreams(int count);
  // received: the streams granted by the open request, reserved on the job's media agent (at most the
  // job record's "additionalStreams" when it has one), -1 while it runs (the job record's
  // "additionalStreamsDelay": how many status checks answer -1 first), 0 with no request open.
  int checkStatusOfAdditionalResourceRequest(int& received);
  // Bracket the set-up of a new data stream in this process (recursive).
  void lockStreams();
  void unlockStreams();

  // ---- The road of one VM: backup level, the subclient's job history (vsJobMgr_history.cpp) ----
  // Result of getLastSucessfulBkpJobId when the subclient's history cannot be read.
  static constexpr int kHistoryUnreadable = 8;
  bool isIncrBkp() const;  // level 2
  // The subclient's last successful full job and the last successful non-full job after it (0: none),
  // among the backup copies of snapshots when `snapToTape`, else among the other jobs. The times are
  // not kept (0). 0 on success, a code that isError judges otherwise (the ids are then 0). Fault table
  // operation "jobmgr.getLastSucessfulBkpJobId".
  int getLastSucessfulBkpJobId(uint64_t subclientId, int64_t& fullJobId, time_t& fullTime, int64_t& incrJobId,
                               time_t& incrTime, bool snapToTape);
  // The name of a job operation type (4 streaming backup, 59 and 60 the storage-snapshot ones).
  std::string getOpTypeStr(int opType) const;
  // The replication record of a VM in a failback job (the job's; 0 when it has none).
  uint64_t getReplicationIdForFailbackVM(const std::string& vmGuid) const;
  // ---- Backup copy of a snapshot job (vsJobMgr_snap.cpp) ----
  // Records that the parent snapshot job's index was copied for this backup copy (the job record's
  // key "parentBackupToTapeDone"); false when it could not be recorded.
  bool setParentBackupToTapeDone();
  static bool IsParentBackupToTapeDone(int64_t jobId);
  // The VM's own job within the job's snapshot job (-snapJID), by the VM's client id; 0 when the
  // snapshot job gave the VM none.
  int64_t GetSnapVMJobId(int64_t clientId) const;

  // Readers for tests and tools.
  static std::vector<std::string> ReadProgressLines(int64_t jobId);
  static std::vector<std::string> ReadCounterLines(int64_t jobId);

 private:
  // The kept record of a VM (loaded or made on first use).
  CNMessageBase& KeptRecord(const std::string& guid) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  bool AppendPhaseLine(const lab::PhaseLine& line) LOCKS_EXCLUDED(mutex_);
  // A job that ended well becomes the base of the subclient's next incremental jobs.
  void RecordInHistory() LOCKS_EXCLUDED(mutex_);
  bool WritePendingCause(uint32_t id, const ArgumentInfo& arguments) LOCKS_EXCLUDED(mutex_);
  bool WriteEvent(uint32_t id, const ArgumentInfo& arguments, int severity) LOCKS_EXCLUDED(mutex_);
  // Takes the calling thread's collected arguments, leaving its list empty.
  ArgumentInfo TakePendingArguments() LOCKS_EXCLUDED(mutex_);
  // The code of the fault the lab's fault table gives the operation (logged), or 0.
  static int InjectedFault(const char* op, const std::string& vm = std::string());

  mutable ZtMutex mutex_;
  // Held between lockStreams and unlockStreams; taken and given back by separate calls, so outside
  // the lock analysis.
  std::recursive_mutex streamsLock_;

  // Options: set by the frame before other threads start, read by everyone afterwards.
  bool contentIndexMode_ GUARDED_BY(mutex_) = false;
  int64_t jobId_ GUARDED_BY(mutex_) = 0;
  bool stubPhase_ GUARDED_BY(mutex_) = false;
  std::string token_ GUARDED_BY(mutex_);
  int bkpLevel_ GUARDED_BY(mutex_) = 1;
  std::string mediaAgent_ GUARDED_BY(mutex_);
  int64_t prevRefTime_ GUARDED_BY(mutex_) = 0;
  int64_t prevMasterArchFile_ GUARDED_BY(mutex_) = 0;
  int64_t prevMasterAFileCTime_ GUARDED_BY(mutex_) = 0;
  bool snapBackup_ GUARDED_BY(mutex_) = false;
  bool progBarSnapOnly_ GUARDED_BY(mutex_) = false;
  bool snapToTape_ GUARDED_BY(mutex_) = false;
  bool snapCatalog_ GUARDED_BY(mutex_) = false;
  int64_t snapBkpJobId_ GUARDED_BY(mutex_) = 0;
  int64_t lastSuccessfulSnapJobId_ GUARDED_BY(mutex_) = 0;
  int64_t lastIncrementalSnapJobId_ GUARDED_BY(mutex_) = 0;
  bool copyParentJobToTape_ GUARDED_BY(mutex_) = true;
  bool turbo_ GUARDED_BY(mutex_) = false;
  bool commitPhase_ GUARDED_BY(mutex_) = false;
  bool committed_ GUARDED_BY(mutex_) = false;
  bool lastAttempt_ GUARDED_BY(mutex_) = false;
  int64_t fileIndexingJobId_ GUARDED_BY(mutex_) = 0;
  bool nonCtrlMonitor_ GUARDED_BY(mutex_) = false;

  // Job state.
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool sessionEnded_ GUARDED_BY(mutex_) = false;
  lab::JobRecord record_ GUARDED_BY(mutex_);
  int64_t earlierRuns_ GUARDED_BY(mutex_) = 0;  // runs of the job that ended before this attempt
  bool collectMetadata_ GUARDED_BY(mutex_) = false;
  std::map<std::string, CNMessagePtr> keptRecords_ GUARDED_BY(mutex_);  // by lower-case GUID
  int64_t refTime_ GUARDED_BY(mutex_) = 0;
  bool committableSet_ GUARDED_BY(mutex_) = false;
  // Per-thread argument lists; the map only ever grows, so a handed-out reference stays valid, and
  // each list is touched by its own thread only.
  std::map<std::thread::id, ArgumentInfo> pendingArguments_ GUARDED_BY(mutex_);
};
