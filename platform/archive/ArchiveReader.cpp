#include "platform/archive/ArchiveReader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>

#include "platform/os/CPxCRC32.h"

namespace archive {
namespace {

constexpr size_t kReadChunk = 1024 * 1024;

// "a data record", "an extent header record".
std::string ARecord(uint16_t type) {
  const std::string name = RecordTypeName(type);
  const bool vowel = !name.empty() && std::string("aeiou").find(name[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + name + " record";
}

uint64_t LittleEndian(const char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(at[i]);
  return value;
}

// Sequential reads of one open file.
class Cursor {
 public:
  Cursor(int fd, uint64_t size) : fd_(fd), size_(size), chunk_(kReadChunk), window_(kWindowBytes) {}
  uint64_t Position() const { return position_; }
  void Skip(uint64_t count) { position_ += count; }
  uint64_t Left() const { return size_ - position_; }
  // A small read comes from a window read ahead at its position: a record's header and fields, and the
  // next record's when its payload is skipped, take one read between them, not one each.
  bool Read(void* into, size_t count) {
    if (count <= window_.size() && (position_ < windowStart_ || position_ + count > windowStart_ + windowLength_)) {
      windowStart_ = position_;
      windowLength_ = 0;
      const size_t wanted = static_cast<size_t>(std::min<uint64_t>(window_.size(), size_ - position_));
      if (!ReadAt(window_.data(), std::max(wanted, count), windowStart_)) return false;
      windowLength_ = std::max(wanted, count);
    }
    if (count <= window_.size()) {
      std::memcpy(into, window_.data() + (position_ - windowStart_), count);
      position_ += count;
      return true;
    }
    if (!ReadAt(static_cast<char*>(into), count, position_)) return false;
    position_ += count;
    return true;
  }
  // Feeds the next count bytes to the check value without keeping them.
  bool Check(uint64_t count, CPxCRC32& crc) {
    while (count > 0) {
      size_t piece = count < chunk_.size() ? static_cast<size_t>(count) : chunk_.size();
      if (!Read(chunk_.data(), piece)) return false;
      crc.UpdateCRC32(chunk_.data(), piece);
      count -= piece;
    }
    return true;
  }

 private:
  static constexpr size_t kWindowBytes = 4096;
  bool ReadAt(char* out, size_t count, uint64_t offset) {
    while (count > 0) {
      const ssize_t n = pread(fd_, out, count, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      out += n;
      count -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return true;
  }

  int fd_;
  uint64_t size_;
  uint64_t position_ = 0;
  std::vector<char> chunk_;
  std::vector<char> window_;
  uint64_t windowStart_ = 0;
  uint64_t windowLength_ = 0;
};

// The checks of one archive's records, in file order.
class Checker {
 public:
  Checker(ArchiveContents& contents, Problem& problem) : contents_(contents), problem_(problem) {}

  // False (problem set) when the record breaks the archive's rules.
  bool OnRecord(uint16_t type, uint64_t offset, const std::string& fields, uint64_t payloadOffset,
                uint64_t payloadLength);
  // False when the file ended before the archive did.
  bool OnEnd(uint64_t fileSize);

 private:
  bool Fail(uint64_t offset, const std::string& text) {
    problem_.offset = offset;
    problem_.text = text;
    return false;
  }
  Item* Open() { return open_ < 0 ? nullptr : &contents_.items[static_cast<size_t>(open_)]; }
  // A header-only (pseudo) item needs no end of item: what follows it ends it.
  void EndPseudo() {
    Item* item = Open();
    if (item != nullptr && item->kind == ItemKind::kPseudo) {
      item->ended = true;
      item->success = true;
      open_ = -1;
    }
  }
  bool NoItemOpen(uint64_t offset, const char* what) {
    EndPseudo();
    const Item* item = Open();
    if (item == nullptr) return true;
    return Fail(offset, std::string(ItemKindName(item->kind)) + " item [" + item->name + "] opened at offset " +
                            std::to_string(item->headerOffset) + " is left open: " + what + " follows before its end");
  }
  bool Begin(uint64_t offset, FieldReader& in);
  bool Header(uint16_t type, uint64_t offset, FieldReader& in);
  bool Content(uint16_t type, uint64_t offset, FieldReader& in, uint64_t payloadOffset, uint64_t payloadLength);
  bool EndItem(uint64_t offset, FieldReader& in);
  bool End(uint64_t offset, FieldReader& in);

  ArchiveContents& contents_;
  Problem& problem_;
  bool begun_ = false;
  bool ended_ = false;
  long open_ = -1;  // index of the open item
};

bool Checker::OnRecord(uint16_t type, uint64_t offset, const std::string& fields, uint64_t payloadOffset,
                       uint64_t payloadLength) {
  if (ended_) return Fail(offset, ARecord(type) + " follows the archive end");
  const RecordType kind = static_cast<RecordType>(type);
  if (!begun_ && kind != RecordType::kArchiveBegin)
    return Fail(offset, "the archive does not start with its archive begin record");
  FieldReader in(fields.data(), fields.size());
  bool ok = true;
  switch (kind) {
    case RecordType::kArchiveBegin: ok = Begin(offset, in); break;
    case RecordType::kFileHeader:
    case RecordType::kContainerHeader:
    case RecordType::kDiskHeader:
    case RecordType::kExtentHeader: ok = Header(type, offset, in); break;
    case RecordType::kData:
    case RecordType::kHole:
    case RecordType::kIndexMetadata:
    case RecordType::kDiskIndexMetadata: ok = Content(type, offset, in, payloadOffset, payloadLength); break;
    case RecordType::kUnchangedRange: {
      if (!NoItemOpen(offset, "an unchanged range")) return false;
      UnchangedRange range;
      range.offset = offset;
      in.Text(range.diskHeaderName);
      in.U64(range.first);
      in.U64(range.last);
      in.Bool(range.fixedLengthNames);
      if (!in.Failed() && range.last < range.first)
        return Fail(offset, "an unchanged range that ends before it begins");
      contents_.ranges.push_back(range);
      break;
    }
    case RecordType::kEndOfItem: ok = EndItem(offset, in); break;
    case RecordType::kArchiveEnd: ok = End(offset, in); break;
    default: return Fail(offset, "unknown record type " + std::to_string(type));
  }
  if (!ok) return false;
  if (in.Failed()) return Fail(offset, "the fields of " + ARecord(type) + " are cut short");
  ++contents_.records;
  return true;
}

bool Checker::Begin(uint64_t offset, FieldReader& in) {
  if (begun_) return Fail(offset, "a second archive begin record");
  begun_ = true;
  in.U32(contents_.formatVersion);
  if (!in.Failed() && contents_.formatVersion != kFormatVersion)
    return Fail(offset, "format version " + std::to_string(contents_.formatVersion) + " is not version " +
                            std::to_string(kFormatVersion) + ", the one this reader knows");
  in.U64(contents_.archiveFileId);
  in.I64(contents_.jobId);
  in.I64(contents_.childJobId);
  in.I64(contents_.clientId);
  in.I64(contents_.subclientId);
  in.U32(contents_.backupLevel);
  in.I32(contents_.streamId);
  in.I32(contents_.rcid);
  in.I64(contents_.created);
  in.Text(contents_.vmGuid);
  in.Text(contents_.collectText);
  in.Text(contents_.mediaAgent);
  in.Text(contents_.client);
  in.Bool(contents_.indexOnly);
  if (!in.Failed() && !in.AtEnd()) in.U64(contents_.attempt);
  if (!in.Failed() && !in.AtEnd()) in.U64(contents_.dispatch);
  return true;
}

bool Checker::Header(uint16_t type, uint64_t offset, FieldReader& in) {
  if (!NoItemOpen(offset, "a new header")) return false;
  Item item;
  item.headerOffset = offset;
  switch (static_cast<RecordType>(type)) {
    case RecordType::kFileHeader: {
      bool directory = false, pseudo = false, flag = false;
      int32_t number = 0;
      in.Text(item.name);
      in.U64(item.declaredSize);
      in.I64(item.time);
      in.Bool(directory);
      in.Bool(pseudo);
      in.Bool(flag);
      in.I32(number);
      in.I32(number);
      in.I32(number);
      in.U64(item.flags);
      item.kind = pseudo ? ItemKind::kPseudo : directory ? ItemKind::kDirectory : ItemKind::kFile;
      break;
    }
    case RecordType::kContainerHeader:
      item.kind = ItemKind::kContainer;
      in.Text(item.name);
      in.U64(item.declaredSize);
      in.I64(item.time);
      break;
    case RecordType::kDiskHeader: {
      bool failback = false;
      int32_t number = 0;
      item.kind = ItemKind::kDisk;
      in.Text(item.name);
      in.U64(item.declaredSize);
      in.U64(item.allocatedSize);
      in.Bool(failback);
      in.I32(number);
      in.U64(item.sectorsPerExtent);
      break;
    }
    default: {
      uint64_t headerValue = 0;
      bool empty = false;
      int32_t number = 0;
      item.kind = ItemKind::kExtent;
      in.Text(item.name);
      in.Text(item.diskName);
      in.U64(item.declaredSize);
      in.U64(headerValue);
      in.Bool(empty);
      in.I32(number);
      in.I32(number);
      in.U32(item.crc);
      in.U64(item.flags);
      break;
    }
  }
  contents_.items.push_back(std::move(item));
  open_ = static_cast<long>(contents_.items.size()) - 1;
  return true;
}

bool Checker::Content(uint16_t type, uint64_t offset, FieldReader& in, uint64_t payloadOffset,
                      uint64_t payloadLength) {
  const RecordType kind = static_cast<RecordType>(type);
  Item* item = Open();
  if (item == nullptr) return Fail(offset, RecordTypeName(type) + " outside an item");
  if (kind == RecordType::kIndexMetadata || kind == RecordType::kDiskIndexMetadata) {
    ++item->metadataRecords;
    ++contents_.indexMetadataRecords;
    MetadataRecord record;
    record.vmLevel = kind == RecordType::kIndexMetadata;
    record.fileOffset = payloadOffset;
    record.length = payloadLength;
    item->metadata.push_back(record);
    return true;
  }
  if (item->kind == ItemKind::kDirectory || item->kind == ItemKind::kPseudo || item->kind == ItemKind::kDisk)
    return Fail(offset, RecordTypeName(type) + " inside " + ItemKindName(item->kind) + " item [" + item->name +
                            "], which carries no data");
  Piece piece;
  piece.itemOffset = item->dataBytes + item->holeBytes;
  if (kind == RecordType::kHole) {
    in.U64(piece.length);
    piece.hole = true;
    item->holeBytes += piece.length;
    contents_.holeBytes += piece.length;
  } else {
    std::string bitmap;
    in.U32(piece.unitSize);
    in.U32(piece.changeBitCount);
    in.Text(piece.changeBits);
    in.Text(bitmap);
    if (!in.Failed() && piece.changeBits.size() < (static_cast<uint64_t>(piece.changeBitCount) + 7) / 8)
      return Fail(offset, "data whose change bits are cut short");
    piece.length = payloadLength;
    piece.fileOffset = payloadOffset;
    item->dataBytes += piece.length;
    contents_.dataBytes += piece.length;
  }
  if (piece.length > 0) item->pieces.push_back(std::move(piece));
  return true;
}

bool Checker::EndItem(uint64_t offset, FieldReader& in) {
  Item* item = Open();
  if (item == nullptr) return Fail(offset, "an end of item outside an item");
  in.Bool(item->success);
  in.I32(item->endCode);
  item->ended = true;
  open_ = -1;
  if (in.Failed() || !item->success) return true;
  const bool sized = item->kind == ItemKind::kFile || item->kind == ItemKind::kExtent ||
                     (item->kind == ItemKind::kContainer && item->dataBytes + item->holeBytes > 0);
  const uint64_t carried = item->dataBytes + item->holeBytes;
  if (sized && carried != item->declaredSize)
    return Fail(offset, std::string(ItemKindName(item->kind)) + " item [" + item->name + "] carries " +
                            std::to_string(carried) + " bytes of data and holes but declared " +
                            std::to_string(item->declaredSize));
  return true;
}

bool Checker::End(uint64_t offset, FieldReader& in) {
  if (!NoItemOpen(offset, "the archive end")) return false;
  uint64_t records = 0, dataBytes = 0, holeBytes = 0;
  in.U64(records);
  in.U64(dataBytes);
  in.U64(holeBytes);
  if (in.Failed()) return true;
  // Each record keeps its own check value; these counts catch whole records lost or added.
  if (records != contents_.records)
    return Fail(offset, "the archive end counts " + std::to_string(records) + " records before it, the file holds " +
                            std::to_string(contents_.records));
  if (dataBytes != contents_.dataBytes || holeBytes != contents_.holeBytes)
    return Fail(offset, "the archive end counts " + std::to_string(dataBytes) + " data and " +
                            std::to_string(holeBytes) + " hole bytes, the file holds " +
                            std::to_string(contents_.dataBytes) + " and " + std::to_string(contents_.holeBytes));
  ended_ = true;
  return true;
}

bool Checker::OnEnd(uint64_t fileSize) {
  if (!begun_) return Fail(0, "the file is empty");
  if (!ended_) return Fail(fileSize, "the archive ends without its archive end record (cut short, or never closed)");
  return true;
}

}  // namespace

std::string Problem::Describe() const { return path + " at offset " + std::to_string(offset) + ": " + text; }

const char* ItemKindName(ItemKind kind) {
  switch (kind) {
    case ItemKind::kFile: return "file";
    case ItemKind::kDirectory: return "directory";
    case ItemKind::kPseudo: return "header-only";
    case ItemKind::kContainer: return "container";
    case ItemKind::kDisk: return "disk";
    case ItemKind::kExtent: return "extent";
  }
  return "unknown";
}

namespace {

enum class Depth { kBegin, kStructure, kWhole };

// Reads the archive's records in order; kBegin stops after the first, kStructure skips data payloads.
bool ReadRecords(const std::string& path, ArchiveContents& contents, Problem& problem, Depth depth) {
  const bool beginOnly = depth == Depth::kBegin;
  contents = ArchiveContents();
  contents.path = path;
  problem = Problem();
  problem.path = path;
  // No blocking on a FIFO planted at the name, no following a link: only a regular file is read.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    problem.text = fd < 0 ? std::string("cannot open: ") + std::strerror(errno) : "not a regular file";
    if (fd >= 0) close(fd);
    contents.malformed = problem.Describe();
    return false;
  }
  contents.fileSize = static_cast<uint64_t>(status.st_size);
  Cursor cursor(fd, contents.fileSize);
  Checker checker(contents, problem);
  bool ok = true;
  std::string fields;
  while (ok && cursor.Left() > 0) {
    const uint64_t offset = cursor.Position();
    char header[kRecordHeaderBytes];
    if (cursor.Left() < kRecordHeaderBytes || !cursor.Read(header, sizeof header)) {
      problem.offset = offset;
      problem.text = "a record header is cut short (the file ends inside it)";
      ok = false;
      break;
    }
    if (std::memcmp(header, kRecordMagic, 4) != 0) {
      problem.offset = offset;
      problem.text = "no record starts here (bad record magic)";
      ok = false;
      break;
    }
    const uint16_t type = static_cast<uint16_t>(LittleEndian(header + 4, 2));
    const uint32_t fieldLength = static_cast<uint32_t>(LittleEndian(header + 8, 4));
    const uint32_t expected = static_cast<uint32_t>(LittleEndian(header + 12, 4));
    const uint64_t payloadLength = LittleEndian(header + 16, 8);
    if (fieldLength > kMaxFieldBytes || payloadLength > kMaxPayloadBytes ||
        fieldLength + payloadLength > cursor.Left()) {
      problem.offset = offset;
      problem.text = fieldLength + payloadLength > cursor.Left() && fieldLength <= kMaxFieldBytes &&
                             payloadLength <= kMaxPayloadBytes
                         ? ARecord(type) + " runs past the end of the file (cut short)"
                         : "a record length is out of range";
      ok = false;
      break;
    }
    fields.resize(fieldLength);
    CPxCRC32 crc;
    crc.UpdateCRC32(header, 12);
    crc.UpdateCRC32(header + 16, 8);
    const uint64_t payloadOffset = offset + kRecordHeaderBytes + fieldLength;
    bool read = cursor.Read(&fields[0], fieldLength);
    if (read) crc.UpdateCRC32(fields.data(), fields.size());
    const bool skipped = depth == Depth::kStructure && type == static_cast<uint16_t>(RecordType::kData);
    if (read && skipped) cursor.Skip(payloadLength);
    if (!read || (!skipped && !cursor.Check(payloadLength, crc))) {
      problem.offset = offset;
      problem.text = std::string("cannot read: ") + std::strerror(errno);
      ok = false;
      break;
    }
    if (!skipped && crc.GetCRC32() != expected) {
      problem.offset = offset;
      problem.text = "the check value of " + ARecord(type) + " does not match its bytes";
      ok = false;
      break;
    }
    ok = checker.OnRecord(type, offset, fields, payloadOffset, payloadLength);
    if (beginOnly) break;
  }
  close(fd);
  ok = ok && ((beginOnly && contents.records > 0) || checker.OnEnd(contents.fileSize));
  if (!ok) contents.malformed = problem.Describe();
  return ok;
}

}  // namespace

bool ReadArchive(const std::string& path, ArchiveContents& contents, Problem& problem) {
  return ReadRecords(path, contents, problem, Depth::kWhole);
}

bool ReadArchiveStructure(const std::string& path, ArchiveContents& contents, Problem& problem) {
  return ReadRecords(path, contents, problem, Depth::kStructure);
}

bool ReadArchiveBegin(const std::string& path, ArchiveContents& contents, Problem& problem) {
  return ReadRecords(path, contents, problem, Depth::kBegin);
}

bool BeginUnread(const ArchiveContents& contents) { return contents.records == 0 && !contents.malformed.empty(); }

Attempt AttemptOf(const ArchiveContents& contents) {
  Attempt attempt;
  attempt.dispatch = contents.dispatch;
  attempt.process = contents.attempt;
  return attempt;
}

Attempt LatestAttempt(const std::vector<const ArchiveContents*>& archives) {
  Attempt latest;
  for (const ArchiveContents* archive : archives) latest = std::max(latest, AttemptOf(*archive));
  return latest;
}

std::string JobBackup::Why() const {
  if (!malformed.empty()) return "an archive of the VM is not well formed: " + malformed;
  return failedItem;
}

namespace {

using AttemptArchives = std::map<Attempt, std::vector<const ArchiveContents*>>;

// The archives by attempt; one of which nothing tells the attempt goes with the latest.
AttemptArchives ByAttempt(const std::vector<const ArchiveContents*>& archives, const Attempt& latest) {
  AttemptArchives byAttempt;
  for (const ArchiveContents* archive : archives) {
    const bool unknown = BeginUnread(*archive) && AttemptOf(*archive) == Attempt();
    byAttempt[unknown ? latest : AttemptOf(*archive)].push_back(archive);
  }
  return byAttempt;
}

// Whether the VM's header item (its name "\<VM GUID>") ended well in the archive: the writer's last
// item of a VM it backed up whole.
bool EndsTheVMWell(const ArchiveContents& archive) {
  const std::string header = "\\" + archive.vmGuid;
  return std::any_of(archive.items.begin(), archive.items.end(), [&](const Item& item) {
    return (item.kind == ItemKind::kDirectory || item.kind == ItemKind::kPseudo) && item.ended && item.success &&
           item.name.size() == header.size() && strcasecmp(item.name.c_str(), header.c_str()) == 0;
  });
}

bool AnItemEndedFailed(const ArchiveContents& archive) {
  return std::any_of(archive.items.begin(), archive.items.end(),
                     [](const Item& item) { return item.ended && !item.success; });
}

// Whether the attempt's archives show it finished the VM: each committed and well formed, none with an
// item ended failed, and the VM's header ended well in one.
bool FinishedTheVM(const std::vector<const ArchiveContents*>& archives) {
  bool ended = false;
  for (const ArchiveContents* archive : archives) {
    if (archive->absent || !archive->malformed.empty() || AnItemEndedFailed(*archive)) return false;
    ended = ended || EndsTheVMWell(*archive);
  }
  return ended;
}

// Whether the attempt's archives show it did not finish the VM: a file its writer never ended, an item
// ended failed, or files all read whole of which none ends the VM. A file lost or damaged since says
// nothing of how the attempt ended.
bool DidNotFinishTheVM(const std::vector<const ArchiveContents*>& archives) {
  bool whole = true;
  for (const ArchiveContents* archive : archives) {
    if (archive->neverCommitted || AnItemEndedFailed(*archive)) return true;
    if (archive->absent || !archive->malformed.empty() || EndsTheVMWell(*archive)) whole = false;
  }
  return whole;
}

// The attempt that stands for the VM's backup in the job (see JudgeJobBackup).
Attempt StandingAttempt(const AttemptArchives& byAttempt, const Attempt& latest) {
  const auto found = byAttempt.find(latest);
  if (found == byAttempt.end() || FinishedTheVM(found->second) || !DidNotFinishTheVM(found->second)) return latest;
  for (auto earlier = std::make_reverse_iterator(found); earlier != byAttempt.rend(); ++earlier)
    if (FinishedTheVM(earlier->second)) return earlier->first;
  return latest;
}

}  // namespace

JobBackup JudgeJobBackup(const std::vector<const ArchiveContents*>& archives) {
  JobBackup judged;
  const Attempt latest = LatestAttempt(archives);
  const AttemptArchives byAttempt = ByAttempt(archives, latest);
  judged.attempt = StandingAttempt(byAttempt, latest);
  for (const auto& attempt : byAttempt) {
    if (attempt.first == judged.attempt) {
      judged.archives = attempt.second;
      continue;
    }
    const bool later = judged.attempt < attempt.first;
    const bool finished = !later && FinishedTheVM(attempt.second);
    if (finished) judged.earlier.insert(judged.earlier.begin(), attempt.second.begin(), attempt.second.end());
    for (const ArchiveContents* archive : attempt.second) {
      std::string note = "archive " + archive->path + " left out: ";
      note += later ? "a later attempt of job " + std::to_string(archive->jobId) + " that did not finish the VM"
                    : "an earlier attempt of job " + std::to_string(archive->jobId);
      if (!archive->malformed.empty()) note += ", not well formed";
      judged.notes.push_back(note);
    }
  }
  const auto byId = [](const ArchiveContents* a, const ArchiveContents* b) {
    return a->archiveFileId < b->archiveFileId;
  };
  std::stable_sort(judged.archives.begin(), judged.archives.end(), byId);
  for (const ArchiveContents* archive : judged.archives) {
    if (!archive->malformed.empty()) {
      if (judged.malformed.empty()) judged.malformed = archive->malformed;
      continue;
    }
    for (const Item& item : archive->items) {
      if (judged.failedItem.empty() && item.ended && !item.success)
        judged.failedItem = "item [" + item.name + "] ended failed in " + archive->path;
    }
  }
  return judged;
}

bool ReadMetadataText(const std::string& path, const MetadataRecord& record, std::string& text, std::string& error) {
  if (record.length > kMaxMetadataTextBytes) {
    error = "an index metadata record of " + path + " is larger than " + std::to_string(kMaxMetadataTextBytes) +
            " bytes";
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  text.assign(static_cast<size_t>(record.length), '\0');
  size_t done = 0;
  while (fd >= 0 && done < text.size()) {
    const ssize_t n = pread(fd, &text[done], text.size() - done, static_cast<off_t>(record.fileOffset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (fd >= 0) close(fd);
  if (done == text.size()) return true;
  error = "cannot read an index metadata record of " + path + " at offset " + std::to_string(record.fileOffset);
  return false;
}

}  // namespace archive
