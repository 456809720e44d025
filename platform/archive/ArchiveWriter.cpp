#include "platform/archive/ArchiveWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/lab/LabFaults.h"
#include "platform/os/ZtSync.h"

namespace archive {
namespace {

// The lab's fault table may fail the file's own writes and syncs, as a full file system or a failing
// disk would: the rule's code is the system error they fail with.
bool Faulted(const char* op) {
  lab::Fault fault;
  if (!lab::CheckFault(op, fault)) return false;
  errno = fault.code;
  return true;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

ArchiveWriter::~ArchiveWriter() { Abandon(); }

bool ArchiveWriter::Create(const std::string& path, std::string& error) {
  if (fd_ >= 0) {
    error = "an archive file is already open: " + path_;
    return false;
  }
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0) {
    error = "cannot create " + path + ": an archive file of that name exists";
    return false;
  }
  // Another stream's file is never overwritten, and no link planted at the name is followed.
  const std::string openPath = path + kUncommittedSuffix;
  int fd = open(openPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = "cannot create " + openPath + ": " + std::strerror(errno);
    return false;
  }
  fd_ = fd;
  path_ = path;
  openPath_ = openPath;
  batch_.clear();
  batch_.reserve(kBatchBytes);
  offset_ = 0;
  records_ = 0;
  failure_.clear();
  return true;
}

bool ArchiveWriter::Fail(const std::string& what, std::string& error) {
  failure_ = what + " " + path_ + ": " + std::strerror(errno);
  error = failure_;
  return false;
}

bool ArchiveWriter::Flush(const void* payload, uint64_t payloadLength, std::string& error) {
  struct iovec parts[2];
  int count = 0;
  if (!batch_.empty()) parts[count++] = {batch_.data(), batch_.size()};
  if (payloadLength > 0) parts[count++] = {const_cast<void*>(payload), static_cast<size_t>(payloadLength)};
  if (count > 0 && Faulted("archive.fileWrite")) return Fail("cannot write", error);
  int first = 0;
  while (first < count) {
    ssize_t written = writev(fd_, parts + first, count - first);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Fail("cannot write", error);
    }
    size_t left = static_cast<size_t>(written);
    while (first < count && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (first < count) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  batch_.clear();
  return true;
}

bool ArchiveWriter::Append(RecordType type, const std::string& fields, const void* payload, uint64_t payloadLength,
                           std::string& error) {
  if (fd_ < 0) {
    error = "no archive file is open";
    return false;
  }
  if (!failure_.empty()) {
    error = failure_;
    return false;
  }
  if (fields.size() > kMaxFieldBytes || payloadLength > kMaxPayloadBytes || (payloadLength > 0 && payload == nullptr)) {
    error = "record too large for the archive format";
    return false;
  }
  char header[kRecordHeaderBytes];
  EncodeRecordHeader(type, fields, payload, payloadLength, header);
  const size_t small = kRecordHeaderBytes + fields.size();
  const bool direct = payloadLength >= kDirectPayloadBytes;
  const size_t batched = small + (direct ? 0 : static_cast<size_t>(payloadLength));
  if (!batch_.empty() && batch_.size() + batched > kBatchBytes && !Flush(nullptr, 0, error)) return false;
  batch_.insert(batch_.end(), header, header + kRecordHeaderBytes);
  batch_.insert(batch_.end(), fields.begin(), fields.end());
  if (direct) {
    if (!Flush(payload, payloadLength, error)) return false;
  } else {
    const char* bytes = static_cast<const char*>(payload);
    batch_.insert(batch_.end(), bytes, bytes + payloadLength);
    if (batch_.size() >= kBatchBytes && !Flush(nullptr, 0, error)) return false;
  }
  offset_ += small + payloadLength;
  ++records_;
  return true;
}

bool ArchiveWriter::Close(std::string& error) {
  if (fd_ < 0) {
    error = "no archive file is open";
    return false;
  }
  bool ok = failure_.empty() && Flush(nullptr, 0, error);
  if (!failure_.empty()) error = failure_;
  // Durable once, here: the data, then the folder entry that names it.
  if (ok && (Faulted("archive.fileSync") || ZtSyncFile(fd_) != 0)) ok = Fail("cannot sync", error);
  if (close(fd_) != 0 && ok) ok = Fail("cannot close", error);
  fd_ = -1;
  batch_.clear();
  batch_.shrink_to_fit();
  if (ok) ok = Commit(error);
  return ok;
}

bool ArchiveWriter::Commit(std::string& error) {
  // The file takes its name without replacing anything there, and keeps it only once the folder
  // entry is on disk: a commit that might not survive a crash is undone, the file left uncommitted.
  if (link(openPath_.c_str(), path_.c_str()) != 0) return Fail("cannot commit", error);
  int folder = open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = folder >= 0 && !Faulted("archive.fileSync") && ZtSyncFile(folder) == 0;
  if (!synced) {
    Fail("cannot sync the folder of", error);
    unlink(path_.c_str());
  } else {
    unlink(openPath_.c_str());
  }
  if (folder >= 0) close(folder);
  return synced;
}

void ArchiveWriter::Discard() {
  if (fd_ < 0) return;
  Abandon();
  unlink(openPath_.c_str());
}

void ArchiveWriter::Abandon() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  batch_.clear();
  batch_.shrink_to_fit();
}

}  // namespace archive
