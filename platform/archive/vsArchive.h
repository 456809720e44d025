#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/archive/ArchiveWriter.h"
#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"

class CAverageCounter;
class CMediaSpeedCounter;
class CNMessageBase;
class vsAppMgr;
class vsJobMgr;
class vsSim;
namespace I2 {
class ClusterBitmap;
}

// The data stream to a media agent, and the archive files written through it.
//
// In the lab a stream writes each archive file it opens to its own file on the job's media agent
// (platform/lab/LabMedia.h) in the format of platform/archive/ArchiveFormat.h: every call below that
// sends something becomes one record, in call order, with its arguments. Data goes to the file
// straight from the caller's buffer; the file is synced once, when it is closed. Several streams,
// in one process or several, write at once without sharing a file.
//
// Fault table operations: "archive.createArchiveFile", "archive.allocateBuffer", "archive.write" (any
// call that sends a record), "archive.closeArchiveFile" (selectors: vm = the archive's VM GUID,
// stream = the stream id). A fired rule's code is the call's result and nothing is written. An archive
// file a record of which could not be sent is no whole backup, and says so before it is committed: the
// item left open ends failed, or, with none open, the VM's header item follows ended failed. An index
// metadata record is the exception: no restore rests on it, so the file stays whole without it, and its
// sender decides what the loss means. A file that cannot say it is not whole is not committed.
//
// One thread uses a stream at a time (the worker that borrowed it); the lock keeps the stream's state
// whole when the controller asks for its status meanwhile.
class vsArchive {
 public:
  // Results: 0 success, any other value an error (a fault rule's own code included).
  enum RetCode : int {
    kRetOk = 0,
    kRetNoArchiveFile = 1,  // no archive file is open on the stream
    kRetBadArgument = 2,    // a null buffer, a buffer the stream did not hand out, a size out of range
    kRetWriteFailed = 3,    // the media agent's file could not be written; the stream is failed
    kRetCreateFailed = 4,   // no archive file could be created
    kRetCloseFailed = 5,    // the archive file could not be made durable
    kRetNotInitialized = 6,  // the stream was not initialised or is closed
  };
  // ---- Stream reservations (vsArchive_stream.cpp) ----
  // init: the stream's reservation is not the job's to open (released, exchanged, or open elsewhere).
  static constexpr int kRetNoReservation = 20;
  // checkStatus: the reservation was taken from the stream while it was open.
  static constexpr int kRetReservationLost = 21;

  static bool isError(int code) { return code != kRetOk; }
  static bool isOK(int code) { return code == kRetOk; }
  // The largest buffer allocateBuffer grants at once.
  static constexpr uint32_t kMaxBufferBytes = 1024 * 1024;

  // The managers are not owned and must outlive the stream; the job manager names the job and its
  // media agent.
  vsArchive(vsJobMgr* jobMgr, vsAppMgr* appMgr, vsSim* sim, const std::string& keymasterHost);
  // Closes an open archive file (as closeArchiveFile would).
  ~vsArchive();
  vsArchive(const vsArchive&) = delete;
  vsArchive& operator=(const vsArchive&) = delete;

  // Why the last failing call failed; empty after a success.
  std::string GetLastError() const;

  // ---- The stream (vsArchive_stream.cpp) ----
  void setStream(int streamId, int rcid, int reservationId, int clientId);
  // Opens the stream for use; the stream's identity must be set first when it has one.
  int init(bool forController);
  // Closes the stream (and an archive file left open on it); the stream cannot be used afterwards.
  int close(bool success);
  void getStream(int& streamId, int& rcid, int& reservationId, int& clientId) const;
  int GetStreamClientId() const;
  // kRetWriteFailed once a write to the media failed, else 0.
  int checkStatus();
  void setRestartContext(int context);
  // The stream's own counters (bytes it sent) start again from here, and are logged by
  // PrintPerfCounters.
  void ResetPerfCounters(int64_t jobId, int intervalSeconds);
  void PrintPerfCounters();
  // The counters of an item go with the VM's data to the media agent; in the lab they are kept in
  // the job's folder (lab::AppendPerfCounter), one line per counter.
  int sendVMConfigFilePerfCounters(const std::string& vmName, CMediaSpeedCounter& speed, CAverageCounter& average);
  int sendVMDiskPerfCounters(const std::string& vmName, const std::string& diskName, const CMediaSpeedCounter& read,
                             const CMediaSpeedCounter& checksum);
  // Deduplication on the source side is not done by the lab's media agent; the calls are counted so
  // that their pairing can be checked.
  void SuspendSrcSideDeduplication();
  void ResumeSrcSideDeduplication();
  int GetDeduplicationSuspensions() const;
  // Progress of a VM for the media agent's own report; not kept in the archive.
  int sendVMUpdateInfo(const CNMessageBase& info);

