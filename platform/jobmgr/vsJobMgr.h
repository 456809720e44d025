#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ev/EvMessageContainer.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/os/ZtMutex.h"
#include "platform/os/ThreadAnnotations.h"

// The job manager client of one job process. The job manager itself is the job's folder in the lab
// (lab::JobDir(jobId)); every process of the job (coordinator and agents) works on the same files,
// so every write is either an append under a file lock or an atomic rewrite.
//
// Files of the job folder:
//   job.conf      key=value lines written by the lab tool or a test ('#' comments, blank lines).
//                 Keys read here: "initFails" (non-zero: initBackup fails), "restart" (restart text,
//                 empty = first attempt), "failback" (0/1), "replicationId", "opType", "selectedVMsOnly"
//                 (0/1), "autoResumeFails" (non-zero: StopAndAutoResume refuses), "sourceParentBackupJob",
//                 "committable" (0/1).
//   phase.txt     one line appended per phase-result call:
//                   "phaseSuccessful" (or "phaseSuccessful 1" when called with true)
//                   "phasePartialSuccess"
//                   "phaseFailed failJob=<0|1> setupFailed=<0|1>"
//                   "StopAndAutoResume <seconds> <text>"         (resume arranged)
//                   "StopAndAutoResumeRefused <seconds> <text>"  (resume refused; the call returns false)
//                 Line breaks in the text are written as blanks.
//   pending.txt   one line per pending cause set: "0x<ID 8 hex>[ <arguments joined by '|'>]"; a
//                 resetPendingCause call appends the line "reset". The job's pending causes are the
//                 lines after the last "reset".
//   events.log    job events, the same file and line format as EvEvent's:
//                 "<SEVERITY> 0x<ID 8 hex>[ <arguments joined by '|'>]". Severity numbers: 0 "INFO",
//                 1 "MINOR", 2 "MAJOR", 3 "CRITICAL"; any other number n is written "SEVERITY<n>".
//                 In arguments '\', '|', line feed and carriage return are written "\\", "\|", "\n", "\r".
//   sessions.log  "started <client> <pid>" from initBackup, "ended <client> <pid>" from deinit.
//   metadata.txt  the arguments of the last initBackupMetadaCollectionDefault call.
//   quit          present = the job was suspended or killed: checkQuitFlag() is true.
//   vmquit        present = a stop was asked for single VMs (their records carry status 5):
//                 checkVMQuitFlag() is true.
//   jobOptions.xml  the job's options (a TMMsg::BackupOption message); optional.
//   progress.log  one line per progress call: "vms <n>", "vmsAlreadyBackedUp <n>", "vm <guid>",
//                 "job", "vmpercent <guid> <percent>", "refTime <seconds>", "committable",
//                 "appSize <size> <kind>".
//   counters.log  "fileFailures <n>", "folderFailures <n>", "folderSuccesses <n>" per call.
//   streams.log   "free <stream id> <rcid> <reservation id>", "freeN <n>", "allocate <n>".
//   Per-VM job data in job.conf: "vm.<client id>.jobId" (default: the job's id),
//   "vm.<client id>.priority" (default none), "vm.<client id>.lastSuccess", "vm.<client id>.failureReason";
//   "failedVMsOnly" (0/1); "additionalStreams" (streams granted per request; default all asked).
class vsJobMgr {
 public:
  // Result codes of initBackup (0 = success).
  enum InitResult : int {
    kInitOk = 0,
    kInitNoLab = 1,           // QUARN_LAB not set
    kInitNoJobId = 2,         // no usable job id was given
    kInitNoJobFolder = 3,     // the job's folder does not exist
    kInitBadJobConf = 4,      // job.conf missing, unreadable or malformed
    kInitFailedByKnob = 5,    // job.conf asks for the failure ("initFails")
    kInitCannotRecord = 6,    // the start could not be recorded in the job folder
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
  // Reads job.conf of the job and records this process as started. A code that isError judges.
  int initBackup();
  static bool isError(int code) { return code != kInitOk; }
  bool isInitialized() const;
  // Records the end of this process's session; calling it again does nothing.
  void deinit();

