#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/QuarnRegistry.h"
#include "app/vmParams.h"
#include "disklayout/quarnconfig.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/ev/EvEvent.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/ZtThread.h"
#include "records/FixedRecords.h"
#include "records/MountCtx.h"
#include "records/TimeWrappers.h"
#include "records/ZtCriticalSection.h"
#include "records/ZtEvent.h"
#include "records/messages/AppMessages.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "worker/QuarnExtentPipeline.h"

class CArchiveVirtualDiskFile;
class CAverageCounter;
class CPxError;
class IVMInfo;
class QuarnController;
class vsArchive;

enum QuarnWorkerState : int32_t {
  WORKER_RUNNING = 0,
  WORKER_STOPPED = 1,
  WORKER_TERMINATED = 2,
};

// The steps of one VM, as its progress percentage counts them.
enum QuarnVMProgressPhase : int32_t {
  VM_PROGRESS_NOT_STARTED = 0,
  VM_PROGRESS_STARTED = 1,
  VM_PROGRESS_MOUNTED = 2,
  VM_PROGRESS_CONFIG_FILES = 3,
  VM_PROGRESS_DISKS = 4,
  VM_PROGRESS_GRANULAR_METADATA = 5,
  VM_PROGRESS_UNMOUNTED = 6,
  VM_PROGRESS_COMPLETE = 7,
};

// One worker slot of a proxy process: a thread that takes VMs from its controller one at a time,
// backs each up and hands it back with its result.
//
// A worker is stopped cooperatively: its quit flag (and the stop flags of its VM's argument blocks)
// are checked between units of work, and a worker whose thread does not end is reported and left
// running rather than killed, since killing a thread inside a lock, a file write or a wait would
// leave that state broken for everyone else.
class QuarnWorker {
 public:
  QuarnWorker(QuarnController* controller, int workerId);
  // REQUIRES: the worker's thread has ended (the controller never frees a worker whose thread runs).
  virtual ~QuarnWorker();
  QuarnWorker(const QuarnWorker&) = delete;
  QuarnWorker& operator=(const QuarnWorker&) = delete;