  // ---- Archive files (vsArchive_items.cpp) ----
  // Opens the VM's archive file on the stream. An archive file still open is closed first.
  int createArchiveFile(const std::string& vmGuid, int64_t childJobId, int64_t clientId, int64_t subclientId,
                        const std::string& collectText, uint32_t backupLevel);
  // An index-only archive file of a snapshot job; its id goes to *archiveFileId. Needs no stream.
  int CreateVMIndexArchiveFileForSnap(const std::string& vmGuid, int64_t childJobId, int64_t clientId,
                                      int64_t subclientId, int64_t* archiveFileId);
  // The job's master index archive file: an index-only archive file of no VM; its id and creation
  // time (seconds) go to the two outputs. Fault table operation "archive.createArchiveFile".
  int CreateMasterIndexArchiveFile(uint32_t* archiveFileId, uint64_t* creationTime, bool snapBackup);
  // Ends the archive file and makes it durable.
  int closeArchiveFile();
  // The open archive file's id and path; 0 and empty when none is open.
  uint64_t GetArchiveFileId() const;
  std::string GetArchiveFilePath() const;

  int sendFileHeader(const std::string& name, uint64_t size, int64_t time, bool directory, bool pseudo, bool flag3,
                     int32_t number1, int32_t number2, int32_t number3, uint64_t flags, bool headerBit, bool flag5,
                     bool noMetadata);
  int sendFCFileHeader(const std::string& name, uint64_t size, int64_t time, bool flag1, bool flag2, int32_t number1,
                       int32_t number2, int32_t number3, uint64_t value1, bool flag3, bool flag4, uint64_t value2,
                       uint64_t value3, uint64_t value4, uint32_t value5, uint64_t value6, uint64_t value7,
                       uint32_t value8, uint32_t value9, uint32_t value10, uint32_t value11);
  int sendDiskHeader(const std::string& name, uint64_t fileSize, uint64_t allocatedSize, bool failback, int32_t number,
                     uint64_t sectorsPerExtent, bool headerBit);
  int sendExtentHeader(const std::string& name, const std::string& diskName, uint64_t size, uint64_t headerValue,
                       bool empty, int32_t number1, int32_t number2, uint32_t crc, uint64_t flagWord,
                       const std::shared_ptr<I2::ClusterBitmap>& bitmap);
  // changedBits: one bit per unit of unitSize bytes of the data, empty when all of it counts.
  int sendExtentData(const char* data, uint64_t size, const std::vector<bool>& changedBits, uint32_t unitSize,
                     const std::shared_ptr<I2::ClusterBitmap>& bitmap);
  int sendHole(uint64_t size);
  int sendUnchangedExtentRange(const std::string& diskHeaderName, uint64_t firstExtent, uint64_t lastExtent,
                               bool fixedLengthNames);
  // Hands out the stream's transfer buffer: *granted is min(size, kMaxBufferBytes). One buffer is out
  // at a time; it comes back with writeDataBuffer or freeBuffer.
  int allocateBuffer(uint32_t size, uint32_t* granted, char** buffer);
  // Sends length bytes of the handed-out buffer as the open item's data and takes the buffer back.
  int writeDataBuffer(char* buffer, uint32_t length);
  void freeBuffer(char* buffer);
  // Ends the open item; success false marks it failed.
  int sendEOF(bool success, int code);
  int sendVSIdxMetadata(const CNMessageBase& metadata);
  int sendVSIdxDiskMetadata(const CNMessageBase& metadata);

