#include "platform/disk/CFileCollection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/archive/vsArchive.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"

namespace {

constexpr int kMaxDepth = 64;

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

SFileNode::~SFileNode() {
  if (fd >= 0) close(fd);
}

std::shared_ptr<CFileCollection> CFileCollection::createFileCollectionInstance(uint32_t type) {
  if (type != kFolderCollection) return nullptr;
  return std::make_shared<CFileCollection>();
}

CFileCollection::~CFileCollection() = default;

void CFileCollection::SetVMInfo(IVMInfo* /*vmInfo*/, const std::string& vmName, const std::string& vmGuid) {
  vmName_ = vmName;
  vmGuid_ = vmGuid;
}

bool CFileCollection::SetPreviousReference(const std::string& previous) {
  int64_t since = 0;
  incremental_ = labkv::ParseInt64(previous, since) && since > 0;
  since_ = incremental_ ? since : 0;
  return true;
}

CPxError CFileCollection::Fault(const char* op) const {
  lab::FaultCall call;
  call.op = op;
  call.vm = vmGuid_;
  call.disk = identifier_;
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return CPxError::Success();
  return CPxError(-EIO, std::string("[") + op + "] " + fault.text, fault.code);
}

bool CFileCollection::ResolveFolder(const std::string& identifier, std::string& folder, std::string& error) const {
  if (!identifier.empty() && identifier[0] == '/') {
    folder = identifier;
    return true;
  }
  return lab::FindVMCollectionFolder(vmGuid_.empty() ? vmName_ : vmGuid_, identifier, folder, error);
}

bool CFileCollection::ListFolder(const std::string& folder, const std::string& prefix, int depth, std::string& error) {
  if (depth > kMaxDepth) {
    error = folder + " lies deeper than " + std::to_string(kMaxDepth) + " folders";
    return false;
  }
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    error = "cannot read the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) continue;  // gone since it was listed
    if (S_ISDIR(status.st_mode)) {
      if (!(ok = ListFolder(path, prefix + name + "/", depth + 1, error))) break;
      continue;
    }
    // Links, devices and pipes are not the collection's data.
    if (!S_ISREG(status.st_mode)) continue;
    if (incremental_ && std::max(status.st_mtime, status.st_ctime) < since_) continue;
    entries_.push_back(Entry{prefix + name, path});
    listedBytes_ += static_cast<uint64_t>(status.st_size);
  }
  closedir(dir);
  return ok;
}

CPxError CFileCollection::Open(const std::string& identifier) {
  CPxError error = Fault("filecollection.Open");
  if (error.IsError()) return error;
  std::string folder, why;
  if (!ResolveFolder(identifier, folder, why)) return CPxError(-ENOENT, why);
  entries_.clear();
  listedBytes_ = 0;
  next_ = 0;
  if (!ListFolder(folder, std::string(), 0, why)) return CPxError(-EIO, why);
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  folder_ = folder;
  name_ = BaseName(folder);
  return CPxError::Success();
}

CPxError CFileCollection::GetMetadata(std::string& text) const {
  text = "type=" + std::to_string(kFolderCollection) + " name=" + GetName() + " nodes=" + std::to_string(entries_.size()) +
         " bytes=" + std::to_string(listedBytes_) + (incremental_ ? " since=" + std::to_string(since_) : std::string());
  return CPxError::Success();
}

CPxError CFileCollection::GetNextNode(SFileNode& node) {
  if (node.fd >= 0) {
    close(node.fd);
    node.fd = -1;
  }
  CPxError error = Fault("filecollection.NextNode");
  if (error.IsError()) return error;
  while (next_ < entries_.size()) {
    const Entry& entry = entries_[next_++];
    struct stat status;
    if (lstat(entry.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;  // removed since listed
    node.name = entry.name;
    node.size = static_cast<uint64_t>(status.st_size);
    node.time = status.st_mtim.tv_sec;
    node.mode = status.st_mode;
    node.timeNanos = static_cast<uint64_t>(status.st_mtim.tv_nsec);
    node.changeTime = static_cast<uint64_t>(status.st_ctime);
    node.inode = status.st_ino;
    node.owner = status.st_uid;
    node.links = status.st_nlink;
    node.device = status.st_dev;
    node.group = status.st_gid;
    node.readBytes = 0;
    node.writtenBytes = 0;
    node.fd = open(entry.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (node.fd < 0) return CPxError::FromErrno(errno, "cannot open " + entry.path);
    return CPxError::Success();
  }
  return CPxError(-ENODATA, "no more nodes", kNoMoreNodes);
}

int CFileCollection::RequestBuffer(SFileNode& node, uint32_t size, char** buffer, uint32_t* granted) {
  if (node.archive == nullptr) return vsArchive::kRetNotInitialized;
  return node.archive->allocateBuffer(size, granted, buffer);
}

CPxError CFileCollection::Read(SFileNode& node, char* buffer, uint32_t size, uint32_t& bytesRead) {
  bytesRead = 0;
  if (node.fd < 0) return CPxError(-EBADF, "the node " + node.name + " is not open");
  CPxError error = Fault("filecollection.Read");
  if (error.IsError()) return error;
  // The header declared the node's size: never more, and a node that shrank is not complete.
  const uint64_t left = node.size - node.readBytes;
  const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size, left));
  while (bytesRead < want) {
    ssize_t n = pread(node.fd, buffer + bytesRead, want - bytesRead, static_cast<off_t>(node.readBytes + bytesRead));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CPxError::FromErrno(errno, "cannot read " + node.name);
    if (n == 0) return CPxError(-EIO, "the node " + node.name + " shrank while it was read");
    bytesRead += static_cast<uint32_t>(n);
  }
  node.readBytes += bytesRead;
  return CPxError::Success();
}

int CFileCollection::Write(SFileNode& node, char* buffer, uint32_t bytes) {
  if (node.archive == nullptr) return vsArchive::kRetNotInitialized;
  const int code = node.archive->writeDataBuffer(buffer, bytes);
  if (!vsArchive::isError(code)) node.writtenBytes += bytes;
  return code;
}

int CFileCollection::EndOfNode(SFileNode& node, bool success) {
  if (node.fd >= 0) {
    close(node.fd);
    node.fd = -1;
  }
  if (node.archive == nullptr) return vsArchive::kRetNotInitialized;
  return node.archive->sendEOF(success && node.writtenBytes == node.size, 0);
}