  // ---- Job options from job.conf (valid after initBackup) ----
  bool isFailbackBackup() const;
  uint64_t getReplicationIdForFailback() const;
  int getOpType() const;
  bool isBackupSelectedVMsOnly() const;
  bool isJobCommittable() const;
  uint64_t getSourceParentBackupJobToProcess() const;
  // Fills the text the job manager keeps for a restarted job (empty on a first attempt); 0 = success.
  int CheckForRestart(std::string& text) const;

  // Records the metadata-collection defaults of the job (in memory and in metadata.txt). Collection
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

  // ---- Phase result: each call appends exactly one line to phase.txt; false when it could not ----
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
  // Keeps the VM's status record (a JobManager::VMUpdateInfo message) as vmstatus/<guid>.xml of the
  // job folder, the GUID in lower case (GUIDs are compared without regard to case), replacing the
  // earlier record. False when it was not kept: no job folder, a GUID that is no usable file name,
  // a message of another type, or a failed save.
  bool setVMStatus(const std::string& guid, CNMessageBase& info);
  // Appends "<keyrealm id> <0|1>" to vmstatus.log of the job folder.
  bool updateVMBkpJobStatus(uint64_t keyrealmId, bool flag);
  // The kept record of a VM; false (info unchanged) when there is none or it cannot be read.
  static bool ReadVMStatus(int64_t jobId, const std::string& guid, CNMessageBase& info);
  // GUIDs (lower case, sorted) of the VMs with a kept record.
  static std::vector<std::string> ReadVMStatusGuids(int64_t jobId);

  // ---- The coordinator's job-wide calls (vsJobMgr_coordinator.cpp) ----
  // Every VM status record of the job (typed JobManager::VMUpdateInfo messages), in GUID order.
  // 0 on success; isError judges the code (no job folder, or a record that cannot be read).
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
  int64_t GetVMJobId(int64_t clientId) const;
  uint32_t GetVMJobPriority(int64_t clientId) const;  // 0xFFFFFFFF: none
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

  // Streams (0 = success).
  int freeStream(int32_t streamId, int32_t rcid, int32_t reservationId);
  int freeNStreams(int count);
  int allocateAdditionalStreams(int count);
  // received: the streams granted by the open request, -1 while it runs.
  int checkStatusOfAdditionalResourceRequest(int& received);

  // Readers for tests and tools.
  static std::vector<std::string> ReadProgressLines(int64_t jobId);
  static std::vector<std::string> ReadCounterLines(int64_t jobId);

 private:
  // Path of a file of the job folder; empty when there is no lab or no job id.
  std::string JobFile(const std::string& name) const LOCKS_EXCLUDED(mutex_);
  bool AppendPhaseLine(const std::string& line) LOCKS_EXCLUDED(mutex_);
  bool WritePendingCause(uint32_t id, const ArgumentInfo& arguments) LOCKS_EXCLUDED(mutex_);
  bool WriteEvent(uint32_t id, const ArgumentInfo& arguments, int severity) LOCKS_EXCLUDED(mutex_);
  // Takes the calling thread's collected arguments, leaving its list empty.
  ArgumentInfo TakePendingArguments() LOCKS_EXCLUDED(mutex_);
  std::string ConfValue(const std::string& key) const EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  int64_t ConfNumber(const std::string& key) const EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // The kept record of a VM (loaded or made on first use); REQUIRES mutex_.
  CNMessageBase& KeptRecord(const std::string& guid) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  bool AppendJobLine(const std::string& file, const std::string& line) LOCKS_EXCLUDED(mutex_);

  mutable ZtMutex mutex_;

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
  std::map<std::string, std::string> conf_ GUARDED_BY(mutex_);
  bool collectMetadata_ GUARDED_BY(mutex_) = false;
  std::map<std::string, CNMessagePtr> keptRecords_ GUARDED_BY(mutex_);  // by lower-case GUID
  int64_t refTime_ GUARDED_BY(mutex_) = 0;
  bool committableSet_ GUARDED_BY(mutex_) = false;
  int additionalRequest_ GUARDED_BY(mutex_) = 0;
  // Per-thread argument lists; the map only ever grows, so a handed-out reference stays valid, and
  // each list is touched by its own thread only.
  std::map<std::thread::id, ArgumentInfo> pendingArguments_ GUARDED_BY(mutex_);
};
