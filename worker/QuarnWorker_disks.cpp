// Disk scheduling: a VM's disks, volumes and file collections one after the other on the VM's own
// stream, or, when several streams per VM are allowed, each on a stream of its own: disks on disk
// threads, a file collection on the worker's thread. The first object takes the VM's stream; the
// others take the worker's current stream when a finished disk has left one, or an extra stream from
// the controller, waiting until one may have come free (never longer than the retry period).
//
// The stream lock keeps one rule: the worker's current stream is set only while no object holds a
// stream (the list of streams in use is empty). An object that ends while others still hold streams
// closes the archive file on its stream and gives the stream back; the last one keeps its archive file
// open and leaves its stream as the worker's current stream, which the rest of the VM's backup uses.
#include "controller/QuarnController.h"
#include "platform/archive/vsArchive.h"
#include "platform/vminfo/IVMInfo.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kResultInterrupted = 11;
constexpr int kResultNoStream = 27;
constexpr int kResultOpenFailed = 53;
constexpr int kResultCloseFailed = 110;
constexpr int kStreamRetrySeconds = 10;

void SetStop(quarnBackupArgs* args) {
  if (args != nullptr) __atomic_store_n(&args->mStopFlag, true, __ATOMIC_RELEASE);
}

// Whether the result of an object overrides the VM's: the first failure wins over an interruption.
bool Overrides(int result, int overall) { return result != 0 && (overall == 0 || overall == kResultInterrupted); }

}  // namespace

bool QuarnWorker::UpdateMaxNumStreamsForVM() {
  static const char* const sig = "bool QuarnWorker::UpdateMaxNumStreamsForVM()";
  uint32_t disks = 0;
  if (m_config != nullptr) {
    quarnBackupArgs walk;
    m_config->resetGetNextBkpObj();
    for (m_config->getNextBkpObj(&walk); !walk.mBackupPath.empty(); m_config->getNextBkpObj(&walk))
      if (walk.mObjectKind == 1) ++disks;
    m_config->resetGetNextBkpObj();
  }
  m_streamsRequired = disks > 1 ? disks : 1;
  m_event.Debug(sig, "Setting maximum number of streams required for VM [%s] to [%d]",
                m_currentVM != nullptr ? m_currentVM->vmName.c_str() : "", static_cast<int>(m_streamsRequired.load()));
  return true;
}

int QuarnWorker::BackupVMDisks(quarnBackupArgs& args, int objectCount) {
  static const char* const sig = "int QuarnWorker::BackupVMDisks(quarnBackupArgs&, int)";
  int overall = _BackupVMDisks(args, objectCount);
  std::vector<quarnBackupArgs*> copies;
  {
    ZtCriticalSectionLock lock(&m_streamLock);
    copies = m_diskThreadArgs;
  }
  if (overall != 0) {
    m_event.Debug(sig, "Stopping all backup VM disk threads");
    for (quarnBackupArgs* copy : copies) SetStop(copy);
  }
  m_event.Debug(sig, "Waiting for all backup VM disk threads to complete");
  // The stream lock is not held here: a disk thread takes it on its way out.
  for (quarnBackupArgs* copy : copies) copy->mDiskThread.Join();
  m_event.Debug(sig, "All backup VM disk threads have completed");
  ZtCriticalSectionLock lock(&m_streamLock);
  if (m_currentStream != nullptr && m_currentStream != args.mArchive) {
    m_event.Debug(sig, "Updating primary archive object after backing VM disk(s)");
    args.mArchive = m_currentStream;
  }
  while (!m_diskThreadArgs.empty()) {
    quarnBackupArgs* copy = m_diskThreadArgs.back();
    m_diskThreadArgs.pop_back();
    args.mBackedUpBytes += copy->mBackedUpBytes;
    args.mChangeIdCheckedDisks += copy->mChangeIdCheckedDisks;
    args.mChangeIdFailedDisks += copy->mChangeIdFailedDisks;
    if (Overrides(copy->mRetCode, overall)) overall = copy->mRetCode;
    delete copy;
  }
  return overall;
}