 private:
  // REQUIRES: mutex_. The fault rule for the operation, when one fires: its code, logged and kept as
  // the last error; 0 otherwise.
  int InjectedFault(const char* op) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  int Fail(int code, const std::string& text) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  int Send(archive::RecordType type, const std::string& fields, const void* payload, uint64_t length)
      EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Keeps what a record sent, or one that could not be sent, does to the file's items.
  void NoteSent(archive::RecordType type, const std::string& fields, int code) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // A file some record of which could not be sent (an index metadata record refused aside) is made to
  // say it is not whole, while it can still be written: its open item ends failed, or, with none open,
  // a failed header item of the VM follows. False when it holds no failed item even so (the file itself
  // failed): the caller then abandons it uncommitted.
  bool EndNotWholeFileLocked() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  int SendMetadata(archive::RecordType type, const CNMessageBase& metadata) LOCKS_EXCLUDED(mutex_);
  int CloseArchiveFileLocked() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Writes an index-only archive file (begun and ended at once); its id and creation time.
  int CreateIndexOnlyFileLocked(const std::string& vmGuid, int64_t childJobId, int64_t clientId, int64_t subclientId,
                                uint64_t& id, int64_t& created) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Stream reservations (vsArchive_stream.cpp): takes the reservation of the stream's RCID in the
  // job's ledger as this process's (0 or kRetNoReservation), and gives it back.
  int HoldReservationLocked() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void ReleaseReservationLocked() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // A new archive file id and the path of its file on the job's media agent, its folder made.
  int NewArchivePath(uint64_t& id, std::string& path) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // The VM's dispatch to this client in the job (0 for a file of no VM): one attempt's stamp.
  uint64_t DispatchOfVM() const EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Notes the created archive file for the stream's VM (none for a file of no VM), with the attempt
  // that made it.
  int NoteArchiveFile(uint64_t id, uint64_t dispatch) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Before the file that ends the stream's VM well is committed, which makes this attempt's backup of
  // the VM the one that stands in the job: forgets the index's record of the VM in the job, which an
  // earlier attempt left (0, or kRetCloseFailed when it cannot).
  int ForgetSupersededIndexRecord() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // The fields of the archive's first record.
  std::string BeginFields(uint64_t id, int64_t childJobId, int64_t clientId, int64_t subclientId,
                          const std::string& collectText, uint32_t backupLevel, bool indexOnly, uint64_t dispatch)
      EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  // Constant after construction.
  vsJobMgr* const jobMgr_;
  vsAppMgr* const appMgr_;
  const std::string keymasterHost_;

  mutable ZtMutex mutex_;
  int streamId_ GUARDED_BY(mutex_) = 0;
  int rcid_ GUARDED_BY(mutex_) = 0;
  int reservationId_ GUARDED_BY(mutex_) = 0;
  int clientId_ GUARDED_BY(mutex_) = 0;
  bool initialized_ GUARDED_BY(mutex_) = false;
  bool closed_ GUARDED_BY(mutex_) = false;
  int restartContext_ GUARDED_BY(mutex_) = 0;
  int dedupSuspensions_ GUARDED_BY(mutex_) = 0;
  // What had been sent when the counters were last reset.
  uint64_t perfDataBytes_ GUARDED_BY(mutex_) = 0;
  uint64_t perfHoleBytes_ GUARDED_BY(mutex_) = 0;
  bool streamFailed_ GUARDED_BY(mutex_) = false;
  bool holdsReservation_ GUARDED_BY(mutex_) = false;  // this stream has its reservation open
  std::string lastError_ GUARDED_BY(mutex_);

  // The open archive file.
  archive::ArchiveWriter writer_ GUARDED_BY(mutex_);
  uint64_t archiveFileId_ GUARDED_BY(mutex_) = 0;
  std::string vmGuid_ GUARDED_BY(mutex_);
  uint64_t dataBytes_ GUARDED_BY(mutex_) = 0;
  uint64_t holeBytes_ GUARDED_BY(mutex_) = 0;
  // What the file holds so far, as a reader will see it: an item opened and not yet ended, an item
  // ended failed. A record that could not be sent (the first one's code and why) means the file is
  // not whole: it is committed only with a failed item in it, so that no reader takes it for whole.
  bool itemOpen_ GUARDED_BY(mutex_) = false;
  bool failedItemSent_ GUARDED_BY(mutex_) = false;
  // The item open is the VM's header ("\<VM GUID>"), and that header has ended well: the file ends a
  // whole backup of the VM.
  bool vmHeaderOpen_ GUARDED_BY(mutex_) = false;
  bool vmEnded_ GUARDED_BY(mutex_) = false;
  int sendFailure_ GUARDED_BY(mutex_) = 0;
  std::string sendFailureText_ GUARDED_BY(mutex_);

  // The transfer buffer of allocateBuffer.
  std::unique_ptr<char[]> buffer_ GUARDED_BY(mutex_);
  uint32_t bufferGranted_ GUARDED_BY(mutex_) = 0;
  bool bufferOut_ GUARDED_BY(mutex_) = false;
};
