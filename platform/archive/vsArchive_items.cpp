// Archive files and the records sent into them.
#include <time.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/archive/vsArchive.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/disk/I2ClusterBitmap.h"
#include "platform/ev/EvDebug.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/os/FXString.h"
#include "platform/os/ZtMutex.h"
#include "platform/os/ZtTime.h"

using archive::FieldWriter;
using archive::RecordType;

namespace {

std::string BitmapText(const std::shared_ptr<I2::ClusterBitmap>& bitmap) {
  return bitmap && bitmap->IsValidBitmap() ? bitmap->ToString() : std::string();
}

// The fields of a file header record, in sendFileHeader's order.
FieldWriter FileHeaderFields(const std::string& name, uint64_t size, int64_t time, bool directory, bool pseudo,
                             bool flag3, int32_t number1, int32_t number2, int32_t number3, uint64_t flags,
                             bool headerBit, bool flag5, bool noMetadata) {
  FieldWriter fields;
  fields.Text(name);
  fields.U64(size);
  fields.I64(time);
  fields.Bool(directory);
  fields.Bool(pseudo);
  fields.Bool(flag3);
  fields.I32(number1);
  fields.I32(number2);
  fields.I32(number3);
  fields.U64(flags);
  fields.Bool(headerBit);
  fields.Bool(flag5);
  fields.Bool(noMetadata);
  return fields;
}

// This process's attempt at the VMs it backs up, written into the beginning of every archive file it
// creates beside the VM's dispatch to this client: the real time (nanoseconds) the process first
// created one. It tells apart only archives of one dispatch (a process the coordinator gave the VM to
// again on the same client) and those of writers that recorded no dispatch: the processes of one run
// begin in no particular order.
uint64_t ProcessAttempt() {
  static const uint64_t attempt = [] {
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t value = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    return value != 0 ? value : 1;
  }();
  return attempt;
}

ZtMutex g_dispatchMutex;
// The highest dispatch number this process read of each VM, by lab, job, VM GUID in lower case and
// client.
std::map<std::string, uint64_t> g_dispatchesRead GUARDED_BY(g_dispatchMutex);

// The VM's dispatch to this client in the job, as its archives carry it: the record's, never below
// the number this process read of it before (an archive of the VM's attempt begun after its record
// was deleted or emptied still carries the attempt's number, not 0).
uint64_t DispatchOfThisAttempt(int64_t jobId, const std::string& vmGuid) {
  const std::string client = lab::FocusClient();
  const uint64_t recorded = lab::VMDispatchNumber(jobId, vmGuid, client);
  const std::string key =
      lab::Root() + "\n" + std::to_string(jobId) + "\n" + FXString::ToLower(vmGuid) + "\n" + client;
  ZtMutexLock lock(g_dispatchMutex);
  uint64_t& latest = g_dispatchesRead[key];
  latest = std::max(latest, recorded);
  return latest;
}

}  // namespace

vsArchive::vsArchive(vsJobMgr* jobMgr, vsAppMgr* appMgr, vsSim* /*sim*/, const std::string& keymasterHost)
    : jobMgr_(jobMgr), appMgr_(appMgr), keymasterHost_(keymasterHost) {}

vsArchive::~vsArchive() {
  ZtMutexLock lock(mutex_);
  if (writer_.IsOpen()) CloseArchiveFileLocked();
  ReleaseReservationLocked();
}

std::string vsArchive::GetLastError() const {
  ZtMutexLock lock(mutex_);
  return lastError_;
}

int vsArchive::Fail(int code, const std::string& text) {
  lastError_ = text;
  EvDebug::Error("int vsArchive::Fail(int, const std::string&)", "Stream [%d] archive file [%llu]: %s", streamId_,
                 static_cast<unsigned long long>(archiveFileId_), text.c_str());
  return code;
}

int vsArchive::InjectedFault(const char* op) {
  lab::FaultCall call;
  call.op = op;
  call.vm = vmGuid_;
  call.stream = std::to_string(streamId_);
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return kRetOk;
  return Fail(fault.code, std::string("[") + op + "] " + fault.text);
}

