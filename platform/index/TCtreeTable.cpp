#include "platform/index/TCtreeTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/lab/LabFiles.h"
#include "platform/os/ZtSync.h"

namespace {

constexpr size_t kHeaderBytes = 32;
constexpr char kMagic[4] = {'Q', 'T', 'B', 'L'};
constexpr uint8_t kVersion = 1;
constexpr char kDataType = 'D';
constexpr char kIndexType = 'I';

void PutLE(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t GetLE(const char* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return value;
}

bool ReadAt(int fd, char* buffer, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAt(int fd, const char* buffer, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TCtreeTable::TCtreeTable(uint32_t kind, size_t recordSize, std::vector<KeyPart> keyParts)
    : kind_(kind), recordSize_(recordSize), keyParts_(std::move(keyParts)) {}

TCtreeTable::~TCtreeTable() { close(); }

std::string TCtreeTable::path() const {
  ZtMutexLock lock(mutex_);
  return path_;
}

std::string TCtreeTable::Header(char type, uint64_t records) const {
  std::string header(kMagic, sizeof kMagic);
  header += type;
  header += static_cast<char>(kVersion);
  header += std::string(2, '\0');
  PutLE(header, kind_, 4);
  PutLE(header, recordSize_, 4);
  PutLE(header, records, 8);
  header.resize(kHeaderBytes, '\0');
  return header;
}

std::string TCtreeTable::KeyOf(const void* record) const {
  const char* bytes = static_cast<const char*>(record);
  std::string key;
  for (const KeyPart& part : keyParts_) {
    // A text key counts up to its NUL; the part's last byte always ends it.
    key.append(bytes + part.offset, part.text ? strnlen(bytes + part.offset, part.size - 1) : part.size);
    key += '\0';
  }
  return key;
}

int TCtreeTable::initialize(const std::string& path, bool readOnly) {
  ZtMutexLock lock(mutex_);
  CloseLocked();
  initialized_ = false;
  if (path.empty()) return kNotInitialized;
  path_ = path;
  readOnly_ = readOnly;
  const std::string files[2] = {DataFile(path), IndexFile(path)};
  const char types[2] = {kDataType, kIndexType};
  for (int i = 0; i < 2; ++i) {
    struct stat st;
    if (lstat(files[i].c_str(), &st) == 0) continue;
    if (errno != ENOENT) return kIOError;
    if (readOnly) return kMissing;
    if (!lab::WriteFileAtomic(files[i], Header(types[i], 0))) return kIOError;
  }
  initialized_ = true;
  return kOk;
}

int TCtreeTable::open(int mode) {
  ZtMutexLock lock(mutex_);
  return OpenLocked();
}

int TCtreeTable::close() {
  ZtMutexLock lock(mutex_);
  return CloseLocked();
}

bool TCtreeTable::isOpen() const {
  ZtMutexLock lock(mutex_);
  return dataFd_ >= 0;
}

int TCtreeTable::count(uint64_t& records) {
  ZtMutexLock lock(mutex_);
  const int rc = OpenLocked();
  if (rc == kOk) records = keys_.size();
  return rc;
}

int TCtreeTable::OpenLocked() {
  if (dataFd_ >= 0) return kOk;
  if (!initialized_) return kNotInitialized;
  const int fd = ::open(DataFile(path_).c_str(), (readOnly_ ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? kMissing : kIOError;
  struct stat st;
  std::string header(kHeaderBytes, '\0');
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return kIOError;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size < kHeaderBytes || !ReadAt(fd, &header[0], kHeaderBytes, 0) ||
      header.compare(0, 8, Header(kDataType, 0), 0, 8) != 0 || GetLE(&header[8], 4) != kind_ ||
      GetLE(&header[12], 4) != recordSize_ || (size - kHeaderBytes) % recordSize_ != 0) {
    ::close(fd);
    return kCorrupt;
  }
  const uint64_t records = (size - kHeaderBytes) / recordSize_;
  std::map<std::string, uint64_t> keys;
  std::string record(recordSize_, '\0');
  for (uint64_t n = 0; n < records; ++n) {
    if (!ReadAt(fd, &record[0], recordSize_, static_cast<off_t>(kHeaderBytes + n * recordSize_))) {
      ::close(fd);
      return kIOError;
    }
    if (!keys.emplace(KeyOf(record.data()), n).second) {
      ::close(fd);
      return kCorrupt;
    }
  }
  dataFd_ = fd;
  keys_.swap(keys);
  dirty_ = false;
  bool usable = false;
  const int rc = ReadIndexFile(records, usable);
  if (rc != kOk) {
    ::close(dataFd_);
    dataFd_ = -1;
    keys_.clear();
    return rc;
  }
  // An index that lags behind its records is written afresh at the next close.
  dirty_ = !usable && !readOnly_;
  return kOk;
}

int TCtreeTable::ReadIndexFile(uint64_t records, bool& usable) {
  usable = false;
  std::string text, error;
  switch (lab::ReadOptionalFile(IndexFile(path_), lab::kMaxRecordBytes * 4, text, error)) {
    case lab::ReadResult::kMissing:
      return kMissing;
    case lab::ReadResult::kFailed:
      return kIOError;
    case lab::ReadResult::kRead:
      break;
  }
  if (text.size() < kHeaderBytes || text.compare(0, 8, Header(kIndexType, 0), 0, 8) != 0 ||
      GetLE(&text[8], 4) != kind_ || GetLE(&text[12], 4) != recordSize_)
    return kCorrupt;
  const uint64_t listed = GetLE(&text[16], 8);
  if (listed != records || text.size() != kHeaderBytes + 8 * listed) return kOk;
  size_t at = kHeaderBytes;
  for (const auto& key : keys_) {
    if (GetLE(&text[at], 8) != key.second) return kOk;
    at += 8;
  }
  usable = true;
  return kOk;
}

int TCtreeTable::WriteIndexFile() {
  std::string text = Header(kIndexType, keys_.size());
  text.reserve(kHeaderBytes + 8 * keys_.size());
  for (const auto& key : keys_) PutLE(text, key.second, 8);
  return lab::WriteFileAtomic(IndexFile(path_), text) ? kOk : kIOError;
}

int TCtreeTable::CloseLocked() {
  if (dataFd_ < 0) return kOk;
  int rc = kOk;
  if (dirty_) {
    if (ZtSyncFile(dataFd_) != 0) rc = kIOError;
    if (rc == kOk) rc = WriteIndexFile();
  }
  ::close(dataFd_);
  dataFd_ = -1;
  keys_.clear();
  dirty_ = false;
  return rc;
}

int TCtreeTable::lookupRecord(void* record) {
  ZtMutexLock lock(mutex_);
  const int rc = OpenLocked();
  if (rc != kOk) return rc;
  auto it = keys_.find(KeyOf(record));
  if (it == keys_.end()) return kNotFound;
  return ReadAt(dataFd_, static_cast<char*>(record), recordSize_,
                static_cast<off_t>(kHeaderBytes + it->second * recordSize_))
             ? kOk
             : kIOError;
}

int TCtreeTable::insertRecord(const void* record) {
  ZtMutexLock lock(mutex_);
  const int rc = OpenLocked();
  if (rc != kOk) return rc;
  if (readOnly_) return kReadOnly;
  const std::string key = KeyOf(record);
  if (keys_.count(key) != 0) return kDuplicateKey;
  const uint64_t n = keys_.size();
  const off_t at = static_cast<off_t>(kHeaderBytes + n * recordSize_);
  if (!WriteAt(dataFd_, static_cast<const char*>(record), recordSize_, at)) {
    // A torn record would make the whole table unreadable: take it back.
    if (ftruncate(dataFd_, at) != 0) return kCorrupt;
    return kIOError;
  }
  keys_.emplace(key, n);
  dirty_ = true;
  return kOk;
}

int TCtreeTable::firstRecord(void* record) {
  ZtMutexLock lock(mutex_);
  const int rc = OpenLocked();
  if (rc != kOk) return rc;
  if (keys_.empty()) return kNotFound;
  return ReadAt(dataFd_, static_cast<char*>(record), recordSize_,
                static_cast<off_t>(kHeaderBytes + keys_.begin()->second * recordSize_))
             ? kOk
             : kIOError;
}

int TCtreeTable::modifyRecord(const void* record) {
  ZtMutexLock lock(mutex_);
  const int rc = OpenLocked();
  if (rc != kOk) return rc;
  if (readOnly_) return kReadOnly;
  auto it = keys_.find(KeyOf(record));
  if (it == keys_.end()) return kNotFound;
  // A record of fixed size is written over in place: a reader sees the old record or the new one.
  if (!WriteAt(dataFd_, static_cast<const char*>(record), recordSize_,
               static_cast<off_t>(kHeaderBytes + it->second * recordSize_)))
    return kIOError;
  dirty_ = true;
  return kOk;
}
