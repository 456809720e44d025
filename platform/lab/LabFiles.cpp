#include "platform/lab/LabFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/os/ZtSync.h"

namespace lab {
namespace {

// Lab files hold job tokens in command lines, credentials in subclient records and the like: no one
// outside the owner's group reads them.
constexpr mode_t kFileMode = 0640;
constexpr int kTempNameAttempts = 16;

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file's name, cut so that the lock and temporary names made from it stay within a name's 255
// bytes (two long names that share their start then share a lock, which only serialises more).
std::string NameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.substr(0, 200);
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* data, size_t size) {
  size_t written = 0;
  while (written < size) {
    ssize_t n = write(fd, data + written, size - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

bool LockExclusive(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// A name no one can predict, so that nothing can be planted there in advance; O_EXCL makes the
// creation fail rather than reuse whatever another party put at the name.
std::string RandomSuffix() {
  static std::atomic<uint64_t> fallback{0};
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits))
    bits = (static_cast<uint64_t>(getpid()) << 32) ^ ++fallback ^ reinterpret_cast<uintptr_t>(&bits);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

int CreateExclusiveTemp(const std::string& path, std::string& temp, std::string& error) {
  const std::string prefix = FolderOf(path) + "/." + NameOf(path) + ".tmp-";
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    temp = prefix + RandomSuffix();
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  error = SystemError("cannot create a temporary file for", path);
  return -1;
}

}  // namespace

bool SyncFolder(const std::string& path) {
  int fd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ZtSyncFile(fd) == 0;
  close(fd);
  return ok;
}

bool WriteAll(int fd, const std::string& text) { return WriteAll(fd, text.data(), text.size()); }

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error) {
  return ReadOptionalFile(path, maxBytes, content, error) == ReadResult::kRead;
}

ReadResult ReadOptionalFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error) {
  error.clear();
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const bool missing = errno == ENOENT;
    error = SystemError("cannot open", path);
    return missing ? ReadResult::kMissing : ReadResult::kFailed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    error = "not a regular file: " + path;
    return ReadResult::kFailed;
  }
  std::string read;
  bool fits = static_cast<uint64_t>(st.st_size) <= maxBytes;
  if (fits) read.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  while (fits) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = SystemError("cannot read", path);
      close(fd);
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    if (read.size() + static_cast<size_t>(n) > maxBytes) {
      fits = false;
    } else {
      read.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  if (!fits) {
    error = "file too large: " + path;
    return ReadResult::kFailed;
  }
  content.swap(read);
  return ReadResult::kRead;
}

bool ReadFile(const std::string& path, std::string& content) {
  std::string error;
  return ReadRegularFile(path, kMaxRecordBytes, content, error);
}

namespace {

// What is done with a last line that has no line end: a write of it was cut short.
enum class TornLine { kKeep, kDrop };

std::vector<std::string> ReadLinesOf(const std::string& path, size_t maxBytes, TornLine torn) {
  std::vector<std::string> lines;
  std::string text;
  std::string error;
  if (path.empty() || !ReadRegularFile(path, maxBytes, text, error)) return lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      if (torn == TornLine::kDrop) break;
      end = text.size();
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::vector<std::string> ReadLines(const std::string& path, size_t maxBytes) {
  return ReadLinesOf(path, maxBytes, TornLine::kKeep);
}

std::vector<std::string> ReadWholeLines(const std::string& path, size_t maxBytes) {
  return ReadLinesOf(path, maxBytes, TornLine::kDrop);
}

bool WriteFileAtomic(const std::string& path, const std::string& content) {
  std::string error;
  return WriteFileAtomic(path, content, error);
}

namespace {

// Puts the temporary file in place of path. A plain rename over an existing file makes ext4 start
// writing the new file back at once (its guard against zero-length files after a crash); a volatile
// replacement has no use for that, so it swaps the two names atomically and removes the old file.
bool MoveIntoPlace(const std::string& temp, const std::string& path, Durability durability) {
  if (durability == Durability::kVolatile &&
      renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    unlink(temp.c_str());
    return true;
  }
  return rename(temp.c_str(), path.c_str()) == 0;
}

// Writes a new file through an exclusive temporary name; `fill` writes the content to the descriptor.
bool ReplaceWith(const std::string& path, const std::function<bool(int)>& fill, Durability durability,
                 std::string& error) {
  const bool durable = durability == Durability::kDurable;
  if (path.empty()) {
    error = "no file name";
    return false;
  }
  std::string temp;
  int fd = CreateExclusiveTemp(path, temp, error);
  if (fd < 0) return false;
  bool ok = fill(fd) && (!durable || ZtSyncFile(fd) == 0);
  if (!ok) error = SystemError("cannot write", temp);
  if (close(fd) != 0 && ok) {
    ok = false;
    error = SystemError("cannot close", temp);
  }
  if (ok && !MoveIntoPlace(temp, path, durability)) {
    ok = false;
    error = SystemError("cannot rename a temporary file to", path);
  }
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // The rename is only durable once the folder's entry is on disk.
  if (durable && !SyncFolder(path)) {
    error = SystemError("cannot sync the folder of", path);
    return false;
  }
  return true;
}

}  // namespace

bool WriteFileAtomic(const std::string& path, const std::string& content, std::string& error, Durability durability) {
  return ReplaceWith(path, [&content](int fd) { return WriteAll(fd, content); }, durability, error);
}

bool WriteImageAtomic(const std::string& path, const std::string& head, uint64_t sizeBytes, std::string& error) {
  if (head.size() > sizeBytes) {
    error = "the start of image " + path + " is larger than the image";
    return false;
  }
  return ReplaceWith(
      path,
      [&](int fd) {
        return ftruncate(fd, static_cast<off_t>(sizeBytes)) == 0 &&
               pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size());
      },
      Durability::kDurable, error);
}

namespace {

bool AllZeros(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (data[i] != 0) return false;
  return true;
}

// The copy of CopyFileAtomic; with keepHoles, blocks of zeros are skipped rather than written, so a
// sparse image stays sparse; with keepMode the copy gets the source's permissions.
bool CopyRegularFile(const std::string& source, const std::string& path, bool keepHoles, bool keepMode,
                     std::string& error) {
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) {
    error = SystemError("cannot open", source);
    return false;
  }
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    error = "not a regular file: " + source;
    return false;
  }
  std::string readError;
  const bool ok = ReplaceWith(
      path,
      [&](int out) {
        if (keepMode && fchmod(out, st.st_mode & 07777) != 0) return false;
        std::vector<char> buffer(keepHoles ? 1 << 20 : 65536);
        off_t copied = 0;
        for (;;) {
          const ssize_t n = read(in, buffer.data(), buffer.size());
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) {
            readError = SystemError("cannot read", source);
            return false;
          }
          if (n == 0) return !keepHoles || ftruncate(out, copied) == 0;
          if (keepHoles && AllZeros(buffer.data(), static_cast<size_t>(n))) {
            if (lseek(out, n, SEEK_CUR) < 0) return false;
          } else if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
            return false;
          }
          copied += n;
        }
      },
      Durability::kDurable, error);
  close(in);
  if (!readError.empty()) error = readError;
  return ok;
}

}  // namespace