int vsArchive::Send(RecordType type, const std::string& fields, const void* payload, uint64_t length) {
  if (!writer_.IsOpen()) return Fail(kRetNoArchiveFile, "no archive file is open on the stream");
  int code = InjectedFault("archive.write");
  std::string error;
  if (code == kRetOk && !writer_.Append(type, fields, payload, length, error)) {
    // The media's file has a hole or a torn record from here on: nothing more goes to it.
    streamFailed_ = true;
    code = Fail(kRetWriteFailed, error);
  }
  NoteSent(type, fields, code);
  if (code == kRetOk) lastError_.clear();
  return code;
}

void vsArchive::NoteSent(RecordType type, const std::string& fields, int code) {
  if (code != kRetOk) {
    // An index metadata record serves browsing, not the restore of the item it describes, and its
    // sender decides what losing it means (a warning for an item's, a failed item for the VM's). One
    // refused with the file sound leaves the file whole; a file whose write failed is never committed.
    const bool indexMetadata = type == RecordType::kIndexMetadata || type == RecordType::kDiskIndexMetadata;
    if (indexMetadata && !streamFailed_) return;
    if (sendFailure_ == kRetOk) {
      sendFailure_ = code;
      sendFailureText_ = lastError_;
    }
    return;
  }
  switch (type) {
    case RecordType::kFileHeader:
    case RecordType::kContainerHeader:
    case RecordType::kDiskHeader:
    case RecordType::kExtentHeader:
      itemOpen_ = true;
      vmHeaderOpen_ = false;
      break;
    case RecordType::kEndOfItem: {
      archive::FieldReader in(fields.data(), fields.size());
      bool success = false;
      in.Bool(success);
      itemOpen_ = false;
      failedItemSent_ = failedItemSent_ || !success;
      vmEnded_ = vmEnded_ || (success && vmHeaderOpen_);
      vmHeaderOpen_ = false;
      break;
    }
    case RecordType::kUnchangedRange:  // ends a header-only item, as a reader takes it
      itemOpen_ = false;
      break;
    default:
      break;
  }
}

bool vsArchive::EndNotWholeFileLocked() {
  if (sendFailure_ == kRetOk) return true;
  // Written past the fault table, as the archive end is: what a rule refused was the caller's record,
  // and the file itself is sound. A file the writer failed takes nothing more and is not committed.
  std::string error;
  FieldWriter failed;
  failed.Bool(false);
  failed.I32(sendFailure_);
  if (itemOpen_ && writer_.Append(RecordType::kEndOfItem, failed.Bytes(), nullptr, 0, error)) {
    itemOpen_ = false;
    failedItemSent_ = true;
  }
  // No item was left open to end (the record lost was a header, or an item's last record): the VM's
  // header item ended failed says the backup is not whole, as a worker says it of a VM that failed.
  if (!itemOpen_ && !failedItemSent_ &&
      writer_.Append(RecordType::kFileHeader,
                     FileHeaderFields("\\" + vmGuid_, 0, 0, true, false, false, 1, 0, 0, 0, false, true, true).Bytes(),
                     nullptr, 0, error) &&
      writer_.Append(RecordType::kEndOfItem, failed.Bytes(), nullptr, 0, error))
    failedItemSent_ = true;
  return failedItemSent_;
}

int vsArchive::NewArchivePath(uint64_t& id, std::string& path) {
  const std::string mediaAgent = jobMgr_ != nullptr ? jobMgr_->getMediaAgent() : std::string();
  const int64_t jobId = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  std::string error;
  if (!lab::TakeArchiveFileId(mediaAgent, id, error)) return Fail(kRetCreateFailed, error);
  path = lab::ArchiveFilePath(mediaAgent, jobId, id);
  if (path.empty() || !lab::MakeDirs(lab::MediaJobDir(mediaAgent, jobId)))
    return Fail(kRetCreateFailed, "no folder for job [" + std::to_string(jobId) + "] on media agent [" +
                                      mediaAgent + "]");
  return kRetOk;
}

