#include "platform/lab/LabSnapshot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/CPxSha256.h"

namespace lab {
namespace {

constexpr size_t kChunkBytes = 1024 * 1024;
// A view's record: its head and kept ranges (a range a line, and ranges only grow by whole writes).
constexpr size_t kMaxViewRecordBytes = 64 * 1024 * 1024;
constexpr mode_t kViewMode = 0640;

std::string RecordPath(const std::string& viewPath) { return viewPath + ".snapshot"; }

// What a view's record says.
struct ViewRecord {
  std::string image;
  uint64_t sizeBytes = 0;
  std::string changeId;
  std::vector<ByteRange> kept;
};

// Takes one line of a view's record; false for a line that is not one.
bool TakeRecordLine(const std::string& line, ViewRecord& record) {
  const size_t equals = line.find('=');
  if (equals == std::string::npos) return false;
  const std::string key = line.substr(0, equals);
  const std::string value = line.substr(equals + 1);
  if (key == "image") {
    record.image = value;
    return !value.empty();
  }
  if (key == "sizeBytes") return labkv::ParseUInt64(value, record.sizeBytes);
  if (key == "changeId") {
    record.changeId = value;
    return true;
  }
  if (key != "kept") return false;
  const size_t plus = value.find('+');
  uint64_t offset = 0, length = 0;
  if (plus == std::string::npos || !labkv::ParseUInt64(value.substr(0, plus), offset) ||
      !labkv::ParseUInt64(value.substr(plus + 1), length) || length == 0 || offset + length < offset)
    return false;
  record.kept.emplace_back(offset, length);
  return true;
}

bool ParseViewRecord(const std::string& text, ViewRecord& record, std::string& error) {
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    if (end > start && !TakeRecordLine(text.substr(start, end - start), record)) {
      error = "a line of the snapshot's record is not valid: [" + text.substr(start, end - start) + "]";
      return false;
    }
    start = end + 1;
  }
  if (record.image.empty() || record.changeId.empty()) {
    error = "the snapshot's record names no image or change id";
    return false;
  }
  record.kept = MergeRanges(std::move(record.kept));
  return true;
}

ReadResult ReadViewRecord(const std::string& viewPath, ViewRecord& record, std::string& error) {
  std::string text;
  const ReadResult read = ReadOptionalFile(RecordPath(viewPath), kMaxViewRecordBytes, text, error);
  if (read == ReadResult::kRead && !ParseViewRecord(text, record, error)) {
    error = RecordPath(viewPath) + ": " + error;
    return ReadResult::kFailed;
  }
  return read;
}

// The parts of `ranges` (sorted, merged) that `covered` (sorted, merged) leaves out.
std::vector<ByteRange> Subtract(const std::vector<ByteRange>& ranges, const std::vector<ByteRange>& covered) {
  std::vector<ByteRange> left;
  auto cover = covered.begin();
  for (const ByteRange& range : ranges) {
    uint64_t at = range.first;
    const uint64_t end = range.first + range.second;
    while (cover != covered.end() && cover->first + cover->second <= at) ++cover;
    for (auto c = cover; at < end && c != covered.end() && c->first < end; ++c) {
      if (c->first > at) left.emplace_back(at, c->first - at);
      at = std::max(at, c->first + c->second);
    }
    if (at < end) left.emplace_back(at, end - at);
  }
  return left;
}

bool ReadFully(int fd, char* data, size_t size, uint64_t offset, size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, data + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool WriteFully(int fd, const char* data, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool LockShared(int fd) {
  while (flock(fd, LOCK_SH) != 0)
    if (errno != EINTR) return false;
  return true;
}

void RemoveView(const std::string& viewPath) {
  // The record goes first: without it the path is no view, whatever else is left.
  unlink(RecordPath(viewPath).c_str());
  unlink(viewPath.c_str());
  unlink(ChangeJournalPath(viewPath).c_str());
}

// Copies the image's bytes of `ranges` into the view at their offsets; bytes past the image's end are
// zeros there as they read in the view.
bool CopyIntoView(int image, int view, const std::vector<ByteRange>& ranges, std::string& error) {
  std::vector<char> chunk(kChunkBytes);
  for (const ByteRange& range : ranges) {
    for (uint64_t done = 0; done < range.second;) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, range.second - done));
      size_t got = 0;
      if (!ReadFully(image, chunk.data(), piece, range.first + done, got)) {
        error = std::string("cannot read the image: ") + std::strerror(errno);
        return false;
      }
      std::memset(chunk.data() + got, 0, piece - got);
      if (!WriteFully(view, chunk.data(), piece, range.first + done)) {
        error = std::string("cannot write the view: ") + std::strerror(errno);
        return false;
      }
      done += piece;
    }
  }
  return true;
}