  // ---- Life cycle (QuarnWorker.cpp) ----
  virtual bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr);
  virtual void Deinitialize();
  // Starts the thread; on a stopped worker the old thread is joined first.
  bool Start();
  // Asks the thread to end and waits a bounded time for it; true once it has ended (or never ran).
  bool Stop();
  // The last resort of the controller: stops the VM's disk, checksum and archive work too and waits
  // a bounded time. True when the thread ended; the streams the worker held are then given back.
  // False leaves the worker running (reported): nothing is freed under a live thread.
  bool Terminate();
  bool IsRunning() const { return m_state.load() == WORKER_RUNNING; }
  // Whether the worker's thread exists and has not left its entry point.
  bool IsThreadAlive() const { return m_thread.IsRunning(); }
  void SetQuitFlag() {
    m_quitFlag = true;
    m_streamEvent.set();
  }
  // Ends the worker's wait for a stream for one of its VM's objects early: one may have come free.
  void WakeStreamWait() { m_streamEvent.set(); }
  // The worker's flag, the block's stop flag, the job's quit flag and the controller's stops of the
  // current VM; the first that is set wins. The block may be null.
  bool CheckQuitFlag(quarnBackupArgs* args);
  int getWorkerId() const { return m_workerId; }
  uint32_t GetNumStreamsRequired() const { return m_streamsRequired.load(); }
  QuarnWorkerState getWorkerState() const { return static_cast<QuarnWorkerState>(m_state.load()); }
  void setWorkerState(QuarnWorkerState state) { m_state = state; }
  void ResetTimers();
  bool StartBLR() { return true; }
  virtual bool PostProcessVirtualMachines(bool allSucceeded) { return true; }

  // ---- The road of one VM (QuarnWorker_road.cpp) ----
  // Backs up the VM in hand from connection to archive index and returns its result code (0
  // success). On every return the worker holds no stream and no mount of the VM.
  virtual int ProcessVM();
  // 0 connected (or already connected to that server), 10 no server name, 16 no usable
  // VM-information object, 17 the connection failed.
  virtual int ConnectToServer(const std::string& server);
  // Fails the VM (95) with its reason, logged, as an event and the job's pending cause: a later job of
  // the subclient holds it (the index's record of it in `laterJob`; `disk` names the disk when that
  // record is a backup of it), and a backup of it by this job would supersede the earlier attempt that
  // job's restore of it stands on.
  int FailVMHeldByALaterJob(vm_params& vm, int64_t laterJob, const std::string& disk);
  bool IsFullBackupForVM();
  int GetVMBackupLevel();
  // Disconnects and frees the VM-information object; always 0.
  int CleanUpVMInfo();

  // ---- Previous index metadata, conversion to full, missing blocks (QuarnWorker_previous.cpp) ----
  // The index metadata of the VM's last successful backup into the worker's VM and per-disk maps,
  // with nMaxBrowseRetryAttempts attempts: 0 fetched, 11 interrupted, 141 not fetched (queryFailed:
  // the index could not be asked, rather than the VM not being in it).
  int GetVMIdxMetadata(const std::string& vmGuid, unsigned long subclientId, quarnBackupArgs& args,
                       bool& queryFailed);
  // Sets convertToFull when the VM's last job was of another kind (streaming against storage
  // snapshot); never clears it.
  void CheckAndConvertJobToFull(const std::string& vmName, const std::string& vmGuid,
                                IdxMetadata::IdxMetaData* vmMetadata, bool& convertToFull);
  // Loads the test setting "sInduceMissingBlocks" into the missing-block map; always true.
  virtual bool FetchMissingBlocksForVM();

  // ---- Index metadata and VM metadata files (QuarnWorker_idxmetadata.cpp) ----
  // REQUIRES: a current VM. Callable from the VM's disk threads.
  int insertContentMapTable(const VirtualServer::VMContentRecord& record);
  // Queues the file for upload to the index cache at the end of the VM. Callable from disk threads.
  void AddVMMetadataFile(const std::string& path);
  // Uploads the queued files (worker thread, after the disks).
  bool CommitVMMetadataFiles();
  // True only when the download succeeded and the file is there afterwards.
  bool DownloadMetadataFile(const std::string& path);
  // The file of the VM from one earlier job; job 0: the newest copy of the current backup cycle.
  bool DownloadVMMetadataFile(const std::string& path, long long jobId);
  // Writes the bytes to the file (mode 0666 less the process umask). 53 when the file cannot be
  // created, 54 when it cannot be written wholly; 0 otherwise.
  int writeMetadataFile(const void* data, size_t length, const std::string& path);
  // 0, 65 when the header cannot be serialised, or the writer's code.
  int writeVMHeaderMetadataFile(const VMInfoStructs::SVMInfo& info, const std::string& path);
  void ExtractIdxMetadata(const VMInfoStructs::SVMInfo& info, IdxMetadata::VirtualServerIdxMetaData& metadata);
  // XML of the list message; empty on failure.
  std::string ExtractNicMetadata(const std::vector<VMInfoStructs::SVMNetworkCard>& cards);
  std::string ExtractKeyPair(const std::vector<VMInfoStructs::SKeyPairInfo>& keyPairs);
  std::string ExtractSecurityGroup(const std::vector<VMInfoStructs::SSecurityGroupInfo>& groups);
  bool SendVSConfigFileIndexMetadata(const quarnBackupArgs* args);
  bool SendVSDiskIndexMetadata(const quarnBackupArgs* args, ProductType_t productType);
  // The disk's place in its chain of backups (this job, and the backup it builds on) in its record.
  void SetChainPlace(const quarnBackupArgs& args, IdxMetadata::VirtualServerIdxMetaData& part) const;
  bool SendVSVMIdxMetadata(const std::string& text, long long number, IdxMetadata::IdxMetaData& metadata);

  // ---- What the incremental-state files (disklayout/QuarnDataFile.h) need of their worker ----
  // The subclient job-results directory (for snapshot jobs its "SNAP" folder).
  std::string GetSubclientDirectory() const { return m_subclientFiles.subclientDir; }
  vsJobMgr* GetJobMgr() const { return m_jobMgr; }
  vsAppMgr* GetAppMgr() const { return m_appMgr; }
  // The job of the current VM's own last full backup that ended well; 0 when there is none or the
  // index cannot tell.
  int64_t GetVMLastFullJob();
  // The collect record of the VM in hand; null without one.
  const VirtualServer::VMCollect* GetCurrentVMCollect() const {
    return m_currentVM != nullptr ? &m_currentVM->collect : nullptr;
  }

  // ---- Stages of the road, each defined in the file named beside it. The backup phases, guest
  // metadata and true-up come with the data path: until then each fails (or, where the road does
  // not use its result, skips its work) with a reason that says so. Virtual so that a test can
  // script a stage, or watch the road call it. ----
  virtual int MountVM();                                                  // QuarnWorker_mount.cpp
  virtual int UnmountVM();                                                // QuarnWorker_mount.cpp
  virtual bool CreateArchiveFile(quarnBackupArgs& args, vsArchive* archive);  // QuarnWorker_archive.cpp
  virtual bool DiscoverApps();                                            // QuarnWorker_discover.cpp
  virtual int PreBackupVM(quarnBackupArgs& args);                         // QuarnWorker_phases.cpp
  virtual int BackupVM(quarnBackupArgs& args);                            // QuarnWorker_phases.cpp
  virtual int PostBackupVM(quarnBackupArgs& args);                        // QuarnWorker_phases.cpp
  virtual int SendFailedVM(quarnBackupArgs& args);                        // QuarnWorker_phases.cpp
  virtual int CollectGranularMetadata(quarnBackupArgs& args);             // QuarnWorker_metadata.cpp
  virtual bool ComputeVMGuestSize(quarnBackupArgs& args, bool incremental);  // QuarnWorker_metadata.cpp
  virtual int TrueUpVM(quarnBackupArgs& args);                            // QuarnWorker_trueup.cpp

  // ---- True-up of extents the index lacks (QuarnWorker_trueup.cpp) ----
  // One disk's listed extents, each read again and sent as an item of its own into the open archive
  // file: 0, 11 stopped, 31 not sent, 46 unknown product, 53 not opened, 54 not read, -1 the disk has
  // no extent size in this job. A name that names no extent is skipped.
  int TrueUpVMDisk(quarnBackupArgs& args, const std::vector<std::string>& names);
  // The extent number of a listed name: a fixed-length name, or "Extent" and a decimal number that
  // makes up the whole rest of the name and fits 64 bits.
  static bool ParseMissingExtentName(const std::string& name, bool fixedLengthNames, uint64_t& number);

  // ---- Mount and unmount of a VM (QuarnWorker_mount.cpp) ----
  // 0; 99 for an empty GUID, or one that is not usable as a name (it would lead the mount path out
  // of its folder), 98 for an empty name. The folder is not created here.
  int prepareMountPathDirectory(const std::string& vmName, const std::string& vmGuid, std::string& mountPath);
  virtual void InitMountCtxForVM(vsJobMgr* jobMgr, vsAppMgr* appMgr, subclientFiles* files, QuarnRegistry* registry,
                                 MountCtx* ctx);
  bool DownloadSnapMetadataFiles(const std::string& cachePath, long long jobId);
  int CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& reason, EvMessageContainer& message);
  int CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& reason, EvMessageContainer& message,
                       bool sendEvents, bool singleVM);
  int CheckJyNTFSError(CArchiveVirtualDiskFile* disk, const CPxError& error, IVMInfo* vmInfo, MountCtx& ctx,
                       std::string& reason, EvMessageContainer& message);

  // ---- Archive file and VM configuration files (QuarnWorker_archive.cpp) ----
  // Makes sure the mount context holds an index archive file id (snapshot jobs).
  bool CreateVMArchiveFileForSnap();
  // Sends one configuration file as an item of the VM's archive file: 0, or 10 input missing, 53 not
  // opened, 54 its size or a read failed, 29 no transfer buffer, 31 a header, buffer or end refused,
  // 43 content record not inserted. Every item it opens is ended, failed unless the file went whole.
  int BackupVMConfigFile(quarnBackupArgs* args, CMediaSpeedCounter& speed, CAverageCounter& average);
  // Writes "VMConfig.ztf" from the VM's inventory into the mount path, sends it and deletes it.
  int BackupGeneralizedVMConfigFile(quarnBackupArgs* args, CMediaSpeedCounter& speed, CAverageCounter& average);
  // Sends the snapshot's first configuration file; always 0.
  int BackupSnapBackupConfigFile(quarnBackupArgs* args, CMediaSpeedCounter& speed, CAverageCounter& average);

  // ---- Completion (QuarnWorker_complete.cpp) ----
  void HandleVMComplete(int result);
  virtual void HandleVMComplete_Status(int result);
  void SaveCleanupString(const std::string& mountCleanupText);
  void RemoveCleanupString();
  void RegisterDatastores();
  void UnregisterDatastores();

  // ---- Callbacks, progress and status records (QuarnWorker_progress.cpp) ----
  static int CallbackStatic(int reason, void* context, void* data);
  int Callback(int reason, void* data);
  virtual int getPercentageCompletion(QuarnVMProgressPhase phase, uint64_t done, uint64_t total);
  // low + the share of (high - low) that done is of total, never outside [low, high]; low when total
  // is 0.
  static int ScalePercentProgress(int low, int high, uint64_t done, uint64_t total);
  void UpdateVMJobProgress(QuarnVMProgressPhase phase, uint64_t done, uint64_t total);
  // Writes the percent of the current VM where the controller reads it.
  void SetProgressPercent(int percent);
  void UpdateVMJobProgressForDisks(uint64_t bytes);
  void SendVMUpdateInfo(bool flag);
  void FillVMUpdateInfoForStartedVM(JobManager::VMUpdateInfo& info, const std::string& name, const std::string& guid,
                                    int clientId, long long childJobId);
  void FillVMUpdateInfoForMountedVM(JobManager::VMUpdateInfo& info, MountCtx& ctx, int clientId, long long size);
  void FillVMUpdateInfoForCompletedVM(JobManager::VMUpdateInfo& info, bool failures, uint64_t backedUp,
                                      uint64_t guestSize, bool guestSizeKnown, const std::string& failure,
                                      const std::string& changeTrackingStatus, bool lvmFailed,
                                      bool guestSizeFromLastJob);
  void FillVMUpdateInfoForFailedVM(JobManager::VMUpdateInfo& info, MountCtx& ctx, int clientId);
  uint64_t GetVMAllocatedSize();
  void GetOriginalDatastoreName(std::string& name);

  // ---- The data path: the VM's phases, its disks through the extent pipeline, file collections ----
  // Phases (QuarnWorker_phases.cpp; PreBackupVM, BackupVM, PostBackupVM and SendFailedVM with the road).
  virtual int SendFailedDisk(quarnBackupArgs& args, const std::string& item, const std::string& error);
  virtual int SendVMHeader();
  virtual int SendDeletedDisks();
  // A failback's replica: its backup objects renamed after its source VM's (the layout's), so that its
  // backups continue the source's chain. False, with the VM's failure reason, when one cannot be.
  bool RenameDisksForFailback();
  // The VM's disks with listed extents, each with a disk stream reserved for it: 0 when the walk went
  // through, 11 stopped, 53 a disk stream not reserved. Each disk looked at goes into `done`.
  int TrueUpVMDisks(quarnBackupArgs& args, const CNMessageList& disks, std::set<std::string, __less_nocase_cmp>& done,
                    int& lastDiskError);
  void ClassifyTrueUpReadError(CArchiveVirtualDiskFile* reader, const CPxError& error);
  // The VM's failure reason for a true-up that did not go through, unless it has one.
  void SetTrueUpReason(const std::string& what);
  int FailTrueUp(int result, const std::string& reason);
  // The VM's header item in its archive file, ended failed with the VM's result: an archive of a VM
  // that did not back up whole says so, so that no restore takes that backup for the VM.
  void SendFailedVMHeader(vsArchive* archive, int result);
  // Disk scheduling (QuarnWorker_disks.cpp): the VM's disks one after the other, or each on a disk
  // thread of its own with a stream of its own. 0 or the first failing disk's result code.
  int BackupVMDisks(quarnBackupArgs& args, int objectCount);
  int _BackupVMDisks(quarnBackupArgs& args, int objectCount);
  // 0 when the disk thread started, -1 when it did not.
  int SpawnBackupVMDiskThread(const quarnBackupArgs& args, vsArchive* archive);
  static void* BackupVMDiskThreadStatic(void* context);
  int BackupVMDiskThread(quarnBackupArgs* args);
  bool UpdateMaxNumStreamsForVM();
  // One disk (QuarnWorker_disk.cpp): 0 or the disk's result code.
  int BackupVMDisk(quarnBackupArgs* args);
  bool ValidateChangeId(quarnBackupArgs* args, const std::string& changeId);
  // False (with a warning) when a change id read from the disk's change-id file is not the one the
  // index's last backup of the disk ended at (`previous`, its index record).
  bool ChangeIdKnownToIndex(const quarnBackupArgs* args, const IdxMetadata::VirtualServerIdxMetaData* previous,
                            const std::string& changeId);
  // Hands the reader the sectors of the block's disk that need no backup (they read as zeros).
  void ApplySectorsNotToBackup(quarnBackupArgs& args, CArchiveVirtualDiskFile& reader);
  // A failback's incremental: the tracking id its replication recorded for the disk replaces the
  // previous change id (nothing for a full read or another job).
  void OverwriteChangeIdForFailback(const quarnBackupArgs* args, bool full, std::string& changeId);
  std::string GetDiskIndexNameInUse(quarnBackupArgs* args);
  void InitPerfCounter(CMediaSpeedCounter& counter, int interval, long long jobId, const std::string& name);
  void InitPerfCounter(CAverageCounter& counter, int interval, long long jobId, const std::string& name);
  // Hyper-V changed-block tracking statistics of a disk's incremental, when bDumpZTCBTStats asks.
  void DumpCBTStatistics(const quarnBackupArgs* args, const std::string& previousChangeId,
                         const quarnGenericMethodCleanup& guard, uint64_t extentsSent);
  // Logs each counter given and resets it (the checksum counters are null when checksums were off).
  void PrintAndResetCounters(const char* sig, CMediaSpeedCounter& readDisk, CMediaSpeedCounter* calcCRC,
                             CAverageCounter* readCRC, CAverageCounter* writeCRC);
  // The disk reading loop (QuarnWorker_diskread.cpp).
  bool DetermineAndInitBackupRequestsForDisk(quarnGenericMethodCleanup& guard, int& count, quarnExtentReq* single);
  int _BackupVMDisk(quarnBackupArgs* args, quarnGenericMethodCleanup& guard, int count, BackupThreadObjsSync& hub,
                    CMediaSpeedCounter& crcCounter, CMediaSpeedCounter& readCounter,
                    CMultiStreamMediaSpeedCounter* datastoreCounter, CArchiveVirtualDiskFile::Context_t& ctx,
                    bool checksums);
  // The checksum and archive stages of a disk's pipeline (QuarnWorker_pipeline.cpp); the context is
  // the disk's hub.
  static void* CRCExtentProcessorStatic(void* hub);
  static void* ArchiveExtentProcessorStatic(void* hub);
  int CRCExtentProcessor(BackupThreadObjsSync* hub);
  int ArchiveExtentProcessor(BackupThreadObjsSync* hub);
  // One file collection (QuarnWorker_filecollection.cpp): 0 or its result code.
  int BackupVMFileCollection(quarnBackupArgs* args);
  // The extent size (sectors) the VM's disk of this index name was backed up with; 0 when none.
  uint32_t GetDiskExtentSize(const std::string& indexName);

  // ---- Guest metadata: sectors left out, guest size, guest OS (QuarnWorker_metadata.cpp) ----
  void InitMetadataProcessingArgs(doMetadataProcessingArgs& metadata, uint32_t flags,
                                  std::map<std::string, std::vector<std::string>>* fileMap);
  int AddDiskForMetadataExtentsCollection(quarnBackupArgs* args, quarnConfig* config);
  int AddDiskForMetadataCollection(quarnBackupArgs* args, uint32_t flags);
  // The VM's disks (filtered ones left out) for one metadata run; nothing when they are already in.
  int AddDisksForMetadataCollection(quarnBackupArgs* args, uint32_t flags);
  int AddDisksForPageFileSectorEnum(quarnBackupArgs* args);
  void GetMountExtentsFromIndexing(const std::string& diskIndexName) { GetMetadataExtentsFromIndexing(diskIndexName, false); }
  void GetMFTExtentsFromIndexing(const std::string& diskIndexName) { GetMetadataExtentsFromIndexing(diskIndexName, true); }
  void GetMetadataExtentsFromIndexing(const std::string& diskIndexName, bool metadata);
  // A metadata run over a copy of the extent map (only `disk`'s entry when one is named); what it
  // found then replaces those entries of the map.
  int DoMetadataProcessingOnExtents(quarnConfig& config, doMetadataProcessingArgs& metadata, const std::string* disk);
  // The flag word and bitmap of a disk's extent in the metadata extents; 0 when it is none of them.
  uint64_t MetadataExtentFlags(const std::string& disk, uint64_t extent, std::shared_ptr<I2::ClusterBitmap>& bitmap);
  // Before the disks: the sectors to leave out (page file, swap, free NTFS clusters), live-browse
  // extents and the guest's partitions, for the whole VM or for one disk attached on its own.
  // The page-file and live-browse flags of a metadata run, logged under the caller's name.
  uint32_t PageFileAndLiveBrowseFlags(const char* sig, const quarnBackupArgs& args);
  bool PreProcessExtentsForBackup(quarnBackupArgs& args);
  int _PreProcessExtentsForBackup(quarnBackupArgs& args, uint32_t flags);
  bool PreProcessExtentsForBackupDisk(quarnBackupArgs& args, quarnConfig* config);
  int _PreProcessExtentsForBackupDisk(quarnBackupArgs& args, uint32_t flags, quarnConfig* config);
  bool GetVMGuestSizeFromLVM(uint64_t& size);
  // Amazon and Google Cloud attach a VM's disks to the proxy one at a time.
  bool IsDelayedDiskAttach();
  // Guest LVM metadata collection runs on Windows proxies only.
  bool IsPlatformSupportedForLVM() const { return false; }
  // No disk of the VM has sectors above 512 bytes (or the setting allows any); decided once per VM.
  bool IsSectorSizeSupportedForLVM();
  bool DetectGuestOS(const std::string& devicePath);
  bool DetectGuestOS(const std::vector<DiskPartitionType>& partitionTypes);
  ExtentInfoMap TEST_MetadataExtents() {
    ZtCriticalSectionLock lock(&m_metadataExtentsLock);
    return m_metadataExtents;
  }
  void TEST_SetConfig(quarnConfig* config) { m_config = config; }

  // Test hooks: the VM in hand and the disk progress counters.
  vm_params* TEST_CurrentVM() const { return m_currentVM; }
  void TEST_SetCurrentVM(vm_params* vm) { m_currentVM = vm; }
  void TEST_SetDiskBytesTotal(uint64_t total);
  MountCtx* TEST_MountCtx() { return m_mountCtx; }
  void TEST_SetMountCtx(MountCtx* ctx) { m_mountCtx = ctx; }
  const std::string& TEST_CleanupString() const { return m_cleanupString; }
  // The VM's argument block while a test drives the road's stages one by one.
  void TEST_SetCurrentArgs(quarnBackupArgs* args) { m_currentArgs = args; }

 protected:
  static void* WorkerThreadStatic(void* worker);
  void WorkerThread();
  // The child job id of the current VM (VMCollect 62); 0 without a VM.
  long long CurrentChildJobId() const;
  void ReleaseHeldStreams();

  EvEvent m_event;
  // Constant after construction.
  QuarnController* const m_controller;
  const int m_workerId;

  std::atomic<int32_t> m_state{WORKER_STOPPED};
  // Started and joined by the controller's thread only.
  ZtThread m_thread;
  std::atomic<bool> m_quitFlag{false};

  // Set by Initialize before the thread starts.
  vsJobMgr* m_jobMgr = nullptr;
  vsAppMgr* m_appMgr = nullptr;
  subclientFiles m_subclientFiles;
  QuarnRegistry m_registry;
  quarnConfig* m_config = nullptr;                         // owned
  App::VSAReplicationInfo* m_replicationInfo = nullptr;   // owned; failback jobs only

  // The worker thread's own state for the VM in hand.
  vm_params* m_currentVM = nullptr;  // the controller's record, lent until CompleteVM
  int m_vmIndex = -1;
  std::string m_connectedServer;
  IVMInfo* m_vmInfo = nullptr;   // owned; kept from VM to VM
  MountCtx* m_mountCtx = nullptr;  // owned; one per VM
  vsArchive* m_currentStream = nullptr;  // lent by the controller
  quarnBackupArgs* m_currentArgs = nullptr;
  std::string m_cleanupString;
  std::string m_previousCleanupString;
  CStopWatch m_mountTimer;
  CStopWatch m_unmountTimer;
  CStopWatch m_metadataTimer;
  CMediaSpeedCounter m_speedCounter;
  std::atomic<uint32_t> m_streamsRequired{0};
  bool m_progressRegressionReported = false;

  // ---- The road of one VM: index metadata of this job and the last one (worker thread) ----
  IdxMetadata::IdxMetaData m_vmIdxMetadata;
  IdxMetadataByName m_prevIdxMetadata;
  // The VM's metadata extents by disk: a delayed-attach disk's pre-processing (on its disk thread)
  // adds to them while another disk's archive stage reads them. A metadata walk fills a copy of its
  // disks' entries, so the lock is never held for a walk.
  ZtCriticalSection m_metadataExtentsLock;
  ExtentInfoMap m_metadataExtents GUARDED_BY(m_metadataExtentsLock);
  std::map<std::string, std::set<uint64_t>, __less_nocase_cmp> m_missingBlocks;
  // Guards the content records and the metadata-file list of the VM in hand (disk threads add to
  // them at once).
  ZtCriticalSection m_contentLock;

  // Shared with the VM's disk threads.
  ZtCriticalSection m_streamLock;
  // Set whenever a stream may have come free for the VM's next object (one of its objects gave its
  // stream back, the controller has one, a quit); the worker's thread alone waits on it.
  ZtEvent m_streamEvent{false};
  std::vector<vsArchive*> m_extraStreams GUARDED_BY(m_streamLock);
  std::vector<quarnBackupArgs*> m_diskThreadArgs GUARDED_BY(m_streamLock);
  ZtCriticalSection m_progressLock;
  uint64_t m_diskBytesTotal GUARDED_BY(m_progressLock) = 0;
  uint64_t m_diskBytesDone GUARDED_BY(m_progressLock) = 0;

  // ---- Guest metadata ----
  // Sectors per extent of the last disk registered for a metadata run.
  uint32_t m_metadataExtentSize = 0;
  // Registers the block's disk with the layout object for a metadata run (last: hand it on at once) and
  // fetches its metadata extents from indexing when asked and enabled; always 0. The product type and
  // m_metadataExtentSize are the disk's.
  int RegisterDiskForMetadata(quarnBackupArgs& args, quarnConfig& config, ProductType_t product, bool last,
                              bool fetchExtents);
  // Queues the block's volume with the layout object for a volume-level metadata collection (a disk
  // layout keeps no queue), when the job collects metadata and the hypervisor takes the VM's disks
  // for it; installs this worker's quit check for the collection first.
  void QueueVolumeForMetadataCollection(const quarnBackupArgs& args, quarnConfig& config);
  // Keeps a detected guest OS id in the mount context and tells the simulator of a known one.
  bool RecordDetectedGuestOS(int id, const char* sig);
  // The sector-size verdict of the VM in hand (-1 not decided yet), so that asking never moves the
  // layout object's walk over the backup objects.
  int m_sectorSizeVerdict = -1;
  const vm_params* m_sectorSizeVerdictVM = nullptr;

  // ---- The data path ----
  // A stream for one backup object in parallel mode: the worker's current stream, or an extra one
  // with the VM's archive file opened on it; it joins the list of streams in use. 0, 11 on a quit
  // while waiting, 27 when the controller has none to give.
  int AcquireObjectStream(quarnBackupArgs& args, vsArchive*& archive);
  // Takes the object's stream out of the list: the last one becomes the worker's current stream,
  // any other closes its archive file and goes back to the controller. 0, or 110 when that archive
  // file could not be closed.
  int ReleaseObjectStream(vsArchive* archive);

  // Held while a disk reader is made, set up and opened: the hypervisor's library opens one disk of a
  // worker at a time.
  ZtCriticalSection m_readerLock;
  ZtCriticalSection m_extentSizeLock;
  std::map<std::string, uint32_t, __less_nocase_cmp> m_extentSizes GUARDED_BY(m_extentSizeLock);
};