int QuarnWorker::AcquireObjectStream(quarnBackupArgs& args, vsArchive*& archive) {
  static const char* const sig = "int QuarnWorker::_BackupVMDisks(quarnBackupArgs&, int)";
  archive = nullptr;
  for (;;) {
    if (CheckQuitFlag(&args)) return kResultInterrupted;
    int result = 0;
    {
      ZtCriticalSectionLock lock(&m_streamLock);
      int spare = 0;
      if (m_currentStream != nullptr) {
        archive = m_currentStream;
        m_currentStream = nullptr;
      } else if (m_controller != nullptr && m_controller->CheckExtraStreamsAvailable(spare) && spare > 0) {
        if (!m_controller->AcquireStream(m_workerId, archive, false)) {
          result = kResultNoStream;
        } else if (archive != nullptr && !CreateArchiveFile(args, archive)) {
          m_event.Error(sig, "Error creating archive file on extra stream");
          m_controller->RelinquishStream(m_workerId, archive);
          archive = nullptr;
        }
      }
      if (archive != nullptr) m_extraStreams.push_back(archive);
    }
    if (result != 0) return result;
    if (archive != nullptr) return 0;
    // Woken as soon as a stream may have come free; the period is only the upper bound of the wait.
    m_streamEvent.wait(kStreamRetrySeconds * 1000UL);
  }
}

int QuarnWorker::ReleaseObjectStream(vsArchive* archive) {
  static const char* const sig = "int QuarnWorker::ReleaseObjectStream(vsArchive*)";
  int result = 0;
  ZtCriticalSectionLock lock(&m_streamLock);
  for (auto it = m_extraStreams.begin(); it != m_extraStreams.end(); ++it) {
    if (*it != archive) continue;
    m_extraStreams.erase(it);
    break;
  }
  if (m_extraStreams.empty()) {
    m_currentStream = archive;
    m_streamEvent.set();
    return 0;
  }
  if (vsArchive::isError(archive->closeArchiveFile())) {
    m_event.Error(sig, "Failed to get a close archive file for VM [%s]",
                  m_currentVM != nullptr ? m_currentVM->vmName.c_str() : "");
    result = kResultCloseFailed;
  }
  if (m_controller != nullptr) m_controller->RelinquishStream(m_workerId, archive);
  if (m_streamsRequired.load() > 0) --m_streamsRequired;
  m_streamEvent.set();
  return result;
}

int QuarnWorker::_BackupVMDisks(quarnBackupArgs& args, int objectCount) {
  static const char* const sig = "int QuarnWorker::_BackupVMDisks(quarnBackupArgs&, int)";
  int allow = 1;
  m_registry.GetEntry(REG_nAllowMultiStreamsPerVM, allow, 1);
  const bool parallel = allow != 0 && objectCount >= 2;
  {
    ZtCriticalSectionLock lock(&m_extentSizeLock);
    m_extentSizes.clear();
  }
  {
    ZtCriticalSectionLock lock(&m_progressLock);
    m_diskBytesTotal = args.mConfig->getTotalSize();
    m_diskBytesDone = 0;
  }
  args.mConfig->resetGetNextBkpObj();
  for (args.mConfig->getNextBkpObj(&args); !args.mBackupPath.empty(); args.mConfig->getNextBkpObj(&args)) {
    if (args.mObjectKind == 1) {
      if (m_appMgr != nullptr && args.mConfig->isInFilterList(args.mDisplayName, *m_appMgr)) {
        m_event.Debug(sig, "Skipping backing up Volume [%s] because it was found in the filter list",
                      args.mDisplayName.c_str());
        continue;
      }
      if (args.mAllocatedSize == 0 && m_mountCtx != nullptr) args.mAllocatedSize = m_mountCtx->allocatedSize;
      int result = 0;
      if (parallel) {
        vsArchive* archive = nullptr;
        result = AcquireObjectStream(args, archive);
        if (result == 0) result = SpawnBackupVMDiskThread(args, archive);
      } else {
        IVMInfo* vmInfo = args.mVMInfo != nullptr ? args.mVMInfo : m_vmInfo;
        if (vmInfo == nullptr || vmInfo->ReserveDiskStream(1) == 0) {
          m_event.Error(sig, "Failed to reserve a disk stream for virtual disk [%s]", args.mDiskPath.c_str());
          return kResultOpenFailed;
        }
        args.mRetCode = BackupVMDisk(&args);
        result = args.mRetCode;
        vmInfo->ReleaseDiskStream(1);
      }
      if (m_jobMgr != nullptr && m_jobMgr->checkQuitFlag()) return kResultInterrupted;
      if (result != 0) return result;
    } else if (args.mObjectKind == 2) {
      int result = 0;
      if (parallel) {
        // A collection goes to the archive on its worker's thread: it must not share a stream that a
        // disk thread is writing, so it takes one of its own the way a disk does.
        vsArchive* archive = nullptr;
        result = AcquireObjectStream(args, archive);
        if (result == 0) {
          vsArchive* vmArchive = args.mArchive;
          args.mArchive = archive;
          result = BackupVMFileCollection(&args);
          args.mArchive = vmArchive;
          const int released = ReleaseObjectStream(archive);
          if (result == 0) result = released;
        }
      } else {
        result = BackupVMFileCollection(&args);
      }
      if (result != 0) return result;
    }
  }
  return 0;
}