uint64_t vsArchive::DispatchOfVM() const {
  const int64_t jobId = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  return vmGuid_.empty() ? 0 : DispatchOfThisAttempt(jobId, vmGuid_);
}

int vsArchive::ForgetSupersededIndexRecord() {
  static const char* const sig = "int vsArchive::ForgetSupersededIndexRecord()";
  if (vmGuid_.empty() || jobMgr_ == nullptr || appMgr_ == nullptr) return kRetOk;
  const int64_t jobId = jobMgr_->getJobId();
  const std::string subclient = appMgr_->getSubclientGUID();
  // The index learns a VM's backup once the files of it are done, after this one: a record there now
  // is an earlier attempt's. Forgotten before this file counts, so that no job builds on it once
  // this attempt stands; should the commit not come, the earlier attempt stands on the media and a
  // VM the index holds no record of gets a full backup next.
  if (!lab::IndexHoldsVMEntries(subclient, vmGuid_, jobId)) return kRetOk;
  std::string error;
  if (!lab::ForgetIndexVMEntries(subclient, vmGuid_, jobId, error))
    return Fail(kRetCloseFailed, "the index's record of VM [" + vmGuid_ + "] from an earlier attempt of job [" +
                                     std::to_string(jobId) + "] cannot be forgotten: " + error);
  EvDebug::Debug(sig, "The index's record of VM [%s] in job [%lld] is of an earlier attempt, which this one "
                 "supersedes: forgotten until this attempt's own is learned", vmGuid_.c_str(),
                 static_cast<long long>(jobId));
  return kRetOk;
}

int vsArchive::NoteArchiveFile(uint64_t id, uint64_t dispatch) {
  if (vmGuid_.empty()) return kRetOk;
  const std::string mediaAgent = jobMgr_ != nullptr ? jobMgr_->getMediaAgent() : std::string();
  const int64_t jobId = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  std::string error;
  // The index and restores find a VM's archives by the VM, without opening the job's other archives;
  // the note says which attempt made the file, so that one whose own first record is lost or was never
  // written still tells of its attempt.
  if (!lab::RecordVMArchiveFile(mediaAgent, jobId, vmGuid_, id, error, dispatch, ProcessAttempt()))
    return Fail(kRetCreateFailed, error);
  return kRetOk;
}

std::string vsArchive::BeginFields(uint64_t id, int64_t childJobId, int64_t clientId, int64_t subclientId,
                                   const std::string& collectText, uint32_t backupLevel, bool indexOnly,
                                   uint64_t dispatch) {
  const int64_t jobId = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  FieldWriter fields;
  fields.U32(archive::kFormatVersion);
  fields.U64(id);
  fields.I64(jobId);
  fields.I64(childJobId);
  fields.I64(clientId);
  fields.I64(subclientId);
  fields.U32(backupLevel);
  fields.I32(streamId_);
  fields.I32(rcid_);
  fields.I64(static_cast<int64_t>(ZtClock::NowSeconds()));
  fields.Text(vmGuid_);
  fields.Text(collectText);
  fields.Text(jobMgr_ != nullptr ? jobMgr_->getMediaAgent() : std::string());
  fields.Text(lab::FocusClient());
  fields.Bool(indexOnly);
  fields.U64(ProcessAttempt());
  fields.U64(dispatch);
  return fields.Bytes();
}

