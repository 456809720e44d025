#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/archive/ArchiveFormat.h"

// Reads back an archive file of the lab's media agent (ArchiveFormat.h) and checks it whole: every
// record's check value, the order of items, and the data of each item against its declared size.
namespace archive {

// Where and why an archive file is not well formed.
struct Problem {
  std::string path;
  uint64_t offset = 0;  // of the offending record; the file's size for a file that ends too early
  std::string text;
  // "<path> at offset <offset>: <text>"
  std::string Describe() const;
};

enum class ItemKind { kFile, kDirectory, kPseudo, kContainer, kDisk, kExtent };
// "file", "directory"...
const char* ItemKindName(ItemKind kind);

// A stretch of an item's content: data bytes at an offset of the archive file, or a hole.
struct Piece {
  uint64_t itemOffset = 0;
  uint64_t length = 0;
  bool hole = false;
  uint64_t fileOffset = 0;  // of the data in the archive file
  uint32_t unitSize = 0;
  uint32_t changeBitCount = 0;  // 0: every byte of the data counts
  std::string changeBits;       // packed, least significant bit first
};

// Where an index metadata record's XML text lies in the archive file.
struct MetadataRecord {
  bool vmLevel = false;  // the VM's record rather than an item's
  uint64_t fileOffset = 0;
  uint64_t length = 0;
};

struct Item {
  ItemKind kind = ItemKind::kFile;
  std::string name;
  std::string diskName;         // extents: the disk the extent belongs to
  uint64_t declaredSize = 0;
  int64_t time = 0;
  uint64_t headerOffset = 0;
  uint64_t allocatedSize = 0;     // disks
  uint64_t sectorsPerExtent = 0;  // disks
  uint32_t crc = 0;               // extents
  uint64_t flags = 0;             // file headers: their flags; extents: the flag word
  uint64_t dataBytes = 0;
  uint64_t holeBytes = 0;
  std::vector<Piece> pieces;
  uint32_t metadataRecords = 0;
  std::vector<MetadataRecord> metadata;
  bool ended = false;
  bool success = false;
  int32_t endCode = 0;
};

struct UnchangedRange {
  std::string diskHeaderName;
  uint64_t first = 0;
  uint64_t last = 0;
  bool fixedLengthNames = false;
  uint64_t offset = 0;
};

// What one archive file holds.
struct ArchiveContents {
  std::string path;
  uint64_t fileSize = 0;
  uint32_t formatVersion = 0;
  uint64_t archiveFileId = 0;
  int64_t jobId = 0;
  int64_t childJobId = 0;
  int64_t clientId = 0;
  int64_t subclientId = 0;
  uint32_t backupLevel = 0;
  int32_t streamId = 0;
  int32_t rcid = 0;
  int64_t created = 0;
  std::string vmGuid;
  std::string collectText;
  std::string mediaAgent;
  std::string client;
  bool indexOnly = false;
  uint64_t attempt = 0;   // 0 in a file of a writer that did not record it
  uint64_t dispatch = 0;  // likewise
  std::vector<Item> items;
  std::vector<UnchangedRange> ranges;
  uint32_t indexMetadataRecords = 0;
  uint64_t records = 0;
  uint64_t dataBytes = 0;
  uint64_t holeBytes = 0;
  // Empty for an archive read whole (or its structure) without a problem, and for one of which only the
  // beginning was read; else where and why it is not well formed (Problem::Describe), the fields above
  // then holding what was read before it.
  std::string malformed;
  // An archive its VM's note names that was never committed or is not there: none of it counts, and it
  // is not well formed (`malformed` says which).
  bool absent = false;
  // Of those, one left under its uncommitted name: its writer never ended it.
  bool neverCommitted = false;
};

// Reads and checks the whole file. False with the first problem found; `contents` then holds what
// was read up to it.
bool ReadArchive(const std::string& path, ArchiveContents& contents, Problem& problem);
// True for an archive whose first record could not be read: it says of itself neither its job, its VM
// nor its attempt (what was read of it is empty but why).
bool BeginUnread(const ArchiveContents& contents);
// Reads every record's framing and fields and checks the archive's structure as ReadArchive does,
// but skips the payloads of data records unread: their check values are not verified. For readers
// that need what the archive holds, not its data (the index).
bool ReadArchiveStructure(const std::string& path, ArchiveContents& contents, Problem& problem);
// Reads only the archive's first record: what the archive is (job, VM, level), none of its items.
// False when that record cannot be read or is not an archive's beginning.
bool ReadArchiveBegin(const std::string& path, ArchiveContents& contents, Problem& problem);

// The most of an index metadata record's XML text a reader takes.
constexpr uint64_t kMaxMetadataTextBytes = 16u * 1024 * 1024;
// The XML text of one index metadata record of the archive file (as ReadArchive or
// ReadArchiveStructure found it). False with the reason: a record larger than kMaxMetadataTextBytes
// (refused unread), or one that cannot be read whole.
bool ReadMetadataText(const std::string& path, const MetadataRecord& record, std::string& text, std::string& error);

// Which attempt at a VM an archive is of, in the order the attempts were made: by the coordinator's
// dispatch of the VM to the writing agent, then by when the writing process began (which alone orders
// the archives of writers that recorded no dispatch).
struct Attempt {
  uint64_t dispatch = 0;
  uint64_t process = 0;
  bool operator<(const Attempt& other) const {
    return dispatch != other.dispatch ? dispatch < other.dispatch : process < other.process;
  }
  bool operator==(const Attempt& other) const { return dispatch == other.dispatch && process == other.process; }
};
Attempt AttemptOf(const ArchiveContents& contents);
// Of the archives of one VM in one job, the latest attempt: an agent the coordinator gave up on, or a
// job run again after an interruption, leaves archives of an earlier attempt. All zero for none.
Attempt LatestAttempt(const std::vector<const ArchiveContents*>& archives);

// What stands for a VM's backup in one job, as every reader of backups (restores, verify, the index,
// the stub's check) takes it: the archives of the latest attempt, judged by themselves alone, unless
// that attempt shows it did not finish the VM (an archive of it never committed, an item of it ended
// failed, or every archive of it read whole without the VM's header item ended well, which a writer
// sends once every disk is in) and an earlier attempt finished it: then the latest such earlier
// attempt stands, and a later attempt takes the job's restore point of the VM away only by finishing
// it. An archive of another attempt is left out with a note, well formed or not: an attempt that
// failed must not spoil its retry, nor its retry the backup it did not replace. One whose first
// record cannot be read is of the attempt its reader learnt elsewhere (its note), else of no attempt
// it can be shown to be earlier than: it counts with the latest. The backup is unusable when an
// archive of the standing attempt is not well formed or one of its items ended failed.
struct JobBackup {
  Attempt attempt;
  std::vector<const ArchiveContents*> archives;  // the standing attempt's, by archive file id
  // The archives of the earlier attempts that finished the VM, the latest attempt first: a disk the
  // standing attempt does not back up (deleted by the job's own stub since, given after that attempt)
  // stands as the newest of them holds it, unless the standing attempt took it off the VM.
  std::vector<const ArchiveContents*> earlier;
  std::string malformed;   // the first archive of the standing attempt that is not well formed, and why
  std::string failedItem;  // the first item of the standing attempt that ended failed, and where
  std::vector<std::string> notes;  // the archives left out
  bool Usable() const { return malformed.empty() && failedItem.empty(); }
  // Why the backup cannot be used; empty when it can.
  std::string Why() const;
};
// `archives`: one VM's archives of one job, each read whole or as its structure (ReadArchive,
// ReadArchiveStructure), those not well formed with what was read of them (their beginning at least).
JobBackup JudgeJobBackup(const std::vector<const ArchiveContents*>& archives);

}  // namespace archive
