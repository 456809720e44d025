#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/os/ThreadAnnotations.h"
#include "records/CAutoMemory.h"
#include "records/ZtCriticalSection.h"
#include "records/ZtSemaphore.h"

class CArchiveVirtualDiskFile;
class CAverageCounter;
class CMediaSpeedCounter;
class TVMCRCTable;
class vsArchive;

// The stages of a disk's extent pipeline. The read-disk stage's list is the pool of free requests:
// every request returns there, processed or not.
enum ThreadOperations : int {
  READ_DISK = 0,
  CRC_CALC = 1,
  ARCHIVE = 2,
};

// One extent in flight. A request belongs to the stage that popped it until it pushes it on; only
// `abort` is touched from outside that stage (the reader sets it on the whole pool when the disk is
// abandoned), so it is the one atomic field.
struct quarnExtentReq {
  quarnExtentReq() = default;
  quarnExtentReq(const quarnExtentReq&) = delete;
  quarnExtentReq& operator=(const quarnExtentReq&) = delete;

  // What the request comes back to the reader with.
  enum Status : uint32_t {
    kDone = 0,
    kFailed = 1,       // a checksum table, an unchanged range or a pseudo header failed
    kAbandoned = 26,   // returned unprocessed: the disk is being abandoned
    kNotSent = 31,     // the extent's header, hole or data could not be sent
  };

  uint32_t status = 0;
  std::atomic<bool> abort{false};
  CAutoMemory<char> data{true};
  uint64_t extentNo = 0;
  CMediaSpeedCounter* crcCounter = nullptr;
  CAverageCounter* readCRCCounter = nullptr;
  CAverageCounter* writeCRCCounter = nullptr;
  uint32_t crc = 0;
  uint32_t prevCrc = 0;
  bool inPrevTable = false;
  bool isNewExtent = false;
  TVMCRCTable* newCRCTable = nullptr;
  TVMCRCTable* prevCRCTable = nullptr;
  bool noData = false;
  std::string vmName;
  std::string diskName;
  uint64_t* sentCount = nullptr;  // the disk's count of extents sent; written by the archive stage only
  vsArchive* archive = nullptr;
  char extentName[1024] = {0};
  std::vector<bool> changedBits;
  uint32_t unitSize = 0;
};

// The hub of one disk's pipeline: a list, a lock and a semaphore per stage. A stage's semaphore
// counts the requests queued for it; no thread ever holds two stage locks.
class BackupThreadObjsSync {
 public:
  BackupThreadObjsSync(void* worker, void* bkpArgs, uint64_t totalReqs);
  ~BackupThreadObjsSync() = default;
  BackupThreadObjsSync(const BackupThreadObjsSync&) = delete;
  BackupThreadObjsSync& operator=(const BackupThreadObjsSync&) = delete;

  void* GetThis() const { return worker_; }
  void* GetBkpArgs() const { return bkpArgs_; }

  // Queues the request for the stage (at the front when urgent); a null request is queued like any
  // other (it ends the stage that pops it).
  void pushBackupReqObj(ThreadOperations op, quarnExtentReq* req, bool urgent);
  // Waits, without a time-out, for a request of the stage.
  quarnExtentReq* popBackupReqObj(ThreadOperations op);
  void pushBkpReqToReadDiskList(quarnExtentReq* req, bool urgent) { pushBackupReqObj(READ_DISK, req, urgent); }
  void pushBkpReqToCRCList(quarnExtentReq* req, bool urgent) { pushBackupReqObj(CRC_CALC, req, urgent); }
  void pushBkpReqToArchiveList(quarnExtentReq* req, bool urgent) { pushBackupReqObj(ARCHIVE, req, urgent); }
  quarnExtentReq* popBkpReqFromReadDiskList() { return popBackupReqObj(READ_DISK); }
  quarnExtentReq* popBkpReqFromCRCList() { return popBackupReqObj(CRC_CALC); }
  quarnExtentReq* popBkpReqFromArchiveList() { return popBackupReqObj(ARCHIVE); }
  // The stage's semaphore; null for another value.
  ZtSemaphore* getSemaphore(int op);

  // Returns once every request but the one the reader holds is back in the read-disk list.
  void waitForReqDone();

  // Written by the archive stage only; read after it has been joined.
  void IncrementBytesWritten(uint64_t bytes) { bytesWritten_ += bytes; }
  uint64_t GetBytesWritten() const { return bytesWritten_; }
  void IncrementEmptyExtents() { ++emptyExtents_; }
  uint64_t GetEmptyExtents() const { return emptyExtents_; }
  void IncrementUnchangedExtents() { ++unchangedExtents_; }
  uint64_t GetUnchangedExtents() const { return unchangedExtents_; }
  // Set before the stage threads start.
  void SetUseFixedLengthExtentNames(bool fixed) { useFixedLengthExtentNames_ = fixed; }
  bool GetUseFixedLengthExtentNames() const { return useFixedLengthExtentNames_; }
  // A null text leaves the path as it is.
  void SetDiskFileHeaderPath(const char* path) {
    if (path != nullptr) diskFileHeaderPath_ = path;
  }
  const std::string& GetDiskFileHeaderPath() const { return diskFileHeaderPath_; }
  uint64_t GetTotalReqs() const { return totalReqs_; }
  // A failure of the archive stage after the reader stopped (its last unchanged range): the disk's
  // result when nothing failed before. Written by the archive stage only; read after it is joined.
  void SetEndStatus(uint32_t status) { endStatus_ = status; }
  uint32_t GetEndStatus() const { return endStatus_; }

 private:
  struct Stage {
    ZtCriticalSection lock;
    std::deque<quarnExtentReq*> list GUARDED_BY(lock);
    ZtSemaphore semaphore{0};
  };
  static bool Valid(int op) { return op >= READ_DISK && op <= ARCHIVE; }

  // Constant after construction.
  void* const worker_;
  void* const bkpArgs_;
  const uint64_t totalReqs_;

  Stage stages_[3];
  uint64_t bytesWritten_ = 0;
  uint64_t emptyExtents_ = 0;
  uint64_t unchangedExtents_ = 0;
  uint32_t endStatus_ = 0;
  bool useFixedLengthExtentNames_ = false;
  std::string diskFileHeaderPath_;
};

// Releases what one disk's backup holds, on every way out of it: the disk reader (closed when open),
// the checksum tables and the request pool (freed when owned; a pool of one request on the caller's
// stack is not). The previous job's table is closed unless leaveOpen. This job's table is closed (that
// is, written under its name) only once the disk's run has completed: a disk that fails or stops on
// the way leaves no partial table for a later job to compare against. Nothing the guard releases may
// be in use by a stage thread: the stages are joined before it goes.
struct quarnGenericMethodCleanup {
  quarnGenericMethodCleanup() = default;
  ~quarnGenericMethodCleanup();
  quarnGenericMethodCleanup(const quarnGenericMethodCleanup&) = delete;
  quarnGenericMethodCleanup& operator=(const quarnGenericMethodCleanup&) = delete;

  CArchiveVirtualDiskFile* m_vDiskFile = nullptr;
  bool m_vDiskFileOpen = false;
  TVMCRCTable* m_crcTable = nullptr;      // this job's
  TVMCRCTable* m_prevCrcTable = nullptr;  // the previous job's
  quarnExtentReq* m_reqs = nullptr;
  bool m_ownsReqs = true;
  bool m_leaveOpen = false;
  bool m_crcTableComplete = false;  // every extent of the disk went through this job's table
};
