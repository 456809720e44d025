// The checksum and archive stages of a disk's extent pipeline. Each runs on its own thread, takes
// requests from its list in the hub until it pops a null request, and hands every request back to the
// reader through the read-disk list; a failed request goes back urgently, so the reader sees it before
// older good ones. A stage that has failed once returns every later request unprocessed.
#include <cstring>

#include "platform/archive/vsArchive.h"
#include "platform/disk/I2ClusterBitmap.h"
#include "platform/index/TVMCRCTable.h"
#include "platform/os/CAverageCounter.h"
#include "platform/os/CPxCRC32.h"
#include "records/VSABitMap.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr size_t kZeroBlockBytes = 512;
constexpr uint64_t kLogEveryExtents = 1024;

// The extent is all zeros: compared 512 bytes at a time, stopping at the first block that differs.
bool IsAllZero(const char* data, size_t size, const char* zeros) {
  size_t at = 0;
  for (; at + kZeroBlockBytes <= size; at += kZeroBlockBytes)
    if (std::memcmp(data + at, zeros, kZeroBlockBytes) != 0) return false;
  return at == size || std::memcmp(data + at, zeros, size - at) == 0;
}

// After a failure of the stage, or once the disk was abandoned, a request goes back to the reader
// unprocessed.
bool ReturnedUnprocessed(BackupThreadObjsSync* hub, quarnExtentReq* req, bool failed) {
  if (!failed && !req->abort.load()) return false;
  req->status = failed ? quarnExtentReq::kFailed : quarnExtentReq::kAbandoned;
  hub->pushBkpReqToReadDiskList(req, false);
  return true;
}

}  // namespace

void* QuarnWorker::CRCExtentProcessorStatic(void* hub) {
  if (hub == nullptr) return nullptr;
  BackupThreadObjsSync* sync = static_cast<BackupThreadObjsSync*>(hub);
  static_cast<QuarnWorker*>(sync->GetThis())->CRCExtentProcessor(sync);
  return nullptr;
}

void* QuarnWorker::ArchiveExtentProcessorStatic(void* hub) {
  if (hub == nullptr) return nullptr;
  BackupThreadObjsSync* sync = static_cast<BackupThreadObjsSync*>(hub);
  static_cast<QuarnWorker*>(sync->GetThis())->ArchiveExtentProcessor(sync);
  return nullptr;
}

int QuarnWorker::CRCExtentProcessor(BackupThreadObjsSync* hub) {
  static const char* const sig = "int QuarnWorker::CRCExtentProcessor(BackupThreadObjsSync*)";
  m_event.DebugLvl(1, sig, "volume/disk CRC calculator thread");
  bool failed = false;
  CPxCRC32 crc32;
  while (quarnExtentReq* req = hub->popBkpReqFromCRCList()) {
    if (ReturnedUnprocessed(hub, req, failed)) continue;
    req->inPrevTable = false;
    req->isNewExtent = false;
    const bool hasData = req->data.Size() > 0;
    if (hasData) {
      if (req->crcCounter != nullptr) req->crcCounter->Start();
      crc32.Reset();
      crc32.UpdateCRC32(req->data.Ptr(), req->data.Size());
      req->crc = crc32.GetCRC32();
      if (req->crcCounter != nullptr) req->crcCounter->Stop(req->data.Size());
    }
    // An extent without data has no checksum of its own: it keeps the previous job's, or, with no
    // previous record, goes into this job's table not at all.
    bool haveChecksum = hasData;
    if (req->prevCRCTable != nullptr) {
      TVMCRCRecord record;
      if (req->readCRCCounter != nullptr) req->readCRCCounter->Start();
      const int found = req->prevCRCTable->lookup(req->extentNo, record);
      if (req->readCRCCounter != nullptr) req->readCRCCounter->Stop();
      if (found == -1) {
        m_event.Error(sig, "Failed to read check sum record from the previous job table, VM Name [%s]",
                      req->vmName.c_str());
        req->status = quarnExtentReq::kFailed;
        hub->pushBkpReqToReadDiskList(req, true);
        failed = true;
        continue;
      }
      if (found != 0) {
        req->inPrevTable = true;
        req->prevCrc = record.crc;
        if (!hasData) {
          req->crc = record.crc;
          haveChecksum = true;
        }
      } else if (!hasData) {
        m_event.DebugLvl(4, sig,
                         "Extent [%llu] is marked as unchanged but not available in previous CRC table. Skipping "
                         "this extent",
                         static_cast<unsigned long long>(req->extentNo));
        req->status = quarnExtentReq::kDone;
        hub->pushBkpReqToReadDiskList(req, false);
        continue;
      } else {
        req->isNewExtent = true;
      }
    }
    if (req->newCRCTable != nullptr && haveChecksum) {
      if (req->writeCRCCounter != nullptr) req->writeCRCCounter->Start();
      const int inserted = req->newCRCTable->insert(MakeCRCRecord(req->extentNo, req->crc));
      if (req->writeCRCCounter != nullptr) req->writeCRCCounter->Stop();
      if (inserted != 0) {
        m_event.Error(sig, "Failed to insert new check sum record into the table, VM Name [%s]", req->vmName.c_str());
        req->status = quarnExtentReq::kFailed;
        hub->pushBkpReqToReadDiskList(req, true);
        failed = true;
        continue;
      }
    }
    req->status = quarnExtentReq::kDone;
    hub->pushBkpReqToArchiveList(req, false);
  }
  m_event.DebugLvl(1, sig, "Done...");
  return 0;
}

