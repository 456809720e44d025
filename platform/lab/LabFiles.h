#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How the processes of a job share the lab's files. Each rule holds between processes as it does
// between threads, since every process of a job (coordinator, agents, the lab tool, a test) works on
// the same folder:
//  - a whole-file record is replaced, never rewritten in place: the new text goes to an exclusive
//    temporary name in the same folder, is synced, renamed over the old file, and the folder is
//    synced, so a reader sees the old record or the new one and a crash leaves one of them;
//  - a record that is read, changed and written back is changed under the record's own lock
//    (UpdateFileLocked), so two writers never lose each other's change;
//  - a log-like file grows by whole lines appended under a lock on the file itself;
//  - every read is of a regular file of bounded size: a FIFO, a device or an oversized file is
//    refused instead of hanging the reader or exhausting its memory;
//  - no call follows a symbolic link planted at the name of a file it creates.
// A new kind of record needs nothing more than these calls and its own reader and writer.
namespace lab {

// The largest record the lab reads: settings, job and subclient records, VM descriptions, the fault
// table, a job's phase, pending-cause and event files.
constexpr size_t kMaxRecordBytes = 16 * 1024 * 1024;

// Reads a whole regular file of at most maxBytes. The checks apply to the object actually opened, so
// a file swapped after a check cannot slip through, a FIFO in its place cannot hang the reader, and
// a file that is (or grows) larger than the limit is never pulled into memory. False with the
// reason otherwise; `content` is then unchanged.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error);

// As ReadRegularFile, telling a file that does not exist apart from one that cannot be read.
enum class ReadResult { kRead, kMissing, kFailed };
ReadResult ReadOptionalFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error);

enum class RecordRead { kRead, kMissing, kUnreadable, kMalformed };
// A record kept whole in one file, parsed by `parse(text, record, error)`; the record is changed
// only as the parser leaves it.
template <typename Record, typename Parse>
RecordRead ReadRecordFile(const std::string& path, Record& record, std::string& error, Parse parse) {
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing: return RecordRead::kMissing;
    case ReadResult::kFailed: return RecordRead::kUnreadable;
    case ReadResult::kRead: break;
  }
  return parse(text, record, error) ? RecordRead::kRead : RecordRead::kMalformed;
}

// A whole record of at most kMaxRecordBytes; false when it cannot be read.
bool ReadFile(const std::string& path, std::string& content);
// The lines of a file of at most maxBytes without their line ends (a last line without one counts);
// empty when the file cannot be read.
std::vector<std::string> ReadLines(const std::string& path, size_t maxBytes = kMaxRecordBytes);

// Whether a replaced file must survive a crash: a durable one is synced, and so is its folder after
// the rename, before the call returns. Test state such as the fault table's counters, or a running
// VM's status record, skips both syncs; the replacement is atomic all the same, so readers still see
// the old text or the new.
enum class Durability { kDurable, kVolatile };

// Replaces the file with the content as described above. False (with the reason) on failure; the
// file is then as it was and no temporary file is left.
bool WriteFileAtomic(const std::string& path, const std::string& content);
bool WriteFileAtomic(const std::string& path, const std::string& content, std::string& error,
                     Durability durability = Durability::kDurable);

// Replaces the file, as WriteFileAtomic, with a sparse file of sizeBytes that starts with `head`
// and reads as zeros after it (disk images).
bool WriteImageAtomic(const std::string& path, const std::string& head, uint64_t sizeBytes, std::string& error);

// Replaces the file, as WriteFileAtomic, with a copy of the regular file at `source` (a FIFO or a
// device there is refused rather than read). keepMode: the copy gets the source's permissions
// instead of the lab's.
bool CopyFileAtomic(const std::string& source, const std::string& path, std::string& error, bool keepMode = false);
// The same for a disk image: its blocks of zeros are left as holes.
bool CopyImageAtomic(const std::string& source, const std::string& path, std::string& error);

// Writes the whole text to the open file, going on after interrupted writes; false on a write error.
bool WriteAll(int fd, const std::string& text);
// Makes the name of `path` durable: syncs the folder that holds it. False when it cannot.
bool SyncFolder(const std::string& path);

// Appends one line (a newline is added) under an exclusive lock on the file. Files are created
// readable by their owner and group only. A durable line is synced before the call returns.
bool AppendLineLocked(const std::string& path, const std::string& line);
bool AppendLineLocked(const std::string& path, const std::string& line, Durability durability);

// A record of lines that each count (a line's number means something), where a line cut short must
// neither be read nor run into the next: the append first cuts off a last line left without its line
// end (a write cut short by a full file system or a crash, of a line no reader ever counted), and
// the reader leaves such a line out.
bool AppendWholeLineLocked(const std::string& path, const std::string& line, Durability durability);
std::vector<std::string> ReadWholeLines(const std::string& path, size_t maxBytes = kMaxRecordBytes);
// What AppendWholeLineLocked leaves when its write is cut short: the line's first `bytes` bytes and no
// line end (the fault table's torn writes). False when not even those could be written.
bool AppendTornLineLocked(const std::string& path, const std::string& line, size_t bytes);

// The record's lock file opened (created when missing) for a holder that locks it itself, as a reader
// that takes it shared around each read does (flock); -1 with errno when it cannot be opened.
int OpenLockFile(const std::string& recordPath);

// The lock of one record: an exclusive advisory lock on a lock file beside it ("<dir>/.<name>.lock"),
// held while the object lives. Locks of separate objects exclude each other across threads and
// processes alike.
class FileLock {
 public:
  explicit FileLock(const std::string& recordPath);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Replaces a record under its lock.
bool ReplaceFileLocked(const std::string& path, const std::string& content, std::string& error);

// Changes a record under its lock: reads it (a missing file reads as empty text with exists false),
// lets `change` edit the text, and replaces (or creates) the file when change returns true and the
// text differs.
// False with the reason when the file cannot be read, change refuses (with its own reason), or the
// write fails; the file is then as it was.
using TextChange = std::function<bool(std::string& text, bool exists, std::string& error)>;
bool UpdateFileLocked(const std::string& path, const TextChange& change, std::string& error,
                      Durability durability = Durability::kDurable);

}  // namespace lab
