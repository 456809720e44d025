// The disk reading loop: the reading stage of a disk's extent pipeline. It takes free requests, reads
// the disk's next extent into each, names it and hands it on; at the end of the disk it waits for the
// pool, ends both stages and sends the disk's header, index metadata and end of item.
#include <cstdio>
#include <new>

#include "controller/QuarnController.h"
#include "platform/archive/vsArchive.h"
#include "platform/index/ExtentNameConverter.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kDefaultRequests = 20;
constexpr int kXenDiskLevelRequests = 3;
// Each request may hold an extent: a pool this large would take gigabytes and look no further ahead.
constexpr int kMaxRequests = 1024;
constexpr uint64_t kProgressEveryReads = 64;
constexpr int kResultInvalidInput = 10;
constexpr int kResultInterrupted = 11;
constexpr int kResultReadFailed = 54;
constexpr int kResultNotSent = 31;
constexpr int kBlocksInjected = CArchiveVirtualDiskFile::kBlocksInjected;

void AbortAll(quarnGenericMethodCleanup& guard, int count) {
  for (int i = 0; i < count; ++i) guard.m_reqs[i].abort = true;
}

// Once the stages are joined every request is back and nothing writes its status: the first one that
// a stage failed, or 0. The reader stops taking requests at the end of the disk, so requests the
// stages failed after its last look would otherwise never be seen.
int FailedRequestStatus(const quarnGenericMethodCleanup& guard, int count) {
  for (int i = 0; i < count; ++i) {
    const uint32_t status = guard.m_reqs[i].status;
    if (status != quarnExtentReq::kDone && status != quarnExtentReq::kAbandoned) return static_cast<int>(status);
  }
  return 0;
}

uint64_t ProcessedBytes(const CArchiveVirtualDiskFile::Context_t& ctx) {
  return ctx.extentsRead * ctx.sectorsPerExtent * ctx.unitSize;
}

}  // namespace

bool QuarnWorker::DetermineAndInitBackupRequestsForDisk(quarnGenericMethodCleanup& guard, int& count,
                                                        quarnExtentReq* single) {
  static const char* const sig =
      "bool QuarnWorker::DetermineAndInitBackupRequestsForDisk(quarnGenericMethodCleanup&, int&, quarnExtentReq*)";
  const bool xenDiskLevel = m_appMgr != nullptr && m_appMgr->isDiskLevelBackup() && m_appMgr->isServerTypeXen();
  const int fallback = xenDiskLevel ? kXenDiskLevelRequests : kDefaultRequests;
  int wanted = fallback;
  m_registry.GetEntry(REG_nQuarnReqsPerVM, wanted, fallback);
  if (wanted < 1 || wanted > kMaxRequests) {
    // Without a request the reader would wait for one forever; too many only take memory.
    const int bounded = wanted < 1 ? 1 : kMaxRequests;
    m_event.Error(sig, "nQuarnReqsPerVM [%d] is out of range 1 to %d; using [%d]", wanted, kMaxRequests, bounded);
    wanted = bounded;
  }
  count = wanted;
  m_event.DebugLvl(2, sig, "nBkpReqs = [%d]", count);
  quarnExtentReq* pool = new (std::nothrow) quarnExtentReq[static_cast<size_t>(count)];
  if (pool != nullptr) {
    guard.m_reqs = pool;
    guard.m_ownsReqs = true;
    return true;
  }
  m_event.Error(sig,
                "Not enough memory to run VM's backup tasks in multi-threaded mode. Running them in serial mode");
  guard.m_reqs = single;
  guard.m_ownsReqs = false;
  count = 1;
  return true;
}

