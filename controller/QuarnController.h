#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/QuarnRegistry.h"
#include "app/vmParams.h"
#include "controller/QuarnDatastoreMonitor.h"
#include "controller/QuarnIPC.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/cleanup/VSCleanupClient.h"
#include "platform/ev/EvEvent.h"
#include "platform/frame/VSController.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/CPxError.h"
#include "platform/os/ZtThread.h"
#include "platform/sim/vsSim.h"
#include "records/FXLockableResource.h"
#include "records/FixedRecords.h"
#include "records/MountCtx.h"
#include "records/TimeWrappers.h"
#include "records/ZtCriticalSection.h"
#include "records/ZtEvent.h"
#include "records/ZtSemaphore.h"
#include "records/messages/VirtualServerMessages.h"

class CArchiveVirtualDiskFile;
class IVMInfo;
class QuarnWorker;
class vsArchive;

// The agent side of the job in every proxy process, the coordinator's included: announces the agent,
// pulls VMs into its local queue and hands them to worker threads, reports each VM's result and
// progress, keeps the streams the coordinator lends it, and stops cleanly on every kind of quit.
//
// Threads: the framework's message thread (OnAgentStarted, OnMsgReceived and the handlers,
// OnAgentStopped), the controller thread (the monitors and the closing sequence), one thread per
// worker (GetNextVM, CompleteVM, the stream and service calls) and the VM-information library's
// callback threads.
//
// Lock order where two are held: GetNextVM lock, then VM lock, then quit lock; stream message lock,
// then unopened-grant lock. The VM-information lock is taken through GetVMInfoPtr and held by the
// caller while it uses the object.
class QuarnController : public VSController {
 public:
  static constexpr int kProtocolVersion = 1120;

  explicit QuarnController(bool isCoordinator);
  // A subclass's destructor calls Deinitialize first: the controller thread calls virtual
  // operations, so it must end while the whole object still exists.
  ~QuarnController() override;
  QuarnController(const QuarnController&) = delete;
  QuarnController& operator=(const QuarnController&) = delete;

