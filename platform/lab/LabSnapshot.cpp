#include "platform/lab/LabSnapshot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMount.h"
#include "platform/os/CPxSha256.h"

namespace lab {
namespace {

std::atomic<const SnapshotRaceHooksForTest*> g_raceHooks{nullptr};

constexpr size_t kChunkBytes = 1024 * 1024;
constexpr size_t kMaxListBytes = 1024 * 1024;
constexpr mode_t kViewMode = 0640;
const char* const kImageKey = "snapshot.image";
const char* const kSizeKey = "snapshot.sizeBytes";
const char* const kKeptPrefix = "kept.";

std::string ListPath(const std::string& imagePath) { return imagePath + ".snapshots"; }

// What a view's journal says of the view.
struct ViewRecord {
  std::string image;
  uint64_t sizeBytes = 0;
  std::string changeId;
  std::vector<ByteRange> kept;  // sorted, merged
};

// Takes a kept range from one line of a view's journal; false for a line that is no kept range.
bool TakeKeptLine(const std::string& line, std::vector<ByteRange>& kept) {
  const size_t prefix = std::char_traits<char>::length(kKeptPrefix);
  const size_t equals = line.find('=');
  uint64_t offset = 0, length = 0;
  if (line.compare(0, prefix, kKeptPrefix) != 0 || equals == std::string::npos ||
      !labkv::ParseUInt64(line.substr(prefix, equals - prefix), offset) ||
      !labkv::ParseUInt64(line.substr(equals + 1), length) || length == 0 || offset + length < offset)
    return false;
  kept.emplace_back(offset, length);
  return true;
}

// kMissing when the path has no journal or one that is no view's.
ReadResult ReadViewRecord(const std::string& viewPath, ViewRecord& record, std::string& error) {
  std::string text;
  const ReadResult read = ReadOptionalFile(ChangeJournalPath(viewPath), kMaxJournalBytes * 2, text, error);
  if (read != ReadResult::kRead) return read;
  std::map<std::string, std::string> values;
  ChangeJournal journal;
  if (!labkv::Parse(text, values, error) || !ParseChangeJournal(text, journal, error)) {
    error = ChangeJournalPath(viewPath) + ": " + error;
    return ReadResult::kFailed;
  }
  if (!values.count(kImageKey)) return ReadResult::kMissing;
  record.image = values[kImageKey];
  record.changeId = CurrentChangeId(journal);
  if (record.image.empty() || !labkv::ParseUInt64(values[kSizeKey], record.sizeBytes)) {
    error = ChangeJournalPath(viewPath) + ": the snapshot's image or size is not valid";
    return ReadResult::kFailed;
  }
  for (const auto& value : values) {
    if (value.first.compare(0, std::char_traits<char>::length(kKeptPrefix), kKeptPrefix) == 0 &&
        !TakeKeptLine(value.first + "=" + value.second, record.kept)) {
      error = ChangeJournalPath(viewPath) + ": [" + value.first + "] is no kept range";
      return ReadResult::kFailed;
    }
  }
  record.kept = MergeRanges(std::move(record.kept));
  return ReadResult::kRead;
}

// The image's list of snapshots: its views, and the generations whose digest is wanted. Opened under
// the image's lock and changed in place there.
class SnapshotList {
 public:
  ~SnapshotList() {
    if (fd_ >= 0) close(fd_);
  }
  // False with the reason when the list cannot be opened (or made, with create).
  bool Open(const std::string& imagePath, bool create, std::string& error) {
    fd_ = open(ListPath(imagePath).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), kViewMode);
    if (fd_ < 0 && (create || errno != ENOENT)) {
      error = "cannot open " + ListPath(imagePath) + ": " + std::strerror(errno);
      return false;
    }
    if (fd_ < 0) return true;
    std::string text(kMaxListBytes, '\0');
    const ssize_t n = pread(fd_, &text[0], text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    // A line a crash cut short, or any other, is skipped: the list only speeds things up or is checked.
    for (size_t start = 0; start < text.size();) {
      const size_t end = std::min(text.find('\n', start), text.size());
      const std::string line = text.substr(start, end - start);
      uint64_t generation = 0;
      const size_t blank = line.find(' ');
      if (line.compare(0, 6, "view=/") == 0 && end < text.size()) views.push_back(line.substr(5));
      if (line.compare(0, 7, "wanted=") == 0 && labkv::ParseUInt64(line.substr(7), generation)) wanted.insert(generation);
      if (line.compare(0, 8, "leftout=") == 0 && end < text.size() && blank != std::string::npos &&
          labkv::ParseUInt64(line.substr(8, blank - 8), generation) && line.compare(blank + 1, 1, "/") == 0)
        leftOut.emplace(generation, line.substr(blank + 1));
      start = end + 1;
    }
    before_ = Format();
    return true;
  }
  bool Save(std::string& error) {
    const std::string text = Format();
    if (fd_ < 0 || text == before_) return true;
    if (pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ftruncate(fd_, static_cast<off_t>(text.size())) != 0) {
      error = std::string("cannot change the image's list of snapshots: ") + std::strerror(errno);
      return false;
    }
    before_ = text;
    return true;
  }

