#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controller/QuarnController.h"
#include "records/MountCtx.h"

class IVMInfo;

// The controller of storage-snapshot jobs: a snapshot backup (quiesce the VMs, take one array
// snapshot of them all, record each VM and disk in the index, no data to media), a backup copy (mount
// an earlier job's snapshot once per proxy and back the VMs up from it through media streams) and a
// snapshot catalogue (mount the snapshot and collect metadata only). The mode is the job manager's
// flags; everything not overridden here is the base controller's.
//
// Threads: the message thread of the agent link runs the set-up (InitSnapBackup on the first stream
// grant) and the mount phase (or the coordinator's loop thread for the coordinator's own agent); the
// controller thread runs PostBackup and the closing sequence; workers call the stream, index and
// progress operations; the VM-information library calls the callbacks from the thread that called it.
class QuarnSnapController : public QuarnController {
 public:
  explicit QuarnSnapController(bool coordinatorRole);
  ~QuarnSnapController() override;

  // ---- Life cycle, streams and messages (QuarnSnapController.cpp) ----
  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) override;
  void Deinitialize() override;
  bool CompleteVM(vm_params*& vm, int& vmIndex) override;
  // A snapshot backup or catalogue moves no data: a worker's request is granted without a stream.
  bool AcquireStream(int workerIndex, vsArchive*& stream, bool wait) override;
  bool RelinquishStream(int workerIndex, vsArchive*& stream) override;
  bool OpenStream(int& id, int& rcid, int& reservationId, int& clientId) override;
  bool CloseStream(int& id, int& rcid, int& reservationId, int& clientId) override;
  bool OnMsgVMCollectList(VirtualServer::VMCollectList* message) override;
  // In a snapshot backup the first grant sets the job up (InitSnapBackup); every later grant takes
  // that outcome, and after a failed set-up each is handed back unchanged.
  bool OnMsgVMBackupStream(VirtualServer::VMBackupStream* message) override;
  bool OnMsgVMAgentQuit(VirtualServer::VMAgentQuit* message) override;
  QuarnWorker* CreateWorker(QuarnController* controller, int index) override;

  // ---- Set-up and end of a snapshot backup (QuarnSnapController_backup.cpp) ----
  bool InitSnapBackup();
  // Once a pre-snapshot was asked for (even one that failed part-way) or a VM-centric engine's set-up
  // succeeded, the post-snapshot runs, a quit or a failed set-up included, so that no guest stays
  // quiesced; a quit or a failed set-up skips only the metadata steps. A post-snapshot that fails
  // leaves a snapshot no copy can use: the VMs reported backed up on it are failed again, saying why.
  bool PostBackup() override;
  bool GetSvrNameFromVMList(std::string& name);
  bool CheckVMListForDeletion();
  // True when some VM's guest file system could not be quiesced.
  bool CheckForMiningErrors();
  void UpdateVMList(const std::string& mountPath, bool noMountPath);
  // Reports every VM of the agent that is still to be backed up failed: after a failed pre-snapshot
  // with the library's reason for each, after any other failed set-up with the set-up's reason.
  bool HandleVMFailure();
  // The post-snapshot failed: the snapshot cannot be used, and every VM this agent reported backed
  // up on it is reported failed with the reason.
  void FailVMsOfUnusableSnapshot(const std::string& reason);
  void OnVMInfoCallback_UpdateProgress(SCallbackUpdateProgressBarArgs* args) override;
  void OnVMInfoCallback_SnapshotCreate(SCallbackSnapshotOperationArgs* args) override;
  void OnVMInfoCallback_SnapshotDelete(SCallbackSnapshotOperationArgs* args) override;

  // ---- Snapshot metadata files, per-VM indexing and progress (QuarnSnapController_metadata.cpp) ----
  bool PrepareForNewSnapBackupJob();
  bool OnMsgSnapBackupMetadata(VirtualServer::VMSnapBackup* message) override;
  // Keeps every file that was not uploaded: it is the only record of the snapshot.
  bool UploadBackupMetadataFiles() override;
  bool DownloadSnapMetadataFiles(MountCtx& ctx, long long jobId, const std::string& destination);
  void SetLastSuccesfulSnapJobId(MountCtx& ctx);
  bool GetLastSuccesfulSnapJobIdInformation(MountCtx& ctx, const std::string& text);
  bool GetSnapBackupInfo(const MountCtx& ctx, std::string& text);
  bool GetVMSnapBackupInfo(const MountCtx& ctx, std::string& text);
  // The VM's own index client (indexing V2), made on first use; null when it cannot be made. The
  // client lives until its VM completes (one worker uses it) or indexing closes.
  vsIndexClient* GetVMIndexClientPtrForVM(const std::string& guid);
  bool AllocateVMIndexClientForVM(const std::string& guid);
  bool CloseIndexingForVM(const std::string& guid);
  void CloseIndexing() override;
  // What the snapshot worker sends to the index: through the VM's own client with indexing V2 (where
  // the operation has one), else through the shared client under its lock.
  bool SendArchiveFileInfo(uint64_t keyrealmId, uint32_t archiveFileId);
  bool SendArchiveFileInfoForVM(const std::string& guid, uint64_t keyrealmId, uint32_t archiveFileId,
                                uint64_t subclientId, long long jobId, int backupLevel);
  bool CommitArchiveFileInfo(const std::string& guid);
  bool UpdateRestartInfo(uint64_t value);
  bool SendFileInfo(const std::string& guid, const std::string& name, int number, int64_t time, uint64_t size,
                    bool vmRecord, bool flag2, bool flag3);
  bool SendFileHeader(const std::string& guid, const std::string& name, uint64_t number, int64_t time, bool failed,
                      uint32_t kind, const std::string& text, int flags, uint64_t size);
  bool SendIndexMetaDataInfo(const std::string& guid, IdxMetadata::IdxMetaData& metadata);
  bool sendErrorIdxMetadata(const std::string& vmName, int code, const std::string& reason);
  bool UploadVMMetadataFiles(const std::string& guid, const std::vector<std::string>& files, uint64_t jobId,
                             const std::string& subclientGuid);
  // The item's index metadata completed for the second indexing generation (the VM's own client).
  bool UpdateIndexDataWithGUID(const std::string& guid, IdxMetadata::IdxMetaData& metadata, const std::string& path,
                               int64_t allocated, int64_t size, long long jobId, const std::string& text);
  // Raises each started VM's progress to the percent (never lowers it).
  bool UpdateVMJobProgress(int percent);
  bool CommitAppSize() override;
  bool CleanupJobMetadataFiles(const std::string& folder) override;

  // ---- Backup copy and catalogue: the mount phase (QuarnSnapController_mount.cpp) ----
  bool OnMsgMountSnapInfo(VirtualServer::MountSnapInfo* message) override;
  bool InitMovingToTapePhase() override;
  std::string GetMountPhaseFailure() override;
  bool MountSnap();
  // Without a VM-information object it connects again to unmount; a failed unmount keeps the flag.
  bool UnmountSnap() override;
  // A snapshot this agent mounted and cannot let go stays mounted: the job ends with errors and an
  // event says why (once).
  void ReportSnapshotLeftMounted();
  uint32_t InitSnapMountCtx(vsJobMgr* jobMgr, vsAppMgr* appMgr, subclientFiles* files, QuarnRegistry* registry,
                            MountCtx* ctx, bool onCoordinator, const std::string& mountPath);
  // The mount method, chosen once per process (safe from any thread): 0 none, 1 ANY, 3 HOST.
  uint32_t GetSnapMountMethod();
  bool SetSnapMountMethod();
  bool _SetSnapMountMethod();
  bool ShouldChangeSnapMountMethod();
  bool OverrideSnapMountHostIfNeeded(IVMInfo* vmInfo, vsAppMgr* appMgr);
  // The job's mount context. Written before the workers of the mode start (set-up, mount phase);
  // workers take a copy of it per VM.
  MountCtx* GetSnapMountCtx() { return &m_snapMountCtx; }

  // Read-only views for tests.
  bool IsSnapMounted() const { return m_snapMounted.load(); }
  int64_t GetAppSize();
  std::vector<std::string> GetMetadataFileList() const { return m_metadataFiles; }
  bool IsPostSnapOwed() const { return m_postSnapOwed.load(); }

 protected:
  // How the one set-up of a snapshot backup went: every stream grant after the first takes it.
  enum SetupState : int { kSetupNotRun = 0, kSetupSucceeded = 1, kSetupFailed = 2 };
  // The rows of the mount phase's banner, by mode.
  static const char* const snapMountBanner[3];

  bool IsStreamlessMode() const;
  // The VM's record among the agent's VMs; null when the agent has none of that GUID.
  vm_params* FindVM(const std::string& guid) EXCLUSIVE_LOCKS_REQUIRED(m_vmLock);
  // Sends the VM's status record with the job manager (the caller holds the VM lock).
  void SendVMUpdate(vm_params& vm) EXCLUSIVE_LOCKS_REQUIRED(m_vmLock);
  // The set-up failed for the reason: every VM says so. Always false.
  bool ReportSetupFailure(const std::string& reason);
  // Tells the job manager and the coordinator that the VM failed, with its failure reason.
  void ReportVMFailed(const vm_params& vm);
  // Sets a pending cause and raises it as an event: the snapshot job's id and the reason.
  void RaiseSnapshotCause(uint32_t id, const std::string& reason);
  // The mount phase failed for the reason. Without the coordinator's mount the job stops before any
  // VM: the reason becomes the job's pending cause unless the failing step set its own. Always false.
  bool FailMountPhase(const std::string& reason, bool causeSet);
  // Connects the VM-information object when there is none; false when it cannot.
  bool EnsureVMInfo(const std::string& serverName);
  // The post-snapshot of the job's snapshot; false (the job failed) when it fails.
  bool RunPostSnap();

  // Written on the message thread before workers of the mode start; read by workers afterwards.
  MountCtx m_snapMountCtx;
  // The controller's own handlers fill and read it (set-up, PostBackup), never workers.
  std::vector<std::string> m_metadataFiles;
  std::atomic<bool> m_snapMounted{false};
  std::atomic<int> m_setupState{kSetupNotRun};
  // A pre-snapshot was asked for (it may hold guests even when it failed part-way), or a VM-centric
  // engine's set-up succeeded (its VMs' snapshots are finished by the post-snapshot), and no
  // post-snapshot has succeeded since.
  std::atomic<bool> m_postSnapOwed{false};
  // The pre-snapshot itself failed: each VM's failure is the library's own.
  std::atomic<bool> m_preSnapFailed{false};
  // Why the set-up failed, for the VMs' results (the set-up's thread only).
  std::string m_setupFailureText;
  // Why the last snapshot mount failed, and whether it set the job's pending cause (the mount
  // phase's thread only).
  std::string m_mountFailureText;
  bool m_mountFailureCauseSet = false;
  // Why the mount phase failed (the mount phase's thread, and the coordinator after it).
  std::string m_mountPhaseFailure;
  // Why the last unmount failed; guarded by m_vmInfoLock (an FX lock the analysis does not see).
  std::string m_unmountFailureText;
  std::atomic<bool> m_leftMountedReported{false};

  ZtCriticalSection m_appSizeLock;
  int64_t m_appSize GUARDED_BY(m_appSizeLock) = 0;

  ZtCriticalSection m_indexClientLock;
  std::map<std::string, std::unique_ptr<vsIndexClient>, __less_nocase_cmp> m_vmIndexClients
      GUARDED_BY(m_indexClientLock);

  // The mount method is chosen once, by whichever thread asks first.
  std::once_flag m_mountMethodOnce;
  std::atomic<bool> m_mountMethodChosen{false};
  std::atomic<uint32_t> m_mountMethod{0};
};