namespace {

// The open run of unchanged extents of the archive stage.
struct UnchangedRun {
  bool open = false;
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t length = 0;
  vsArchive* archive = nullptr;
};

}  // namespace

int QuarnWorker::ArchiveExtentProcessor(BackupThreadObjsSync* hub) {
  static const char* const sig = "int QuarnWorker::ArchiveExtentProcessor(BackupThreadObjsSync*)";
  quarnBackupArgs* args = static_cast<quarnBackupArgs*>(hub->GetBkpArgs());
  bool skipDataWrite = false;
  m_registry.GetEntry(REG_nSkipDataWrite, skipDataWrite, false);
  if (skipDataWrite) m_event.DebugLvl(1, sig, "************Skipping Data Write******************");
  m_event.DebugLvl(1, sig, "Send volume or disk data to MA thread");
  int interval = 600;
  m_registry.GetEntry(REG_nBackupPerfCounterInterval, interval, 600);
  CAverageCounter emptyCounter;
  InitPerfCounter(emptyCounter, interval, m_jobMgr != nullptr ? m_jobMgr->getJobId() : 0, "emptyExtent");
  const uint64_t headerValue = args->mAllocatedSize;
  bool sendHoles = true;
  m_registry.GetEntry(REG_nSendHoles, sendHoles, true);
  std::vector<char> zeros;
  if (sendHoles) {
    m_event.DebugLvl(2, sig, "PL_HOLE buffers will be sent for empty extents");
    zeros.assign(kZeroBlockBytes, 0);
  }
  bool asRanges = false;
  unsigned int maxRun = 65536;
  m_registry.GetEntry(REG_bSendUnchangedExtentAsRange, asRanges, false);
  m_registry.GetEntry(REG_bSendUnchangedExtentAsRangeMaxRun, maxRun, 65536u);
  if (asRanges) m_event.DebugLvl(1, sig, "Unchanged extents will be sent as ranges of (%d) extents", static_cast<int>(maxRun));
  // With indexing V2 the index learns unchanged extents from the processed-extent bitmap alone.
  const bool recordUnchanged = m_appMgr == nullptr || !m_appMgr->isUseIndexingV2Enabled();
  const bool fullForVM = IsFullBackupForVM();
  const bool trackModified = !fullForVM && m_appMgr != nullptr && m_appMgr->isServerTypeMS() &&
                             m_appMgr->isUseCBTEnabled() && !args->mVMRefPoint;
  const std::string& headerPath = hub->GetDiskFileHeaderPath();
  const bool fixedNames = hub->GetUseFixedLengthExtentNames();

  I2::VSABitMap processed;
  UnchangedRun run;
  uint64_t runsSent = 0;
  bool failed = false;
  auto fail = [&](quarnExtentReq* req, uint32_t status) {
    req->status = status;
    hub->pushBkpReqToReadDiskList(req, true);
    failed = true;
  };

  while (quarnExtentReq* req = hub->popBkpReqFromArchiveList()) {
    if (skipDataWrite) {
      req->status = quarnExtentReq::kDone;
      hub->pushBkpReqToReadDiskList(req, false);
      continue;
    }
    if (ReturnedUnprocessed(hub, req, failed)) continue;
    processed.set(static_cast<int64_t>(req->extentNo));
    const bool unchanged = (req->inPrevTable && req->crc == req->prevCrc) || req->noData;

    // A run of unchanged extents goes out before anything that does not extend it, so that the items
    // stay in extent order.
    if (recordUnchanged && run.open &&
        !(unchanged && req->extentNo == run.end + 1 && (maxRun == 0 || run.length < maxRun))) {
      m_event.DebugLvl(2, sig, "Sending pseudo run from [%llu] to [%llu]", static_cast<unsigned long long>(run.start),
                       static_cast<unsigned long long>(run.end));
      const int code = req->archive->sendUnchangedExtentRange(headerPath, run.start, run.end, fixedNames);
      if (vsArchive::isError(code)) {
        m_event.Error(sig, "vsArchive::sendUnchangedExtentRange failed. retCode [%d]", code);
        fail(req, quarnExtentReq::kFailed);
        continue;
      }
      ++runsSent;
      run = UnchangedRun();
    }

    if (unchanged) {
      hub->IncrementUnchangedExtents();
      if (recordUnchanged) {
        if (asRanges) {
          if (!run.open) {
            run.open = true;
            run.start = req->extentNo;
            run.archive = req->archive;
          }
          run.end = req->extentNo;
          ++run.length;
        } else {
          const int code = req->archive->sendFileHeader(req->extentName, req->data.Size(), static_cast<int64_t>(headerValue),
                                                        false, true, false, 1, 0, 0, 0, false, true, false);
          if (vsArchive::isError(code)) {
            m_event.Error(sig, "vsArchive::sendFileHeader (pseudo flag on) failed. retCode [%d]", code);
            fail(req, quarnExtentReq::kFailed);
            continue;
          }
          m_event.DebugLvl(4, sig, "vsArchive::sendFileHeader (pseudo flag on) [%s] sent", req->extentName);
        }
      }
      req->status = quarnExtentReq::kDone;
      hub->pushBkpReqToReadDiskList(req, false);
      continue;
    }

    // A changed extent.
    const uint64_t sent = ++*req->sentCount;
    const uint64_t size = req->data.Size();
    if (size == 0) m_event.Error(sig, "vsArchive::sendFileHeader sending 0 size header, crc table may be incorrect");
    bool empty = false;
    if (sendHoles && req->changedBits.empty() && !zeros.empty()) {
      emptyCounter.Start();
      empty = IsAllZero(req->data.Ptr(), static_cast<size_t>(size), zeros.data());
      emptyCounter.Stop();
    }
    uint64_t flagWord = 0;
    std::shared_ptr<I2::ClusterBitmap> bitmap;
    if (args->mIdentifyFSMetadata) flagWord = MetadataExtentFlags(req->diskName, req->extentNo, bitmap);
    vsArchive* archive = req->archive;
    if (flagWord != 0) archive->SuspendSrcSideDeduplication();
    int code = archive->sendExtentHeader(req->extentName, req->diskName, size, headerValue, empty, 1, 0, req->crc,
                                         flagWord, bitmap);
    if (flagWord != 0) archive->ResumeSrcSideDeduplication();
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "vsArchive::sendFileHeader failed. retCode [%d]", code);
      fail(req, quarnExtentReq::kNotSent);
      continue;
    }
    if (trackModified && !req->isNewExtent) {
      m_event.DebugLvl(2, sig, "Extent [%llu] has been modified since last backup LastCheckSum : [%u] New CheckSum : [%u]",
                       static_cast<unsigned long long>(req->extentNo), req->prevCrc, req->crc);
      args->mBlockSet.insert(req->extentNo);
    }
    if (empty && sendHoles) {
      if (flagWord != 0) archive->SuspendSrcSideDeduplication();
      code = archive->sendHole(size);
      if (flagWord != 0) archive->ResumeSrcSideDeduplication();
      if (!vsArchive::isError(code)) hub->IncrementEmptyExtents();
    } else {
      const bool suspend = flagWord != 0 && (!bitmap || !bitmap->IsBitmapSet());
      if (suspend) archive->SuspendSrcSideDeduplication();
      code = archive->sendExtentData(req->data.Ptr(), size, req->changedBits, req->unitSize, bitmap);
      if (suspend) archive->ResumeSrcSideDeduplication();
      if (!vsArchive::isError(code)) hub->IncrementBytesWritten(size);
    }
    if (sent % kLogEveryExtents == 0)
      m_event.DebugLvl(2, sig, "Backing extent [%lld] for VM:[%s]", static_cast<long long>(sent), req->vmName.c_str());
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "Failed to send the block, retCode [%d]", code);
      archive->sendEOF(false, 0);
      fail(req, quarnExtentReq::kNotSent);
      continue;
    }
    code = archive->sendEOF(true, 0);
    if (vsArchive::isError(code)) {
      // An extent whose end was not recorded is not in the archive: the disk cannot go on, and the
      // item is ended failed so that the archive file stays readable.
      m_event.Error(sig, "Failed to send the block, retCode [%d]", code);
      archive->sendEOF(false, 0);
      fail(req, quarnExtentReq::kNotSent);
      continue;
    }
    req->status = quarnExtentReq::kDone;
    hub->pushBkpReqToReadDiskList(req, false);
  }

  if (run.open && !failed) {
    if (run.archive != nullptr) {
      m_event.DebugLvl(2, sig, "Sending final pseudo run from [%llu] to [%llu]",
                       static_cast<unsigned long long>(run.start), static_cast<unsigned long long>(run.end));
      const int code = run.archive->sendUnchangedExtentRange(headerPath, run.start, run.end, fixedNames);
      if (vsArchive::isError(code)) {
        // The archive would not say that these extents are part of the backup: the disk has failed.
        m_event.Error(sig, "vsArchive::sendUnchangedExtentRange (last) failed. retCode [%d]", code);
        hub->SetEndStatus(quarnExtentReq::kFailed);
      }
    } else {
      m_event.Error(sig, "No saved archive ptr for sending final pseudo run from [%llu] to [%llu]",
                    static_cast<unsigned long long>(run.start), static_cast<unsigned long long>(run.end));
    }
    ++runsSent;
  }
  if (runsSent > 0)
    m_event.Debug(sig, "[%llu] unchanged extents in [%llu] runs", static_cast<unsigned long long>(hub->GetUnchangedExtents()),
                  static_cast<unsigned long long>(runsSent));
  m_event.DebugLvl(1, sig, "Done...");
  args->mText3 = processed.getBitMapStr();
  return 0;
}