  // ---- Lifecycle (QuarnController.cpp) ----
  virtual bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr);
  // Safe to call again and without Initialize.
  virtual void Deinitialize();
  virtual bool Run(int argc, char** argv);
  virtual int GetProtocolVersion() { return kProtocolVersion; }
  bool IsCoordinator() const { return m_isCoordinator; }

  void OnAgentStarted() override;
  void OnAgentStopped() override;
  void OnMsgReceived(const CNMessageBase& message) override;

  bool StartControllerThread();
  // Sets the quit flag and waits for the controller thread's closing sequence.
  void StopControllerThread();
  static void* ControllerThreadStatic(void* context);
  void ControllerThread();
  virtual bool MonitorProgress();
  // Agent properties of the start-up message, from the cache file when it is fresh enough
  // (QuarnController_agentprops.cpp).
  virtual void FillLocalAgentProperties(VirtualServer::VMAgentStartup& startup);

  // ---- Coordinator messages (QuarnController_messages.cpp); false makes the agent quit ----
  virtual bool OnMsgVMAgentInit(VirtualServer::VMAgentInit* message);
  virtual bool OnMsgVMAgentStatus(VirtualServer::VMAgentStatus* message);
  virtual bool OnMsgVMCollectList(VirtualServer::VMCollectList* message);
  virtual bool OnMsgVMBackupStream(VirtualServer::VMBackupStream* message);
  virtual bool OnMsgVMBackupStopVM(VirtualServer::VMBackupStopVM* message);
  virtual bool OnMsgVMAgentQuit(VirtualServer::VMAgentQuit* message);
  virtual bool OnMsgVMSharedShadow(VirtualServer::VMSharedShadow* message);
  virtual bool OnMsgSnapBackupMetadata(VirtualServer::VMSnapBackup* message);
  virtual bool OnMsgMountSnapInfo(VirtualServer::MountSnapInfo* message);

  // ---- Local VM queue (QuarnController_queue.cpp) ----
  // A VM for the worker: true with a pointer into the VM map (the worker holds the record until it
  // gives it back with CompleteVM) and the VM's running index; false when no VM is to be had.
  virtual bool GetNextVM(int workerIndex, vm_params*& vm, int& vmIndex);
  // Takes the record back and reports it; always clears the caller's pointer and sets result to -1.
  virtual bool CompleteVM(vm_params*& vm, int& result);
  virtual bool GetBasicVMList(std::vector<SVMBasicInfo>* list);
  bool SendGetNextVM();
  // The progress percent of a VM in a worker: the worker writes it, the controller thread reads it
  // for the progress report, so both go through the VM lock.
  void SetVMProgressPercent(vm_params* vm, int percent);
  // The worker completes a VM (its phase and status, which the controller reads) under this lock.
  ZtCriticalSection& GetVMLock() { return m_vmLock; }

  // ---- Workers (QuarnController_workers.cpp) ----
  virtual QuarnWorker* CreateWorker(QuarnController* controller, int index);
  bool StartWorker();
  virtual bool MonitorWorkers();
  void StopAllWorkers();
  // A worker's thread is ending; lets StopAllWorkers stop waiting early.
  void NotifyWorkerExited();
  // Frees the workers left running by an earlier stop whose thread has ended since; `wait` gives
  // each a bounded wait first.
  void ReapAbandonedWorkers(bool wait);

  // ---- Streams (QuarnController_streams.cpp) ----
  virtual bool AcquireStream(int workerIndex, vsArchive*& stream, bool wait);
  virtual bool RelinquishStream(int workerIndex, vsArchive*& stream);
  virtual bool CheckExtraStreamsAvailable(int& extra);
  virtual bool MonitorStreams();
  virtual bool MonitorProcesses();
  virtual bool OpenStream(int& id, int& rcid, int& reservationId, int& clientId);
  virtual bool CloseStream(int& id, int& rcid, int& reservationId, int& clientId);
  bool GetUnopenedStreamInfo(int& id, int& rcid, int& reservationId, int& clientId);
  void ReturnStream(int id, int rcid, int reservationId, int clientId, bool error);
  void CloseAndReturnStreams(int count);
  void CloseAndReturnAllStreams();
  // Closes every stream still open, without returning it (the end of Deinitialize).
  void CloseRemainingStreams();
  int OpenStreamCount();

  // ---- VM information, quit flags and agent status (QuarnController_vminfo.cpp) ----
  // Each makes the controller's VM-information connection afresh (an earlier object is cleaned up
  // first); true when it is connected. The forms without credentials take them from the
  // application manager.
  virtual bool PrepareVMInfo();
  virtual bool PrepareVMInfo(const std::string& server);
  virtual bool PrepareVMInfo(const std::string& server, const std::string& user, const std::string& password);
  bool PrepareVMInfo(const std::string& server, const std::string& user, const std::string& password,
                     const std::vector<SHostCredentials>& hostCredentials);
  int CleanupVMInfo();
  // On return `lock` holds the VM-information lock, also when the result is null.
  IVMInfo* GetVMInfoPtr(auto_lock& lock);
  // The error classification with the controller's settings: the send-events setting, and whether
  // the agent has a single VM.
  int CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& text, EvMessageContainer& message);
  int CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& text, EvMessageContainer& message,
                       bool sendEvents, bool singleVM);
  int CheckJyNTFSError(CArchiveVirtualDiskFile* disk, const CPxError& error, IVMInfo* vmInfo, MountCtx& ctx,
                       std::string& text, EvMessageContainer& message);
  // The VM-information library's callbacks; the context is the controller.
  static int CallbackStatic(int reason, void* context, void* argument);
  int Callback(int reason, void* argument);
  virtual bool CommitAppSize() { return true; }
  virtual void OnVMInfoCallback_UpdateProgress(SCallbackUpdateProgressBarArgs*) {}
  virtual void OnVMInfoCallback_SnapshotCreate(SCallbackSnapshotOperationArgs*) {}
  virtual void OnVMInfoCallback_SnapshotDelete(SCallbackSnapshotOperationArgs*) {}
  // True once the agent quits: its own flag, or the job manager's quit flag (which latches its own).
  // Hides the framework's plain flag test on purpose.
  bool CheckQuitFlag();
  bool CheckQuitFlagForVM(long long jobId, const std::string& guid);
  bool CheckQuitFlag(long long jobId, const std::string& guid);
  void SetQuitFlagForVM(const std::string& guid, const std::string& reason);
  bool GetQuitFlagReasonForVM(const std::string& guid, std::string& reason);
  void FillAgentStatus(VirtualServer::VMAgentStatus& status);
  void SendAgentStatus();

  // ---- Indexing and metadata files (QuarnController_indexing.cpp) ----
  // The process's one index client, opened on first use. On return `lock` holds the index lock,
  // also when the result is null; every call on the client is made while it is held.
  vsIndexClient* GetIndexClient(auto_lock& lock);
  // Closes the client once it has been idle longer than nMaxIndexClientIdleTime; never waits for a
  // busy one.
  virtual bool MonitorIndexing();
  virtual void CloseIndexing();
  // Virtual so that a test can stand in for the index.
  virtual bool GetMetadataFile(const std::string& file, const std::string& folder);
  // The VM's file of one earlier job (0: the newest copy of the current backup cycle).
  virtual bool GetVMMetadataFile(const std::string& vm, const std::string& file, const std::string& folder,
                                 long long jobId);
  bool SendVMMetadataFiles(const std::string& vm, const std::vector<std::string>& files, long long jobId,
                           const std::string& subclientGuid);
  bool DeleteVMMetadataFiles(const std::string& vm, const std::vector<std::string>& files);
  // Uploads the files; on success removes them here and empties the list. On failure both stay.
  bool CommitVMMetadataFiles(const std::string& vm, long long jobId, const std::string& subclientGuid,
                             std::vector<std::string>& files);
  bool CommitVMMetadataFiles(const std::string& vm, std::vector<std::string>& files);
  bool DownloadVMMetaDataFiles(const std::string& vm, const std::string& folder, long long jobId,
                               const std::string& subclientGuid);
  bool GetVMDiskListFromIndexing(const std::string& vm, std::map<std::string, unsigned long long>& disks);
  // The job of the VM's own last full backup that ended well (0: none), as the index knows it.
  bool GetVMLastFullJobFromIndexing(const std::string& vmGuid, int64_t& jobId);
  // The newest job of which the index holds a record of the VM, whatever became of it (0: none).
  bool GetVMNewestRecordJobFromIndexing(const std::string& vmGuid, int64_t& jobId);
  bool GetVMMetadataFromIndexing(const std::string& vm, const std::string& folder, unsigned long count,
                                 IdxMetadata::IdxMetaData* metadata, IdxMetadataByName* byName, bool& retryable,
                                 bool& queryFailed);
  // The same from the VM's backup that one job made (by the VM's GUID); false when the index holds none.
  bool GetVMJobMetadataFromIndexing(const std::string& vmGuid, int64_t jobId, IdxMetadata::IdxMetaData* metadata,
                                    IdxMetadataByName* byName, bool& queryFailed);
  bool GetVMDiskExtentsCRC(const std::string& vm, const std::string& disk, unsigned long count,
                           IdxBrowseClientResp* response);
  virtual bool RunArchiveIndexForVM(const std::string& vm, const long long& jobId, unsigned long subclientId, int a,
                                    int b);
  bool RunArchiveIndexForVM(const VMArchiveIndexParam& param);
  // The index is asked once per process; a failed question is asked again next time.
  bool GetUseFixedLengthExtentNames(bool& fixed);
  bool GetMountExtentsFromIndexing(const vm_params& vm, const std::string& disk,
                                   const vsIndexClient::ProcessExtentCallback& callback);
  bool GetMFTExtentsFromIndexing(const vm_params& vm, const std::string& disk,
                                 const vsIndexClient::ProcessExtentCallback& callback);
  bool GetMetadataExtentsFromIndexing(const vm_params& vm, const std::string& disk, bool mft,
                                      const vsIndexClient::ProcessExtentCallback& callback);
  void InitIndexingMAFile();
  void CleanupIndexingMAFile();
  virtual bool CleanupJobMetadataFiles(const std::string& dir);
  virtual bool UploadBackupMetadataFiles();

  // ---- Other services (QuarnController_services.cpp) ----
  virtual bool PostBackup() { return true; }
  virtual bool UnmountSnap() { return true; }
  virtual bool InitMovingToTapePhase() { return true; }
  // Why the last InitMovingToTapePhase failed; empty when it did not, or cannot say.
  virtual std::string GetMountPhaseFailure() { return std::string(); }
  virtual bool RegisterDatastore(const std::string& vmName, const std::string& vmGuid, const std::string& host,
                                 const std::string& datastore);
  virtual void UnregisterDatastores(const std::string& vmName, const std::string& vmGuid);
  bool StartDatastoreMonitor();
  void StopDatastoreMonitor();
  bool RegisterVMForCleanup(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                            const std::string& cleanupText);
  bool UnregisterVMFromCleanup(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                               const std::string& cleanupText);
  bool StartAndWaitForAppAwareWorkflow(const std::string& vmGuid);
  bool SendDeleteApplicationSnapReq(const std::string& vmGuid, bool flag);
  // The datastore's read-speed counter, made on first request; valid for the controller's life.
  CMultiStreamMediaSpeedCounter* GetDatastoreMediaSpeedCounter(const std::string& datastore);
  void OuputDatastoreMedaiSpeedCounters();
  void SetVMSnapMountInfoList(const std::vector<VirtualServer::VMMountSnapInfo>& list);
  // The in-image header of a failback backup's item (a backslash, a, a backslash, b): 127 without
  // both names, else 0 whatever the index answers.
  int SendInImageDiskHeader(const std::string& a, const std::string& b, const std::string& c, unsigned long d,
                            unsigned long e, ZTBkpLevel level, const std::string& f);
  bool SendBrowseViewPaths(const std::vector<std::string>& paths, const std::string& a,
                           IdxMetadata::IdxMetaData& metadata, const std::string& b, unsigned long long n, long m);

  // ---- Read-only views for tests and tools ----
  int GetStreamsGranted() const { return m_streamsGranted.load(); }
  int GetPlannedWorkerTarget() const { return m_plannedWorkers.load(); }
  int GetCompletedVMs() const { return m_completedVMs.load(); }
  bool HasFatalVMError() const { return m_fatalVMError.load(); }
  bool HasStreamError() const { return m_streamError.load(); }
  bool IsRestartWorkersRequested() const { return m_restartWorkers.load(); }
  size_t GetWorkerCount() const { return m_workerCount.load(); }
  size_t GetQueuedVMCount();
  uint32_t GetMasterIndexFileId() const { return m_masterIndexFileId.load(); }
  uint64_t GetMasterIndexFileTime() const { return m_masterIndexFileTime.load(); }
  bool GetFailJob() const { return m_failJob.load(); }

 protected:
  // Every message to the coordinator goes through here (the framework's SendMsgToServer); a test
  // stands in for the coordinator by overriding it.
  virtual bool SendToCoordinator(const CNMessageBase& message);
  // The workers of the list, for subclasses and tests; touched by the controller thread only (and by
  // Deinitialize once that thread has ended).
  const std::vector<QuarnWorker*>& Workers() const { return m_workers; }
  // Plans the worker count for the streams granted so far (stream grants and the stub phase).
  void RaisePlannedWorkers(int target);
  // The worker count the setting "ExtraWorkers" asks for with this many streams; 0 when the setting
  // asks for none.
  int ExtraWorkersTarget(int streams);
  // Makes the VM record of one collect-list entry and queues the VM.
  void QueueCollectedVM(const VirtualServer::VMCollect& collect) EXCLUSIVE_LOCKS_REQUIRED(m_vmLock);
  // Pops the next queued VM and marks it started. REQUIRES: the GetNextVM lock and the VM lock.
  bool PopQueuedVM(vm_params*& vm, int& vmIndex) EXCLUSIVE_LOCKS_REQUIRED(m_getNextVMLock, m_vmLock);
  // Sets the wake flags of every waiter (quit paths) so that no wait outlives the agent.
  void WakeWaiters();
  void AddLocalComputerInfo(VirtualServer::VMAgentStartup& startup);
  void AddLocalIPAddressInfo(VirtualServer::VMAgentStartup& startup);
  // The closing sequence of the controller thread.
  void CloseController();

  EvEvent m_event;

  // Set by Initialize, read by every thread afterwards; not owned.
  vsJobMgr* m_jobMgr = nullptr;
  vsAppMgr* m_appMgr = nullptr;
  vsSim m_sim;
  subclientFiles m_subclientFiles;
  std::string m_keymasterHostName;
  std::string m_jobResultsDir;
  QuarnRegistry m_registry;

  // The VMs of this agent.
  ZtCriticalSection m_getNextVMLock ACQUIRED_BEFORE(m_vmLock);
  ZtCriticalSection m_vmLock;
  SVMParamsMap m_vmMap GUARDED_BY(m_vmLock);
  std::deque<std::string> m_vmQueue GUARDED_BY(m_vmLock);
  // One request for VMs at a time is outstanding; answers are counted so that a waiting worker can
  // tell whether the answer to the request it waited on was empty.
  bool m_requestOutstanding GUARDED_BY(m_vmLock) = false;
  uint64_t m_answers GUARDED_BY(m_vmLock) = 0;
  uint64_t m_lastEmptyAnswer GUARDED_BY(m_vmLock) = 0;
  int m_waitingWorkers GUARDED_BY(m_vmLock) = 0;
  std::atomic<int> m_completedVMs{0};
  std::atomic<bool> m_fatalVMError{false};
  std::atomic<int> m_nextVMIndex{0};
  std::atomic<bool> m_workerWaiting{false};
  ZtEvent m_vmQueueEvent{false};
  CStopWatch m_getNextVMWatch GUARDED_BY(m_getNextVMLock);

  // Per-VM stops (stop requests from the coordinator, the datastore monitor).
  ZtCriticalSection m_quitLock;
  std::set<long long> m_stoppedJobIds GUARDED_BY(m_quitLock);
  std::set<std::string, __less_nocase_cmp> m_quitGuids GUARDED_BY(m_quitLock);
  std::map<std::string, std::string, __less_nocase_cmp> m_quitReasons GUARDED_BY(m_quitLock);

  // Workers: the list is the controller thread's (see Workers()).
  std::vector<QuarnWorker*> m_workers;
  // Workers whose thread would not end when stopped: reported and kept, never freed under them.
  std::vector<QuarnWorker*> m_abandonedWorkers;
  std::atomic<size_t> m_workerCount{0};
  std::atomic<int> m_currentWorkers{0};
  std::atomic<int> m_plannedWorkers{0};
  std::atomic<int> m_runningWorkers{0};  // running workers seen by the last MonitorWorkers pass
  std::atomic<bool> m_restartWorkers{false};
  ZtEvent m_workerExitEvent{false};

  // The controller thread.
  ZtThread m_controllerThread;
  std::atomic<bool> m_threadStarted{false};
  // The controller thread has left its loop: no VM is handed out any more.
  std::atomic<bool> m_closing{false};
  ZtEvent m_wakeEvent{false};
  std::atomic<bool> m_agentStarted{false};

  // Streams lent by the coordinator.
  std::atomic<int> m_streamsGranted{0};
  std::atomic<bool> m_streamError{false};
  std::atomic<int> m_failedStreams{0};
  std::atomic<long long> m_streamErrorTime{0};
  int m_streamErrorResets = 0;  // message thread only
  ZtCriticalSection m_streamMsgLock ACQUIRED_BEFORE(m_unopenedLock, m_streamPoolLock);
  ZtCriticalSection m_streamPoolLock;
  int m_openStreams GUARDED_BY(m_streamPoolLock) = 0;
  std::vector<vsArchive*> m_streamList GUARDED_BY(m_streamPoolLock);
  std::deque<vsArchive*> m_freeStreams GUARDED_BY(m_streamPoolLock);
  ZtSemaphore m_freeStreamSemaphore{0};
  ZtCriticalSection m_unopenedLock;
  std::deque<VirtualServer::VMBackupStream> m_unopenedGrants GUARDED_BY(m_unopenedLock);
  std::atomic<bool> m_allStreamsReturned{false};

  std::atomic<bool> m_completedWithErrors{false};
  std::atomic<bool> m_failJob{false};

  std::atomic<uint32_t> m_masterIndexFileId{0};
  std::atomic<uint64_t> m_masterIndexFileTime{0};

  // The controller's own VM-information connection.
  FXCriticalSection m_vmInfoLock;
  IVMInfo* m_vmInfo = nullptr;  // guarded by m_vmInfoLock (an FX lock the analysis does not see)

  // The process's index client (QuarnController_indexing.cpp). The index lock is recursive, so a
  // holder may close the client it holds; it guards the members below and every call made on the
  // client (an FX lock the analysis does not see).
  FXCriticalSection m_indexLock;
  vsIndexClient* m_indexClient = nullptr;  // owned
  time_t m_indexLastUse = 0;               // seconds of the platform clock at the last hand-out
  uint32_t m_indexReuseCount = 0;          // hand-outs since the client was opened
  bool m_fixedLengthNamesAsked = false;    // lives as long as the controller, across clients
  bool m_fixedLengthNames = false;

  QuarnIPC m_ipc;
  // Figures of the other job processes of this host, last read from the process table.
  std::atomic<int> m_otherProcesses{0};
  std::atomic<int> m_otherStreams{0};
  std::atomic<int> m_otherVMs{0};

  // Constant after construction.
  const bool m_isCoordinator;

  std::atomic<time_t> m_lastProgressTime{0};

  ZtCriticalSection m_speedCounterLock;
  std::map<std::string, std::unique_ptr<CMultiStreamMediaSpeedCounter>> m_speedCounters GUARDED_BY(m_speedCounterLock);

  ZtCriticalSection m_snapMountLock;
  std::vector<VirtualServer::VMMountSnapInfo> m_snapMounts GUARDED_BY(m_snapMountLock);

  ZtCriticalSection m_cleanupLock;
  VSCleanupClient m_cleanupClient GUARDED_BY(m_cleanupLock);
  std::atomic<bool> m_processRegistered{false};

  // ---- Application-aware workflow (QuarnController_appaware.cpp) ----
  // Waits, pausing between queries, until the parent job has no child jobs left from the previous
  // attempt; false when some are still listed after the limit.
  bool WaitForPreviousChildJobs(long long parentJobId);
  void SetAppAwareFailed(const std::string& vmGuid, bool failed);

  // ---- Datastore free-space monitor ----
  // Runs only when bEnableDatastoreMonitor is set on a VMware or Microsoft hypervisor instance.
  QuarnDatastoreMonitor m_datastoreMonitor;
};