// Keeps the old bytes of `ranges` (merged) in one view. `gone` is set when the view is no longer there.
bool KeepInView(int image, const std::string& viewPath, const std::vector<ByteRange>& ranges, bool& gone,
                std::string& error) {
  gone = false;
  ViewRecord record;
  switch (ReadViewRecord(viewPath, record, error)) {
    case ReadResult::kMissing: gone = true; return true;
    case ReadResult::kFailed: return false;
    case ReadResult::kRead: break;
  }
  std::vector<ByteRange> within;
  for (const ByteRange& range : ranges) {
    if (range.first >= record.sizeBytes) continue;
    within.emplace_back(range.first, std::min(range.second, record.sizeBytes - range.first));
  }
  const std::vector<ByteRange> needed = Subtract(within, record.kept);
  if (needed.empty()) return true;
  const int view = open(viewPath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  const int log = open(RecordPath(viewPath).c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  bool ok = view >= 0 && log >= 0;
  if (!ok) error = "cannot open the view " + viewPath + ": " + std::strerror(errno);
  if (ok) ok = CopyIntoView(image, view, needed, error);
  // The ranges are recorded only once their bytes are in the view.
  std::string lines;
  for (const ByteRange& range : needed) lines += "kept=" + std::to_string(range.first) + "+" + std::to_string(range.second) + "\n";
  if (ok && !WriteAll(log, lines)) {
    ok = false;
    error = "cannot record what the view " + viewPath + " keeps: " + std::strerror(errno);
  }
  if (view >= 0) close(view);
  if (log >= 0) close(log);
  if (!ok) error = "the snapshot " + viewPath + " cannot keep the bytes about to change: " + error;
  return ok;
}

bool HashDisk(DiskReader& reader, std::string& sha256, std::string& error) {
  CPxSha256 sha;
  std::vector<char> chunk(kChunkBytes);
  reader.AdviseSequential();
  for (uint64_t at = 0; at < reader.Size();) {
    const ssize_t n = reader.Read(chunk.data(), chunk.size(), at);
    if (n <= 0) {
      error = n < 0 ? std::string("cannot read: ") + std::strerror(errno) : "the disk ended early";
      return false;
    }
    sha.Update(chunk.data(), static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  sha256 = sha.FinalHex();
  return true;
}

// The image's digest as it is now. REQUIRES: the image's lock, held by the caller.
bool HashImage(const std::string& imagePath, std::string& sha256, std::string& error) {
  DiskReader reader;
  int errorNumber = 0;
  if (!reader.Open(imagePath, errorNumber, error) || !HashDisk(reader, sha256, error)) {
    error = "cannot hash " + imagePath + ": " + error;
    return false;
  }
  return true;
}

}  // namespace

bool IsSnapshotView(const std::string& path) {
  struct stat status;
  return lstat(RecordPath(path).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool TakeSnapshot(const std::string& imagePath, const std::string& viewPath, std::string& changeId,
                  std::string& error) {
  FileLock lock(imagePath);
  if (!lock.Held()) {
    error = "cannot lock " + imagePath;
    return false;
  }
  struct stat status;
  if (stat(imagePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    error = imagePath + " is not a disk image";
    return false;
  }
  ChangeJournal journal;
  bool begun = false;
  if (!LoadOrBeginJournal(imagePath, journal, begun, error)) return false;
  RemoveView(viewPath);

  const int view = open(viewPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kViewMode);
  bool ok = view >= 0 && ftruncate(view, status.st_size) == 0;
  if (!ok) error = "cannot create the view " + viewPath + ": " + std::strerror(errno);
  if (view >= 0) close(view);
  // The view's journal is the image's history alone: the image's views and digests are not its own.
  ChangeJournal history = journal;
  history.views.clear();
  history.digests.clear();
  const std::string id = CurrentChangeId(journal);
  if (ok) ok = WriteFileAtomic(ChangeJournalPath(viewPath), FormatChangeJournal(history), error, Durability::kVolatile);
  if (ok)
    ok = WriteFileAtomic(RecordPath(viewPath),
                         "image=" + imagePath + "\nsizeBytes=" + std::to_string(status.st_size) + "\nchangeId=" + id + "\n",
                         error, Durability::kVolatile);
  if (ok) {
    std::vector<std::string> views = {viewPath};
    for (const std::string& other : journal.views)
      if (other != viewPath && IsSnapshotView(other)) views.push_back(other);
    journal.views.swap(views);
    journal.digests.emplace(journal.last, kDigestWanted);
    // A journal begun here is what later change ids rest on; the list of views is only for writers
    // that come while it is there.
    ok = WriteFileAtomic(ChangeJournalPath(imagePath), FormatChangeJournal(journal), error,
                         begun ? Durability::kDurable : Durability::kVolatile);
  }
  if (!ok) {
    RemoveView(viewPath);
    error = "cannot take a snapshot of " + imagePath + ": " + error;
    return false;
  }
  changeId = id;
  return true;
}

bool DropSnapshot(const std::string& viewPath, std::string& error) {
  RemoveView(viewPath);
  struct stat status;
  for (const std::string& path : {RecordPath(viewPath), viewPath, ChangeJournalPath(viewPath)}) {
    if (lstat(path.c_str(), &status) == 0) {
      error = "cannot remove " + path;
      return false;
    }
  }
  return true;
}

bool KeepForSnapshots(const std::string& imagePath, ChangeJournal& journal, const std::vector<ByteRange>& ranges,
                      std::string& error) {
  auto wanted = journal.digests.find(journal.last);
  if (wanted != journal.digests.end() && wanted->second == kDigestWanted &&
      !HashImage(imagePath, wanted->second, error))
    return false;
  if (journal.views.empty()) return true;
  const int image = open(imagePath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (image < 0) {
    error = "cannot open " + imagePath + ": " + std::strerror(errno);
    return false;
  }
  const std::vector<ByteRange> merged = MergeRanges(ranges);
  std::vector<std::string> still;
  bool ok = true;
  for (const std::string& view : journal.views) {
    bool gone = false;
    ok = ok && KeepInView(image, view, merged, gone, error);
    if (!gone) still.push_back(view);
  }
  close(image);
  journal.views.swap(still);
  return ok;
}

bool SnapshotDigest(const std::string& imagePath, const std::string& viewPath, const std::string& changeId,
                    std::string& sha256, std::string& error) {
  std::string journalId;
  uint64_t generation = 0;
  if (!ParseChangeId(changeId, journalId, generation)) {
    error = "[" + changeId + "] is not a change id";
    return false;
  }
  // While the view is there it holds the snapshot's bytes, whatever the image did since.
  if (!viewPath.empty() && IsSnapshotView(viewPath)) {
    DiskReader reader;
    int errorNumber = 0;
    if (reader.Open(viewPath, errorNumber, error) && reader.ChangeId() == changeId) return HashDisk(reader, sha256, error);
  }
  FileLock lock(imagePath);
  if (!lock.Held()) {
    error = "cannot lock " + imagePath;
    return false;
  }
  ChangeJournal journal;
  if (ReadChangeJournal(imagePath, journal, error) != ReadResult::kRead) {
    error = "the disk " + imagePath + " has no readable change journal " + error;
    return false;
  }
  if (journal.id != journalId) {
    error = "the disk " + imagePath + " was begun anew after the snapshot of " + changeId;
    return false;
  }
  auto known = journal.digests.find(generation);
  if (known != journal.digests.end() && known->second != kDigestWanted) {
    sha256 = known->second;
    return true;
  }
  if (journal.last != generation) {
    error = "the disk " + imagePath + " changed after the snapshot of " + changeId + ", and no digest of it was kept";
    return false;
  }
  if (!HashImage(imagePath, sha256, error)) return false;
  journal.digests[generation] = sha256;
  // Only a cache: a digest lost with a crash is computed again while it can be.
  std::string ignored;
  WriteFileAtomic(ChangeJournalPath(imagePath), FormatChangeJournal(journal), ignored, Durability::kVolatile);
  return true;
}

// ---- DiskReader ----

DiskReader::~DiskReader() { Close(); }

void DiskReader::Close() {
  for (int* fd : {&imageFd_, &viewFd_, &recordFd_, &lockFd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  sizeBytes_ = 0;
  changeId_.clear();
  recordRead_ = 0;
  partialLine_.clear();
  kept_.clear();
}

bool DiskReader::Open(const std::string& path, int& errorNumber, std::string& error) {
  Close();
  auto fail = [&](const std::string& what) {
    errorNumber = errno != 0 ? errno : EINVAL;
    error = what;
    Close();
    return false;
  };
  errno = 0;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (fd < 0) return fail("cannot open " + path + ": " + std::strerror(errno));
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = EINVAL;
    return fail(path + " is not a disk image");
  }
  recordFd_ = open(RecordPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (recordFd_ < 0) {
    imageFd_ = fd;
    sizeBytes_ = static_cast<uint64_t>(status.st_size);
    return true;
  }
  viewFd_ = fd;
  // The head of the record was written whole before the view was listed; kept ranges follow it.
  std::string head;
  std::vector<char> buffer(64 * 1024);
  const ssize_t n = pread(recordFd_, buffer.data(), buffer.size(), 0);
  ViewRecord record;
  std::string why;
  if (n > 0) head.assign(buffer.data(), static_cast<size_t>(n));
  head = head.substr(0, head.rfind('\n') == std::string::npos ? 0 : head.rfind('\n') + 1);
  if (n < 0 || !ParseViewRecord(head, record, why)) {
    errno = EINVAL;
    return fail(RecordPath(path) + ": " + (why.empty() ? std::string("cannot be read") : why));
  }
  imageFd_ = open(record.image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (imageFd_ < 0) return fail("cannot open the image " + record.image + " of the view " + path + ": " + std::strerror(errno));
  lockFd_ = OpenLockFile(record.image);
  if (lockFd_ < 0) return fail("cannot open the lock of " + record.image + ": " + std::strerror(errno));
  sizeBytes_ = record.sizeBytes;
  changeId_ = record.changeId;
  return true;
}

bool DiskReader::LoadKept() {
  char buffer[16 * 1024];
  bool grew = false;
  for (;;) {
    const ssize_t n = pread(recordFd_, buffer, sizeof buffer, static_cast<off_t>(recordRead_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    recordRead_ += static_cast<uint64_t>(n);
    partialLine_.append(buffer, static_cast<size_t>(n));
    grew = true;
  }
  if (!grew) return true;
  ViewRecord lines;
  size_t start = 0;
  for (size_t end; (end = partialLine_.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start && !TakeRecordLine(partialLine_.substr(start, end - start), lines)) {
      errno = EINVAL;
      return false;
    }
  partialLine_.erase(0, start);
  if (!lines.kept.empty()) {
    lines.kept.insert(lines.kept.end(), kept_.begin(), kept_.end());
    kept_ = MergeRanges(std::move(lines.kept));
  }
  return true;
}

ssize_t DiskReader::Read(char* data, size_t size, uint64_t offset) {
  if (imageFd_ < 0) {
    errno = EBADF;
    return -1;
  }
  if (offset >= sizeBytes_) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, sizeBytes_ - offset));
  if (viewFd_ < 0) {
    size_t got = 0;
    return ReadFully(imageFd_, data, size, offset, got) ? static_cast<ssize_t>(got) : -1;
  }
  if (!LockShared(lockFd_)) return -1;
  const ssize_t result = ReadView(data, size, offset);
  const int saved = errno;
  flock(lockFd_, LOCK_UN);
  errno = saved;
  return result;
}

ssize_t DiskReader::ReadView(char* data, size_t size, uint64_t offset) {
  if (!LoadKept()) return -1;
  const uint64_t end = offset + size;
  auto kept = std::upper_bound(kept_.begin(), kept_.end(), ByteRange(offset, UINT64_MAX));
  if (kept != kept_.begin() && std::prev(kept)->first + std::prev(kept)->second > offset) --kept;
  for (uint64_t at = offset; at < end;) {
    const bool inKept = kept != kept_.end() && kept->first <= at;
    const uint64_t until = inKept ? std::min(end, kept->first + kept->second)
                                  : std::min(end, kept != kept_.end() ? kept->first : end);
    const size_t piece = static_cast<size_t>(until - at);
    size_t got = 0;
    if (!ReadFully(inKept ? viewFd_ : imageFd_, data + (at - offset), piece, at, got)) return -1;
    // The view is as long as the disk; an image that has become shorter reads as zeros past its end.
    std::memset(data + (at - offset) + got, 0, piece - got);
    at = until;
    if (inKept && at == kept->first + kept->second) ++kept;
  }
  return static_cast<ssize_t>(size);
}

void DiskReader::AdviseSequential() {
  if (imageFd_ >= 0) posix_fadvise(imageFd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

void DiskReader::AdviseWillNeed(uint64_t offset, uint64_t length) {
  if (imageFd_ >= 0) posix_fadvise(imageFd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

}  // namespace lab