int vsArchive::createArchiveFile(const std::string& vmGuid, int64_t childJobId, int64_t clientId, int64_t subclientId,
                                 const std::string& collectText, uint32_t backupLevel) {
  static const char* const sig =
      "int vsArchive::createArchiveFile(const std::string&, int64_t, int64_t, int64_t, const std::string&, uint32_t)";
  ZtMutexLock lock(mutex_);
  if (!initialized_ || closed_) return Fail(kRetNotInitialized, "the stream is not open");
  if (writer_.IsOpen()) {
    EvDebug::Error(sig, "Archive file [%llu] of VM [%s] was left open on stream [%d]; closing it",
                   static_cast<unsigned long long>(archiveFileId_), vmGuid_.c_str(), streamId_);
    CloseArchiveFileLocked();
  }
  vmGuid_ = vmGuid;
  if (int code = InjectedFault("archive.createArchiveFile")) return code;
  uint64_t id = 0;
  std::string path;
  if (int code = NewArchivePath(id, path)) return code;
  const uint64_t dispatch = DispatchOfVM();
  std::string error;
  if (!writer_.Create(path, error)) return Fail(kRetCreateFailed, error);
  // Noted once the file is there and before anything is in it: a note never names a file that was
  // never made, and nothing of the VM is written where its note does not lead.
  if (int code = NoteArchiveFile(id, dispatch)) {
    writer_.Discard();
    return code;
  }
  const std::string begin =
      BeginFields(id, childJobId, clientId, subclientId, collectText, backupLevel, false, dispatch);
  if (!writer_.Append(RecordType::kArchiveBegin, begin, nullptr, 0, error)) {
    writer_.Abandon();
    return Fail(kRetCreateFailed, error);
  }
  archiveFileId_ = id;
  dataBytes_ = 0;
  holeBytes_ = 0;
  streamFailed_ = false;
  itemOpen_ = false;
  failedItemSent_ = false;
  vmHeaderOpen_ = false;
  vmEnded_ = false;
  sendFailure_ = kRetOk;
  sendFailureText_.clear();
  EvDebug::Debug(sig, "Created archive file [%llu] for VM [%s] on stream [%d]: %s", static_cast<unsigned long long>(id),
                 vmGuid.c_str(), streamId_, path.c_str());
  lastError_.clear();
  return kRetOk;
}

int vsArchive::CreateVMIndexArchiveFileForSnap(const std::string& vmGuid, int64_t childJobId, int64_t clientId,
                                                int64_t subclientId, int64_t* archiveFileId) {
  ZtMutexLock lock(mutex_);
  if (archiveFileId == nullptr) return Fail(kRetBadArgument, "no place for the archive file id");
  uint64_t id = 0;
  int64_t created = 0;
  if (int code = CreateIndexOnlyFileLocked(vmGuid, childJobId, clientId, subclientId, id, created)) return code;
  *archiveFileId = static_cast<int64_t>(id);
  return kRetOk;
}

int vsArchive::CreateMasterIndexArchiveFile(uint32_t* archiveFileId, uint64_t* creationTime, bool /*snapBackup*/) {
  ZtMutexLock lock(mutex_);
  if (archiveFileId == nullptr || creationTime == nullptr) return Fail(kRetBadArgument, "no place for the archive file");
  uint64_t id = 0;
  int64_t created = 0;
  if (int code = CreateIndexOnlyFileLocked(std::string(), 0, 0, appMgr_ != nullptr ? static_cast<int64_t>(appMgr_->getAppId()) : 0, id,
                                           created))
    return code;
  if (id > 0xFFFFFFFFu) return Fail(kRetCreateFailed, "the archive file id does not fit the master file's number");
  *archiveFileId = static_cast<uint32_t>(id);
  *creationTime = static_cast<uint64_t>(created);
  return kRetOk;
}