bool CopyFileAtomic(const std::string& source, const std::string& path, std::string& error, bool keepMode) {
  return CopyRegularFile(source, path, false, keepMode, error);
}

bool CopyImageAtomic(const std::string& source, const std::string& path, std::string& error) {
  return CopyRegularFile(source, path, true, false, error);
}

bool AppendLineLocked(const std::string& path, const std::string& line) {
  return AppendLineLocked(path, line, Durability::kVolatile);
}

namespace {

// The length of the file's whole lines: up to and with its last line end, so without a last line that
// has none. -1 with errno when the file cannot be read.
off_t EndOfWholeLines(int fd, off_t size) {
  char buffer[4096];
  for (off_t end = size; end > 0;) {
    const off_t start = std::max<off_t>(0, end - static_cast<off_t>(sizeof buffer));
    const size_t length = static_cast<size_t>(end - start);
    const ssize_t n = pread(fd, buffer, length, start);
    if (n != static_cast<ssize_t>(length)) {
      if (n >= 0) errno = EIO;
      return -1;
    }
    for (size_t i = length; i > 0; --i)
      if (buffer[i - 1] == '\n') return start + static_cast<off_t>(i);
    end = start;
  }
  return 0;
}

// Appends the text as it is under an exclusive lock on the file (created when missing); with
// TornLine::kDrop a last line left without its line end is cut off first. False with errno set on
// failure.
bool AppendLocked(const std::string& path, const std::string& text, Durability durability, TornLine torn) {
  const int access = torn == TornLine::kDrop ? O_RDWR : O_WRONLY;
  int fd = open(path.c_str(), access | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return false;
  // The size is the one under the lock: another writer may have grown or cut the file before.
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && LockExclusive(fd) && fstat(fd, &st) == 0;
  off_t kept = ok ? st.st_size : 0;
  if (ok && torn == TornLine::kDrop && st.st_size > 0) {
    kept = EndOfWholeLines(fd, st.st_size);
    ok = kept >= 0 && (kept == st.st_size || ftruncate(fd, kept) == 0);
  }
  // A durable line survives a crash with the folder entry of a file it began: one that held no line,
  // or only a line cut short (whose write, not durable, may never have made its name so).
  ok = ok && WriteAll(fd, text.data(), text.size()) &&
       (durability == Durability::kVolatile || (ZtSyncFileData(fd) == 0 && (kept > 0 || SyncFolder(path))));
  const int error = errno;
  flock(fd, LOCK_UN);
  close(fd);
  errno = error;
  return ok;
}

}  // namespace

bool AppendLineLocked(const std::string& path, const std::string& line, Durability durability) {
  return AppendLocked(path, line + "\n", durability, TornLine::kKeep);
}

bool AppendWholeLineLocked(const std::string& path, const std::string& line, Durability durability) {
  return AppendLocked(path, line + "\n", durability, TornLine::kDrop);
}

bool AppendTornLineLocked(const std::string& path, const std::string& line, size_t bytes) {
  return AppendLocked(path, line.substr(0, bytes), Durability::kVolatile, TornLine::kDrop);
}

int OpenLockFile(const std::string& recordPath) {
  const std::string lockPath = FolderOf(recordPath) + "/." + NameOf(recordPath) + ".lock";
  return open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
}

FileLock::FileLock(const std::string& recordPath) {
  fd_ = OpenLockFile(recordPath);
  if (fd_ >= 0 && !LockExclusive(fd_)) {
    close(fd_);
    fd_ = -1;
  }
}

FileLock::~FileLock() {
  if (fd_ < 0) return;
  flock(fd_, LOCK_UN);
  close(fd_);
}

bool ReplaceFileLocked(const std::string& path, const std::string& content, std::string& error) {
  FileLock lock(path);
  if (!lock.Held()) {
    error = SystemError("cannot lock", path);
    return false;
  }
  return WriteFileAtomic(path, content, error);
}

bool UpdateFileLocked(const std::string& path, const TextChange& change, std::string& error,
                      Durability durability) {
  FileLock lock(path);
  if (!lock.Held()) {
    error = SystemError("cannot lock", path);
    return false;
  }
  std::string text;
  ReadResult read = ReadOptionalFile(path, kMaxRecordBytes, text, error);
  if (read == ReadResult::kFailed) return false;
  const std::string before = text;
  if (!change(text, read == ReadResult::kRead, error)) return false;
  if (text == before) return true;
  return WriteFileAtomic(path, text, error, durability);
}

}  // namespace lab