  std::vector<std::string> views;
  std::set<uint64_t> wanted;
  std::set<std::pair<uint64_t, std::string>> leftOut;  // generation, mount record

 private:
  std::string Format() const {
    std::string text;
    for (const std::string& view : views) text += "view=" + view + "\n";
    for (uint64_t generation : wanted) text += "wanted=" + std::to_string(generation) + "\n";
    for (const auto& want : leftOut) text += "leftout=" + std::to_string(want.first) + " " + want.second + "\n";
    return text;
  }
  int fd_ = -1;
  std::string before_;
};

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
  // One attempt first, so that a test can see a read that is about to wait for a writer.
  if (flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
  const SnapshotRaceHooksForTest* hooks = errno == EWOULDBLOCK ? SnapshotRaceHooks() : nullptr;
  if (hooks != nullptr && hooks->readWaits) hooks->readWaits();
  while (flock(fd, LOCK_SH) != 0)
    if (errno != EINTR) return false;
  return true;
}

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

void RemoveView(const std::string& viewPath) {
  // The journal goes first: without it the path is no view, whatever else is left.
  unlink(ChangeJournalPath(viewPath).c_str());
  unlink(viewPath.c_str());
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
  const int log = open(ChangeJournalPath(viewPath).c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  bool ok = view >= 0 && log >= 0;
  if (!ok) error = "cannot open the view " + viewPath + ": " + std::strerror(errno);
  if (ok) ok = CopyIntoView(image, view, needed, error);
  // The ranges are recorded only once their bytes are in the view.
  std::string lines;
  for (const ByteRange& range : needed)
    lines += kKeptPrefix + std::to_string(range.first) + "=" + std::to_string(range.second) + "\n";
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

void SetSnapshotRaceHooksForTest(const SnapshotRaceHooksForTest* hooks) {
  g_raceHooks.store(hooks, std::memory_order_release);
}

const SnapshotRaceHooksForTest* SnapshotRaceHooks() { return g_raceHooks.load(std::memory_order_acquire); }

bool IsSnapshotView(const std::string& path) {
  ViewRecord record;
  std::string error;
  return ReadViewRecord(path, record, error) == ReadResult::kRead;
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
  SnapshotList list;
  // A journal begun here is what later change ids rest on.
  if (!LoadOrBeginJournal(imagePath, journal, begun, error) ||
      (begun && !WriteFileAtomic(ChangeJournalPath(imagePath), FormatChangeJournal(journal), error)) ||
      !list.Open(imagePath, true, error))
    return false;
  RemoveView(viewPath);

  const int view = open(viewPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kViewMode);
  bool ok = view >= 0 && ftruncate(view, status.st_size) == 0;
  if (!ok) error = "cannot create the view " + viewPath + ": " + std::strerror(errno);
  if (view >= 0) close(view);
  // The view's journal is the image's history; the digests of the image's generations are not the view's.
  ChangeJournal history = journal;
  history.digests.clear();
  if (ok)
    ok = WriteFileAtomic(ChangeJournalPath(viewPath),
                         FormatChangeJournal(history) + kImageKey + "=" + imagePath + "\n" + kSizeKey + "=" +
                             std::to_string(status.st_size) + "\n",
                         error, Durability::kVolatile);
  if (ok) {
    std::vector<std::string> views = {viewPath};
    for (const std::string& other : list.views)
      if (other != viewPath && Exists(ChangeJournalPath(other))) views.push_back(other);
    list.views.swap(views);
    if (!journal.digests.count(journal.last)) list.wanted.insert(journal.last);
    ok = list.Save(error);
  }
  if (!ok) {
    RemoveView(viewPath);
    error = "cannot take a snapshot of " + imagePath + ": " + error;
    return false;
  }
  changeId = CurrentChangeId(journal);
  return true;
}

bool DropSnapshot(const std::string& viewPath, std::string& error) {
  RemoveView(viewPath);
  for (const std::string& path : {ChangeJournalPath(viewPath), viewPath}) {
    if (Exists(path)) {
      error = "cannot remove " + path;
      return false;
    }
  }
  return true;
}

bool KeepForSnapshots(const std::string& imagePath, ChangeJournal& journal, const std::vector<ByteRange>& ranges,
                      std::string& error) {
  SnapshotList list;
  if (!list.Open(imagePath, false, error)) return false;
  if (list.wanted.count(journal.last) && !journal.digests.count(journal.last)) {
    std::string sha;
    if (!HashImage(imagePath, sha, error)) return false;
    journal.digests[journal.last] = sha;
  }
  for (const auto& want : list.leftOut) {
    // Only a check's cache: a digest that cannot be kept leaves that check unable to tell, never a
    // write undone.
    std::string ignored;
    if (want.first == journal.last) KeepLeftOutDigests(want.second, imagePath, false, ignored);
  }
  // Whatever else was wanted is of generations the image has already left.
  list.wanted.clear();
  list.leftOut.clear();
  std::vector<std::string> still;
  bool ok = true;
  if (!list.views.empty()) {
    const int image = open(imagePath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (image < 0) {
      error = "cannot open " + imagePath + ": " + std::strerror(errno);
      return false;
    }
    const std::vector<ByteRange> merged = MergeRanges(ranges);
    for (const std::string& view : list.views) {
      bool gone = false;
      ok = ok && KeepInView(image, view, merged, gone, error);
      if (!gone) still.push_back(view);
    }
    close(image);
  }
  list.views.swap(still);
  return list.Save(error) && ok;
}

bool WantLeftOutDigests(const std::string& imagePath, const std::string& changeId, const std::string& recordPath,
                        bool& left, std::string& error) {
  std::string journalId;
  uint64_t generation = 0;
  if (!ParseChangeId(changeId, journalId, generation)) {
    error = "[" + changeId + "] is not a change id";
    return false;
  }
  FileLock lock(imagePath);
  if (!lock.Held()) {
    error = "cannot lock " + imagePath;
    return false;
  }
  ChangeJournal journal;
  SnapshotList list;
  if (ReadChangeJournal(imagePath, journal, error) != ReadResult::kRead || !list.Open(imagePath, true, error))
    return false;
  left = journal.id != journalId || journal.last != generation;
  if (left) return true;
  list.leftOut.emplace(generation, recordPath);
  return list.Save(error);
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
  DiskReader reader;
  int errorNumber = 0;
  if (!viewPath.empty() && reader.Open(viewPath, errorNumber, error) && reader.IsView() &&
      reader.ChangeId() == changeId)
    return HashDisk(reader, sha256, error);
  reader.Close();
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
  if (known != journal.digests.end()) {
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
  auto fail = [&](int number, const std::string& what) {
    errorNumber = number;
    error = what;
    Close();
    return false;
  };
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (fd < 0) return fail(errno, "cannot open " + path + ": " + std::strerror(errno));
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return fail(EINVAL, path + " is not a disk image");
  }
  ViewRecord record;
  switch (ReadViewRecord(path, record, error)) {
    case ReadResult::kMissing:
      imageFd_ = fd;
      sizeBytes_ = static_cast<uint64_t>(status.st_size);
      return true;
    case ReadResult::kFailed:
      close(fd);
      return fail(EINVAL, error);
    case ReadResult::kRead:
      break;
  }
  viewFd_ = fd;
  // The kept ranges are read afresh, before each read, from the view's journal as it grows.
  recordFd_ = open(ChangeJournalPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (recordFd_ < 0) return fail(errno, "cannot open " + ChangeJournalPath(path) + ": " + std::strerror(errno));
  imageFd_ = open(record.image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (imageFd_ < 0)
    return fail(errno, "cannot open the image " + record.image + " of the view " + path + ": " + std::strerror(errno));
  lockFd_ = OpenLockFile(record.image);
  if (lockFd_ < 0) return fail(errno, "cannot open the lock of " + record.image + ": " + std::strerror(errno));
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
  std::vector<ByteRange> kept;
  size_t start = 0;
  // The journal's own lines come first; only kept ranges follow them.
  for (size_t end; (end = partialLine_.find('\n', start)) != std::string::npos; start = end + 1)
    TakeKeptLine(partialLine_.substr(start, end - start), kept);
  partialLine_.erase(0, start);
  if (!kept.empty()) {
    kept.insert(kept.end(), kept_.begin(), kept_.end());
    kept_ = MergeRanges(std::move(kept));
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