int vsArchive::CreateIndexOnlyFileLocked(const std::string& vmGuid, int64_t childJobId, int64_t clientId,
                                         int64_t subclientId, uint64_t& id, int64_t& created) {
  // The index-only file is an archive file of its own, begun and ended at once.
  archive::ArchiveWriter writer;
  if (!initialized_ || closed_) return Fail(kRetNotInitialized, "the stream is not open");
  vmGuid_ = vmGuid;
  if (int code = InjectedFault("archive.createArchiveFile")) return code;
  std::string path;
  if (int code = NewArchivePath(id, path)) return code;
  created = static_cast<int64_t>(ZtClock::NowSeconds());
  FieldWriter end;
  end.U64(1);
  end.U64(0);
  end.U64(0);
  std::string error;
  if (!writer.Create(path, error)) return Fail(kRetCreateFailed, error);
  const uint64_t dispatch = DispatchOfVM();
  if (int code = NoteArchiveFile(id, dispatch)) {
    writer.Discard();
    return code;
  }
  if (!writer.Append(RecordType::kArchiveBegin,
                     BeginFields(id, childJobId, clientId, subclientId, std::string(), 0, true, dispatch), nullptr, 0,
                     error) ||
      !writer.Append(RecordType::kArchiveEnd, end.Bytes(), nullptr, 0, error) || !writer.Close(error))
    return Fail(kRetCreateFailed, error);
  lastError_.clear();
  return kRetOk;
}

int vsArchive::CloseArchiveFileLocked() {
  static const char* const sig = "int vsArchive::closeArchiveFile()";
  if (!writer_.IsOpen()) return Fail(kRetNoArchiveFile, "no archive file is open on the stream");
  if (!EndNotWholeFileLocked()) {
    // No reader may take it for whole: it stays under its uncommitted name.
    EvDebug::Error(sig, "Archive file [%llu] of VM [%s] is not whole ([%s]) and cannot say so: it is not committed",
                   static_cast<unsigned long long>(archiveFileId_), vmGuid_.c_str(), sendFailureText_.c_str());
    writer_.Abandon();
    archiveFileId_ = 0;
    bufferOut_ = false;
    streamFailed_ = true;
    return Fail(kRetCloseFailed, "archive file not whole: " + sendFailureText_);
  }
  if (vmEnded_ && !failedItemSent_) {
    if (int code = ForgetSupersededIndexRecord()) {
      writer_.Abandon();
      archiveFileId_ = 0;
      bufferOut_ = false;
      streamFailed_ = true;
      return code;
    }
  }
  FieldWriter fields;
  fields.U64(writer_.Records());
  fields.U64(dataBytes_);
  fields.U64(holeBytes_);
  std::string error;
  const bool ended = writer_.Append(RecordType::kArchiveEnd, fields.Bytes(), nullptr, 0, error);
  std::string closeError;
  const bool durable = writer_.Close(closeError);
  const uint64_t id = archiveFileId_;
  archiveFileId_ = 0;
  bufferOut_ = false;
  if (!ended || !durable) {
    streamFailed_ = true;
    return Fail(kRetCloseFailed, ended ? closeError : error);
  }
  EvDebug::Debug(sig, "Closed archive file [%llu] of VM [%s]: [%llu] data bytes, [%llu] hole bytes",
                 static_cast<unsigned long long>(id), vmGuid_.c_str(), static_cast<unsigned long long>(dataBytes_),
                 static_cast<unsigned long long>(holeBytes_));
  lastError_.clear();
  return kRetOk;
}

int vsArchive::closeArchiveFile() {
  ZtMutexLock lock(mutex_);
  if (!writer_.IsOpen()) return Fail(kRetNoArchiveFile, "no archive file is open on the stream");
  if (int code = InjectedFault("archive.closeArchiveFile")) {
    // The file stays open: a later close or the stream's end still ends it.
    return code;
  }
  return CloseArchiveFileLocked();
}

uint64_t vsArchive::GetArchiveFileId() const {
  ZtMutexLock lock(mutex_);
  return archiveFileId_;
}

std::string vsArchive::GetArchiveFilePath() const {
  ZtMutexLock lock(mutex_);
  return writer_.IsOpen() ? writer_.Path() : std::string();
}

