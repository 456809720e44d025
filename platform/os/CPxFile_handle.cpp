// FXFile's handle calls: Windows-style opens with sharing, reads and sizes on an open file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/lab/LabFaults.h"
#include "platform/os/CPxFile.h"

namespace {

// True, with errno set, when the fault table makes the operation fail.
bool Faulted(const char* op, const std::string& path) {
  lab::FaultCall call;
  call.op = op;
  call.disk = path;
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return false;
  errno = EIO;
  return true;
}

}  // namespace

ZtFileHandle FXFile::ZTCreateFile(const std::string& path, uint32_t access, uint32_t share, void* /*security*/,
                                  uint32_t disposition, uint32_t /*flags*/) {
  if (access != kGenericRead || disposition != kOpenExisting) {
    errno = EINVAL;
    return kInvalidFileHandle;
  }
  if (Faulted("file.ZTCreateFile", path)) return kInvalidFileHandle;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidFileHandle;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = EISDIR;
    return kInvalidFileHandle;
  }
  if ((share & kShareWrite) == 0 && flock(fd, LOCK_SH | LOCK_NB) != 0) {
    // Someone writes the file now: without write sharing the open is a sharing violation.
    close(fd);
    errno = EBUSY;
    return kInvalidFileHandle;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

CPxError FXFile::ZTReadFile(ZtFileHandle handle, void* buffer, uint32_t size, uint32_t* read) {
  if (read != nullptr) *read = 0;
  if (handle == kInvalidFileHandle || buffer == nullptr || read == nullptr)
    return CPxError::FromErrno(EINVAL, "read file");
  if (Faulted("file.ZTReadFile", std::string())) return CPxError::FromErrno(EIO, "read file");
  for (;;) {
    ssize_t n = ::read(handle, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CPxError::FromErrno(errno, "read file");
    *read = static_cast<uint32_t>(n);
    return CPxError::Success();
  }
}

CPxError FXFile::ZTGetFileSize(ZtFileHandle handle, uint64_t& size) {
  if (Faulted("file.ZTGetFileSize", std::string())) return CPxError::FromErrno(EIO, "size of file");
  struct stat status;
  if (handle == kInvalidFileHandle || fstat(handle, &status) != 0)
    return CPxError::FromErrno(handle == kInvalidFileHandle ? EINVAL : errno, "size of file");
  size = static_cast<uint64_t>(status.st_size);
  return CPxError::Success();
}

void FXFile::ZTCloseHandle(ZtFileHandle handle) {
  if (handle != kInvalidFileHandle) close(handle);
}