int QuarnWorker::_BackupVMDisk(quarnBackupArgs* args, quarnGenericMethodCleanup& guard, int count,
                               BackupThreadObjsSync& hub, CMediaSpeedCounter& crcCounter, CMediaSpeedCounter& readCounter,
                               CMultiStreamMediaSpeedCounter* datastoreCounter, CArchiveVirtualDiskFile::Context_t& ctx,
                               bool checksums) {
  static const char* const sig =
      "int QuarnWorker::_BackupVMDisk(quarnBackupArgs*, quarnGenericMethodCleanup&, int, BackupThreadObjsSync&, "
      "CMediaSpeedCounter&, CMediaSpeedCounter&, CMultiStreamMediaSpeedCounter*, CArchiveVirtualDiskFile::Context_t&, "
      "bool)";
  (void)crcCounter;
  if (args == nullptr || guard.m_vDiskFile == nullptr || guard.m_reqs == nullptr) {
    m_event.Error(sig, "Invalid input");
    return kResultInvalidInput;
  }
  CArchiveVirtualDiskFile* reader = guard.m_vDiskFile;
  const bool fixedNames = hub.GetUseFixedLengthExtentNames();
  const std::string headerPath = hub.GetDiskFileHeaderPath();
  const ProductType_t productType = args->mConfig != nullptr && m_appMgr != nullptr
                                        ? args->mConfig->getProductType(*m_appMgr)
                                        : static_cast<ProductType_t>(0);
  const bool snapBackup = m_jobMgr != nullptr && m_jobMgr->isSnapBackup();

  auto missing = m_missingBlocks.find(args->mBackupPath);
  if (missing != m_missingBlocks.end() &&
      reader->InjectBlocksToChangedExtentTable(missing->second, args->mExtentSize) != kBlocksInjected) {
    m_event.Error(sig, "Could not mark missing blocks as changed. Resetting change ID");
    reader->SetChangeIDForDisk(std::string());
  }

  int result = 0;
  uint64_t reportedBytes = 0;
  uint64_t readsSinceReport = 0;
  const bool toChecksums = checksums && (guard.m_crcTable != nullptr || guard.m_prevCrcTable != nullptr);
  while (!snapBackup) {
    if (CheckQuitFlag(args)) {
      AbortAll(guard, count);
      m_event.Debug(sig, "Received job interruption flag...");
      result = kResultInterrupted;
      break;
    }
    quarnExtentReq* req = hub.popBkpReqFromReadDiskList();
    if (req->status != 0) {
      AbortAll(guard, count);
      result = static_cast<int>(req->status);
      break;
    }
    req->noData = false;
    req->inPrevTable = false;
    if (datastoreCounter != nullptr) datastoreCounter->Start();
    readCounter.Start();
    CPxError error = reader->GetNextBlock(req->data, req->extentNo, req->changedBits, ctx);
    readCounter.Stop(req->data.Size());
    if (datastoreCounter != nullptr) datastoreCounter->Stop(req->data.Size());

    if (readsSinceReport & kProgressEveryReads) {
      const uint64_t processed = ProcessedBytes(ctx);
      UpdateVMJobProgressForDisks(processed - reportedBytes);
      reportedBytes = processed;
      readsSinceReport = 0;
    }
    ++readsSinceReport;

    if (error.IsError()) {
      if (CArchiveVirtualDiskFile::IsErrorEOF(error)) break;
      m_event.Error(sig, "Failed to read from virtual disk [%s] block [%llu],  [%s]", args->mDiskPath.c_str(),
                    static_cast<unsigned long long>(req->extentNo), error.AsString().c_str());
      if (m_currentVM != nullptr && m_mountCtx != nullptr)
        CheckJyNTFSError(reader, error, m_vmInfo, *m_mountCtx, m_currentVM->failureReason, m_currentVM->failureEvent);
      AbortAll(guard, count);
      result = kResultReadFailed;
      break;
    }
    if (req->data.Size() == 0) req->noData = true;
    req->unitSize = ctx.unitSize;
    int written = 0;
    if (fixedNames) {
      written = std::snprintf(req->extentName, sizeof(req->extentName), "\\%s\\%s\\%s", args->mVMGuid.c_str(),
                              args->mBackupPath.c_str(), ExtentNameConverter::GetFilePath(req->extentNo).c_str());
    } else {
      const char* format = args->mConfig != nullptr ? args->mConfig->getFileHeaderExtentFormatString() : "\\%s\\%s\\Extent%lld";
      written = std::snprintf(req->extentName, sizeof(req->extentName), format, args->mVMGuid.c_str(),
                              args->mBackupPath.c_str(), static_cast<long long>(req->extentNo));
    }
    if (written < 0 || static_cast<size_t>(written) >= sizeof(req->extentName)) {
      // A cut name would file the extent under another item.
      m_event.Error(sig, "The extent name of disk [%s] of VM [%s] does not fit [%zu] characters", args->mBackupPath.c_str(),
                    args->mVMGuid.c_str(), sizeof(req->extentName) - 1);
      AbortAll(guard, count);
      result = kResultInvalidInput;
      break;
    }
    if (toChecksums)
      hub.pushBkpReqToCRCList(req, false);
    else
      hub.pushBkpReqToArchiveList(req, false);
  }

  m_event.Debug(sig, "Waiting for request(s) to complete...");
  hub.waitForReqDone();
  hub.pushBkpReqToCRCList(nullptr, false);
  hub.pushBkpReqToArchiveList(nullptr, false);
  m_event.DebugLvl(2, sig, "finishing up...");
  args->mCRCThread.Join();
  args->mArchiveThread.Join();
  if (result == 0) result = FailedRequestStatus(guard, count);
  if (result == 0 && hub.GetEndStatus() != 0) result = static_cast<int>(hub.GetEndStatus());

  if (!snapBackup && !args->mDiskRefPoint && args->mArchive != nullptr) {
    m_event.Debug(sig, "Sending File Header Path:[%s] with size:[%lld] bytes", headerPath.c_str(),
                  static_cast<long long>(args->mFileSize));
    const bool failback = m_jobMgr != nullptr && m_jobMgr->isFailbackBackup() &&
                          !(m_appMgr != nullptr && m_appMgr->isUseIndexingV2Enabled());
    int code = args->mArchive->sendDiskHeader(headerPath, args->mFileSize, args->mAllocatedSize, failback, 1,
                                              ctx.sectorsPerExtent, (args->mHeaderKind & 4) != 0);
    // A disk that did not finish ends its item failed, so that no restore takes it for whole; a header
    // that did not go opened no item for metadata or an end.
    int end = code;
    if (!vsArchive::isError(code)) {
      if (!SendVSDiskIndexMetadata(args, productType))
        m_event.Error(sig, "Warning : Failed to send indexing metadata for VM virtual disk [%s].",
                      args->mDisplayName.c_str());
      end = args->mArchive->sendEOF(result == 0, result);
      if (result == 0 && vsArchive::isError(end)) args->mArchive->sendEOF(false, kResultNotSent);
    }
    if (result == 0 && (vsArchive::isError(code) || vsArchive::isError(end))) {
      m_event.Error(sig, "Failed to send the disk header of [%s], retCode [%d]", args->mDisplayName.c_str(),
                    vsArchive::isError(code) ? code : end);
      result = kResultNotSent;
    }
  }
  if (result != 0) return result;

  m_event.Debug(sig, "Done Backing up disk/volume [%s] [%lld] bytes.", args->mDisplayName.c_str(),
                static_cast<long long>(hub.GetBytesWritten()));
  args->mBackedUpBytes += hub.GetBytesWritten();
  uint64_t processed = ProcessedBytes(ctx);
  if (processed != args->mMaxDiskSize) {
    m_event.Debug(sig, "progress calculation mismatch processed [%llu] expected [%llu]",
                  static_cast<unsigned long long>(processed), static_cast<unsigned long long>(args->mMaxDiskSize));
    processed = args->mMaxDiskSize;
  }
  if (processed > reportedBytes) UpdateVMJobProgressForDisks(processed - reportedBytes);
  return 0;
}