int vsArchive::sendFileHeader(const std::string& name, uint64_t size, int64_t time, bool directory, bool pseudo,
                              bool flag3, int32_t number1, int32_t number2, int32_t number3, uint64_t flags,
                              bool headerBit, bool flag5, bool noMetadata) {
  const FieldWriter fields =
      FileHeaderFields(name, size, time, directory, pseudo, flag3, number1, number2, number3, flags, headerBit, flag5,
                       noMetadata);
  ZtMutexLock lock(mutex_);
  const int code = Send(RecordType::kFileHeader, fields.Bytes(), nullptr, 0);
  vmHeaderOpen_ = code == kRetOk && !vmGuid_.empty() && FXString::CompareNoCase(name, "\\" + vmGuid_) == 0;
  return code;
}

int vsArchive::sendFCFileHeader(const std::string& name, uint64_t size, int64_t time, bool flag1, bool flag2,
                                int32_t number1, int32_t number2, int32_t number3, uint64_t value1, bool flag3,
                                bool flag4, uint64_t value2, uint64_t value3, uint64_t value4, uint32_t value5,
                                uint64_t value6, uint64_t value7, uint32_t value8, uint32_t value9, uint32_t value10,
                                uint32_t value11) {
  const int64_t values[] = {flag1,
                            flag2,
                            number1,
                            number2,
                            number3,
                            static_cast<int64_t>(value1),
                            flag3,
                            flag4,
                            static_cast<int64_t>(value2),
                            static_cast<int64_t>(value3),
                            static_cast<int64_t>(value4),
                            value5,
                            static_cast<int64_t>(value6),
                            static_cast<int64_t>(value7),
                            value8,
                            value9,
                            value10,
                            value11};
  FieldWriter fields;
  fields.Text(name);
  fields.U64(size);
  fields.I64(time);
  fields.U32(sizeof values / sizeof values[0]);
  for (int64_t value : values) fields.I64(value);
  ZtMutexLock lock(mutex_);
  return Send(RecordType::kContainerHeader, fields.Bytes(), nullptr, 0);
}

int vsArchive::sendDiskHeader(const std::string& name, uint64_t fileSize, uint64_t allocatedSize, bool failback,
                              int32_t number, uint64_t sectorsPerExtent, bool headerBit) {
  FieldWriter fields;
  fields.Text(name);
  fields.U64(fileSize);
  fields.U64(allocatedSize);
  fields.Bool(failback);
  fields.I32(number);
  fields.U64(sectorsPerExtent);
  fields.Bool(headerBit);
  ZtMutexLock lock(mutex_);
  return Send(RecordType::kDiskHeader, fields.Bytes(), nullptr, 0);
}

int vsArchive::sendExtentHeader(const std::string& name, const std::string& diskName, uint64_t size,
                                uint64_t headerValue, bool empty, int32_t number1, int32_t number2, uint32_t crc,
                                uint64_t flagWord, const std::shared_ptr<I2::ClusterBitmap>& bitmap) {
  FieldWriter fields;
  fields.Text(name);
  fields.Text(diskName);
  fields.U64(size);
  fields.U64(headerValue);
  fields.Bool(empty);
  fields.I32(number1);
  fields.I32(number2);
  fields.U32(crc);
  fields.U64(flagWord);
  fields.Text(BitmapText(bitmap));
  ZtMutexLock lock(mutex_);
  return Send(RecordType::kExtentHeader, fields.Bytes(), nullptr, 0);
}

int vsArchive::sendExtentData(const char* data, uint64_t size, const std::vector<bool>& changedBits, uint32_t unitSize,
                              const std::shared_ptr<I2::ClusterBitmap>& bitmap) {
  FieldWriter fields;
  fields.U32(unitSize);
  fields.U32(static_cast<uint32_t>(changedBits.size()));
  fields.Text(archive::PackBits(changedBits));
  fields.Text(BitmapText(bitmap));
  ZtMutexLock lock(mutex_);
  if (size > 0 && data == nullptr) return Fail(kRetBadArgument, "extent data without a buffer");
  if (changedBits.size() > UINT32_MAX) return Fail(kRetBadArgument, "too many change bits");
  int code = Send(RecordType::kData, fields.Bytes(), data, size);
  if (code == kRetOk) dataBytes_ += size;
  return code;
}