int QuarnWorker::SpawnBackupVMDiskThread(const quarnBackupArgs& args, vsArchive* archive) {
  static const char* const sig = "int QuarnWorker::SpawnBackupVMDiskThread(const quarnBackupArgs&, vsArchive*)";
  quarnBackupArgs* copy = nullptr;
  {
    // A disk thread that fails sets the VM block's stop flag under this lock; the copy reads it.
    ZtCriticalSectionLock lock(&m_streamLock);
    copy = new quarnBackupArgs(args);
  }
  copy->mStopFlag = false;
  copy->mArchive = archive;
  copy->mOwnerWorker = this;
  copy->mIsDiskThreadCopy = true;
  copy->mSectorsNotToBackup = args.mSectorsNotToBackup;
  copy->mBackupLevel = args.mBackupLevel;
  copy->mRetCode = 0;
  copy->mBackedUpBytes = 0;
  copy->mChangeIdCheckedDisks = 0;
  copy->mChangeIdFailedDisks = 0;
  copy->mCRCThread = ZtThread();
  copy->mArchiveThread = ZtThread();
  copy->mDiskThread = ZtThread();
  {
    ZtCriticalSectionLock lock(&m_streamLock);
    m_diskThreadArgs.push_back(copy);
  }
  if (copy->mDiskThread.Create(&QuarnWorker::BackupVMDiskThreadStatic, copy, "disk")) {
    m_event.Debug(sig, "Spawned Thread [%x] to backup VM disk [%s]", static_cast<unsigned>(copy->mDiskThread.getThreadID()),
                  args.mDisplayName.c_str());
    return 0;
  }
  m_event.Error(sig, "Failed to spawn BackupVMDiskThread");
  // The disk never ran: its stream is handed back as a finished disk's would be, not left in the list.
  ReleaseObjectStream(archive);
  return -1;
}

void* QuarnWorker::BackupVMDiskThreadStatic(void* context) {
  if (context == nullptr) return nullptr;
  quarnBackupArgs* args = static_cast<quarnBackupArgs*>(context);
  if (args->mOwnerWorker != nullptr) args->mOwnerWorker->BackupVMDiskThread(args);
  return nullptr;
}

int QuarnWorker::BackupVMDiskThread(quarnBackupArgs* args) {
  static const char* const sig = "int QuarnWorker::BackupVMDiskThread(quarnBackupArgs*)";
  int streamId = 0, rcid = 0, reservation = 0, client = 0;
  if (args->mArchive != nullptr) args->mArchive->getStream(streamId, rcid, reservation, client);
  m_event.Debug(sig, "Started thread to backup VM disk [%s] for worker [%d] thread [%x] using stream [%d]",
                args->mDisplayName.c_str(), m_workerId, static_cast<unsigned>(m_thread.getThreadID()), streamId);
  IVMInfo* vmInfo = args->mVMInfo != nullptr ? args->mVMInfo : m_vmInfo;
  const bool reserved = vmInfo != nullptr && vmInfo->ReserveDiskStream(1) != 0;
  if (!reserved) m_event.Error(sig, "Failed to reserve a disk stream for virtual disk [%s]", args->mDiskPath.c_str());
  args->mRetCode = BackupVMDisk(args);
  if (reserved) vmInfo->ReleaseDiskStream(1);
  const int released = ReleaseObjectStream(args->mArchive);
  if (released != 0) args->mRetCode = released;
  if (args->mRetCode != 0) {
    ZtCriticalSectionLock lock(&m_streamLock);
    SetStop(m_currentArgs);
  }
  m_event.Debug(sig, "Exiting thread to backup VM disk [%s] for worker [%d] thread [%x]", args->mDisplayName.c_str(),
                m_workerId, static_cast<unsigned>(m_thread.getThreadID()));
  return 0;
}