int vsArchive::sendHole(uint64_t size) {
  FieldWriter fields;
  fields.U64(size);
  ZtMutexLock lock(mutex_);
  int code = Send(RecordType::kHole, fields.Bytes(), nullptr, 0);
  if (code == kRetOk) holeBytes_ += size;
  return code;
}

int vsArchive::sendUnchangedExtentRange(const std::string& diskHeaderName, uint64_t firstExtent, uint64_t lastExtent,
                                        bool fixedLengthNames) {
  FieldWriter fields;
  fields.Text(diskHeaderName);
  fields.U64(firstExtent);
  fields.U64(lastExtent);
  fields.Bool(fixedLengthNames);
  ZtMutexLock lock(mutex_);
  if (lastExtent < firstExtent) return Fail(kRetBadArgument, "an unchanged range that ends before it begins");
  return Send(RecordType::kUnchangedRange, fields.Bytes(), nullptr, 0);
}

int vsArchive::allocateBuffer(uint32_t size, uint32_t* granted, char** buffer) {
  ZtMutexLock lock(mutex_);
  if (granted == nullptr || buffer == nullptr || size == 0) return Fail(kRetBadArgument, "no buffer size or no result");
  *granted = 0;
  *buffer = nullptr;
  if (!writer_.IsOpen()) return Fail(kRetNoArchiveFile, "no archive file is open on the stream");
  if (bufferOut_) return Fail(kRetBadArgument, "the stream's buffer is already handed out");
  if (int code = InjectedFault("archive.allocateBuffer")) return code;
  const uint32_t wanted = size < kMaxBufferBytes ? size : kMaxBufferBytes;
  // One buffer per stream, grown to the largest request seen: sized once, reused for every item.
  if (!buffer_ || bufferGranted_ < wanted) {
    buffer_.reset(new (std::nothrow) char[wanted]);
    bufferGranted_ = buffer_ ? wanted : 0;
    if (!buffer_) return Fail(kRetBadArgument, "no memory for the transfer buffer");
  }
  bufferOut_ = true;
  *granted = wanted;
  *buffer = buffer_.get();
  return kRetOk;
}

int vsArchive::writeDataBuffer(char* buffer, uint32_t length) {
  FieldWriter fields;
  fields.U32(0);
  fields.U32(0);
  fields.Text(std::string());
  fields.Text(std::string());
  ZtMutexLock lock(mutex_);
  if (buffer == nullptr || !bufferOut_ || buffer != buffer_.get() || length > bufferGranted_)
    return Fail(kRetBadArgument, "a data buffer the stream did not hand out");
  bufferOut_ = false;
  int code = Send(RecordType::kData, fields.Bytes(), buffer, length);
  if (code == kRetOk) dataBytes_ += length;
  return code;
}

void vsArchive::freeBuffer(char* buffer) {
  ZtMutexLock lock(mutex_);
  if (buffer != nullptr && buffer == buffer_.get()) bufferOut_ = false;
}

int vsArchive::sendEOF(bool success, int code) {
  FieldWriter fields;
  fields.Bool(success);
  fields.I32(code);
  ZtMutexLock lock(mutex_);
  return Send(RecordType::kEndOfItem, fields.Bytes(), nullptr, 0);
}

int vsArchive::SendMetadata(RecordType type, const CNMessageBase& metadata) {
  std::string xml;
  const bool serialised = metadata.serialize(xml, true);
  ZtMutexLock lock(mutex_);
  if (!serialised) return Fail(kRetBadArgument, "the index metadata message cannot be serialised");
  return Send(type, std::string(), xml.data(), xml.size());
}

int vsArchive::sendVSIdxMetadata(const CNMessageBase& metadata) {
  return SendMetadata(RecordType::kIndexMetadata, metadata);
}

int vsArchive::sendVSIdxDiskMetadata(const CNMessageBase& metadata) {
  return SendMetadata(RecordType::kDiskIndexMetadata, metadata);
}
